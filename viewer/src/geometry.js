// Layers of a pack as vtk.js data: meshes as poly data, uniform grids as
// image data, a field's transform as an actor's matrix.
import vtkPolyData from '@kitware/vtk.js/Common/DataModel/PolyData';
import vtkImageData from '@kitware/vtk.js/Common/DataModel/ImageData';
import vtkDataArray from '@kitware/vtk.js/Common/Core/DataArray';
import vtkCellArray from '@kitware/vtk.js/Common/Core/CellArray';

export function component(layer, label) {
  return (layer.components || []).find((c) => c.label === label);
}

export function polyData(layer, arrays) {
  const poly = vtkPolyData.newInstance();
  poly.getPoints().setData(arrays[layer.points], 3);
  for (const kind of ['verts', 'lines', 'polys']) {
    if (layer[kind] === undefined) continue;
    const cells = vtkCellArray.newInstance({ values: arrays[layer[kind]] });
    poly[`set${kind[0].toUpperCase()}${kind.slice(1)}`](cells);
  }
  for (const c of layer.components || []) {
    const values = arrays[c.array];
    poly.getPointData().addArray(vtkDataArray.newInstance({
      name: c.label || `component ${c.array}`, values, numberOfComponents: c.veclen,
    }));
  }
  return poly;
}

// An image of the given components (labels), interleaved when several.
export function imageData(layer, arrays, labels) {
  const image = vtkImageData.newInstance({ origin: layer.origin, spacing: layer.spacing });
  image.setDimensions(layer.dims);
  const comps = labels.map((l) => component(layer, l) || layer.components[0]);
  const n = layer.dims[0] * layer.dims[1] * layer.dims[2];
  let values = arrays[comps[0].array];
  if (comps.length > 1) {
    values = new Float32Array(n * comps.length);
    comps.forEach((c, k) => {
      const v = arrays[c.array];
      for (let i = 0; i < n; i += 1) values[i * comps.length + k] = v[i];
    });
  }
  image.getPointData().setScalars(vtkDataArray.newInstance({ name: labels.join('+'), values, numberOfComponents: comps.length }));
  return image;
}

// The field's transform, (p - center) mat + center + xlate with mat applied
// to row vectors, as a column-major 4 x 4 matrix.
export function xformMatrix(x) {
  const m = Float64Array.from(x.mat);
  const c = x.center;
  for (let r = 0; r < 3; r += 1) {
    let mc = 0;
    for (let k = 0; k < 3; k += 1) mc += m[k * 4 + r] * c[k];
    m[12 + r] += c[r] + x.xlate[r] - mc;
  }
  return m;
}

// A point through the transform.
export function transformPoint(x, p) {
  const m = xformMatrix(x);
  return [0, 1, 2].map((r) => m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r]);
}
