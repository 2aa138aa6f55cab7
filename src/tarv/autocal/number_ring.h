// The board's turn read from its number ring once the camera is known to a pixel: eleven of
// the twenty labels have two digits and nine one, and the two pairs of neighbouring two-digit
// labels (10 and 15, 11 and 14) lie where no other turn of the same bed colours puts them. So
// the width of the printed numbers, measured along the board's horizontal where each turn
// would stand the numbers upright, tells the 20 apart without reading a single digit.
#pragma once

#include <array>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

struct NumberRingReading {
  bool sure = false;
  // Enough numbers measured to hold a turn against another reading of it.
  bool readable = false;
  // The turn stands out of enough measured numbers with at most two misread, though a close
  // rival may keep it from naming the 20 on its own.
  bool leads = false;
  int shift = 0;         // sectors to turn the camera's board frame by (even)
  int measured = 0;      // positions whose number was measured under the chosen turn
  int misread = 0;       // of those, widths on the wrong side of the two classes' middle
  double marginMm = 0.0; // mean width of the two-digit labels less the one-digit ones
  double runnerUpMm = 0.0;
};

// The grey level at a sub-pixel point, interpolated between its four pixels; NaN where they
// leave the image. grey: 8-bit single channel.
double greyAt(const cv::Mat& grey, cv::Point2d p);

// Widths (mm) of the ink at the 20 positions with the numbers upright as the turn `shift`
// (sectors, in the camera's board frame) stands them; NaN where a number is not measurable
// (outside the image, no contrast).
std::array<double, 20> numberWidthsMm(const cv::Mat& grey, const CameraEstimate& camera, int shift);

// The even turn whose two-digit positions hold the widest numbers, from the widths under each
// turn; sure when it separates the two classes all round and no other turn comes close.
NumberRingReading turnFromNumberWidths(const std::array<std::array<double, 20>, 10>& widthsByTurn);

// grey: 8-bit single channel; camera: confirmed by the board's edges, its parity already
// fixed by the beds' colours.
NumberRingReading readNumberRing(const cv::Mat& grey, const CameraEstimate& camera);

}  // namespace tarv
