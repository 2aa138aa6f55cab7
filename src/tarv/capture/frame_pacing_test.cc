#include "tarv/capture/frame_pacing.h"

#include <string>

#include <gtest/gtest.h>

namespace tarv {
namespace {

// Which frames of a 30 fps camera pass when 25 fps are wanted: "." passed, "x" dropped.
std::string pattern(double fps, int frames) {
  std::string out;
  double due = -1.0;
  for (int i = 0; i < frames; ++i) {
    const PacingStep step = paceFrame(due, 1000.0 + i * (1000.0 / 30.0), fps);
    due = step.next_due_ms;
    out += step.skip ? 'x' : '.';
  }
  return out;
}

TEST(FramePacing, ThirtyFramesASecondPacedToTwentyFive) {
  const std::string p = pattern(25, 50);
  EXPECT_EQ(p.substr(0, 14), ".............x");
  // From then on one frame in six is dropped.
  EXPECT_EQ(p.substr(14, 30), ".....x.....x.....x.....x.....x");
}

TEST(FramePacing, NoRequestNeverDrops) { EXPECT_EQ(pattern(0, 30), std::string(30, '.')); }

TEST(FramePacing, StallRestartsTheSchedule) {
  double due = -1.0;
  due = paceFrame(due, 0, 25).next_due_ms;
  const PacingStep late = paceFrame(due, 5000, 25);
  EXPECT_FALSE(late.skip);
  EXPECT_FALSE(paceFrame(late.next_due_ms, 5040, 25).skip);
}

}  // namespace
}  // namespace tarv
