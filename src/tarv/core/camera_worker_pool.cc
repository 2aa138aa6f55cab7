#include "tarv/core/camera_worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include <opencv2/core.hpp>

namespace tarv {
namespace {

struct CameraWorkerSlot {
  std::mutex mutex;
  std::condition_variable wake;
  std::function<void()> job;        // empty means free
  std::atomic<bool> posted{false};  // set with the job, for a worker looking without the lock
  bool running = false;             // its worker thread has been started
};

struct CameraWorkerPool {
  std::array<CameraWorkerSlot, 3> slots;
};

// The calls under way that hold a CameraWorkersInCall.
std::atomic<int> callsUnderWay{0};

// Never destroyed: the detached workers use it until the process ends.
CameraWorkerPool& cameraWorkerPool() {
  static CameraWorkerPool* pool = new CameraWorkerPool();
  return *pool;
}

[[noreturn]] void cameraWorkerLoop(CameraWorkerSlot& slot) {
  const auto spinForJob = [&slot] {
    detail::spinWhile([&slot] {
      return !slot.posted.load(std::memory_order_acquire) && callsUnderWay.load(std::memory_order_relaxed) > 0;
    });
  };
  for (;;) {
    spinForJob();
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(slot.mutex);
      while (!slot.job) {
        slot.wake.wait(lock);
        // Woken for a job the caller took back while a call is under way: the call's next
        // fan-out follows soon, and would otherwise wait for this worker to wake again.
        if (!slot.job && callsUnderWay.load(std::memory_order_relaxed) > 0) {
          lock.unlock();
          spinForJob();
          lock.lock();
        }
      }
      job = std::move(slot.job);
      slot.job = nullptr;
      slot.posted.store(false, std::memory_order_relaxed);
    }
    job();  // a packaged task: the job's error goes to the waiting caller
  }
}

// The image library builds some of its singletons on first use (the operators behind
// Mat::zeros and friends); building them here, on the calling thread, keeps three workers from
// racing to construct them.
void prepareImageLibrary() {
  static const bool prepared = [] {
    const cv::Mat zeros = cv::Mat::zeros(1, 1, CV_8UC1);
    const cv::Mat ones = cv::Mat::ones(1, 1, CV_8UC1);
    const cv::Mat sum = zeros + ones;
    return !sum.empty();
  }();
  (void)prepared;
}

// Called under the fan-out lock. A worker that could not be started is tried again by the
// next fan-out; started workers keep their slots, which are never freed.
void ensureWorker(CameraWorkerSlot& slot) {
  if (slot.running) return;
  prepareImageLibrary();
  std::thread(cameraWorkerLoop, std::ref(slot)).detach();
  slot.running = true;
}

}  // namespace

CameraWorkersInCall::CameraWorkersInCall() { callsUnderWay.fetch_add(1, std::memory_order_relaxed); }

CameraWorkersInCall::~CameraWorkersInCall() { callsUnderWay.fetch_sub(1, std::memory_order_relaxed); }

namespace detail {

bool spinWhile(const std::function<bool()>& waiting, std::chrono::microseconds limit) {
  // Spinning only pays where every worker and the caller have a core of their own.
  static const bool spins = std::thread::hardware_concurrency() >= 4;
  if (!spins) return false;
  const auto until = std::chrono::steady_clock::now() + limit;
  while (waiting() && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  return true;
}

std::mutex& fanOutLock() {
  static std::mutex lock;
  return lock;
}

bool postCameraJob(int camera, std::function<void()> task) {
  CameraWorkerSlot& slot = cameraWorkerPool().slots.at(camera);
  ensureWorker(slot);
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.job) return false;
    slot.job = std::move(task);
    slot.posted.store(true, std::memory_order_release);
  }
  slot.wake.notify_one();
  return true;
}

bool cameraJobWaiting(int camera) {
  return cameraWorkerPool().slots.at(camera).posted.load(std::memory_order_acquire);
}

std::function<void()> reclaimCameraJob(int camera) {
  CameraWorkerSlot& slot = cameraWorkerPool().slots.at(camera);
  std::lock_guard<std::mutex> lock(slot.mutex);
  std::function<void()> job = std::move(slot.job);
  slot.job = nullptr;
  slot.posted.store(false, std::memory_order_relaxed);
  return job;
}

}  // namespace detail
}  // namespace tarv
