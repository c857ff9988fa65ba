// velmora view's console on a live watch folder, in headless chromium:
// how soon a volume the watcher recorded is on the page (a synthetic series
// of CPOL's size, 160 x 120 x 20, delivered one volume at a time), and how
// long a click on a cell takes to its trend plots and its section (CPOL
// itself when ../shared/data has it). Medians, beside the targets.
// node bench/console_bench.mjs [--velmora build/velmora] [--volumes 12] [--clicks 7]
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
const cpol = path.join(here, '..', '..', 'shared', 'data', 'cpol_200601200050.nc');
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
  execFileSync(velmora, ['synth', '--series', String(count + 1), path.join(work, 'series')], { stdio: 'ignore' });
  fs.mkdirSync(path.join(work, 'in'));
  const live = path.join(work, 'live');
  const files = fs.readdirSync(path.join(work, 'series')).filter((f) => f.endsWith('.nc')).sort();
  const watcher = spawn(velmora, ['watch', path.join(work, 'in'), '--out', live, '--settle', '0', '--poll', '0.1', '--no-picture'], { stdio: 'ignore' });
  const deliver = (f) => { fs.copyFileSync(path.join(work, 'series', f), path.join(work, 'in', `${f}.part`)); fs.renameSync(path.join(work, 'in', `${f}.part`), path.join(work, 'in', f)); };
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
  const lat = await latency();
  let clickFolder = path.join(work, 'live');
  let clickCase = 'synthetic 160 x 120 x 20';
  if (fs.existsSync(cpol)) {
    fs.mkdirSync(path.join(work, 'cpol-in'));
    fs.copyFileSync(cpol, path.join(work, 'cpol-in', path.basename(cpol)));
    execFileSync(velmora, ['watch', path.join(work, 'cpol-in'), '--out', path.join(work, 'cpol'), '--once', '--settle', '0', '--no-picture'], { stdio: 'ignore' });
    clickFolder = path.join(work, 'cpol');
    clickCase = 'CPOL 111 x 81 x 40';
  }
  const click = await clickTimes(clickFolder);
  console.log(`velmora view's console, medians (load ${os.loadavg()[0].toFixed(1)})`);
  console.log('case                                       median    target   ratio   runs');
  const row = (what, xs, target) => console.log(`${what.padEnd(42)} ${median(xs).toFixed(3).padStart(6)} s ${target.toFixed(3).padStart(7)} s ${(median(xs) / target).toFixed(2).padStart(6)} ${String(xs.length).padStart(6)}`);
  row('new volume on the page, 160 x 120 x 20', lat, 1.0);
  row(`click to trends and section, ${clickCase}`, click, 0.15);
} finally {
  await (await browser).close();
  fs.rmSync(work, { recursive: true, force: true });
}
