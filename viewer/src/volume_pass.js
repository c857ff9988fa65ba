// The render pass of the page: the scene's renderer drawn as vtk.js draws
// it, and the volumes' renderer ray-cast into a framebuffer of its own that
// is kept while the camera, the size and the volumes stay as they were, and
// laid over the scene each frame (premultiplied alpha, as vtk.js blends a
// volume over translucent geometry). A change that leaves the volume alone
// (a new level, a pick) then redraws the geometry only, not the ray casting
// that costs most of a frame in software WebGL. Opaque geometry no longer
// ends the rays: the volume is a faint haze in front of it.
import macro from '@kitware/vtk.js/macros';
import vtkRenderPass from '@kitware/vtk.js/Rendering/SceneGraph/RenderPass';
import vtkForwardPass from '@kitware/vtk.js/Rendering/OpenGL/ForwardPass';
import vtkFramebuffer from '@kitware/vtk.js/Rendering/OpenGL/Framebuffer';
import vtkHelper from '@kitware/vtk.js/Rendering/OpenGL/Helper';
import vtkVertexArrayObject from '@kitware/vtk.js/Rendering/OpenGL/VertexArrayObject';
import vtkDataArray from '@kitware/vtk.js/Common/Core/DataArray';
import vtkCellArray from '@kitware/vtk.js/Common/Core/CellArray';
import { Representation } from '@kitware/vtk.js/Rendering/Core/Property/Constants';

const vertexShader = `//VTK::System::Dec
attribute vec4 vertexDC;
attribute vec2 tcoordTC;
varying vec2 tcoord;
void main() { tcoord = tcoordTC; gl_Position = vertexDC; }`;

const fragmentShader = `//VTK::System::Dec
uniform sampler2D volumes;
varying vec2 tcoord;
//VTK::Output::Dec
void main() { gl_FragData[0] = texture2D(volumes, tcoord); }`;

