// The health document of one camera: a snapshot of its slot.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tarv/capture/capture_slot.h"

namespace tarv {

// The caller holds the slot's lock; now_ms is the monotonic clock in milliseconds.
nlohmann::json captureHealthJson(const SlotState& slot, double now_ms);

// The dumped document, or {"error":"HEALTH_UNAVAILABLE"} when building it fails.
std::string captureHealthText(SlotState& slot, double now_ms);

}  // namespace tarv
