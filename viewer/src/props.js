// What each layer of the scene looks like: vtk.js actors and volumes, and
// the labels (texts at points) drawn over the picture.
import vtkActor from '@kitware/vtk.js/Rendering/Core/Actor';
import vtkMapper from '@kitware/vtk.js/Rendering/Core/Mapper';
import vtkVolume from '@kitware/vtk.js/Rendering/Core/Volume';
import vtkVolumeMapper from '@kitware/vtk.js/Rendering/Core/VolumeMapper';
import vtkPiecewiseFunction from '@kitware/vtk.js/Common/DataModel/PiecewiseFunction';
import vtkPolyData from '@kitware/vtk.js/Common/DataModel/PolyData';
import vtkDataArray from '@kitware/vtk.js/Common/Core/DataArray';
import { polyData, imageData, component, xformMatrix } from './geometry.js';
import { radarColors, cellColors, radarColor, speedColors, velocityColors, velocityMax } from './colors.js';

function actorOf(poly, setup = {}) {
  const mapper = vtkMapper.newInstance({ scalarVisibility: false });
  mapper.setInputData(poly);
  const actor = vtkActor.newInstance();
  actor.setMapper(mapper);
  const p = actor.getProperty();
  if (setup.color) p.setColor(...setup.color);
  if (setup.opacity !== undefined) p.setOpacity(setup.opacity);
  if (setup.pointSize) { p.setPointSize(setup.pointSize); p.setRenderPointsAsSpheres?.(true); }
  if (setup.lineWidth) p.setLineWidth(setup.lineWidth);
  if (setup.colorBy) {
    mapper.setScalarVisibility(true);
    mapper.setScalarModeToUsePointFieldData();
    mapper.setColorByArrayName(setup.colorBy);
    mapper.setLookupTable(setup.lut);
    mapper.setUseLookupTableScalarRange(true);
  }
  return actor;
}

function points(layer, arrays) {
  const p = arrays[layer.points];
  const out = [];
  for (let i = 0; i + 2 < p.length; i += 3) out.push([p[i], p[i + 1], p[i + 2]]);
  return out;
}

// The reflectivity component of an image layer: the one that is no opacity.
export function zeLabel(layer) {
  const c = (layer.components || []).filter((x) => x.id !== 672);
  return c.length ? c[c.length - 1].label : layer.components[0].label;
}

// The opacity of each reflectivity as CreateRainTrans gave it: its
// trans_ze component (id 672) read beside the reflectivity of every voxel,
// averaged per 0.5 dBZ, scaled by the page's opacity.
function opacityFromModule(ze, trans, scale) {
  const bins = new Map();
  for (let i = 0; i < ze.length; i += 1) {
    if (!Number.isFinite(ze[i]) || ze[i] < -1000 || !Number.isFinite(trans[i])) continue;
    const b = Math.round(ze[i] * 2) / 2;
    const e = bins.get(b) || [0, 0];
    e[0] += trans[i]; e[1] += 1;
    bins.set(b, e);
  }
  const f = vtkPiecewiseFunction.newInstance();
  const keys = [...bins.keys()].sort((a, b) => a - b);
  f.addPoint(-10000, 0);
  for (const k of keys) { const [sum, n] = bins.get(k); f.addPoint(k, scale * (sum / n)); }
  return f;
}

function savedRamp(scale) {
  const f = vtkPiecewiseFunction.newInstance();
  f.addPoint(-10000, 0); f.addPoint(15, 0); f.addPoint(60, scale); f.addPoint(1000, scale);
  return f;
}

function volumeProps(layer, arrays, settings) {
  const zeComp = component(layer, zeLabel(layer));
  const transComp = component(layer, 'trans_ze');
  const image = imageData(layer, arrays, [zeComp.label]);
  const mapper = vtkVolumeMapper.newInstance();
  mapper.setInputData(image);
  // A sample per spacing of the coarsest axis: the volume is soft anyway,
  // and a sample per finest spacing (the levels' 0.5 km on CPOL) doubled
  // what software WebGL spends on a frame.
  mapper.setSampleDistance(Math.max(...layer.spacing));
  // A ray for every image sample distance squared pixels, still or moving
  // (see volume_pass.js).
  mapper.setImageSampleDistance(settings.imageSampleDistance);
  mapper.setAutoAdjustSampleDistances(false);
  mapper.setInitialInteractionScale(settings.imageSampleDistance ** 2);
  const volume = vtkVolume.newInstance();
  volume.setMapper(mapper);
  const prop = volume.getProperty();
  prop.setRGBTransferFunction(0, radarColors());
  // Saved results carry no CreateRainTrans: its default ramp, 15 to 60 dBZ.
  const opacity = transComp ? opacityFromModule(arrays[zeComp.array], arrays[transComp.array], settings.volumeOpacity)
    : savedRamp(settings.volumeOpacity);
  prop.setScalarOpacity(0, opacity);
  prop.setScalarOpacityUnitDistance(0, Math.min(...layer.spacing) * 2);
  prop.setInterpolationTypeToLinear();
  prop.setShade(false);
  return { props: [volume] };
}

