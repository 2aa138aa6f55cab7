// The capture family's exports.
#include "tarv/core/engine_values.h"
#include "tarv/tarv.h"

extern "C" {

TARV_API double tarv_monotonic_seconds(void) { return tarv::monotonicSeconds(); }

}  // extern "C"
