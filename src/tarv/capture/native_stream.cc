#include "tarv/capture/native_stream.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/capture/frame_intake.h"
#include "tarv/capture/jpeg_frames.h"
#include "tarv/core/engine_values.h"

namespace tarv {

const char* const kMjpegStreamBackend = "V4L2_MJPG";
const char* const kReaderBackend = "V4L2_READER";
const char* const kReaderKind = "MEDIA_FOUNDATION";

namespace {

constexpr uint32_t kMjpg = v4l2Fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kYuyv = v4l2Fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t kNv12 = v4l2Fourcc('N', 'V', '1', '2');

double rateOf(double interval) { return interval > 0 ? 1.0 / interval : 0; }

// What both backends write when their stream starts delivering.
struct OpenReport {
  std::string codec;
  std::string backend;
  std::string kind;
  double reported_fps;
  double native_fps;
  bool jpeg;
  std::string format_text;
};

void markStreaming(SlotState& slot, const OpenReport& r, int width, int height, int fps,
                   const std::string& control_text) {
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.closed) return;
    slot.exposure_lock = control_text;
    slot.codec = r.codec;
    slot.format_matches_requested = true;
    slot.backend = r.backend;
    slot.backend_kind = r.kind;
    slot.reported_width = width;
    slot.reported_height = height;
    slot.reported_fps = r.reported_fps;
    slot.native_fps = r.native_fps;
    slot.requested_fps = fps;
    slot.jpeg_mode = r.jpeg;
    slot.opened = true;
    slot.running = true;
    slot.reconnecting = false;
    slot.error.clear();
    slot.open_end_ms = monotonicMilliseconds();
    slot.format_before_retry = r.format_text;
  }
  slot.changed.notify_all();
}

double pictureLevel(SlotState& slot) {
  cv::Mat reduced;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    reduced = slot.reduced;
  }
  if (reduced.empty()) return -1;
  const cv::Scalar m = cv::mean(reduced);
  return (m[0] + m[1] + m[2]) / 3.0;
}

// The sample loop of both backends. `first` is a sample already taken (or empty). Returns
// the loss text, empty when the stop flag ended it.
std::string streamSamples(SlotState& slot, const std::atomic<bool>& stop, VideoDevice& device,
                          const CaptureTimings& timings, int fps, std::vector<uint8_t> first,
                          const std::function<bool(std::vector<uint8_t>&&, double)>& publish) {
  const double t0 = monotonicMilliseconds();
  double last_sample = t0;
  ExposureSettler settler(exposureLockSwitch().load() != 0, t0);
  std::vector<uint8_t> bytes = std::move(first);
  while (!stop.load()) {
    if (bytes.empty()) {
      std::string message;
      const VideoDevice::Wait w = device.waitFrame(timings.sample_wait_ms, bytes, message);
      if (stop.load()) break;
      if (w == VideoDevice::Wait::Ended) return "CAMERA_UNAVAILABLE: stream ended (" + message + ")";
      if (w == VideoDevice::Wait::Timeout || bytes.empty()) {
        bytes.clear();
        const double now = monotonicMilliseconds();
        if (now - last_sample > timings.sample_gap_ms && now - t0 > timings.first_sample_ms) {
          return "CAMERA_UNAVAILABLE: no samples for 5 s";
        }
        continue;
      }
    }
    const double receive = monotonicMilliseconds();
    last_sample = receive;
    std::vector<uint8_t> sample = std::move(bytes);
    bytes.clear();
    if (shouldSkipForPacing(slot, receive, fps)) continue;
    if (!publish(std::move(sample), receive)) continue;
    int32_t frames = 0;
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      frames = slot.frames;
    }
    const std::string text = settleExposure(settler, device.controls(), receive, pictureLevel(slot), frames);
    if (!text.empty()) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.exposure_lock = text;
    }
  }
  return {};
}

