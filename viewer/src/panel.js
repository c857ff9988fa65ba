// The side panel: the scene's controls, the layers, the picks and views,
// the modules' messages, and every instance with the parameters its module
// declares, each editable; a change goes to the server, which re-runs what
// is downstream of it.
function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k.startsWith('on')) e.addEventListener(k.slice(2), v); else if (v !== undefined) e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

// The controls of the radar scene: label, the parameters they set, bounds.
export function radarControls(grid) {
  const [nx, ny] = grid.dims;
  return [
    { id: 'level', label: 'cell level dBZ', sets: [['surface', 'level'], ['volume', 'level']], min: 10, max: 65, step: 1 },
    { id: 'thresh', label: 'shown from dBZ', sets: [['thresh', 'thresh_value']], min: -10, max: 60, step: 1 },
    { id: 'ramp', label: 'opaque at dBZ', sets: [['trans', 'maxlevel']], min: 20, max: 80, step: 1 },
    { id: 'coli', label: 'legend column i', sets: [['column', 'indexi']], min: 0, max: nx - 1, step: 1 },
    { id: 'colj', label: 'legend column j', sets: [['column', 'indexj']], min: 0, max: ny - 1, step: 1 },
    { id: 'planes', label: 'slices each side', sets: [['slice', 'plane_num']], min: 0, max: 5, step: 1 },
    { id: 'angle', label: 'slice angle °', sets: [['slice', 'angle']], min: 0, max: 180, step: 5 },
    { id: 'meshmin', label: 'rain lines from', sets: [['mesh', 'minValue']], min: 10, max: 70, step: 1 },
    { id: 'meshmax', label: 'rain lines to', sets: [['mesh', 'maxValue']], min: 20, max: 90, step: 1 },
    { id: 'axis', label: 'projection axis', sets: [['alpha', 'axis']], min: 0, max: 2, step: 1 },
    ...(grid.winds ? [
      { id: 'windmin', label: 'winds from dBZ', sets: [['windband', 'vec_min']], min: -10, max: 60, step: 1 },
      { id: 'windlen', label: 'arrow length ×', sets: [['windscale', 'arbit_u'], ['windscale', 'arbit_v'], ['windscale', 'arbit_w']], min: 0.25, max: 4, step: 0.25 },
    ] : []),
  ];
}

export function buildPanel(root, header, handlers) {
  root.replaceChildren();
  root.append(el('h2', {}, header.title));
  const status = el('div', { id: 'runstatus' });
  root.append(status);
  if (header.mode === 'radar') root.append(controlsBox(header, radarControls(header.grid), handlers));
  if (header.series) root.append(controlsBox(header, seriesControls(header.series), handlers));
  if (header.mode !== 'network') {
    root.append(el('div', {}, el('button', { id: 'planview', onclick: handlers.planView }, 'Plan view'),
      el('button', { id: 'view3d', onclick: handlers.view3d }, '3-D view')));
    root.append(exaggerationBox(handlers));
  }
  root.append(layersBox(header, handlers));
  root.append(el('h2', {}, 'Picks and views'),
    el('div', {}, el('button', { id: 'clearpicks', onclick: handlers.clearPicks }, 'Clear picks'),
      el('button', { id: 'saveview', onclick: handlers.saveView }, 'Save view')),
    el('div', { id: 'saved' }));
  root.append(el('h2', {}, 'Messages'), el('div', { id: 'messages' }));
  root.append(el('h2', {}, 'Instances'));
  for (const inst of header.instances) root.append(instanceBox(inst, handlers));
}

function value(header, inst, name) {
  const i = header.instances.find((x) => x.name === inst);
  return i?.params.find((p) => p.name === name)?.value;
}

// A track folder's controls: the volume shown.
export function seriesControls(series) {
  return [{ id: 'time', label: 'volume', sets: [['series', 'volume']], min: 0, max: series.volumes - 1, step: 1, value: series.volume }];
}

