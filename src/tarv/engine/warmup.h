// Warm-up: runs the image pipeline once before play, so that its first run in the process
// does not fall on the first real frames.
#pragma once

#include <array>

#include "tarv/core/round.h"

namespace tarv {

// Builds three synthetic cameras and warms up on them; the milliseconds it took, 0.0 when the
// process is already warm.
double warmEngine();

// The per-camera analysis, tip solver and consensus once on the cameras, behind the
// process-wide warm-up flag; 0.0 without doing anything when already warm.
double runWarmupOnce(const std::array<Camera, 3>& cameras);

}  // namespace tarv
