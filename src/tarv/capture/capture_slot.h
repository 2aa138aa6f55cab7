// Process-wide capture state of one camera. Three slots exist from load to unload.
#pragma once

#include <array>
#include <condition_variable>
#include <mutex>

namespace tarv {

struct CaptureSlot {
  std::mutex mutex;
  std::condition_variable frameReady;
};

std::array<CaptureSlot, 3>& captureSlots();

}  // namespace tarv