function controlsBox(header, controls, handlers) {
  const box = el('div', { class: 'controls' });
  for (const c of controls) {
    const [inst, param] = c.sets[0];
    const v = c.value ?? value(header, inst, param) ?? c.min;
    const out = el('span', { id: `out-${c.id}` }, String(v));
    const input = el('input', { type: 'range', id: `ctl-${c.id}`, min: c.min, max: c.max, step: c.step, value: v });
    input.addEventListener('input', () => { out.textContent = input.value; });
    input.addEventListener('change', () => handlers.setMany(c.sets.map(([i, p]) => ({ instance: i, path: p, value: Number(input.value) }))));
    box.append(el('label', { for: `ctl-${c.id}` }, c.label), input, out);
  }
  return box;
}

// Heights drawn 1 to 10 times their true scale.
function exaggerationBox(handlers) {
  const out = el('span', { id: 'out-exaggeration' }, '1');
  const input = el('input', { type: 'range', id: 'ctl-exaggeration', min: 1, max: 10, step: 0.5, value: 1 });
  input.addEventListener('input', () => { out.textContent = input.value; handlers.exaggerate(Number(input.value)); });
  return el('div', { class: 'controls' }, el('label', { for: 'ctl-exaggeration' }, 'height ×'), input, out);
}

function layersBox(header, handlers) {
  const box = el('div', { class: 'layers' });
  box.append(el('h2', {}, 'Layers'));
  for (const name of Object.keys(header.layers)) {
    const input = el('input', { type: 'checkbox', id: `layer-${name}` });
    input.checked = !handlers.hidden.has(name);
    input.addEventListener('change', () => handlers.toggle(name, input.checked));
    box.append(el('label', {}, input, name));
  }
  return box;
}

function instanceBox(inst, handlers) {
  const box = el('details', { 'data-instance': inst.name });
  box.append(el('summary', { title: inst.summary }, `${inst.name} `, el('span', { class: 'module' }, inst.module)));
  for (const p of inst.params) {
    const id = `param-${inst.name}-${p.name}`;
    const input = el('input', { id, value: p.value ?? '', placeholder: p.value === null ? 'unset' : '' });
    if (p.linked) { input.disabled = true; input.value = `→ ${p.linked}`; }
    input.addEventListener('change', () => {
      const text = input.value.trim();
      let v = text;
      if (p.kind !== 'string') v = text === '' ? null : Number(text);
      handlers.setMany([{ instance: inst.name, path: p.name, value: v }]);
    });
    box.append(el('div', { class: 'param' }, el('label', { for: id, title: p.name }, p.name), input,
      el('span', { class: 'hint' }, `${p.kind}${p.default}`)));
  }
  return box;
}

// Puts the values the server answers with into the panel's fields.
export function showParams(params) {
  for (const [key, v] of Object.entries(params || {})) {
    const dot = key.indexOf('.');
    const input = document.getElementById(`param-${key.slice(0, dot)}-${key.slice(dot + 1)}`);
    if (input && !input.disabled && document.activeElement !== input) input.value = v ?? '';
  }
}

export function showRun(header) {
  const status = document.getElementById('runstatus');
  if (status) {
    const cells = header.cells === null || header.cells === undefined ? '' : `${header.cells} cells · `;
    status.textContent = `${cells}ran ${header.ran.length} instance(s) in ${(1000 * header.seconds).toFixed(0)} ms`;
  }
  const box = document.getElementById('messages');
  if (box && (header.messages.length || header.ran.length)) box.textContent = header.messages.join('');
}

// A cells table (CSV text) with the columns a reader looks at first.
export function cellsTable(csv) {
  const rows = (csv || '').trim().split('\n').map((l) => l.split(','));
  if (rows.length < 2) return null;
  const keep = ['cell', 'voxels', 'volume_km3', 'top_km', 'max_dbz', 'vil_kg_m2'].map((k) => rows[0].indexOf(k)).filter((i) => i >= 0);
  const table = el('table', { id: 'cells' });
  for (const [n, r] of rows.entries()) {
    const tr = el('tr');
    for (const i of keep) tr.append(el(n ? 'td' : 'th', {}, r[i] ?? ''));
    table.append(tr);
  }
  return table;
}
