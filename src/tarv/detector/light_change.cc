#include "tarv/detector/light_change.h"

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kLightRetryS = 0.5;

}  // namespace

json matchChangedLight(Round& round, const std::vector<cv::Mat>& frames,
                       const std::array<CameraFrameAnalysis, 3>& analyses, const LargeChange& change,
                       double now) {
  // A change that is not the light (a hand, a body) stays for many frames: it is tried again
  // only now and then.
  json& carried = round.heldEventRecord;
  if (carried.is_object() && now - carried.value("light_tried_at", -1e9) < kLightRetryS &&
      now >= carried.value("light_tried_at", -1e9)) {
    return nullptr;
  }
  json record = json::object();
  bool relit = false;
  for (int i = 0; i < 3; ++i) {
    if (!change.widespread[i] && !change.oversized[i]) continue;
    const CameraFrameAnalysis& a = analyses[i];
    // The analysis counts reduced pixels; the fit works on the whole frame.
    const int largestNew = static_cast<int>(a.maxDartPixels / (a.scale * a.scale));
    record[cameraIds[i]] = round.relightReferencesToFrame(i, frames[i], largestNew, now);
    relit = relit || !record[cameraIds[i]].is_null();
  }
  // A change of light is seen even when the references cannot follow it: every camera's view
  // changed at once.
  const bool everywhere = change.widespread[0] && change.widespread[1] && change.widespread[2];
  if (relit || everywhere) round.lightEventTime = now;
  if (!carried.is_object()) carried = json::object();
  if (relit) {
    carried.erase("light_tried_at");
  } else {
    carried["light_tried_at"] = now;
  }
  return relit ? record : json(nullptr);
}

}  // namespace tarv
