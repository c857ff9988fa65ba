// Wind arrows in velmora view: a volume `velmora synth --winds` wrote opens
// with ScaleVector's arrows drawn and Legend3DVector's reference lengths as
// text, and the band of ThreshVec takes them away.
// node winds.mjs VELMORA WORKDIR
import fs from 'node:fs';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launch, watchedPage, screenshotPixels, check, finish } from './browser.mjs';
import { startView } from './server.mjs';

const [velmora, work] = process.argv.slice(2).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
execFileSync(velmora, ['synth', '--winds', 'wind.nc'], { cwd: work, stdio: 'ignore' });

// Samples of the view that are neither the background nor grey lines.
async function colouredSamples(page) {
  await page.evaluate(() => window.velmora.finish());
  const px = await screenshotPixels(page);
  let n = 0;
  // Above the colour bar, left of the panel.
  for (let y = 0; y < 640; y += 3) for (let x = 0; x < 760; x += 3) {
    const [r, g, b] = px.at(x, y);
    if (Math.max(r, g, b) - Math.min(r, g, b) > 60) n += 1;
  }
  return n;
}

const browser = await launch();
const server = await startView(velmora, ['wind.nc', '--out', 'out'], { cwd: work });
const { page, problems } = await watchedPage(browser, { width: 1100, height: 700 });
try {
  await page.goto(server.url);
  const h = await page.evaluate(() => window.velmora.ready.then((x) => ({ winds: x.grid.winds, arrows: x.layers.winds.arrows })));
  check(await page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2')), 'the winds draw into WebGL2');
  check(h.winds === true && h.arrows > 50, `the volume's winds are found and thinned to arrows (${h.arrows})`);
  const lines = await page.evaluate(() => window.velmora.state.layers.winds.props[0].getMapper().getInputData().getLines().getNumberOfCells());
  check(lines === 3 * h.arrows, `each arrow is a shaft and a head of two strokes (${lines} lines)`);
  const labels = await page.evaluate(() => [...document.querySelectorAll('#labels .label')].filter((e) => e.textContent === '10 m/s').length);
  check(labels === 9, `Legend3DVector's nine reference lengths are written (${labels})`);
  // Only the arrows, seen from above.
  await page.evaluate(() => {
    const s = window.velmora.state;
    for (const [name, l] of Object.entries(s.layers)) l.props.forEach((p) => p.setVisibility(name === 'winds'));
    s.hidden = new Set(Object.keys(s.layers).filter((n) => n !== 'winds'));
    window.velmora.planView();
  });
  const before = await colouredSamples(page);
  check(before > 100, `the arrows are drawn in colour (${before} samples)`);
  await page.evaluate(() => window.velmora.setMany([{ instance: 'windband', path: 'vec_min', value: 99 }]));
  const after = await colouredSamples(page);
  const kind = await page.evaluate(() => window.velmora.state.layers.winds.layer.kind);
  check(kind === 'empty' && after === 0, `a band above every echo leaves no arrow (${kind}, ${after} samples)`);
  check(problems.length === 0, `no console error, page error or foreign request: ${problems.join('; ')}`);
} finally {
  await page.close();
  await server.stop();
  await browser.close();
}
finish('winds in velmora view');
