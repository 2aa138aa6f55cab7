#include "tarv/runtime/motion_history.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "tarv/core/thread_name.h"

namespace tarv {

namespace {

constexpr size_t kMaxSamples = 96;
constexpr double kMaxSpanSeconds = 1.25;

void runMotionHistory(MotionHistory& history, const MotionProducer& producer) {
  setThreadName("tarv-bewegungsverlauf");
  for (;;) {
    uint64_t generation = 0;
    {
      std::lock_guard<std::mutex> lock(history.mutex);
      if (history.stop) return;
      generation = history.generation;
    }
    try {
      MotionSample sample;
      if (producer(sample)) {
        std::lock_guard<std::mutex> lock(history.mutex);
        if (!history.stop && history.generation == generation) {
          pushMotionSample(history, std::move(sample));
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(history.mutex);
      ++history.producerErrors;
    }
    std::unique_lock<std::mutex> lock(history.mutex);
    history.wake.wait_for(lock, std::chrono::milliseconds(8), [&] { return history.stop; });
    if (history.stop) return;
  }
}

}  // namespace

double sampleStart(const MotionSample& s) {
  return std::min({s.captureTimes[0], s.captureTimes[1], s.captureTimes[2]});
}

double sampleEnd(const MotionSample& s) {
  return std::max({s.captureTimes[0], s.captureTimes[1], s.captureTimes[2]});
}

std::thread startPlainThread(std::function<void()> body) { return std::thread(std::move(body)); }

void startMotionHistory(MotionHistory& history, MotionProducer producer,
                        const ThreadStarter& starter) {
  stopMotionHistory(history);
  {
    std::lock_guard<std::mutex> lock(history.mutex);
    history.stop = false;
    history.producerErrors = 0;
  }
  history.thread = starter([&history, p = std::move(producer)] { runMotionHistory(history, p); });
}

void stopMotionHistory(MotionHistory& history) noexcept {
  {
    std::lock_guard<std::mutex> lock(history.mutex);
    history.stop = true;
  }
  history.wake.notify_all();
  if (history.thread.joinable() && history.thread.get_id() != std::this_thread::get_id()) {
    history.thread.join();
  }
}

bool pushMotionSample(MotionHistory& history, MotionSample sample) {
  if (!(sampleEnd(sample) - sampleStart(sample) <= history.spreadLimit)) return false;
  const MotionSample* newest = history.samples.empty() ? nullptr : &history.samples.back();
  for (size_t i = 0; i < 3; ++i) {
    if (!std::isfinite(sample.captureTimes[i]) || sample.sequences[i] < 0) return false;
    cv::Mat& frame = sample.frames[i];
    if (frame.empty() || frame.type() != CV_8UC3) return false;
    if (newest && !(sample.captureTimes[i] > newest->captureTimes[i] &&
                    sample.sequences[i] > newest->sequences[i])) {
      return false;
    }
    if (frame.cols <= 640) {
      frame = frame.clone();
    } else {
      cv::Mat reduced;
      cv::resize(frame, reduced,
                 cv::Size(640, static_cast<int>(std::lround(frame.rows * 640.0 / frame.cols))), 0, 0,
                 cv::INTER_AREA);
      frame = reduced;
    }
  }
  const uint64_t bytes = motionSampleBytes(sample);
  if (bytes > history.byteCap) return false;
  history.bytes += bytes;
  history.samples.push_back(std::move(sample));
  while (history.samples.size() > 1 &&
         (history.samples.size() > kMaxSamples || history.bytes > history.byteCap ||
          sampleEnd(history.samples.back()) - sampleStart(history.samples.front()) > kMaxSpanSeconds)) {
    history.bytes -= motionSampleBytes(history.samples.front());
    history.samples.pop_front();
  }
  return true;
}

bool pushMotionSampleLocked(MotionHistory& history, MotionSample sample) {
  std::lock_guard<std::mutex> lock(history.mutex);
  return pushMotionSample(history, std::move(sample));
}

void clearMotionHistory(MotionHistory& history) {
  std::lock_guard<std::mutex> lock(history.mutex);
  ++history.generation;
  history.samples.clear();
  history.bytes = 0;
}

void setMotionHistoryInterval(MotionHistory& history, double seconds) {
  std::lock_guard<std::mutex> lock(history.mutex);
  history.spreadLimit = seconds;
}

nlohmann::json motionHistoryStats(MotionHistory& history) {
  std::lock_guard<std::mutex> lock(history.mutex);
  return {{"samples", history.samples.size()},
          {"bytes", history.bytes},
          {"producer_errors", history.producerErrors}};
}

std::vector<MotionSample> queryMotionHistory(MotionHistory& history, double anchor, double floor,
                                             double cutOff) {
  std::vector<MotionSample> out;
  std::lock_guard<std::mutex> lock(history.mutex);
  const auto& samples = history.samples;
  size_t k = samples.size();
  for (size_t i = 0; i < samples.size(); ++i) {
    if (sampleEnd(samples[i]) <= anchor) k = i;
  }
  if (k == samples.size()) return out;
  for (size_t j = k; j < samples.size(); ++j) {
    if (sampleStart(samples[j]) <= floor) return {};
    if (sampleEnd(samples[j]) <= cutOff) out.push_back(samples[j]);
  }
  return out;
}

}  // namespace tarv
