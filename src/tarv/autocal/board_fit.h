// Automatic board calibration from one camera image.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

// Failure of the board fit; the message is the failure code.
class CalibrationError : public std::runtime_error {
 public:
  explicit CalibrationError(const std::string& code) : std::runtime_error(code) {}
};

// {"board_to_image", "accepted", "method", "report", ...} for the (reduced) image.
json fitBoardGeometry(const cv::Mat& image, const json& request);

}  // namespace tarv
