// Builds the page of `velmora view` into OUT: the bundle (viewer.js, every
// script inside, nothing loaded from elsewhere), its html and css, and the
// map (map.bin, coastlines and borders) from Natural Earth data; with
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

// Lines of lon/lat pairs: coastlines (kind 0) and land borders (kind 1).
// "VMAP", version 1, line count, point count (uint32 each), the point count
// of every line (uint32), the kind of every line (uint8, padded to 4), then
// lon, lat of every point (float32), all little-endian.
function mapFile() {
  const land = require('world-atlas/land-50m.json');
  const countries = require('world-atlas/countries-50m.json');
  const coast = topojson.mesh(land, land.objects.land).coordinates;
  const borders = topojson.mesh(countries, countries.objects.countries, (a, b) => a !== b).coordinates;
  const lines = [...coast.map((l) => [0, l]), ...borders.map((l) => [1, l])];
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

fs.mkdirSync(out, { recursive: true });
await bundle('src/main.js', path.join(out, 'viewer.js'));
for (const f of ['index.html', 'style.css']) fs.copyFileSync(path.join(here, 'src', f), path.join(out, f));
fs.writeFileSync(path.join(out, 'map.bin'), mapFile());
if (args.tests) {
  const tests = path.resolve(args.tests);
  fs.mkdirSync(tests, { recursive: true });
  await bundle('tests/smoke_page.js', path.join(tests, 'smoke.js'));
}
