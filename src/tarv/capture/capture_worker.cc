#include "tarv/capture/capture_worker.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tarv/capture/frame_intake.h"
#include "tarv/capture/frame_pacing.h"
#include "tarv/capture/jpeg_frames.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/opencv_threads.h"
#include "tarv/core/thread_name.h"

namespace tarv {
namespace {

class OpenCvFrameSource : public FrameSource {
 public:
  bool open(const std::string& path, int api) { return capture_.open(path, api) && capture_.isOpened(); }
  bool read(cv::Mat& frame) override { return capture_.read(frame); }
  bool grab() override { return capture_.grab(); }
  double get(int property) override { return capture_.get(property); }
  bool set(int property, double value) override { return capture_.set(property, value); }
  std::string backendName() override { return capture_.getBackendName(); }

 private:
  cv::VideoCapture capture_;
};

// An image file as a camera: exactly that one picture, again and again. OpenCV's image
// reader would treat the name as a numbered sequence instead (shot-1.png playing shot-2.png
// and shot-3.png after it, a name without a digit failing, a '%' read as a pattern).
class StillImageSource : public FrameSource {
 public:
  bool open(const std::string& path) {
    image_ = cv::imread(path, cv::IMREAD_COLOR);
    return !image_.empty();
  }
  bool read(cv::Mat& frame) override {
    frame = image_.clone();  // each frame is the camera's own, as a real camera's would be
    return !frame.empty();
  }
  bool grab() override { return !image_.empty(); }
  double get(int property) override {
    switch (property) {
      case cv::CAP_PROP_FRAME_WIDTH: return image_.cols;
      case cv::CAP_PROP_FRAME_HEIGHT: return image_.rows;
      default: return 0.0;  // no rate of its own, no codec
    }
  }
  bool set(int property, double) override { return property == cv::CAP_PROP_POS_FRAMES; }
  std::string backendName() override { return "CV_IMAGES"; }

 private:
  cv::Mat image_;
};

std::unique_ptr<FrameSource> openWithOpenCv(const std::string& path, int api) {
  if (api == cv::CAP_IMAGES) {
    auto still = std::make_unique<StillImageSource>();
    if (!still->open(path)) return nullptr;
    return still;
  }
  auto source = std::make_unique<OpenCvFrameSource>();
  if (!source->open(path, api)) return nullptr;
  return source;
}

std::mutex& backendsMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const CaptureBackends>& installedBackends() {
  static std::shared_ptr<const CaptureBackends> installed;
  return installed;
}

std::string lowerExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool allDigits(const std::string& text, std::size_t from) {
  return text.size() > from && text.find_first_not_of("0123456789", from) == std::string::npos;
}

void sleepMs(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

// Sleeps up to `ms` in steps of 100 ms, ending early once a stop is requested.
void pauseUnlessStopped(const CaptureRun& run, int ms) {
  for (int waited = 0; waited < ms && !run.stop.load(); waited += 100) sleepMs(std::min(100, ms - waited));
}

void failOpen(SlotState& slot, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.error = text;
    slot.running = false;
    slot.opened = false;
  }
  slot.changed.notify_all();
}

enum class NativeOutcome { Finished, NotStarted };

// Runs one native backend until it is stopped or will not start; a lost stream is retried
// after a pause, the slot showing it as reconnecting.
NativeOutcome runNative(SlotState& slot, const CaptureRun& run, const CaptureTimings& timings,
                        std::string SlotState::*fallback_text,
                        const std::function<BackendRunResult()>& start) {
  for (;;) {
    if (run.stop.load()) return NativeOutcome::Finished;
    const BackendRunResult result = start();
    if (!result.started) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.*fallback_text = result.message;
      return NativeOutcome::NotStarted;
    }
    if (run.stop.load() || result.message.empty()) return NativeOutcome::Finished;
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.error = result.message;
      ++slot.read_failures;
      slot.reconnecting = true;
      ++slot.reconnects;
      slot.reduced.release();
      slot.previous_reduced.release();
    }
    slot.changed.notify_all();
    pauseUnlessStopped(run, timings.reconnect_pause_ms);
  }
}

