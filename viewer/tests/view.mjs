// velmora view in chromium: the synthetic volume drawn, clicked, changed and
// its view saved and restored, against the server the program starts.
// node view.mjs VELMORA WORKDIR
import fs from 'node:fs';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launch, watchedPage, screenshotPixels, check, finish } from './browser.mjs';
import { startView } from './server.mjs';

const [velmora, work] = process.argv.slice(2).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });

// A fixed view straight down on the grid, the north up.
const topDown = { xlate: [0, 0, 220], center: [0, 0, 0], dcenter: [0, 1, 0] };
const core = [-21, -12, 3];   // the strongest cell of the scene, 56 dBZ at 3 km

async function open(browser, args) {
  const server = await startView(velmora, args, { cwd: work });
  const watched = await watchedPage(browser, { width: 1100, height: 700 });
  await watched.page.goto(server.url);
  const header = await watched.page.evaluate(() => window.velmora.ready.then((h) => ({ cells: h.cells, title: h.title })));
  return { server, ...watched, header };
}

async function webgl2(page) {
  return page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2'));
}

async function setView(page, v, hide = []) {
  await page.evaluate(([view, hidden]) => {
    const s = window.velmora.state;
    const cam = s.renderer.getActiveCamera();
    cam.setPosition(...view.xlate); cam.setFocalPoint(...view.center); cam.setViewUp(...view.dcenter);
    s.renderer.resetCameraClippingRange();
    for (const [name, l] of Object.entries(s.layers)) l.props.forEach((p) => p.setVisibility(!hidden.includes(name)));
    s.hidden = new Set(hidden);
    window.velmora.render();
  }, [v, hide]);
}

async function drawnScene(browser) {
  const { page, problems, header, server } = await open(browser, ['--out', 'out']);
  check(await webgl2(page), 'the scene draws into a WebGL2 context');
  check(header.cells === 5, `the synthetic volume has 5 cells (${header.cells})`);
  const others = ['surface', 'tops', 'centres', 'axis', 'ticks', 'tick_labels', 'slices', 'rainmesh', 'alpha', 'picks', 'ground'];
  await setView(page, topDown, others);
  const px = await screenshotPixels(page);
  const corner = px.at(4, 690);
  check(corner.every((c, i) => Math.abs(c - [15, 20, 28][i]) <= 4), `a background corner keeps the background (${corner})`);
  const [x, y] = await page.evaluate((p) => window.velmora.toDisplay(p), core);
  const c = px.at(Math.round(x), Math.round(y));
  check(c[0] > c[1] + 60 && c[0] > c[2] + 60, `the projected core of the 56 dBZ cell is red (${c} at ${x.toFixed(0)}, ${y.toFixed(0)})`);
  return { page, problems, server };
}

async function picking(page) {
  await page.evaluate(() => window.velmora.setMany([{ instance: 'thresh', path: 'thresh_value', value: 45 }]));
  await setView(page, topDown, []);
  const [x, y] = await page.evaluate((p) => window.velmora.toDisplay(p), core);
  await page.mouse.click(x, y);
  await page.waitForFunction(() => document.getElementById('picktext').textContent.includes('Pick 1'), null, { timeout: 10000 });
  const text = await page.textContent('#picktext');
  const ze = Number(text.match(/\nDT +(\S+)/)?.[1]);
  const cell = Number(text.match(/\ncell +(\S+)/)?.[1]);
  check(text.includes('xyz -2.100000e+01 -1.200000e+01'), `the click picks the voxel under it: ${JSON.stringify(text)}`);
  check(ze >= 45 && cell >= 1, `the pick text holds the voxel's value and cell (${ze} dBZ, cell ${cell})`);
  await page.mouse.click(20, 20);
  await page.waitForFunction(() => document.getElementById('picktext').textContent.startsWith('nothing picked'), null, { timeout: 10000 });
  check(true, 'a click on empty space says so');
  await page.click('#clearpicks');
}

function analyzeTriangles(level) {
  const out = path.join(work, `analyze-${level}`);
  execFileSync(velmora, ['analyze', '--level', String(level), '--out', out, '--no-picture', '--compress', 'none'], { stdio: 'ignore' });
  return Number(fs.readFileSync(path.join(out, 'isosurface.vtp'), 'latin1').match(/NumberOfPolys="(\d+)"/)[1]);
}

async function levelChange(page) {
  await page.evaluate(() => window.velmora.setMany([{ instance: 'surface', path: 'level', value: 45 }, { instance: 'volume', path: 'level', value: 45 }]));
  const status = await page.textContent('#status');
  const drawn = await page.evaluate(() => window.velmora.state.layers.surface.props[0].getMapper().getInputData().getPolys().getNumberOfCells());
  const written = analyzeTriangles(45);
  check(/· [0-4] storm cells/.test(status), `the level change updates the cell count (${status})`);
  check(drawn === written, `the triangles drawn equal analyze's isosurface at 45 dBZ (${drawn}, ${written})`);
}

