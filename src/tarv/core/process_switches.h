// Process-wide switches and counters written by requests and shared by every engine.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarv {

struct ProcessSwitches {
  std::atomic<bool> dart3d{true};
  std::atomic<bool> autoRealign{true};
  std::atomic<bool> plantMode{false};
  // From TARV_ADAPTIVE_THRESHOLD at load ("1" exactly), overridden by "adaptive_threshold".
  std::atomic<bool> adaptiveThreshold{false};
  // Runs of the per-view difference-terminal search during the current call.
  std::atomic<int32_t> measuredSearches{0};
  std::atomic<bool> warmedUp{false};
};

ProcessSwitches& processSwitches();

// True exactly for the one-character text "1".
bool adaptiveThresholdFromEnvironment(const char* value);

}  // namespace tarv
