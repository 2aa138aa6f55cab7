#include "tarv/capture/native_stream.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

constexpr uint32_t kMjpg = v4l2Fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kYuyv = v4l2Fourcc('Y', 'U', 'Y', 'V');

VideoMode mode(uint32_t fourcc, int w, int h, double fps_max, double fps_min) {
  return {fourcc, w, h, 1.0 / fps_max, 1.0 / fps_min};
}

TEST(NativeStream, MjpegIntervalWithinTheModeRange) {
  const std::vector<VideoMode> modes = {mode(kMjpg, 640, 480, 30, 30), mode(kMjpg, 1280, 720, 20, 5)};
  MjpegModeChoice c = chooseMjpegMode(modes, 1280, 720, 25);
  ASSERT_TRUE(c.found);
  EXPECT_DOUBLE_EQ(c.interval, 1.0 / 20);
  EXPECT_DOUBLE_EQ(chooseMjpegMode(modes, 1280, 720, 15).interval, 1.0 / 15);
  EXPECT_FALSE(chooseMjpegMode(modes, 1920, 1080, 25).found);
  EXPECT_EQ(chooseMjpegMode(modes, 1920, 1080, 25).sizes, "640x480 1280x720 ");
}

TEST(NativeStream, NoRateRequestTakesTheFastestInterval) {
  const std::vector<VideoMode> range = {mode(kMjpg, 1280, 720, 30, 5)};
  EXPECT_DOUBLE_EQ(chooseMjpegMode(range, 1280, 720, 0).interval, 1.0 / 30);
  const std::vector<VideoMode> discrete = {mode(kYuyv, 1280, 720, 15, 15), mode(kYuyv, 1280, 720, 60, 60),
                                           mode(kYuyv, 1280, 720, 30, 30)};
  EXPECT_DOUBLE_EQ(chooseReaderMode(discrete, kYuyv, 1280, 720, 0).rate, 60);
}

TEST(NativeStream, ReaderTakesTheSlowestRateThatReachesTheRequest) {
  const std::vector<VideoMode> modes = {mode(kMjpg, 1280, 720, 60, 60), mode(kMjpg, 1280, 720, 30, 30),
                                        mode(kMjpg, 1280, 720, 15, 15)};
  EXPECT_DOUBLE_EQ(chooseReaderMode(modes, kMjpg, 1280, 720, 25).rate, 30);
  const std::vector<VideoMode> slow = {mode(kYuyv, 1280, 720, 10, 10), mode(kYuyv, 1280, 720, 15, 15)};
  EXPECT_DOUBLE_EQ(chooseReaderMode(slow, kYuyv, 1280, 720, 25).rate, 15);
  const ReaderModeChoice none = chooseReaderMode(slow, kYuyv, 640, 480, 25);
  EXPECT_FALSE(none.found);
  EXPECT_EQ(none.offered, "1280x720@10 1280x720@15 ");
}

TEST(NativeStream, ReaderAsksForTheRequestedRateBelowTheNative) {
  auto camera = std::make_shared<testing::ScriptedCamera>();
  camera->modes = {mode(kYuyv, 64, 48, 60, 60), mode(kYuyv, 64, 48, 30, 30)};
  const cv::Mat frame(48, 64, CV_8UC2, cv::Scalar(128, 128));
  camera->samples = {std::vector<uint8_t>(frame.data, frame.data + 64 * 48 * 2), std::vector<uint8_t>(100, 7),
                     std::vector<uint8_t>(frame.data, frame.data + 64 * 48 * 2)};
  camera->end_after = true;
  camera->gap_ms = 45;
  testing::ScriptedVideoSystem video;
  video.cameras = {camera};
  SlotState slot;
  std::atomic<bool> stop{false};
  const BackendRunResult r = runRawReader(slot, stop, video, testing::quickTimings(), 0, 64, 48, 25, "YUY2");
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.message, "CAMERA_UNAVAILABLE: stream ended (ENODEV)");
  EXPECT_DOUBLE_EQ(camera->interval.load(), 1.0 / 25);
  std::lock_guard<std::mutex> lock(slot.mutex);
  EXPECT_EQ(slot.native_fps, 30);
  EXPECT_EQ(slot.reported_fps, 25);
  EXPECT_EQ(slot.codec, "YUY2");
  EXPECT_EQ(slot.sequence, 2);
  EXPECT_EQ(slot.corrupt_frames, 1);  // the short sample
  EXPECT_FALSE(slot.jpeg_mode);
  EXPECT_EQ(slot.latest.size(), cv::Size(64, 48));
}

TEST(NativeStream, ReaderFailuresBeforeStartLeaveTheSlotAlone) {
  testing::ScriptedVideoSystem video;
  SlotState slot;
  std::atomic<bool> stop{false};
  BackendRunResult r = runRawReader(slot, stop, video, testing::quickTimings(), 3, 64, 48, 25, "NV12");
  EXPECT_FALSE(r.started);
  EXPECT_EQ(r.message, "MF: no device path for index 3");
  r = runMjpegStream(slot, stop, video, testing::quickTimings(), 3, 64, 48, 25);
  EXPECT_EQ(r.message, "DIRECT: no video device at index 3");
  auto camera = std::make_shared<testing::ScriptedCamera>();
  camera->modes = {mode(kMjpg, 640, 480, 30, 30), mode(kMjpg, 320, 240, 30, 30)};
  video.cameras = {camera};
  r = runMjpegStream(slot, stop, video, testing::quickTimings(), 0, 1280, 720, 25);
  EXPECT_EQ(r.message, "DIRECT: MJPG 1280x720 not offered (MJPG sizes: 640x480 320x240 )");
  r = runRawReader(slot, stop, video, testing::quickTimings(), 0, 640, 480, 25, "NV12");
  EXPECT_EQ(r.message, "MF: NV12 640x480 not offered ()");
  std::lock_guard<std::mutex> lock(slot.mutex);
  EXPECT_FALSE(slot.opened);
  EXPECT_EQ(slot.backend, "");
}

