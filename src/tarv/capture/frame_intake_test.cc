#include "tarv/capture/frame_intake.h"

#include <gtest/gtest.h>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

using testing::jpegSample;
using testing::squareFrame;

TEST(FrameIntake, DecodedFramesAreNumberedReducedAndMasked) {
  SlotState slot;
  publishCapturedFrame(slot, squareFrame(320, 240, 20, 80), {}, 0, 5);
  EXPECT_EQ(slot.sequence, 1);
  EXPECT_EQ(slot.mask_pixels, -1);
  EXPECT_EQ(slot.motion_pixels, -1);  // nothing retained to compare with yet
  EXPECT_EQ(slot.reduced.size(), cv::Size(80, 60));
  publishCapturedFrame(slot, squareFrame(320, 240, 120, 80), {}, 10, 45);
  EXPECT_EQ(slot.sequence, 2);
  EXPECT_GT(slot.mask_pixels, 0);
  EXPECT_EQ(slot.last_read_ms, 35);
  EXPECT_EQ(slot.retained_frames.size(), 2u);
  EXPECT_EQ(slot.receive_times.back().ms, 45);
}

TEST(FrameIntake, JpegFramingFaultsAreCountedNotPublished) {
  SlotState slot;
  const std::vector<uint8_t> jpeg = jpegSample(320, 240, 20, 80);
  publishCapturedFrame(slot, cv::Mat(), jpeg, 0, 1);
  EXPECT_EQ(slot.motion_pixels, 0);  // the first JPEG sets the comparison image
  std::vector<uint8_t> padded = jpeg;
  padded.insert(padded.end(), 64, 0xAB);
  publishCapturedFrame(slot, cv::Mat(), padded, 0, 2);
  publishCapturedFrame(slot, cv::Mat(), std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 300), 0, 3);
  // Framing intact (SOI ... EOI), nothing decodable in between.
  std::vector<uint8_t> broken = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xD9};
  publishCapturedFrame(slot, cv::Mat(), broken, 0, 4);
  EXPECT_EQ(slot.sequence, 2);
  EXPECT_EQ(slot.padded_frames, 1);
  EXPECT_EQ(slot.truncated_frames, 1);
  EXPECT_EQ(slot.corrupt_frames, 1);
  EXPECT_EQ(slot.retained_jpegs.back().bytes.size(), jpeg.size());
}

TEST(FrameIntake, RetainedFramesAreBoundedByBytes) {
  // Twenty retained 4096x3072 frames would hold 750 MB; the same matrix published again and
  // again is counted at its full size each time without allocating it again.
  SlotState slot;
  const cv::Mat big(3072, 4096, CV_8UC3, cv::Scalar(1, 2, 3));
  for (int i = 0; i < 24; ++i) publishCapturedFrame(slot, big, {}, i * 40.0, i * 40.0);
  EXPECT_EQ(slot.sequence, 24);
  const std::size_t bytes = slot.retained_frames.size() * big.total() * big.elemSize();
  EXPECT_LE(bytes, kRetainBytesLimit);
  EXPECT_GE(slot.retained_frames.size(), 2u);
  EXPECT_EQ(slot.receive_times.size(), 20u);

  SlotState small;
  for (int i = 0; i < 24; ++i) publishCapturedFrame(small, squareFrame(64, 48, i, 10), {}, i, i);
  EXPECT_EQ(small.retained_frames.size(), 20u);
  EXPECT_EQ(small.retained_frames.front().sequence, 5);
}

TEST(FrameIntake, ClosedSlotTakesNoFrames) {
  SlotState slot;
  slot.closed = true;
  publishCapturedFrame(slot, squareFrame(64, 48, 10, 10), {}, 0, 1);
  EXPECT_EQ(slot.sequence, 0);
}

TEST(FrameIntake, PacingCountsDroppedFrames) {
  SlotState slot;
  int dropped = 0;
  for (int i = 0; i < 30; ++i) dropped += shouldSkipForPacing(slot, i * (1000.0 / 30.0), 25) ? 1 : 0;
  EXPECT_EQ(slot.paced_frames, dropped);
  EXPECT_GT(dropped, 0);
}

}  // namespace
}  // namespace tarv
