#include "tarv/capture/device_probe.h"

#include <gtest/gtest.h>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

TEST(DeviceProbe, NoDevices) {
  testing::ScriptedVideoSystem video;
  EXPECT_EQ(enumerateCaptureDevices(video).dump(), "{\"devices\":[],\"source\":\"NATIVE_V4L2\",\"status\":\"OK\"}");
  EXPECT_EQ(probeCaptureModes(video, 7).dump(),
            "{\"error\":\"device not found\",\"index\":7,\"modes\":[],\"pins_seen\":0,\"status\":\"UNKNOWN\","
            "\"types_seen\":0,\"unknown_timing\":0}");
}

TEST(DeviceProbe, ModesOfOneDevice) {
  constexpr uint32_t kMjpg = v4l2Fourcc('M', 'J', 'P', 'G');
  auto camera = std::make_shared<testing::ScriptedCamera>();
  camera->modes = {{kMjpg, 1280, 720, 1.0 / 30, 1.0 / 5},
                   {kMjpg, 1280, 720, 1.0 / 30, 1.0 / 5},
                   {kMjpg, 1280, 720, 1.0 / 30, 1.0 / 30},
                   {v4l2Fourcc('Y', 'U', 'Y', 'V'), 640, 480, 0, 0}};
  testing::ScriptedVideoSystem video;
  video.cameras = {std::make_shared<testing::ScriptedCamera>(), camera};
  const nlohmann::json devices = enumerateCaptureDevices(video);
  ASSERT_EQ(devices["devices"].size(), 2u);
  EXPECT_EQ(devices["devices"][1]["dshow_index"], 1);
  EXPECT_EQ(devices["devices"][1]["moniker"], "/dev/video2");
  const nlohmann::json modes = probeCaptureModes(video, 1);
  EXPECT_EQ(modes["status"], "OK");
  EXPECT_EQ(modes["types_seen"], 4);
  EXPECT_EQ(modes["unknown_timing"], 1);
  EXPECT_EQ(modes["modes"].dump(),
            "[{\"fourcc\":\"MJPG\",\"fps_max\":30,\"fps_min\":5,\"height\":720,\"width\":1280},"
            "{\"fourcc\":\"MJPG\",\"fps_max\":30,\"fps_min\":30,\"height\":720,\"width\":1280}]");
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

TEST(LinuxVideoSystem, RefusesWhatIsNotACaptureDevice) {
  const std::shared_ptr<VideoSystem> video = linuxVideoSystem();
  std::string error;
  EXPECT_EQ(video->open("/dev/null", error), nullptr);
  EXPECT_EQ(error, "/dev/null is not a streaming capture device");
  EXPECT_EQ(video->open("/dev/video-missing", error), nullptr);
  EXPECT_EQ(error.rfind("/dev/video-missing: ", 0), 0u);
  for (const VideoDeviceInfo& d : video->captureDevices()) EXPECT_EQ(d.path.rfind("/dev/video", 0), 0u);
}

}  // namespace
}  // namespace tarv
