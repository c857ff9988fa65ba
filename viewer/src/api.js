// The server's answers: packs of a JSON header and typed arrays (see
// lib/scene/pack.h), fetched with the page's token. A page written as a
// report carries its packs inside and fetches nothing.
const token = new URLSearchParams(window.location.search).get('token') || '';

const types = { float32: Float32Array, int32: Int32Array, uint32: Uint32Array, uint8: Uint8Array };

export function readPack(buffer) {
  const bytes = new Uint8Array(buffer);
  const magic = String.fromCharCode(...bytes.subarray(0, 4));
  if (magic !== 'VPK1') throw new Error('the answer is not a scene pack');
  const length = new DataView(buffer).getUint32(4, true);
  const header = JSON.parse(new TextDecoder().decode(bytes.subarray(8, 8 + length)));
  const start = Math.ceil((8 + length) / 8) * 8;
  const arrays = header.arrays.map((a) => new types[a.type](buffer, start + a.offset, a.count));
  return { header, arrays };
}

async function answer(response) {
  if (!response.ok) {
    const e = new Error(`${response.status}: ${await response.text()}`);
    e.status = response.status;
    throw e;
  }
  return readPack(await response.arrayBuffer());
}

// A report (velmora analyze --report) holds its scene as a deflated,
// base64 pack, and the plan view and cells table of its analysis.
export const report = window.VELMORA_REPORT || null;

async function reportPack() {
  const bytes = Uint8Array.from(atob(report.pack), (c) => c.charCodeAt(0));
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
  return readPack(await new Response(stream).arrayBuffer());
}

// The token goes in the query, as in the page's preload of the scene
// (index.html), which this request then takes instead of asking again.
export async function get(path) {
  if (report) return reportPack();
  return answer(await fetch(assetUrl(path)));
}

export async function post(path, body) {
  if (report) throw new Error('a report shows one run; velmora view changes it live');
  return answer(await fetch(path, {
    method: 'POST',
    headers: { 'X-Velmora-Token': token, 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  }));
}

export function assetUrl(name) { return `${name}?token=${token}`; }
