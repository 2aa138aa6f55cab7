#include "host/calibration_check.h"

#include <algorithm>
#include <cmath>

#include "host/host_protocol.h"

namespace tarv::host {
namespace {

constexpr double kPi = 3.14159265358979323846;

cv::Point2d mapped(const cv::Matx33d& h, cv::Point2d p) {
  const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1.0);
  return {q[0] / q[2], q[1] / q[2]};
}

}  // namespace

json calibrateRequest(const cv::Mat& frame, std::optional<cv::Point2d> clickPx) {
  json request = {{"command", "calibrate"}, {"images", {imageDescriptor(frame)}}};
  if (clickPx) request["click_px"] = {clickPx->x, clickPx->y};
  return request;
}

cv::Point2d twentyClick(const scene::Camera& camera) { return camera.project(cv::Point2d(0.0, -135.0)); }

RingError ringError(const cv::Matx33d& fitted, const scene::Camera& camera) {
  RingError e;
  for (int i = 0; i < 72; ++i) {
    const double a = 5.0 * i * kPi / 180.0;
    const cv::Point2d board(170.0 * std::cos(a), 170.0 * std::sin(a));
    const cv::Point2d seen = camera.project(board);
    const double d = cv::norm(mapped(fitted, board) - seen);
    e.meanPx += d / 72.0;
    e.maxPx = std::max(e.maxPx, d);
    if (camera.inImage(seen)) e.visibleMaxPx = std::max(e.visibleMaxPx, d);
  }
  e.bullPx = cv::norm(mapped(fitted, {0.0, 0.0}) - camera.project(cv::Point2d(0.0, 0.0)));
  return e;
}

std::optional<cv::Matx33d> fittedHomography(const json& result) {
  const auto it = result.find("board_to_image");
  if (it == result.end() || !it->is_array() || it->size() != 3) return std::nullopt;
  cv::Matx33d h;
  for (int r = 0; r < 3; ++r) {
    const json& row = (*it)[r];
    if (!row.is_array() || row.size() != 3) return std::nullopt;
    for (int c = 0; c < 3; ++c) {
      if (!row[c].is_number()) return std::nullopt;
      h(r, c) = row[c].get<double>();
    }
  }
  return h;
}

}  // namespace tarv::host
