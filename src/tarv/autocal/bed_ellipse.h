// The red and green beds of a board and the outer edge of the double ring they outline.
#pragma once

#include <opencv2/core.hpp>

#include "tarv/autocal/calibration_error.h"

namespace tarv {

// The engine's board fit takes a board seen at least about 15 degrees above its plane.
constexpr double kBoardEllipseMaxAspect = 4.0;

// 255 for red and green bed pixels by fixed HSV thresholds; the illuminated set is for beds
// washed out by strong light. Specks under 150 pixels are dropped.
cv::Mat colouredBedMask(const cv::Mat& bgr, bool illuminated);

// The outer boundary of the largest bed region as an ellipse, trimmed to the boundary in three
// passes. Throws "NO_COLOURED_BEDS", "OUTER_BOUNDARY_TOO_SMALL" or "IMPLAUSIBLE_ELLIPSE".
cv::RotatedRect fitOuterEllipse(const cv::Mat& mask, double maxAspect = kBoardEllipseMaxAspect);

// Throws "IMPLAUSIBLE_ELLIPSE" for an ellipse that cannot be a board's outer ring: not finite,
// under 80 px across its smaller axis, or more than maxAspect times longer than wide.
void checkEllipsePlausible(const cv::RotatedRect& ellipse, double maxAspect = kBoardEllipseMaxAspect);

}  // namespace tarv
