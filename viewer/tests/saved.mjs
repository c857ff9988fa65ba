// velmora view on saved results, nothing run again: an analyze folder of
// the synthetic volume (the scene drawn, its cells' table, a pick from
// radar.vti) and a track folder of a synthetic series (a volume chosen by
// the slider, the cells coloured by track, the tracks in the plan view),
// and the same track folder given a radial velocity: its storm-relative
// velocity drawn in the diverging colours.
// node saved.mjs VELMORA WORKDIR
import fs from 'node:fs';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { launch, watchedPage, screenshotPixels, check, finish } from './browser.mjs';
import { startView } from './server.mjs';

const [velmora, work] = process.argv.slice(2).map((a) => path.resolve(a));
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const run = (...args) => execFileSync(velmora, args, { cwd: work, stdio: 'ignore' });

const core = [-21, -12, 3];   // the strongest cell of the synthetic volume, 56 dBZ at 3 km
const background = [15, 20, 28];

async function open(browser, folder) {
  const server = await startView(velmora, [folder, '--out', path.join(work, 'out')], { cwd: work });
  const watched = await watchedPage(browser, { width: 1100, height: 700 });
  // A track folder's URL is its console's; the 3-D page is beside it.
  await watched.page.goto(server.url.replace('console.html', ''));
  const header = await watched.page.evaluate(() => window.velmora.ready.then((h) => ({
    mode: h.mode, cells: h.cells, layers: Object.keys(h.layers), series: h.series,
  })));
  return { server, ...watched, header };
}

// Only the named layers shown, the camera straight down.
async function planOf(page, shown) {
  await page.evaluate((keep) => {
    const s = window.velmora.state;
    for (const [name, l] of Object.entries(s.layers)) l.props.forEach((p) => p.setVisibility(keep.includes(name)));
    s.hidden = new Set(Object.keys(s.layers).filter((n) => !keep.includes(n)));
    window.velmora.planView();
    window.velmora.finish();
  }, shown);
  return screenshotPixels(page);
}

const lines = (file) => fs.readFileSync(file, 'utf8').trim().split('\n');

