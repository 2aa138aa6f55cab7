// Selecting whole change components by where they touch the board.
#pragma once

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// The components of mask that touch the region (255 = inside), kept whole.
cv::Mat componentsTouching(const cv::Mat& mask, const cv::Mat& region);

// The components of mask that touch the region, together with the pieces that lie within
// gapPx of a kept one (and of those, in turn): one object whose change falls apart where it
// looks like what lies behind it (a dark barrel over a dark surround) stays whole beyond the
// region. Kept whole.
cv::Mat componentsReaching(const cv::Mat& mask, const cv::Mat& region, int gapPx);

// The same, given the components of mask that touch the region (componentsTouching's answer).
cv::Mat piecesReaching(const cv::Mat& mask, const cv::Mat& keptPieces, int gapPx);

// The components that touch the projected 20 mm disc round the board point; with keepWhole
// false only their pixels inside the disc.
cv::Mat isolateComponentsAtBoardPoint(const cv::Mat& mask, const Homography& boardToImage,
                                      Point2 pointMm, bool keepWhole);

// The whole components that touch the projected board disc of the radius or the extra region.
cv::Mat keepComponentsInBoardRegion(const cv::Mat& mask, const Homography& boardToImage,
                                    const cv::Mat& extraRegion, double radiusMm);

}  // namespace tarv
