// The camera worker: picks a backend for the device text, opens and negotiates, reads and
// publishes frames, and reconnects a native stream that was lost.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "tarv/capture/capture_slot.h"
#include "tarv/capture/native_stream.h"
#include "tarv/capture/video_device.h"

namespace tarv {

// A decoded frame source of the fallback path: OpenCV's VideoCapture here.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual bool read(cv::Mat& frame) = 0;
  // Moves past one frame without handing it out; a source that cannot do it cheaper reads it.
  virtual bool grab() {
    cv::Mat skipped;
    return read(skipped);
  }
  virtual double get(int property) = 0;
  virtual bool set(int property, double value) = 0;
  virtual std::string backendName() = 0;
};

using FallbackOpener = std::function<std::unique_ptr<FrameSource>(const std::string& path, int api)>;

// What the workers open devices with; tests install scripted ones.
struct CaptureBackends {
  std::shared_ptr<VideoSystem> video;
  FallbackOpener open_fallback;
  CaptureTimings timings;
};

// The backends that a worker starting now takes.
std::shared_ptr<const CaptureBackends> captureBackends();
// nullptr restores the machine's own (V4L2 devices, OpenCV).
void setCaptureBackends(std::shared_ptr<const CaptureBackends> backends);
std::shared_ptr<const CaptureBackends> systemCaptureBackends();

// Process-wide switches, on at load; read when a camera opens.
std::atomic<int32_t>& directSwitch();
std::atomic<int32_t>& mediaFoundationSwitch();

// What a device text may name: a device number, a V4L2 node, or an existing regular video or
// image file. Anything else (a URL, a pipeline description) is refused, so a request can
// never make the image library open a network stream or write files.
struct DeviceTarget {
  enum class Kind { Index, Node, File, Refused };
  Kind kind = Kind::Refused;
  int index = -1;
  std::string path;
  int api = 0;  // the OpenCV backend that opens it
};
DeviceTarget classifyDevice(const std::string& text);

// OpenCV's API id that asks for the native backends.
constexpr int kNativeApi = 700;

void captureThreadMain(std::shared_ptr<SlotState> state, std::shared_ptr<CaptureRun> run,
                       CaptureRequest request, std::shared_ptr<const CaptureBackends> backends);

// The worker body; never throws.
void runCameraCapture(SlotState& slot, CaptureRun& run, const CaptureRequest& request,
                      const CaptureBackends& backends);

}  // namespace tarv
