// A host driving the one- or two-camera engine through the exported functions on rendered
// scenes of the default rig: the one-camera host uses its most frontal camera (the third), the
// two-camera host the first two.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/scene.h"

namespace tarv {

using json = nlohmann::json;

class VariantHost {
 public:
  explicit VariantHost(int cameras);
  ~VariantHost();
  VariantHost(const VariantHost&) = delete;
  VariantHost& operator=(const VariantHost&) = delete;

  // The frames of this host's cameras out of a three-camera shot.
  std::vector<cv::Mat> pick(const scene::SceneImages& shot) const;
  json calibrations() const;  // "calibration" (one camera) or "calibrations" (two), as sent
  json arm(const scene::SceneImages& empty, json extra = json::object());
  json call(const json& request);
  // A per-frame request at the time (every frame carries "time" and "times").
  json detect(const std::vector<cv::Mat>& frames, double time, bool hand = false, int epoch = 0);
  // The scene state sent four times 1/30 s apart, as a host does; the last reply.
  json settle(const scene::SceneImages& shot, bool hand = false);
  double now() const { return now_; }
  void* engine() const { return engine_; }

 private:
  int cameras_;
  void* engine_;
  double now_ = 100.0;
};

// Renders the darts (and the hand) on the default rig.
scene::SceneImages renderDarts(const std::vector<scene::Dart>& darts, bool hand = false,
                               scene::Imaging imaging = {});
// A dart standing nearly straight out of the board at the point.
scene::Dart dartAt(double x, double y, double tiltDeg = 12.0, double azimuthDeg = 200.0);
// A dart as a scenario plans it: tip, direction out of the board, flight colour and turn.
scene::Dart dart(cv::Point2d tip, cv::Vec3d direction, cv::Scalar flight, double rollDeg);

}  // namespace tarv
