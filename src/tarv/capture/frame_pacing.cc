#include "tarv/capture/frame_pacing.h"

#include <algorithm>

namespace tarv {

PacingStep paceFrame(double next_due_ms, double now_ms, double fps) {
  if (fps < 1) return {false, next_due_ms};
  const double interval = 1000.0 / fps;
  if (next_due_ms >= 0 && next_due_ms - interval / 2 > now_ms) return {true, next_due_ms};
  return {false, std::max(now_ms - interval / 2, next_due_ms + interval)};
}

}  // namespace tarv