std::unique_ptr<VideoDevice> openIndexed(VideoSystem& video, int index, std::string& error) {
  const std::vector<VideoDeviceInfo> devices = video.captureDevices();
  if (index < 0 || static_cast<std::size_t>(index) >= devices.size()) return nullptr;
  return video.open(devices[static_cast<std::size_t>(index)].path, error);
}

template <typename Body>
BackendRunResult guardedRun(Body body) {
  BackendRunResult result;
  try {
    body(result);
  } catch (const std::exception& e) {
    result.message = e.what();
  }
  return result;
}

}  // namespace

MjpegModeChoice chooseMjpegMode(const std::vector<VideoMode>& modes, int width, int height, int fps) {
  MjpegModeChoice choice;
  for (const VideoMode& m : modes) {
    if (m.fourcc != kMjpg) continue;
    if (choice.sizes.size() < 200) choice.sizes += std::to_string(m.width) + "x" + std::to_string(m.height) + " ";
    if (choice.found || m.width != width || m.height != height) continue;
    double interval = fps > 0 ? 1.0 / fps : m.min_interval;
    if (m.min_interval > 0 && m.min_interval > interval) interval = m.min_interval;
    if (m.max_interval > 0 && m.max_interval < interval) interval = m.max_interval;
    choice.found = true;
    choice.mode = m;
    choice.interval = interval;
  }
  return choice;
}

ReaderModeChoice chooseReaderMode(const std::vector<VideoMode>& modes, uint32_t fourcc, int width,
                                  int height, int fps) {
  ReaderModeChoice choice;
  for (const VideoMode& m : modes) {
    if (m.fourcc != fourcc) continue;
    const double rate = rateOf(m.min_interval);
    if (choice.offered.size() < 200) {
      choice.offered += std::to_string(m.width) + "x" + std::to_string(m.height) + "@" +
                        std::to_string(static_cast<int>(rate + 0.5)) + " ";
    }
    if (m.width != width || m.height != height || rate <= 0) continue;
    bool take = !choice.found;
    if (choice.found && fps < 1) {
      take = rate > choice.rate;
    } else if (choice.found) {
      const double reach = fps - 0.5;
      take = choice.rate >= reach ? (rate >= reach && rate < choice.rate) : rate > choice.rate;
    }
    if (take) {
      choice.found = true;
      choice.mode = m;
      choice.rate = rate;
    }
  }
  return choice;
}

BackendRunResult runMjpegStream(SlotState& slot, const std::atomic<bool>& stop, VideoSystem& video,
                                const CaptureTimings& timings, int index, int width, int height, int fps) {
  return guardedRun([&](BackendRunResult& result) {
    std::string error;
    std::unique_ptr<VideoDevice> device = openIndexed(video, index, error);
    if (!device) {
      result.message = error.empty() ? "DIRECT: no video device at index " + std::to_string(index)
                                     : "DIRECT: " + error;
      return;
    }
    const MjpegModeChoice choice = chooseMjpegMode(device->modes(), width, height, fps);
    if (!choice.found || !device->setFormat(kMjpg, width, height).empty()) {
      result.message = "DIRECT: MJPG " + std::to_string(width) + "x" + std::to_string(height) +
                       " not offered (MJPG sizes: " + choice.sizes + ")";
      return;
    }
    const double took = choice.interval > 0 ? device->setFrameInterval(choice.interval) : 0;
    error = device->startStreaming();
    if (!error.empty()) {
      result.message = "DIRECT: start " + error;
      return;
    }
    result.started = true;
    const double rate = fps > 0 ? fps : rateOf(took > 0 ? took : choice.interval);
    markStreaming(slot, {"MJPG", kMjpegStreamBackend, "", rate, 0, true, "direct"}, width, height, fps,
                  startCameraControls(device->controls()));
    result.message = streamSamples(slot, stop, *device, timings, fps, {},
                                   [&](std::vector<uint8_t>&& jpeg, double receive) {
                                     return publishCapturedFrame(slot, cv::Mat(), std::move(jpeg), receive, receive);
                                   });
    device->stopStreaming();
  });
}

