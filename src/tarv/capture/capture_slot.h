// Process-wide capture state of one camera. Three slots exist from load to unload.
//
// Each open gets a fresh SlotState (carrying over what survives a reopen) and a CaptureRun
// that only its own worker watches. A worker that hangs inside a device call is left behind
// by close after a bounded wait; it keeps its own state alive and can no longer reach what
// the host reads. When its call returns it releases the device (not once the process has
// begun to exit) and parks for the rest of the process instead of ending, so no code of
// ours or the image library's runs on it at a time the host cannot know.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

namespace tarv {

struct RetainedFrame {
  int32_t sequence;
  cv::Mat frame;
};

struct RetainedJpeg {
  int32_t sequence;
  std::vector<uint8_t> bytes;
};

struct ReceiveTime {
  int32_t sequence;
  double ms;
};

// Decoded frames kept for copies are bounded by bytes as well as by count: twenty frames of
// a 4096x3072 camera would hold 750 MB.
constexpr std::size_t kRetainBytesLimit = std::size_t{128} << 20;

// Every field is guarded by `mutex`.
struct SlotState {
  std::mutex mutex;
  std::condition_variable changed;

  cv::Mat latest;
  int32_t sequence = 0;
  int32_t delivered = 0;
  int32_t frames = 0;
  int32_t read_failures = 0;
  double last_read_ms = 0;
  double read_ms_total = 0;
  double first_frame_ms = -1.0;
  double last_frame_ms = -1.0;
  std::string error;
  std::string codec;
  std::string backend;
  bool opened = false;
  bool running = false;
  int32_t reported_width = 0;
  int32_t reported_height = 0;
  double reported_fps = 0;
  double requested_fps = 0;
  bool format_matches_requested = false;
  double open_start_ms = -1.0;
  double open_end_ms = -1.0;
  std::string format_before_retry;
  cv::Mat reduced;
  cv::Mat previous_reduced;
  cv::Mat motion_mask;
  std::deque<RetainedFrame> retained_frames;
  std::deque<ReceiveTime> receive_times;
  std::size_t retain_limit = 20;
  std::size_t retain_bytes_limit = kRetainBytesLimit;
  double min_blob_area = 14.4;
  double measure_interval_ms = 400.0;
  double last_measure_ms = -1.0;
  int32_t mask_pixels = -1;
  int32_t motion_pixels = -1;
  bool jpeg_mode = false;
  bool reconnecting = false;
  int32_t corrupt_frames = 0;
  int32_t truncated_frames = 0;
  int32_t reconnects = 0;
  int32_t padded_frames = 0;
  std::deque<RetainedJpeg> retained_jpegs;
  cv::Mat comparison_gray;
  std::string direct_fallback;
  std::string exposure_lock;
  double next_due_ms = -1.0;
  int32_t paced_frames = 0;
  std::string media_foundation_fallback;
  std::string backend_kind;
  double native_fps = 0;

  // The worker of this state has not ended and was not left behind by close.
  bool worker_active = false;
  // Close ran: a worker left behind publishes nothing more here.
  bool closed = false;
};

// A state for a new open: what survives reopening (format report, gate settings) copied
// from the previous one, everything else at its initial value.
std::shared_ptr<SlotState> stateForReopen(SlotState& previous);

// Stop request and end notice between close and one worker.
struct CaptureRun {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;
  bool left_behind = false;  // close gave up waiting for the worker
};

// Held by a worker while it releases its device. A worker that close left behind may not
// once the process has begun to exit (it then keeps the device and parks); exit waits a
// bounded time for the releases under way.
class DeviceRelease {
 public:
  explicit DeviceRelease(CaptureRun& run);
  ~DeviceRelease();
  DeviceRelease(const DeviceRelease&) = delete;
  DeviceRelease& operator=(const DeviceRelease&) = delete;
  bool allowed() const { return allowed_; }

 private:
  bool allowed_ = true;
  bool counted_ = false;
};
// A left-behind worker's last step: it never returns, so the thread ends with the process.
[[noreturn]] void parkLeftBehindWorker();
// What the library runs when the process exits; tests call it in a child process.
void holdLeftBehindWorkersForExit();

struct CaptureRequest {
  int camera = 0;
  std::string device;
  int width = 0;
  int height = 0;
  int fps = 0;  // already capped; <= 0: no frame-rate request
  std::string fourcc = "MJPG";
  int api = 0;
};

class CaptureSlot {
 public:
  CaptureSlot();
  ~CaptureSlot();
  CaptureSlot(const CaptureSlot&) = delete;
  CaptureSlot& operator=(const CaptureSlot&) = delete;

  // 0 opened, -3 a worker is still attached, -2 failed or nothing within open_wait_ms.
  int32_t open(const CaptureRequest& request, int open_wait_ms = 15000);
  // Stops the worker and waits for it at most close_wait_ms; a worker that does not end in
  // time (a hung device call) is left behind. Safe from any thread, also the worker's own.
  void close(int close_wait_ms = 2000);
  // The state the exports read; replaced only by open.
  std::shared_ptr<SlotState> state();
  // Runs f(state) under the control lock, so it cannot fall between an open's copy of the
  // surviving settings and its switch to the new state.
  template <typename F>
  void withControl(F f) {
    std::lock_guard<std::mutex> control(control_);
    f(*state());
  }

 private:
  std::mutex control_;
  std::mutex state_ref_;
  std::shared_ptr<SlotState> state_;
  std::shared_ptr<CaptureRun> run_;
  std::thread worker_;
};

std::array<CaptureSlot, 3>& captureSlots();

// Waits until the state opened, failed, or its worker is gone, at most `seconds`.
bool waitForCaptureOpen(std::unique_lock<std::mutex>& lock, double seconds, SlotState& state);
// Waits until a frame newer than `delivered` exists or the camera stopped running, at most
// `milliseconds` (<= 0 does not wait).
bool waitForNewFrame(std::unique_lock<std::mutex>& lock, int32_t milliseconds, SlotState& state);

}  // namespace tarv
