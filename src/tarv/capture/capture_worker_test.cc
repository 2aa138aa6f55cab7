#include "tarv/capture/capture_worker.h"

#include <cstdio>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

TEST(CaptureWorker, DeviceTextsThatMayBeOpened) {
  testing::TempDir dir;
  const std::string video = testing::writeTestVideo(dir.path(), 32, 24, 2, 30);
  EXPECT_EQ(classifyDevice("2").kind, DeviceTarget::Kind::Index);
  EXPECT_EQ(classifyDevice("2").index, 2);
  EXPECT_EQ(classifyDevice("/dev/video4").kind, DeviceTarget::Kind::Node);
  EXPECT_EQ(classifyDevice(video).kind, DeviceTarget::Kind::File);
  EXPECT_EQ(classifyDevice(video).api, cv::CAP_FFMPEG);
}

TEST(CaptureWorker, UrlsPipelinesAndOtherFilesAreRefused) {
  testing::TempDir dir;
  const std::string text_file = dir.path() + "/list.m3u8";
  std::ofstream(text_file) << "#EXTM3U\nhttp://example.invalid/a.ts\n";
  for (const std::string& device : {std::string(""), std::string("http://example.invalid/stream.mjpg"),
                                   std::string("videotestsrc ! filesink location=/tmp/x appsink"),
                                   std::string("/dev/video0 ! x"), std::string("99999999999"), dir.path(),
                                   text_file, dir.path() + "/missing.avi", std::string("/dev/null")}) {
    EXPECT_EQ(classifyDevice(device).kind, DeviceTarget::Kind::Refused) << device;
  }
}

// A camera that streams JPEG natively, is lost, cannot be reopened natively, and is then
// taken by the decoded fallback.
TEST(CaptureWorker, FallbackAfterALostNativeStreamStartsClean) {
  auto camera = std::make_shared<testing::ScriptedCamera>();
  camera->modes = {{v4l2Fourcc('M', 'J', 'P', 'G'), 64, 48, 1.0 / 30, 1.0 / 30}};
  camera->samples = {testing::jpegSample(64, 48, 4, 4), testing::jpegSample(64, 48, 20, 4)};
  camera->end_after = true;
  camera->opens_left = 1;
  auto video = std::make_shared<testing::ScriptedVideoSystem>();
  video->cameras = {camera};
  auto control = std::make_shared<testing::ScriptedFrameSource::Control>();
  control->frames = {testing::squareFrame(80, 60, 30, 30)};
  control->backend = "V4L2";
  auto backends = std::make_shared<CaptureBackends>();
  backends->video = video;
  backends->timings = testing::quickTimings();
  backends->open_fallback = [control](const std::string& path, int api) -> std::unique_ptr<FrameSource> {
    if (path != "/dev/video0" || api != cv::CAP_V4L2) return nullptr;
    return std::make_unique<testing::ScriptedFrameSource>(control);
  };
  testing::ScopedBackends scope(backends);
  directSwitch() = 0;

  CaptureSlot slot;
  CaptureRequest request;
  request.device = "0";
  request.width = 64;
  request.height = 48;
  request.api = kNativeApi;
  ASSERT_EQ(slot.open(request), 0);
  std::shared_ptr<SlotState> s = slot.state();
  {
    std::unique_lock<std::mutex> lock(s->mutex);
    ASSERT_TRUE(s->changed.wait_for(lock, std::chrono::seconds(20), [&] { return s->backend == "V4L2" && s->sequence > 2; }));
    EXPECT_FALSE(s->jpeg_mode);
    EXPECT_FALSE(s->reconnecting);
    EXPECT_EQ(s->error, "");
    EXPECT_EQ(s->backend_kind, "");
    EXPECT_TRUE(s->retained_jpegs.empty());
    EXPECT_EQ(s->reconnects, 1);
    EXPECT_EQ(s->media_foundation_fallback, "MF: /dev/video0: No such device");
    EXPECT_EQ(s->latest.size(), cv::Size(80, 60));
  }
  slot.close();
  directSwitch() = 1;
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

// Opens an image file as a camera, waits for `frames` frames and returns the x of the white
// square in every frame seen (-1 when the camera did not open or stopped early).
std::vector<int> squarePositionsPlayed(const std::string& device, int frames) {
  CaptureSlot slot;
  CaptureRequest request;
  request.device = device;
  request.fps = 25;
  std::vector<int> seen;
  if (slot.open(request) != 0) {
    slot.close();
    return {-1};
  }
  std::shared_ptr<SlotState> s = slot.state();
  std::unique_lock<std::mutex> lock(s->mutex);
  int64_t last = 0;
  while (static_cast<int>(seen.size()) < frames) {
    if (!s->changed.wait_for(lock, std::chrono::seconds(20), [&] { return s->sequence > last || !s->running; }) ||
        !s->running) {
      seen.push_back(-1);
      break;
    }
    last = s->sequence;
    cv::Mat grey;
    cv::cvtColor(s->latest, grey, cv::COLOR_BGR2GRAY);
    cv::Point brightest;
    cv::minMaxLoc(grey, nullptr, nullptr, nullptr, &brightest);
    seen.push_back(brightest.x);
  }
  EXPECT_EQ(s->backend, "CV_IMAGES");
  lock.unlock();
  slot.close();
  return seen;
}

TEST(CaptureWorker, AnImageFilePlaysExactlyThatFile) {
  testing::TempDir dir;
  // Neighbours that a numbered-sequence reader would play after (or instead of) the file.
  const std::vector<std::pair<std::string, int>> files = {
      {"/shot-1.png", 4}, {"/shot-2.png", 12}, {"/shot-3.png", 20}, {"/refA.png", 28},
      {"/pat%03d.png", 36}, {"/pat000.png", 4}, {"/pat001.png", 12}};
  for (const auto& [name, x] : files) ASSERT_TRUE(cv::imwrite(dir.path() + name, testing::squareFrame(48, 32, x, 4)));
  for (const auto& [name, x] : std::vector<std::pair<std::string, int>>{{"/shot-1.png", 4}, {"/refA.png", 28}, {"/pat%03d.png", 36}}) {
    const std::vector<int> seen = squarePositionsPlayed(dir.path() + name, 6);
    ASSERT_EQ(seen.size(), 6u) << name;
    for (int position : seen) EXPECT_EQ(position, x) << name;
  }
}

}  // namespace
}  // namespace tarv
