#include "tarv/runtime/poll_timing.h"

#include <cmath>

#include <gtest/gtest.h>

namespace tarv {
namespace {

TEST(FrameRate, SlowFramesMoveTheEstimateOnlyFromTheThirdInARow) {
  FrameRateEstimator e;
  std::atomic<double> published{0.0};
  resetFrameRate(e, 30, published);
  double t = 1.0;
  int32_t seq = 10;
  for (int c = 0; c < 3; ++c) estimateFrameRate(e, c, seq, t, published);
  for (int n = 1; n <= 2; ++n) {
    estimateFrameRate(e, 0, seq + n, t + 0.1 * n, published);
    EXPECT_DOUBLE_EQ(published.load(), 30.0);
  }
  estimateFrameRate(e, 0, seq + 3, t + 0.3, published);
  EXPECT_NEAR(published.load(), 26.0, 1e-9);
}

TEST(FrameRate, LargeStepsAndLongGapsAreStoredButNotMeasured) {
  FrameRateEstimator e;
  std::atomic<double> published{0.0};
  resetFrameRate(e, 30, published);
  estimateFrameRate(e, 1, 1, 1.0, published);
  estimateFrameRate(e, 1, 5, 1.9, published);   // a step of 4
  estimateFrameRate(e, 1, 6, 4.4, published);   // 2.5 s later
  EXPECT_DOUBLE_EQ(published.load(), 30.0);
  EXPECT_EQ(e.lastSequence[1], 6);
}

TEST(FrameRate, FrameCountsOfDurations) {
  EXPECT_EQ(framesForDuration(30.0, 0.2), 6);
  EXPECT_EQ(framesForDuration(30.0, 0.1), 3);
  EXPECT_EQ(framesForDuration(3.0, 1.0), 1);
  EXPECT_EQ(framesForDuration(0.5, 0.2), 1);
  EXPECT_EQ(framesForDuration(std::nan(""), 0.2), 1);
  EXPECT_DOUBLE_EQ(frameFreshnessLimit(2.0), 1.25);
  EXPECT_DOUBLE_EQ(shortFrameAgeLimit(5.0), 0.25);
  EXPECT_DOUBLE_EQ(frameInterval(std::nan("")), 1.0);
}

}  // namespace
}  // namespace tarv