BackendRunResult runRawReader(SlotState& slot, const std::atomic<bool>& stop, VideoSystem& video,
                              const CaptureTimings& timings, int index, int width, int height, int fps,
                              const std::string& fourcc) {
  return guardedRun([&](BackendRunResult& result) {
    const uint32_t wanted = fourcc == "MJPG" ? kMjpg : fourcc == "NV12" ? kNv12 : kYuyv;
    std::string error;
    std::unique_ptr<VideoDevice> device = openIndexed(video, index, error);
    if (!device) {
      result.message = error.empty() ? "MF: no device path for index " + std::to_string(index)
                                     : "MF: " + error;
      return;
    }
    const ReaderModeChoice choice = chooseReaderMode(device->modes(), wanted, width, height, fps);
    if (!choice.found) {
      result.message = "MF: " + fourcc + " " + std::to_string(width) + "x" + std::to_string(height) +
                       " not offered (" + choice.offered + ")";
      return;
    }
    error = device->setFormat(wanted, width, height);
    if (!error.empty()) {
      result.message = "MF: set format " + error;
      return;
    }
    bool overridden = false;
    if (fps >= 1 && choice.rate > fps + 0.5) {
      overridden = std::fabs(rateOf(device->setFrameInterval(1.0 / fps)) - fps) <= 0.5;
    }
    if (!overridden) device->setFrameInterval(1.0 / choice.rate);
    error = device->startStreaming();
    if (!error.empty()) {
      result.message = "MF: first read " + error;
      return;
    }
    std::vector<uint8_t> first;
    const double deadline = monotonicMilliseconds() + timings.first_picture_ms;
    for (;;) {
      std::string message;
      const VideoDevice::Wait w = device->waitFrame(timings.sample_wait_ms, first, message);
      if (stop.load()) {
        result.message = "MF: stopped";
        return;
      }
      if (w == VideoDevice::Wait::Frame && !first.empty()) break;
      if (w == VideoDevice::Wait::Ended || monotonicMilliseconds() >= deadline) {
        result.message = "MF: no picture within 4 s";
        return;
      }
    }
    result.started = true;
    const bool compressed = wanted == kMjpg;
    const bool nv12 = wanted == kNv12;
    // Raw rows are read at the driver's stride: a padded row read as packed shears the frame.
    const std::size_t packed_row = static_cast<std::size_t>(width) * (nv12 ? 1 : 2);
    const std::size_t row_step = std::max(packed_row, device->bytesPerLine());
    const int rows = nv12 ? height * 3 / 2 : height;
    markStreaming(slot, {fourcc, kReaderBackend, kReaderKind, overridden ? double(fps) : choice.rate,
                         choice.rate, compressed, "media foundation"},
                  width, height, fps, startCameraControls(device->controls()));
    result.message = streamSamples(
        slot, stop, *device, timings, fps, std::move(first),
        [&](std::vector<uint8_t>&& sample, double receive) {
          if (compressed) {
            return publishCapturedFrame(slot, cv::Mat(), std::move(sample), receive, receive);
          }
          if (rows < 1 || sample.size() < row_step * static_cast<std::size_t>(rows - 1) + packed_row) {
            std::lock_guard<std::mutex> lock(slot.mutex);
            ++slot.corrupt_frames;
            return false;
          }
          cv::Mat bgr;
          const cv::Mat raw(rows, width, nv12 ? CV_8UC1 : CV_8UC2, sample.data(), row_step);
          cv::cvtColor(raw, bgr, nv12 ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2BGR_YUY2);
          return publishCapturedFrame(slot, bgr, {}, receive, receive);
        });
    device->stopStreaming();
  });
}

}  // namespace tarv
