#include "tarv/recovery/tone_matching.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "tarv/core/board_projection.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/change_masks.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {

namespace {

constexpr int kFewestBoardPixels = 2000;
// Mean grey-level shift of the board below which a fitted tone table is not a change of light.
constexpr double kSmallestLightShift = 4.0;
// What a relit table may still leave of a dart that arrived with the light, in the camera's
// pixel limits.
constexpr int kFaintDartParts = 3;
// The grey levels a table's gain is read from: above the crushed blacks, below where a
// brighter light clips.
constexpr int kDarkestForGain = 16;
constexpr int kBrightestForGain = 200;

bool validCamera(int camera) { return camera >= 0 && camera < 3; }

bool hasSetPixels(const cv::Mat& mask) { return !mask.empty() && cv::countNonZero(mask) > 0; }

// The raw incoming frame when the round holds one that fits: tables are learned from what the
// camera delivered, not from what an earlier table made of it.
cv::Mat sourceFrame(const Round& round, int camera, const cv::Mat& frame) {
  if (static_cast<std::size_t>(camera) < round.incomingFrames.size()) {
    const cv::Mat& incoming = round.incomingFrames[camera];
    if (!incoming.empty() && incoming.size() == frame.size() && incoming.type() == frame.type()) {
      return incoming;
    }
  }
  return frame;
}

double fractionAtOrAbove(const cv::Mat& grey, const cv::Mat& mask, int level, int maskPixels) {
  if (maskPixels <= 0) return 0.0;
  cv::Mat bright = (grey >= level) & mask;
  return static_cast<double>(cv::countNonZero(bright)) / maskPixels;
}

// The grey level above which the brightest 5 % of the sampled board pixels lie.
int brightLevel(const cv::Mat& grey, const cv::Mat& mask) {
  double histogram[256] = {0};
  double total = 0.0;
  for (int y = 0; y < grey.rows; y += 2) {
    const uchar* g = grey.ptr<uchar>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < grey.cols; x += 2) {
      if (m[x] == 0) continue;
      histogram[g[x]] += 1.0;
      total += 1.0;
    }
  }
  if (!(total > 0.0)) return 0;
  double running = 0.0;
  for (int level = 255; level >= 1; --level) {
    running += histogram[level];
    if (running >= 0.05 * total) return level;
  }
  return 0;
}

// A reference with clearly more clipped board than a bright source has lost the texture that
// histogram matching would have to invent.
bool saturationForbidsMatch(const cv::Mat& greySource, const cv::Mat& greyReference,
                            const cv::Mat& boardMask, int boardPixels) {
  const double referenceFraction = fractionAtOrAbove(greyReference, boardMask, 250, boardPixels);
  const double sourceFraction = fractionAtOrAbove(greySource, boardMask, 250, boardPixels);
  return referenceFraction - sourceFraction > 0.05 && brightLevel(greySource, boardMask) >= 160;
}

bool sameShape(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type();
}

bool imagesFit(const cv::Mat& oldReference, const cv::Mat& lastFrame, const cv::Mat& newFrame) {
  return !oldReference.empty() && oldReference.depth() == CV_8U &&
         sameShape(oldReference, lastFrame) && sameShape(oldReference, newFrame);
}

// Where the stored background differs from the empty reference (the known darts and what
// else the dart reference holds), grown so that their rims are kept too.
cv::Mat protectMask(const Camera& cam, const cv::Mat& dartMask) {
  cv::Mat protect;
  if (sameShape(cam.backgroundFrame, cam.emptyReferenceColour) && !cam.backgroundFrame.empty()) {
    cv::Mat diff;
    cv::absdiff(cam.backgroundFrame, cam.emptyReferenceColour, diff);
    if (diff.channels() > 1) diff = diff.reshape(1, static_cast<int>(diff.total()));
    if (diff.cols > 1) cv::reduce(diff, diff, 1, cv::REDUCE_MAX);
    diff = diff.reshape(1, cam.backgroundFrame.rows);
    cv::threshold(medianBlurred(diff, 5), protect, 10, 255, cv::THRESH_BINARY);
  }
  if (protect.size() != dartMask.size()) {
    protect = dartMask.clone();
  } else {
    cv::bitwise_or(protect, dartMask, protect);
  }
  return dilateMask(protect, 9, false);
}

