#include "tarv/variants/light_renewal.h"

#include "tarv/recovery/tone_matching.h"
#include "tarv/variants/variant_views.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kStillPixels = 80;

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

json lightSettlingRecord(const SettlingLight& settling, double time, bool handSeen) {
  const double still = settling.since >= 0.0 && time >= settling.since ? time - settling.since : 0.0;
  return {{"reason", handSeen ? "HAND_SEEN" : "LIGHT_CHANGE_SETTLING"},
          {"still_s", still},
          {"settles_after_s", kLightSettleS}};
}

void renewReferencesForLight(Camera& camera, const cv::Mat& frame, const cv::Mat& grey, const cv::Mat& region) {
  const bool darts = !camera.referenceChangeMask.empty() && cv::countNonZero(camera.referenceChangeMask) > 0;
  if (darts) {
    // Under the darts the empty board cannot be seen: the old one is re-lit there. A light
    // matched over the whole view would leave a shadow on part of the board in the stored
    // change, and every later change would look like light again.
    camera.emptyReferenceColour = emptyReferenceInNewLight(camera, frame, dilateMask(camera.referenceChangeMask, 9, false));
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
