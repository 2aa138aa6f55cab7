#include "tarv/views/reference_refresh.h"

#include <opencv2/core.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {
namespace {
constexpr double kInterval = 1.0;
constexpr double kFrameWeight = 0.25;
}  // namespace

bool refreshReferenceFrames(Round& round, const std::vector<cv::Mat>& frames, double now) {
  if (frames.size() < 3) return false;
  if (round.lastBackgroundAdaptation >= 0.0 && now - round.lastBackgroundAdaptation < kInterval) {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    const Camera& c = round.cameras[i];
    if (frames[i].size() != c.emptyReferenceColour.size() ||
        frames[i].type() != c.emptyReferenceColour.type()) {
      return false;
    }
  }
  round.lastBackgroundAdaptation = now;
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    cv::Mat blended;
    cv::addWeighted(c.emptyReferenceColour, 1.0 - kFrameWeight, frames[i], kFrameWeight, 0.0, blended);
    c.emptyReferenceColour = blended;
    c.backgroundFrame = blended;
    c.emptyReference = toGray(blended);
    c.dartReference = c.emptyReference;
  }
  return true;
}

}  // namespace tarv
