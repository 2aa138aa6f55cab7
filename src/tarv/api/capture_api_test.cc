// The capture exports as a host sees them: argument codes, a file camera through OpenCV, and
// a scripted V4L2 camera streaming JPEG samples.
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarv/capture/capture_test_support.h"
#include "tarv/tarv.h"

namespace {

using nlohmann::json;
namespace tt = tarv::testing;

json health(uint32_t camera) { return json::parse(tarv_capture_health(camera)); }

// Polls the health document until `ready` holds (or 20 s pass).
json healthWhen(uint32_t camera, const std::function<bool(const json&)>& ready) {
  json h = health(camera);
  for (int i = 0; i < 2000 && !ready(h); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    h = health(camera);
  }
  return h;
}

class CaptureExports : public ::testing::Test {
 protected:
  void TearDown() override {
    tarv_capture_close(0);
    tarv_capture_close(1);
    tarv_capture_media_foundation(1);
    tarv_capture_direct(1);
    tarv::setCaptureBackends(nullptr);
  }
};

TEST_F(CaptureExports, ArgumentCodes) {
  uint8_t buffer[16];
  uint32_t sequence = 0;
  double seconds = 0;
  EXPECT_EQ(tarv_capture_open(3, "0", 640, 480, 25, "MJPG", 700), -1);
  EXPECT_EQ(tarv_capture_open(0, nullptr, 640, 480, 25, "MJPG", 700), -1);
  EXPECT_EQ(tarv_capture_wait(3, 0, buffer, 16, nullptr, nullptr), -1);
  EXPECT_EQ(tarv_capture_wait(0, 0, nullptr, 16, nullptr, nullptr), -1);
  EXPECT_EQ(tarv_capture_wait_stats(0, 0, buffer, 16, nullptr, 16, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(tarv_capture_copy(3, 0, buffer, 16), -1);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 0, 2, nullptr, 16), -1);
  EXPECT_EQ(tarv_capture_peek_motion(0, 0, buffer, 16, &sequence, nullptr), -1);
  EXPECT_EQ(tarv_capture_received(3, 1), -1.0);
  EXPECT_EQ(tarv_capture_received(0, 12345), -1.0);
  tarv_capture_close(3);
  tarv_capture_gate(3, 1, 1);
  EXPECT_STREQ(tarv_capture_health(3), "{}");
  // A camera that never opened: nothing to wait for.
  EXPECT_EQ(tarv_capture_wait(2, 0, buffer, 16, &sequence, &seconds), -3);
  EXPECT_EQ(tarv_capture_copy(2, 0, buffer, 16), 0);
}

TEST(CaptureLibrary, ExportsTheCaptureFunctions) {
  void* library = dlopen(TARV_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name :
       {"tarv_capture_open", "tarv_capture_close", "tarv_capture_gate", "tarv_capture_wait",
        "tarv_capture_wait_stats", "tarv_capture_copy", "tarv_capture_copy_reduced", "tarv_capture_peek_motion",
        "tarv_capture_received", "tarv_capture_direct", "tarv_capture_media_foundation",
        "tarv_capture_lock_exposure", "tarv_capture_lock_white_balance", "tarv_capture_selftest_jpeg_end",
        "tarv_capture_health", "tarv_capture_enumerate", "tarv_capture_modes"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  dlclose(library);
}

TEST_F(CaptureExports, NeverOpenedCameraHasTheFullDocument) {
  const std::string text = tarv_capture_health(2);
  const json h = json::parse(text);
  EXPECT_EQ(h.size(), 34u);
  EXPECT_EQ(text.rfind("{\"actual_fps\":0.0,", 0), 0u);
  EXPECT_EQ(h["opened"], false);
  EXPECT_EQ(h["running"], false);
  EXPECT_EQ(h["open_ms"], -1.0);
  EXPECT_EQ(h["frames"], 0);
  EXPECT_EQ(h["backend"], "");
  EXPECT_EQ(h["turbo"], true);
}

TEST_F(CaptureExports, SelfTestAndClock) {
  EXPECT_EQ(tarv_capture_selftest_jpeg_end(), 1);
  const double a = tarv_monotonic_seconds();
  const double b = tarv_monotonic_seconds();
  EXPECT_LE(a, b);
  EXPECT_GT(a, 0);
}

TEST_F(CaptureExports, UnavailableDevicesAndRefusedTexts) {
  EXPECT_EQ(tarv_capture_open(0, "/dev/video97", 640, 480, 25, "MJPG", 0), -2);
  EXPECT_EQ(health(0)["error"], "CAMERA_UNAVAILABLE");
  EXPECT_EQ(tarv_capture_open(0, "/dev/video97", 640, 480, 25, "MJPG", 0), -3);
  tarv_capture_close(0);
  EXPECT_EQ(tarv_capture_open(0, "rtsp://example.invalid/live", 640, 480, 25, nullptr, 0), -2);
  tarv_capture_close(0);
  EXPECT_EQ(tarv_capture_open(0, "videotestsrc ! appsink", 640, 480, 25, nullptr, 0), -2);
  tarv_capture_close(0);
  EXPECT_EQ(tarv_capture_open(0, "", 640, 480, 25, nullptr, 0), -2);
  tarv_capture_close(0);
}

TEST_F(CaptureExports, FileCamera) {
  tt::TempDir dir;
  const std::string file = tt::writeTestVideo(dir.path(), 320, 240, 20, 30);
  const double before = tarv_monotonic_seconds();
  // Numbers that turn negative as signed 32-bit values are refused, and nothing starts.
  EXPECT_EQ(tarv_capture_open(0, file.c_str(), 0, 0, 0x80000000u, nullptr, 0), -1);
  EXPECT_EQ(tarv_capture_open(0, file.c_str(), 0, 0, UINT32_MAX, nullptr, 0), -1);
  EXPECT_EQ(tarv_capture_open(0, file.c_str(), 0x80000000u, 240, 0, nullptr, 0), -1);
  EXPECT_EQ(tarv_capture_open(0, file.c_str(), 320, UINT32_MAX, 0, nullptr, 0), -1);
  ASSERT_EQ(tarv_capture_open(0, file.c_str(), 0, 0, 0, nullptr, 0), 0);

  std::vector<uint8_t> frame(320 * 240 * 3);
  uint32_t sequence = 0;
  double read_ms = -1;
  // Without a frame-rate request the file plays at its own 30 frames a second.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(tarv_capture_wait(0, 500, frame.data(), static_cast<int64_t>(frame.size()), &sequence, &read_ms), 1);
  }
  EXPECT_GE(read_ms, 0);
  const double received = tarv_capture_received(0, static_cast<int32_t>(sequence));
  EXPECT_GE(received, before);
  EXPECT_LE(received, tarv_monotonic_seconds());

  // A buffer one byte short leaves the frame unseen for the next call.
  ASSERT_EQ(tarv_capture_wait(0, 1000, frame.data(), static_cast<int64_t>(frame.size()) - 1, &sequence, nullptr), -2);
  uint32_t again = 0;
  EXPECT_EQ(tarv_capture_wait(0, 0, frame.data(), static_cast<int64_t>(frame.size()), &again, nullptr), 1);
  EXPECT_GE(again, sequence);
  // The frame is the picture: the square is white, the ground is not.
  const uint8_t* ground = &frame[(5 * 320 + 300) * 3];
  EXPECT_LT(ground[0], 80);

  std::vector<uint8_t> copy(frame.size());
  EXPECT_EQ(tarv_capture_copy(0, 0, copy.data(), copy.size()), 1);
  EXPECT_EQ(tarv_capture_copy(0, static_cast<int32_t>(again), copy.data(), copy.size()), 1);
  EXPECT_EQ(tarv_capture_copy(0, 0, copy.data(), copy.size() + 3), -2);
  std::vector<uint8_t> reduced(107 * 80 * 3);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 0, 3, reduced.data(), reduced.size()), 1);
  // A factor beyond any frame is a bad argument, not an overflow in the size arithmetic.
  std::vector<uint8_t> pixel(3);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 0, INT32_MAX, pixel.data(), pixel.size()), -1);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 0, 8193, pixel.data(), pixel.size()), -1);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 0, 8192, pixel.data(), pixel.size()), 1);

  std::vector<uint8_t> quarter(80 * 60 * 3);
  std::vector<uint8_t> mask(80 * 60);
  int32_t mask_pixels = 0;
  int32_t motion_pixels = 0;
  ASSERT_EQ(tarv_capture_wait_stats(0, 1000, quarter.data(), quarter.size(), mask.data(), mask.size(), &sequence,
                                    nullptr, &mask_pixels, &motion_pixels),
            1);
  EXPECT_GT(mask_pixels, 0);  // the square moves 12 pixels a frame
  double seconds = 0;
  uint32_t peeked = 0;
  ASSERT_EQ(tarv_capture_peek_motion(0, 0, mask.data(), mask.size(), &peeked, &seconds), 1);
  EXPECT_EQ(tarv_capture_received(0, static_cast<int32_t>(peeked)), seconds);
  EXPECT_EQ(tarv_capture_peek_motion(0, static_cast<int32_t>(peeked) + 100, mask.data(), mask.size(), &peeked, &seconds), 0);
  EXPECT_EQ(tarv_capture_peek_motion(0, 0, mask.data(), mask.size() - 1, &peeked, &seconds), -2);

  const json h = health(0);
  EXPECT_EQ(h["opened"], true);
  EXPECT_EQ(h["running"], true);
  EXPECT_EQ(h["backend"], "FFMPEG");
  EXPECT_EQ(h["direct_graph"], false);
  EXPECT_EQ(h["requested_fps"], 0.0);
  EXPECT_EQ(h["reported_fps"], 30.0);
  EXPECT_EQ(h["reported_width"], 320);
  EXPECT_GT(h["frames"].get<int>(), 6);
  EXPECT_GE(h["open_ms"].get<double>(), 0.0);
  EXPECT_GE(h["first_frame_ms"].get<double>(), 0.0);
  EXPECT_GT(h["actual_fps"].get<double>(), 0.0);
  EXPECT_EQ(h["format_before_retry"], "");

  // A gate setting survives reopening; a failed reopen has no open time.
  tarv_capture_gate(0, 0, 1000);
  tarv_capture_close(0);
  EXPECT_EQ(health(0)["running"], false);
  // An unseen frame stays readable after close; after it the camera answers stopped.
  tarv_capture_wait(0, 0, frame.data(), static_cast<int64_t>(frame.size()), &sequence, nullptr);
  EXPECT_EQ(tarv_capture_wait(0, 0, frame.data(), static_cast<int64_t>(frame.size()), &sequence, nullptr), -3);
  EXPECT_EQ(tarv_capture_open(0, (dir.path() + "/missing.avi").c_str(), 0, 0, 0, nullptr, 0), -2);
  EXPECT_EQ(health(0)["open_ms"], -1.0);
  tarv_capture_close(0);
  const std::shared_ptr<tarv::SlotState> state = tarv::captureSlots()[0].state();
  std::lock_guard<std::mutex> lock(state->mutex);
  EXPECT_EQ(state->min_blob_area, 0);
  EXPECT_EQ(state->measure_interval_ms, 1000);
}

