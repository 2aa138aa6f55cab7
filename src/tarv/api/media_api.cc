// The media JPEG exports: captured frames and host-supplied images.
#include "tarv/core/opencv_threads.h"
#include "tarv/reports/media_jpeg.h"
#include "tarv/tarv.h"

extern "C" {

TARV_API int32_t tarv_image_jpeg_lens(const uint8_t* pixels, int32_t width, int32_t height,
                                      const double* H, const double* K, const double* D,
                                      uint8_t* dst, uint64_t capacity) {
  tarv::useLibraryOpenCvThreads();
  return tarv::imageJpegLens(pixels, width, height, H, K, D, dst, capacity);
}

TARV_API int32_t tarv_image_jpeg(const uint8_t* pixels, int32_t width, int32_t height,
                                 const double* H, uint8_t* dst, uint64_t capacity) {
  tarv::useLibraryOpenCvThreads();
  return tarv::imageJpegLens(pixels, width, height, H, nullptr, nullptr, dst, capacity);
}

TARV_API int32_t tarv_capture_jpeg_lens(uint32_t camera, int32_t sequence, int32_t width,
                                        int32_t height, double capture_seconds, const double* H,
                                        const double* K, const double* D, double radius_mm,
                                        uint8_t* dst, uint64_t capacity) {
  tarv::useLibraryOpenCvThreads();
  const tarv::CapturedFrameAccess access{tarv_capture_received, tarv_capture_copy,
                                         tarv_monotonic_seconds};
  return tarv::captureJpegLens(access, camera, sequence, width, height, capture_seconds, H, K, D,
                               radius_mm, dst, capacity);
}

}  // extern "C"
