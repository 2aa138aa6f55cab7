// The engine's exported functions. No exception leaves them.
#include <cstring>
#include <mutex>
#include <new>

#include "tarv/core/opencv_threads.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace {

const char kAbiInfo[] = "{\"abi\":1,\"opencv\":\"5.0.0\",\"image_format\":\"BGR8\"}";
const char kInvalidSession[] = "{\"error\":\"INVALID_SESSION\"}";

// OpenCV's process-wide thread setting is made when the library is loaded, before a host
// can start any engine or camera; the entry points repeat the (then free) call for hosts
// that link the objects statically.
const bool kOpenCvThreadsSet = (tarv::useLibraryOpenCvThreads(), true);

const cv::Mat& copyableImage(const tarv::Camera& camera, int32_t image) {
  switch (image) {
    case 0: return camera.emptyReferenceColour;
    case 1: return camera.backgroundFrame;
    case 2: return camera.referenceChangeMask;
    default: return camera.residualMask;
  }
}

}  // namespace

extern "C" {

TARV_API const char* tarv_abi_info(void) { return kAbiInfo; }

TARV_API void* tarv_create(void) {
  try {
    tarv::useLibraryOpenCvThreads();
    return new (std::nothrow) tarv::Engine();
  } catch (...) {
    return nullptr;
  }
}

TARV_API void tarv_destroy(void* engine) { delete static_cast<tarv::Engine*>(engine); }

TARV_API const char* tarv_call(void* engine, const char* request) {
  if (engine == nullptr) return kInvalidSession;
  auto& e = *static_cast<tarv::Engine*>(engine);
  try {
    std::lock_guard<std::mutex> lock(e.mutex);
    return tarv::callEngine(e, request);
  } catch (...) {  // only a failing lock can reach here
    return kInvalidSession;
  }
}

TARV_API int32_t tarv_copy(void* engine, int32_t camera, int32_t image, uint8_t* destination,
                           uint64_t size) {
  if (engine == nullptr || destination == nullptr || camera < 0 || camera > 2) return -1;
  auto& e = *static_cast<tarv::Engine*>(engine);
  try {
    std::lock_guard<std::mutex> lock(e.mutex);
    const cv::Mat& source = copyableImage(e.round.cameras[camera], image);
    if (source.empty() || !source.isContinuous() ||
        size != static_cast<uint64_t>(source.total() * source.elemSize())) {
      return -2;
    }
    std::memcpy(destination, source.data, size);
    return 0;
  } catch (...) {
    return -2;
  }
}

}  // extern "C"
