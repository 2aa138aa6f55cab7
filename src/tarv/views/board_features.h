// Board features: corner points of the board, used to see whether a camera moved; and tone
// matching of an image to its reference.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// The image reduced to 320 px wide, up to 100 corners inside the projected 165 mm circle and
// the scale (full width / 320).
BoardFeatures collectBoardFeatures(const cv::Mat& grey, const Homography& boardToImage);

// Tracks the features into the current grey image: {"ok", "median_shift_px" (full image
// pixels), "tracked", "features", ...}; retried on the histogram-matched image when the
// plain check fails ("tone_matched"). Fewer than 20 features: "ok" false with
// "INSUFFICIENT_BOARD_FEATURES".
json checkFixedCameraToneMatched(const BoardFeatures& features, const cv::Mat& grey);

// Table mapping the image's levels onto the reference's (cumulative histograms over every
// second row and column, inside the mask); false with fewer than 2000 samples.
bool buildHistogramMatchingLut(const cv::Mat& image, const cv::Mat& reference, const cv::Mat& mask,
                               cv::Mat& table);
// The image mapped towards the reference; empty when sizes differ or no table can be built.
cv::Mat matchHistogramToReference(const cv::Mat& reference, const cv::Mat& image,
                                  const cv::Mat& mask = cv::Mat());

}  // namespace tarv
