// Values shared by nearly every part of the engine: camera and view-kind names, the
// detection scale with its pixel limits, 3x3 matrices in JSON and the monotonic clock.
#pragma once

#include <array>
#include <string>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

class Camera;

extern const std::array<std::string, 3> cameraIds;     // "CAM_1".."CAM_3"
extern const std::array<std::string, 4> viewKinds;     // "normal", "front", "detail", "detail_front"
extern const std::array<std::string, 2> duoCameraIds;  // "CAM_1", "CAM_2"

// Projected board height in a camera image, in pixels; pixel thresholds scale with it
// against a reference height of 720.
class DetectionScale {
 public:
  // Fails with "INVALID_DETECTION_SCALE" unless the value is finite and positive.
  explicit DetectionScale(double value);
  double value() const { return value_; }
  // max(80, trunc(value·80/720)): the fewest changed pixels that count as a change.
  int minPixels() const;

 private:
  double value_;
};

// The same limit for one camera, from the projected height of its board.
int minPixelsForCamera(const Camera& camera);

json matrix3x3ToJson(const Homography& m);
// Element (r, c) from index c of row r; the JSON library's errors for missing indices or
// non-numbers; elements beyond the third are ignored.
Homography matrix3x3FromJson(const json& value);

// Steady clock in milliseconds with a fractional part; only differences mean anything.
double monotonicMilliseconds();
double monotonicSeconds();

// Process-wide miss radius: "miss_radius_mm" when finite and within 170..600, else 240.
double missRadiusFrom(const json& request);
void storeMissRadius(double radius);
void setMissRadius(const json& request);
double missRadiusMm();

}  // namespace tarv
