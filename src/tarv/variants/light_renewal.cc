#include "tarv/variants/light_renewal.h"

#include "tarv/recovery/tone_matching.h"
#include "tarv/variants/variant_views.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kStillPixels = 80;
// A change that breaks the still run over less than this share of a region is something on
// the board (a dart), not the light moving on.
constexpr double kLocalChangeShare = 0.1;

void startLightAfresh(SettlingLight& settling, const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& greys,
                      double time, bool handSeen) {
  settling = SettlingLight();
  if (handSeen) return;
  for (size_t i = 0; i < greys.size(); ++i) {
    settling.greys.push_back(greys[i].clone());
    settling.lightGreys.push_back(greys[i].clone());
    settling.lightFrames.push_back(frames[i].clone());
  }
  settling.since = time;
}

}  // namespace

bool lightHasSettled(SettlingLight& settling, const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& greys,
                     const std::vector<cv::Mat>& regions, double time, bool handSeen) {
  bool comparable = !handSeen && settling.greys.size() == greys.size() &&
                    settling.lightFrames.size() == greys.size() && frames.size() == greys.size() &&
                    regions.size() == greys.size() && time >= settling.since;
  bool still = comparable;
  bool local = comparable;
  for (size_t i = 0; comparable && i < greys.size(); ++i) {
    if (settling.greys[i].size() != greys[i].size()) {
      comparable = still = local = false;
      break;
    }
    const int changed = cv::countNonZero(maskAnd(nativeDifferenceMask(settling.greys[i], greys[i]), regions[i]));
    still = still && changed < kStillPixels;
    local = local && changed < kLocalChangeShare * cv::countNonZero(regions[i]);
  }
  if (still) return time - settling.since >= kLightSettleS;
  if (!local) {
    startLightAfresh(settling, frames, greys, time, handSeen);
    return false;
  }
  // Something landed in the settling light: it must stand still too, and it stays out of the
  // references.
  for (size_t i = 0; i < greys.size(); ++i) settling.greys[i] = greys[i].clone();
  settling.since = time;
  return false;
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

void renewReferencesForSettledLight(SettlingLight& settling, const std::vector<Camera*>& cameras,
                                    const std::vector<cv::Mat>& regions) {
  for (size_t i = 0; i < cameras.size() && i < settling.lightFrames.size(); ++i) {
    renewReferencesForLight(*cameras[i], settling.lightFrames[i], settling.lightGreys[i], regions[i]);
  }
  settling = SettlingLight();
}

}  // namespace tarv
