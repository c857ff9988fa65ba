// The news of a live folder from the server of `velmora view`: its event
// stream (/api/events) says each volume the watcher records and whether the
// watcher runs. The console and the 3-D page both follow it.
import { assetUrl } from './api.js';

export function follow(onStatus) {
  const stream = new EventSource(assetUrl('api/events'));
  stream.onmessage = (e) => onStatus(JSON.parse(e.data));
  stream.onerror = () => onStatus({ server: false });
  return stream;
}

export const iso = (t) => (Number.isFinite(t) ? new Date(t * 1000).toISOString().replace('.000', '') : '');

// The watcher's state as the pages say it: [text, class].
export function watcherText(s) {
  if (s.server === false) return ['server not answering', 'stopped'];
  if (!s.watcher) return ['finished event', ''];
  if (s.watcher.running) return [`watcher running (pid ${s.watcher.pid})`, 'running'];
  return [`watcher stopped since ${iso(s.watcher.since)}`, 'stopped'];
}
