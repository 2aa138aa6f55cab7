#include "tarv/core/opencv_threads.h"

#include <mutex>

#include <opencv2/core/utility.hpp>

namespace tarv {

void useLibraryOpenCvThreads() noexcept {
  static std::once_flag once;
  try {
    std::call_once(once, [] { cv::setNumThreads(1); });
  } catch (...) {  // a failed setting leaves OpenCV's own default, which is still safe
  }
}

}  // namespace tarv
