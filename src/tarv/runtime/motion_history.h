// The last moments of all three cameras as a short ring of synchronised, reduced, rectified
// frame triplets, filled by the "tarv-bewegungsverlauf" thread independent of the poll rhythm,
// so that what happened between two polls can be reviewed afterwards.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarv/reports/report_event.h"

namespace tarv {

using MotionProducer = std::function<bool(MotionSample&)>;
// Makes the threads of the runtime; tests put one in that fails.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;
std::thread startPlainThread(std::function<void()> body);

struct MotionHistory {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  bool stop = false;
  std::deque<MotionSample> samples;  // oldest first
  uint64_t bytes = 0;
  uint64_t byteCap = 134217728;
  // Largest end - start of one sample; the poll sets it from the frame rate.
  double spreadLimit = 0.06;
  uint64_t producerErrors = 0;
  uint64_t generation = 0;
};

// Stops a running thread, then runs the producer every 8 ms on a new thread. Fails with the
// standard library's system error when the thread cannot be made.
void startMotionHistory(MotionHistory& history, MotionProducer producer,
                        const ThreadStarter& starter = startPlainThread);
// Joins the thread; the stop flag stays set until the next start.
void stopMotionHistory(MotionHistory& history) noexcept;
// Caller holds the mutex. Frames wider than 640 are reduced to 640; true when stored.
bool pushMotionSample(MotionHistory& history, MotionSample sample);
bool pushMotionSampleLocked(MotionHistory& history, MotionSample sample);
void clearMotionHistory(MotionHistory& history);
// The one value that bounds a sample's spread; the poll derives it from the frame rate.
void setMotionHistoryInterval(MotionHistory& history, double seconds);
nlohmann::json motionHistoryStats(MotionHistory& history);
// Samples from the last one complete by anchor to the newest, provided all start after
// floor, without those completed after cutOff.
std::vector<MotionSample> queryMotionHistory(MotionHistory& history, double anchor, double floor,
                                             double cutOff);

double sampleStart(const MotionSample& sample);
double sampleEnd(const MotionSample& sample);

}  // namespace tarv
