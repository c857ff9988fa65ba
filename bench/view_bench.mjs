// velmora view in headless chromium (software WebGL), medians of --repeat
// runs: from starting the program to the first complete frame, a level
// change to the redrawn scene (and the server's re-run within it), a click
// to the pick text; for a 700 x 700 x 50 volume also the server's peak
// memory against velmora analyze's on the same volume. Each against its
// target. node bench/view_bench.mjs [--repeat N] [--skip-large]
// (make bench-view sets VELMORA_NODE_MODULES to the build's npm folder).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync, spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { launch, watchedPage } from '../viewer/tests/browser.mjs';
import { startView } from '../viewer/tests/server.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const velmora = path.join(root, 'build', 'velmora');
const argv = process.argv.slice(2);
const repeat = Number(argv[argv.indexOf('--repeat') + 1]) || 5;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-view-bench-'));
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

// Peak resident memory (VmHWM) of the server process, MB.
function peakMb(pid) {
  const s = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(s.match(/VmHWM:\s+(\d+)/)[1]) / 1024;
}

async function once(browser, volume, level) {
  const t0 = performance.now();
  const server = await startView(velmora, [volume, '--out', path.join(work, 'out')], { cwd: work });
  const up = performance.now() - t0;
  const { page, problems } = await watchedPage(browser, { width: 1280, height: 800 });
  const opened = performance.now() - t0;
  await page.goto(server.url);
  // The page's own steps (window.velmora.marks, ms from its start).
  const m = await page.evaluate(() => window.velmora.ready.then(() => {
    const t = performance.now();
    window.velmora.finish();
    return { ...window.velmora.marks, finish: performance.now() - t };
  }));
  const first = performance.now() - t0;
  const steps = { server: up, page: opened - up, script: m.script, context: m.view - m.script, scene: m.scene - m.view,
    layers: m.layers - m.scene, draw: m.render - m.layers + m.finish };
  const change = await page.evaluate(async (l) => {
    const t = performance.now();
    await window.velmora.setMany([{ instance: 'surface', path: 'level', value: l }, { instance: 'volume', path: 'level', value: l }]);
    const m = window.velmora.marks;
    window.velmora.finish();
    return { total: performance.now() - t, rerun: 1000 * window.velmora.state.header.seconds, answer: m.answer - t };
  }, level);
  // The same without the volume layer: software WebGL spends most of a
  // frame ray-casting the volume.
  const bare = await page.evaluate(async (l) => {
    window.velmora.toggle('volume', false);
    const t = performance.now();
    await window.velmora.setMany([{ instance: 'surface', path: 'level', value: l }, { instance: 'volume', path: 'level', value: l }]);
    window.velmora.finish();
    return performance.now() - t;
  }, level - 3);
  const pick = await page.evaluate(async () => {
    const { width, height } = document.getElementById('view').getBoundingClientRect();
    const t = performance.now();
    await window.velmora.pickAt(width / 2, height / 2);
    return performance.now() - t;
  });
  const memory = peakMb(server.child.pid);
  if (problems.length) console.error(`page problems: ${problems.join('; ')}`);
  await page.close();
  await server.stop();
  return { first, change: change.total, answer: change.answer, bare, rerun: change.rerun, pick, memory, ...steps };
}

async function measure(browser, name, volume, level, n) {
  const runs = [];
  for (let i = 0; i < n; i += 1) runs.push(await once(browser, volume, level));
  const m = Object.fromEntries(Object.keys(runs[0]).map((k) => [k, median(runs.map((r) => r[k]))]));
  console.log(`${name}: first frame ${(m.first / 1000).toFixed(2)} s, level change ${m.change.toFixed(0)} ms ` +
    `(answered in ${m.answer.toFixed(0)} ms, re-run ${m.rerun.toFixed(0)} ms within; ${m.bare.toFixed(0)} ms without the volume layer), pick ${m.pick.toFixed(0)} ms, server peak ${m.memory.toFixed(0)} MB (medians of ${n})`);
  console.log(`  first frame, ms: server up ${m.server.toFixed(0)}, new page ${m.page.toFixed(0)}, bundle run ${m.script.toFixed(0)}, ` +
    `WebGL context ${m.context.toFixed(0)}, scene fetched ${m.scene.toFixed(0)}, layers built ${m.layers.toFixed(0)}, drawn ${m.draw.toFixed(0)}`);
  return m;
}

function analyzePeakMb(volume) {
  const r = spawnSync('/usr/bin/time', ['-f', '%M', velmora, 'analyze', volume, '--out', path.join(work, 'analysis'), '--no-picture'],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  return Number(r.stderr.toString().trim().split('\n').pop()) / 1024;
}

const ratio = (v, target) => `${(v / target).toFixed(2)} of the target`;
const browser = await launch();
try {
  const cpol = path.join(root, '..', 'shared', 'data', 'cpol_200601200050.nc');
  if (fs.existsSync(cpol)) {
    const m = await measure(browser, 'CPOL 111 x 81 x 40', cpol, 45, repeat);
    console.log(`  targets: first frame ${ratio(m.first, 1500)}, level change ${ratio(m.change, 150)}, ` +
      `re-run ${ratio(m.rerun, 50)}, pick ${ratio(m.pick, 100)}`);
  } else {
    console.log(`CPOL volume not found at ${cpol}: skipped`);
  }
  if (!argv.includes('--skip-large')) {
    const big = path.join(work, 'big.nc');
    execFileSync(velmora, ['synth', big, '--nx', '700', '--ny', '700', '--nz', '50', '--cells', '200']);
    const m = await measure(browser, 'synthetic 700 x 700 x 50', big, 45, Math.min(repeat, 3));
    const analyze = analyzePeakMb(big);
    console.log(`  targets: first frame ${ratio(m.first, 5000)}, level change ${ratio(m.change, 1500)}, ` +
      `memory ${(m.memory / analyze).toFixed(2)} x analyze's ${analyze.toFixed(0)} MB (target 1.2)`);
  }
} finally {
  await browser.close();
  fs.rmSync(work, { recursive: true, force: true });
}
