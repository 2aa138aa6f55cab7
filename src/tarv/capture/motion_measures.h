// The two motion measures of the capture path: a frame-to-frame mask on quarter-size colour
// images and a long-range changed area on full-size grey images.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

namespace tarv {

// Summed area (pixels) of the changed blobs of at least 24 pixels away from an 8-pixel border;
// 0 when nothing moved, -1 when the sizes differ.
int32_t measureMotionPixels(const cv::Mat& a, const cv::Mat& b);

// 0/255 mask of what changed between two quarter-size BGR images; blobs whose contour area is
// below min_area are erased.
cv::Mat buildMotionMask(const cv::Mat& previous, const cv::Mat& current, double min_area);

}  // namespace tarv