TEST_F(CaptureExports, ConcurrentHealthReadersKeepTheirTexts) {
  tt::TempDir dir;
  ASSERT_EQ(tarv_capture_open(1, tt::writeTestVideo(dir.path(), 64, 48, 10, 30).c_str(), 0, 0, 25, nullptr, 0), 0);
  std::vector<std::thread> readers;
  std::atomic<int> parsed{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        const char* text = tarv_capture_health(1);
        if (json::parse(text, nullptr, false).is_object()) ++parsed;
      }
    });
  }
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(parsed.load(), 1200);
}

class ScriptedJpegCamera : public CaptureExports {
 protected:
  std::shared_ptr<tt::ScriptedCamera> camera = std::make_shared<tt::ScriptedCamera>();
  std::unique_ptr<tt::ScopedBackends> scope;

  void install(int reconnect_pause_ms) {
    camera->modes = {{tarv::v4l2Fourcc('M', 'J', 'P', 'G'), 64, 48, 1.0 / 30, 1.0 / 30}};
    const std::vector<uint8_t> good = tt::jpegSample(64, 48, 4, 4);
    std::vector<uint8_t> padded = tt::jpegSample(64, 48, 12, 4);
    padded.insert(padded.end(), {0x12, 0x34, 0x56});
    const std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    const std::vector<uint8_t> corrupt = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xD9};
    camera->samples = {good, padded, truncated, corrupt, tt::jpegSample(64, 48, 20, 4)};
    camera->end_after = true;
    camera->opens_left = 1;
    auto video = std::make_shared<tt::ScriptedVideoSystem>();
    video->cameras = {camera};
    auto backends = std::make_shared<tarv::CaptureBackends>();
    backends->video = video;
    backends->timings = tt::quickTimings();
    backends->timings.reconnect_pause_ms = reconnect_pause_ms;
    backends->open_fallback = [](const std::string&, int) { return nullptr; };
    scope = std::make_unique<tt::ScopedBackends>(backends);
  }
};

