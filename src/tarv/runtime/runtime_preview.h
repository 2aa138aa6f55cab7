// What the cameras of a runtime see, as RGB bytes for the host, without JSON: the quarter-size
// preview the poll keeps, the newest full frame, a copy at the host's size, and the board
// seen from the front with the calibrated rings. Safe from any host thread: they read the
// view the command thread publishes under a lock, never the runtime's own members.
// Results: 1 done, -1 bad arguments, -2 no fresh frame or a size that does not fit, -3 the
// frame copy failed, -4 an error inside the image operations.
#pragma once

#include <cstdint>

#include "tarv/runtime/runtime.h"

namespace tarv {

int32_t runtimePreview(Runtime* runtime, uint32_t camera, uint8_t* dst, uint64_t size) noexcept;
int32_t runtimeFullPreview(Runtime* runtime, uint32_t camera, uint8_t* dst, uint64_t size) noexcept;
int32_t runtimeScaledPreview(Runtime* runtime, uint32_t camera, int32_t outWidth, int32_t outHeight,
                             uint8_t* dst, uint64_t size) noexcept;
int32_t runtimeBoardPreview(Runtime* runtime, uint32_t camera, int32_t side, uint8_t* dst,
                            uint64_t size) noexcept;

}  // namespace tarv
