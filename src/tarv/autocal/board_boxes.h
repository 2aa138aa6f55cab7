// Where the landmark network looks again when the whole image gave no accepted camera: the
// parts of the image a board small in it, or wide but flat in it, fills.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {

// The parts of the image that a board small in it may fill (with its numbers): about the bull
// the network is surest of, and about the ring of crossings it found; none for a board that
// fills much of the image.
std::vector<cv::Rect> smallBoardBoxes(const LandmarkDetections& kept, cv::Size imageSize);
// The part of the image a board wide but flat in it fills: the box round its crossings and
// numbers with a margin, at least the network's input size long where the image allows; none
// where the network would not see it markedly larger than in the whole image.
std::optional<cv::Rect> boardExtentBox(const LandmarkDetections& kept, cv::Size imageSize, int inputSize);

}  // namespace tarv
