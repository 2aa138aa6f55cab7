#include "tarv/camera/arming.h"

#include <stdexcept>

namespace tarv {

json armRound(Round&, const json&, const std::vector<cv::Mat>&) {
  throw std::runtime_error("NOT_AVAILABLE");
}

Camera buildCamera(const json&, const std::vector<cv::Mat>&, const Round&, int) {
  throw std::runtime_error("NOT_AVAILABLE");
}

}  // namespace tarv
