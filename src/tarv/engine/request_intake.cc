#include "tarv/engine/request_intake.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/core/json_fields.h"

namespace tarv {
namespace {

constexpr int kMaxSide = 8192;
constexpr double kLatestCaptureTime = 1e10;

[[noreturn]] void invalidImage() { throw std::runtime_error("INVALID_IMAGE_BUFFER"); }

// The JSON library would read a boolean as 0 or 1; an image descriptor wants a number.
[[noreturn]] void notANumber(const json& value) {
  throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(),
                                 &value);
}

// An image side in 1..8192; 1280.0 is one, 1280.9 is not.
int readSide(const json& value) {
  if (!value.is_number()) notANumber(value);
  const std::optional<int64_t> side = wholeNumberOf(value, 1, kMaxSide);
  if (!side) invalidImage();
  return static_cast<int>(*side);
}

// An unsigned 64-bit value; false for a number that is not one exactly.
bool readUnsigned(const json& value, uint64_t& out) {
  if (value.is_number_unsigned()) {
    out = value.get<uint64_t>();
    return true;
  }
  if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    if (v < 0) return false;
    out = static_cast<uint64_t>(v);
    return true;
  }
  if (value.is_number_float()) {
    const double v = value.get<double>();
    if (!(v >= 0.0) || !(v < 18446744073709551616.0) || v != std::trunc(v)) return false;
    out = static_cast<uint64_t>(v);
    return true;
  }
  notANumber(value);
}

long roundHalfAway(double v) { return static_cast<long>(std::round(v)); }

}  // namespace

std::vector<ImageBuffer> readImageBuffers(const json& request) {
  const json& images = request.at("images");
  std::vector<ImageBuffer> buffers;
  for (const json& image : images.get_ref<const json::array_t&>()) {
    ImageBuffer b;
    b.width = readSide(image.at("width"));
    b.height = readSide(image.at("height"));
    const uint64_t expected = static_cast<uint64_t>(b.width) * static_cast<uint64_t>(b.height) * 3u;
    if (!readUnsigned(image.at("length"), b.length) || b.length != expected) invalidImage();
    if (!readUnsigned(image.at("pointer"), b.pointer)) invalidImage();
    if (b.pointer == 0) throw std::runtime_error("NULL_IMAGE_BUFFER");
    buffers.push_back(b);
  }
  return buffers;
}

std::array<double, 3> readCaptureTimes(const json& request, TimeFloor floor) {
  const json& times = request.at("times");
  const std::array<double, 3> t{times.at(0).get<double>(), times.at(1).get<double>(),
                                times.at(2).get<double>()};
  for (double v : t) {
    const bool belowFloor = floor == TimeFloor::kPositive && !(v > 0.0);
    if (!(std::abs(v) < kLatestCaptureTime) || belowFloor) {  // also refuses NaN
      throw std::runtime_error("INVALID_CAPTURE_TIME");
    }
  }
  for (double v : t) refuseFutureCaptureTime(v);
  return t;
}

void refuseFutureCaptureTime(double seconds) {
  if (seconds > monotonicSeconds() + kLargestTimeAhead) throw std::runtime_error("INVALID_CAPTURE_TIME");
}

void checkOptionTypes(const json& request, const std::string& command) {
  // "hand_seen" is read by the commands that look at the board in play: per-frame requests,
  // "arm" (of the three-camera path), "transient_probe" and "motion_bouncer".
  static const char* const kIgnoring[] = {"warm", "scope", "decision_timeout", "calibrate",
                                          "confirm_empty", "restart_empty_begin", "restart_empty_check",
                                          "startup_check", "calibration_empty_check"};
  for (const char* name : kIgnoring) {
    if (command == name) return;
  }
  const auto it = request.find("hand_seen");
  if (it != request.end()) (void)it->get<bool>();
}

double calibrationScale(const std::vector<cv::Mat>& images) {
  int tallest = 0;
  for (const cv::Mat& image : images) tallest = std::max(tallest, image.rows);
  return tallest > 720 ? 720.0 / tallest : 1.0;
}

std::vector<cv::Mat> reduceImages(const std::vector<cv::Mat>& images, double scale) {
  std::vector<cv::Mat> reduced;
  reduced.reserve(images.size());
  for (const cv::Mat& image : images) {
    const cv::Size size(static_cast<int>(std::max(1L, roundHalfAway(image.cols * scale))),
                        static_cast<int>(std::max(1L, roundHalfAway(image.rows * scale))));
    cv::Mat out;
    cv::resize(image, out, size, 0, 0, cv::INTER_AREA);
    reduced.push_back(out);
  }
  return reduced;
}

void scaleCalibrationRequest(json& request, double scale) {
  if (auto it = request.find("calibrations"); it != request.end() && it->is_array()) {
    for (json& element : *it) element = matrix3x3ToJson(scaleHomography(matrix3x3FromJson(element), scale, scale));
  }
  if (auto it = request.find("camera_models"); it != request.end() && it->is_array()) {
    for (json& model : *it) {
      if (!model.is_object()) continue;
      auto k = model.find("K");
      if (k == model.end() || !k->is_array() || k->size() != 9) continue;
      bool numeric = true;
      for (const json& v : *k) numeric = numeric && v.is_number();
      if (!numeric) continue;
      for (int i = 0; i < 6; ++i) (*k)[i] = (*k)[i].get<double>() * scale;
      for (int i = 6; i < 9; ++i) (*k)[i] = (*k)[i].get<double>();
    }
  }
}

void unscaleCalibrationReply(json& reply, double scale) {
  auto it = reply.find("calibrations");
  if (it == reply.end() || !it->is_array()) return;
  for (json& element : *it) {
    if (element.is_array() && element.size() == 3) {
      element = matrix3x3ToJson(scaleHomography(matrix3x3FromJson(element), 1.0 / scale, 1.0 / scale));
    }
  }
}

}  // namespace tarv
