// Frame pacing: a camera that runs faster than the requested rate has frames dropped so that
// the accepted ones arrive on average at that rate.
#pragma once

namespace tarv {

struct PacingStep {
  bool skip;
  double next_due_ms;
};

// next_due_ms < 0: no schedule yet. A frame may come up to half an interval early; after a
// stall the schedule restarts from the late frame. fps < 1 never skips.
PacingStep paceFrame(double next_due_ms, double now_ms, double fps);

}  // namespace tarv
