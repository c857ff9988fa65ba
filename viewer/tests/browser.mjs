// What every browser test shares: Debian's chromium started headless with
// software WebGL (SwiftShader), a page whose console errors, failed loads and
// requests to anything but 127.0.0.1 are collected, and pixel reads.
import { inflateSync } from 'node:zlib';
import { createRequire } from 'node:module';
import path from 'node:path';

// playwright-core from the build's npm folder (VELMORA_NODE_MODULES).
const require = createRequire(path.join(process.env.VELMORA_NODE_MODULES || 'node_modules', 'x.js'));
const { chromium } = require('playwright-core');

export const chromiumPath = process.env.VELMORA_CHROMIUM || '/usr/bin/chromium';

export async function launch() {
  return chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ['--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--no-sandbox'],
  });
}

// A page that records its console errors, page errors and every request
// that goes anywhere but 127.0.0.1 (file:// pages: any request at all).
export async function watchedPage(browser, { width = 900, height = 700, anyRequest = false } = {}) {
  const page = await browser.newPage({ viewport: { width, height } });
  const problems = [];
  const requests = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('requestfailed', (r) => problems.push(`failed: ${r.url()} ${r.failure()?.errorText}`));
  page.on('request', (r) => {
    const url = r.url();
    requests.push(url);
    // A page opened from disk may load itself, and nothing else.
    if (anyRequest) { if (!r.isNavigationRequest() && !url.startsWith('data:') && !url.startsWith('blob:')) problems.push(`request: ${url}`); return; }
    const u = new URL(url);
    if (u.protocol !== 'data:' && u.protocol !== 'blob:' && u.hostname !== '127.0.0.1') problems.push(`foreign request: ${url}`);
  });
  return { page, problems, requests };
}

// The pixels of a screenshot of the page: { width, height, at(x, y) -> [r, g, b] }.
export async function screenshotPixels(page) {
  return decodePng(await page.screenshot());
}

// An 8-bit RGB or RGBA PNG, as chromium writes its screenshots.
export function decodePng(buf) {
  let pos = 8;
  let width = 0; let height = 0; let channels = 4;
  const idat = [];
  while (pos < buf.length) {
    const len = buf.readUInt32BE(pos);
    const type = buf.toString('latin1', pos + 4, pos + 8);
    const data = buf.subarray(pos + 8, pos + 8 + len);
    if (type === 'IHDR') {
      width = data.readUInt32BE(0); height = data.readUInt32BE(4);
      channels = data[9] === 6 ? 4 : 3;
      if (data[8] !== 8 || (data[9] !== 6 && data[9] !== 2)) throw new Error('unexpected PNG format');
    } else if (type === 'IDAT') idat.push(data);
    pos += 12 + len;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const out = Buffer.alloc(height * stride);
  for (let y = 0; y < height; y += 1) {
    const f = raw[y * (stride + 1)];
    for (let x = 0; x < stride; x += 1) {
      const v = raw[y * (stride + 1) + 1 + x];
      const a = x >= channels ? out[y * stride + x - channels] : 0;
      const b = y > 0 ? out[(y - 1) * stride + x] : 0;
      const c = x >= channels && y > 0 ? out[(y - 1) * stride + x - channels] : 0;
      let p = 0;
      if (f === 1) p = a; else if (f === 2) p = b; else if (f === 3) p = (a + b) >> 1;
      else if (f === 4) { const q = a + b - c; const pa = Math.abs(q - a); const pb = Math.abs(q - b); const pc = Math.abs(q - c); p = pa <= pb && pa <= pc ? a : pb <= pc ? b : c; }
      out[y * stride + x] = (v + p) & 255;
    }
  }
  return { width, height, at: (x, y) => [0, 1, 2].map((k) => out[y * stride + x * channels + k]) };
}

let failures = 0;
let passes = 0;
export function check(cond, what) {
  if (cond) { passes += 1; if (process.env.VELMORA_TEST_VERBOSE) console.log(`ok: ${what}`); return; }
  failures += 1;
  console.error(`FAIL: ${what}`);
}
export function finish(name) {
  console.log(`${name}: ${passes} passed, ${failures} failed`);
  process.exitCode = failures ? 1 : 0;
}
