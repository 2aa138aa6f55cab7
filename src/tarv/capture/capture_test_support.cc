#include "tarv/capture/capture_test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tarv/core/opencv_threads.h"

namespace tarv::testing {

// Camera workers run OpenCV with the library's setting; the tests that publish frames on
// their own thread take the same setting from the start.
const bool kOneOpenCvThread = (useLibraryOpenCvThreads(), true);

FakeControls::Entry& FakeControls::entry(CameraControl c) {
  switch (c) {
    case CameraControl::Exposure:
      return exposure;
    case CameraControl::Focus:
      return focus;
    case CameraControl::WhiteBalance:
      break;
  }
  return white_balance;
}

bool FakeControls::get(CameraControl c, ControlReading& r) {
  const Entry& e = entry(c);
  if (!e.present) return false;
  r = e.reading;
  return true;
}

bool FakeControls::set(CameraControl c, int32_t value, bool automatic) {
  Entry& e = entry(c);
  const char* names[] = {"exposure", "focus", "wb"};
  log.push_back(std::string(names[static_cast<int>(c)]) + (automatic ? "=auto" : "=manual"));
  if (!e.present || e.set_fails) return false;
  e.reading = {value, automatic};
  return true;
}

namespace {

// Delivers the script through a mailbox from its own thread, one sample after the worker
// took the one before, as a camera's streaming thread would.
class ScriptedDevice : public VideoDevice, public CameraControls {
 public:
  explicit ScriptedDevice(std::shared_ptr<ScriptedCamera> camera) : camera_(std::move(camera)) {}
  ~ScriptedDevice() override { stopStreaming(); }

  std::vector<VideoMode> modes() override { return camera_->modes; }
  std::string setFormat(uint32_t fourcc, int width, int height) override {
    for (const VideoMode& m : camera_->modes) {
      if (m.fourcc == fourcc && m.width == width && m.height == height) {
        camera_->format = fourcc;
        return {};
      }
    }
    return "format refused";
  }
  std::size_t bytesPerLine() override { return camera_->bytes_per_line; }
  double setFrameInterval(double seconds) override {
    camera_->interval = seconds;
    return seconds;
  }
  std::string startStreaming() override {
    producer_ = std::thread([this] { produce(); });
    return {};
  }
  Wait waitFrame(int timeout_ms, std::vector<uint8_t>& bytes, std::string& message) override {
    static const std::atomic<bool> never{false};
    const SampleMailbox::Take take = mailbox_.take(timeout_ms, never, bytes);
    if (take == SampleMailbox::Take::Sample) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++taken_;
      }
      taken_cv_.notify_all();
      return Wait::Frame;
    }
    if (take == SampleMailbox::Take::Ended) {
      message = camera_->end_message;
      return Wait::Ended;
    }
    return Wait::Timeout;
  }
  void stopStreaming() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    taken_cv_.notify_all();
    if (producer_.joinable()) producer_.join();
  }
  CameraControls* controls() override { return this; }
  bool get(CameraControl c, ControlReading& r) override {
    std::lock_guard<std::mutex> lock(camera_->controls_mutex);
    return camera_->controls.get(c, r);
  }
  bool set(CameraControl c, int32_t v, bool a) override {
    std::lock_guard<std::mutex> lock(camera_->controls_mutex);
    return camera_->controls.set(c, v, a);
  }
  bool offersAuto(CameraControl c) override {
    std::lock_guard<std::mutex> lock(camera_->controls_mutex);
    return camera_->controls.offersAuto(c);
  }

 private:
  void produce() {
    int put = 0;
    do {
      for (const std::vector<uint8_t>& sample : camera_->samples) {
        std::unique_lock<std::mutex> lock(mutex_);
        taken_cv_.wait(lock, [&] { return stopping_ || taken_ >= put; });
        if (stopping_) return;
        lock.unlock();
        mailbox_.put(sample.data(), sample.size());
        ++put;
        std::this_thread::sleep_for(std::chrono::milliseconds(camera_->gap_ms));
      }
    } while (camera_->repeat);
    std::unique_lock<std::mutex> lock(mutex_);
    taken_cv_.wait(lock, [&] { return stopping_ || taken_ >= put; });
    if (!stopping_ && camera_->end_after) mailbox_.end();
  }

  std::shared_ptr<ScriptedCamera> camera_;
  SampleMailbox mailbox_;
  std::thread producer_;
  std::mutex mutex_;
  std::condition_variable taken_cv_;
  int taken_ = 0;
  bool stopping_ = false;
};

}  // namespace

