// Drawings a person looks at to judge a camera: the camera image seen from the front with the
// rings and wires on top, and the change view that colours what moved since two other frames.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// Background of every report and board view, BGR.
extern const cv::Scalar kViewBackground;

// The image warped by the inverse of its board-to-image homography into an n x n view that
// spans -200..200 mm with the bull in the centre, rings and wires drawn in red. An empty image
// or a homography that is not finite or is singular gives the plain background.
cv::Mat renderBoardView(const cv::Mat& image, const Homography& boardToImage, int side,
                        const std::vector<double>& ringRadiiMm);

// A circle per ring radius and the 20 sector wires from the second radius to the last,
// through the board-to-target transform; points that do not map to a finite pixel are left
// out.
void drawBoardRingsAndWires(cv::Mat& target, const Homography& boardToTarget,
                            const cv::Scalar& colour, const std::vector<double>& ringRadiiMm);

// 255 where the grey comparison frame differs from the grey current frame by more than 24
// after a 5x5 median; all zero when the comparison is empty or of another size.
cv::Mat frameDifferenceMask(const cv::Mat& currentBgr, const cv::Mat& currentGrey,
                            const cv::Mat& comparisonBgr);

// The frame darkened to grey; red where it changed against the first comparison frame, yellow
// where it changed against the second only, green on the first comparison's changed blobs
// round the point (x, y) in pixels; a negative or non-finite point marks no blob green.
cv::Mat renderChangeOverlay(const cv::Mat& frame, const cv::Mat& first, const cv::Mat& second,
                            double x, double y);

// The pixel nearest to (x, y), or false when either is not finite or far outside any image
// (such values must never reach an integer conversion).
bool toPixel(double x, double y, cv::Point& pixel);

}  // namespace tarv
