// The console's plan view: the column maximum of a volume in the radar
// colours on the map, each track's line over the last volumes, the cells
// numbered, the forecast footprints at every lead as outlines paler with
// lead, the alerted cells ringed and the section's line. A click picks the
// nearest cell; a drag draws a section's line.
import { radarColor, cellColor } from './colors.js';

const css = (rgb, a = 1) => `rgba(${rgb.map((c) => Math.round(255 * c)).join(',')},${a})`;
const mapStyles = { 0: ['#8ea4bf', 1.2], 1: ['#b7c2d0', 1], 2: ['#c9b98f', 1], 3: ['#5b6372', 0.5] };

// The column maximum as an image, one pixel per column, north up.
function columnImage(plan) {
  const [, , nx] = plan.header.x;
  const [, , ny] = plan.header.y;
  const values = plan.arrays[plan.header.column_max];
  const canvas = document.createElement('canvas');
  canvas.width = nx; canvas.height = ny;
  const g = canvas.getContext('2d');
  const img = g.createImageData(nx, ny);
  for (let j = 0; j < ny; j += 1) {
    for (let i = 0; i < nx; i += 1) {
      const v = values[i + nx * j];
      if (!(v >= 5)) continue;
      const [r, gr, b] = radarColor(v);
      const at = 4 * (i + nx * (ny - 1 - j));
      img.data[at] = 255 * r; img.data[at + 1] = 255 * gr; img.data[at + 2] = 255 * b; img.data[at + 3] = 255;
    }
  }
  g.putImageData(img, 0, 0);
  return canvas;
}

// Each plan's image, made once.
const images = new WeakMap();

// The forecast footprints: {track, lead_min, rings: [[x, y, x, y, ...]]} in km.
function forecastRings(forecast) {
  return (forecast || []).map((f) => ({
    track: f.track,
    lead: f.lead_min,
    rings: f.rings.map((flat) => { const r = []; for (let i = 0; i < flat.length; i += 2) r.push([flat[i], flat[i + 1]]); return r; }),
  }));
}

export class PlanView {
  constructor(canvas, handlers) {
    this.canvas = canvas;
    this.handlers = handlers;
    this.drawn = { outlines: 0, cells: 0, tracks: 0 };
    let down = null;
    canvas.addEventListener('mousedown', (e) => { down = [e.offsetX, e.offsetY]; });
    canvas.addEventListener('mouseup', (e) => {
      if (!down) return;
      const [x0, y0] = down;
      down = null;
      if (Math.hypot(e.offsetX - x0, e.offsetY - y0) < 5) this.click(e.offsetX, e.offsetY);
      else handlers.line(this.toKm(x0, y0), this.toKm(e.offsetX, e.offsetY));
    });
    new ResizeObserver(() => this.draw()).observe(canvas);
  }

  // What to draw: the plan pack, the cells of the volume shown, its
  // tracks' lines, the map, the selected track and the line.
  show(scene) {
    this.scene = scene;
    if (scene.plan && !images.has(scene.plan)) images.set(scene.plan, columnImage(scene.plan));
    this.image = scene.plan ? images.get(scene.plan) : null;
    this.draw();
  }

  layout() {
    const { x, y } = this.scene.plan.header;
    const w = this.canvas.clientWidth, h = this.canvas.clientHeight;
    const s = Math.min(w / (x[1] - x[0]), h / (y[1] - y[0]));
    return { s, ox: (w - s * (x[1] - x[0])) / 2 - s * x[0], oy: (h - s * (y[1] - y[0])) / 2 + s * y[1] };
  }

  toPx([x, y]) { const l = this.layout(); return [l.ox + l.s * x, l.oy - l.s * y]; }

  toKm(px, py) { const l = this.layout(); return [(px - l.ox) / l.s, (l.oy - py) / l.s]; }

  click(px, py) {
    let best = null;
    for (const c of this.scene?.cells || []) {
      const [cx, cy] = this.toPx([c.x_km, c.y_km]);
      const d = Math.hypot(cx - px, cy - py);
      if (d < 14 && (!best || d < best.d)) best = { d, track: c.track };
    }
    if (best) this.handlers.select(best.track);
  }