std::vector<VideoDeviceInfo> ScriptedVideoSystem::captureDevices() {
  std::vector<VideoDeviceInfo> devices;
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    devices.push_back({"/dev/video" + std::to_string(2 * i), "Scripted " + std::to_string(i),
                       "scripted:" + std::to_string(i), "scripted"});
  }
  return devices;
}

std::unique_ptr<VideoDevice> ScriptedVideoSystem::open(const std::string& path, std::string& error) {
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    if (path != "/dev/video" + std::to_string(2 * i)) continue;
    ++cameras[i]->opens;
    if (cameras[i]->opens_left.fetch_sub(1) <= 0) {
      error = path + ": No such device";
      return nullptr;
    }
    return std::make_unique<ScriptedDevice>(cameras[i]);
  }
  error = path + ": No such file or directory";
  return nullptr;
}

void ScriptedFrameSource::Control::release() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    hang = false;
  }
  released.notify_all();
}

bool ScriptedFrameSource::read(cv::Mat& frame) {
  ++control_->reads;
  if (control_->on_read) control_->on_read();
  {
    std::unique_lock<std::mutex> lock(control_->mutex);
    if (control_->hang) ++control_->hung_reads;
    control_->released.wait(lock, [&] { return !control_->hang; });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (control_->frames.empty()) return false;
  frame = control_->frames[next_++ % control_->frames.size()].clone();
  return true;
}

double ScriptedFrameSource::get(int property) {
  if (control_->frames.empty()) return 0;
  switch (property) {
    case cv::CAP_PROP_FRAME_WIDTH:
      return control_->frames[0].cols;
    case cv::CAP_PROP_FRAME_HEIGHT:
      return control_->frames[0].rows;
    case cv::CAP_PROP_FPS:
      return control_->fps;
    default:
      return 0;
  }
}

ScopedBackends::ScopedBackends(std::shared_ptr<CaptureBackends> backends) { setCaptureBackends(std::move(backends)); }
ScopedBackends::~ScopedBackends() { setCaptureBackends(nullptr); }

CaptureTimings quickTimings() {
  CaptureTimings t;
  t.reconnect_pause_ms = 200;
  t.first_sample_ms = 1500;
  t.sample_gap_ms = 500;
  t.first_picture_ms = 1500;
  t.sample_wait_ms = 50;
  return t;
}

cv::Mat squareFrame(int width, int height, int square_x, int square_y) {
  cv::Mat frame(height, width, CV_8UC3, cv::Scalar(40, 90, 140));
  cv::rectangle(frame, cv::Rect(square_x, square_y, width / 6, height / 6), cv::Scalar(250, 250, 250), cv::FILLED);
  return frame;
}

std::vector<uint8_t> jpegSample(int width, int height, int square_x, int square_y) {
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", squareFrame(width, height, square_x, square_y), bytes);
  return bytes;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarv-capture-XXXXXX").string();
  if (::mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string writeTestVideo(const std::string& dir, int width, int height, int frames, double fps) {
  const std::string path = dir + "/moving.avi";
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, cv::Size(width, height));
  const int travel = std::max(1, width - width / 6 - 8);
  for (int i = 0; i < frames; ++i) writer.write(squareFrame(width, height, 8 + (12 * i) % travel, height / 3));
  return path;
}

}  // namespace tarv::testing
