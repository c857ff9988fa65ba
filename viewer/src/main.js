// The page of `velmora view`: the live network's scene in 3-D (vtk.js),
// the panel that changes its parameters, picks answered by the server from
// the data, and views saved with WriteXform.
import '@kitware/vtk.js/Rendering/Profiles/Volume';
import '@kitware/vtk.js/Rendering/Profiles/Geometry';
import vtkGenericRenderWindow from '@kitware/vtk.js/Rendering/Misc/GenericRenderWindow';
import { get, post, report } from './api.js';
import { layerProps } from './props.js';
import { buildPanel, showParams, showRun } from './panel.js';
import { radarSteps } from './colors.js';

const state = { layers: {}, hidden: new Set(), settings: { volumeOpacity: 0.2, imageSampleDistance: 2 }, header: null, runs: 0 };

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
  const grw = vtkGenericRenderWindow.newInstance({ background: [0.06, 0.08, 0.11] });
  grw.setContainer(container);
  grw.resize();
  window.addEventListener('resize', () => { grw.resize(); render(); });
  const labels = document.createElement('div');
  labels.id = 'labels';
  container.append(labels);
  for (const id of ['status', 'picktext']) { const d = document.createElement('div'); d.id = id; container.append(d); }
  container.append(colorBar());
  state.grw = grw;
  state.renderer = grw.getRenderer();
  state.labelsBox = labels;
  grw.getInteractor().onAnimation(drawLabels);
  grw.getInteractor().onEndAnimation(drawLabels);
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

function drawLabels() {
  const box = state.labelsBox;
  const r = state.renderer;
  const { width, height } = box.getBoundingClientRect();
  const items = [];
  for (const [name, l] of Object.entries(state.layers)) {
    if (state.hidden.has(name)) continue;
    for (const lab of l.labels || []) {
      const [nx, ny, nz] = r.worldToNormalizedDisplay(lab.p[0], lab.p[1], lab.p[2], width / height);
      if (nz < 0 || nz > 1) continue;
      items.push(`<span class="label ${lab.cls}" style="left:${(nx * width).toFixed(1)}px;top:${((1 - ny) * height).toFixed(1)}px">${escape(lab.text)}</span>`);
    }
  }
  box.innerHTML = items.join('');
}

function escape(t) { return String(t).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]); }

function setLayer(name, layer, arrays) {
  const old = state.layers[name];
  for (const p of old?.props || []) state.renderer.removeViewProp(p);
  const built = layerProps(layer, arrays, state.settings, state.volumeImage);
  if (built.image) state.volumeImage = built.image;
  state.layers[name] = { layer, arrays, props: built.props, labels: built.labels || [] };
  for (const p of built.props) { p.setVisibility(!state.hidden.has(name)); state.renderer.addViewProp(p); }
}

function applyLayers(pack) {
  const entries = Object.entries(pack.header.layers);
  entries.sort(([, a], [, b]) => (a.role === 'volume' ? -1 : 0) - (b.role === 'volume' ? -1 : 0));
  for (const [name, layer] of entries) setLayer(name, layer, pack.arrays);
  // The slices cut the volume: a new volume means new slices.
  if (pack.header.layers.volume && !pack.header.layers.slices && state.layers.slices)
    setLayer('slices', state.layers.slices.layer, state.layers.slices.arrays);
}

function showAnswer(pack) {
  state.runs += 1;
  state.header = { ...state.header, ...pack.header, layers: state.header?.layers };
  applyLayers(pack);
  showParams(pack.header.params);
  showRun(pack.header);
  document.getElementById('status').textContent = statusLine(pack.header);
  render();
}

function statusLine(h) {
  return h.cells === null || h.cells === undefined ? h.title || state.header.title : `${state.header.title} · ${h.cells} storm cells`;
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
  const near = view.displayToWorld(x, y, 0, state.renderer);
  const far = view.displayToWorld(x, y, 1, state.renderer);
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
  if (header.mode === 'radar') {
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
  const rows = (report.cells || '').trim().split('\n').map((l) => l.split(','));
  if (rows.length > 1) {
    const keep = ['cell', 'voxels', 'volume_km3', 'top_km', 'max_dbz', 'vil_kg_m2'].map((k) => rows[0].indexOf(k)).filter((i) => i >= 0);
    const table = document.createElement('table');
    table.id = 'cells';
    table.innerHTML = rows.map((r, n) => `<tr>${keep.map((i) => `<${n ? 'td' : 'th'}>${escape(r[i] ?? '')}</${n ? 'td' : 'th'}>`).join('')}</tr>`).join('');
    const t = document.createElement('h2');
    t.textContent = 'Cells';
    panel.querySelector('img, h2').after(t, table);
  }
}

async function boot() {
  requireWebGL2();
  createView();
  const pack = await get('api/scene');
  state.header = pack.header;
  buildPanel(document.getElementById('panel'), pack.header, handlers);
  applyLayers(pack);
  showRun(pack.header);
  document.getElementById('status').textContent = statusLine(pack.header);
  if (pack.header.view) restoreView(pack.header.view); else defaultView(pack.header);
  if (report) showReport(); else watchClicks();
  render();
  return pack.header;
}

// What the browser tests and the benchmark drive.
window.velmora = {
  ready: boot(),
  state,
  pickAt,
  setMany,
  saveView: handlers.saveView,
  toggle: handlers.toggle,
  clearPicks: handlers.clearPicks,
  currentView,
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
    const [nx, ny] = state.renderer.worldToNormalizedDisplay(p[0], p[1], p[2], width / height);
    return [nx * width, (1 - ny) * height];
  },
};
window.velmora.ready.catch((e) => { console.error(`velmora view: ${e.message}`); });
