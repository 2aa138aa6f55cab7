#include "tarv/runtime/motion_history.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace tarv {
namespace {

MotionSample sample(double t, int32_t seq, double spread = 0.0, int width = 64) {
  MotionSample s;
  s.captureTimes = {t, t + spread, t};
  s.sequences = {seq, seq, seq};
  for (cv::Mat& f : s.frames) f = cv::Mat(width / 2, width, CV_8UC3, cv::Scalar(seq % 255));
  return s;
}

TEST(MotionHistory, SpreadLimitIsTheIntervalThePollSets) {
  MotionHistory h;
  EXPECT_FALSE(pushMotionSampleLocked(h, sample(1.0, 1, 0.07)));
  EXPECT_TRUE(pushMotionSampleLocked(h, sample(1.1, 2, 0.05)));
  setMotionHistoryInterval(h, 0.1);
  EXPECT_TRUE(pushMotionSampleLocked(h, sample(1.2, 3, 0.09)));
  EXPECT_FALSE(pushMotionSampleLocked(h, sample(1.3, 3)));  // sequence not newer
}

TEST(MotionHistory, BoundedByCountAndSpan) {
  MotionHistory h;
  for (int i = 0; i < 100; ++i) pushMotionSampleLocked(h, sample(1.0 + 0.01 * i, i + 1));
  EXPECT_EQ(h.samples.size(), 96u);
  EXPECT_EQ(h.samples.front().sequences[0], 5);
  pushMotionSampleLocked(h, sample(4.0, 200));
  EXPECT_EQ(h.samples.size(), 1u);
  EXPECT_EQ(motionHistoryStats(h)["bytes"].get<uint64_t>(), 3u * 64 * 32 * 3);
}

TEST(MotionHistory, WideFramesAreStoredAt640) {
  MotionHistory h;
  ASSERT_TRUE(pushMotionSampleLocked(h, sample(1.0, 1, 0.0, 1280)));
  EXPECT_EQ(h.samples.back().frames[0].cols, 640);
  EXPECT_EQ(h.samples.back().frames[0].rows, 320);
}

TEST(MotionHistory, QueryFromTheAnchorAfterTheFloor) {
  MotionHistory h;
  for (int i = 0; i < 5; ++i) pushMotionSampleLocked(h, sample(1.0 + 0.1 * i, i + 1));
  EXPECT_TRUE(queryMotionHistory(h, 0.5, 0.0, 10.0).empty());
  EXPECT_EQ(queryMotionHistory(h, 1.15, 0.0, 10.0).size(), 4u);
  EXPECT_EQ(queryMotionHistory(h, 1.15, 0.0, 1.25).size(), 2u);
  EXPECT_TRUE(queryMotionHistory(h, 1.15, 1.1, 10.0).empty());
}

TEST(MotionHistory, SamplesProducedAcrossAClearAreDroppedAndErrorsCounted) {
  MotionHistory h;
  std::atomic<int> calls{0};
  startMotionHistory(h, [&](MotionSample& s) {
    const int n = ++calls;
    if (n % 2) throw std::runtime_error("x");
    s = sample(1.0 + 0.01 * n, n);
    return true;
  });
  while (calls.load() < 6) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  stopMotionHistory(h);
  EXPECT_GE(motionHistoryStats(h)["producer_errors"].get<uint64_t>(), 3u);
  EXPECT_GE(h.samples.size(), 2u);
  clearMotionHistory(h);
  EXPECT_EQ(motionHistoryStats(h)["samples"].get<size_t>(), 0u);
  stopMotionHistory(h);  // twice is harmless
}

}  // namespace
}  // namespace tarv
