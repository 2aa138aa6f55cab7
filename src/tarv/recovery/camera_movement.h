// Whether one camera has moved against its empty-board reference, and by which transform
// (a homography from reference image coordinates to current image coordinates). Also the
// board-corner tracking that every realignment check shares.
#pragma once

#include <array>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// Outcome of one camera's measurement job; the transform is meaningful only when accepted.
struct RealignmentMeasured {
  bool accepted = false;
  Homography transform{};
  json report = json::object();
};

// Board corners of a grey image inside the mask: at most 250, quality 0.015, 12 px apart.
std::vector<cv::Point2f> detectBoardCorners(const cv::Mat& grey, const cv::Mat& mask);

struct CornerTrackingOptions {
  // Forward pass starts from these positions; empty means no initial guess.
  std::vector<cv::Point2f> initial;
  // The backward pass starts at the original corners instead of at the tracked points.
  bool backFromCorners = false;
  double maxForwardError = 20.0;
};

struct CornerTracks {
  std::vector<cv::Point2f> tracked;
  std::vector<bool> consistent;  // found both ways, back within 0.5 px, small forward error
  int consistentCount = 0;
};

// Pyramidal Lucas-Kanade from the reference to the image and back again.
CornerTracks trackCornersBothWays(const cv::Mat& reference, const cv::Mat& image,
                                  const std::vector<cv::Point2f>& corners,
                                  const CornerTrackingOptions& options);

struct TrackAgreement {
  std::vector<double> residuals;  // |tracked - expected| of every consistent corner
  int directions = 0;             // 45-degree board sectors with at least 3 consistent corners
};

// Residuals of the consistent tracks against the expected positions, and how many board
// directions they cover (corners mapped to the board with the inverse of the homography).
TrackAgreement measureTrackAgreement(const CornerTracks& tracks,
                                     const std::vector<cv::Point2f>& corners,
                                     const std::vector<cv::Point2f>& expected,
                                     const Homography& boardToImage);

// Whether the median absolute difference over every 4th row and column (inside the mask when
// one is given) is at least 5 grey levels; false with fewer than 500 samples.
bool hasToneDifference(const cv::Mat& reference, const cv::Mat& current, const cv::Mat& mask);

// The measurement itself on two grey images of one size; the report is added to and carries
// a "reason" on refusal. The transform is written only on acceptance.
bool measureCameraShift(const Camera& camera, const cv::Mat& reference, const cv::Mat& current,
                        Homography& transform, json& report, double movementLimit,
                        double residualLimit);

// Measures the camera's current colour frame against its empty reference, retrying once on a
// tone-matched frame when the first attempt failed in a way a change of light explains.
bool measureRealignment(const Camera& camera, const cv::Mat& frame, Homography& transform,
                        json& report, double movementLimit, double residualLimit);

}  // namespace tarv
