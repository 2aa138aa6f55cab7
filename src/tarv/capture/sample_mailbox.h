// A newest-sample mailbox between a thread that produces samples and the worker that takes
// them: a slow worker loses samples instead of queueing them, which keeps latency at one frame.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tarv {

class SampleMailbox {
 public:
  enum class Take { Sample, Timeout, Ended, Stopped };
  // Empty samples are ignored; an untaken sample is replaced.
  void put(const uint8_t* data, std::size_t length);
  // The stream ended (error or end of stream); a sample still waiting is taken first.
  void end();
  Take take(int timeout_ms, const std::atomic<bool>& stop, std::vector<uint8_t>& sample);

 private:
  std::mutex mutex_;
  std::condition_variable ready_cv_;
  std::vector<uint8_t> sample_;
  bool ready_ = false;
  bool ended_ = false;
};

}  // namespace tarv
