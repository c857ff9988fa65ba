// The forecaster's console on a live watch folder: a synthetic series
// replayed into the watched folder while the page is open (each volume's
// time in turn, as many forecast outlines as forecast.geojson has features),
// the watcher killed with SIGKILL and started again (the page says so within
// 5 s), nothing written into the folder by the server, a track's trends with
// a point per volume and its section, a track's history as the server
// answers it; the server's refusals; and, with the CPOL volume, the
// section's values against a Python computation.
// node console.mjs VELMORA WORKDIR [CPOL.nc]
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { spawn, execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { launch, watchedPage, check, finish } from './browser.mjs';
import { startView } from './server.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const [velmora, work] = process.argv.slice(2, 4).map((a) => path.resolve(a));
const cpol = process.argv[4];
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(path.join(work, 'in'), { recursive: true });
const run = (...args) => execFileSync(velmora, args, { cwd: work, stdio: 'ignore' });
const sleep = (ms) => new Promise((r) => { setTimeout(r, ms); });
const live = path.join(work, 'live');
const readJson = (f) => JSON.parse(fs.readFileSync(f, 'utf8'));

function startWatcher() {
  return spawn(velmora, ['watch', path.join(work, 'in'), '--out', live, '--settle', '0', '--poll', '0.2', '--no-picture',
    '--freezing-level', '4', '--minus20-level', '7', '--alert', 'mesh_mm=1.5'], { stdio: 'ignore' });
}

async function until(what, cond, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) { if (cond()) return true; await sleep(50); }
  throw new Error(`waited ${ms} ms for ${what}`);
}

const volumesDone = () => { try { return readJson(path.join(live, 'latest.json')).volumes; } catch { return 0; } };

// A file put into the watched folder as feeds do: written, then renamed.
function deliver(file) {
  const target = path.join(work, 'in', path.basename(file));
  fs.copyFileSync(file, `${target}.part`);
  fs.renameSync(`${target}.part`, target);
}

// Every file of the folder with its size and time, but the WAL index the
// watcher made, which SQLite's readers mark as they read.
function listing(dir) {
  const out = {};
  const walk = (d) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name);
      if (e.isDirectory()) walk(p);
      else if (!e.name.endsWith('-shm')) { const s = fs.statSync(p); out[path.relative(dir, p)] = `${s.size} ${s.mtimeMs}`; }
    }
  };
  walk(dir);
  return JSON.stringify(out);
}

function request(port, pathAndQuery, { host = `127.0.0.1:${port}`, method = 'GET', body = '' } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, path: pathAndQuery, method, headers: { Host: host }, timeout: 5000 }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks) }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

// A pack's header and its float32 arrays (lib/scene/pack.h).
function readPack(buf) {
  const length = buf.readUInt32LE(4);
  const header = JSON.parse(buf.toString('utf8', 8, 8 + length));
  const start = Math.ceil((8 + length) / 8) * 8;
  const arrays = header.arrays.map((a) => new Float32Array(buf.buffer.slice(buf.byteOffset + start + a.offset, buf.byteOffset + start + a.offset + 4 * a.count)));
  return { header, arrays };
}

async function replay(page, files, from, to) {
  for (let i = from; i < to; i += 1) {
    deliver(files[i]);
    await until(`volume ${i + 1} recorded`, () => volumesDone() === i + 1, 60000);
    const latest = readJson(path.join(live, 'latest.json'));
    const started = Date.now();
    const shown = await page.waitForFunction((t) => {
      const e = document.getElementById('shown-time');
      return e.textContent.includes(t) && e.dataset.drawn === e.dataset.volume;
    }, latest.time.replace('.000', ''), { timeout: 10000 })
      .then(() => true, () => false);
    check(shown, `volume ${i + 1}'s time ${latest.time} shown (${Date.now() - started} ms after it was recorded)`);
    const features = readJson(path.join(live, latest.folder, 'forecast.geojson')).features.length;
    const outlines = await page.evaluate(() => window.velmora.console.plan().outlines);
    check(outlines === features, `volume ${i + 1}: ${outlines} forecast outlines drawn, forecast.geojson has ${features}`);
  }
}

