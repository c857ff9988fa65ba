// The forecaster's console (`velmora view` of a watch or track folder, and
// `velmora report`): the plan view of the event with its tracks, cells and
// forecasts, a time slider and a loop; the cells' table by severity; a
// cell's trends and a section through the newest volume; the alerts; the
// verification so far. A live page follows the watcher through the
// server's event stream and says when it stopped.
import { source } from './console_data.js';
import { PlanView } from './console_plan.js';
import { trendChart, trendData, sectionChart, verificationChart } from './console_charts.js';
import { assetUrl } from './api.js';
import { iso, watcherText } from './live.js';

// The page holds what it draws: the summary (with the newest volume's
// cells), the plan views of the last volumes shown (each with its cells and
// its tracks' lines) and the selected track's history, asked for when it
// is clicked; never every cell of a long event.
const state = {
  summary: null, status: null, version: 0, shown: -1, follow: true, selected: null,
  line: null, plans: new Map(), loop: null, charts: { trends: [], section: null, verification: null }, alertFilter: {},
};
const el = {};
const trendProps = [['max_dbz', 'max', 'dBZ'], ['top_km', 'top', 'km'], ['vil_kg_m2', 'VIL', 'kg/m²'], ['mesh_mm', 'MESH', 'mm'],
  ['posh_pct', 'POSH', '%'], ['poh_pct', 'POH', '%'], ['volume_km3', 'volume', 'km³']];
const forecastOf = { max_dbz: 'max_dbz', top_km: 'top_km', volume_km3: 'volume_km3' };
const fmt = (v, d = 1) => (v === null || v === undefined || !Number.isFinite(v) ? '' : v.toFixed(d));

function layout() {
  const root = document.getElementById('console');
  root.innerHTML = `
    <div id="bar"><b>velmora console</b><span id="event-title"></span><span id="shown-time"></span>
      <span id="watcher"></span><span id="message" class="note"></span><a id="link3d" href="#">3-D view</a></div>
    <div id="planbox"><canvas id="plan"></canvas>
      <div class="controls"><label><input type="checkbox" id="follow" checked> newest</label>
        <input type="range" id="slider" min="0" max="0" value="0"><span id="slider-out"></span>
        <label>loop last <input type="number" id="loop-n" value="12" min="2" max="200"></label>
        <button id="loop">loop</button><span class="note">click a cell; drag a line for a section</span></div></div>
    <div id="side">
      <h2>Cells by severity</h2><table class="cells" id="cells"></table>
      <h2>Trends <span id="trend-title" class="note"></span></h2><div id="trends"></div>
      <h2>Section <span id="section-title" class="note"></span></h2><div id="section"></div>
      <h2>Alerts</h2><div class="filter note">shown from MESH <input id="f-mesh" type="number" value="0"> mm,
        POSH <input id="f-posh" type="number" value="0"> %</div><ul id="alerts"></ul>
      <h2>Verification</h2><div id="verification"></div>
      <div id="images"></div>
    </div>`;
  for (const id of ['plan', 'slider', 'slider-out', 'follow', 'loop', 'loop-n', 'cells', 'trends', 'trend-title', 'section',
    'section-title', 'alerts', 'verification', 'watcher', 'shown-time', 'event-title', 'message', 'link3d']) el[id] = document.getElementById(id);
  if (source.report) el.link3d.remove(); else el.link3d.href = assetUrl('./');
  for (const [title, src] of Object.entries(source.images())) {
    const h = document.createElement('h2'); h.textContent = title;
    const img = document.createElement('img'); img.src = src; img.alt = title; img.style.width = '100%';
    document.getElementById('images').append(h, img);
  }
}

// Cells as objects (a summary's or a plan's rows), the trends beside them
// when given.
function readCells({ cells, trends: t }) {
  return cells.rows.map((r, i) => {
    const c = Object.fromEntries(cells.columns.map((name, j) => [name, r[j]]));
    if (t) c.trend = Object.fromEntries(t.columns.map((name, j) => [name, t.rows[i][j]]));
    return c;
  });
}

async function plan(k) {
  if (!state.plans.has(k)) {
    state.plans.set(k, source.plan(k));
    const keep = Math.max(16, Number(el['loop-n'].value) + 2);
    while (state.plans.size > keep) state.plans.delete(state.plans.keys().next().value);
  }
  return state.plans.get(k);
}

function alertedTracks() {
  const f = state.alertFilter;
  return (state.summary?.alerts || []).filter((a) => !(a.property === 'mesh_mm' && a.value < f.mesh) && !(a.property === 'posh_pct' && a.value < f.posh));
}

