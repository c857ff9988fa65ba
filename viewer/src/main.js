// The page of `velmora view`: the live network's scene in 3-D (vtk.js),
// the panel that changes its parameters, picks answered by the server from
// the data, and views saved with WriteXform.
import '@kitware/vtk.js/Rendering/OpenGL/Profiles/Volume';
import '@kitware/vtk.js/Rendering/OpenGL/Profiles/Geometry';
import vtkRenderer from '@kitware/vtk.js/Rendering/Core/Renderer';
import vtkActor from '@kitware/vtk.js/Rendering/Core/Actor';
import vtkMapper from '@kitware/vtk.js/Rendering/Core/Mapper';
import vtkPolyData from '@kitware/vtk.js/Common/DataModel/PolyData';
import { get, post, report } from './api.js';
import { createWindow } from './view_window.js';
import vtkCachedVolumePass from './volume_pass.js';
import { layerProps } from './props.js';
import { buildPanel, showParams, showRun, cellsTable } from './panel.js';
import { radarSteps, cellColor } from './colors.js';
import { follow, watcherText } from './live.js';

const state = { layers: {}, hidden: new Set(), settings: { volumeOpacity: 0.2, imageSampleDistance: 2, exaggeration: 1 }, header: null, runs: 0 };

// WebGL2 first: without it nothing here can draw, and a blank canvas must
// not pass for a scene.
function requireWebGL2() {
  if (!document.createElement('canvas').getContext('webgl2')) {
    document.body.textContent = 'velmora view needs WebGL2, which this browser does not offer.';
    throw new Error('no WebGL2 context');
  }
}

function createView() {
  const container = document.getElementById('view');
  const grw = createWindow(container, [0.06, 0.08, 0.11]);
  state.grw = grw;
  state.renderer = grw.getRenderer();
  state.volumes = volumeRenderer(grw);
  grw.resize();
  window.addEventListener('resize', () => { grw.resize(); render(); });
  const labels = document.createElement('div');
  labels.id = 'labels';
  container.append(labels);
  for (const id of ['status', 'picktext']) { const d = document.createElement('div'); d.id = id; container.append(d); }
  container.append(colorBar());
  state.labelsBox = labels;
  grw.getInteractor().onAnimation(drawLabels);
  grw.getInteractor().onEndAnimation(drawLabels);
}

// The volumes in a renderer of their own, drawn by the page's render pass
// (volume_pass.js) with the scene's camera.
function volumeRenderer(grw) {
  const renderer = vtkRenderer.newInstance();
  renderer.setBackground(0, 0, 0, 0);
  renderer.setInteractive(false);
  renderer.setActiveCamera(grw.getRenderer().getActiveCamera());
  grw.getRenderWindow().addRenderer(renderer);
  const pass = vtkCachedVolumePass.newInstance({ sceneRenderer: grw.getRenderer(), volumeRenderer: renderer, interactor: grw.getInteractor() });
  grw.getApiSpecificRenderWindow().setRenderPasses([pass]);
  return { renderer, pass };
}

function colorBar() {
  const c = document.createElement('canvas');
  c.id = 'colorbar'; c.width = 260; c.height = 34;
  const g = c.getContext('2d');
  const w = 240 / radarSteps.length;
  radarSteps.forEach(([dbz, [r, gr, b]], i) => {
    g.fillStyle = `rgb(${255 * r},${255 * gr},${255 * b})`;
    g.fillRect(10 + i * w, 2, w + 0.5, 14);
    if (i % 2 === 1) { g.fillStyle = '#dde3ea'; g.font = '10px sans-serif'; g.fillText(String(dbz), 10 + i * w - 4, 28); }
  });
  g.fillStyle = '#dde3ea'; g.fillText('dBZ', 232, 28);
  return c;
}

function render() {
  state.grw.getRenderWindow().render();
  drawLabels();
}

// Labels at their points (heights exaggerated as the scene is); a label of
// the height axis that would overlap one already placed is left out, so
// that the axis reads at any angle (the wind legend's labels all stay).
function drawLabels() {
  const box = state.labelsBox;
  const r = state.renderer;
  const { width, height } = box.getBoundingClientRect();
  const e = state.settings.exaggeration;
  const items = [];
  const placed = [];
  for (const [name, l] of Object.entries(state.layers)) {
    if (state.hidden.has(name)) continue;
    for (const lab of l.labels || []) {
      const [nx, ny, nz] = r.worldToNormalizedDisplay(lab.p[0], lab.p[1], lab.p[2] * e, width / height);
      if (nz < 0 || nz > 1) continue;
      const x = nx * width, y = (1 - ny) * height;
      if (name === 'tick_labels') {
        const w = 7.5 * String(lab.text).length;
        if (placed.some((q) => x < q.x + q.w && q.x < x + w && Math.abs(y - q.y) < 14)) continue;
        placed.push({ x, y, w });
      }
      items.push(`<span class="label ${lab.cls}" style="left:${x.toFixed(1)}px;top:${y.toFixed(1)}px">${escape(lab.text)}</span>`);
    }
  }
  box.innerHTML = items.join('');
}