void setFourcc(FrameSource& source, uint32_t code) { source.set(cv::CAP_PROP_FOURCC, static_cast<double>(code)); }

uint32_t readFourcc(FrameSource& source) { return fourccCode(source.get(cv::CAP_PROP_FOURCC)); }

// Size, code and rate of a camera opened through OpenCV; returns the format text before.
std::string negotiateFormat(FrameSource& source, const CaptureRequest& request, uint32_t wanted) {
  source.set(cv::CAP_PROP_FRAME_WIDTH, request.width);
  source.set(cv::CAP_PROP_FRAME_HEIGHT, request.height);
  std::string text = fourccToText(source.get(cv::CAP_PROP_FOURCC));
  if (readFourcc(source) != wanted) setFourcc(source, wanted);
  if (request.fps > 0 && std::fabs(source.get(cv::CAP_PROP_FPS) - request.fps) > 0.5) {
    source.set(cv::CAP_PROP_FPS, request.fps);
  }
  const double rate = source.get(cv::CAP_PROP_FPS);
  const bool code_ok = readFourcc(source) == wanted;
  const bool rate_ok = request.fps <= 0 || rate <= 0 || rate >= request.fps - 0.5;
  if (!code_ok || !rate_ok) {
    text += " -> fallback";
    setFourcc(source, wanted);
    source.set(cv::CAP_PROP_FRAME_WIDTH, request.width);
    source.set(cv::CAP_PROP_FRAME_HEIGHT, request.height);
    source.set(cv::CAP_PROP_FPS, request.fps);
    if (readFourcc(source) != wanted) setFourcc(source, wanted);
  }
  return text;
}

cv::Mat toBgr(const cv::Mat& frame) {
  if (frame.channels() == 3) return frame;
  cv::Mat bgr;
  cv::cvtColor(frame, bgr, frame.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
  return bgr;
}

// The fallback path once OpenCV has opened the target: reads until stopped or lost.
void readFromSource(SlotState& slot, const CaptureRun& run, const CaptureRequest& request,
                    const DeviceTarget& target, FrameSource& source) {
  const bool camera = target.kind != DeviceTarget::Kind::File;
  const uint32_t wanted = fourccFromText(request.fourcc);
  const std::string format_text = camera ? negotiateFormat(source, request, wanted) : std::string();
  // Without a frame-rate request a file plays at its own rate.
  const double source_fps = source.get(cv::CAP_PROP_FPS);
  const double file_fps = request.fps > 0 ? request.fps : source_fps > 0 ? source_fps : 25.0;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.codec = fourccToText(source.get(cv::CAP_PROP_FOURCC));
    slot.format_matches_requested = readFourcc(source) == wanted;
    slot.backend = source.backendName();
    slot.reported_width = static_cast<int32_t>(source.get(cv::CAP_PROP_FRAME_WIDTH));
    slot.reported_height = static_cast<int32_t>(source.get(cv::CAP_PROP_FRAME_HEIGHT));
    slot.reported_fps = source_fps;
    slot.requested_fps = request.fps;
    slot.format_before_retry = format_text;
    // A native stream lost before this one must not leave its mode behind: waits and copies
    // would keep answering with its last JPEG while frames arrive here.
    slot.jpeg_mode = false;
    slot.backend_kind.clear();
    slot.reconnecting = false;
    slot.error.clear();
    slot.retained_jpegs.clear();
    slot.comparison_gray.release();
    slot.opened = !slot.closed;
    slot.running = !slot.closed;
    slot.open_end_ms = monotonicMilliseconds();
  }
  slot.changed.notify_all();

  const double grace_start = monotonicMilliseconds();
  FilePlayback playback{grace_start, 0};
  // A file plays again from its first frame at its end.
  const auto grabLooped = [&] {
    if (source.grab()) return true;
    source.set(cv::CAP_PROP_POS_FRAMES, 0);
    return source.grab();
  };
  int retries = 0;
  cv::Mat frame;
  while (!run.stop.load()) {
    if (!camera) {
      sleepMs(std::floor(fileFrameDueMs(playback, file_fps) - monotonicMilliseconds()));
      for (int64_t skip = fileFramesBehind(playback, monotonicMilliseconds(), file_fps); skip > 0; --skip) {
        if (!grabLooped()) break;
        ++playback.next_frame;
      }
      ++playback.next_frame;
    }
    const double t0 = monotonicMilliseconds();
    bool ok = source.read(frame) && !frame.empty();
    // A read that returns after close (it may have hung) goes nowhere, not even a conversion.
    if (run.stop.load()) break;
    double t1 = monotonicMilliseconds();
    if (!ok && !camera) {
      source.set(cv::CAP_PROP_POS_FRAMES, 0);
      ok = source.read(frame) && !frame.empty();
      t1 = monotonicMilliseconds();
    }
    if (!ok) {
      if (camera && t1 - grace_start < 3000 && retries < 3) {
        ++retries;
        sleepMs(50);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(slot.mutex);
        ++slot.read_failures;
        slot.error = "CAMERA_UNAVAILABLE: capture read failed";
        slot.running = false;
      }
      slot.changed.notify_all();
      return;
    }
    if (camera && shouldSkipForPacing(slot, t1, request.fps)) continue;
    publishCapturedFrame(slot, toBgr(frame), {}, t0, t1);
    frame = cv::Mat();
  }
}

