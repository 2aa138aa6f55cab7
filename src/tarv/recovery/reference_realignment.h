// At start-up and restart: a board that shifted slightly and nearly rigidly in the image is
// taken over by moving the camera's reference images with an affine transform.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// On success the camera's references, change mask, calibration and board features are moved
// onto the current view (as new images) and the report carries "accepted" and "transform".
// The report also holds "correlation", "max_board_shift_px", "tracked" and "tone_matched".
bool realignReferenceImages(Camera& camera, const cv::Mat& frame, json& report);

// Shared by both attempts of realignReferenceImages.
struct BoardShiftContext {
  cv::Mat affine;     // 2x3 CV_32F, in and out
  cv::Mat reference;  // grey empty reference
  cv::Mat mask;       // board region of the reference
  Homography transform{};  // the affine as a 3x3 homography
  const Camera* camera = nullptr;
  json* report = nullptr;
};

// ECC affine fit that must be nearly a translation of at most 4 px on the board, confirmed by
// board corners tracked in every direction.
bool estimateBoardShift(BoardShiftContext& context, const cv::Mat& image);

}  // namespace tarv
