// Measurements on one camera's image against its references.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/board/board_geometry.h"
#include "tarv/engine/round.h"

namespace tarv {

// One camera's change masks of a frame against its stored change mask.
struct Masks {
  cv::Mat previous;
  cv::Mat current;
  cv::Mat added;       // new pixels
  cv::Mat removed;
  cv::Mat stationary;
  int addedPixels = 0;
  int removedPixels = 0;
  double addedFraction = 0.0;
  double removedFraction = 0.0;
};

cv::Mat toGray(const cv::Mat& image);
// Set where the grey images differ; all zero when the largest difference is at most 16.
// Fails with "Camera resolution changed" when size or type differ.
cv::Mat nativeDifferenceMask(const cv::Mat& reference, const cv::Mat& current);
cv::Mat dilateMask(const cv::Mat& mask, int kernelSize, bool elliptic);
Masks compareMasks(const cv::Mat& previous, const cv::Mat& current, int tolerancePx);
BoardFeatures collectBoardFeatures(const cv::Mat& grey, const Homography& boardToImage);
json checkFixedCameraToneMatched(const BoardFeatures& features, const cv::Mat& grey);
cv::Mat isolateComponentsAtBoardPoint(const cv::Mat& mask, const Homography& boardToImage,
                                      Point2 pointMm, bool keepWhole);
bool refreshReferenceFrames(Round& round, const std::vector<cv::Mat>& frames, double now);
// The camera's dart shaft axis and tip votes ({"observations", "votes"}).
json estimateShaftAxis(const Round& round, const std::vector<cv::Mat>& frames, int camera);

}  // namespace tarv
