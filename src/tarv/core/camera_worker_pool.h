// Three long-lived camera worker threads, one job slot each. runOnCameraWorkers hands the
// same per-camera job to all three (camera index 0, 1, 2), waits for all three and returns
// the results in camera order; the caller runs itself any job whose worker has not started it
// yet, and may run work of its own meanwhile. One process-wide
// fan-out lock lets one fan-out run at a time; neither a job nor the caller's work may start
// a fan-out of its own.
#pragma once

#include <array>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tarv {

namespace detail {
// One call's fan-outs follow each other within a millisecond or two (the caller's own share of
// a fan-out and the checks between them), and waking a sleeping thread costs about a tenth of
// a fan-out on small frames: a worker done with its job while a call is under way (see
// CameraWorkersInCall), or woken for a job the caller took back, and a caller waiting for one,
// look for the next for this long before they sleep. The call's end ends the look.
constexpr std::chrono::microseconds kIdleSpin{2000};
// A worker spinning takes its job within microseconds and a sleeping one wakes within about a
// tenth of a millisecond; one that has not taken its job after this is off its core (a loaded
// machine, a virtual core the host has not scheduled), and can keep it for milliseconds.
constexpr std::chrono::microseconds kStartGrace{200};
// Returns once `waiting` answers false or the spin's time (kIdleSpin unless given) is up; false
// at once on a machine of fewer than four cores, where spinning takes a core a worker needs.
bool spinWhile(const std::function<bool()>& waiting, std::chrono::microseconds limit = kIdleSpin);
std::mutex& fanOutLock();
// Posts a task to the camera's slot; false when the slot still holds a job. Starts the
// worker threads that are not running yet (raises the thread library's error when one cannot
// be started).
bool postCameraJob(int camera, std::function<void()> task);
// Takes the camera's posted job back from its slot when its worker has not started it yet
// (empty when the worker has it).
std::function<void()> reclaimCameraJob(int camera);
// Whether the camera's posted job still waits for its worker.
bool cameraJobWaiting(int camera);
}  // namespace detail

// Held for the length of a call whose fan-outs follow each other: between such calls the
// workers sleep as soon as their job is done rather than spin.
class CameraWorkersInCall {
 public:
  CameraWorkersInCall();
  ~CameraWorkersInCall();
  CameraWorkersInCall(const CameraWorkersInCall&) = delete;
  CameraWorkersInCall& operator=(const CameraWorkersInCall&) = delete;
};

namespace detail {
template <typename Job, typename Alongside>
auto runFanOut(Job& job, Alongside&& alongside, bool callerWorks) -> std::array<std::invoke_result_t<Job&, int>, 3> {
  using Result = std::invoke_result_t<Job&, int>;
  std::lock_guard<std::mutex> fanOut(fanOutLock());

  std::array<std::future<Result>, 3> futures;
  int posted = 0;
  std::exception_ptr postError;
  for (int camera = 0; camera < 3 && !postError; ++camera) {
    auto task = std::make_shared<std::packaged_task<Result()>>([&job, camera] { return job(camera); });
    futures[camera] = task->get_future();
    try {
      if (postCameraJob(camera, [task] { (*task)(); })) {
        ++posted;
      } else {
        postError = std::make_exception_ptr(std::runtime_error("CAMERA_WORKER_ALREADY_BUSY"));
      }
    } catch (...) {
      postError = std::current_exception();
    }
  }
  if (postError) {
    // Jobs already posted refer to the caller's job and data: they must finish first.
    for (int camera = 0; camera < posted; ++camera) futures[camera].wait();
    std::rethrow_exception(postError);
  }

  // A worker still asleep when the caller is free would keep the call waiting for its wake-up,
  // which on a busy machine costs more than the job: the caller runs such a job itself. The
  // last posted is the least likely to have started.
  const auto runJobsNotTaken = [] {
    for (int camera = 2; camera >= 0; --camera) {
      if (std::function<void()> task = reclaimCameraJob(camera)) task();
    }
  };
  // Where the caller cannot wait for the workers to take their jobs, it leaves them the time of
  // its own work to wake in.
  if (callerWorks &&
      spinWhile([] { return cameraJobWaiting(0) || cameraJobWaiting(1) || cameraJobWaiting(2); }, kStartGrace)) {
    runJobsNotTaken();
  }

  std::exception_ptr alongsideError;
  try {
    alongside();
  } catch (...) {
    alongsideError = std::current_exception();
  }

  runJobsNotTaken();

  std::array<Result, 3> results{};
  std::exception_ptr error;
  for (int camera = 0; camera < 3; ++camera) {
    spinWhile([&future = futures[camera]] {
      return future.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    });
    try {
      results[camera] = futures[camera].get();
    } catch (...) {
      // The highest-numbered failing camera's error wins.
      error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
  if (alongsideError) std::rethrow_exception(alongsideError);
  return results;
}
}  // namespace detail

// The calling thread runs `alongside` while the workers run their jobs: work the caller would
// otherwise wait through. Its error is raised once the jobs are done (theirs first). A job whose
// worker has not taken it shortly after it was posted is run by the caller before its own work,
// which would otherwise hold the job back for as long as it lasts: a job never waits for the
// caller's work.
template <typename Job, typename Alongside>
auto runOnCameraWorkers(Job& job, Alongside&& alongside) -> std::array<std::invoke_result_t<Job&, int>, 3> {
  return detail::runFanOut(job, std::forward<Alongside>(alongside), true);
}

// Without work of its own the caller takes a job its worker has not started at once.
template <typename Job>
auto runOnCameraWorkers(Job& job) -> std::array<std::invoke_result_t<Job&, int>, 3> {
  return detail::runFanOut(job, [] {}, false);
}

}  // namespace tarv
