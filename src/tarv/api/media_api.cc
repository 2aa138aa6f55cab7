// The media JPEG exports of host-supplied images.
#include "tarv/reports/media_jpeg.h"
#include "tarv/tarv.h"

extern "C" {

TARV_API int32_t tarv_image_jpeg_lens(const uint8_t* pixels, int32_t width, int32_t height,
                                      const double* H, const double* K, const double* D,
                                      uint8_t* dst, uint64_t capacity) {
  return tarv::imageJpegLens(pixels, width, height, H, K, D, dst, capacity);
}

TARV_API int32_t tarv_image_jpeg(const uint8_t* pixels, int32_t width, int32_t height,
                                 const double* H, uint8_t* dst, uint64_t capacity) {
  return tarv::imageJpegLens(pixels, width, height, H, nullptr, nullptr, dst, capacity);
}

}  // extern "C"
