#include "tarv/capture/frame_pacing.h"

#include <algorithm>
#include <string>
#include <vector>

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

// Three files started together, read by workers of different speed: each shows the frame of the
// moment, so they never drift apart by more than the frame being read.
TEST(FilePlayback, SlowReadersSkipToTheFrameOfTheMoment) {
  const double fps = 20.0;
  const double read_ms[3] = {1.0, 70.0, 180.0};
  std::vector<FilePlayback> files(3);
  std::vector<double> clock(3, 0.0);
  std::vector<int64_t> shown(3, 0);
  for (size_t c = 0; c < 3; ++c) {
    while (clock[c] < 10000.0) {
      clock[c] = std::max(clock[c], fileFrameDueMs(files[c], fps));
      files[c].next_frame += fileFramesBehind(files[c], clock[c], fps);
      shown[c] = files[c].next_frame++;
      clock[c] += read_ms[c];
    }
    // Ten seconds are two hundred frames whatever the reader's speed.
    EXPECT_NEAR(static_cast<double>(shown[c]), 200.0, 4.0) << "reader " << c;
  }
  EXPECT_EQ(fileFramesBehind(FilePlayback{0.0, 0}, 0.0, fps), 0);
  EXPECT_EQ(fileFramesBehind(FilePlayback{0.0, 5}, 100.0, fps), 0);  // ahead: none skipped
  EXPECT_EQ(fileFramesBehind(FilePlayback{0.0, 5}, 420.0, fps), 3);
}

}  // namespace
}  // namespace tarv