TEST(NativeStream, SilentCameraIsLostAfterTheGap) {
  auto camera = std::make_shared<testing::ScriptedCamera>();
  camera->modes = {mode(kMjpg, 64, 48, 30, 30)};
  camera->samples = {testing::jpegSample(64, 48, 5, 5)};
  testing::ScriptedVideoSystem video;
  video.cameras = {camera};
  SlotState slot;
  std::atomic<bool> stop{false};
  const BackendRunResult r = runMjpegStream(slot, stop, video, testing::quickTimings(), 0, 64, 48, 0);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.message, "CAMERA_UNAVAILABLE: no samples for 5 s");
  std::lock_guard<std::mutex> lock(slot.mutex);
  EXPECT_EQ(slot.backend, kMjpegStreamBackend);
  EXPECT_EQ(slot.format_before_retry, "direct");
  EXPECT_EQ(slot.reported_fps, 30);
  EXPECT_EQ(slot.sequence, 1);
}

// A raw frame laid out at the driver's stride: each packed row followed by filler bytes.
std::vector<uint8_t> paddedRows(const cv::Mat& packed, std::size_t stride) {
  const std::size_t row = packed.cols * packed.elemSize();
  std::vector<uint8_t> bytes(stride * static_cast<std::size_t>(packed.rows), 0xEE);
  for (int y = 0; y < packed.rows; ++y) std::copy(packed.ptr(y), packed.ptr(y) + row, bytes.data() + stride * y);
  return bytes;
}

TEST(NativeStream, RawRowsAreReadAtTheDriversStride) {
  constexpr uint32_t kNv12 = v4l2Fourcc('N', 'V', '1', '2');
  for (const uint32_t format : {kYuyv, kNv12}) {
    const bool nv12 = format == kNv12;
    const int width = 66;  // not a multiple of 16 or 32: the driver pads its rows
    const int height = 48;
    cv::Mat packed(nv12 ? height * 3 / 2 : height, width, nv12 ? CV_8UC1 : CV_8UC2);
    for (int y = 0; y < packed.rows; ++y) {
      for (int x = 0; x < packed.cols * packed.channels(); ++x) packed.ptr(y)[x] = static_cast<uint8_t>(16 + (3 * x + 5 * y) % 200);
    }
    cv::Mat expected;
    cv::cvtColor(packed, expected, nv12 ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2BGR_YUY2);
    auto camera = std::make_shared<testing::ScriptedCamera>();
    camera->modes = {mode(format, width, height, 30, 30)};
    camera->bytes_per_line = packed.cols * packed.elemSize() + 30;
    camera->samples = {paddedRows(packed, camera->bytes_per_line)};
    camera->end_after = true;
    testing::ScriptedVideoSystem video;
    video.cameras = {camera};
    SlotState slot;
    std::atomic<bool> stop{false};
    const BackendRunResult r =
        runRawReader(slot, stop, video, testing::quickTimings(), 0, width, height, 0, nv12 ? "NV12" : "YUY2");
    EXPECT_TRUE(r.started);
    std::lock_guard<std::mutex> lock(slot.mutex);
    ASSERT_EQ(slot.sequence, 1) << (nv12 ? "NV12" : "YUYV");
    ASSERT_EQ(slot.latest.size(), expected.size());
    EXPECT_EQ(cv::norm(slot.latest, expected, cv::NORM_INF), 0) << (nv12 ? "NV12" : "YUYV");
  }
}

// Settling weighs only frames that were handed out: a stream of broken samples after a few
// good ones must not look like a steady picture.
TEST(NativeStream, ExposureSettlingSkipsDroppedSamples) {
  const int32_t before = exposureLockSwitch().exchange(1);
  auto camera = std::make_shared<testing::ScriptedCamera>();
  camera->modes = {mode(kMjpg, 64, 48, 30, 30)};
  for (int i = 0; i < 10; ++i) camera->samples.push_back(testing::jpegSample(64, 48, 5, 5));
  for (int i = 0; i < 150; ++i) camera->samples.push_back(std::vector<uint8_t>(100, 7));  // no JPEG start
  camera->gap_ms = 20;
  camera->end_after = true;
  testing::ScriptedVideoSystem video;
  video.cameras = {camera};
  SlotState slot;
  std::atomic<bool> stop{false};
  const BackendRunResult r = runMjpegStream(slot, stop, video, testing::quickTimings(), 0, 64, 48, 0);
  exposureLockSwitch() = before;
  EXPECT_TRUE(r.started);
  std::lock_guard<std::mutex> lock(slot.mutex);
  EXPECT_EQ(slot.frames, 10);
  EXPECT_EQ(slot.truncated_frames, 150);
  EXPECT_EQ(slot.exposure_lock.find("level="), std::string::npos) << slot.exposure_lock;
  std::lock_guard<std::mutex> controls(camera->controls_mutex);
  for (const std::string& set : camera->controls.log) EXPECT_NE(set, "exposure=manual");
}

}  // namespace
}  // namespace tarv