cv::Mat unionOfDilatedDartMasks(const Round& round, int camera, cv::Size size) {
  cv::Mat all = cv::Mat::zeros(size, CV_8UC1);
  for (const ImageTriple& masks : round.knownDartMasks) {
    const cv::Mat& m = masks[camera];
    if (m.empty() || m.size() != size) continue;
    cv::bitwise_or(all, dilateMask(m, 5, false), all);
  }
  return all;
}

// A grey image with pixels of its own, so that writing into it never reaches the colour
// image it came from.
cv::Mat ownGrey(const cv::Mat& image) {
  cv::Mat grey = toGray(image);
  return grey.data == image.data ? grey.clone() : grey;
}

// The gain of a tone table over the pixels it leaves unclipped: the ratio of the mean grey
// after the table to before it, where the old grey is neither crushed nor near the top.
double toneGain(const cv::Mat& before, const cv::Mat& after, const cv::Mat& mask) {
  cv::Mat unclipped = (before >= kDarkestForGain) & (before <= kBrightestForGain);
  cv::bitwise_and(unclipped, mask, unclipped);
  if (cv::countNonZero(unclipped) < kFewestBoardPixels) return 1.0;
  const double was = cv::mean(before, unclipped)[0];
  return was > 0.0 ? cv::mean(after, unclipped)[0] / was : 1.0;
}

}  // namespace

cv::Mat boxSum(const cv::Mat& image, int kernelSize) {
  cv::Mat out;
  cv::boxFilter(image, out, CV_32F, {kernelSize, kernelSize}, {-1, -1}, false,
                cv::BORDER_CONSTANT);
  return out;
}

cv::Mat toneMatchToReference(Round& round, int camera, const cv::Mat& frame,
                             const cv::Mat& reference, const cv::Mat& extraMask, bool& matched,
                             bool force) {
  matched = false;
  if (!validCamera(camera)) return frame;
  const cv::Mat source = sourceFrame(round, camera, frame);
  if (source.type() != CV_8UC3 || !sameShape(reference, source)) return frame;

  const Camera& cam = round.cameras[camera];
  cv::Mat boardMask = buildBoardRegionMask(source.size(), cam.boardToImage,
                                           std::max(175.0, round.boardRadiusMm), 360);
  if (!extraMask.empty() && extraMask.size() == boardMask.size()) {
    cv::bitwise_and(boardMask, toGray(extraMask), boardMask);
  }
  const int boardPixels = cv::countNonZero(boardMask);
  if (boardPixels < kFewestBoardPixels) return frame;

  const cv::Mat greySource = toGray(source);
  const cv::Mat greyReference = toGray(reference);
  cv::Scalar meanS, sdS, meanR, sdR;
  cv::meanStdDev(greySource, meanS, sdS, boardMask);
  cv::meanStdDev(greyReference, meanR, sdR, boardMask);
  const double ratio = sdS[0] / std::max(sdR[0], 1.0);

  // Contrast already adequate: the raw frame is good as it is and no table is wanted.
  if (ratio >= 0.9 && !force) {
    round.inputLut[camera].release();
    return source;
  }
  // Too flat to say anything about the tone curve (a covered lens, darkness).
  if (!(ratio >= 0.35)) return frame;
  if (!force && saturationForbidsMatch(greySource, greyReference, boardMask, boardPixels)) {
    return frame;
  }

  std::vector<cv::Mat> sourceChannels, referenceChannels, tables(3);
  cv::split(source, sourceChannels);
  cv::split(reference, referenceChannels);
  for (int ch = 0; ch < 3; ++ch) {
    if (!buildHistogramMatchingLut(sourceChannels[ch], referenceChannels[ch], boardMask,
                                   tables[ch])) {
      return frame;
    }
  }
  cv::Mat table, matchedImage;
  cv::merge(tables, table);
  cv::LUT(source, table, matchedImage);

  // A match that leaves real changes behind was not a change of light alone.
  cv::Mat changed = tolerantDifferenceMask(greyReference, toGray(matchedImage), 24);
  cv::bitwise_and(changed, boardMask, changed);
  const int changedPixels = cv::countNonZero(changed);
  const DetectionScale scale(projectedBoardHeight(cam.boardToImage));
  if (changedPixels >= scale.minPixels()) return frame;

  matched = true;
  if (cv::norm(matchedImage, source, cv::NORM_INF) <= 3.0) {
    round.inputLut[camera].release();
    return source;
  }
  round.inputLut[camera] = table;
  return matchedImage;
}

