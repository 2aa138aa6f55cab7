// The runtime's exports: every failure becomes a reply or a code, never an exception.
#include <new>

#include "tarv/core/opencv_threads.h"
#include "tarv/runtime/runtime.h"
#include "tarv/runtime/runtime_preview.h"
#include "tarv/tarv.h"

namespace {

constexpr const char* kInvalidRuntime = "{\"error\":\"INVALID_RUNTIME\"}";

}  // namespace

extern "C" {

TARV_API void* tarv_runtime_create(void) {
  try {
    tarv::useLibraryOpenCvThreads();
    return new tarv::Runtime();
  } catch (...) {
    return nullptr;
  }
}

TARV_API void tarv_runtime_destroy(void* runtime) {
  delete static_cast<tarv::Runtime*>(runtime);
}

TARV_API const char* tarv_runtime_call(void* runtime, const char* request) {
  if (!runtime || !request) return kInvalidRuntime;
  return tarv::runtimeCall(*static_cast<tarv::Runtime*>(runtime), request);
}

TARV_API int32_t tarv_runtime_preview(void* runtime, uint32_t camera, uint8_t* dst, uint64_t size) {
  return tarv::runtimePreview(static_cast<tarv::Runtime*>(runtime), camera, dst, size);
}

TARV_API int32_t tarv_runtime_scaled_preview(void* runtime, uint32_t camera, int32_t out_width,
                                             int32_t out_height, uint8_t* dst, uint64_t size) {
  return tarv::runtimeScaledPreview(static_cast<tarv::Runtime*>(runtime), camera, out_width,
                                    out_height, dst, size);
}

TARV_API int32_t tarv_runtime_full_preview(void* runtime, uint32_t camera, uint8_t* dst,
                                           uint64_t size) {
  return tarv::runtimeFullPreview(static_cast<tarv::Runtime*>(runtime), camera, dst, size);
}

TARV_API int32_t tarv_runtime_board_preview(void* runtime, uint32_t camera, int32_t side,
                                            uint8_t* dst, uint64_t size) {
  return tarv::runtimeBoardPreview(static_cast<tarv::Runtime*>(runtime), camera, side, dst, size);
}

}  // extern "C"
