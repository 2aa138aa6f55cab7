#include "tarv/variants/light_renewal.h"

#include <opencv2/imgproc.hpp>

#include "tarv/variants/variant_views.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kStillPixels = 80;

// The reference mapped channel by channel onto the frame's tones where the mask is set; the
// reference unchanged where a channel has too few samples.
cv::Mat toneMatched(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& mask) {
  std::vector<cv::Mat> referenceChannels, frameChannels;
  cv::split(reference, referenceChannels);
  cv::split(frame, frameChannels);
  for (size_t i = 0; i < referenceChannels.size(); ++i) {
    cv::Mat table;
    if (!buildHistogramMatchingLut(referenceChannels[i], frameChannels[i], mask, table)) return reference.clone();
    cv::LUT(referenceChannels[i], table, referenceChannels[i]);
  }
  cv::Mat merged;
  cv::merge(referenceChannels, merged);
  return merged;
}

}  // namespace

bool lightHasSettled(SettlingLight& settling, const std::vector<cv::Mat>& greys,
                     const std::vector<cv::Mat>& regions, double time, bool handSeen) {
  bool still = !handSeen && settling.greys.size() == greys.size() && time >= settling.since;
  for (size_t i = 0; still && i < greys.size(); ++i) {
    still = settling.greys[i].size() == greys[i].size() &&
            cv::countNonZero(maskAnd(nativeDifferenceMask(settling.greys[i], greys[i]), regions[i])) < kStillPixels;
  }
  if (!still) {
    settling.greys.clear();
    for (const cv::Mat& g : greys) settling.greys.push_back(g.clone());
    settling.since = handSeen ? -1.0 : time;
    if (handSeen) settling.greys.clear();
    return false;
  }
  return time - settling.since >= kLightSettleS;
}

void renewReferencesForLight(Camera& camera, const cv::Mat& frame, const cv::Mat& grey, const cv::Mat& region) {
  const bool darts = !camera.referenceChangeMask.empty() && cv::countNonZero(camera.referenceChangeMask) > 0;
  if (darts) {
    cv::Mat clear;
    cv::bitwise_not(dilateMask(camera.referenceChangeMask, 15, false), clear);
    camera.emptyReferenceColour = toneMatched(camera.emptyReferenceColour, frame, clear);
    camera.emptyReference = toGray(camera.emptyReferenceColour);
    camera.referenceChangeMask = maskAnd(nativeDifferenceMask(camera.emptyReference, grey), region);
  } else {
    camera.emptyReferenceColour = frame.clone();
    camera.emptyReference = grey.clone();
  }
  camera.backgroundFrame = frame.clone();
  camera.dartReference = grey.clone();
}

}  // namespace tarv
