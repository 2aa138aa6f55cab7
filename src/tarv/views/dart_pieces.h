// One dart's part of a change that may hold more than one dart, and references that take a
// frame only there.
#pragma once

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// A dart's change falls apart in pieces along its axis (a black shaft over a black bed barely
// changes). The pieces of mask that the dart whose tip lies at the pixel explains: those that
// reach the tip, and those whose centres lie along the one half-line from the tip that gathers
// the most changed pixels: no farther off the line than bandPx, starting no farther from the
// tip than lengthPx, each within gapPx of the pieces before it. Pieces of another dart
// elsewhere stay out.
cv::Mat dartPiecesAt(const cv::Mat& mask, cv::Point2d tipPx, double bandPx, double lengthPx, double gapPx);

// The pieces of change that the dart whose tip lies at the board point explains (dartPiecesAt
// at the camera's scale round the point); an empty image when the point does not project.
cv::Mat dartPiecesAtBoardPoint(const cv::Mat& change, const Homography& boardToImage, Point2 point);

// Where a dart entered at the board point lies in a camera whose change holds more than the
// dart (a second dart that landed with it): the dart's own pieces of the change, grown by a
// little for their faint edges. Empty when the rest of the change stays below limitPixels:
// the dart is all of it. A caller that knows the change is nothing outside a box of the image
// names it in `within` (an empty box: anywhere).
cv::Mat enteredDartRegion(const cv::Mat& change, const Homography& boardToImage, Point2 point, int limitPixels,
                          cv::Rect within = cv::Rect());

// A fresh copy of image with taken's pixels where region is set (sizes and types alike).
cv::Mat copiedInside(const cv::Mat& image, const cv::Mat& taken, const cv::Mat& region);

}  // namespace tarv
