// Where a camera's frame really differs from a stored reference of the same view, while
// ignoring what a change of light, exposure or camera gain does to the whole picture; from
// the cheapest test to the most careful.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// 255 where the image lies outside the 3x3 range of the reference by more than level (after
// a 5x5 median), so an edge moved by one pixel does not count. A mask of the image's size.
cv::Mat tolerantDifferenceMask(const cv::Mat& reference, const cv::Mat& image, int level);

// The tolerant test after the frame is mapped onto the reference's tone scale by histogram
// matching inside the region; restricted to the region, cleaned of blobs under 24 pixels and
// confirmed by buildLocalContrastChangeMask when a region is given. Empty when the sizes
// differ or no tone table can be built.
cv::Mat lutDifferenceMask(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& region,
                          int level);

// The frame predicted from the reference by a local linear tone model (gain and offset per
// neighbourhood); 255 where the frame leaves the predicted 3x3 range by more than level,
// differences scaled by the global contrast ratio. Empty when not applicable: empty region,
// too little texture (standard deviation under 8) or correlation under 0.5.
cv::Mat buildLocalContrastChangeMask(const cv::Mat& reference, const cv::Mat& frame,
                                     const cv::Mat& region, int level);

// Clears the 8-connected components smaller than minimumArea; when none is cleared the mask
// is left exactly as it was.
void removeSmallComponents(cv::Mat& mask, int minimumArea);

// The change of camera c's frame against its empty-board reference inside the 175 mm board
// outline; empty when there is no usable evidence.
cv::Mat emptyReferenceChangeMask(const std::vector<cv::Mat>& frames, const Round& round,
                                 int camera);

}  // namespace tarv