async function show(k) {
  const volumes = state.summary.volumes;
  if (k < 0 || k >= volumes.length) return;
  state.shown = k;
  el.slider.value = String(k);
  el['slider-out'].textContent = `${k + 1} / ${volumes.length}`;
  el['shown-time'].textContent = `${volumes[k].name} · ${volumes[k].iso}`;
  el['shown-time'].dataset.volume = String(k);
  let p = null;
  try { p = await plan(k); } catch (e) { el.message.textContent = e.message; }
  if (state.shown !== k) return;
  if (p && !p.cells) p.cells = readCells(p.header);
  const cells = p ? p.cells : [];
  state.planView.show({
    plan: p, map: state.summary.map, cells, tracks: p?.header.tracks || [],
    alerted: new Set(alertedTracks().map((a) => a.track)), selected: state.selected, line: state.line,
  });
  el['shown-time'].dataset.drawn = String(k);   // the plan drawn is this volume's
  cellsTable(cells);
}

// A volume's cells by severity: the summary's keys in turn, largest first.
function cellsTable(cells) {
  const keys = state.summary.severity;
  const rank = (v) => (Number.isFinite(v) ? v : -Infinity);
  const rows = [...cells]
    .sort((a, b) => { for (const key of keys) { const d = rank(b[key]) - rank(a[key]); if (d) return d; } return a.track - b.track; });
  const alerted = new Set(alertedTracks().map((a) => a.track));
  const mark = { '+': ['up', '↑'], '-': ['down', '↓'], '=': ['steady', '→'], '.': ['steady', ''] };
  const head = `<tr><th>track</th>${trendProps.map(([, n]) => `<th>${n}</th>`).join('')}<th>m/s</th><th>to °</th></tr>`;
  const body = rows.map((c) => {
    const speed = Math.hypot(c.u_ms, c.v_ms);
    const dir = (Math.atan2(c.u_ms, c.v_ms) * 180 / Math.PI + 360) % 360;
    const tds = trendProps.map(([key]) => { const [cls, arrow] = mark[c.trend[key]] || mark['.']; return `<td>${fmt(c[key], key === 'volume_km3' ? 0 : 1)}<span class="${cls}">${arrow}</span></td>`; });
    const cls = [c.track === state.selected ? 'selected' : '', alerted.has(c.track) ? 'alert' : ''].join(' ');
    return `<tr data-track="${c.track}" class="${cls}"><td>${c.track}</td>${tds.join('')}<td>${fmt(speed)}</td><td>${Number.isFinite(dir) ? dir.toFixed(0) : ''}</td></tr>`;
  });
  el.cells.innerHTML = head + body.join('');
}

// The trends of a track (its history as the server gives it): each
// property against time, the newest volume's forecast dashed.
// The charts of the track shown are kept as the volumes come, their values
// set anew: made again each time they would have the browser compile ever
// more of the charting package's code.
function trends(track, history) {
  const mine = readCells(history);
  const f = state.summary.forecasts;
  const fcols = Object.fromEntries(f.columns.map((n, i) => [n, i]));
  const newest = state.summary.volumes[state.summary.volumes.length - 1].time;
  const ahead = f.rows.filter((r) => r[fcols.track] === track);
  const shown = trendProps.filter(([key]) => mine.some((c) => Number.isFinite(c[key])));
  const data = shown.map(([key]) => {
    const observed = mine.filter((c) => Number.isFinite(c[key])).map((c) => [c.time, c[key]]);
    const fc = forecastOf[key] ? ahead.map((r) => [newest + r[fcols.lead_s], r[fcols[forecastOf[key]]]]).filter((p) => Number.isFinite(p[1])) : [];
    return { key, observed: observed.length, data: trendData(observed, fc) };
  });
  const kept = state.charts.trends;
  if (state.trendTrack === track && kept.length === data.length && kept.every((c, i) => c.property === data[i].key)) {
    kept.forEach((c, i) => { c.setData(data[i].data); c.observedPoints = data[i].observed; });
  } else {
    for (const c of kept) c.destroy();
    el.trends.innerHTML = '';
    state.charts.trends = data.map(({ key, observed, data: d }, i) => {
      const box = document.createElement('div');
      el.trends.append(box);
      const chart = trendChart(box, shown[i][1], shown[i][2], d);
      chart.observedPoints = observed;
      chart.property = key;
      return chart;
    });
  }
  state.trendTrack = track;
  el['trend-title'].textContent = `track ${track}, ${mine.length} volumes`;
}

async function section(body, title, asked = source.section(body)) {
  try {
    const pack = await asked;
    state.charts.section?.destroy();
    el.section.innerHTML = '';
    state.charts.section = sectionChart(el.section, pack);
    state.sectionPack = pack;
    state.line = [pack.header.from, pack.header.to];
    el['section-title'].textContent = title;
    el.message.textContent = '';
  } catch (e) {
    el.message.textContent = e.message;
  }
}

