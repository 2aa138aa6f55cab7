#include "tarv/runtime/poll_timing.h"

#include <algorithm>
#include <cmath>

namespace tarv {

namespace {

double atLeastOne(double fps) { return fps > 1.0 ? fps : 1.0; }

}  // namespace

void resetFrameRate(FrameRateEstimator& e, int32_t fps, std::atomic<double>& published) {
  e = FrameRateEstimator();
  e.requested = fps;
  e.estimate.fill(static_cast<double>(fps));
  published.store(static_cast<double>(fps));
}

void estimateFrameRate(FrameRateEstimator& e, int camera, int32_t sequence, double time,
                       std::atomic<double>& published) {
  const size_t c = static_cast<size_t>(camera);
  const int32_t last = e.lastSequence[c];
  bool store = true;
  if (last >= 0 && sequence > last) {
    const int64_t step = static_cast<int64_t>(sequence) - last;
    const double dt = time - e.lastTime[c];
    if (step <= 3 && time > e.lastTime[c] && dt <= 2.0) {
      const double instant = static_cast<double>(step) / dt;
      if (std::isfinite(instant) && instant >= 1.0 && instant < 240.0) {
        bool use = true;
        if (instant < 0.6 * e.estimate[c]) {
          use = ++e.slowOutliers[c] >= 3;
        } else {
          e.slowOutliers[c] = 0;
        }
        if (use) {
          e.estimate[c] = std::min(0.8 * e.estimate[c] + 0.2 * instant,
                                   static_cast<double>(e.requested));
        }
      }
    }
  } else if (last >= 0 && sequence == last) {
    store = false;
  }
  if (store) {
    e.lastSequence[c] = sequence;
    e.lastTime[c] = time;
  }
  published.store(*std::min_element(e.estimate.begin(), e.estimate.end()));
}

double frameInterval(double fps) { return 1.0 / atLeastOne(fps); }
double frameFreshnessLimit(double fps) { return std::max(0.5, 2.5 / atLeastOne(fps)); }
double shortFrameAgeLimit(double fps) { return std::max(0.1, 1.25 / atLeastOne(fps)); }

int32_t framesForDuration(double fps, double seconds) {
  const double whole = std::isfinite(fps) ? std::trunc(std::max(fps, 0.0)) : 0.0;
  const int32_t half = std::max<int32_t>(1, static_cast<int32_t>(std::min(whole, 1e6)) / 2);
  const double n = std::ceil(fps * seconds - 1e-9);
  const int32_t frames = std::isfinite(n) ? static_cast<int32_t>(std::clamp(n, 1.0, 1e6)) : 1;
  return std::min(half, frames);
}

}  // namespace tarv
