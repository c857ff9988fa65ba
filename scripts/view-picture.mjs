// The picture of a volume in velmora view, as the README shows it: the page
// in headless chromium (software WebGL), once its scene is drawn.
// node scripts/view-picture.mjs VELMORA VOLUME OUT.png
import fs from 'node:fs';
import path from 'node:path';
import os from 'node:os';
import { launch, watchedPage } from '../viewer/tests/browser.mjs';
import { startView } from '../viewer/tests/server.mjs';

const [velmora, volume, out] = process.argv.slice(2).map((a) => path.resolve(a));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-view-picture-'));
const server = await startView(velmora, [volume, '--out', path.join(work, 'out')], { cwd: work });
const browser = await launch();
try {
  const { page, problems } = await watchedPage(browser, { width: 1100, height: 700 });
  await page.goto(server.url);
  await page.evaluate(() => window.velmora.ready);
  if (!(await page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2'))))
    throw new Error('no WebGL2 context: nothing drawn');
  if (problems.length) throw new Error(problems.join('\n'));
  await page.screenshot({ path: `${out}.part`, type: 'png' });
  fs.renameSync(`${out}.part`, out);
} finally {
  await browser.close();
  await server.stop();
  fs.rmSync(work, { recursive: true, force: true });
}
