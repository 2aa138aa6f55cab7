// Median wall time of repeated runs of one piece of work, in milliseconds.
#pragma once

#include <chrono>
#include <vector>

#include "tarv/core/board_geometry.h"

namespace tarv::bench {

template <typename F>
double medianMs(int runs, F&& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return tarv::percentile(times, 50.0);
}

}  // namespace tarv::bench
