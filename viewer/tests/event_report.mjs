// velmora report on a watch folder of a synthetic series: one HTML file of
// at most 5 MB that opens from file:// with no request, shows every volume's
// cells and draws every chart (the plan view, the trends, the section, the
// verification) with something on it.
// node event_report.mjs VELMORA WORKDIR
import fs from 'node:fs';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launch, watchedPage, check, finish } from './browser.mjs';

const [velmora, work] = process.argv.slice(2).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const run = (...args) => execFileSync(velmora, args, { cwd: work, encoding: 'utf8' });

run('synth', '--series', '24', 'series');
fs.rmSync(path.join(work, 'series', 'truth.csv'));
run('watch', 'series', '--out', 'live', '--once', '--settle', '0', '--no-picture', '--freezing-level', '4', '--minus20-level', '7');
const said = run('report', 'live');
const file = path.join(work, 'live', 'report.html');
const bytes = fs.statSync(file).size;
check(bytes <= 5e6, `the report is at most 5 MB (${(bytes / 1e6).toFixed(2)} MB)`);
check(/velmora report: .*report\.html \(24 volumes/.test(said), `it says what it wrote: ${said.trim()}`);

// The canvases of a box with pixels other than their background.
function painted(selector) {
  return [...document.querySelectorAll(selector)].map((c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3] > 0 && (d[i] !== d[0] || d[i + 1] !== d[1] || d[i + 2] !== d[2])) n += 1;
    return n;
  });
}

const browser = await launch();
try {
  const { page, problems } = await watchedPage(browser, { width: 1300, height: 800, anyRequest: true });
  await page.goto(`file://${file}`);
  await page.evaluate(() => window.velmora.console.ready);
  await page.waitForFunction(() => window.velmora.console.state.charts.section !== null, null, { timeout: 10000 });
  const got = await page.evaluate((paint) => {
    const f = new Function(`return (${paint})`)();
    const s = window.velmora.console.state;
    return {
      volumes: s.summary.volumes.length, rows: document.querySelectorAll('#cells tr[data-track]').length,
      plan: f('#plan'), trends: f('#trends canvas'), section: f('#section canvas'), verification: f('#verification canvas'),
      outlines: window.velmora.console.plan().outlines, tracks: window.velmora.console.plan().tracks,
    };
  }, painted.toString());
  check(got.volumes === 24, `the report holds the 24 volumes (${got.volumes})`);
  check(got.rows > 0, `the newest volume's cells are listed (${got.rows})`);
  for (const name of ['plan', 'trends', 'section', 'verification']) {
    check(got[name].length > 0 && got[name].every((n) => n > 50), `every ${name} chart is drawn, none blank (${got[name]})`);
  }
  check(got.outlines > 0 && got.tracks > 0, `the plan view has the forecast outlines and the tracks (${got.outlines}, ${got.tracks})`);
  check(problems.length === 0, `nothing loaded from anywhere, no error: ${problems.join('; ')}`);
} catch (e) {
  check(false, e.stack);
} finally {
  await browser.close();
}
finish('viewer.event_report');
