#include "tarv/detector/large_change.h"

#include "tarv/core/engine_values.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// How many cameras see the change widespread, oversized and dart-sized.
std::array<int, 3> kindCounts(const LargeChange& change) {
  std::array<int, 3> counts{0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    counts[0] += change.widespread[i];
    counts[1] += change.oversized[i];
    counts[2] += change.dartSized[i];
  }
  return counts;
}

}  // namespace

bool LargeChange::any() const {
  for (int i = 0; i < 3; ++i) {
    if (widespread[i] || oversized[i]) return true;
  }
  return false;
}

bool LargeChange::closeDart() const {
  const auto [spread, over, sized] = kindCounts(*this);
  return spread == 0 && over <= 1 && sized >= 1 && sized + over >= 2;
}

bool LargeChange::filledOneCamera() const {
  const auto [spread, over, sized] = kindCounts(*this);
  return spread == 1 && over == 0 && sized >= 1;
}

bool LargeChange::oversizedInOneCamera() const {
  const auto [spread, over, sized] = kindCounts(*this);
  return spread == 0 && over == 1 && sized == 0;
}

bool LargeChange::mayBeStillDart() const {
  const auto [spread, over, sized] = kindCounts(*this);
  return spread <= 1 && sized >= 1 && spread + over >= 1;
}

void setAsideFilledCamera(const LargeChange& change, std::array<CameraFrameAnalysis, 3>& analyses) {
  if (!change.filledOneCamera() && !(change.heldStill && change.mayBeStillDart())) return;
  for (int i = 0; i < 3; ++i) {
    if (!change.widespread[i]) continue;
    CameraFrameAnalysis& a = analyses[i];
    a.dartPixels = 0;
    a.dartMask = freshZeroMask(a.dartMask.size());
  }
}

json LargeChange::toJson() const {
  json cameras = json::object();
  for (int i = 0; i < 3; ++i) {
    cameras[cameraIds[i]] = widespread[i] ? "WIDESPREAD" : oversized[i] ? "OVERSIZED" : dartSized[i] ? "DART" : "QUIET";
  }
  return cameras;
}

LargeChange classifyLargeChange(const std::array<CameraFrameAnalysis, 3>& analyses) {
  LargeChange change;
  for (int i = 0; i < 3; ++i) {
    const CameraFrameAnalysis& a = analyses[i];
    change.widespread[i] = a.changedFraction > kLargeChangeFraction;
    change.oversized[i] = !change.widespread[i] && a.dartPixels > a.maxDartPixels;
    change.dartSized[i] = !change.widespread[i] && !change.oversized[i] && a.dartPixels >= a.minPixels;
  }
  return change;
}

}  // namespace tarv
