#include "tarv/capture/frame_pacing.h"

#include <algorithm>
#include <cmath>

namespace tarv {

PacingStep paceFrame(double next_due_ms, double now_ms, double fps) {
  if (fps < 1) return {false, next_due_ms};
  const double interval = 1000.0 / fps;
  if (next_due_ms >= 0 && next_due_ms - interval / 2 > now_ms) return {true, next_due_ms};
  return {false, std::max(now_ms - interval / 2, next_due_ms + interval)};
}

double fileFrameDueMs(const FilePlayback& playback, double fps) {
  return playback.start_ms + static_cast<double>(playback.next_frame) * 1000.0 / fps;
}

int64_t fileFramesBehind(const FilePlayback& playback, double now_ms, double fps) {
  const double reached = std::floor((now_ms - playback.start_ms) * fps / 1000.0);
  return std::max<int64_t>(0, static_cast<int64_t>(reached) - playback.next_frame);
}

}  // namespace tarv
