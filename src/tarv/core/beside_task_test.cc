#include "tarv/core/beside_task.h"

#include <sched.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace tarv {
namespace {

// On one core the task waits for the caller and runs on the calling thread, once, or not at
// all where the caller no longer needs it; with cores to spare it runs on a thread of its own.
TEST(BesideTask, RunsBesideTheCallerOrAfterItOnceAndNeverAfterTheScope) {
  cpu_set_t before;
  CPU_ZERO(&before);
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  int first = 0;
  while (!CPU_ISSET(first, &before)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  std::atomic<int> runs{0};
  std::thread::id ranOn;
  {
    BesideTask task([&] {
      ranOn = std::this_thread::get_id();
      ++runs;
    });
    EXPECT_EQ(runs.load(), 0);
    task.finish();
    task.finish();
  }
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  {
    BesideTask unneeded([&] { ++runs; });
    unneeded.finish(false);
  }
  EXPECT_EQ(runs.load(), 1);
  ASSERT_EQ(sched_setaffinity(0, sizeof before, &before), 0);

  if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "one core: no thread beside the caller";
  {
    BesideTask task([&] {
      ranOn = std::this_thread::get_id();
      ++runs;
    });
  }  // joined as it goes
  EXPECT_EQ(runs.load(), 2);
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace tarv
