#include "tarv/views/camera_analysis.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/sensor_grain.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

constexpr int kStoredTolerancePx = 3;
// A dart seen from the side covers at most about this much board area (a 150 mm body and a
// flight seen across, nearer the camera than the board); a change larger than this is not one
// dart.
constexpr double kLargestDartAreaMm2 = 9000.0;

// Image area per board area, from the projected board: the scale that areas change by.
double pixelsPerMm2(const Homography& h) {
  std::vector<cv::Point2f> outline;
  for (const Point2& p : circlePoints(170.0, 72)) {
    const Point2 q = applyHomography(h, p);
    outline.emplace_back(static_cast<float>(q.x), static_cast<float>(q.y));
  }
  return cv::contourArea(outline) / (CV_PI * 170.0 * 170.0);
}
// A dart's pieces this close together on the board's scale are one dart: its barrel over a
// dark surround leaves a gap between the point, inside the scoring region, and its shaft and
// flight, which a steep camera sees beyond the region.
constexpr double kDartPieceGapMm = 6.0;

int pieceGapPx(const Homography& h, double scale) {
  return std::max(2, static_cast<int>(std::lround(kDartPieceGapMm * std::sqrt(pixelsPerMm2(h)) * scale)));
}

// The dart's change: whole pieces that touch the scoring region, and those that continue them.
cv::Mat dartPiecesInRegion(const cv::Mat& mask, const cv::Mat& region, const Homography& boardToImage, double scale) {
  return componentsReaching(mask, region, pieceGapPx(boardToImage, scale));
}

// Room round the reduced dart change for the full-size search (flight tips, a point the
// reduced image lost).
constexpr int kCropMarginPx = 24;
// A dart that only one camera saw is looked for again in the others at a lower change level
// (a dart beside or behind an earlier one differs little from it).
constexpr double kRetryLevelFactor = 0.6;
constexpr double kRetryLevelFloor = 12.0;

cv::Mat reduce(const cv::Mat& image, double scale, int interpolation) {
  if (scale == 1.0) return image;
  if (scale == 0.5 && interpolation == cv::INTER_AREA) return halvedByArea(image);
  cv::Mat out;
  cv::resize(image, out, cv::Size(), scale, scale, interpolation);
  return out;
}

const cv::Mat& reducedOf(const cv::Mat& source, ReducedImage& cache, double scale, bool isMask) {
  if (cache.source.data != source.data || cache.source.size() != source.size() || cache.reduced.empty()) {
    cache.source = source;
    cache.reduced = reduce(source, scale, cv::INTER_AREA);
    if (isMask && scale != 1.0) cache.reduced = thresholdBinary(cache.reduced, 0);
  }
  return cache.reduced;
}

}  // namespace

double scoringRadiusMm(const Round& round) {
  return round.boardOnlyScope ? round.boardRadiusMm : std::max(missRadiusMm(), round.boardRadiusMm);
}

int largestDartPixels(const Camera& camera) {
  return static_cast<int>(kLargestDartAreaMm2 * pixelsPerMm2(camera.boardToImage));
}

namespace {

// A camera's own level (0 while unmeasured), kept in the light of arming, in the camera's light.
double levelInLight(const Camera& camera, double ownLevel) {
  return std::max(kDartChangeLevel, ownLevel) * std::max(1.0, camera.lightGain);
}

}  // namespace

double dartChangeLevelOf(const Camera& camera) { return levelInLight(camera, camera.ownChangeLevel); }

double analysisScale(cv::Size imageSize) { return imageSize.width >= 640 ? 0.5 : 1.0; }

cv::Mat reducedForAnalysis(const cv::Mat& image) {
  return reduce(image, analysisScale(image.size()), cv::INTER_AREA);
}

int minPixelsAtAnalysisScale(const Camera& camera, double scale) {
  return std::max(20, static_cast<int>(minPixelsForCamera(camera) * scale * scale));
}

const cv::Mat& reducedBackgroundOf(const Camera& camera) {
  return reducedOf(camera.backgroundFrame, camera.reducedReferences[1], analysisScale(camera.backgroundFrame.size()),
                   false);
}

