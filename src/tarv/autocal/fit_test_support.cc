#include "tarv/autocal/fit_test_support.h"

namespace tarv::fit_test {

scene::CameraSpec view(cv::Size size, double elevation, double azimuth) {
  scene::CameraSpec cameraSpec;
  cameraSpec.image_size = size;
  cameraSpec.elevation_deg = elevation;
  cameraSpec.azimuth_deg = azimuth;
  return cameraSpec;
}

Shot renderBoard(const scene::CameraSpec& cameraSpec, const scene::Imaging& imaging, const scene::BoardTexture& texture) {
  const scene::Renderer renderer({cameraSpec}, texture, 2);
  scene::Scene s;
  s.imaging = imaging;
  return {renderer.cameras()[0], renderer.render(s).frames[0]};
}

json matrixJson(const cv::Matx33d& m) {
  return {{m(0, 0), m(0, 1), m(0, 2)}, {m(1, 0), m(1, 1), m(1, 2)}, {m(2, 0), m(2, 1), m(2, 2)}};
}

json pointJson(cv::Point2d p) { return {p.x, p.y}; }

}  // namespace tarv::fit_test
