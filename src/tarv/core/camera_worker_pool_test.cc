#include "tarv/core/camera_worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace tarv {
namespace {

using namespace std::chrono_literals;

TEST(CameraWorkerPool, RunsTheThreeJobsAtOnceAndAnswersInCameraOrder) {
  std::mutex mutex;
  std::condition_variable allStarted;
  int started = 0;
  auto job = [&](int camera) {
    std::unique_lock<std::mutex> lock(mutex);
    ++started;
    allStarted.notify_all();
    // Each job waits until all three run: impossible unless they run concurrently.
    const bool together = allStarted.wait_for(lock, 5s, [&] { return started == 3; });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(30 * (2 - camera)));
    return together ? camera * 10 : -1;
  };
  const auto results = runOnCameraWorkers(job);
  EXPECT_EQ(results, (std::array<int, 3>{0, 10, 20}));
}

TEST(CameraWorkerPool, RaisesTheHighestFailingCameraAfterAllJobsFinished) {
  std::atomic<bool> middleFinished{false};
  auto job = [&](int camera) -> int {
    if (camera == 1) {
      std::this_thread::sleep_for(50ms);
      middleFinished = true;
      return 1;
    }
    throw std::runtime_error(camera == 0 ? "FIRST" : "LAST");
  };
  try {
    runOnCameraWorkers(job);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "LAST");
  }
  EXPECT_TRUE(middleFinished);

  // The workers go on serving after a failure.
  auto ok = [](int camera) { return camera + 1; };
  EXPECT_EQ(runOnCameraWorkers(ok), (std::array<int, 3>{1, 2, 3}));
}

TEST(CameraWorkerPool, ReusesItsThreadsAndSerialisesFanOuts) {
  std::mutex mutex;
  std::set<std::thread::id> ids;
  std::atomic<int> running{0};
  std::atomic<int> mostRunning{0};
  auto job = [&](int) {
    const int now = ++running;
    int seen = mostRunning.load();
    while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(5ms);
    {
      std::lock_guard<std::mutex> lock(mutex);
      ids.insert(std::this_thread::get_id());
    }
    --running;
    return 0;
  };
  runOnCameraWorkers(job);

  // Two callers at once: the second fan-out waits for the first, so never more than three
  // jobs run together.
  std::thread::id otherId;
  std::thread other([&] {
    otherId = std::this_thread::get_id();
    for (int i = 0; i < 5; ++i) runOnCameraWorkers(job);
  });
  for (int i = 0; i < 5; ++i) runOnCameraWorkers(job);
  other.join();
  EXPECT_EQ(mostRunning.load(), 3);
  // Beside the callers, which may run a job themselves, only the three workers ever ran one.
  ids.erase(std::this_thread::get_id());
  ids.erase(otherId);
  EXPECT_LE(ids.size(), 3u);
}

// A worker that cannot take its job (busy, or not yet woken on a loaded machine) does not hold
// the fan-out up: the caller runs the job itself.
TEST(CameraWorkerPool, TheCallerRunsAJobItsWorkerHasNotStarted) {
  // The last camera's worker is kept busy by a job posted outside any fan-out.
  std::mutex mutex;
  std::condition_variable changed;
  bool blockerStarted = false;
  bool released = false;
  {
    std::lock_guard<std::mutex> fanOut(detail::fanOutLock());
    ASSERT_TRUE(detail::postCameraJob(2, [&] {
      std::unique_lock<std::mutex> lock(mutex);
      blockerStarted = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    }));
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return blockerStarted; }));
  }
  const auto release = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  };

  const std::thread::id caller = std::this_thread::get_id();
  auto job = [](int camera) { return std::make_pair(camera, std::this_thread::get_id()); };
  auto fanOut = std::async(std::launch::async, [&job] { return std::make_pair(runOnCameraWorkers(job), std::this_thread::get_id()); });
  const bool finished = fanOut.wait_for(5s) == std::future_status::ready;
  release();
  EXPECT_TRUE(finished);
  const auto [results, fanOutThread] = fanOut.get();
  EXPECT_NE(fanOutThread, caller);
  for (int camera = 0; camera < 3; ++camera) EXPECT_EQ(results[camera].first, camera);
  EXPECT_EQ(results[2].second, fanOutThread);

  // The freed worker serves the next fan-outs as before.
  auto ok = [](int camera) { return camera + 1; };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(runOnCameraWorkers(ok), (std::array<int, 3>{1, 2, 3}));
}

// The caller's own work runs on the calling thread while the jobs run, and its error comes
// only after the jobs, which refer to the caller's data, have finished; a job's error wins.
TEST(CameraWorkerPool, TheCallersWorkRunsAlongsideTheJobs) {
  std::mutex mutex;
  std::condition_variable changed;
  int jobsStarted = 0;
  bool callerStarted = false;
  auto job = [&](int camera) {
    std::unique_lock<std::mutex> lock(mutex);
    ++jobsStarted;
    changed.notify_all();
    return changed.wait_for(lock, 5s, [&] { return callerStarted; }) ? camera : -1;
  };
  std::thread::id callerThread;
  const auto results = runOnCameraWorkers(job, [&] {
    callerThread = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex);
    callerStarted = true;
    changed.notify_all();
    // Every job has started before the caller's work ends: they overlap.
    EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return jobsStarted == 3; }));
  });
  EXPECT_EQ(results, (std::array<int, 3>{0, 1, 2}));
  EXPECT_EQ(callerThread, std::this_thread::get_id());

  std::atomic<int> finished{0};
  auto slow = [&](int camera) {
    std::this_thread::sleep_for(30ms);
    ++finished;
    return camera;
  };
  try {
    runOnCameraWorkers(slow, [] { throw std::runtime_error("CALLER"); });
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "CALLER");
  }
  EXPECT_EQ(finished.load(), 3);

  auto failing = [](int camera) -> int {
    if (camera == 2) throw std::runtime_error("JOB");
    return camera;
  };
  try {
    runOnCameraWorkers(failing, [] { throw std::runtime_error("CALLER"); });
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "JOB");
  }
}

TEST(CameraWorkerPool, MovesResultsOfAnyType) {
  auto job = [](int camera) { return std::make_pair(camera == 1, std::string(camera + 1, 'x')); };
  const auto results = runOnCameraWorkers(job);
  EXPECT_FALSE(results[0].first);
  EXPECT_TRUE(results[1].first);
  EXPECT_EQ(results[2].second, "xxx");
}

}  // namespace
}  // namespace tarv
