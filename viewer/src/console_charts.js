// The console's charts, drawn by uPlot: a cell's trend of one property
// against time (its forecast continued dashed), the vertical section (the
// grid's values as an image inside the chart's axes, with the 0 °C and
// -20 °C heights) and the verification per lead time.
import uPlot from 'uplot';
import { radarColor } from './colors.js';

const axisStyle = { stroke: '#b8c2cf', grid: { stroke: '#2b3445', width: 1 }, ticks: { stroke: '#2b3445' } };
const timeAxis = { ...axisStyle, values: (u, ticks) => ticks.map((t) => new Date(t * 1000).toISOString().slice(11, 16)) };

// A trend's data: times, the values observed and the forecast's (joined to
// the last observation).
export function trendData(observed, forecast) {
  const xs = [...new Set([...observed.map((p) => p[0]), ...forecast.map((p) => p[0])])].sort((a, b) => a - b);
  const at = (pts) => { const m = new Map(pts); return xs.map((x) => (m.has(x) ? m.get(x) : null)); };
  const last = observed[observed.length - 1];
  return [xs, at(observed), at(forecast.length && last ? [last, ...forecast] : [])];
}

export function trendChart(el, title, units, data) {
  return new uPlot({
    title: `${title} (${units})`, width: 265, height: 130, legend: { show: false },
    scales: { x: { time: false } },
    axes: [timeAxis, { ...axisStyle, size: 38 }],
    series: [{}, { label: 'observed', stroke: '#9fc3ff', width: 1.5, points: { show: true, size: 4 } },
      { label: 'forecast', stroke: '#ffcf6b', width: 1.5, dash: [5, 4], points: { show: false } }],
  }, data, el);
}

// The section as an image, one pixel per sample and level, in the plan
// view's colours.
function sectionImage(header, values) {
  const n = header.samples, nz = header.z_km.length;
  const canvas = document.createElement('canvas');
  canvas.width = n; canvas.height = nz;
  const g = canvas.getContext('2d');
  const img = g.createImageData(n, nz);
  for (let k = 0; k < nz; k += 1) {
    for (let i = 0; i < n; i += 1) {
      const v = values[i + n * k];
      if (!(v >= 5)) continue;
      const [r, gr, b] = radarColor(v);
      const at = 4 * (i + n * (nz - 1 - k));
      img.data[at] = 255 * r; img.data[at + 1] = 255 * gr; img.data[at + 2] = 255 * b; img.data[at + 3] = 255;
    }
  }
  g.putImageData(img, 0, 0);
  return canvas;
}

export function sectionChart(el, pack) {
  const h = pack.header;
  const values = pack.arrays[h.values];
  const span = (h.samples - 1) * h.step_km;
  const z = h.z_km, dz = z.length > 1 ? (z[z.length - 1] - z[0]) / (z.length - 1) : 1;
  const image = sectionImage(h, values);
  const levels = [['freezing_level_km', '0 °C', '#7fe0ff'], ['minus20_level_km', '-20 °C', '#c3a6ff']]
    .filter(([key]) => Number.isFinite(h.levels?.[key]));
  const xs = [0, span];
  const data = [xs, ...levels.map(([key]) => [h.levels[key], h.levels[key]])];
  const paint = (u) => {
    const { ctx } = u;
    const x0 = u.valToPos(-h.step_km / 2, 'x', true), x1 = u.valToPos(span + h.step_km / 2, 'x', true);
    const y0 = u.valToPos(z[z.length - 1] + dz / 2, 'y', true), y1 = u.valToPos(z[0] - dz / 2, 'y', true);
    ctx.save();
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(image, x0, y0, x1 - x0, y1 - y0);
    ctx.restore();
  };
  return new uPlot({
    title: 'Section (km along the line, height km)', width: 540, height: 230, legend: { show: levels.length > 0 },
    scales: { x: { time: false, range: [-h.step_km / 2, span + h.step_km / 2] }, y: { range: [Math.min(0, z[0]), z[z.length - 1] + dz / 2] } },
    axes: [axisStyle, { ...axisStyle, size: 34 }],
    series: [{}, ...levels.map(([, label, color]) => ({ label, stroke: color, width: 1.5, dash: [6, 3], points: { show: false } }))],
    hooks: { drawClear: [paint] },
  }, data, el);
}

const methodStyle = { nowcast: ['#ffcf6b', []], lagrangian: ['#9fc3ff', [6, 3]], eulerian: ['#b8c2cf', [2, 3]] };

// CSI per lead of every method, and the nowcast's POD and FAR: the leads,
// the series and their values.
function verificationSeries(rows) {
  const leads = [...new Set(rows.map((r) => r.lead_min))].sort((a, b) => a - b);
  const value = (method, key) => leads.map((l) => rows.find((r) => r.method === method && r.lead_min === l)?.[key] ?? null);
  const methods = Object.keys(methodStyle).filter((m) => rows.some((r) => r.method === m));
  const series = methods.map((m) => ({ label: `CSI ${m}`, stroke: methodStyle[m][0], dash: methodStyle[m][1], width: 1.5 }));
  const data = [leads, ...methods.map((m) => value(m, 'csi'))];
  if (methods.includes('nowcast')) {
    series.push({ label: 'POD nowcast', stroke: '#8fe08a', width: 1 }, { label: 'FAR nowcast', stroke: '#ff8a7a', width: 1 });
    data.push(value('nowcast', 'pod'), value('nowcast', 'far'));
  }
  return { series, data };
}

// The verification chart of rows: chart itself when it shows the same
// series (its values set anew, or left as they are when equal), else a new
// one. A page open through an event draws it once a volume, and a chart
// made anew each time would have the browser compile ever more of the
// charting package's code.
export function verificationChart(el, rows, chart = null) {
  const { series, data } = verificationSeries(rows);
  const labels = series.map((s) => s.label).join('|');
  if (chart && chart.labels === labels) {
    const key = JSON.stringify(data);
    if (key !== chart.key) { chart.key = key; chart.setData(data); }
    return chart;
  }
  chart?.destroy();
  el.innerHTML = '';
  const made = new uPlot({
    title: 'Verification by lead time (min)', width: 540, height: 200,
    scales: { x: { time: false }, y: { range: [0, 1] } },
    axes: [axisStyle, { ...axisStyle, size: 34 }],
    series: [{}, ...series],
  }, data, el);
  made.labels = labels;
  made.key = JSON.stringify(data);
  return made;
}
