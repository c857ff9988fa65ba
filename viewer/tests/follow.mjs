// The 3-D page following a live watch: opened by the console's link before
// the watcher recorded a volume, it says it waits for the first and shows it
// when it comes (the console beside it too). Then, while a
// synthetic series is replayed into the watched folder, it shows each
// volume's time and that volume's cells in turn without a reload, keeping
// the camera, the layers ticked and the heights' scale; it says when the
// watcher stopped and follows it again when it is restarted; a move of the
// volume slider stops the following, the box "newest" starts it again.
// node follow.mjs VELMORA WORKDIR
import fs from 'node:fs';
import path from 'node:path';
import { spawn, execFileSync } from 'node:child_process';
import { launch, watchedPage, screenshotPixels, check, finish } from './browser.mjs';
import { startView } from './server.mjs';

const [velmora, work] = process.argv.slice(2, 4).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(path.join(work, 'in'), { recursive: true });
const sleep = (ms) => new Promise((r) => { setTimeout(r, ms); });
const live = path.join(work, 'live');
const lines = (file) => fs.readFileSync(file, 'utf8').trim().split('\n').map((l) => l.split(','));
const background = [15, 20, 28];

const startWatcher = () => spawn(velmora, ['watch', path.join(work, 'in'), '--out', live, '--settle', '0', '--poll', '0.2',
  '--no-picture'], { stdio: 'ignore' });

async function until(what, cond, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) { if (cond()) return; await sleep(50); }
  throw new Error(`waited ${ms} ms for ${what}`);
}

const recorded = () => { try { return JSON.parse(fs.readFileSync(path.join(live, 'latest.json'), 'utf8')).volumes; } catch { return 0; } };

function deliver(file) {
  const target = path.join(work, 'in', path.basename(file));
  fs.copyFileSync(file, `${target}.part`);
  fs.renameSync(`${target}.part`, target);
}

// Volume k (from 0) as the folder has it: its time, its cells' tracks, and
// its surface's triangles.
function volumeOf(k) {
  const volumes = lines(path.join(live, 'volumes.csv'));
  const col = (n) => volumes[0].indexOf(n);
  const v = volumes[k + 1];
  const tracks = lines(path.join(live, 'tracks.csv'));
  const t = (n) => tracks[0].indexOf(n);
  const labels = tracks.slice(1).filter((r) => r[t('source')] === v[col('volume')]).map((r) => `track ${Number(r[t('track')])}`);
  const vtp = path.join(live, 'volumes', v[col('folder')], 'isosurface.vtp');
  const polys = fs.existsSync(vtp) ? Number(fs.readFileSync(vtp, 'latin1').match(/NumberOfPolys="(\d+)"/)[1]) : 0;
  return { time: v[col('time')], cells: Number(v[col('cells')]), labels: labels.sort(), polys };
}

// What the page shows now.
const shown = (page) => page.evaluate(() => {
  const v = window.velmora;
  const surface = v.state.layers.surface?.props[0]?.getMapper().getInputData();
  const cam = v.state.renderer.getActiveCamera();
  return {
    status: document.getElementById('status').textContent,
    watcher: document.getElementById('watcher')?.textContent,
    series: v.state.header.series,
    labels: (v.state.layers.centres?.labels || []).map((l) => l.text).sort(),
    polys: surface ? surface.getPolys().getNumberOfCells() : 0,
    camera: [...cam.getPosition(), ...cam.getFocalPoint()],
    scale: v.state.layers.surface?.props[0]?.getScale()[2],
    ticks: document.getElementById('layer-ticks').checked,
    ticksShown: v.state.layers.ticks.props.some((p) => p.getVisibility()),
    slider: Number(document.getElementById('ctl-time').max),
  };
});

async function waitShown(page, k, why) {
  await until(`volume ${k + 1} recorded`, () => recorded() >= k + 1, 60000);
  const want = volumeOf(k);
  const ok = await page.waitForFunction(([n, t]) => window.velmora.state.header.series.volume === n
    && document.getElementById('status').textContent.includes(t), [k, want.time], { timeout: 10000 }).then(() => true, () => false);
  const s = await shown(page);
  check(ok, `${why}: volume ${k + 1}'s time ${want.time} shown (${s.status})`);
  check(s.series.volumes === k + 1 && s.slider === k, `${why}: the slider reaches volume ${k + 1} (${s.series.volumes} volumes, up to ${s.slider + 1})`);
  check(s.status.includes(`${want.cells} storm cells`) && JSON.stringify(s.labels) === JSON.stringify(want.labels),
    `${why}: volume ${k + 1}'s ${want.cells} cells by track (${s.labels.join(', ')})`);
  check(s.polys === want.polys, `${why}: volume ${k + 1}'s surface drawn (${s.polys} of ${want.polys} triangles)`);
  return s;
}

