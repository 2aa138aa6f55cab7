// Per-camera tests of the recovery on this call's grey frames: whether a view still shows
// exactly its dart reference, change cleaned of small shifts in the surround, and the region
// of every known dart in one camera.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// True when the camera's grey frame shows what its dartReference shows, allowing for one
// global exposure change and for small shifts outside the board and the darts. Fails with
// "Camera resolution changed" or "CAMERA_RESOLUTION_CHANGED" on a size mismatch.
bool testViewUnchanged(const Round& round, const ImageTriple& greys, int camera);

// The change mask with the change that a shift of a few pixels explains removed outside the
// board and the dart regions; the change mask itself when the change reaches the board or the
// darts (80 pixels or more) or covers more than 1 % of the image.
cv::Mat refineSurroundChange(const cv::Mat& reference, const cv::Mat& image, const cv::Mat& change,
                             const Homography& boardToImage, const std::vector<cv::Mat>& regions);

// One region per known dart in round order: the dart's association region about the camera's
// own association point when the entry has one, an all-zero mask when the entry's association
// points leave this camera out, the raw dart mask when the round has no entry for it.
std::vector<cv::Mat> collectDartRegions(const Round& round, const ImageTriple& greys, int camera);

}  // namespace tarv
