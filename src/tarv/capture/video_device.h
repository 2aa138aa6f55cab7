// The video devices the native backends stream from. The Linux implementation talks V4L2;
// tests stand in scripted devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarv/capture/camera_controls.h"

namespace tarv {

constexpr uint32_t v4l2Fourcc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(d)) << 24;
}

// One format, size and frame-interval range a device offers (a discrete interval has
// min_interval == max_interval). Intervals in seconds.
struct VideoMode {
  uint32_t fourcc = 0;
  int width = 0;
  int height = 0;
  double min_interval = 0;
  double max_interval = 0;
};

struct VideoDeviceInfo {
  std::string path;
  std::string name;
  std::string bus_info;
  std::string driver;
};

class VideoDevice {
 public:
  enum class Wait { Frame, Timeout, Ended };
  virtual ~VideoDevice() = default;
  virtual std::vector<VideoMode> modes() = 0;
  // Empty text on success, else why the format was refused.
  virtual std::string setFormat(uint32_t fourcc, int width, int height) = 0;
  // Bytes from the start of one row of a raw frame to the next in the format set: drivers pad
  // rows, often at widths that are not a multiple of 16 or 32. 0 when the driver gives none.
  virtual std::size_t bytesPerLine() = 0;
  // Asks for a frame interval (seconds); returns the interval the device took, 0 if unknown.
  virtual double setFrameInterval(double seconds) = 0;
  virtual std::string startStreaming() = 0;
  // Waits up to timeout_ms for the newest frame; Ended carries the reason in `message`.
  virtual Wait waitFrame(int timeout_ms, std::vector<uint8_t>& bytes, std::string& message) = 0;
  virtual void stopStreaming() = 0;
  virtual CameraControls* controls() = 0;
};

class VideoSystem {
 public:
  virtual ~VideoSystem() = default;
  // Capture devices in numeric order of their /dev/video node: index N is the N-th.
  virtual std::vector<VideoDeviceInfo> captureDevices() = 0;
  virtual std::unique_ptr<VideoDevice> open(const std::string& path, std::string& error) = 0;
};

// The V4L2 devices of this machine.
std::shared_ptr<VideoSystem> linuxVideoSystem();

}  // namespace tarv
