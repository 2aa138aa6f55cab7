#include "tarv/capture/capture_health.h"

#include <gtest/gtest.h>

#include "tarv/capture/frame_intake.h"
#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

TEST(CaptureHealth, NeverOpenedSlotHasEveryKeyAtItsStart) {
  SlotState slot;
  const std::string text = captureHealthText(slot, 1000.0);
  const nlohmann::json h = nlohmann::json::parse(text);
  EXPECT_EQ(h.size(), 34u);
  EXPECT_EQ(text.rfind("{\"actual_fps\":0.0,", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 13), "\"turbo\":true}");
  EXPECT_EQ(h["frame_age_ms"], -1.0);
  EXPECT_EQ(h["first_frame_ms"], -1.0);
  EXPECT_EQ(h["open_ms"], -1.0);
  EXPECT_EQ(h["recent_fps"], 0.0);
  EXPECT_EQ(h["mean_read_seconds"], 0.0);
  EXPECT_EQ(h["retained_frames"], 0);
  EXPECT_EQ(h["opened"], false);
  EXPECT_EQ(h["error"], "");
  EXPECT_EQ(h["media_foundation"], false);
}

TEST(CaptureHealth, RatesFromTwentyFramesFortyMillisecondsApart) {
  SlotState slot;
  slot.open_start_ms = 900;
  for (int i = 0; i < 20; ++i) publishCapturedFrame(slot, testing::squareFrame(64, 48, i, 5), {}, 1000 + 40.0 * i - 4, 1000 + 40.0 * i);
  const nlohmann::json h = captureHealthJson(slot, 1800);
  EXPECT_DOUBLE_EQ(h["recent_fps"].get<double>(), 25.0);
  EXPECT_DOUBLE_EQ(h["actual_fps"].get<double>(), 25.0);
  EXPECT_DOUBLE_EQ(h["frame_age_ms"].get<double>(), 40.0);
  EXPECT_DOUBLE_EQ(h["first_frame_ms"].get<double>(), 100.0);
  EXPECT_DOUBLE_EQ(h["mean_read_seconds"].get<double>(), 0.004);
  EXPECT_EQ(h["retained_frames"], 20);
}

TEST(CaptureHealth, InvalidTextIsReplacedNotFatal) {
  SlotState slot;
  slot.error = std::string("bad \xff byte");
  const nlohmann::json h = nlohmann::json::parse(captureHealthText(slot, 0));
  EXPECT_EQ(h["error"], "bad \xEF\xBF\xBD byte");
}

}  // namespace
}  // namespace tarv