// Heights drawn e times their true scale: every prop of the scene scaled
// along z, the labels, picks and display positions with them.
function exaggerate(e) {
  state.settings.exaggeration = e;
  for (const l of Object.values(state.layers)) for (const p of l.props) p.setScale(1, 1, e);
  state.renderer.resetCameraClippingRange();
  render();
}

function escape(t) { return String(t).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]); }

// The renderer a prop is drawn by: volumes in the volumes' own.
function rendererOf(prop) { return prop.isA('vtkVolume') ? state.volumes.renderer : state.renderer; }

// The corners of a volume as points without cells, in the scene's renderer:
// they draw nothing, and make the camera's resets and clipping range (which
// that renderer computes) take in the volume the other renderer draws.
function boundsActor(bounds) {
  const poly = vtkPolyData.newInstance();
  const [x0, x1, y0, y1, z0, z1] = bounds;
  poly.getPoints().setData(Float32Array.from([x0, y0, z0, x1, y1, z1]), 3);
  const mapper = vtkMapper.newInstance();
  mapper.setInputData(poly);
  const actor = vtkActor.newInstance();
  actor.setMapper(mapper);
  return actor;
}

function setLayer(name, layer, arrays) {
  const old = state.layers[name];
  for (const p of old?.props || []) rendererOf(p).removeViewProp(p);
  const built = layerProps(layer, arrays, state.settings);
  const props = [...built.props];
  for (const p of built.props) if (p.isA('vtkVolume')) props.push(boundsActor(p.getBounds()));
  state.layers[name] = { layer, arrays, props, labels: built.labels || [] };
  for (const p of props) {
    p.setScale(1, 1, state.settings.exaggeration);
    p.setVisibility(!state.hidden.has(name));
    rendererOf(p).addViewProp(p);
  }
}

function applyLayers(pack) {
  const entries = Object.entries(pack.header.layers);
  entries.sort(([, a], [, b]) => (a.role === 'volume' ? -1 : 0) - (b.role === 'volume' ? -1 : 0));
  for (const [name, layer] of entries) setLayer(name, layer, pack.arrays);
}

function showAnswer(pack) {
  state.runs += 1;
  state.header = { ...state.header, ...pack.header, layers: state.header?.layers };
  if (pack.header.table !== undefined) showTable(pack.header.table);
  if (pack.header.series) {
    const v = String(pack.header.series.volume);
    const slider = document.getElementById('ctl-time');
    if (slider) { slider.max = String(pack.header.series.volumes - 1); slider.value = v; }
    const out = document.getElementById('out-time');
    if (out) out.textContent = v;
  }
  mark('answer');
  applyLayers(pack);
  mark('applied');
  showParams(pack.header.params);
  showRun(pack.header);
  document.getElementById('status').textContent = statusLine(pack.header);
  render();
  mark('drawn');
}

function statusLine(h) {
  const title = h.title || state.header.title;
  if (h.cells === null || h.cells === undefined) return title;
  const s = state.header.series;
  const at = s ? ` · volume ${s.volume + 1} of ${s.volumes}, ${s.time || s.file}` : '';
  return `${title}${at} · ${h.cells} storm cells`;
}

// The cells of saved results under the panel's controls.
function showTable(csv) {
  document.getElementById('cells')?.remove();
  const table = cellsTable(csv);
  if (table) document.getElementById('panel').querySelector('.layers')?.before(table);
}

// Straight down on the ground, without perspective: the plan view on the map.
function planView() {
  const cam = state.renderer.getActiveCamera();
  const g = state.header.grid;
  const c = [(g.x[0] + g.x[1]) / 2, (g.y[0] + g.y[1]) / 2, 0];
  cam.setParallelProjection(true);
  cam.setFocalPoint(...c);
  cam.setPosition(c[0], c[1], c[2] + 1000);
  cam.setViewUp(0, 1, 0);
  state.renderer.resetCamera();
  cam.setParallelScale(0.55 * Math.max(g.x[1] - g.x[0], (g.y[1] - g.y[0]) * 1.3));
  state.renderer.resetCameraClippingRange();
  render();
}

