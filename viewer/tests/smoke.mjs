// The toolchain works: chromium with software WebGL2 draws vtk.js's volume
// and marching-cubes surface of a float grid served from 127.0.0.1.
// node smoke.mjs DIST_DIR
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import { launch, watchedPage, screenshotPixels, check, finish } from './browser.mjs';

const dist = process.argv[2];

// A 64 x 64 x 32 grid: a ball of 60 falling to 0 at radius 20.
function grid() {
  const v = new Float32Array(64 * 64 * 32);
  for (let k = 0; k < 32; k += 1) for (let j = 0; j < 64; j += 1) for (let i = 0; i < 64; i += 1) {
    const r = Math.hypot(i - 32, j - 32, (k - 16) * 2);
    v[i + 64 * (j + 64 * k)] = Math.max(0, 60 - 3 * r);
  }
  return Buffer.from(v.buffer);
}

const files = {
  '/': ['text/html', '<!doctype html><html><head><link rel="icon" href="data:,"></head><body style="margin:0;background:#000"><div id="view" style="width:600px;height:400px"></div><script src="smoke.js"></script></body></html>'],
  '/smoke.js': ['text/javascript', fs.readFileSync(path.join(dist, 'smoke.js'))],
  '/grid.bin': ['application/octet-stream', grid()],
};
const server = http.createServer((req, res) => {
  const f = files[req.url];
  if (!f) { res.writeHead(404); res.end(); return; }
  res.writeHead(200, { 'Content-Type': f[0] });
  res.end(f[1]);
});
await new Promise((r) => server.listen(0, '127.0.0.1', r));
const browser = await launch();
try {
  const { page, problems } = await watchedPage(browser, { width: 600, height: 400 });
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  const result = await page.evaluate(() => window.smoke);
  check(result.ok, `the scene is drawn (${result.error})`);
  check(result.triangles > 1000, `the surface has triangles (${result.triangles})`);
  await page.waitForTimeout(200);
  const px = await screenshotPixels(page);
  const corner = px.at(5, 5);
  check(corner.every((c) => c < 10), `a corner keeps the black background (${corner})`);
  let lit = 0;
  for (let y = 0; y < 400; y += 4) for (let x = 0; x < 600; x += 4) { const p = px.at(x, y); if (p[0] + p[1] + p[2] > 60) lit += 1; }
  check(lit > 500, `the volume and the surface cover the middle (${lit} lit samples)`);
  const green = px.at(300, 200);
  check(problems.length === 0, `no console error or foreign request: ${problems.join('; ')}`);
  console.log(`centre pixel ${green}, ${lit} lit samples, ${result.triangles} triangles`);
} finally {
  await browser.close();
  server.close();
}
finish('viewer smoke');
