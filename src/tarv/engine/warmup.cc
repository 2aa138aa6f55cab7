#include "tarv/engine/warmup.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tarv/board/multiview_consensus.h"
#include "tarv/board/tip_solver.h"
#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/views/image_ops.h"

namespace tarv {

double runWarmupOnce(const std::array<Camera, 3>& cameras) {
  if (processSwitches().warmedUp) return 0.0;
  const double start = monotonicMilliseconds();
  auto job = [&cameras](int camera) { return analyseWarmupCamera(cameras, camera); };
  const auto analysed = runOnCameraWorkers(job);
  std::array<json, 3> views;
  std::array<Homography, 3> homographies;
  json candidates = json::array();
  for (int i = 0; i < 3; ++i) {
    views[i] = analysed[i].first;
    homographies[i] = cameras[i].boardToImage;
    candidates.push_back(analysed[i].second);
  }
  (void)reconstructTipFromViews(views, homographies, std::max(300.0, missRadiusMm()));
  (void)buildMultiviewConsensus(candidates);
  processSwitches().warmedUp = true;
  return monotonicMilliseconds() - start;
}

double warmEngine() {
  std::array<Camera, 3> cameras;
  cv::RNG rng(7);
  for (int i = 0; i < 3; ++i) {
    cv::Mat image(720, 1280, CV_8UC3);
    rng.fill(image, cv::RNG::UNIFORM, 40, 200);
    cv::GaussianBlur(image, image, cv::Size(5, 5), 0, 0, cv::BORDER_REFLECT_101);
    cv::circle(image, cv::Point(640, 360), 300, cv::Scalar(30, 30, 30), 3, cv::LINE_8);
    Camera& c = cameras[i];
    c.emptyReferenceColour = image;
    c.backgroundFrame = image;
    c.emptyReference = toGray(image);
    c.dartReference = c.emptyReference;
    c.referenceChangeMask = freshZeroMask(image.size());
    const double t = (i - 1) * 0.15;
    c.boardToImage = {1.7 * std::cos(t), -1.7 * std::sin(t), 640, 1.7 * std::sin(t), 1.7 * std::cos(t), 360, 0, 0, 1};
  }
  return runWarmupOnce(cameras);
}

}  // namespace tarv
