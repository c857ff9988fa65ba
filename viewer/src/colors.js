// Colour tables: reflectivity as radar meteorologists read it (the
// NWS-style steps from 5 to 75 dBZ), and distinct colours for numbered cells.
import vtkColorTransferFunction from '@kitware/vtk.js/Rendering/Core/ColorTransferFunction';

export const radarSteps = [
  [5, [0.0, 0.93, 0.93]], [10, [0.0, 0.63, 0.96]], [15, [0.0, 0.0, 0.96]], [20, [0.0, 1.0, 0.0]],
  [25, [0.0, 0.78, 0.0]], [30, [0.0, 0.56, 0.0]], [35, [1.0, 1.0, 0.0]], [40, [0.91, 0.75, 0.0]],
  [45, [1.0, 0.56, 0.0]], [50, [1.0, 0.0, 0.0]], [55, [0.84, 0.0, 0.0]], [60, [0.75, 0.0, 0.0]],
  [65, [1.0, 0.0, 1.0]], [70, [0.6, 0.33, 0.79]], [75, [1.0, 1.0, 1.0]],
];

export function radarColors() {
  const ctf = vtkColorTransferFunction.newInstance();
  for (const [dbz, [r, g, b]] of radarSteps) ctf.addRGBPoint(dbz, r, g, b);
  return ctf;
}

// The colour of a reflectivity, as the table gives it.
export function radarColor(dbz) {
  let last = radarSteps[0][1];
  for (const [v, c] of radarSteps) { if (dbz < v) break; last = c; }
  return last;
}

const palette = [
  [0.90, 0.33, 0.31], [0.30, 0.69, 0.93], [0.99, 0.76, 0.20], [0.45, 0.82, 0.42], [0.76, 0.48, 0.91],
  [0.98, 0.55, 0.73], [0.30, 0.86, 0.80], [0.93, 0.60, 0.30], [0.62, 0.75, 0.36], [0.55, 0.58, 0.95],
];
export function cellColor(n) { return n <= 0 ? [0.6, 0.6, 0.6] : palette[(n - 1) % palette.length]; }

// Cells 1..max in their colours, 0 in grey.
export function cellColors(max) {
  const ctf = vtkColorTransferFunction.newInstance();
  for (let n = 0; n <= Math.max(1, max); n += 1) {
    const [r, g, b] = cellColor(n);
    ctf.addRGBPoint(n - 0.49, r, g, b);
    ctf.addRGBPoint(n + 0.49, r, g, b);
  }
  return ctf;
}

// Wind speed, m/s: light blue when calm through yellow to magenta at max.
export function speedColors(max) {
  const ctf = vtkColorTransferFunction.newInstance();
  const top = Math.max(1, max);
  ctf.addRGBPoint(0, 0.55, 0.8, 1.0);
  ctf.addRGBPoint(0.5 * top, 1.0, 0.95, 0.3);
  ctf.addRGBPoint(top, 1.0, 0.2, 0.8);
  return ctf;
}

// A radial velocity, m/s, about 0: blue toward the radar, red away, white
// still (ColorBrewer's RdBu), symmetric out to max either way.
export function velocityColors(max) {
  const ctf = vtkColorTransferFunction.newInstance();
  const top = Math.max(1, max);
  ctf.addRGBPoint(-top, 0.02, 0.19, 0.38);
  ctf.addRGBPoint(-0.5 * top, 0.26, 0.58, 0.76);
  ctf.addRGBPoint(0, 0.97, 0.97, 0.97);
  ctf.addRGBPoint(0.5 * top, 0.84, 0.38, 0.30);
  ctf.addRGBPoint(top, 0.40, 0.0, 0.12);
  return ctf;
}

// The largest speed a velocity layer's colours reach, m/s: its largest
// value either way, between 5 and 40 (a few fast gates should not wash out the rest).
export function velocityMax(range) {
  return Math.min(40, Math.max(5, Math.abs(range?.[0] || 0), Math.abs(range?.[1] || 0)));
}
