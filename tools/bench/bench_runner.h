// Runs scenario sets against the library through tarv_call, the way a host drives it, and
// measures what the table reports: outcomes per dart, call times, the absdiff floor and the
// resident memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/scenarios.h"
#include "bench/scoring.h"

namespace tarv::bench {

// How many times a host sends each scene state.
constexpr int kSendsPerState = 4;
// Runs of the absdiff floor per set, spread over its rounds (at least 5 per round).
constexpr int kFloorRuns = 50;

struct SetRun {
  SetTally tally;
  double floor_ms = 0.0;           // median of the set's absdiff floor runs
  cv::Size image_size;
  std::vector<std::string> lines;  // one per dart, for --verbose
};

// Renders and sends the set's rounds: arm with the empty board, the empty board again, then
// three darts one after another, every state sent kSendsPerState times. With fewer than three
// cameras the host sends the frames of those cameras only (host::camerasForCount).
// `pair` (two indices into the rig) names the two cameras sent instead of the rig's first two.
SetRun runScenarioSet(const ScenarioSet& set, int darts, uint64_t seed, int cameras = 3,
                      const std::vector<size_t>& pair = {});

struct MemoryRun {
  std::string set;
  std::string size;
  double after_arm_mb = 0.0;    // resident size after arming minus before tarv_create
  double after_first_round_mb = 0.0;  // the same once the first round is over
  double after_calls_mb = 0.0;  // the same after all calls
  int calls = 0;
  int rounds = 0;
  int error_replies = 0;
};

// Rounds of the set, re-armed each round, until `calls` tarv_call calls have been made.
MemoryRun measureMemory(const std::string& setName, int calls, uint64_t seed);

// `runs` timings of cv::absdiff of each frame against its reference into preallocated outputs,
// in milliseconds for the whole triplet, and their median; the caller sets the thread count.
std::vector<double> absdiffRunsMs(const std::vector<cv::Mat>& frames,
                                  const std::vector<cv::Mat>& references, int runs);
double absdiffFloorMs(const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& references,
                      int runs = kFloorRuns);

// Resident set size of this process from /proc/self/statm; 0 when it cannot be read.
size_t residentBytes();

// The OpenCV thread count the benchmark renders with (the library sets one thread per call).
void setRenderThreads(int threads);
// The arm request of every set gives this camera of the rig (0-based; -1 none) a homography
// shifted by this many pixels while the scenes still render with the true one: a rig whose
// calibration of one camera is a few pixels off.
void setOffCamera(int camera, cv::Point2d shiftPx);
// Every reply's status, reason and per-camera change figures on the error stream.
void setTrace(bool on);
// Only these rounds (1-based) of each set are sent; empty: all of them.
void setOnlyRounds(std::vector<int> rounds);
// The frames of every state sent in the chosen rounds are written as PNG files below this
// folder (set-rRR-sS-cC.png, s 0 the reference); empty: none.
void setDumpFolder(std::string folder);

}  // namespace tarv::bench