TEST_F(ScriptedJpegCamera, FramingFaultsCountedAndLossShowsReconnecting) {
  install(60000);
  tarv_capture_media_foundation(0);
  ASSERT_EQ(tarv_capture_open(0, "0", 64, 48, 0, "MJPG", 700), 0);
  const json h = healthWhen(0, [](const json& h) { return h["reconnecting"] == true; });
  EXPECT_EQ(h["backend"], "V4L2_MJPG");
  EXPECT_EQ(h["direct_graph"], true);
  EXPECT_EQ(h["media_foundation"], false);
  EXPECT_EQ(h["frames"], 3);
  EXPECT_EQ(h["padded_frames"], 1);
  EXPECT_EQ(h["truncated_frames"], 1);
  EXPECT_EQ(h["corrupt_frames"], 1);
  EXPECT_EQ(h["reconnects"], 1);
  EXPECT_EQ(h["running"], true);
  EXPECT_EQ(h["error"], "CAMERA_UNAVAILABLE: stream ended (ENODEV)");
  EXPECT_EQ(h["exposure_lock"], "exposure=auto wb=auto");

  // Retained JPEGs: full size, and the decoder's half scale for factor 3.
  std::vector<uint8_t> full(64 * 48 * 3);
  EXPECT_EQ(tarv_capture_copy(0, 0, full.data(), full.size()), 1);
  std::vector<uint8_t> half(32 * 24 * 3);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 0, 3, half.data(), half.size()), 1);
  EXPECT_EQ(tarv_capture_copy_reduced(0, 1, 4, half.data(), half.size()), -2);

  // A waiting call is woken by close during the reconnect pause, which close cuts short.
  std::vector<uint8_t> quarter(16 * 12 * 3);
  std::vector<uint8_t> mask(16 * 12);
  uint32_t sequence = 0;
  ASSERT_EQ(tarv_capture_wait(0, 0, full.data(), static_cast<int64_t>(full.size()), &sequence, nullptr), 1);
  std::atomic<int32_t> waited{1};
  std::thread waiter([&] {
    waited = tarv_capture_wait_stats(0, 60000, quarter.data(), quarter.size(), mask.data(), mask.size(), &sequence,
                                     nullptr, nullptr, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  tarv_capture_close(0);
  waiter.join();
  EXPECT_EQ(waited.load(), -4);
  EXPECT_EQ(health(0)["running"], false);
}

TEST_F(ScriptedJpegCamera, DeviceListAndModes) {
  install(100);
  const json devices = json::parse(tarv_capture_enumerate());
  EXPECT_EQ(devices["status"], "OK");
  ASSERT_EQ(devices["devices"].size(), 1u);
  EXPECT_EQ(devices["devices"][0]["name"], "Scripted 0");
  EXPECT_EQ(std::string(tarv_capture_modes(0)),
            "{\"index\":0,\"modes\":[{\"fourcc\":\"MJPG\",\"fps_max\":30,\"fps_min\":30,\"height\":48,"
            "\"width\":64}],\"pins_seen\":1,\"status\":\"OK\",\"types_seen\":1,\"unknown_timing\":0}");
  EXPECT_EQ(json::parse(tarv_capture_modes(5))["error"], "device not found");
}

TEST_F(ScriptedJpegCamera, ReaderTakesMjpegFirst) {
  install(100);
  camera->gap_ms = 45;  // 22 a second: pacing to 25 drops none
  ASSERT_EQ(tarv_capture_open(0, "0", 64, 48, 30, "MJPG", 700), 0);
  const json h = healthWhen(0, [](const json& h) { return h["frames"] == 3; });
  EXPECT_EQ(h["backend"], "V4L2_READER");
  EXPECT_EQ(h["media_foundation"], true);
  EXPECT_EQ(h["direct_graph"], true);
  EXPECT_EQ(h["requested_fps"], 25.0);
  EXPECT_EQ(h["native_fps"], 30.0);
  EXPECT_EQ(h["format_before_retry"], "media foundation");
}

}  // namespace
