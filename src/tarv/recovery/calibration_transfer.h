// Whether a camera's calibration, made on one reference image, still holds for a new
// reference image of the same camera: it may have moved by a small translation only.
#pragma once

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

struct EccShift {
  bool ok = false;
  double correlation = 0.0;
  double outlierFraction = 1.0;
  double dx = 0.0;
  double dy = 0.0;
};

// The homography moved by the translation of the new reference against the old one. Fails
// with "CALIBRATION_REFERENCE_RESOLUTION_CHANGED", "CALIBRATION_TRANSFER_REJECTED" or
// "CALIBRATION_BOARD_STRUCTURE_REJECTED".
Homography transferCalibrationToReference(const cv::Mat& oldReference, const cv::Mat& newReference,
                                          const Homography& boardToImage);

// Translation of input against template by ECC, with the share of pixels that disagree after
// aligning (more than 20 grey levels from the median difference).
EccShift measureTranslationEcc(const cv::Mat& templateGrey, const cv::Mat& inputGrey);

// Board corners of the reference tracked into the image agree with the translation in every
// direction of the board. Fails with "Projection at infinity".
bool trackBoardFeatures(const cv::Mat& referenceGrey, const cv::Mat& imageGrey,
                        const Homography& boardToImage, cv::Point2d translation);

// The translation is small and the board's corners confirm it, directly or after an exposure
// correction.
bool checkBoardStructure(const cv::Mat& oldGrey, const cv::Mat& newGrey,
                         const Homography& boardToImage, cv::Point2d translation);

}  // namespace tarv
