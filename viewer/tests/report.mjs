// velmora analyze --report: report.html opened from file:// with the network
// off shows the scene, the plan view and the cells, and makes no request.
// node report.mjs VELMORA WORKDIR [VOLUME]
import fs from 'node:fs';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launch, watchedPage, screenshotPixels, check, finish } from './browser.mjs';

const [velmora, work, volume] = process.argv.slice(2).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const out = path.join(work, 'analysis');
execFileSync(velmora, ['analyze', ...(volume && fs.existsSync(volume) ? [volume] : []), '--out', out, '--report'], { stdio: 'ignore' });
const file = path.join(out, 'report.html');
const size = fs.statSync(file).size;
check(size <= 5 * 1024 * 1024, `report.html is at most 5 MB (${(size / 1048576).toFixed(2)} MB)`);

const browser = await launch();
try {
  const context = await browser.newContext({ offline: true });
  const { page, problems } = await watchedPage(context, { width: 1200, height: 760, anyRequest: true });
  await page.goto(`file://${file}`);
  const h = await page.evaluate(() => window.velmora.ready.then((x) => ({ cells: x.cells, layers: Object.keys(x.layers).length })));
  check(await page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2')), 'the report draws into WebGL2');
  check(h.cells > 0 && h.layers > 5, `the report holds the scene (${h.cells} cells, ${h.layers} layers)`);
  await page.evaluate(() => window.velmora.finish());
  const px = await screenshotPixels(page);
  let lit = 0;
  for (let y = 0; y < 760; y += 8) for (let x = 0; x < 860; x += 8) { const p = px.at(x, y); if (Math.max(...p) > 90) lit += 1; }
  check(lit > 300, `the scene is drawn (${lit} bright samples)`);
  const rows = await page.evaluate(() => document.querySelectorAll('#cells tr').length);
  check(rows === h.cells + 1, `the cells table lists every cell (${rows - 1})`);
  check(problems.length === 0, `no request and no page error from file:// offline: ${problems.join('; ')}`);
} finally {
  await browser.close();
}
finish('report.html');