json Round::relightReferencesToFrame(int camera, const cv::Mat& frame, int largestNewPixels, double now) {
  if (!validCamera(camera)) return nullptr;
  Camera& cam = cameras[camera];
  if (frame.type() != CV_8UC3 || !sameShape(frame, cam.backgroundFrame) ||
      !sameShape(frame, cam.emptyReferenceColour)) {
    return nullptr;
  }
  // The references are brought to the frame's light rather than the frame to theirs: a
  // brighter frame clips what the references still resolve, and a table from the references
  // onto the frame reproduces the clipping instead of guessing the detail it lost.
  const cv::Mat region =
      buildBoardRegionMask(frame.size(), cam.boardToImage, std::max(175.0, boardRadiusMm), 360);
  const cv::Mat greyFrame = toGray(frame);
  const cv::Mat greyBackground = toGray(cam.backgroundFrame);
  cv::Mat left = lutDifferenceMask(greyFrame, greyBackground, region, 24);
  if (left.empty()) return nullptr;
  int leftPixels = cv::countNonZero(left);
  if (leftPixels > largestNewPixels) return nullptr;
  const DetectionScale scale(projectedBoardHeight(cam.boardToImage));
  cv::Mat fitMask, relitBackground, table;
  int changedPixels = 0;
  // What is left beyond a tone change may be a dart that arrived with the light: the table is
  // fitted without it. A dart's faint parts (a point over a bed of its own tone) first show
  // once the light is taken out: they join what is left, and the table is fitted once more,
  // so long as all that is left stays within one dart.
  for (int pass = 0; pass < 2; ++pass) {
    fitMask = region.clone();
    if (leftPixels > 0) fitMask.setTo(0, dilateMask(left, 31, false));
    if (cv::countNonZero(fitMask) < kFewestBoardPixels) return nullptr;

    std::vector<cv::Mat> background, target, tables(3);
    cv::split(cam.backgroundFrame, background);
    cv::split(frame, target);
    for (int ch = 0; ch < 3; ++ch) {
      if (!buildHistogramMatchingLut(background[ch], target[ch], fitMask, tables[ch])) return nullptr;
    }
    cv::merge(tables, table);
    cv::LUT(cam.backgroundFrame, table, relitBackground);
    cv::Mat changed = tolerantDifferenceMask(greyFrame, toGray(relitBackground), 24);
    cv::bitwise_and(changed, fitMask, changed);
    changedPixels = cv::countNonZero(changed);
    if (changedPixels < scale.minPixels()) break;
    // Only a few pixels can be a dart's faint parts; more is a change the light does not
    // explain.
    if (pass == 1 || leftPixels == 0 || changedPixels > kFaintDartParts * scale.minPixels()) return nullptr;
    cv::bitwise_or(left, changed, left);
    leftPixels = cv::countNonZero(left);
    if (leftPixels > largestNewPixels) return nullptr;
  }
  // A table that hardly changes anything is no change of light (a hand in one corner of an
  // otherwise unchanged view fits one too).
  cv::Mat shift;
  cv::absdiff(relitBackground, cam.backgroundFrame, shift);
  const double meanShift = cv::mean(shift, fitMask)[0];
  if (meanShift < kSmallestLightShift) return nullptr;

  cam.lightGain = std::max(1.0, cam.lightGain * toneGain(greyBackground, toGray(relitBackground), fitMask));
  cv::Mat relitReference;
  cv::LUT(cam.emptyReferenceColour, table, relitReference);
  previousReferences[camera] = cam.emptyReferenceColour;
  cam.emptyReferenceColour = relitReference;
  cam.emptyReference = ownGrey(relitReference);
  cam.backgroundFrame = relitBackground;
  cam.dartReference = ownGrey(relitBackground);
  cam.residualMask.release();
  inputLut[camera].release();
  dartReferenceCopies[camera] = cam.dartReference;
  referenceChangeMaskCopies[camera] = cam.referenceChangeMask;
  lastRebaseTime = now;
  return {{"left_pixels", leftPixels}, {"changed_after_fit", changedPixels},
          {"mean_shift", roundToThousandths(meanShift)}, {"light_gain", roundToThousandths(cam.lightGain)}};
}

