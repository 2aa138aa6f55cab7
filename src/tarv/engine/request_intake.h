// Checks on an engine request before any work: the image descriptors, option types and the
// calibrate downscale.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

struct ImageBuffer {
  int width = 0;
  int height = 0;
  uint64_t length = 0;
  uint64_t pointer = 0;
};

// Reads "images" in order; the first bad image decides: "INVALID_IMAGE_BUFFER" for a width
// or height outside 1..8192 or a length other than width·height·3, "NULL_IMAGE_BUFFER" for a
// zero pointer. Missing keys and wrong JSON types raise the JSON library's errors.
std::vector<ImageBuffer> readImageBuffers(const json& request);

// The first three "times" (capture times, seconds of the steady clock). A time that cannot be
// one (not finite, beyond 1e10 s in size, three centuries, which not even a host's Unix time
// reaches, more than a minute ahead of the library's own clock, or not positive where the
// command needs a positive time) fails with "INVALID_CAPTURE_TIME" before anything is
// stored: a time in milliseconds would otherwise be the newest time for good, and every
// later real one would look stale. A missing member or a non-number raises the JSON
// library's errors.
enum class TimeFloor {
  kPositive,  // "confirm_empty": the current frames become references at a real time
  kAnyFinite  // every other command: a time is taken when it is newer than the last one
};
std::array<double, 3> readCaptureTimes(const json& request, TimeFloor floor = TimeFloor::kPositive);

// How far a capture time may lie ahead of `monotonicSeconds` (seconds).
constexpr double kLargestTimeAhead = 60.0;
// Fails with "INVALID_CAPTURE_TIME" for a time more than kLargestTimeAhead ahead of the clock.
void refuseFutureCaptureTime(double seconds);


// Options that later steps read must have their type checked before any work is done, so
// a bad option never turns a completed command into an error. Commands that never read an
// option do not check it.
void checkOptionTypes(const json& request, const std::string& command);

// 720 / largest height when the tallest image is taller than 720, else 1.0.
double calibrationScale(const std::vector<cv::Mat>& images);
// Area-averaged copies reduced by the scale (sizes rounded half away from zero, at least 1).
std::vector<cv::Mat> reduceImages(const std::vector<cv::Mat>& images, double scale);
// "calibrations" become S·H and the nine-number "K" of "camera_models" S·K, S = diag(s, s, 1).
void scaleCalibrationRequest(json& request, double scale);
// Every three-row element of the reply's "calibrations" becomes S⁻¹·H.
void unscaleCalibrationReply(json& reply, double scale);

}  // namespace tarv
