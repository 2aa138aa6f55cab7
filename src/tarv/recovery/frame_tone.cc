#include "tarv/recovery/frame_tone.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"
#include "tarv/recovery/change_masks.h"
#include "tarv/recovery/tone_matching.h"
#include "tarv/views/board_features.h"
#include "tarv/views/camera_analysis.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/sensor_grain.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

// A mean shift of the board below this is left to the change masks' own tolerance.
constexpr double kLightShiftLevels = 4.0;
// Every this many rows and columns are sampled for the quick light test.
constexpr int kSampleStep = 4;
constexpr int kChangeLevel = 24;
// What the first fit leaves is grown by this much before the second fit, so the rims of a
// dart and its shadow stay out of it too.
constexpr int kExclusionSize = 31;
constexpr int kFewestFitPixels = 2000;

double boardRadiusForTone(const Round& round) { return std::max(175.0, round.boardRadiusMm); }

// Mean grey (integer BT.601 weights) over the sampled pixels of the region.
double sampledMeanGrey(const cv::Mat& bgr, const cv::Mat& region) {
  // Whole numbers: the sum is exact in any order, and cheaper than in floating point.
  int64_t sum = 0;
  long count = 0;
  for (int y = 0; y < bgr.rows; y += kSampleStep) {
    const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(y);
    const uchar* m = region.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; x += kSampleStep) {
      if (m[x] == 0) continue;
      sum += (29 * p[x][0] + 150 * p[x][1] + 77 * p[x][2]) >> 8;
      ++count;
    }
  }
  return count > 0 ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
}

// The background changes only when a dart is taken or the light is followed, the frame every
// call: the background's mean is kept with the camera.
double backgroundMeanGrey(const Camera& c, const cv::Mat& region) {
  ImageMeasure& kept = c.backgroundMeanGrey;
  if (kept.source.data != c.backgroundFrame.data || kept.source.size() != c.backgroundFrame.size() ||
      kept.mask.data != region.data || kept.mask.size() != region.size()) {
    kept.source = c.backgroundFrame;
    kept.mask = region;
    kept.value = sampledMeanGrey(c.backgroundFrame, region);
  }
  return kept.value;
}

// The raw frame of this call when the round holds one that fits.
cv::Mat rawFrame(const Round& round, int camera, const cv::Mat& frame) {
  if (static_cast<size_t>(camera) < round.incomingFrames.size()) {
    const cv::Mat& incoming = round.incomingFrames[camera];
    if (!incoming.empty() && incoming.size() == frame.size() && incoming.type() == frame.type()) return incoming;
  }
  return frame;
}

// Per-channel histogram tables from the image onto the reference inside the mask, applied.
cv::Mat matchedByHistogram(const cv::Mat& image, const cv::Mat& reference, const cv::Mat& mask) {
  std::vector<cv::Mat> imageChannels, referenceChannels, tables(3);
  cv::split(image, imageChannels);
  cv::split(reference, referenceChannels);
  for (int ch = 0; ch < 3; ++ch) {
    if (!buildHistogramMatchingLut(imageChannels[ch], referenceChannels[ch], mask, tables[ch])) return cv::Mat();
  }
  cv::Mat table, matched;
  cv::merge(tables, table);
  cv::LUT(image, table, matched);
  return matched;
}

// The matched frame also agrees in colour where nothing changed, as the dart change will cut
// it: at the analysis' size and at the camera's level, or the level this frame's grain asks
// (the table lifts a darker frame's sensor noise with its light, and a camera's own level may
// not be measured yet), no piece of a dart's worth outside what the first fit left. A channel
// clipped or crushed changes whole stretches of the board; specks of sensor noise strewn over
// the dark beds, however many, are no such change.
bool colourMatches(const Round& round, int camera, const cv::Mat& matched, const cv::Mat& keep) {
  const Camera& c = round.cameras[camera];
  const cv::Mat frame = reducedForAnalysis(matched);
  const cv::Mat& background = reducedBackgroundOf(c);
  const cv::Mat region = reducedMask(keep, frame.size());
  const double level =
      std::max(dartChangeLevelOf(c), grainChangeLevel(differenceGrain(frame, background, region), kDartChangeLevel));
  const cv::Mat changed = maskAnd(dartChangeMask(colourDifference(frame, background), level), region);
  return largestPiecePixels(changed) < minPixelsAtAnalysisScale(c, analysisScale(matched.size()));
}

}  // namespace

double lightShiftFromBackground(const Round& round, int camera, const cv::Mat& frame) {
  if (camera < 0 || camera > 2) return 0.0;
  const Camera& c = round.cameras[camera];
  if (frame.type() != CV_8UC3 || c.backgroundFrame.type() != CV_8UC3 || frame.size() != c.backgroundFrame.size()) {
    return 0.0;
  }
  const cv::Mat region = sharedBoardRegionMask(frame.size(), c.boardToImage, boardRadiusForTone(round));
  return sampledMeanGrey(frame, region) - backgroundMeanGrey(c, region);
}

json relightToBrighterFrame(Round& round, int camera, const cv::Mat& frame, double now) {
  if (camera < 0 || camera > 2) return nullptr;
  return round.relightReferencesToFrame(camera, frame, largestDartPixels(round.cameras[camera]), now);
}

FrameToneMatch toneMatchFrameToBackground(Round& round, int camera, const cv::Mat& frame) {
  FrameToneMatch result;
  result.frame = frame;
  // Measured once: both tests below read the same shift.
  const double shift = lightShiftFromBackground(round, camera, frame);
  if (shift >= kLightShiftLevels) {
    result.brighter = true;
    result.record = {{"matched", false}, {"brighter", true}};
    return result;
  }
  // Only a darker frame is lifted: a brighter one has clipped what the background still
  // resolves, and the references are re-lit to it instead.
  if (!(shift <= -kLightShiftLevels)) return result;
  const Camera& c = round.cameras[camera];
  const cv::Mat reference = c.backgroundFrame;
  const cv::Mat region = sharedBoardRegionMask(frame.size(), c.boardToImage, boardRadiusForTone(round));
  result.record = {{"matched", false}};

  // First fit over the whole board: a dart covers little of it, so the table is nearly the
  // light's; what it leaves changed is the dart (or a hand, a body) and stays out of the
  // second fit.
  const cv::Mat source = rawFrame(round, camera, frame);
  const cv::Mat first = matchedByHistogram(source, reference, region);
  if (first.empty()) return result;
  cv::Mat left = tolerantDifferenceMask(toGray(reference), toGray(first), kChangeLevel);
  cv::bitwise_and(left, region, left);
  const int leftPixels = cv::countNonZero(left);
  cv::Mat keep = region.clone();
  if (leftPixels > 0) keep.setTo(0, dilateMask(left, kExclusionSize, false));
  result.record["left_pixels"] = leftPixels;
  if (cv::countNonZero(keep) < kFewestFitPixels) return result;

  bool matched = false;
  const cv::Mat previousTable = round.inputLut[camera];
  cv::Mat out = toneMatchToReference(round, camera, frame, reference, keep, matched, true);
  if (matched && !colourMatches(round, camera, out, keep)) {
    // The grey levels agree but a colour channel does not (one channel clipped or crushed):
    // the dart change, measured in colour, would see the whole board.
    round.inputLut[camera] = previousTable;
    matched = false;
    result.record["colour_left"] = true;
  }
  result.record["matched"] = matched;
  if (!matched) return result;
  result.matched = true;
  result.frame = out;
  return result;
}

}  // namespace tarv
