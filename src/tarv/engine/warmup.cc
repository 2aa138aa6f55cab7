#include "tarv/engine/warmup.h"

#include "tarv/engine/camera_worker_pool.h"
#include "tarv/engine/engine_values.h"
#include "tarv/engine/process_switches.h"

namespace tarv {

double warmEngine() {
  const double start = monotonicMilliseconds();
  // Starts the camera workers, so the first scored frame does not pay for it.
  auto touch = [](int camera) { return camera; };
  runOnCameraWorkers(touch);
  processSwitches().warmedUp = true;
  return monotonicMilliseconds() - start;
}

}  // namespace tarv
