// velmora view's console on a live watch folder, in headless chromium:
// how soon a volume the watcher recorded is on the page (a synthetic series
// of CPOL's size, 160 x 120 x 20, delivered one volume at a time), and how
// long a click on a cell takes to its trend plots and its section (CPOL
// itself when ../shared/data has it); and the memory of the server and of
// the pages (10 open at once on the one server) over a replay of 300
// volumes: from the 30th volume (a warm-up: caches filled, the pages' hot
// functions compiled; each sample after a forced garbage collection) to
// its end, and the growth per 100 volumes of a straight line fitted to a
// sample every 10 volumes after the warm-up.
// Medians and ratios, beside the targets. --parts chooses what runs
// (latency,clicks,klot,memory; all by default).
// node bench/console_bench.mjs [--velmora build/velmora] [--volumes 12] [--clicks 7] [--replay 300] [--pages 10] [--parts memory]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn, execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { launch, watchedPage } from '../viewer/tests/browser.mjs';
import { startView } from '../viewer/tests/server.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const args = Object.fromEntries(process.argv.slice(2).join(' ').split('--').filter(Boolean).map((a) => a.trim().split(/\s+/)));
const velmora = path.resolve(args.velmora || path.join(here, '..', 'build', 'velmora'));
const count = Number(args.volumes || 12), clicks = Number(args.clicks || 7);
const replayCount = Number(args.replay ?? 300), pageCount = Number(args.pages || 10);
const parts = new Set(args.parts ? String(args.parts).split(',') : ['latency', 'clicks', 'klot', 'memory']);
const warmUp = 30, every = 10;
const cpol = path.join(here, '..', '..', 'shared', 'data', 'cpol_200601200050.nc');
const klot = path.join(here, '..', '..', 'shared', 'data', 'nexrad2_chunks_klot_20260328.tar.gz');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-console-bench-'));
const sleep = (ms) => new Promise((r) => { setTimeout(r, ms); });
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

async function until(cond, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) { if (cond()) return; await sleep(20); }
  throw new Error('timed out');
}

async function console_(folder) {
  const server = await startView(velmora, [folder]);
  const watched = await watchedPage(await browser, { width: 1300, height: 800 });
  await watched.page.goto(server.url);
  await watched.page.evaluate(() => window.velmora.console.ready);
  return { server, page: watched.page };
}

// From the rename of latest.json (the watcher's last step before its
// commit) to the volume's time on the page.
async function latency() {
  const { files, watcher, deliver, live } = feed(count + 1, 'live');
  deliver(files[0]);
  await until(() => fs.existsSync(path.join(live, 'latest.json')), 60000);
  const { server, page } = await console_(live);
  const times = [];
  try {
    for (const f of files.slice(1)) {
      deliver(f);
      const name = f;
      await page.waitForFunction((n) => document.getElementById('shown-time').textContent.startsWith(n), name, { timeout: 30000, polling: 'raf' });
      const shown = Date.now();
      times.push((shown - fs.statSync(path.join(live, 'latest.json')).mtimeMs) / 1000);
    }
  } finally {
    watcher.kill('SIGTERM');
    await page.close();
    await server.stop();
  }
  return times;
}

// A watcher fed a series of n volumes as they would arrive.
function feed(n, name) {
  const series = path.join(work, `${name}-series`), input = path.join(work, `${name}-in`), live = path.join(work, name);
  execFileSync(velmora, ['synth', '--series', String(n), series], { stdio: 'ignore' });
  fs.mkdirSync(input);
  const files = fs.readdirSync(series).filter((f) => f.endsWith('.nc')).sort();
  const watcher = spawn(velmora, ['watch', input, '--out', live, '--settle', '0', '--poll', '0.1', '--no-picture'], { stdio: 'ignore' });
  const deliver = (f) => { fs.copyFileSync(path.join(series, f), path.join(input, `${f}.part`)); fs.renameSync(path.join(input, `${f}.part`), path.join(input, f)); };
  const recorded = () => { try { return JSON.parse(fs.readFileSync(path.join(live, 'latest.json'), 'utf8')).volumes; } catch { return 0; } };
  return { files, watcher, deliver, recorded, live };
}

const rssOf = (pid) => Number(fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]) / 1024;

