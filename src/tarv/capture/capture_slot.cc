#include "tarv/capture/capture_slot.h"

#include <chrono>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "tarv/capture/capture_worker.h"
#include "tarv/core/opencv_threads.h"

namespace tarv {
namespace {

// Never destroyed: a left-behind worker may come back while the process exits, after the
// static objects are gone.
struct LeftBehindWorkers {
  std::mutex mutex;
  std::condition_variable changed;
  bool exiting = false;
  int releasing = 0;
};

// Built, and the exit hook registered, when close first leaves a worker behind: the hook
// then runs before every static object that existed by that time is destroyed.
LeftBehindWorkers& leftBehindWorkers() {
  static LeftBehindWorkers* const workers = [] {
    auto* w = new LeftBehindWorkers;
    std::atexit(holdLeftBehindWorkersForExit);
    return w;
  }();
  return *workers;
}

}  // namespace

void holdLeftBehindWorkersForExit() {
  LeftBehindWorkers& w = leftBehindWorkers();
  std::unique_lock<std::mutex> lock(w.mutex);
  w.exiting = true;
  // A release under way may be inside the image library; bounded, so exit never hangs on it.
  w.changed.wait_for(lock, std::chrono::seconds(2), [&] { return w.releasing == 0; });
}

DeviceRelease::DeviceRelease(CaptureRun& run) {
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    if (!run.left_behind) return;
  }
  LeftBehindWorkers& w = leftBehindWorkers();
  std::lock_guard<std::mutex> lock(w.mutex);
  allowed_ = !w.exiting;
  counted_ = allowed_;
  if (counted_) ++w.releasing;
}

DeviceRelease::~DeviceRelease() {
  if (!counted_) return;
  LeftBehindWorkers& w = leftBehindWorkers();
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    --w.releasing;
  }
  w.changed.notify_all();
}

void parkLeftBehindWorker() {
  LeftBehindWorkers& w = leftBehindWorkers();
  std::unique_lock<std::mutex> lock(w.mutex);
  for (;;) w.changed.wait(lock);
}

std::shared_ptr<SlotState> stateForReopen(SlotState& previous) {
  auto next = std::make_shared<SlotState>();
  std::lock_guard<std::mutex> lock(previous.mutex);
  next->codec = previous.codec;
  next->backend = previous.backend;
  next->reported_width = previous.reported_width;
  next->reported_height = previous.reported_height;
  next->reported_fps = previous.reported_fps;
  next->requested_fps = previous.requested_fps;
  next->format_matches_requested = previous.format_matches_requested;
  next->format_before_retry = previous.format_before_retry;
  next->min_blob_area = previous.min_blob_area;
  next->measure_interval_ms = previous.measure_interval_ms;
  next->retain_limit = previous.retain_limit;
  next->retain_bytes_limit = previous.retain_bytes_limit;
  // The open times start afresh: an open that fails never sets an end, and an end kept from
  // the run before would make the open time negative.
  return next;
}

CaptureSlot::CaptureSlot() : state_(std::make_shared<SlotState>()) {}

// A host may exit without closing its cameras; the worker must not outlive the slot attached.
CaptureSlot::~CaptureSlot() { close(); }

std::shared_ptr<SlotState> CaptureSlot::state() {
  std::lock_guard<std::mutex> lock(state_ref_);
  return state_;
}

int32_t CaptureSlot::open(const CaptureRequest& request, int open_wait_ms) {
  // Settled here, on the opening thread, before this slot's worker can run OpenCV.
  useLibraryOpenCvThreads();
  std::shared_ptr<SlotState> next;
  {
    std::lock_guard<std::mutex> control(control_);
    if (worker_.joinable()) return -3;
    next = stateForReopen(*state());
    next->worker_active = true;
    auto run = std::make_shared<CaptureRun>();
    try {
      worker_ = std::thread(captureThreadMain, next, run, request, captureBackends());
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(next->mutex);
      next->error = std::string("CAMERA_UNAVAILABLE: ") + e.what();
      next->worker_active = false;
    }
    run_ = std::move(run);
    std::lock_guard<std::mutex> lock(state_ref_);
    state_ = next;
  }
  std::unique_lock<std::mutex> lock(next->mutex);
  waitForCaptureOpen(lock, open_wait_ms / 1000.0, *next);
  return next->opened ? 0 : -2;
}

void CaptureSlot::close(int close_wait_ms) {
  std::lock_guard<std::mutex> control(control_);
  std::shared_ptr<SlotState> current = state();
  if (worker_.joinable()) {
    run_->stop = true;
    const bool own_thread = worker_.get_id() == std::this_thread::get_id();
    bool finished = false;
    {
      std::unique_lock<std::mutex> lock(run_->mutex);
      if (!own_thread) {
        run_->ended.wait_for(lock, std::chrono::milliseconds(close_wait_ms), [&] { return run_->finished; });
      }
      finished = run_->finished;
      // Closed from its own thread, the worker is not stuck: it ends as it returns.
      run_->left_behind = !finished && !own_thread;
    }
    if (finished) {
      worker_.join();
    } else {
      if (!own_thread) leftBehindWorkers();  // the exit hook goes in with the first one left behind
      worker_.detach();
    }
  }
  std::lock_guard<std::mutex> lock(current->mutex);
  current->opened = false;
  current->running = false;
  current->closed = true;
  current->worker_active = false;
  current->changed.notify_all();
}

std::array<CaptureSlot, 3>& captureSlots() {
  // Never destroyed: a thread of the host's (a runtime it did not destroy, a preview reader)
  // may still reach a slot while the process exits. The cameras are still closed at exit.
  static auto* const slots = new std::array<CaptureSlot, 3>();
  static const struct CloseAtExit {
    ~CloseAtExit() {
      for (CaptureSlot& slot : *slots) slot.close();
    }
  } closeAtExit;
  return *slots;
}

bool waitForCaptureOpen(std::unique_lock<std::mutex>& lock, double seconds, SlotState& state) {
  return state.changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    return state.opened || !state.error.empty() || !state.worker_active;
  });
}

bool waitForNewFrame(std::unique_lock<std::mutex>& lock, int32_t milliseconds, SlotState& state) {
  const auto ready = [&] { return state.sequence > state.delivered || !state.running; };
  if (milliseconds <= 0) return ready();
  return state.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace tarv