  path(g, points) {
    g.beginPath();
    points.forEach((p, i) => { const [x, y] = this.toPx(p); if (i) g.lineTo(x, y); else g.moveTo(x, y); });
  }

  draw() {
    const c = this.canvas;
    const ratio = window.devicePixelRatio || 1;
    c.width = Math.max(1, c.clientWidth * ratio); c.height = Math.max(1, c.clientHeight * ratio);
    const g = c.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.fillStyle = '#0b0f16'; g.fillRect(0, 0, c.clientWidth, c.clientHeight);
    if (!this.scene?.plan) return;
    const { x, y } = this.scene.plan.header;
    const [ax, ay] = this.toPx([x[0], y[1]]), [bx, by] = this.toPx([x[1], y[0]]);
    g.strokeStyle = '#2b3445'; g.strokeRect(ax, ay, bx - ax, by - ay);
    g.imageSmoothingEnabled = false;
    if (this.image) g.drawImage(this.image, ax, ay, bx - ax, by - ay);
    this.drawMap(g);
    this.drawTracks(g);
    this.drawForecasts(g);
    this.drawCells(g);
    this.drawLine(g);
  }

  drawMap(g) {
    for (const line of this.scene.map || []) {
      const [color, width] = mapStyles[line.kind] || mapStyles[1];
      g.strokeStyle = color; g.lineWidth = width;
      const pts = [];
      for (let i = 0; i < line.xy.length; i += 2) pts.push([line.xy[i], line.xy[i + 1]]);
      this.path(g, pts); g.stroke();
    }
  }

  // Each track's line over the last volumes (the plan's "tracks").
  drawTracks(g) {
    for (const { track, xy } of this.scene.tracks) {
      if (xy.length < 4) continue;
      const pts = [];
      for (let i = 0; i < xy.length; i += 2) pts.push([xy[i], xy[i + 1]]);
      g.strokeStyle = css(cellColor(track), 0.9); g.lineWidth = track === this.scene.selected ? 3 : 1.5;
      this.path(g, pts); g.stroke();
    }
    this.drawn.tracks = this.scene.tracks.length;
  }

  drawForecasts(g) {
    const shapes = forecastRings(this.scene.plan.header.forecast);
    const leads = [...new Set(shapes.map((s) => s.lead))].sort((a, b) => a - b);
    g.setLineDash([4, 3]);
    for (const s of shapes) {
      const fade = 1 - 0.75 * (leads.indexOf(s.lead) / Math.max(1, leads.length - 1));
      g.strokeStyle = css(cellColor(s.track), fade); g.lineWidth = s.track === this.scene.selected ? 2 : 1;
      for (const ring of s.rings) { this.path(g, ring); g.closePath(); g.stroke(); }
    }
    g.setLineDash([]);
    this.drawn.outlines = shapes.length;
  }

  drawCells(g) {
    g.font = 'bold 12px sans-serif'; g.textAlign = 'center'; g.textBaseline = 'middle';
    for (const c of this.scene.cells) {
      const [px, py] = this.toPx([c.x_km, c.y_km]);
      if (this.scene.alerted.has(c.track)) {
        g.strokeStyle = '#ff3b30'; g.lineWidth = 2.5; g.beginPath(); g.arc(px, py, 12, 0, 2 * Math.PI); g.stroke();
      }
      if (c.track === this.scene.selected) {
        g.strokeStyle = '#ffffff'; g.lineWidth = 1.5; g.beginPath(); g.arc(px, py, 16, 0, 2 * Math.PI); g.stroke();
      }
      g.lineWidth = 3; g.strokeStyle = '#000'; g.strokeText(String(c.track), px, py);
      g.fillStyle = '#fff'; g.fillText(String(c.track), px, py);
    }
    this.drawn.cells = this.scene.cells.length;
  }

  drawLine(g) {
    const line = this.scene.line;
    if (!line) return;
    g.strokeStyle = '#ffffff'; g.lineWidth = 1.5; g.setLineDash([6, 4]);
    this.path(g, line); g.stroke(); g.setLineDash([]);
  }
}