CameraFrameAnalysis analyseCameraFrame(const Round& round, int camera, const cv::Mat& frame) {
  const Camera& c = round.cameras[camera];
  if (frame.size() != c.emptyReferenceColour.size()) throw std::runtime_error("Camera resolution changed");
  CameraFrameAnalysis a;
  a.scale = analysisScale(frame.size());
  const cv::Mat& emptyGrey = reducedOf(c.emptyReference, c.reducedReferences[0], a.scale, false);
  const cv::Mat& background = reducedBackgroundOf(c);
  const cv::Mat& stored = c.referenceChangeMask.empty()
                              ? cv::Mat()
                              : reducedOf(c.referenceChangeMask, c.reducedReferences[2], a.scale, true);
  a.frame = reducedForAnalysis(frame);
  const Homography h = scaleHomography(c.boardToImage, a.scale, a.scale);
  const double radius = scoringRadiusMm(round);
  a.region = sharedBoardRegionMask(a.frame.size(), h, radius);
  a.minPixels = minPixelsAtAnalysisScale(c, a.scale);
  a.maxDartPixels = static_cast<int>(kLargestDartAreaMm2 * pixelsPerMm2(c.boardToImage) * a.scale * a.scale);

  // The dart's own change: against the working background, which holds the darts already
  // entered, in colour so that a black shaft over a red or green bed is seen too.
  const cv::Mat difference = colourDifference(a.frame, background);
  const int regionPixels = std::max(1, cv::countNonZero(a.region));
  const int tolerance = std::max(1, static_cast<int>(kStoredTolerancePx * a.scale + 0.5));
  double largest = 0.0;
  cv::minMaxLoc(difference, nullptr, &largest, nullptr, nullptr, a.region);
  const double quietLevel = dartChangeLevelOf(c);
  if (largest <= quietLevel) {
    // The frame is the working background: nothing arrived and nothing left since the board
    // was last taken, so its change against the empty board is the stored change. An
    // unchanged board with darts on it costs no difference and median over the frame.
    a.change = stored.empty() ? cv::Mat::zeros(a.frame.size(), CV_8UC1) : stored;
    a.changedFraction = static_cast<double>(cv::countNonZero(a.change)) / regionPixels;
    a.masks = sameMasks(a.change, tolerance);
    a.dartMask = freshZeroMask(a.frame.size());
    return a;
  }
  const cv::Mat grey = toGray(a.frame);
  a.change = nativeDifferenceMask(emptyGrey, grey, a.region);
  cv::bitwise_and(a.change, a.region, a.change);
  a.changedFraction = static_cast<double>(cv::countNonZero(a.change)) / regionPixels;
  a.masks = compareMasks(stored, a.change, tolerance);
  if (c.ownChangeLevel <= 0.0 && a.changedFraction <= kLargeChangeFraction) {
    // The first frame that differs from the references by less than a hand or a light does:
    // its grain against them is the camera's, a dart or two besides. A hand's or a sleeve's
    // texture over much of the board would be taken for grain, so such a frame waits. The
    // grain grows with a light the references were raised to: it is kept in the light of
    // arming.
    a.measuredOwnLevel =
        grainChangeLevel(differenceGrain(a.frame, background, a.region), kDartChangeLevel) / std::max(1.0, c.lightGain);
  }
  const double ownLevel = a.measuredOwnLevel > 0.0 ? levelInLight(c, a.measuredOwnLevel) : quietLevel;
  a.level = std::max(ownLevel, changeLevel(difference, a.region, processSwitches().adaptiveThreshold));
  a.dartMask = dartPiecesInRegion(dartChangeMask(difference, a.level), a.region, c.boardToImage, a.scale);
  a.dartPixels = cv::countNonZero(a.dartMask);
  return a;
}

std::pair<int, int> retryDartAtLowerLevel(const Round& round, int camera, CameraFrameAnalysis& analysis) {
  const Camera& c = round.cameras[camera];
  const cv::Mat& background = reducedBackgroundOf(c);
  const double level = std::max(kRetryLevelFloor, analysis.level * kRetryLevelFactor);
  cv::Mat mask = dartPiecesInRegion(dartChangeMask(colourDifference(analysis.frame, background), level),
                                    analysis.region, c.boardToImage, analysis.scale);
  const int pixels = cv::countNonZero(mask);
  if (pixels >= analysis.minPixels) {
    analysis.dartMask = mask;
    analysis.dartPixels = pixels;
    analysis.level = level;
  }
  return {pixels, analysis.minPixels};
}

namespace {

// Sensor noise that the reduced analysis averaged away returns at full size: the level rises
// until only a hundredth of the board round the dart, the dart left out, passes it.
constexpr double kNoisePassingShare = 0.01;
constexpr int kDartRimPx = 9;

// The reduced mask brought to full size inside the box only: each full-size pixel takes the
// reduced pixel it falls in, as a nearest-neighbour resize of the whole mask would give it.
// Empty when the box leaves the mask.
cv::Mat fullSizeMaskIn(const cv::Mat& reduced, double scale, const cv::Rect& box) {
  const int f = std::max(1, static_cast<int>(std::lround(1.0 / scale)));
  if (box.x < 0 || box.y < 0 || box.br().x > reduced.cols * f || box.br().y > reduced.rows * f) return cv::Mat();
  const cv::Rect source(box.x / f, box.y / f, (box.br().x + f - 1) / f - box.x / f, (box.br().y + f - 1) / f - box.y / f);
  cv::Mat up;
  cv::resize(reduced(source), up, cv::Size(source.width * f, source.height * f), 0.0, 0.0, cv::INTER_NEAREST);
  return up(cv::Rect(box.x - source.x * f, box.y - source.y * f, box.width, box.height));
}

double fullSizeLevel(const cv::Mat& difference, const cv::Mat& region, const CameraFrameAnalysis& analysis,
                     const cv::Rect& box) {
  cv::Mat around = region.clone();
  const cv::Mat dart = fullSizeMaskIn(analysis.dartMask, analysis.scale, box);
  if (!dart.empty()) around.setTo(0, dilateMask(dart, kDartRimPx, false));
  const MaskedHistogram h = histogramInMask(difference, around);
  const std::array<int, 256>& histogram = h.counts;
  const int total = h.total;
  if (total == 0) return analysis.level;
  int above = 0;
  for (int level = 255; level > 0; --level) {
    above += histogram[level];
    if (above > kNoisePassingShare * total) return std::max(analysis.level, static_cast<double>(level));
  }
  return analysis.level;
}

}  // namespace

