#include "tarv/autocal/board_fit.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "host/calibration_check.h"
#include "scene/scene.h"

namespace tarv {
namespace {

namespace sc = tarv::scene;

struct Shot {
  sc::Camera camera;
  cv::Mat frame;
};

Shot renderBoard(cv::Size size, double elevation, double azimuth, const sc::Imaging& imaging = {}) {
  sc::CameraSpec spec;
  spec.image_size = size;
  spec.elevation_deg = elevation;
  spec.azimuth_deg = azimuth;
  const sc::Renderer renderer({spec}, 2);
  sc::Scene scene;
  scene.imaging = imaging;
  return {renderer.cameras()[0], renderer.render(scene).frames[0]};
}

TEST(Explore, Accuracy) {
  for (cv::Size size : {cv::Size(960, 720)}) {
    for (double elevation : {0.0, 20.0, 40.0, 55.0}) {
      const Shot shot = renderBoard(size, elevation, 200.0);
      const cv::Point2d click = host::twentyClick(shot.camera);
      const json result = fitBoardGeometry(shot.frame, {{"click_px", {click.x, click.y}}});
      const auto h = host::fittedHomography(result);
      if (!h) {
        std::printf("%d %.0f: %s\n", size.width, elevation, result.dump().c_str());
        continue;
      }
      const host::RingError e = host::ringError(*h, shot.camera);
      std::printf("%d %.0f: acc %d mean %.2f max %.2f bull %.2f %s\n", size.width, elevation,
                  result["accepted"].get<bool>(), e.meanPx, e.maxPx, e.bullPx, result["report"].dump().c_str());
    }
  }
}

}  // namespace
}  // namespace tarv