// Cells coloured by their area, or in a track folder by their track.
// Opaque: the volume's haze is laid over them anyway, and one translucent
// prop costs every frame a translucency pass (two float targets and a
// blend over the whole view), a third of a frame in software WebGL.
function surfaceProps(layer, arrays, settings) {
  if (component(layer, 'track')) return { props: [actorOf(polyData(layer, arrays), { colorBy: 'track', lut: cellColors(settings.tracks || 1) })] };
  const max = component(layer, 'area_no')?.range?.[1] || 1;
  return { props: [actorOf(polyData(layer, arrays), { colorBy: 'area_no', lut: cellColors(max) })] };
}

function labelledPoints(layer, arrays, texts, color, cls) {
  const pts = points(layer, arrays);
  const labels = pts.map((p, i) => ({ p, text: texts?.[i] ?? String(i + 1), cls }));
  return { props: [actorOf(polyData(layer, arrays), { color, pointSize: 9 })], labels };
}

// Points carrying a vector each (the legends' axis and ticks) as lines of
// a grey (0 to 1).
function vectorProps(layer, arrays, color) {
  const pts = points(layer, arrays);
  const vec = (layer.components || []).find((c) => c.veclen === 3);
  const xyz = new Float32Array(pts.length * 6);
  const lines = new Uint32Array(pts.length * 3);
  pts.forEach((p, i) => {
    const v = vec ? arrays[vec.array].subarray(3 * i, 3 * i + 3) : [0, 0, 0];
    xyz.set([...p, p[0] + v[0], p[1] + v[1], p[2] + v[2]], 6 * i);
    lines.set([2, 2 * i, 2 * i + 1], 3 * i);
  });
  const poly = vtkPolyData.newInstance();
  poly.getPoints().setData(xyz, 3);
  poly.getLines().setData(lines);
  const rgb = new Uint8Array(xyz.length).fill(Math.round(255 * color));
  return { props: [coloredLines(poly, rgb)] };
}

// AlphaPlane's projection: the summed reflectivity's colour, its opacity.
function alphaProps(layer, arrays) {
  const poly = polyData(layer, arrays);
  const alpha = arrays[layer.components[0].array];
  const n = alpha.length;
  const rgba = new Uint8Array(4 * n);
  for (let i = 0; i < n; i += 1) {
    const a = Math.max(0, Math.min(1, alpha[i]));
    rgba.set([235, 240, 255, Math.round(255 * a)], 4 * i);
  }
  poly.getPointData().setScalars(vtkDataArray.newInstance({ name: 'rgba', values: rgba, numberOfComponents: 4 }));
  const actor = actorOf(poly);
  const mapper = actor.getMapper();
  mapper.setScalarVisibility(true);
  mapper.setColorModeToDirectScalars();
  mapper.setScalarModeToUsePointData();
  actor.getProperty().setOpacity(0.999);
  actor.setForceTranslucent?.(true);
  return { props: [actor] };
}

// Lines coloured point by point (rgb, 0 to 255 each). The scene's lines are
// all drawn so, one pixel wide: one shader for every line of the scene, as
// each shader the page needs costs its first frame a compilation in
// software WebGL.
function coloredLines(poly, rgb) {
  poly.getPointData().setScalars(vtkDataArray.newInstance({ name: 'rgb', values: rgb, numberOfComponents: 3 }));
  const actor = actorOf(poly);
  actor.getMapper().setScalarVisibility(true);
  actor.getMapper().setColorModeToDirectScalars();
  return actor;
}

function groundProps(layer, arrays) {
  const kind = arrays[layer.components[0].array];
  const colors = [[210, 215, 225], [95, 105, 120], [120, 190, 255], [170, 170, 150]];
  const rgb = new Uint8Array(3 * kind.length);
  kind.forEach((k, i) => rgb.set(colors[k] || colors[0], 3 * i));
  return { props: [coloredLines(polyData(layer, arrays), rgb)] };
}