DartCrop fullSizeDartChange(const Round& round, int camera, const cv::Mat& frame,
                            const CameraFrameAnalysis& analysis) {
  const Camera& c = round.cameras[camera];
  DartCrop crop;
  const cv::Rect found = maskBox(analysis.dartMask);
  if (found.area() == 0) return crop;
  const double up = 1.0 / analysis.scale;
  crop.box = cv::Rect(static_cast<int>(found.x * up) - kCropMarginPx, static_cast<int>(found.y * up) - kCropMarginPx,
                      static_cast<int>(found.width * up) + 2 * kCropMarginPx,
                      static_cast<int>(found.height * up) + 2 * kCropMarginPx) &
             cv::Rect(0, 0, frame.cols, frame.rows);
  crop.difference = colourDifference(frame(crop.box), c.backgroundFrame(crop.box));
  // The whole image's region, cropped: one cached mask per camera rather than one per crop.
  const cv::Mat region = sharedBoardRegionMask(frame.size(), c.boardToImage, scoringRadiusMm(round))(crop.box);
  crop.change = dartChangeMask(crop.difference, fullSizeLevel(crop.difference, region, analysis, crop.box));
  crop.mask = componentsTouching(crop.change, region);
  return crop;
}

cv::Mat continuedDartPieces(const DartCrop& crop, const Homography& boardToImage) {
  if (crop.change.empty()) return cv::Mat();
  cv::Mat continued = piecesReaching(crop.change, crop.mask, pieceGapPx(boardToImage, 1.0));
  return cv::countNonZero(continued) > cv::countNonZero(crop.mask) ? continued : cv::Mat();
}

namespace {

// Sensor noise moves a mask's edge by a pixel from frame to frame: the share of m inside the
// other grown by one pixel.
double shareWithin(const cv::Mat& m, const cv::Mat& other) {
  const int pixels = cv::countNonZero(m);
  if (pixels == 0) return 1.0;
  cv::Mat grown;
  cv::dilate(other, grown, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  cv::Mat inside;
  cv::bitwise_and(m, grown, inside);
  return static_cast<double>(cv::countNonZero(inside)) / pixels;
}

// Both shares of two masks of one size, measured in the box round their pixels grown by the
// one pixel the dilation reaches: nothing outside it is set or grown into.
std::pair<double, double> sharesWithin(const cv::Mat& a, const cv::Mat& b) {
  const cv::Rect box = (maskBox(a) | maskBox(b));
  if (box.area() == 0) return {1.0, 1.0};
  const cv::Rect window =
      cv::Rect(box.x - 1, box.y - 1, box.width + 2, box.height + 2) & cv::Rect(0, 0, a.cols, a.rows);
  return {shareWithin(a(window), b(window)), shareWithin(b(window), a(window))};
}

}  // namespace

double maskAgreement(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return 0.0;
  const auto [ab, ba] = sharesWithin(a, b);
  return std::min(ab, ba);
}

double maskContainment(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return 0.0;
  const auto [ab, ba] = sharesWithin(a, b);
  return std::max(ab, ba);
}

std::array<CameraFrameAnalysis, 3> analyseFrames(const Round& round, const std::vector<cv::Mat>& frames) {
  auto job = [&](int camera) { return analyseCameraFrame(round, camera, frames[camera]); };
  return runOnCameraWorkers(job);
}

bool hasFreshChangeInTwoCameras(const Round& round, const std::vector<cv::Mat>& frames) {
  if (round.entries.size() >= 3 || frames.size() < 3) return false;
  const auto analyses = analyseFrames(round, frames);
  int fresh = 0;
  for (const CameraFrameAnalysis& a : analyses) {
    if (a.changedFraction > kLargeChangeFraction) return false;
    if (a.masks.stats.value("removed_fraction", 0.0) > kRemovedFraction) return false;
    fresh += seesDart(a);
  }
  return fresh >= 2;
}

}  // namespace tarv