async function liveFolder(browser) {
  run('synth', '--series', '8', 'series');
  fs.rmSync(path.join(work, 'series', 'truth.csv'));
  const files = fs.readdirSync(path.join(work, 'series')).filter((f) => f.endsWith('.nc')).sort().map((f) => path.join(work, 'series', f));
  let watcher = startWatcher();
  await until('watch.db', () => fs.existsSync(path.join(live, 'watch.db')), 20000);
  const server = await startView(velmora, [live]);
  check(/console\.html\?token=/.test(server.url), `the console's URL is printed (${server.url})`);
  const { page, problems } = await watchedPage(browser, { width: 1300, height: 800 });
  try {
    await page.goto(server.url);
    await page.evaluate(() => window.velmora.console.ready);
    await replay(page, files, 0, 4);
    const alertsBefore = await page.evaluate(() => window.velmora.console.state.summary.alerts);
    check(alertsBefore.length > 0, `cells crossed MESH 1.5 mm: alerts recorded (${alertsBefore.length})`);
    // The watcher killed: the page says so within 5 s, and since when.
    watcher.kill('SIGKILL');
    const killed = Date.now();
    const said = await page.waitForFunction(() => /watcher stopped since \d{4}-/.test(document.getElementById('watcher').textContent), null, { timeout: 5000 })
      .then(() => true, () => false);
    check(said, `the page says the watcher stopped within 5 s (${Date.now() - killed} ms)`);
    const before = listing(live);
    await sleep(1500);
    check(listing(live) === before, 'the server wrote nothing into the watch folder while the page was open');
    watcher = startWatcher();
    const resumed = await page.waitForFunction(() => document.getElementById('watcher').textContent.startsWith('watcher running'), null, { timeout: 5000 })
      .then(() => true, () => false);
    check(resumed, 'the page says the watcher runs again');
    await replay(page, files, 4, files.length);
    await alertsKept(page, alertsBefore);
    await trendsAndSection(page);
    await trackAnswer(server);
    await refusals(server);
    check(problems.length === 0, `no page errors: ${problems.join('; ')}`);
  } finally {
    watcher.kill('SIGTERM');
    await page.close();
    await server.stop();
  }
}

// Each track alerted once per property, those of before the restart kept
// as they were; the page lists them all and marks their cells.
async function alertsKept(page, before) {
  const { after, listed, marked } = await page.evaluate(() => ({
    after: window.velmora.console.state.summary.alerts,
    listed: document.querySelectorAll('#alerts li[data-track]').length,
    marked: [...document.querySelectorAll('#cells tr.alert')].map((tr) => Number(tr.dataset.track)),
  }));
  const keys = after.map((a) => `${a.track} ${a.property}`);
  check(new Set(keys).size === keys.length, `no track alerted twice for a property (${keys.join('; ')})`);
  const kept = before.every((b) => after.some((a) => a.track === b.track && a.property === b.property && a.time === b.time && a.volume === b.volume));
  check(kept, 'the alerts recorded before the kill are kept, unchanged, after the restart');
  check(listed === after.length, `the page lists every alert (${listed}, ${after.length})`);
  const tracks = new Set(after.map((a) => a.track));
  check(marked.every((t) => tracks.has(t)), `only alerted tracks are marked in the table (${marked})`);
}

// The longest track's trends (a point per volume of it) and its section.
async function trendsAndSection(page) {
  const rows = fs.readFileSync(path.join(live, 'tracks.csv'), 'utf8').trim().split('\n').slice(1).map((l) => l.split(','));
  const counts = new Map();
  for (const r of rows) counts.set(r[0], (counts.get(r[0]) || 0) + 1);
  const [track, n] = [...counts].sort((a, b) => b[1] - a[1])[0];
  const got = await page.evaluate(async (t) => {
    await window.velmora.console.select(t);
    const s = window.velmora.console.state;
    const dbz = s.charts.trends.find((c) => c.property === 'max_dbz');
    const pack = s.sectionPack;
    return { points: dbz?.observedPoints, dashed: dbz ? dbz.data[2].filter((v) => v !== null).length : 0, charts: s.charts.trends.length,
      samples: pack.header.samples, levels: pack.header.z_km.length, values: pack.arrays[pack.header.values].length,
      selected: document.querySelector('#cells tr.selected')?.dataset.track, ms: s.lastSelect };
  }, Number(track));
  check(got.points === n, `track ${track}'s max dBZ trend has a point per volume of its track (${got.points}, ${n})`);
  check(got.dashed > 1, `its forecast continues the trend (${got.dashed} points)`);
  check(got.charts >= 4, `trends of max dBZ, top, VIL, volume and the hail values (${got.charts} charts)`);
  check(got.values === got.samples * got.levels && got.samples > 2, `the section has a value per sample and level (${got.samples} x ${got.levels})`);
  check(got.selected === track, 'the track\'s row is marked');
  const blank = await page.evaluate(() => {
    const c = document.querySelector('#section canvas');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let coloured = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3] > 0 && (d[i] !== d[i + 1] || d[i + 1] !== d[i + 2])) coloured += 1;
    return coloured;
  });
  check(blank > 100, `the section draws echo in colour (${blank} pixels)`);
}