// A track's trends, drawn when its history comes.
async function trendsOf(track, asked = source.track(track)) {
  try {
    const history = await asked;
    if (state.selected === track) trends(track, history);
  } catch (e) {
    el.message.textContent = e.message;
  }
}

async function select(track) {
  const started = performance.now();
  state.selected = track;
  const newest = state.summary.volumes.length - 1;
  const body = { volume: newest, track };
  // Both asked at once, the section cut while the trends are drawn.
  const history = source.track(track), asked = source.section(body);
  await trendsOf(track, history);
  await section(body, `along track ${track}'s motion, newest volume`, asked);
  await show(state.shown);
  state.lastSelect = performance.now() - started;
}

async function drawnLine(from, to) {
  await section({ volume: state.summary.volumes.length - 1, from, to }, 'along the line drawn, newest volume');
  await show(state.shown);
}

function alertsList() {
  const list = alertedTracks();
  el.alerts.innerHTML = list.map((a) => `<li data-track="${a.track}">${iso(a.time)} track ${a.track}: ${a.property} ${fmt(a.value)} ≥ ${fmt(a.threshold, 0)}</li>`).join('')
    || '<li class="note">none</li>';
}

function verification() {
  const rows = state.summary.verification;
  if (!rows.length) {
    state.charts.verification?.destroy();
    el.verification.innerHTML = '<span class="note">no forecast verified yet</span>';
    state.charts.verification = null;
    return;
  }
  state.charts.verification = verificationChart(el.verification, rows, state.charts.verification);
}

async function reload() {
  state.summary = await source.summary();
  const n = state.summary.volumes.length;
  el.slider.max = String(Math.max(0, n - 1));
  el['event-title'].textContent = `${state.summary.kind} folder · ${n} volumes`;
  alertsList();
  verification();
  if (state.selected !== null) await trendsOf(state.selected);
  if (n) await show(state.follow || state.shown < 0 ? n - 1 : state.shown);
}

function watcherLine(s) {
  [el.watcher.textContent, el.watcher.className] = watcherText(s);
}

async function onStatus(s) {
  watcherLine(s);
  if (s.server === false || s.version === state.version) return;
  const grew = !state.status || s.volumes !== state.status.volumes || s.newest?.name !== state.status.newest?.name;
  state.status = s; state.version = s.version;
  if (grew || !state.summary) {
    state.plans.clear();
    await reload();
    state.updated = performance.now();
    // The browser records every request the page makes (Resource Timing) up
    // to its buffer's size; the page never reads them, and open for a whole
    // event it would hold a full buffer: dropped at each volume.
    performance.clearResourceTimings();
  }
}

function loop() {
  if (state.loop) { clearInterval(state.loop); state.loop = null; el.loop.textContent = 'loop'; return; }
  el.follow.checked = false; state.follow = false;
  el.loop.textContent = 'stop';
  state.loop = setInterval(() => {
    const n = state.summary.volumes.length, count = Math.min(n, Math.max(2, Number(el['loop-n'].value) || 12));
    const first = n - count;
    show(state.shown >= first && state.shown < n - 1 ? state.shown + 1 : first);
  }, 700);
}

function wire() {
  state.planView = new PlanView(el.plan, { select, line: drawnLine });
  el.slider.addEventListener('input', () => { state.follow = false; el.follow.checked = false; show(Number(el.slider.value)); });
  el.follow.addEventListener('change', () => { state.follow = el.follow.checked; if (state.follow) show(state.summary.volumes.length - 1); });
  el.loop.addEventListener('click', loop);
  el.cells.addEventListener('click', (e) => { const tr = e.target.closest('tr[data-track]'); if (tr) select(Number(tr.dataset.track)); });
  for (const [id, key] of [['f-mesh', 'mesh'], ['f-posh', 'posh']]) {
    const input = document.getElementById(id);
    const apply = () => {
      state.alertFilter[key] = Number(input.value) || 0;
      if (state.summary) { alertsList(); show(state.shown); }
    };
    input.addEventListener('input', apply); apply();
  }
}

async function boot() {
  layout();
  wire();
  await reload();
  if (!source.report) source.follow(onStatus);
  else watcherLine({});
  const top = el.cells.querySelector('tr[data-track]');
  if (top && source.report) await select(Number(top.dataset.track));
  return state.summary;
}

// What the browser tests and the benchmark drive.
window.velmora = { console: { ready: boot(), state, select, show, line: drawnLine, plan: () => state.planView.drawn } };
window.velmora.console.ready.catch((e) => { document.getElementById('message').textContent = e.message; console.error(e); });
