// Scripted cameras for the capture tests: V4L2-like devices that deliver a script of samples
// through a newest-sample mailbox, OpenCV-like frame sources, JPEG samples and test videos.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/capture/capture_worker.h"
#include "tarv/capture/sample_mailbox.h"
#include "tarv/capture/video_device.h"

namespace tarv::testing {

// Camera controls with their values kept in memory; every set is logged.
class FakeControls : public CameraControls {
 public:
  struct Entry {
    bool present = true;
    ControlReading reading;
    bool offers_auto = true;
    bool set_fails = false;
  };
  Entry exposure{true, {-6, true}, true, false};
  Entry focus{true, {30, true}, true, false};
  Entry white_balance{true, {4600, true}, true, false};
  std::vector<std::string> log;

  bool get(CameraControl c, ControlReading& r) override;
  bool set(CameraControl c, int32_t value, bool automatic) override;
  bool offersAuto(CameraControl c) override { return entry(c).offers_auto; }
  Entry& entry(CameraControl c);
};

// A scripted camera: its modes, the samples it delivers once streaming, and how it ends.
struct ScriptedCamera {
  std::vector<VideoMode> modes;
  std::vector<std::vector<uint8_t>> samples;
  bool repeat = false;          // deliver the samples again and again
  int gap_ms = 2;               // between two samples
  bool end_after = false;       // after the samples the stream ends with end_message
  std::string end_message = "ENODEV";
  std::size_t bytes_per_line = 0;  // the row stride the driver reports for raw formats
  std::atomic<int> opens_left{1 << 20};
  std::atomic<int> opens{0};
  FakeControls controls;
  std::mutex controls_mutex;
  // Format and interval the device was given.
  std::atomic<uint32_t> format{0};
  std::atomic<double> interval{0};
};

class ScriptedVideoSystem : public VideoSystem {
 public:
  std::vector<std::shared_ptr<ScriptedCamera>> cameras;
  std::vector<VideoDeviceInfo> captureDevices() override;
  std::unique_ptr<VideoDevice> open(const std::string& path, std::string& error) override;
};

// A frame source of the fallback path. read() hands out `frames` in turn (looping), or
// blocks while `hang` is set, or runs `on_read` first.
class ScriptedFrameSource : public FrameSource {
 public:
  struct Control {
    std::vector<cv::Mat> frames;
    std::string backend = "SCRIPTED";
    double fps = 30;
    std::mutex mutex;
    std::condition_variable released;
    bool hang = false;
    std::atomic<int> reads{0};
    std::atomic<int> hung_reads{0};  // reads that found `hang` set
    std::atomic<int> destroyed{0};   // sources destroyed
    std::function<void()> on_read;
    void release();
  };
  explicit ScriptedFrameSource(std::shared_ptr<Control> control) : control_(std::move(control)) {}
  ~ScriptedFrameSource() override { ++control_->destroyed; }
  bool read(cv::Mat& frame) override;
  double get(int property) override;
  bool set(int, double) override { return true; }
  std::string backendName() override { return control_->backend; }

 private:
  std::shared_ptr<Control> control_;
  std::size_t next_ = 0;
};

// Installs backends for the test's lifetime and restores the machine's own afterwards.
class ScopedBackends {
 public:
  explicit ScopedBackends(std::shared_ptr<CaptureBackends> backends);
  ~ScopedBackends();
};

// Short waits so that losses and reconnects happen within a test.
CaptureTimings quickTimings();

// A JPEG of a w x h picture with a square at (x, y).
std::vector<uint8_t> jpegSample(int width, int height, int square_x, int square_y);
cv::Mat squareFrame(int width, int height, int square_x, int square_y);

// A temporary folder removed with its files at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An MJPG .avi of `frames` frames with a square moving 12 pixels a frame.
std::string writeTestVideo(const std::string& dir, int width, int height, int frames, double fps);

}  // namespace tarv::testing
