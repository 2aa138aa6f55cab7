#include "tarv/capture/sample_mailbox.h"

#include <thread>

#include <gtest/gtest.h>

namespace tarv {
namespace {

TEST(SampleMailbox, NewestSampleWins) {
  SampleMailbox box;
  const std::atomic<bool> stop{false};
  const uint8_t first[] = {1, 2, 3};
  const uint8_t second[] = {4, 5};
  box.put(first, 3);
  box.put(second, 2);
  box.put(nullptr, 4);
  box.put(first, 0);
  std::vector<uint8_t> sample;
  EXPECT_EQ(box.take(0, stop, sample), SampleMailbox::Take::Sample);
  EXPECT_EQ(sample, (std::vector<uint8_t>{4, 5}));
  EXPECT_EQ(box.take(10, stop, sample), SampleMailbox::Take::Timeout);
}

TEST(SampleMailbox, EndAndStopWakeTheTaker) {
  SampleMailbox box;
  std::atomic<bool> stop{false};
  std::vector<uint8_t> sample;
  std::thread ender([&] { box.end(); });
  EXPECT_EQ(box.take(10000, stop, sample), SampleMailbox::Take::Ended);
  ender.join();
  SampleMailbox other;
  std::thread stopper([&] { stop = true; });
  EXPECT_EQ(other.take(10000, stop, sample), SampleMailbox::Take::Stopped);
  stopper.join();
}

}  // namespace
}  // namespace tarv
