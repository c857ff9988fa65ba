// Where the console's data comes from: the server of `velmora view` (its
// calls with the page's token, and its event stream), or, in a report, the
// packs written inside the page.
import { readPack, assetUrl } from './api.js';
import { follow } from './live.js';

const embedded = window.VELMORA_EVENT || null;

async function unpack(b64) {
  const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
  return readPack(await new Response(stream).arrayBuffer());
}

async function call(path, body) {
  const response = await fetch(assetUrl(path), {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body || {}),
  });
  if (!response.ok) throw new Error(`${response.status}: ${await response.text()}`);
  return readPack(await response.arrayBuffer());
}

function liveSource() {
  return {
    report: false,
    async summary() { return (await call('api/event')).header; },
    plan(volume) { return call('api/plan', { volume }); },
    section(body) { return call('api/section', body); },
    async track(track) { return (await call('api/track', { track })).header; },
    // The server's news: the watcher's state and the event's version.
    follow,
    images() { return {}; },
  };
}

function reportSource() {
  return {
    report: true,
    async summary() { return embedded.summary; },
    async plan(volume) {
      const b64 = embedded.plans[String(volume)];
      if (!b64) throw new Error('this report holds the plan views of the last volumes only');
      return unpack(b64);
    },
    async section(body) {
      const b64 = embedded.sections[String(body.track)];
      if (!b64) throw new Error('this report holds the sections of the last volume\'s cells only');
      return unpack(b64);
    },
    async track(track) {
      const history = embedded.tracks?.[String(track)];
      if (!history) throw new Error('this report holds the trends of the last volume\'s cells only');
      return history;
    },
    follow() { return null; },
    images() { return embedded.images || {}; },
  };
}

export const source = embedded ? reportSource() : liveSource();
