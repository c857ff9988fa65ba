// The page's render window: a WebGL view in a container, its renderer and
// an interactor that turns the camera about the scene. Made here rather than
// with vtk.js's generic render window, which would bring its WebGPU views
// into the bundle: a third more script for the page to load and run first.
import vtkRenderWindow from '@kitware/vtk.js/Rendering/Core/RenderWindow';
import vtkRenderer from '@kitware/vtk.js/Rendering/Core/Renderer';
import vtkOpenGLRenderWindow from '@kitware/vtk.js/Rendering/OpenGL/RenderWindow';
import vtkRenderWindowInteractor from '@kitware/vtk.js/Rendering/Core/RenderWindowInteractor';
import vtkInteractorStyleTrackballCamera from '@kitware/vtk.js/Interaction/Style/InteractorStyleTrackballCamera';

export function createWindow(container, background) {
  const renderWindow = vtkRenderWindow.newInstance();
  const renderer = vtkRenderer.newInstance();
  renderer.setBackground(...background);
  renderWindow.addRenderer(renderer);
  const view = vtkOpenGLRenderWindow.newInstance();
  renderWindow.addView(view);
  view.setContainer(container);
  const interactor = vtkRenderWindowInteractor.newInstance();
  interactor.setInteractorStyle(vtkInteractorStyleTrackballCamera.newInstance());
  interactor.setView(view);
  interactor.initialize();
  interactor.bindEvents(container);
  return {
    getRenderWindow: () => renderWindow,
    getRenderer: () => renderer,
    getApiSpecificRenderWindow: () => view,
    getInteractor: () => interactor,
    // The view's pixels to the container's size.
    resize() {
      const { width, height } = container.getBoundingClientRect();
      const ratio = window.devicePixelRatio || 1;
      view.setSize(Math.floor(width * ratio), Math.floor(height * ratio));
      renderWindow.render();
    },
  };
}
