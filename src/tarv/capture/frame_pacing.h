// Frame pacing: a camera that runs faster than the requested rate has frames dropped so that
// the accepted ones arrive on average at that rate.
#pragma once

#include <cstdint>

namespace tarv {

struct PacingStep {
  bool skip;
  double next_due_ms;
};

// next_due_ms < 0: no schedule yet. A frame may come up to half an interval early; after a
// stall the schedule restarts from the late frame. fps < 1 never skips.
PacingStep paceFrame(double next_due_ms, double now_ms, double fps);

// A file played as a camera shows the frame its clock has reached, as a camera shows the
// scene of the moment: frame k is due at start_ms + k / fps. A reader that falls behind (a
// loaded machine) skips frames instead of slowing down, so several files started together stay
// on one clock and a triplet never mixes moments seconds apart.
struct FilePlayback {
  double start_ms = 0.0;
  int64_t next_frame = 0;  // counts on across loops of the file
};

double fileFrameDueMs(const FilePlayback& playback, double fps);
// Frames to pass over before the next one is read: those already overdue by a whole interval.
int64_t fileFramesBehind(const FilePlayback& playback, double now_ms, double fps);

}  // namespace tarv