// The fallback path: OpenCV opens the target and the worker reads until stopped or lost.
void runFallback(SlotState& slot, CaptureRun& run, const CaptureRequest& request,
                 const CaptureBackends& backends, const DeviceTarget& target) {
  std::string path = target.path;
  if (target.kind == DeviceTarget::Kind::Index) {
    const std::vector<VideoDeviceInfo> devices = backends.video->captureDevices();
    if (static_cast<std::size_t>(target.index) < devices.size()) path = devices[static_cast<std::size_t>(target.index)].path;
  }
  std::unique_ptr<FrameSource> source;
  if (!path.empty() && target.kind != DeviceTarget::Kind::Refused) source = backends.open_fallback(path, target.api);
  if (!source) {
    failOpen(slot, "CAMERA_UNAVAILABLE");
    return;
  }
  if (!run.stop.load()) readFromSource(slot, run, request, target, *source);
  // Releasing runs the image library's code, whose static objects die at exit: a worker that
  // close left behind keeps the device once the process has begun to exit.
  const DeviceRelease release(run);
  if (!release.allowed()) parkLeftBehindWorker();
  source.reset();
}

}  // namespace

std::shared_ptr<const CaptureBackends> systemCaptureBackends() {
  auto backends = std::make_shared<CaptureBackends>();
  backends->video = linuxVideoSystem();
  backends->open_fallback = openWithOpenCv;
  return backends;
}

std::shared_ptr<const CaptureBackends> captureBackends() {
  std::lock_guard<std::mutex> lock(backendsMutex());
  if (!installedBackends()) installedBackends() = systemCaptureBackends();
  return installedBackends();
}

void setCaptureBackends(std::shared_ptr<const CaptureBackends> backends) {
  std::lock_guard<std::mutex> lock(backendsMutex());
  installedBackends() = std::move(backends);
}

std::atomic<int32_t>& directSwitch() {
  static std::atomic<int32_t> on{1};
  return on;
}

std::atomic<int32_t>& mediaFoundationSwitch() {
  static std::atomic<int32_t> on{1};
  return on;
}