// The server's resident memory and the pages' JavaScript heaps (MB) while
// a replay of n volumes goes by with pages open on one server: a sample
// (after a forced garbage collection in every page) at the warm-up's end
// and every 10 volumes after it, to the end.
async function memoryOverReplay(n, pages) {
  const f = feed(n, 'replay');
  f.deliver(f.files[0]);
  await until(() => f.recorded() === 1, 60000);
  const server = await startView(velmora, [f.live]);
  const opened = [];
  const heaps = async () => {
    let sum = 0;
    for (const { cdp } of opened) sum += (await cdp.send('Runtime.getHeapUsage')).usedSize / 2 ** 20;
    return sum;
  };
  const samples = [];
  try {
    for (let i = 0; i < pages; i += 1) {
      const { page } = await watchedPage(await browser, { width: 1300, height: 800 });
      await page.goto(server.url);
      await page.evaluate(() => window.velmora.console.ready);
      opened.push({ page, cdp: await page.context().newCDPSession(page) });
    }
    for (let i = 1; i < n; i += 1) {
      f.deliver(f.files[i]);
      await until(() => f.recorded() === i + 1, 60000);
      await opened[0].page.waitForFunction((k) => document.getElementById('shown-time').dataset.drawn === String(k), i, { timeout: 30000 });
      const volume = i + 1;
      if (volume === Math.min(warmUp, n) || (volume > warmUp && (volume % every === 0 || volume === n))) {
        for (const { cdp } of opened) await cdp.send('HeapProfiler.collectGarbage');
        samples.push({ volume, server: rssOf(server.child.pid), pages: await heaps() });
      }
    }
  } finally {
    f.watcher.kill('SIGTERM');
    for (const { page } of opened) await page.close();
    await server.stop();
  }
  return samples;
}

// The slope of the least-squares line through (x, y), per unit of x.
function slope(xs, ys) {
  const mx = xs.reduce((a, b) => a + b, 0) / xs.length, my = ys.reduce((a, b) => a + b, 0) / ys.length;
  let num = 0, den = 0;
  xs.forEach((x, i) => { num += (x - mx) * (ys[i] - my); den += (x - mx) ** 2; });
  return den ? num / den : 0;
}

function printMemory(samples) {
  const first = samples[0], last = samples[samples.length - 1];
  console.log(`memory over a replay of ${replayCount} volumes, ${pageCount} pages open (load ${os.loadavg()[0].toFixed(1)}):`);
  console.log(`  from volume ${first.volume} (after the warm-up) to ${last.volume}, ratio (target 1.10), growth per 100 volumes (line fitted to ${samples.length} samples)`);
  for (const [key, what] of [['server', 'server resident'], ['pages', "pages' JS heaps"]]) {
    const per100 = slope(samples.map((s) => s.volume), samples.map((s) => s[key])) * 100;
    console.log(`  ${what.padEnd(16)} ${first[key].toFixed(2).padStart(7)} MB ${last[key].toFixed(2).padStart(7)} MB ${(last[key] / first[key]).toFixed(3).padStart(6)}`
      + ` ${per100.toFixed(3).padStart(7)} MB (${((100 * per100) / first[key]).toFixed(1)} %)`);
  }
  for (const [key, what] of [['server', 'server'], ['pages', 'pages']])
    console.log(`  ${what} by volume: ${samples.map((s) => `${s.volume}:${s[key].toFixed(2)}`).join(' ')}`);
}

