// The failure of the board fit and of the steps under it; the message is the failure code.
#pragma once

#include <stdexcept>
#include <string>

namespace tarv {

class CalibrationError : public std::runtime_error {
 public:
  explicit CalibrationError(const std::string& code) : std::runtime_error(code) {}
};

}  // namespace tarv