async function setMany(changes) {
  try {
    showAnswer(await post('api/set', { changes }));
  } catch (e) {
    document.getElementById('messages').textContent = String(e.message);
  }
}

// The ray under a display position (pixels from the bottom left).
function rayAt(x, y) {
  const view = state.grw.getApiSpecificRenderWindow();
  const e = state.settings.exaggeration;
  const near = view.displayToWorld(x, y, 0, state.renderer);
  const far = view.displayToWorld(x, y, 1, state.renderer);
  near[2] /= e; far[2] /= e;
  return { origin: Array.from(near), direction: [far[0] - near[0], far[1] - near[1], far[2] - near[2]] };
}

async function pickAt(x, y) {
  const pack = await post('api/pick', rayAt(x, y));
  showAnswer(pack);
  document.getElementById('picktext').textContent = pack.header.pick.text;
  return pack.header.pick;
}

function watchClicks() {
  const interactor = state.grw.getInteractor();
  let down = null;
  interactor.onLeftButtonPress((e) => { down = e.position; });
  interactor.onLeftButtonRelease((e) => {
    if (down && Math.hypot(e.position.x - down.x, e.position.y - down.y) < 3) pickAt(e.position.x, e.position.y);
    down = null;
  });
}

// The page's view as WriteXform's transform: mat the camera's view matrix
// (row vectors, row by row), xlate the camera's position, center its focal
// point, dcenter its up direction, ocenter the centre of what is shown.
function currentView() {
  const cam = state.renderer.getActiveCamera();
  const b = state.renderer.computeVisiblePropBounds();
  return {
    mat: Array.from(cam.getViewMatrix()),
    xlate: cam.getPosition(), center: cam.getFocalPoint(), dcenter: cam.getViewUp(),
    ocenter: [(b[0] + b[1]) / 2, (b[2] + b[3]) / 2, (b[4] + b[5]) / 2],
  };
}

function restoreView(v) {
  const cam = state.renderer.getActiveCamera();
  cam.setPosition(...v.xlate);
  cam.setFocalPoint(...v.center);
  cam.setViewUp(...v.dcenter);
  state.renderer.resetCameraClippingRange();
}

function defaultView(header) {
  const cam = state.renderer.getActiveCamera();
  state.renderer.resetCamera();
  if (header.mode !== 'network') {
    cam.elevation(-55);
    cam.azimuth(15);
    cam.setViewUp(0, 0, 1);
    cam.orthogonalizeViewUp();
    state.renderer.resetCamera();
    cam.zoom(1.25);
  }
  state.renderer.resetCameraClippingRange();
}

const handlers = {
  setMany,
  exaggerate,
  hidden: state.hidden,
  planView,
  view3d() {
    state.renderer.getActiveCamera().setParallelProjection(false);
    defaultView(state.header);
    render();
  },
  toggle(name, on) {
    if (on) state.hidden.delete(name); else state.hidden.add(name);
    for (const p of state.layers[name]?.props || []) p.setVisibility(on);
    render();
  },
  async clearPicks() {
    showAnswer(await post('api/clear', {}));
    document.getElementById('picktext').textContent = '';
  },
  async saveView() {
    const pack = await post('api/view', currentView());
    showAnswer(pack);
    document.getElementById('saved').textContent = pack.header.saved ? `saved to ${pack.header.saved}` : 'not saved: see the messages';
    return pack.header;
  },
};

// A watch folder followed: each volume the watcher records is shown in
// place (series.volume "newest" reads the folder again), the camera, the
// layers ticked and the heights' scale as they were; a move of the volume
// slider stops following, the box "newest" starts it again. A track
// folder is shown as it is.
const live = { stream: null, status: null, following: true, busy: false, again: false };

async function showNewest() {
  if (live.busy) { live.again = true; return; }
  live.busy = true;
  try {
    do {
      live.again = false;
      await setMany([{ instance: 'series', path: 'volume', value: 'newest' }]);
    } while (live.again);
  } finally { live.busy = false; }
}

function onStatus(s) {
  const line = document.getElementById('watcher');
  [line.textContent, line.className] = watcherText(s);
  if (s.server === false || !s.volumes) return;
  const first = !live.status;
  live.status = s;
  const series = state.header.series;
  const behind = s.volumes !== series.volumes || (first && s.watcher?.running && series.volume !== series.volumes - 1);
  if (live.following && behind) showNewest();
}