DeviceTarget classifyDevice(const std::string& text) {
  DeviceTarget target;
  if (allDigits(text, 0)) {
    if (text.size() > 9) return target;
    target.kind = DeviceTarget::Kind::Index;
    target.index = std::stoi(text);
    target.api = cv::CAP_V4L2;
    return target;
  }
  if (text.compare(0, 10, "/dev/video") == 0 && allDigits(text, 10) && text.size() < 20) {
    target.kind = DeviceTarget::Kind::Node;
    target.path = text;
    target.api = cv::CAP_V4L2;
    return target;
  }
  struct stat info{};
  if (text.empty() || ::stat(text.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return target;
  static const std::set<std::string> videos{"avi", "mp4", "mkv", "mov", "webm", "m4v", "mjpg", "mjpeg", "mpg", "mpeg"};
  static const std::set<std::string> images{"png", "jpg", "jpeg", "bmp", "tif", "tiff", "pgm", "ppm", "pnm", "webp"};
  const std::string ext = lowerExtension(text);
  if (videos.count(ext)) {
    target.api = cv::CAP_FFMPEG;
  } else if (images.count(ext)) {
    target.api = cv::CAP_IMAGES;
  } else {
    return target;
  }
  target.kind = DeviceTarget::Kind::File;
  target.path = text;
  return target;
}

void runCameraCapture(SlotState& slot, CaptureRun& run, const CaptureRequest& request,
                      const CaptureBackends& backends) {
  try {
    useLibraryOpenCvThreads();  // a no-op once set; never a second change of the setting
    const DeviceTarget target = classifyDevice(request.device);
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.open_start_ms = monotonicMilliseconds();
    }
    const std::string& fourcc = request.fourcc;
    if (target.kind == DeviceTarget::Kind::Index && request.api == kNativeApi) {
      const bool native_done = [&] {
        if (mediaFoundationSwitch().load() != 0 &&
            (fourcc == "MJPG" || fourcc == "YUY2" || fourcc == "YUYV" || fourcc == "NV12")) {
          const auto outcome = runNative(slot, run, backends.timings, &SlotState::media_foundation_fallback, [&] {
            return runRawReader(slot, run.stop, *backends.video, backends.timings, target.index, request.width,
                                request.height, request.fps, fourcc);
          });
          if (outcome == NativeOutcome::Finished) return true;
        }
        if (directSwitch().load() != 0 && fourcc == "MJPG") {
          const auto outcome = runNative(slot, run, backends.timings, &SlotState::direct_fallback, [&] {
            return runMjpegStream(slot, run.stop, *backends.video, backends.timings, target.index, request.width,
                                  request.height, request.fps);
          });
          if (outcome == NativeOutcome::Finished || run.stop.load()) return true;
        }
        return false;
      }();
      if (!native_done && !run.stop.load()) runFallback(slot, run, request, backends, target);
    } else {
      runFallback(slot, run, request, backends, target);
    }
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.error = e.what();
  } catch (...) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.error = "CAMERA_UNAVAILABLE";
  }
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.running = false;
  }
  slot.changed.notify_all();
}

void captureThreadMain(std::shared_ptr<SlotState> state, std::shared_ptr<CaptureRun> run,
                       CaptureRequest request, std::shared_ptr<const CaptureBackends> backends) {
  const std::string name = "tarv-kamera-" + std::to_string(std::min(request.camera, 2) + 1);
  setThreadName(name);
  runCameraCapture(*state, *run, request, *backends);
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->worker_active = false;
  }
  state->changed.notify_all();
  bool left_behind = false;
  {
    std::lock_guard<std::mutex> lock(run->mutex);
    run->finished = true;
    left_behind = run->left_behind;
  }
  run->ended.notify_all();
  // Ending would run thread-exit code (ours, the image library's) at a time the host cannot
  // know, perhaps while the process exits; parked, the thread holds what it uses until then.
  if (left_behind) parkLeftBehindWorker();
}

}  // namespace tarv
