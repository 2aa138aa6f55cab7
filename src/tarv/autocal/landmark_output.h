// The landmark network's output: the image letterboxed through the network, its rows decoded
// into detections (bull, wire crossings, sector numbers) and suppressed within each class.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/landmark_model.h"
#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {

// Decoded and suppressed network output for an image of the given size seen at scale s.
// Fails with "LANDMARK_OUTPUT_INVALID" unless the output is float [1, 4 + M, N] with M >= 1.
LandmarkDetections decodeLandmarkOutput(const cv::Mat& output, double scale, float scoreThreshold,
                                        float nmsThreshold);

// The letterboxed image through the model, decoded and suppressed; through its network for
// images without colour where asked and it has one.
LandmarkDetections runLandmarkNetwork(LandmarkModel& model, const cv::Mat& image, bool colourFree = false);

// The wire crossings among the kept detections that the solve takes (score over 0.25).
std::vector<cv::Point2d> keptCrossings(const LandmarkDetections& kept);

}  // namespace tarv