function followWatch() {
  const line = document.createElement('div');
  line.id = 'watcher';
  document.getElementById('view').append(line);
  const box = document.createElement('input');
  box.type = 'checkbox'; box.id = 'follow'; box.checked = true;
  const label = document.createElement('label');
  label.id = 'follow-box';
  label.append(box, ' newest (follows the watcher)');
  const slider = document.getElementById('ctl-time');
  slider?.parentElement.after(label);
  slider?.addEventListener('change', () => { live.following = false; box.checked = false; });
  box.addEventListener('change', () => {
    live.following = box.checked;
    if (live.following && live.status) showNewest();
  });
  live.stream = follow(onStatus);
}

// A report's panel: its parameters fixed, the plan view and the cells table.
function showReport() {
  const panel = document.getElementById('panel');
  for (const e of panel.querySelectorAll('input, button')) e.disabled = e.type !== 'checkbox';
  const h = document.createElement('h2');
  h.textContent = 'Plan view';
  panel.prepend(h);
  if (report.plan) {
    const img = document.createElement('img');
    img.src = report.plan; img.alt = 'plan view'; img.style.width = '100%';
    h.after(img);
  }
  const table = cellsTable(report.cells);
  if (table) {
    const t = document.createElement('h2');
    t.textContent = 'Cells';
    panel.querySelector('img, h2').after(t, table);
  }
}

// A watch folder before its watcher's first volume: the server answers 503
// until the folder has one. The page says so and asks again when the
// watcher's news tells of a volume (and every half second after it, until
// the folder's tables list it).
async function firstScene(scene) {
  try { return await scene; } catch (e) { if (e.status !== 503) throw e; }
  document.getElementById('status').textContent = "waiting for the watcher's first volume";
  const pause = (ms) => new Promise((r) => { setTimeout(r, ms); });
  return new Promise((resolve, reject) => {
    let asking = false;
    const stream = follow(async (s) => {
      if (asking || !s.volumes) return;
      asking = true;
      for (;;) {
        try { resolve(await get('api/scene')); break; } catch (e) {
          if (e.status !== 503) { reject(e); break; }
        }
        await pause(500);
      }
      stream.close();
    });
  });
}

// When each step of the start ended, ms since the page began: what the
// benchmark reports of a first frame.
const marks = {};
const mark = (name) => { marks[name] = performance.now(); };

async function boot() {
  mark('script');
  // Asked for first: the answer travels while the view is made.
  const scene = get('api/scene');
  requireWebGL2();
  createView();
  mark('view');
  const pack = await firstScene(scene);
  mark('scene');
  state.header = pack.header;
  // The isovolume's faces hide the surface they share: shown when asked.
  if (pack.header.layers.isovolume) state.hidden.add('isovolume');
  // The projection is a translucent plane under the storm, shown when asked
  // (plan view, mostly): translucency costs every frame a pass of its own.
  if (pack.header.layers.alpha) state.hidden.add('alpha');
  // The storm-relative velocity fills the storms the reflectivity shows: one at a time.
  if (pack.header.layers.storm_relative) state.hidden.add('storm_relative');
  state.settings.tracks = pack.header.series?.tracks;
  buildPanel(document.getElementById('panel'), pack.header, handlers);
  applyLayers(pack);
  showRun(pack.header);
  if (pack.header.table !== undefined) showTable(pack.header.table);
  document.getElementById('status').textContent = statusLine(pack.header);
  if (pack.header.view) restoreView(pack.header.view); else defaultView(pack.header);
  if (report) showReport(); else watchClicks();
  if (pack.header.series?.watch && !report) followWatch();
  mark('layers');
  render();
  mark('render');
  return pack.header;
}

// What the browser tests and the benchmark drive.
window.velmora = {
  ready: boot(),
  state,
  marks,
  live,
  pickAt,
  setMany,
  saveView: handlers.saveView,
  toggle: handlers.toggle,
  clearPicks: handlers.clearPicks,
  currentView,
  planView,
  exaggerate,
  trackColor: cellColor,
  render,
  // Waits until the GPU has drawn what was asked (a pixel read back), so
  // that a frame is timed complete, not merely requested.
  finish() {
    const gl = state.grw.getApiSpecificRenderWindow().getContext();
    gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
  },
  // Display pixels (from the top left of the view) of a world point.
  toDisplay(p) {
    const { width, height } = document.getElementById('view').getBoundingClientRect();
    const [nx, ny] = state.renderer.worldToNormalizedDisplay(p[0], p[1], p[2] * state.settings.exaggeration, width / height);
    return [nx * width, (1 - ny) * height];
  },
};
window.velmora.ready.catch((e) => { console.error(`velmora view: ${e.message}`); });
