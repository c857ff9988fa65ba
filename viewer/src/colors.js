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