cv::Mat relightByHistogram(const cv::Mat& oldReference, const cv::Mat& lastFrame,
                           const cv::Mat& newFrame, const cv::Mat& mask) {
  if (!imagesFit(oldReference, lastFrame, newFrame)) return cv::Mat();
  std::vector<cv::Mat> last, next, old;
  cv::split(lastFrame, last);
  cv::split(newFrame, next);
  cv::split(oldReference, old);
  std::vector<cv::Mat> out(old.size());
  for (std::size_t ch = 0; ch < old.size(); ++ch) {
    cv::Mat table;
    if (!buildHistogramMatchingLut(last[ch], next[ch], mask, table)) return cv::Mat();
    cv::LUT(old[ch], table, out[ch]);
  }
  cv::Mat result;
  cv::merge(out, result);
  return result;
}

cv::Mat relightReference(const cv::Mat& oldReference, const cv::Mat& lastFrame,
                         const cv::Mat& newFrame, const cv::Mat& weightMask) {
  if (!imagesFit(oldReference, lastFrame, newFrame)) return cv::Mat();
  if (!weightMask.empty() && weightMask.size() != oldReference.size()) return cv::Mat();
  const cv::Mat fallback = relightByHistogram(oldReference, lastFrame, newFrame, weightMask);

  std::vector<cv::Mat> last, next, old, back;
  cv::split(lastFrame, last);
  cv::split(newFrame, next);
  cv::split(oldReference, old);
  if (!fallback.empty()) cv::split(fallback, back);

  // About 40 pixels each side at 1280 wide, never below 12.
  const int half = std::max(static_cast<int>(std::lround(oldReference.cols * 40.0 / 1280.0)), 12);
  const int k = 2 * half + 1;
  cv::Mat W;
  if (weightMask.empty()) {
    W = cv::Mat::ones(oldReference.size(), CV_32F);
  } else {
    toGray(weightMask).convertTo(W, CV_32F, 1.0 / 255.0);
  }
  const cv::Mat S = boxSum(W, k);
  const cv::Mat N = S + 0.001f;
  const cv::Mat lowSupport = S < 60.0f;

  std::vector<cv::Mat> out(old.size());
  for (std::size_t ch = 0; ch < old.size(); ++ch) {
    cv::Mat a, b, o;
    last[ch].convertTo(a, CV_32F);
    next[ch].convertTo(b, CV_32F);
    old[ch].convertTo(o, CV_32F);
    const cv::Mat Wa = W.mul(a);
    const cv::Mat meanA = boxSum(Wa, k) / N;
    const cv::Mat meanB = boxSum(W.mul(b), k) / N;
    const cv::Mat varA = boxSum(Wa.mul(a), k) / N - meanA.mul(meanA);
    const cv::Mat cov = boxSum(Wa.mul(b), k) / N - meanA.mul(meanB);
    cv::Mat gain = cov / (varA + 100.0f);
    cv::min(cv::max(gain, 0.0f), 4.0f, gain);
    const cv::Mat relit = gain.mul(o) + meanB - gain.mul(meanA);
    relit.convertTo(out[ch], CV_8U);
    (back.empty() ? old[ch] : back[ch]).copyTo(out[ch], lowSupport);
  }
  cv::Mat result;
  cv::merge(out, result);
  return result;
}

