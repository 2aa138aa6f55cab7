// The frame-difference mask export.
#include <opencv2/core.hpp>

#include "tarv/core/opencv_threads.h"
#include "tarv/tarv.h"
#include "tarv/views/image_ops.h"

extern "C" {

TARV_API int32_t tarv_direct_mask(const uint8_t* previous, const uint8_t* current, int32_t width,
                                  int32_t height, uint8_t* mask, uint64_t mask_size) {
  if (previous == nullptr || current == nullptr || mask == nullptr || width < 1 || width > 8192 ||
      height < 1 || height > 8192 ||
      mask_size < static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) {
    return -1;
  }
  try {
    tarv::useLibraryOpenCvThreads();
    const cv::Mat a(height, width, CV_8UC1, const_cast<uint8_t*>(previous));
    const cv::Mat b(height, width, CV_8UC1, const_cast<uint8_t*>(current));
    cv::Mat out(height, width, CV_8UC1, mask);
    tarv::nativeDifferenceMask(a, b).copyTo(out);
    return cv::countNonZero(out);
  } catch (...) {
    return -2;
  }
}

}  // extern "C"
