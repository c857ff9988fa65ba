// Every network of examples/ opens in velmora view without a page error,
// each of its fields drawn by its kind.
// node examples.mjs VELMORA EXAMPLES_DIR WORKDIR
import fs from 'node:fs';
import path from 'node:path';
import { launch, watchedPage, check, finish } from './browser.mjs';
import { startView } from './server.mjs';

const [velmora, examples, work] = process.argv.slice(2).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });

const browser = await launch();
try {
  for (const name of fs.readdirSync(examples).filter((f) => f.endsWith('.json')).sort()) {
    const server = await startView(velmora, [path.join(examples, name), '--out', path.join(work, name.replace('.json', ''))], { cwd: work });
    // A small window: what is checked is what each field draws, not its pixels.
    const { page, problems } = await watchedPage(browser, { width: 320, height: 240 });
    try {
      await page.goto(server.url);
      const layers = await page.evaluate(() => window.velmora.ready.then((h) => Object.keys(h.layers).length));
      const drawn = await page.evaluate(() => Object.values(window.velmora.state.layers).reduce((n, l) => n + l.props.length, 0));
      check(layers > 0 && drawn > 0, `${name}: ${layers} fields, ${drawn} drawn`);
    } catch (e) {
      check(false, `${name}: ${e.message}`);
    }
    check(problems.length === 0, `${name} opens without a page error: ${problems.join('; ')}`);
    await page.close();
    await server.stop();
  }
} finally {
  await browser.close();
}
finish('examples in velmora view');
