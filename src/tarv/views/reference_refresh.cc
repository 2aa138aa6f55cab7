#include "tarv/views/reference_refresh.h"

#include <utility>

#include <opencv2/core.hpp>

#include "tarv/core/camera_worker_pool.h"
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
  // Full-frame blends, one camera per worker.
  auto blend = [&](int camera) {
    cv::Mat blended;
    cv::addWeighted(round.cameras[camera].emptyReferenceColour, 1.0 - kFrameWeight, frames[camera], kFrameWeight, 0.0,
                    blended);
    return std::make_pair(blended, toGray(blended));
  };
  const auto blends = runOnCameraWorkers(blend);
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    c.emptyReferenceColour = blends[i].first;
    c.backgroundFrame = blends[i].first;
    c.emptyReference = blends[i].second;
    c.dartReference = c.emptyReference;
  }
  return true;
}

}  // namespace tarv
