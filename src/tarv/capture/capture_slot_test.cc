#include "tarv/capture/capture_slot.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

using testing::ScriptedFrameSource;

// A fallback-only setup: every device text that names a file opens the scripted source.
struct ScriptedFallback {
  std::shared_ptr<ScriptedFrameSource::Control> control = std::make_shared<ScriptedFrameSource::Control>();
  testing::TempDir dir;
  std::string file;
  std::unique_ptr<testing::ScopedBackends> scope;

  ScriptedFallback() {
    control->frames = {testing::squareFrame(64, 48, 5, 5), testing::squareFrame(64, 48, 25, 5)};
    file = testing::writeTestVideo(dir.path(), 64, 48, 2, 30);
    auto backends = std::make_shared<CaptureBackends>();
    backends->video = std::make_shared<testing::ScriptedVideoSystem>();
    backends->timings = testing::quickTimings();
    auto c = control;
    backends->open_fallback = [c](const std::string&, int) { return std::make_unique<ScriptedFrameSource>(c); };
    scope = std::make_unique<testing::ScopedBackends>(backends);
  }
  ~ScriptedFallback() { control->release(); }

  CaptureRequest request() const {
    CaptureRequest r;
    r.device = file;
    return r;
  }
};

int32_t waitForFrames(SlotState& slot, int32_t at_least) {
  std::unique_lock<std::mutex> lock(slot.mutex);
  slot.changed.wait_for(lock, std::chrono::seconds(20), [&] { return slot.sequence >= at_least || !slot.running; });
  return slot.sequence;
}

TEST(CaptureSlot, DestroyedWhileAttachedStopsItsWorker) {
  ScriptedFallback setup;
  std::shared_ptr<SlotState> state;
  {
    CaptureSlot slot;
    ASSERT_EQ(slot.open(setup.request()), 0);
    state = slot.state();
    EXPECT_GE(waitForFrames(*state, 2), 2);
  }
  std::lock_guard<std::mutex> lock(state->mutex);
  EXPECT_FALSE(state->running);
  EXPECT_FALSE(state->worker_active);
}

TEST(CaptureSlot, WorkerCarriesTheCameraName) {
  ScriptedFallback setup;
  std::mutex mutex;
  std::string name;
  setup.control->on_read = [&] {
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    std::lock_guard<std::mutex> lock(mutex);
    name = buffer;
  };
  CaptureSlot slot;
  CaptureRequest request = setup.request();
  request.camera = 2;
  ASSERT_EQ(slot.open(request), 0);
  waitForFrames(*slot.state(), 1);
  slot.close();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(name, "tarv-kamera-3");
}

TEST(CaptureSlot, SecondOpenWithoutCloseIsRefused) {
  ScriptedFallback setup;
  CaptureSlot slot;
  ASSERT_EQ(slot.open(setup.request()), 0);
  EXPECT_EQ(slot.open(setup.request()), -3);
  slot.close();
  EXPECT_EQ(slot.open(setup.request()), 0);
  slot.close();
  slot.close();
}