// The volume's ray casting is kept while camera and volume stay: a level
// change lays the kept picture over the new scene; hiding the volume drops it.
async function keptVolume(page) {
  const others = ['surface', 'tops', 'centres', 'axis', 'ticks', 'tick_labels', 'slices', 'rainmesh', 'alpha', 'picks', 'ground'];
  await setView(page, topDown, others);
  const [x, y] = (await page.evaluate((p) => window.velmora.toDisplay(p), core)).map(Math.round);
  await page.evaluate(() => window.velmora.setMany([{ instance: 'surface', path: 'level', value: 40 }, { instance: 'volume', path: 'level', value: 40 }]));
  const kept = (await screenshotPixels(page)).at(x, y);
  check(kept[0] > kept[1] + 60 && kept[0] > kept[2] + 60, `after a level change the kept volume still shows the red core (${kept})`);
  await page.evaluate(() => window.velmora.toggle('volume', false));
  const gone = (await screenshotPixels(page)).at(x, y);
  check(gone.every((c, i) => Math.abs(c - [15, 20, 28][i]) <= 4), `a hidden volume leaves the background (${gone})`);
  await page.evaluate(() => window.velmora.toggle('volume', true));
}

// Heights drawn 4 times their scale: the props scaled, a click still picks
// the voxel under it, and no two tick labels overlap.
async function exaggerated(page) {
  await page.evaluate(() => window.velmora.clearPicks());
  await page.evaluate(() => window.velmora.exaggerate(4));
  const scale = await page.evaluate(() => window.velmora.state.layers.surface.props[0].getScale());
  check(scale[2] === 4 && scale[0] === 1, `the scene is drawn 4 times as high (${scale})`);
  const [x, y] = await page.evaluate((p) => window.velmora.toDisplay(p), core);
  await page.mouse.click(x, y);
  await page.waitForFunction(() => document.getElementById('picktext').textContent.includes('Pick 1'), null, { timeout: 10000 });
  const text = await page.textContent('#picktext');
  const xyz = text.match(/xyz +(\S+) +(\S+) +(\S+)/)?.slice(1).map(Number) || [];
  const dbz = Number(text.match(/\nDT +(\S+)/)?.[1]);
  check(Math.hypot(xyz[0] - core[0], xyz[1] - core[1]) <= 1.5 && dbz >= 45,
    `exaggerated, the click picks the echo under it, on the core's column (${xyz}, ${dbz} dBZ)`);
  const overlaps = await page.evaluate(() => {
    window.velmora.toggle('tick_labels', true);
    window.velmora.state.renderer.getActiveCamera().elevation(-80);
    window.velmora.render();
    const r = [...document.querySelectorAll('.label.tick')].map((e) => e.getBoundingClientRect());
    let n = 0;
    for (let i = 0; i < r.length; i += 1) for (let j = i + 1; j < r.length; j += 1) {
      if (r[i].left < r[j].right && r[j].left < r[i].right && r[i].top < r[j].bottom && r[j].top < r[i].bottom) n += 1;
    }
    return { n, labels: r.length };
  });
  check(overlaps.n === 0 && overlaps.labels > 0, `no two height labels overlap (${overlaps.n} of ${overlaps.labels} labels)`);
  await page.evaluate(() => window.velmora.exaggerate(1));
}

async function savedView(page) {
  const saved = await page.evaluate(() => window.velmora.saveView());
  const view = await page.evaluate(() => window.velmora.currentView());
  const file = path.join(work, 'out', 'view.v');
  const text = fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
  const nums = text.slice(text.lastIndexOf('mat')).match(/-?\d\.\d+e[+-]\d+/g)?.slice(0, 16).map(Number) || [];
  const same = nums.length === 16 && nums.every((v, i) => Math.abs(v - view.mat[i]) <= 1e-5 * Math.max(1, Math.abs(v)));
  check(saved.saved === file && same, `WriteXform's file holds the page's transform (${saved.saved})`);
  return { file, view };
}

const browser = await launch();
try {
  const { page, problems, server } = await drawnScene(browser);
  await picking(page);
  await keptVolume(page);
  await exaggerated(page);
  await levelChange(page);
  const { file, view } = await savedView(page);
  check(problems.length === 0, `no console error, page error or foreign request: ${problems.join('; ')}`);
  await server.stop();
  const again = await open(browser, ['--out', 'out', '--xform', file]);
  const cam = await again.page.evaluate(() => window.velmora.currentView());
  check(cam.xlate.every((v, i) => Math.abs(v - view.xlate[i]) < 1e-3 * Math.max(1, Math.abs(v))), `--xform restores the saved view (${cam.xlate} / ${view.xlate})`);
  check(again.problems.length === 0, `no page error with --xform: ${again.problems.join('; ')}`);
  await again.server.stop();
} finally {
  await browser.close();
}
finish('velmora view');
