#include "tarv/variants/variant_host_test_support.h"

#include "host/host_protocol.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

json matrixJson(const cv::Matx33d& m) {
  json rows = json::array();
  for (int r = 0; r < 3; ++r) rows.push_back({m(r, 0), m(r, 1), m(r, 2)});
  return rows;
}

}  // namespace

VariantHost::VariantHost(int cameras) : cameras_(cameras), engine_(tarv_create()) {}
VariantHost::~VariantHost() { tarv_destroy(engine_); }

std::vector<cv::Mat> VariantHost::pick(const scene::SceneImages& shot) const {
  if (cameras_ == 1) return {shot.frames[2]};
  return {shot.frames[0], shot.frames[1]};
}

json VariantHost::calibrations() const {
  const auto& truth = scene::defaultEmptyBoard().truth;
  if (cameras_ == 1) return matrixJson(truth.cameras[2].board_to_image);
  return {matrixJson(truth.cameras[0].board_to_image), matrixJson(truth.cameras[1].board_to_image)};
}

json VariantHost::arm(const scene::SceneImages& empty, json extra) {
  json request = {{"command", "arm"}, {"images", host::imageDescriptors(pick(empty))}};
  request[cameras_ == 1 ? "calibration" : "calibrations"] = calibrations();
  request.update(extra);
  return call(request);
}

json VariantHost::call(const json& request) {
  return json::parse(tarv_call(engine_, request.dump().c_str()));
}

json VariantHost::detect(const std::vector<cv::Mat>& frames, double time, bool hand, int epoch) {
  now_ = time;
  json request = {{"command", "detect"},
                  {"images", host::imageDescriptors(frames)},
                  {"time", time},
                  {"times", json::array()},
                  {"epoch", epoch}};
  for (size_t i = 0; i < frames.size(); ++i) request["times"].push_back(time);
  if (hand) request["hand_seen"] = true;
  return call(request);
}

json VariantHost::settle(const scene::SceneImages& shot, bool hand) {
  json reply;
  for (int i = 0; i < 4; ++i) reply = detect(pick(shot), now_ + 1.0 / 30.0, hand);
  return reply;
}

scene::SceneImages renderDarts(const std::vector<scene::Dart>& darts, bool hand, scene::Imaging imaging) {
  scene::Scene s;
  s.darts = darts;
  if (hand) s.hand = scene::Hand{};
  s.imaging = imaging;
  return scene::defaultRenderer().render(s);
}

scene::Dart dartAt(double x, double y, double tiltDeg, double azimuthDeg) {
  scene::Dart d;
  d.tip_mm = {x, y};
  d.direction = scene::frontDirection(tiltDeg, azimuthDeg);
  return d;
}

scene::Dart dart(cv::Point2d tip, cv::Vec3d direction, cv::Scalar flight, double rollDeg) {
  scene::Dart d;
  d.tip_mm = tip;
  d.direction = cv::normalize(direction);
  d.flight_colour = flight;
  d.flight_roll_deg = rollDeg;
  return d;
}

}  // namespace tarv
