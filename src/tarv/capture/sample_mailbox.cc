#include "tarv/capture/sample_mailbox.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace tarv {

void SampleMailbox::put(const uint8_t* data, std::size_t length) {
  if (!data || length == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sample_.assign(data, data + length);
    ready_ = true;
  }
  ready_cv_.notify_one();
}

void SampleMailbox::end() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  ready_cv_.notify_one();
}

SampleMailbox::Take SampleMailbox::take(int timeout_ms, const std::atomic<bool>& stop,
                                        std::vector<uint8_t>& sample) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The stop flag is set without this mutex, so the wait wakes in short steps to see it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready_ && !ended_ && !stop.load()) {
    const auto step = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
    if (ready_cv_.wait_until(lock, step) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      break;
    }
  }
  if (stop.load()) return Take::Stopped;
  if (ready_) {
    sample = std::move(sample_);
    sample_.clear();
    ready_ = false;
    return Take::Sample;
  }
  return ended_ ? Take::Ended : Take::Timeout;
}

}  // namespace tarv
