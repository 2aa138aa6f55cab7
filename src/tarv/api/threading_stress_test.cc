// Hosts drive engines and cameras from several threads at once: OpenCV's process-wide thread
// setting must never change under a thread that is running OpenCV. These tests repeat the
// patterns that crashed inside OpenCV's thread pool when every call and every camera worker
// set it again; they check answers, never times.
#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarv/capture/capture_test_support.h"
#include "tarv/tarv.h"

namespace {

using nlohmann::json;
namespace tt = tarv::testing;

// Cheap "scope" calls on one engine; the number of replies other than CONFIG_UPDATED.
int driveScope(void* engine, int calls) {
  int wrong = 0;
  for (int i = 0; i < calls; ++i) {
    const char* request = i % 2 ? R"({"command":"scope","images":[],"ignore_surround":true})"
                                : R"({"command":"scope","images":[],"ignore_surround":false})";
    const json reply = json::parse(tarv_call(engine, request));
    if (reply.value("status", "") != "CONFIG_UPDATED") ++wrong;
  }
  return wrong;
}

TEST(ThreadingStress, TwoEnginesEachDrivenFromItsOwnThread) {
  constexpr int kCalls = 20000;
  std::array<void*, 2> engines{tarv_create(), tarv_create()};
  ASSERT_NE(engines[0], nullptr);
  ASSERT_NE(engines[1], nullptr);
  std::array<int, 2> wrong{-1, -1};
  std::atomic<bool> go{false};
  std::vector<std::thread> hosts;
  for (int e = 0; e < 2; ++e) {
    hosts.emplace_back([&, e] {
      while (!go.load()) std::this_thread::yield();
      wrong[e] = driveScope(engines[e], kCalls);
    });
  }
  go = true;
  for (std::thread& t : hosts) t.join();
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
  for (void* e : engines) tarv_destroy(e);
}

// Three file cameras opened at the same moment, again and again, while two engines take
// calls: the camera workers start while other threads are inside OpenCV.
TEST(ThreadingStress, ThreeFileCamerasOpenedAtOnceWhileEnginesRun) {
  constexpr int kRounds = 40;
  tt::TempDir dir;
  const std::string file = tt::writeTestVideo(dir.path(), 160, 120, 10, 30);
  std::array<void*, 2> engines{tarv_create(), tarv_create()};
  std::atomic<bool> done{false};
  std::array<int, 2> wrong{0, 0};
  std::vector<std::thread> hosts;
  for (int e = 0; e < 2; ++e) {
    hosts.emplace_back([&, e] {
      while (!done.load()) wrong[e] += driveScope(engines[e], 50);
    });
  }
  int failedOpens = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::array<int32_t, 3> results{-9, -9, -9};
    std::vector<std::thread> openers;
    for (uint32_t camera = 0; camera < 3; ++camera) {
      openers.emplace_back([&, camera] {
        results[camera] = tarv_capture_open(camera, file.c_str(), 0, 0, 0, nullptr, 0);
      });
    }
    for (std::thread& t : openers) t.join();
    for (int32_t r : results) failedOpens += r != 0;
    for (uint32_t camera = 0; camera < 3; ++camera) tarv_capture_close(camera);
  }
  done = true;
  for (std::thread& t : hosts) t.join();
  EXPECT_EQ(failedOpens, 0);
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
  for (void* e : engines) tarv_destroy(e);
}

}  // namespace