// A track's history as the server answers it (/api/track): a row per row of
// tracks.csv for the track, in time order, with the time of its volume.
async function trackAnswer(server) {
  const { port, token } = server;
  const lines = fs.readFileSync(path.join(live, 'tracks.csv'), 'utf8').trim().split('\n').map((l) => l.split(','));
  const cols = Object.fromEntries(lines[0].map((n, i) => [n, i]));
  const track = Number(lines[1][cols.track]);
  const mine = lines.slice(1).filter((r) => Number(r[cols.track]) === track);
  const answer = await request(port, `/api/track?token=${token}`, { method: 'POST', body: JSON.stringify({ track }) });
  check(answer.status === 200, `the server answers a track's history (${answer.status})`);
  if (answer.status !== 200) return;
  const { header } = readPack(answer.body);
  const at = Object.fromEntries(header.cells.columns.map((n, i) => [n, i]));
  const rows = header.cells.rows;
  const close = (a, b) => Math.abs(a - b) < 1e-3;
  check(header.track === track && rows.length === mine.length, `track ${track}: a row per cell of tracks.csv (${rows.length}, ${mine.length})`);
  check(rows.every((r, i) => close(r[at.time], Date.parse(mine[i][cols.time]) / 1000) && close(r[at.x_km], Number(mine[i][cols.x_km]))
    && close(r[at.max_dbz], Number(mine[i][cols.max_dbz])) && r[at.track] === track),
  'each row has the time, place and maximum of the cell in tracks.csv, oldest first');
  check((await request(port, '/api/track', { method: 'POST', body: JSON.stringify({ track }) })).status === 403, 'a track without the token: 403');
  const none = await request(port, `/api/track?token=${token}`, { method: 'POST', body: '{"track": 9999}' });
  check(none.status === 400 && /9999/.test(none.body.toString()), `a track the event lacks: 400 (${none.status} ${none.body})`);
  const bad = await request(port, `/api/track?token=${token}`, { method: 'POST', body: '{"track": "one"}' });
  check(bad.status === 400, `a track that is no number: 400 (${bad.status} ${bad.body})`);
}

async function refusals(server) {
  const { port, token } = server;
  check((await request(port, '/api/event', { method: 'POST' })).status === 403, 'no token: 403');
  check((await request(port, `/api/event?token=${token}`, { method: 'POST', host: 'evil.example:80' })).status === 421, 'another Host: 421');
  check((await request(port, `/volumes/series_000/radar.vti?token=${token}`)).status === 404, 'the folder\'s files are not served: 404');
  const bad = await request(port, `/api/plan?token=${token}`, { method: 'POST', body: '{"volume": 99}' });
  check(bad.status === 400 && /volume/.test(bad.body.toString()), `a volume the event lacks: 400 (${bad.status} ${bad.body})`);
  const line = await request(port, `/api/section?token=${token}`, { method: 'POST', body: '{"from": [900, 900], "to": [901, 900]}' });
  check(line.status === 400, `a line outside the grid: 400 (${line.status} ${line.body})`);
}

// CPOL watched once; the server's section along a diagonal compared with
// the same samples computed in Python from radar.vti.
async function cpolSection() {
  if (!cpol || !fs.existsSync(cpol)) { console.log('NOTICE: no CPOL volume, the section is not checked against Python'); return; }
  fs.mkdirSync(path.join(work, 'cpol-in'));
  fs.copyFileSync(cpol, path.join(work, 'cpol-in', path.basename(cpol)));
  run('watch', path.join(work, 'cpol-in'), '--out', path.join(work, 'cpol'), '--once', '--settle', '0', '--no-picture');
  const server = await startView(velmora, [path.join(work, 'cpol')]);
  try {
    const answer = await request(server.port, `/api/section?token=${server.token}`, { method: 'POST', body: '{"from": [-60, -45], "to": [55, 40]}' });
    const { header, arrays } = readPack(answer.body);
    const file = path.join(work, 'section.json');
    fs.writeFileSync(file, JSON.stringify({ ...header, values: Array.from(arrays[header.values], (v) => (Number.isFinite(v) ? v : null)) }));
    const folder = fs.readdirSync(path.join(work, 'cpol', 'volumes'))[0];
    let out = '';
    let ok = true;
    try {
      out = execFileSync('/usr/bin/python3', [path.join(here, 'section_check.py'), path.join(work, 'cpol', 'volumes', folder, 'radar.vti'), file], { encoding: 'utf8' });
    } catch (e) { ok = false; out = `${e.stdout}${e.stderr}`; }
    check(ok, `the CPOL section equals the grid's trilinear values: ${out.trim()}`);
  } finally {
    await server.stop();
  }
}

const browser = await launch();
try {
  await liveFolder(browser);
  await cpolSection();
} catch (e) {
  check(false, e.stack);
} finally {
  await browser.close();
}
finish('viewer.console');
