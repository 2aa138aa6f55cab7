// Per-view analysis time per camera, as a ratio to one cv::absdiff of the same frame against
// its reference: the reduced-frame analysis every call makes, and the full-size shaft search a
// deciding call adds.
//   tarv_view_bench [--runs N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/median_time.h"
#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"
#include "tarv/views/camera_analysis.h"
#include "tarv/views/shaft_axis.h"

namespace {

using json = nlohmann::json;

using tarv::bench::medianMs;

void measure(cv::Size size, int runs) {
  using namespace tarv;
  const scene::Renderer renderer(scene::defaultRig(size));
  const scene::SceneImages empty = renderer.render(scene::Scene{});
  scene::SceneRandom rng(3);
  scene::Scene withDart;
  withDart.darts.push_back(scene::randomDart(rng, 150.0));
  const scene::SceneImages shot = renderer.render(withDart);

  void* handle = tarv_create();
  tarv_call(handle, host::armRequest(empty.truth, empty.frames).dump().c_str());
  const Round& round = static_cast<Engine*>(handle)->round;
  cv::setNumThreads(1);

  std::printf("%-10s %-7s %10s %14s %8s %14s %8s\n", "size", "camera", "absdiff_ms", "analysis_ms",
              "ratio", "shaft_ms", "ratio");
  for (int c = 0; c < 3; ++c) {
    const cv::Mat& frame = shot.frames[c];
    cv::Mat difference(frame.size(), frame.type());
    const double floor = medianMs(runs, [&] { cv::absdiff(frame, round.cameras[c].emptyReferenceColour, difference); });
    CameraFrameAnalysis analysis;
    const double analysisMs = medianMs(runs, [&] { analysis = analyseCameraFrame(round, c, frame); });
    const double shaftMs = medianMs(runs, [&] {
      const DartCrop crop = fullSizeDartChange(round, c, frame, analysis);
      ShaftView view;
      view.frame = frame(crop.box);
      view.background = round.cameras[c].backgroundFrame(crop.box);
      view.changeMask = crop.mask;
      view.offset = crop.box.tl();
      view.boardToImage = round.cameras[c].boardToImage;
      (void)estimateShaftAxis(view);
    });
    std::printf("%4dx%-5d %-7s %10.3f %14.3f %7.1fx %14.3f %7.1fx\n", size.width, size.height,
                cameraIds[c].c_str(), floor, analysisMs, analysisMs / floor, shaftMs, shaftMs / floor);
  }
  tarv_destroy(handle);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 50;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
  }
  measure({1280, 720}, runs);
  measure({1920, 1080}, runs);
  return 0;
}
