#include "host/host_protocol.h"

#include <cstdint>
#include <stdexcept>

namespace tarv::host {

std::array<double, 9> homographyOf(const cv::Matx33d& m) {
  std::array<double, 9> h{};
  for (int i = 0; i < 9; ++i) h[i] = m.val[i];
  return h;
}

json imageDescriptor(const cv::Mat& frame) {
  if (frame.type() != CV_8UC3 || !frame.isContinuous()) {
    throw std::invalid_argument("frames must be continuous 8-bit BGR");
  }
  return {{"pointer", reinterpret_cast<uintptr_t>(frame.data)},
          {"width", frame.cols},
          {"height", frame.rows},
          {"length", frame.total() * 3}};
}

json imageDescriptors(const std::vector<cv::Mat>& frames) {
  json images = json::array();
  for (const cv::Mat& frame : frames) images.push_back(imageDescriptor(frame));
  return images;
}

json armRequest(const scene::GroundTruth& truth, const std::vector<cv::Mat>& frames) {
  std::vector<cv::Matx33d> calibrations;
  for (const scene::CameraTruth& camera : truth.cameras) calibrations.push_back(camera.board_to_image);
  return armRequest(calibrations, frames);
}

json armRequest(const std::vector<cv::Matx33d>& calibrations, const std::vector<cv::Mat>& frames) {
  json matrices = json::array();
  for (const cv::Matx33d& h : calibrations) {
    json rows = json::array();
    for (int r = 0; r < 3; ++r) rows.push_back({h(r, 0), h(r, 1), h(r, 2)});
    matrices.push_back(rows);
  }
  return {{"command", "arm"}, {"images", imageDescriptors(frames)}, {"calibrations", matrices}};
}

std::vector<size_t> camerasForCount(const std::vector<scene::CameraSpec>& rig, int count) {
  if (count == 1) {
    size_t frontal = 0;
    for (size_t i = 1; i < rig.size(); ++i) {
      if (rig[i].elevation_deg < rig[frontal].elevation_deg) frontal = i;
    }
    return {frontal};
  }
  std::vector<size_t> cameras;
  for (size_t i = 0; i < rig.size() && static_cast<int>(i) < count; ++i) cameras.push_back(i);
  return cameras;
}

std::vector<cv::Mat> framesOf(const std::vector<cv::Mat>& frames, const std::vector<size_t>& cameras) {
  std::vector<cv::Mat> out;
  for (size_t i : cameras) out.push_back(frames.at(i));
  return out;
}

json armRequestFor(const scene::GroundTruth& truth, const std::vector<cv::Mat>& frames,
                   const std::vector<size_t>& cameras) {
  scene::GroundTruth subset;
  for (size_t i : cameras) subset.cameras.push_back(truth.cameras.at(i));
  json request = armRequest(subset, framesOf(frames, cameras));
  if (cameras.size() == 1) {
    request["calibration"] = request["calibrations"][0];
    request.erase("calibrations");
  }
  return request;
}

json FrameClock::detectRequest(const std::vector<cv::Mat>& frames, bool handSeen) {
  now_ += 1.0 / 30.0;
  json request = {{"command", "detect"},
                  {"images", imageDescriptors(frames)},
                  {"times", json::array()},
                  {"epoch", 0}};
  for (size_t i = 0; i < frames.size(); ++i) request["times"].push_back(now_);
  if (frames.size() < 3) request["time"] = now_;
  if (handSeen) request["hand_seen"] = true;
  return request;
}

}  // namespace tarv::host
