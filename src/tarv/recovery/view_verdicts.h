// What each camera shows, for each known dart, where that dart was: still the dart, the empty
// board, or only whether the frame changed there. The recovery reads these verdicts to prove
// that taken-out darts are gone.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// One known dart in one camera.
struct Verdict {
  bool viewResult = false;  // the view still shows change at the dart ("CHANGED") or the dart
                            // itself ("DART_VIEW")
  json detail;              // null until judged: {"support", "verdict", "changed", "own",
                            // "distance_dart", "distance_empty", "dart_pixels"}
};

// The images that measureReferenceDistance compares inside one dart's working box.
struct DistanceContext {
  cv::Mat frameBox;  // the frame cropped to the box
  cv::Mat surround;  // box pixels away from every known dart: where the exposure is fitted
  cv::Rect box;      // the working box in frame coordinates
  cv::Mat kernel;    // 3x3 structuring element of the one-pixel shift tolerance
  cv::Mat own;       // box pixels where the two references differ
};

// Mean distance over the own pixels of the frame (brought to the reference's exposure, or
// the histogram-matched frame when the fit is unusable) from the 3x3 range of the reference
// crop; difference receives the per-pixel distances. -1.0 when it cannot be measured.
double measureReferenceDistance(const DistanceContext& context, const cv::Mat& reference,
                                const cv::Mat& matched, cv::Mat& difference);

// Judges one dart in one view; writes detail and returns the view result.
bool judgeViewVerdict(const Camera& camera, const cv::Mat& dartMask, const cv::Mat& otherDartsMask,
                      const cv::Mat& frame, const cv::Mat& matchedToEmpty,
                      const cv::Mat& matchedToDart, const cv::Mat& changeMask, json& detail);

// What the per-camera verdict job reads: the round, this call's grey frames and one zone code
// per known dart (1 on the board, 0 surround, 2 far outside, -1 no position).
struct VerdictInputs {
  const Round* round = nullptr;
  ImageTriple greys;
  std::vector<int> dartZones;
};

// One Verdict per known dart for one camera.
std::vector<Verdict> judgeCameraVerdicts(const VerdictInputs& inputs, int camera);

// The verdicts of one recovery run, computed on the camera workers on first use.
class VerdictCache {
 public:
  explicit VerdictCache(VerdictInputs inputs) : inputs_(std::move(inputs)) {}

  // The view result of dart i in camera c, with a copy of its detail (null when not judged).
  bool lookupVerdict(std::size_t dart, int camera, json& detail);
  // True when at least one known dart is seen as the empty board in some camera and no camera
  // still sees a known dart or a change at one.
  bool provesKnownDartsGone();

 private:
  void fill();

  VerdictInputs inputs_;
  bool computed_ = false;
  std::array<std::vector<Verdict>, 3> verdicts_;
};

// The fixed-camera check of one camera, retried on the exposure-corrected frame (then marked
// "exposure_corrected": true) when the plain check fails.
json checkCameraFixedWithExposure(const Round& round, const ImageTriple& greys, int camera);

}  // namespace tarv