// The KLOT volume's 55 real-time chunks delivered into a watched folder
// with the page open (gridded at the defaults), from the watcher's record
// to the volume drawn on the page; once per run.
async function klotLatency(runs) {
  const chunks = path.join(work, 'klot-chunks');
  fs.mkdirSync(chunks);
  execFileSync('tar', ['-xzf', klot, '-C', chunks]);
  const dir = path.join(chunks, fs.readdirSync(chunks)[0]);
  const names = fs.readdirSync(dir).sort();
  const times = [];
  for (let r = 0; r < runs; r += 1) {
    const input = path.join(work, `klot-in-${r}`), live = path.join(work, `klot-${r}`);
    fs.mkdirSync(input);
    const watcher = spawn(velmora, ['watch', input, '--out', live, '--settle', '0', '--poll', '0.1', '--no-picture'], { stdio: 'ignore' });
    let opened = null;
    try {
      await until(() => fs.existsSync(path.join(live, 'watch.db')), 20000);
      opened = await console_(live);
    } catch (e) { watcher.kill('SIGTERM'); throw e; }
    const { server, page } = opened;
    try {
      for (const n of names) { fs.copyFileSync(path.join(dir, n), path.join(input, `${n}.part`)); fs.renameSync(path.join(input, `${n}.part`), path.join(input, n)); }
      await page.waitForFunction(() => document.getElementById('shown-time').dataset.drawn === '0', null, { timeout: 120000, polling: 'raf' });
      times.push((Date.now() - fs.statSync(path.join(live, 'latest.json')).mtimeMs) / 1000);
    } finally {
      watcher.kill('SIGTERM');
      await page.close();
      await server.stop();
    }
  }
  return times;
}

// A watch folder of one synthetic volume of the given synth options.
function watchedOnce(synth) {
  const input = path.join(work, 'big-in'), out = path.join(work, 'big');
  fs.mkdirSync(input);
  execFileSync(velmora, ['synth', ...synth, path.join(input, 'big.nc')], { stdio: 'ignore' });
  execFileSync(velmora, ['watch', input, '--out', out, '--once', '--settle', '0', '--no-picture'], { stdio: 'ignore' });
  return out;
}

// A click on each cell of the newest volume in turn, to its trends and section drawn.
async function clickTimes(folder) {
  const { server, page } = await console_(folder);
  try {
    return await page.evaluate(async (n) => {
      const c = window.velmora.console;
      const tracks = [...document.querySelectorAll('#cells tr[data-track]')].map((tr) => Number(tr.dataset.track));
      const out = [];
      for (let i = 0; i < n; i += 1) { await c.select(tracks[i % tracks.length]); out.push(c.state.lastSelect / 1000); }
      return out;
    }, clicks);
  } finally {
    await page.close();
    await server.stop();
  }
}

const browser = launch();
try {
  const row = (what, xs, target) => console.log(`${what.padEnd(42)} ${median(xs).toFixed(3).padStart(6)} s ${target.toFixed(3).padStart(7)} s ${(median(xs) / target).toFixed(2).padStart(6)} ${String(xs.length).padStart(6)}`);
  if (parts.has('latency') || parts.has('clicks') || parts.has('klot')) {
    const lat = parts.has('latency') || parts.has('clicks') ? await latency() : [];
    let clickFolder = path.join(work, 'live');
    let clickCase = 'synthetic 160 x 120 x 20';
    if (parts.has('clicks') && fs.existsSync(cpol)) {
      fs.mkdirSync(path.join(work, 'cpol-in'));
      fs.copyFileSync(cpol, path.join(work, 'cpol-in', path.basename(cpol)));
      execFileSync(velmora, ['watch', path.join(work, 'cpol-in'), '--out', path.join(work, 'cpol'), '--once', '--settle', '0', '--no-picture'], { stdio: 'ignore' });
      clickFolder = path.join(work, 'cpol');
      clickCase = 'CPOL 111 x 81 x 40';
    }
    const click = parts.has('clicks') ? await clickTimes(clickFolder) : [];
    console.log(`velmora view's console, medians (load ${os.loadavg()[0].toFixed(1)})`);
    console.log('case                                       median    target   ratio   runs');
    if (parts.has('latency')) row('new volume on the page, 160 x 120 x 20', lat, 1.0);
    if (parts.has('clicks')) row(`click to trends and section, ${clickCase}`, click, 0.15);
    if (parts.has('klot') && fs.existsSync(klot)) row('new volume on the page, KLOT chunks', await klotLatency(3), 2.0);
    if (parts.has('clicks')) row('click to trends and section, 700 x 700 x 50', await clickTimes(watchedOnce(['--nx', '700', '--ny', '700', '--nz', '50', '--cells', '200'])), 0.5);
  }
  if (parts.has('memory') && replayCount > 1) printMemory(await memoryOverReplay(replayCount, pageCount));
} finally {
  await (await browser).close();
  fs.rmSync(work, { recursive: true, force: true });
}
