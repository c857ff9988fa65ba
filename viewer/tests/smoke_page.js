// The toolchain's proof: vtk.js draws a volume (colour and opacity tables)
// and a marching-cubes surface of a 64 x 64 x 32 float grid fetched from the
// server that served the page. Results go to window.smoke for the test.
import '@kitware/vtk.js/Rendering/Profiles/Volume';
import '@kitware/vtk.js/Rendering/Profiles/Geometry';
import vtkGenericRenderWindow from '@kitware/vtk.js/Rendering/Misc/GenericRenderWindow';
import vtkImageData from '@kitware/vtk.js/Common/DataModel/ImageData';
import vtkDataArray from '@kitware/vtk.js/Common/Core/DataArray';
import vtkVolume from '@kitware/vtk.js/Rendering/Core/Volume';
import vtkVolumeMapper from '@kitware/vtk.js/Rendering/Core/VolumeMapper';
import vtkColorTransferFunction from '@kitware/vtk.js/Rendering/Core/ColorTransferFunction';
import vtkPiecewiseFunction from '@kitware/vtk.js/Common/DataModel/PiecewiseFunction';
import vtkImageMarchingCubes from '@kitware/vtk.js/Filters/General/ImageMarchingCubes';
import vtkMapper from '@kitware/vtk.js/Rendering/Core/Mapper';
import vtkActor from '@kitware/vtk.js/Rendering/Core/Actor';

function webgl2Present() {
  const c = document.createElement('canvas');
  return !!c.getContext('webgl2');
}

async function draw() {
  if (!webgl2Present()) throw new Error('no WebGL2 context');
  const dims = [64, 64, 32];
  const values = new Float32Array(await (await fetch('grid.bin')).arrayBuffer());
  const image = vtkImageData.newInstance({ spacing: [1, 1, 1], origin: [0, 0, 0] });
  image.setDimensions(dims);
  image.getPointData().setScalars(vtkDataArray.newInstance({ name: 'ze', values, numberOfComponents: 1 }));

  const host = document.getElementById('view');
  const grw = vtkGenericRenderWindow.newInstance({ background: [0, 0, 0] });
  grw.setContainer(host);
  grw.resize();
  const renderer = grw.getRenderer();

  const ctf = vtkColorTransferFunction.newInstance();
  ctf.addRGBPoint(0, 0, 0, 1);
  ctf.addRGBPoint(60, 1, 0, 0);
  const otf = vtkPiecewiseFunction.newInstance();
  otf.addPoint(0, 0);
  otf.addPoint(60, 0.6);
  const volume = vtkVolume.newInstance();
  const vmapper = vtkVolumeMapper.newInstance();
  vmapper.setInputData(image);
  volume.setMapper(vmapper);
  volume.getProperty().setRGBTransferFunction(0, ctf);
  volume.getProperty().setScalarOpacity(0, otf);
  renderer.addVolume(volume);

  const mc = vtkImageMarchingCubes.newInstance({ contourValue: 40, computeNormals: true, mergePoints: true });
  mc.setInputData(image);
  const surface = mc.getOutputData();
  const mapper = vtkMapper.newInstance({ scalarVisibility: false });
  mapper.setInputData(surface);
  const actor = vtkActor.newInstance();
  actor.setMapper(mapper);
  actor.getProperty().setColor(0, 1, 0);
  actor.setPosition(0, 0, 40);
  renderer.addActor(actor);

  renderer.resetCamera();
  grw.getRenderWindow().render();
  return { triangles: surface.getPolys().getNumberOfCells() };
}

window.smoke = draw().then(
  (r) => ({ ok: true, ...r }),
  (e) => ({ ok: false, error: String(e) }),
);