async function followed(browser, files) {
  let watcher = startWatcher();
  await until('the watcher\'s database', () => fs.existsSync(path.join(live, 'watch.db')), 20000);
  const server = await startView(velmora, [live, '--out', path.join(work, 'out')], { cwd: work });
  const { page, problems } = await watchedPage(browser, { width: 1100, height: 700 });
  const { page: board, problems: boardProblems } = await watchedPage(browser, { width: 1100, height: 700 });
  try {
    // Before the first volume: the console and the 3-D page wait for it.
    await board.goto(server.url);
    await board.evaluate(() => window.velmora.console.ready);
    await page.goto(server.url);
    await page.evaluate(() => window.velmora.console.ready);
    await page.click('#link3d');
    const waits = await page.waitForFunction(() => /waiting for the watcher's first volume/.test(document.getElementById('status')?.textContent),
      null, { timeout: 20000 }).then(() => true, () => false);
    check(waits, `the 3-D page waits for the watcher's first volume (${await page.evaluate(() => document.getElementById('status')?.textContent)})`);
    deliver(files[0]);
    await page.waitForFunction(() => window.velmora?.ready, null, { timeout: 20000 });
    await page.evaluate(() => window.velmora.ready);
    await waitShown(page, 0, 'the first volume come');
    check(await board.waitForFunction(() => /· 1 volumes/.test(document.getElementById('event-title').textContent), null, { timeout: 10000 })
      .then(() => true, () => false), `the console shows the first volume (${await board.evaluate(() => document.getElementById('event-title').textContent)})`);
    // The console's event stream ends as the link leaves its page; the
    // 3-D page's scene asked for before the first volume is refused (503).
    problems.splice(0, problems.length, ...problems.filter((p) => !/api\/events.*ERR_ABORTED|status of 503/.test(p)));
    check(await page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2')), 'the 3-D page draws into WebGL2');
    check(/watcher running \(pid \d+\)/.test((await shown(page)).watcher), 'the 3-D page says the watcher runs');
    // The reader's view: turned, heights three times, the height axis' labels unticked.
    await page.evaluate(() => {
      const cam = window.velmora.state.renderer.getActiveCamera();
      cam.azimuth(40); cam.elevation(10);
      window.velmora.exaggerate(3);
    });
    await page.uncheck('#layer-ticks');
    const before = await shown(page);
    let s = null;
    for (let k = 1; k < 3; k += 1) {
      deliver(files[k]);
      s = await waitShown(page, k, 'followed');
    }
    check(s.camera.every((c, i) => Math.abs(c - before.camera[i]) < 1e-6), 'the camera stays where it was put');
    check(s.scale === 3 && !s.ticks && !s.ticksShown, `the heights stay three times (${s.scale}), the unticked layer hidden`);
    const px = await screenshotPixels(page);
    let drawn = 0;
    for (let y = 100; y < 650; y += 5) for (let x = 20; x < 700; x += 5) if (px.at(x, y).some((c, i) => Math.abs(c - background[i]) > 12)) drawn += 1;
    check(drawn > 200, `the new volume is drawn (${drawn} sampled pixels off the background)`);
    // The watcher killed: said within 5 s; started again: followed again.
    watcher.kill('SIGKILL');
    const said = await page.waitForFunction(() => /watcher stopped since \d{4}-/.test(document.getElementById('watcher').textContent), null, { timeout: 5000 })
      .then(() => true, () => false);
    check(said, `the 3-D page says the watcher stopped (${(await shown(page)).watcher})`);
    watcher = startWatcher();
    check(await page.waitForFunction(() => /watcher running/.test(document.getElementById('watcher').textContent), null, { timeout: 10000 })
      .then(() => true, () => false), 'the 3-D page says the watcher runs again');
    deliver(files[3]);
    await waitShown(page, 3, 'after the restart');
    // An older volume chosen: the page stays on it as volumes come, until "newest" is ticked.
    await page.evaluate(() => { const e = document.getElementById('ctl-time'); e.value = '1'; e.dispatchEvent(new Event('change')); });
    await page.waitForFunction(() => window.velmora.state.header.series.volume === 1, null, { timeout: 10000 });
    deliver(files[4]);
    await until('volume 5 recorded', () => recorded() === 5, 60000);
    await sleep(1500);
    s = await shown(page);
    check(s.series.volume === 1 && !(await page.isChecked('#follow')), `a volume chosen stays shown (volume ${s.series.volume + 1})`);
    await page.check('#follow');
    await waitShown(page, 4, 'newest ticked again');
  } finally {
    watcher.kill('SIGTERM');
    check(problems.length === 0, `the followed page has no page error or foreign request: ${problems.join('; ')}`);
    check(boardProblems.length === 0, `the console has no page error or foreign request: ${boardProblems.join('; ')}`);
    await board.close();
    await page.close();
    await server.stop();
  }
}

execFileSync(velmora, ['synth', '--series', '5', 'series'], { cwd: work, stdio: 'ignore' });
const files = fs.readdirSync(path.join(work, 'series')).filter((f) => f.endsWith('.nc')).sort().map((f) => path.join(work, 'series', f));
const browser = await launch();
try {
  await followed(browser, files);
} finally {
  await browser.close();
}
finish('the 3-D page following a watch');
