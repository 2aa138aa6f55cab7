// What one camera's frame shows against the round, measured on a reduced copy of the frame:
// the change against its references, the new and removed pixels, and the new dart's own
// change against the working background.
#pragma once

#include <array>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/views/image_ops.h"

namespace tarv {

// More than this share of a camera's board region changed: a hand, a body or the light.
constexpr double kLargeChangeFraction = 0.15;
// A stored dart whose change shrank by more than this share in a camera is leaving it.
constexpr double kRemovedFraction = 0.25;

struct CameraFrameAnalysis {
  double scale = 1.0;    // of the reduced images against the camera image
  cv::Mat frame;         // reduced colour frame
  cv::Mat region;        // board region of the scoring radius (reduced)
  cv::Mat change;        // change against the empty-board reference, within the region
  Masks masks;           // change against the stored change mask of the entered darts
  cv::Mat dartMask;      // the new change against the working background (darts entered)
  int dartPixels = 0;
  int minPixels = 80;    // fewest changed pixels that can be a dart (in reduced pixels)
  int maxDartPixels = 0; // more than this cannot be one dart: a hand, an arm, a shadow
  double changedFraction = 0.0;  // of the board region
  double level = 16.0;   // change level used for the dart mask
  // The camera's own change level measured on this frame, when the camera had none yet
  // (0 otherwise): the round keeps it from the evaluation that took this analysis.
  double measuredOwnLevel = 0.0;
};

// The level a camera's dart change is cut at: the fixed dart level, or the camera's own when
// its capture noise needs more, scaled by the gain its references were re-lit with (a
// difference's sensor noise grows with the light).
double dartChangeLevelOf(const Camera& camera);

// The scoring radius of the round: the board radius in board-only scope, else the miss radius.
double scoringRadiusMm(const Round& round);

// The most changed pixels one dart can make in the camera's full-size image.
int largestDartPixels(const Camera& camera);

// Images 640 or more pixels wide are analysed at half size.
double analysisScale(cv::Size imageSize);

// An image reduced to the size it is analysed at (by area), and a camera's fewest dart pixels
// there.
cv::Mat reducedForAnalysis(const cv::Mat& image);
int minPixelsAtAnalysisScale(const Camera& camera, double scale);

// The camera's working background at the size it is analysed at, reduced once and kept in the
// camera's cache (a camera worker job: writes its own camera's cache).
const cv::Mat& reducedBackgroundOf(const Camera& camera);

// One camera's analysis (a camera worker job: reads the round and its own camera's caches).
CameraFrameAnalysis analyseCameraFrame(const Round& round, int camera, const cv::Mat& frame);

// The three cameras' analyses, each on its camera worker.
std::array<CameraFrameAnalysis, 3> analyseFrames(const Round& round, const std::vector<cv::Mat>& frames);

// The camera sees a dart-sized new change.
inline bool seesDart(const CameraFrameAnalysis& a) { return a.dartPixels >= a.minPixels; }

// At least two cameras show a fresh dart-sized change against the round's references (false
// with three entries, or when a camera changed by more than 15 % or lost more than a quarter
// of its stored change).
bool hasFreshChangeInTwoCameras(const Round& round, const std::vector<cv::Mat>& frames);

// Looks for the dart again in a camera that did not see it, at a lower change level: answers
// (pixels found, the camera's pixel limit); when the limit is reached the analysis takes the
// new dart mask and level.
std::pair<int, int> retryDartAtLowerLevel(const Round& round, int camera, CameraFrameAnalysis& analysis);

// The dart's change at full size, searched round where the reduced analysis found it: the
// colour change against the working background, whole components touching the board region.
// The reduced analysis keeps the pieces that continue those beyond the region as well, so a
// dart whose point alone lies over the region still counts and settles whole.
// The answer covers the crop at the returned offset.
// `change` is the whole colour change of the crop, mask's pieces among it, and `difference`
// the crop's colour difference it was found in.
struct DartCrop {
  cv::Rect box;
  cv::Mat mask;
  cv::Mat change;
  cv::Mat difference;
};
DartCrop fullSizeDartChange(const Round& round, int camera, const cv::Mat& frame,
                            const CameraFrameAnalysis& analysis);

// The crop's dart with the pieces that continue it beyond the region (see piecesReaching),
// empty when there are none: a measure of last resort, since the far pieces of a dart seen
// against the surround are measured less truly than those on the board.
cv::Mat continuedDartPieces(const DartCrop& crop, const Homography& boardToImage);

// How well two masks agree, allowing each edge a pixel: the smaller of the shares of each
// mask inside the other grown by one pixel; 1.0 when both are empty.
double maskAgreement(const cv::Mat& a, const cv::Mat& b);

// How much of one mask lies inside the other, allowing each edge a pixel: the larger of the
// same two shares. A mask that only gained or lost a part lies inside the other whole.
double maskContainment(const cv::Mat& a, const cv::Mat& b);

}  // namespace tarv
