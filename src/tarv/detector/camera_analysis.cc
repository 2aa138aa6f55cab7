#include "tarv/detector/camera_analysis.h"

#include <opencv2/imgproc.hpp>

#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/engine_values.h"
#include "tarv/engine/process_switches.h"
#include "tarv/views/components.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {
constexpr int kStoredTolerancePx = 3;
}  // namespace

double scoringRadiusMm(const Round& round) {
  return round.boardOnlyScope ? round.boardRadiusMm : std::max(missRadiusMm(), round.boardRadiusMm);
}

CameraFrameAnalysis analyseCameraFrame(const Round& round, int camera, const cv::Mat& frame) {
  const Camera& c = round.cameras[camera];
  CameraFrameAnalysis a;
  a.grey = toGray(frame);
  a.region = getBoardRegionMask(frame.size(), c.boardToImage, scoringRadiusMm(round));
  a.minPixels = minPixelsForCamera(c);
  a.change = nativeDifferenceMask(c.emptyReference, a.grey, a.region);
  cv::bitwise_and(a.change, a.region, a.change);
  const int regionPixels = std::max(1, cv::countNonZero(a.region));
  a.changedFraction = static_cast<double>(cv::countNonZero(a.change)) / regionPixels;
  a.masks = compareMasks(c.referenceChangeMask, a.change, kStoredTolerancePx);

  // The dart's own change: against the working background, which holds the darts already
  // entered, in colour so that a black shaft over a red or green bed is seen too.
  const cv::Mat difference = colourDifference(frame, c.backgroundFrame);
  a.level = std::max(kDartChangeLevel, changeLevel(difference, a.region, processSwitches().adaptiveThreshold));
  const cv::Mat dart = dartChangeMask(difference, a.level);
  a.dartMask = keepComponentsInBoardRegion(dart, c.boardToImage, cv::Mat(), scoringRadiusMm(round));
  a.dartPixels = cv::countNonZero(a.dartMask);
  return a;
}

double maskAgreement(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return 0.0;
  cv::Mat both, either;
  cv::bitwise_and(a, b, both);
  cv::bitwise_or(a, b, either);
  const int union_ = cv::countNonZero(either);
  return union_ == 0 ? 1.0 : static_cast<double>(cv::countNonZero(both)) / union_;
}

}  // namespace tarv