async function analysisFolder(browser) {
  const folder = path.join(work, 'analysis');
  run('analyze', '--out', folder, '--no-picture', '--compress', 'none');
  const { page, problems, header, server } = await open(browser, folder);
  try {
    check(await page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2')), 'the analysis draws into WebGL2');
    const rows = lines(path.join(folder, 'cell_properties.csv')).length - 1;
    check(header.mode === 'analysis' && header.cells === rows, `the folder's ${rows} cells are shown (${header.mode}, ${header.cells})`);
    check(await page.evaluate(() => document.querySelectorAll('#cells tr').length) === rows + 1, 'the panel lists cell_properties.csv');
    const drawn = await page.evaluate(() => window.velmora.state.layers.surface.props[0].getMapper().getInputData().getPolys().getNumberOfCells());
    const written = Number(fs.readFileSync(path.join(folder, 'isosurface.vtp'), 'latin1').match(/NumberOfPolys="(\d+)"/)[1]);
    check(drawn === written, `the surface drawn is isosurface.vtp's (${drawn}, ${written} triangles)`);
    const px = await planOf(page, ['volume']);
    const corner = px.at(4, 690);
    check(corner.every((c, i) => Math.abs(c - background[i]) <= 4), `a background corner keeps the background (${corner})`);
    const [x, y] = await page.evaluate((p) => window.velmora.toDisplay(p), core);
    const c = px.at(Math.round(x), Math.round(y));
    check(c[0] > c[1] + 60 && c[0] > c[2] + 60, `the saved volume's 56 dBZ core is drawn red (${c})`);
    const pick = await page.evaluate(async ([px0, py0]) => {
      const { height } = document.getElementById('view').getBoundingClientRect();
      return window.velmora.pickAt(px0, height - py0);
    }, [x, y]);
    const cell = Number(pick.text.match(/\ncell +(\S+)/)?.[1]);
    const ze = Number(pick.text.match(/\nDT +(\S+)/)?.[1]);
    check(pick.hit && cell >= 1 && ze >= 40, `a pick reads radar.vti's value and cell: ${JSON.stringify(pick.text)}`);
  } finally {
    check(problems.length === 0, `the analysis folder opens without a page error or foreign request: ${problems.join('; ')}`);
    await page.close();
    await server.stop();
  }
}

// The colour of track n as the page gives it, 0-255.
function trackColor(page, n) {
  return page.evaluate((t) => window.velmora.trackColor(t).map((v) => Math.round(255 * v)), n);
}

async function trackFolder(browser) {
  run('synth', '--series', '4', 'series');
  const folder = path.join(work, 'tracks');
  const files = fs.readdirSync(path.join(work, 'series')).filter((f) => f.endsWith('.nc')).sort().map((f) => path.join('series', f));
  run('track', ...files, '--out', folder, '--no-picture');
  const { page, problems, header, server } = await open(browser, folder);
  try {
    const volumes = lines(path.join(folder, 'volumes.csv')).slice(1).map((l) => l.split(','));
    check(header.mode === 'track' && header.series.volumes === volumes.length, `a volume of ${volumes.length} at a time (${JSON.stringify(header.series)})`);
    check(!header.layers.includes('storm_relative'), 'without a radial velocity no storm-relative velocity is offered');
    await page.evaluate(() => window.velmora.setMany([{ instance: 'series', path: 'volume', value: 2 }]));
    const status = await page.textContent('#status');
    check(status.includes(`volume 3 of ${volumes.length}`) && status.includes(`${volumes[2][2]} storm cells`), `the slider shows the third volume (${status})`);
    // The cells of that volume by track, as tracks.csv links them.
    const rows = lines(path.join(folder, 'tracks.csv')).map((l) => l.split(','));
    const col = (n) => rows[0].indexOf(n);
    const expected = new Set(rows.slice(1).filter((r) => r[col('source')] === volumes[2][0]).map((r) => Number(r[col('track')])));
    const coloured = await page.evaluate(() => {
      const poly = window.velmora.state.layers.surface.props[0].getMapper().getInputData();
      return [...new Set(poly.getPointData().getArrayByName('track').getData())];
    });
    check(coloured.length > 0 && coloured.every((t) => expected.has(t)) && coloured.length === expected.size,
      `the surface's cells carry their tracks (${coloured.sort()} of ${[...expected].sort()})`);
    // Each track in the plan view: a point halfway along its first step.
    const first = new Map();
    for (const r of rows.slice(1)) {
      const t = Number(r[col('track')]);
      if (!first.has(t)) first.set(t, []);
      first.get(t).push([Number(r[col('x_km')]), Number(r[col('y_km')])]);
    }
    const [track, path0] = [...first.entries()].find(([, p]) => p.length >= 2 && Math.hypot(p[1][0] - p[0][0], p[1][1] - p[0][1]) > 3);
    const mid = [(path0[0][0] + path0[1][0]) / 2, (path0[0][1] + path0[1][1]) / 2, 0.5];
    const px = await planOf(page, ['tracks']);
    const [x, y] = await page.evaluate((p) => window.velmora.toDisplay(p), mid);
    const want = await trackColor(page, track);
    let best = 999;
    for (let dy = -2; dy <= 2; dy += 1) for (let dx = -2; dx <= 2; dx += 1) {
      const c = px.at(Math.round(x) + dx, Math.round(y) + dy);
      best = Math.min(best, Math.max(...c.map((v, i) => Math.abs(v - want[i]))));
    }
    check(best <= 40, `track ${track} is drawn in its colour in the plan view (off by ${best})`);
    check(px.at(4, 690).every((c, i) => Math.abs(c - background[i]) <= 4), 'the plan view keeps the background away from the tracks');
  } finally {
    check(problems.length === 0, `the track folder opens without a page error or foreign request: ${problems.join('; ')}`);
    await page.close();
    await server.stop();
  }
}

// Each volume of the track folder given a radial velocity (velocity.nc, as
// a polar volume's analysis keeps it): a wind of 40 m/s toward the east
// seen by a radar at the grid's origin, written with python3-netCDF4.
function addVelocity(folder) {
  const script = `
import sys, numpy as np, netCDF4
src, out = sys.argv[1:3]
with netCDF4.Dataset(src) as s:
    x, y, z = (np.asarray(s[a][:], dtype="f8") for a in ("x", "y", "z"))
    units = {a: getattr(s[a], "units", "m") for a in ("x", "y", "z")}
zz, yy, xx = np.meshgrid(z, y, x, indexing="ij")
v = (40.0 * xx / np.maximum(np.hypot(xx, yy), 1.0)).astype("f4")
with netCDF4.Dataset(out, "w") as nc:
    for a, values in (("x", x), ("y", y), ("z", z)):
        nc.createDimension(a, len(values))
        nc.createVariable(a, "f8", (a,))[:] = values
        nc[a].units = units[a]
    r = nc.createVariable("radial_velocity", "f4", ("z", "y", "x"), fill_value=np.float32(-9999))
    r.units = "m/s"
    r[:] = v
    nc.radar_x_km = 0.0
    nc.radar_y_km = 0.0
`;
  const rows = lines(path.join(folder, 'volumes.csv')).slice(1).map((l) => l.split(','));
  for (const [volume, , , sub] of rows)
    execFileSync('/usr/bin/python3', ['-c', script, path.join(work, 'series', volume), path.join(folder, 'volumes', sub, 'velocity.nc')]);
}

async function stormRelative(browser) {
  const folder = path.join(work, 'tracks');
  addVelocity(folder);
  const { page, problems, header, server } = await open(browser, folder);
  try {
    check(await page.evaluate(() => !!document.querySelector('#view canvas').getContext('webgl2')), 'the storm-relative velocity draws into WebGL2');
    check(header.layers.includes('storm_relative'), `a folder with velocity offers the storm-relative velocity (${header.layers})`);
    check(await page.evaluate(() => !document.getElementById('layer-storm_relative').checked), 'unticked when the page opens');
    await page.evaluate(() => window.velmora.setMany([{ instance: 'series', path: 'volume', value: 2 }]));
    const layer = await page.evaluate(() => {
      const l = window.velmora.state.layers.storm_relative.layer;
      return { kind: l.kind, role: l.role, label: l.components[0].label, range: l.components[0].range };
    });
    check(layer.kind === 'image' && layer.role === 'velocity' && layer.label === 'storm_relative_velocity' && layer.range[0] < -20 && layer.range[1] > 20,
      `the third volume's storm-relative velocity is an image (${JSON.stringify(layer)})`);
    const px = await planOf(page, ['storm_relative']);
    const at = async (p) => px.at(...(await page.evaluate((q) => window.velmora.toDisplay(q), p)).map(Math.round));
    const east = await at([50, 0, 0.5]), west = await at([-50, 0, 0.5]);
    check(east[0] > east[2] + 40, `away from the radar east of it is drawn red (${east})`);
    check(west[2] > west[0] + 40, `toward the radar west of it is drawn blue (${west})`);
  } finally {
    check(problems.length === 0, `the folder with velocity opens without a page error or foreign request: ${problems.join('; ')}`);
    await page.close();
    await server.stop();
  }
}

const browser = await launch();
try {
  await analysisFolder(browser);
  await trackFolder(browser);
  await stormRelative(browser);
} finally {
  await browser.close();
}
finish('saved results in velmora view');
