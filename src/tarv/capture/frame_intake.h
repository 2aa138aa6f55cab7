// The one way a frame enters a slot: decoded BGR frames or raw MJPG samples, checked,
// reduced to quarter size, measured for motion, retained and numbered.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/capture/capture_slot.h"

namespace tarv {

// frame empty: JPEG mode with `bytes`; otherwise a decoded 8-bit BGR frame. Times are on the
// monotonic millisecond clock. Drops (bad framing, undecodable data, a closed slot) change
// only the counters. Returns whether the frame was published.
bool publishCapturedFrame(SlotState& slot, cv::Mat frame, std::vector<uint8_t> bytes,
                          double read_start_ms, double receive_ms);

// Pacing against the slot's schedule; counts the dropped frames.
bool shouldSkipForPacing(SlotState& slot, double now_ms, int fps);

}  // namespace tarv
