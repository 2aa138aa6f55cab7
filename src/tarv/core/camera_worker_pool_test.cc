#include "tarv/core/camera_worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
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

// Keeps the last camera's worker busy with a job posted outside any fan-out until released.
class BusyLastWorker {
 public:
  BusyLastWorker() : state_(std::make_shared<State>()) {
    {
      std::lock_guard<std::mutex> fanOut(detail::fanOutLock());
      posted_ = detail::postCameraJob(2, [state = state_] {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->started = true;
        state->changed.notify_all();
        state->changed.wait(lock, [&] { return state->released; });
        state->finished = true;
        state->changed.notify_all();
      });
    }
    std::unique_lock<std::mutex> lock(state_->mutex);
    posted_ = posted_ && state_->changed.wait_for(lock, 5s, [&] { return state_->started; });
  }
  ~BusyLastWorker() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->released = true;
    state_->changed.notify_all();
    if (posted_) state_->changed.wait_for(lock, 5s, [&] { return state_->finished; });
  }
  bool busy() const { return posted_; }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false, released = false, finished = false;
  };
  std::shared_ptr<State> state_;
  bool posted_ = false;
};

// A worker that cannot take its job (busy, or not yet woken on a loaded machine) does not hold
// the fan-out up: the caller runs the job itself, and where it has work of its own, runs the
// job first rather than leave it waiting through that work.
TEST(CameraWorkerPool, TheCallerRunsAJobItsWorkerHasNotStarted) {
  const std::thread::id caller = std::this_thread::get_id();
  auto job = [](int camera) { return std::make_pair(camera, std::this_thread::get_id()); };
  {
    BusyLastWorker busy;
    ASSERT_TRUE(busy.busy());
    auto fanOut = std::async(std::launch::async,
                             [&job] { return std::make_pair(runOnCameraWorkers(job), std::this_thread::get_id()); });
    ASSERT_EQ(fanOut.wait_for(5s), std::future_status::ready);
    const auto [results, fanOutThread] = fanOut.get();
    EXPECT_NE(fanOutThread, caller);
    for (int camera = 0; camera < 3; ++camera) EXPECT_EQ(results[camera].first, camera);
    EXPECT_EQ(results[2].second, fanOutThread);
  }
  // The freed worker serves the next fan-outs as before.
  auto ok = [](int camera) { return camera + 1; };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(runOnCameraWorkers(ok), (std::array<int, 3>{1, 2, 3}));

  // With work of its own, the caller has run the stuck job before that work begins, where it can
  // wait for the workers (four cores or more); on fewer it leaves them its work's time to wake.
  {
    BusyLastWorker busy;
    ASSERT_TRUE(busy.busy());
    std::atomic<bool> stuckJobDone{false};
    auto marked = [&](int camera) {
      if (camera == 2) stuckJobDone = true;
      return camera;
    };
    bool doneBeforeCallersWork = false;
    const auto results = runOnCameraWorkers(marked, [&] { doneBeforeCallersWork = stuckJobDone.load(); });
    EXPECT_EQ(results, (std::array<int, 3>{0, 1, 2}));
    EXPECT_EQ(doneBeforeCallersWork, std::thread::hardware_concurrency() >= 4);
  }
  EXPECT_EQ(runOnCameraWorkers(ok), (std::array<int, 3>{1, 2, 3}));
}

// The caller's own work runs on the calling thread while the jobs run, and its error comes
// only after the jobs, which refer to the caller's data, have finished; a job's error wins.
TEST(CameraWorkerPool, TheCallersWorkRunsAlongsideTheJobs) {
  std::mutex mutex;
  std::condition_variable changed;
  int jobsStarted = 0;
  auto job = [&](int camera) {
    std::lock_guard<std::mutex> lock(mutex);
    ++jobsStarted;
    changed.notify_all();
    return camera;
  };
  std::thread::id callerThread;
  const auto results = runOnCameraWorkers(job, [&] {
    callerThread = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex);
    // Every job starts while the caller's work lasts, none waits for it to end.
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
