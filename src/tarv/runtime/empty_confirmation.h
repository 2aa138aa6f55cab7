// "confirm_empty": the user says the board is empty now; new references become the engine's
// empty board and the motion bookkeeping starts again from them.
#pragma once

#include <nlohmann/json.hpp>

#include "tarv/runtime/runtime.h"

namespace tarv {

// How long a confirmation waits for frames newer than its first call.
constexpr double kEmptyConfirmationSeconds = 8.0;

json confirmEmptyBoard(Runtime& runtime, const json& request);

}  // namespace tarv
