// What a host sends the engine: image descriptors of its frames, the arm request of a rendered
// rig and the per-frame detection request, as JSON text for tarv_call.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/scene.h"

namespace tarv::host {

using json = nlohmann::json;

// The nine values of a 3x3 matrix, row by row, as the library's homographies hold them.
std::array<double, 9> homographyOf(const cv::Matx33d& m);

// {"pointer", "width", "height", "length"} of a continuous 8-bit BGR frame.
json imageDescriptor(const cv::Mat& frame);
json imageDescriptors(const std::vector<cv::Mat>& frames);

// "arm" with the rig's true board-to-image homographies and the frames as references.
json armRequest(const scene::GroundTruth& truth, const std::vector<cv::Mat>& frames);
// "arm" with board-to-image homographies of the host's own (from "calibrate").
json armRequest(const std::vector<cv::Matx33d>& calibrations, const std::vector<cv::Mat>& frames);

// The cameras of the rig that a host with `count` cameras uses: all three, the first two, or
// the most frontal one (the smallest angle between its line to the bull and the board normal).
std::vector<size_t> camerasForCount(const std::vector<scene::CameraSpec>& rig, int count);
// The frames of those cameras.
std::vector<cv::Mat> framesOf(const std::vector<cv::Mat>& frames, const std::vector<size_t>& cameras);
// "arm" for those cameras: "calibration" for one camera, "calibrations" for more.
json armRequestFor(const scene::GroundTruth& truth, const std::vector<cv::Mat>& frames,
                   const std::vector<size_t>& cameras);

// Sends scene states the way a host does: every state several times, times advancing by
// 1/30 s per call.
class FrameClock {
 public:
  explicit FrameClock(double start = 100.0) : now_(start) {}
  // {"command":"detect","images":[...],"times":[t per frame],"epoch":0[,"hand_seen":true]},
  // with "time": t for fewer than three frames.
  json detectRequest(const std::vector<cv::Mat>& frames, bool handSeen = false);
  double now() const { return now_; }

 private:
  double now_;
};

}  // namespace tarv::host
