#include "tarv/detector/light_change.h"

#include "tarv/engine/engine_values.h"

namespace tarv {

json matchChangedLight(Round& round, const std::vector<cv::Mat>& frames,
                       const std::array<CameraFrameAnalysis, 3>& analyses, const LargeChange& change,
                       double now) {
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
  if (!relit) return nullptr;
  round.lightEventTime = now;
  return record;
}

}  // namespace tarv
