// Warm-up: runs the per-camera machinery once so the first real frame pays no start-up cost.
#pragma once

namespace tarv {

// Returns the milliseconds it took.
double warmEngine();

}  // namespace tarv