function vtkCachedVolumePass(publicAPI, model) {
  model.classHierarchy.push('vtkCachedVolumePass');
  model.scenePass = vtkForwardPass.newInstance();
  model.volumePass = vtkForwardPass.newInstance();

  // A quad over the whole view, with its texture coordinates.
  function createQuad(viewNode) {
    model.quad = vtkHelper.newInstance();
    model.quad.setOpenGLRenderWindow(viewNode);
    const points = vtkDataArray.newInstance({ name: 'points', numberOfComponents: 3, values: Float32Array.from([-1, -1, -1, 1, -1, -1, -1, 1, -1, 1, 1, -1]) });
    const tcoords = vtkDataArray.newInstance({ name: 'tcoords', numberOfComponents: 2, values: Float32Array.from([0, 0, 1, 0, 0, 1, 1, 1]) });
    const cells = vtkCellArray.newInstance({ values: Uint16Array.from([4, 0, 1, 3, 2]) });
    model.quad.getCABO().createVBO(cells, 'polys', Representation.SURFACE, { points, tcoords, cellOffset: 0, forceFlatten: true });
    model.shader = viewNode.getShaderCache().readyShaderProgramArray(vertexShader, fragmentShader, '');
    model.vao = vtkVertexArrayObject.newInstance();
    model.vao.setOpenGLRenderWindow(viewNode);
    model.vao.bind();
    const cabo = model.quad.getCABO();
    const gl = viewNode.getContext();
    cabo.bind();
    model.vao.addAttributeArray(model.shader, cabo, 'vertexDC', cabo.getVertexOffset(), cabo.getStride(), gl.FLOAT, 3, gl.FALSE);
    model.vao.addAttributeArray(model.shader, cabo, 'tcoordTC', cabo.getTCoordOffset(), cabo.getStride(), gl.FLOAT, 2, gl.FALSE);
  }

  // Draws one renderer of the two (not the hidden one) with a forward pass
  // of its own.
  function drawOnly(pass, hidden, viewNode, parent) {
    hidden.setDraw(false);
    pass.traverse(viewNode, parent);
    hidden.setDraw(true);
  }

  function drawVolumes(viewNode, parent) {
    const size = viewNode.getSize();
    if (!model.framebuffer) {
      model.framebuffer = vtkFramebuffer.newInstance();
      model.framebuffer.setOpenGLRenderWindow(viewNode);
    }
    const fbSize = model.framebuffer.getSize();
    if (!fbSize || fbSize[0] !== size[0] || fbSize[1] !== size[1]) {
      model.framebuffer.create(...size);
      model.framebuffer.populateFramebuffer();
    }
    model.framebuffer.bind();
    // Cast as vtk.js casts while the view moves, still frames too: a ray
    // for every few pixels (the mapper's image sample distance), the
    // picture then scaled up. The volume is a soft haze; a ray per pixel
    // would cost four times as much for nothing one sees.
    model.interactor.requestAnimation(publicAPI);
    drawOnly(model.volumePass, model.sceneRenderer, viewNode, parent);
    model.interactor.cancelAnimation(publicAPI, true);
    // Back to the canvas, which the scene is drawn in. Not by the
    // framebuffer's own restore: it asks the GPU for the binding, a wait for
    // every draw before it.
    const gl = viewNode.getContext();
    gl.bindFramebuffer(gl.FRAMEBUFFER, null);
    viewNode.setActiveFramebuffer(null);
  }

  function laidOver(viewNode) {
    const gl = viewNode.getContext();
    if (!model.shader) createQuad(viewNode);
    else viewNode.getShaderCache().readyShaderProgram(model.shader);
    model.vao.bind();
    const size = viewNode.getSize();
    gl.viewport(0, 0, size[0], size[1]);
    gl.scissor(0, 0, size[0], size[1]);
    gl.disable(gl.DEPTH_TEST);
    gl.enable(gl.BLEND);
    gl.blendFuncSeparate(gl.ONE, gl.ONE_MINUS_SRC_ALPHA, gl.ONE, gl.ONE_MINUS_SRC_ALPHA);
    const texture = model.framebuffer.getColorTexture();
    texture.activate();
    model.shader.setUniformi('volumes', texture.getTextureUnit());
    gl.drawArrays(gl.TRIANGLES, 0, model.quad.getCABO().getElementCount());
    texture.deactivate();
    model.vao.release();
    gl.blendFuncSeparate(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA, gl.ONE, gl.ONE_MINUS_SRC_ALPHA);
    gl.enable(gl.DEPTH_TEST);
  }

  publicAPI.traverse = (viewNode, parent = null) => {
    if (model.deleted) return;
    const volumes = model.volumeRenderer.getViewProps().filter((p) => p.getVisibility());
    // Built before the scene is drawn: checking that a shader compiled
    // waits for the GPU to finish all it was given.
    if (volumes.length && !model.shader && viewNode.getContext()) createQuad(viewNode);
    drawOnly(model.scenePass, model.volumeRenderer, viewNode, parent);
    if (!volumes.length) return;
    // What the ray casting depends on: the camera, the size, the volumes
    // (modified times: of their data, mappers and looks; a volume replaced
    // or shown again has a later one).
    const times = volumes.map((p) => Math.max(p.getMTime(), p.getProperty().getMTime(), p.getMapper().getMTime(),
      p.getMapper().getInputData()?.getMTime() ?? 0));
    const key = `${model.volumeRenderer.getActiveCamera().getMTime()} ${viewNode.getSize()} ${times}`;
    if (key !== model.drawnKey) {
      drawVolumes(viewNode, parent);
      model.drawnKey = key;
    }
    laidOver(viewNode);
  };

  publicAPI.releaseGraphicsResources = (viewNode) => {
    model.scenePass.releaseGraphicsResources(viewNode);
    model.volumePass.releaseGraphicsResources(viewNode);
    model.framebuffer?.releaseGraphicsResources(viewNode);
    model.framebuffer = null;
    model.vao?.releaseGraphicsResources(viewNode);
    model.quad?.releaseGraphicsResources(viewNode);
    model.shader = null;
    model.drawnKey = '';
  };
}

const DEFAULT_VALUES = { sceneRenderer: null, volumeRenderer: null, interactor: null, framebuffer: null, shader: null, drawnKey: '' };

function extend(publicAPI, model, initialValues = {}) {
  Object.assign(model, DEFAULT_VALUES, initialValues);
  vtkRenderPass.extend(publicAPI, model, initialValues);
  vtkCachedVolumePass(publicAPI, model);
}

export default { newInstance: macro.newInstance(extend, 'vtkCachedVolumePass') };
