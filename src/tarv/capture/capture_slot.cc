#include "tarv/capture/capture_slot.h"

namespace tarv {
namespace {
// Constructed while the library loads, before any export runs.
std::array<CaptureSlot, 3> gCaptureSlots;
}  // namespace

std::array<CaptureSlot, 3>& captureSlots() { return gCaptureSlots; }

}  // namespace tarv
