#include "tarv/core/engine_values.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "tarv/core/board_projection.h"
#include "tarv/core/process_switches.h"
#include "tarv/core/round.h"

namespace tarv {

const std::array<std::string, 3> cameraIds{"CAM_1", "CAM_2", "CAM_3"};
const std::array<std::string, 4> viewKinds{"normal", "front", "detail", "detail_front"};
const std::array<std::string, 2> duoCameraIds{"CAM_1", "CAM_2"};

bool adaptiveThresholdFromEnvironment(const char* value) {
  return value != nullptr && value[0] == '1' && value[1] == '\0';
}

ProcessSwitches& processSwitches() {
  // Constructed at load (see the initialiser below), before any export can run.
  static ProcessSwitches switches;
  return switches;
}

namespace {
const bool kSwitchesReadAtLoad = [] {
  processSwitches().adaptiveThreshold =
      adaptiveThresholdFromEnvironment(std::getenv("TARV_ADAPTIVE_THRESHOLD"));
  return true;
}();

int limitForScale(double scale) {
  const double limit = std::trunc(scale * 80.0 / 720.0);
  // Compare in double first: a huge scale must not overflow the integer conversion.
  if (!(limit < 2147483647.0)) return 2147483647;
  return std::max(80, static_cast<int>(limit));
}
}  // namespace

DetectionScale::DetectionScale(double value) : value_(value) {
  if (!std::isfinite(value) || !(value > 0.0)) throw std::runtime_error("INVALID_DETECTION_SCALE");
}

int DetectionScale::minPixels() const { return limitForScale(value_); }

int minPixelsForCamera(const Camera& camera) {
  const double h = projectedBoardHeight(camera.boardToImage);
  if (!std::isfinite(h) || !(h > 0.0)) throw std::runtime_error("INVALID_DETECTION_SCALE");
  return limitForScale(h);
}

json matrix3x3ToJson(const Homography& m) {
  json rows = json::array();
  for (int r = 0; r < 3; ++r) rows.push_back(json::array({m[r * 3], m[r * 3 + 1], m[r * 3 + 2]}));
  return rows;
}

Homography matrix3x3FromJson(const json& value) {
  Homography m{};
  for (int r = 0; r < 3; ++r) {
    const json& row = value.at(r);
    for (int c = 0; c < 3; ++c) m[r * 3 + c] = row.at(c).get<double>();
  }
  return m;
}

double monotonicMilliseconds() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<double>(ns) / 1e6;
}

double monotonicSeconds() { return monotonicMilliseconds() / 1000.0; }

namespace {
std::atomic<double> gMissRadiusMm{240.0};
}  // namespace

double missRadiusFrom(const json& request) {
  if (request.is_object()) {
    const auto it = request.find("miss_radius_mm");
    if (it != request.end() && it->is_number()) {
      const double value = it->get<double>();
      if (std::isfinite(value) && value >= 170.0 && value <= 600.0) return value;
    }
  }
  return 240.0;
}

void storeMissRadius(double radius) { gMissRadiusMm = radius; }

void setMissRadius(const json& request) { storeMissRadius(missRadiusFrom(request)); }

double missRadiusMm() { return gMissRadiusMm; }

}  // namespace tarv
