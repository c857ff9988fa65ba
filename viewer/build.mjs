// Builds the page of `velmora view` into OUT: the bundle (viewer.js, every
// script inside, nothing loaded from elsewhere), its html and css, and the
// map (map.bin, coastlines and borders) from Natural Earth data, the lines of
// the US states and counties (us.bin), the console's page and bundle; with
// --tests DIR also the test pages' bundles.
// node build.mjs --out OUT --modules NODE_MODULES [--tests DIR]
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

const here = path.dirname(fileURLToPath(import.meta.url));
const args = Object.fromEntries(process.argv.slice(2).join(' ').split('--').filter(Boolean)
  .map((a) => a.trim().split(/\s+/)));
const out = path.resolve(args.out);
const modules = path.resolve(args.modules);
const require = createRequire(path.join(modules, 'x.js'));
const esbuild = require('esbuild');
const topojson = require('topojson-client');

async function bundle(entry, file) {
  await esbuild.build({
    entryPoints: [path.join(here, entry)],
    outfile: file,
    bundle: true,
    format: 'iife',
    minify: true,
    target: ['chrome110', 'firefox110', 'safari16'],
    nodePaths: [modules],
    logLevel: 'warning',
    legalComments: 'none',
  });
}

// Lines of lon/lat pairs ([kind, line] each) as a map file: "VMAP", version
// 1, line count, point count (uint32 each), the point count of every line
// (uint32), the kind of every line (uint8, padded to 4), then lon, lat of
// every point (float32), all little-endian.
function mapBytes(lines) {
  const npoints = lines.reduce((n, [, l]) => n + l.length, 0);
  const kindBytes = Math.ceil(lines.length / 4) * 4;
  const buf = Buffer.alloc(16 + 4 * lines.length + kindBytes + 8 * npoints);
  buf.write('VMAP', 0, 'latin1');
  buf.writeUInt32LE(1, 4);
  buf.writeUInt32LE(lines.length, 8);
  buf.writeUInt32LE(npoints, 12);
  let pos = 16;
  for (const [, l] of lines) { buf.writeUInt32LE(l.length, pos); pos += 4; }
  lines.forEach(([kind], i) => buf.writeUInt8(kind, pos + i));
  pos += kindBytes;
  for (const [, l] of lines) for (const [lon, lat] of l) {
    buf.writeFloatLE(lon, pos); buf.writeFloatLE(lat, pos + 4); pos += 8;
  }
  return buf;
}

// The world: coastlines (kind 0) and land borders (kind 1).
function mapFile() {
  const land = require('world-atlas/land-50m.json');
  const countries = require('world-atlas/countries-50m.json');
  const coast = topojson.mesh(land, land.objects.land).coordinates;
  const borders = topojson.mesh(countries, countries.objects.countries, (a, b) => a !== b).coordinates;
  return mapBytes([...coast.map((l) => [0, l]), ...borders.map((l) => [1, l])]);
}

// The United States (us-atlas, Census Bureau cartographic boundaries): the
// lines between states (kind 0) and between counties within a state (kind 1).
function usFile() {
  const us = require('us-atlas/counties-10m.json');
  const states = topojson.mesh(us, us.objects.states, (a, b) => a !== b).coordinates;
  const counties = topojson.mesh(us, us.objects.counties, (a, b) => a !== b && (a.id / 1000 | 0) === (b.id / 1000 | 0)).coordinates;
  return mapBytes([...states.map((l) => [0, l]), ...counties.map((l) => [1, l])]);
}

fs.mkdirSync(out, { recursive: true });
await bundle('src/main.js', path.join(out, 'viewer.js'));
for (const f of ['index.html', 'style.css']) fs.copyFileSync(path.join(here, 'src', f), path.join(out, f));
fs.writeFileSync(path.join(out, 'map.bin'), mapFile());
fs.writeFileSync(path.join(out, 'us.bin'), usFile());
// The console: its bundle, its page, and its style after uPlot's own.
await bundle('src/console.js', path.join(out, 'console.js'));
fs.copyFileSync(path.join(here, 'src', 'console.html'), path.join(out, 'console.html'));
fs.writeFileSync(path.join(out, 'console.css'),
  fs.readFileSync(require.resolve('uplot/dist/uPlot.min.css')) + fs.readFileSync(path.join(here, 'src', 'console.css')));
if (args.tests) {
  const tests = path.resolve(args.tests);
  fs.mkdirSync(tests, { recursive: true });
  await bundle('tests/smoke_page.js', path.join(tests, 'smoke.js'));
}