cv::Mat emptyReferenceInNewLight(const Camera& cam, const cv::Mat& frame, const cv::Mat& dartMask) {
  cv::Mat newReference = frame.clone();
  const cv::Mat protect = protectMask(cam, dartMask);
  cv::Mat weight;
  cv::bitwise_not(protect, weight);
  const cv::Mat relit = relightReference(cam.emptyReferenceColour, cam.backgroundFrame, frame, weight);
  const cv::Mat& keep = relit.empty() ? cam.emptyReferenceColour : relit;
  if (sameShape(keep, newReference) && protect.size() == newReference.size()) keep.copyTo(newReference, protect);
  return newReference;
}

void refreshCameraBackgrounds(Round& round, const std::vector<cv::Mat>& frames,
                              const std::vector<cv::Mat>& sizeImages) {
  for (int c = 0; c < 3; ++c) {
    if (static_cast<std::size_t>(c) >= frames.size() || frames[c].empty()) continue;
    Camera& cam = round.cameras[c];
    const cv::Size size = static_cast<std::size_t>(c) < sizeImages.size() && !sizeImages[c].empty()
                              ? sizeImages[c].size()
                              : frames[c].size();

    cv::Mat dartMask = cam.referenceChangeMask.empty() ? cv::Mat::zeros(size, CV_8UC1)
                                                       : cam.referenceChangeMask.clone();
    for (const ImageTriple& masks : round.knownDartMasks) {
      if (!masks[c].empty() && masks[c].size() == dartMask.size()) orMaskInPlace(dartMask, masks[c]);
    }
    const bool dartsPresent = hasSetPixels(dartMask);
    if (dartsPresent) dartMask = dilateMask(dartMask, 9, false);

    cv::Mat outsideDarts;
    cv::bitwise_not(dartMask, outsideDarts);
    bool matched = false;
    const cv::Mat returned = toneMatchToReference(round, c, frames[c], cam.backgroundFrame,
                                                  outsideDarts, matched, dartsPresent);

    if (!matched) {
      // The light changed beyond a table: the frame becomes the empty reference, except
      // where darts stand, where the old reference is re-lit to the new light.
      const cv::Mat newReference =
          dartsPresent ? emptyReferenceInNewLight(cam, returned, dartMask) : returned.clone();
      cam.emptyReferenceColour = newReference;
      cam.emptyReference = toGray(newReference);
    }
    cam.backgroundFrame = returned.clone();
    cam.dartReference = ownGrey(cam.backgroundFrame);

    if (round.boardOnlyScope) {
      if (!matched) {
        round.scopeMasks[c] = freshZeroMask(size);
      } else if (!round.scopeMasks[c].empty()) {
        const cv::Mat& scope = round.scopeMasks[c];
        cv::Mat copyMask;
        cv::bitwise_and(scope, ~unionOfDilatedDartMasks(round, c, scope.size()), copyMask);
        if (copyMask.size() == cam.dartReference.size() &&
            sameShape(cam.emptyReference, cam.dartReference)) {
          cam.emptyReference.copyTo(cam.dartReference, copyMask);
        }
      }
    }

    cam.referenceChangeMask = nativeDifferenceMask(cam.emptyReference, cam.dartReference);
    cam.residualMask.release();

    if (!matched) {
      cam.features = BoardFeatures{};
      cam.features = collectBoardFeatures(cam.emptyReference, cam.boardToImage);
    }
    // Snapshots: later in-place edits of the camera's images must not reach them.
    round.dartReferenceCopies[c] = cam.dartReference.clone();
    round.referenceChangeMaskCopies[c] = cam.referenceChangeMask.clone();
  }

  // What the evaluation held was measured against the old references.
  round.pendingTransient = nullptr;
  round.tipSampling = nullptr;
  round.pendingSince = -1.0;
  resetFrameHistory(round);
  round.stableFlowTime = -1.0;
  round.staticShiftTime = -1.0;
}

}  // namespace tarv