TEST(CaptureSlot, OpensAndClosesFromManyThreadsAtOnce) {
  ScriptedFallback setup;
  CaptureSlot slot;
  std::vector<std::thread> threads;
  // Whether any of these opens wins against the closes racing it is the scheduler's choice (on
  // a loaded machine every one may be closed before it reports open); each must answer a
  // defined code, and the slot must open normally afterwards.
  std::atomic<int> undefined{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        if ((t + i) % 2 == 0) {
          const int32_t code = slot.open(setup.request());
          if (code != 0 && code != -2 && code != -3) ++undefined;
        } else {
          slot.close();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  slot.close();
  EXPECT_EQ(undefined.load(), 0);
  EXPECT_EQ(slot.open(setup.request()), 0);
  slot.close();
}

TEST(CaptureSlot, CloseReturnsWhileTheDeviceHangs) {
  ScriptedFallback setup;
  CaptureSlot slot;
  ASSERT_EQ(slot.open(setup.request()), 0);
  std::shared_ptr<SlotState> hung = slot.state();
  waitForFrames(*hung, 2);
  {
    std::lock_guard<std::mutex> lock(setup.control->mutex);
    setup.control->hang = true;
  }
  while (setup.control->hung_reads.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  slot.close(200);  // the worker is stuck in a read: close leaves it behind
  {
    std::lock_guard<std::mutex> lock(hung->mutex);
    EXPECT_FALSE(hung->running);
    EXPECT_FALSE(hung->opened);
  }
  // The camera opens again while the old worker still hangs; when the old read returns, its
  // frame goes nowhere the host can see.
  {
    std::lock_guard<std::mutex> lock(setup.control->mutex);
    setup.control->hang = false;
    setup.control->frames = {testing::squareFrame(32, 24, 1, 1)};
  }
  const int32_t before = [&] {
    std::lock_guard<std::mutex> lock(hung->mutex);
    return hung->sequence;
  }();
  setup.control->released.notify_all();
  ASSERT_EQ(slot.open(setup.request()), 0);
  EXPECT_NE(slot.state(), hung);
  EXPECT_GE(waitForFrames(*slot.state(), 1), 1);
  slot.close();
  std::lock_guard<std::mutex> lock(hung->mutex);
  EXPECT_EQ(hung->sequence, before);
}

// Leaves the worker of `slot` behind in a read that hangs; returns the worker's thread id.
pid_t leaveWorkerBehind(ScriptedFallback& setup, CaptureSlot& slot) {
  std::atomic<pid_t> reader{0};
  setup.control->on_read = [&reader] { reader = static_cast<pid_t>(::syscall(SYS_gettid)); };
  EXPECT_EQ(slot.open(setup.request()), 0);
  waitForFrames(*slot.state(), 2);
  {
    std::lock_guard<std::mutex> lock(setup.control->mutex);
    setup.control->hang = true;
  }
  while (setup.control->hung_reads.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  slot.close(200);
  return reader.load();
}

bool threadRuns(pid_t thread) { return ::access(("/proc/self/task/" + std::to_string(thread)).c_str(), F_OK) == 0; }

// When its read returns, a worker that close left behind lets the camera go and then parks:
// its thread never ends, so no thread-exit code of ours runs at a time the host cannot know.
TEST(CaptureSlot, LeftBehindWorkerReleasesItsCameraAndParks) {
  ScriptedFallback setup;
  CaptureSlot slot;
  const pid_t worker = leaveWorkerBehind(setup, slot);
  ASSERT_GT(worker, 0);
  setup.control->release();
  for (int i = 0; i < 500 && setup.control->destroyed.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(setup.control->destroyed.load(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(threadRuns(worker));
}

// Once the process has begun to exit, a worker that comes back from its read touches nothing,
// not even its camera: releasing it would run the image library's code after its statics died.
TEST(CaptureSlot, LeftBehindWorkerKeepsItsCameraOnceExitBegan) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ScriptedFallback setup;
        CaptureSlot slot;
        leaveWorkerBehind(setup, slot);
        holdLeftBehindWorkersForExit();
        setup.control->release();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::_exit(setup.control->destroyed.load() == 0 && setup.control->reads.load() > 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(CaptureSlot, CloseFromTheWorkerThreadDoesNotThrow) {
  ScriptedFallback setup;
  CaptureSlot slot;
  std::atomic<bool> closed_inside{false};
  std::atomic<bool> armed{false};
  setup.control->on_read = [&] {
    if (armed.exchange(false)) {
      slot.close();
      closed_inside = true;
    }
  };
  ASSERT_EQ(slot.open(setup.request()), 0);
  std::shared_ptr<SlotState> state = slot.state();
  armed = true;
  for (int i = 0; i < 2000 && !closed_inside.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(closed_inside.load());
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_FALSE(state->opened);
  }
  EXPECT_EQ(slot.open(setup.request()), 0);
  slot.close();
}

}  // namespace
}  // namespace tarv
