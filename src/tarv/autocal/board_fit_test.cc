#include "tarv/autocal/board_fit.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "host/calibration_check.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

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

json calibrate(const json& request) {
  void* engine = tarv_create();
  const json reply = json::parse(tarv_call(engine, request.dump().c_str()));
  tarv_destroy(engine);
  return reply;
}

TEST(Explore, Accuracy) {
  for (cv::Size size : {cv::Size(960, 720), cv::Size(1920, 1080)}) {
    for (double elevation : {0.0, 30.0, 55.0}) {
      for (int cond = 0; cond < 3; ++cond) {
        sc::Imaging im;
        if (cond == 1) { im.noise_sigma = 4; im.blur_sigma = 1.2; im.noise_seed = 3; }
        if (cond == 2) { im.gain = 0.6; }
        if (cond == 3) { im.gain = 1.3; }
        const Shot shot = renderBoard(size, elevation, 200.0 + elevation, im);
        const cv::Point2d click = host::twentyClick(shot.camera);
        const json result = calibrate(host::calibrateRequest(shot.frame, click));
        const auto h = host::fittedHomography(result);
        if (!h) {
          std::printf("%d %.0f c%d: %s\n", size.width, elevation, cond, result.dump().c_str());
          continue;
        }
        const host::RingError e = host::ringError(*h, shot.camera);
        std::printf("%d %.0f c%d: acc %d mean %.2f max %.2f bull %.2f rms %.2f inl %.2f src %s\n", size.width, elevation, cond,
                    result["accepted"].get<bool>(), e.meanPx, e.maxPx, e.bullPx, result["report"]["rms_px"].get<double>(),
                    result["report"]["inlier_fraction"].get<double>(), result["orientation_source"].get<std::string>().c_str());
      }
    }
  }
}

}  // namespace
}  // namespace tarv
