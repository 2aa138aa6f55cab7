// JPEG pictures for the host's display and sharing, away from the scoring path: a camera
// frame, optionally rectified into a top-down board view and tagged with a lens record, and
// an image the host supplies, optionally warped into a 480 x 480 board view.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tarv {

// "TARV:{"v":1,"radiusMm":<radius %f>,"doubleRadiusMm":170}"
std::string lensCommentText(double radiusMm);
// The JPEG with an APP15 segment holding the lens comment right after its SOI marker.
std::vector<uchar> insertLensRecord(const std::vector<uchar>& jpeg, double radiusMm);

// Without H the frame reduced to at most 960 pixels wide; with H (board mm -> image pixels,
// row-major; K and D, 9 and 5 values, both or neither) a size x size top-down view centred on
// the bull, radiusMm from the centre to each edge. The rectification maps are kept per
// camera (0..2) for the whole process and rebuilt only when a matrix, the sizes or the radius
// change. Throws "INVALID_MEDIA_H", "INCOMPLETE_MEDIA_LENS", "INVALID_MEDIA_K",
// "INVALID_MEDIA_D".
cv::Mat prepareMediaImage(const cv::Mat& frame, uint32_t camera, const double* H, const double* K,
                          const double* D, int size, double radiusMm);
// How often rectification maps were built in this process.
uint64_t mediaMapBuildCount();

// prepareMediaImage encoded at quality 88, with the lens record when H is given;
// "MEDIA_JPEG_FAILED".
std::vector<uchar> encodeLensJpeg(const cv::Mat& frame, uint32_t camera, const double* H,
                                  const double* K, const double* D, int size, double radiusMm);

// The body of the host-image export: pixels are width x height x 3 bytes in R, G, B order.
// Returns the JPEG length or -1 (bad arguments), -2 (invalid H, K or D), -3 (encoding),
// -4 (capacity), -5 (anything else).
int32_t imageJpegLens(const uint8_t* pixels, int32_t width, int32_t height, const double* H,
                      const double* K, const double* D, uint8_t* dst, uint64_t capacity) noexcept;

// How the capture export reaches the capture slots: the received time of a retained frame
// (-1 when it is not retained), a copy that returns 1 only for exactly that many bytes of it,
// and the monotonic clock.
struct CapturedFrameAccess {
  std::function<double(uint32_t camera, int32_t sequence)> received;
  std::function<int32_t(uint32_t camera, int32_t sequence, uint8_t* dst, uint64_t size)> copy;
  std::function<double()> now;
};

// The body of the capture export: a fresh retained frame as a lens JPEG (size 960).
// Returns the JPEG length or -1 (bad arguments), -6 (frame missing, replaced or older than
// 0.5 s), -4 (capacity), -5 (anything else).
int32_t captureJpegLens(const CapturedFrameAccess& access, uint32_t camera, int32_t sequence,
                        int32_t width, int32_t height, double captureSeconds, const double* H,
                        const double* K, const double* D, double radiusMm, uint8_t* dst,
                        uint64_t capacity) noexcept;

}  // namespace tarv
