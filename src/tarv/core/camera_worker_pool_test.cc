#include "tarv/core/camera_worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
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
  std::set<std::thread::id> firstIds;
  std::set<std::thread::id> laterIds;
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
      (firstIds.size() < 3 ? firstIds : laterIds).insert(std::this_thread::get_id());
    }
    --running;
    return 0;
  };
  runOnCameraWorkers(job);
  ASSERT_EQ(firstIds.size(), 3u);

  // Two callers at once: the second fan-out waits for the first, so never more than three
  // jobs run together.
  std::thread other([&] {
    for (int i = 0; i < 5; ++i) runOnCameraWorkers(job);
  });
  for (int i = 0; i < 5; ++i) runOnCameraWorkers(job);
  other.join();
  EXPECT_EQ(mostRunning.load(), 3);
  EXPECT_EQ(laterIds, firstIds);
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