// A velocity about 0 (the storm-relative velocity) as a volume: coloured
// by a diverging table centred on 0, clear where the air is still relative
// to the storm, opaque where it moves fast toward or away from the radar.
function velocityProps(layer, arrays) {
  if (layer.kind !== 'image') return { props: [] };
  const comp = layer.components.find((c) => c.veclen === 1);
  const image = imageData(layer, arrays, [comp.label]);
  const mapper = vtkVolumeMapper.newInstance();
  mapper.setInputData(image);
  mapper.setSampleDistance(Math.max(...layer.spacing));
  const volume = vtkVolume.newInstance();
  volume.setMapper(mapper);
  const max = velocityMax(comp.range);
  const opacity = vtkPiecewiseFunction.newInstance();
  opacity.addPoint(-10000, 0); opacity.addPoint(-max, 0.5); opacity.addPoint(-2, 0);
  opacity.addPoint(2, 0); opacity.addPoint(max, 0.5); opacity.addPoint(10000, 0.5);
  const prop = volume.getProperty();
  prop.setRGBTransferFunction(0, velocityColors(max));
  prop.setScalarOpacity(0, opacity);
  prop.setScalarOpacityUnitDistance(0, Math.min(...layer.spacing) * 2);
  prop.setInterpolationTypeToLinear();
  prop.setShade(false);
  return { props: [volume] };
}

function genericProps(layer, arrays) {
  if (layer.kind === 'image') {
    const comp = layer.components.find((c) => c.veclen === 1);
    if (!comp) return { props: [] };
    const image = imageData(layer, arrays, [comp.label]);
    const mapper = vtkVolumeMapper.newInstance();
    mapper.setInputData(image);
    const volume = vtkVolume.newInstance();
    volume.setMapper(mapper);
    const [lo, hi] = comp.range;
    const opacity = vtkPiecewiseFunction.newInstance();
    opacity.addPoint(lo, 0); opacity.addPoint(hi, 0.6);
    volume.getProperty().setRGBTransferFunction(0, radarColors());
    volume.getProperty().setScalarOpacity(0, opacity);
    return { props: [volume] };
  }
  const poly = polyData(layer, arrays);
  const scalar = (layer.components || []).find((c) => c.veclen === 1);
  const setup = { color: [0.85, 0.88, 0.95], pointSize: 6, lineWidth: 2 };
  if (scalar) {
    const lut = radarColors();
    const [lo, hi] = scalar.range;
    if (!(scalar.range[0] >= 0 && scalar.range[1] <= 80)) lut.setMappingRange(lo, hi === lo ? lo + 1 : hi);
    Object.assign(setup, { colorBy: scalar.label || `component ${scalar.array}`, lut });
  }
  const actor = actorOf(poly, setup);
  if (layer.xform) actor.setUserMatrix(xformMatrix(layer.xform));
  const texts = layer.texts ? points(layer, arrays).map((p, i) => ({ p, text: layer.texts[i] || '', cls: '' })) : [];
  return { props: [actor], labels: texts };
}

// The props and labels of one layer; settings carry what the page's
// controls decide (the volume's opacity).
export function layerProps(layer, arrays, settings) {
  if (layer.kind === 'empty') return { props: [] };
  switch (layer.role) {
    case 'volume': return layer.kind === 'image' ? volumeProps(layer, arrays, settings) : { props: [] };
    case 'surface': return surfaceProps(layer, arrays, settings);
    case 'velocity': return velocityProps(layer, arrays);
    case 'winds': return { props: [actorOf(polyData(layer, arrays), { colorBy: 'speed', lut: speedColors(layer.components[0].range[1]) })] };
    case 'tracks': return { props: [actorOf(polyData(layer, arrays), { colorBy: 'track', lut: cellColors(settings.tracks || 1), lineWidth: 3 })] };
    case 'isovolume': {
      const built = genericProps(layer, arrays);
      built.props.forEach((p) => p.getProperty().setOpacity(0.5));
      return built;
    }
    case 'tops': return labelledPoints(layer, arrays, layer.texts, [1, 1, 1], 'top');
    case 'centres': return labelledPoints(layer, arrays, layer.texts, [1, 0.85, 0.2], 'centre');
    case 'axis': return vectorProps(layer, arrays, 0.9);
    case 'ticks': return vectorProps(layer, arrays, 0.9);
    case 'labels': return { props: [], labels: points(layer, arrays).map((p, i) => ({ p, text: layer.texts?.[i] || '', cls: 'tick' })) };
    // CreateRainSlice's planes, cut through the grid by the server.
    case 'slices': return { props: [actorOf(polyData(layer, arrays), { colorBy: layer.components[0].label, lut: radarColors() })] };
    case 'lines': return { props: [actorOf(polyData(layer, arrays), { colorBy: 'rain', lut: radarColors() })] };
    case 'alpha': return alphaProps(layer, arrays);
    case 'picks': return labelledPoints(layer, arrays, layer.texts, [1, 0.2, 1], 'pick');
    case 'ground': return groundProps(layer, arrays);
    default: return genericProps(layer, arrays);
  }
}

export { radarColor };
