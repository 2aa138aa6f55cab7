// What one camera's frame shows against the round: the change against its references, the
// new and removed pixels, and the new dart's own change against the working background.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/engine/round.h"
#include "tarv/views/image_ops.h"

namespace tarv {

struct CameraFrameAnalysis {
  cv::Mat grey;          // the frame in grey
  cv::Mat region;        // board region of the scoring radius
  cv::Mat change;        // change against the empty-board reference, within the region
  Masks masks;           // change against the stored change mask of the entered darts
  cv::Mat dartMask;      // the new change against the working background (darts entered)
  int dartPixels = 0;
  int minPixels = 80;    // fewest changed pixels that can be a dart here
  double changedFraction = 0.0;  // of the board region
  double level = 16.0;   // change level used for the dart mask
};

// The scoring radius of the round: the board radius in board-only scope, else the miss radius.
double scoringRadiusMm(const Round& round);

// One camera's analysis (a camera worker job: reads the round, writes nothing).
CameraFrameAnalysis analyseCameraFrame(const Round& round, int camera, const cv::Mat& frame);

// Share of the union of two masks that both hold; 1.0 when both are empty.
double maskAgreement(const cv::Mat& a, const cv::Mat& b);

}  // namespace tarv
