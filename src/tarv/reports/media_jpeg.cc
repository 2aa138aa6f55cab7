#include "tarv/reports/media_jpeg.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/core/lens_distortion.h"

namespace tarv {

namespace {

bool allFinite(const double* values, int count) {
  return std::all_of(values, values + count, [](double v) { return std::isfinite(v); });
}

cv::Matx33d matrixOf(const double* m) {
  return cv::Matx33d(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
}

struct MapKey {
  int width = 0;
  int height = 0;
  int size = 0;
  double radius = 0.0;
  std::array<double, 9> h{};
  bool lens = false;
  std::array<double, 9> k{};
  std::array<double, 5> d{};

  // NaN counts as unequal, so a key with NaN never matches.
  bool operator==(const MapKey& o) const {
    return width == o.width && height == o.height && size == o.size && radius == o.radius &&
           h == o.h && lens == o.lens && k == o.k && d == o.d;
  }
};

struct Maps {
  cv::Mat x;
  cv::Mat y;
};

// One slot per camera for the whole process: the maps are about 7 MB at 960 pixels, so a
// host calling from many threads must not multiply them.
struct MediaCache {
  std::mutex mutex;
  std::array<MapKey, 3> keys;
  std::array<std::shared_ptr<const Maps>, 3> maps;
};

std::atomic<uint64_t> mapBuilds{0};

MediaCache& mediaCache() {
  static MediaCache cache;
  return cache;
}

std::shared_ptr<const Maps> buildMaps(const MapKey& key) {
  mapBuilds.fetch_add(1, std::memory_order_relaxed);
  cv::Matx33d m = matrixOf(key.h.data());
  if (key.lens) m = matrixOf(key.k.data()).inv() * m;
  const cv::Matx33d k = matrixOf(key.k.data());
  const double c = key.size / 2.0;
  const double scale = key.size / (2.0 * key.radius);
  auto maps = std::make_shared<Maps>();
  maps->x.create(key.size, key.size, CV_32FC1);
  maps->y.create(key.size, key.size, CV_32FC1);
  for (int j = 0; j < key.size; ++j) {
    float* mx = maps->x.ptr<float>(j);
    float* my = maps->y.ptr<float>(j);
    for (int i = 0; i < key.size; ++i) {
      mx[i] = my[i] = -1.0f;
      const double x = (i - c) / scale;
      const double y = (j - c) / scale;
      const double p3 = m(2, 0) * x + m(2, 1) * y + m(2, 2);
      if (!(std::fabs(p3) > 1e-12)) continue;
      double u = (m(0, 0) * x + m(0, 1) * y + m(0, 2)) / p3;
      double v = (m(1, 0) * x + m(1, 1) * y + m(1, 2)) / p3;
      if (key.lens) {
        const cv::Point2d bent = distortNormalised(u, v, key.d);
        const double ud = bent.x, vd = bent.y;
        const double w = k(2, 0) * ud + k(2, 1) * vd + k(2, 2);
        u = (k(0, 0) * ud + k(0, 1) * vd + k(0, 2)) / w;
        v = (k(1, 0) * ud + k(1, 1) * vd + k(1, 2)) / w;
      }
      if (std::isfinite(u) && std::isfinite(v) && u >= 0.0 && v >= 0.0 && u < key.width &&
          v < key.height) {
        mx[i] = static_cast<float>(u);
        my[i] = static_cast<float>(v);
      }
    }
  }
  return maps;
}

std::shared_ptr<const Maps> cachedMaps(uint32_t camera, const MapKey& key) {
  MediaCache& cache = mediaCache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.maps[camera] && cache.keys[camera] == key) return cache.maps[camera];
  }
  std::shared_ptr<const Maps> maps = buildMaps(key);
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.keys[camera] = key;
  cache.maps[camera] = maps;
  return maps;
}

bool copyOut(const std::vector<uchar>& bytes, uint8_t* dst, uint64_t capacity) {
  if (bytes.size() > capacity) return false;
  std::memcpy(dst, bytes.data(), bytes.size());
  return true;
}

}  // namespace

uint64_t mediaMapBuildCount() { return mapBuilds.load(std::memory_order_relaxed); }

std::string lensCommentText(double radiusMm) {
  char radius[64];
  std::snprintf(radius, sizeof radius, "%f", radiusMm);
  return std::string("TARV:{\"v\":1,\"radiusMm\":") + radius + ",\"doubleRadiusMm\":170}";
}

std::vector<uchar> insertLensRecord(const std::vector<uchar>& jpeg, double radiusMm) {
  const std::string text = lensCommentText(radiusMm);
  const std::size_t length = text.size() + 2;
  if (jpeg.size() < 2 || length > 0xFFFF) throw std::runtime_error("MEDIA_JPEG_FAILED");
  const std::string segment = std::string("\xFF\xEF") + static_cast<char>(length >> 8) +
                              static_cast<char>(length & 0xFF) + text;
  std::vector<uchar> out;
  out.reserve(jpeg.size() + segment.size());
  out.push_back(jpeg[0]);
  out.push_back(jpeg[1]);
  out.insert(out.end(), segment.begin(), segment.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

cv::Mat prepareMediaImage(const cv::Mat& frame, uint32_t camera, const double* H, const double* K,
                          const double* D, int size, double radiusMm) {
  if (H == nullptr) {
    const double scale = std::min(1.0, 960.0 / frame.cols);
    if (scale >= 1.0) return frame.clone();
    cv::Mat out;
    cv::resize(frame, out, cv::Size(), scale, scale, cv::INTER_AREA);
    return out;
  }
  if (!allFinite(H, 9) || !(std::fabs(cv::determinant(matrixOf(H))) >= 1e-12)) {
    throw std::runtime_error("INVALID_MEDIA_H");
  }
  if ((K == nullptr) != (D == nullptr)) throw std::runtime_error("INCOMPLETE_MEDIA_LENS");
  if (K != nullptr) {
    if (!allFinite(K, 9) || !(K[0] > 0.0) || !(K[4] > 0.0) ||
        !(std::fabs(cv::determinant(matrixOf(K))) >= 1e-12)) {
      throw std::runtime_error("INVALID_MEDIA_K");
    }
    if (!allFinite(D, 5)) throw std::runtime_error("INVALID_MEDIA_D");
  }
  if (camera >= 3 || size < 1 || !(radiusMm > 0.0) || !std::isfinite(radiusMm)) {
    throw std::invalid_argument("INVALID_MEDIA_ARGUMENTS");
  }
  MapKey key;
  key.width = frame.cols;
  key.height = frame.rows;
  key.size = size;
  key.radius = radiusMm;
  std::copy(H, H + 9, key.h.begin());
  key.lens = K != nullptr;
  if (key.lens) {
    std::copy(K, K + 9, key.k.begin());
    std::copy(D, D + 5, key.d.begin());
  }
  const std::shared_ptr<const Maps> maps = cachedMaps(camera, key);
  cv::Mat out;
  cv::remap(frame, out, maps->x, maps->y, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return out;
}

std::vector<uchar> encodeLensJpeg(const cv::Mat& frame, uint32_t camera, const double* H,
                                  const double* K, const double* D, int size, double radiusMm) {
  const cv::Mat image = prepareMediaImage(frame, camera, H, K, D, size, radiusMm);
  std::vector<uchar> jpeg;
  if (!cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 88})) {
    throw std::runtime_error("MEDIA_JPEG_FAILED");
  }
  return H == nullptr ? jpeg : insertLensRecord(jpeg, radiusMm);
}

int32_t imageJpegLens(const uint8_t* pixels, int32_t width, int32_t height, const double* H,
                      const double* K, const double* D, uint8_t* dst, uint64_t capacity) noexcept {
  if (pixels == nullptr || dst == nullptr || width < 1 || width > 1024 || height < 1 || height > 768) {
    return -1;
  }
  try {
    const cv::Mat caller(height, width, CV_8UC3, const_cast<uint8_t*>(pixels));
    cv::Mat working;
    cv::cvtColor(caller, working, cv::COLOR_RGB2BGR);
    if (H != nullptr) {
      const cv::Matx33d h = matrixOf(H);
      if (!allFinite(H, 9) || !(std::fabs(cv::determinant(h)) >= 1e-12)) return -2;
      if (K != nullptr && D != nullptr) {
        if (!allFinite(K, 9) || !allFinite(D, 5)) return -2;
        // The caller's image is a quarter-size image of the camera K was measured for.
        cv::Matx33d quarter = matrixOf(K);
        for (int c = 0; c < 3; ++c) {
          quarter(0, c) *= 0.25;
          quarter(1, c) *= 0.25;
        }
        cv::Mat undistorted;
        cv::undistort(working, undistorted, quarter, cv::Mat(1, 5, CV_64F, const_cast<double*>(D)));
        working = undistorted;
      }
      const cv::Matx33d a(0.25, 0, 0, 0, 0.25, 0, 0, 0, 1);
      const cv::Matx33d b(1.2, 0, 240, 0, 1.2, 240, 0, 0, 1);
      const cv::Matx33d m = b * (a * h).inv();
      if (!allFinite(m.val, 9)) return -2;
      cv::Mat view;
      cv::warpPerspective(working, view, cv::Mat(m), cv::Size(480, 480), cv::INTER_LINEAR,
                          cv::BORDER_CONSTANT, cv::Scalar::all(0));
      working = view;
    }
    std::vector<uchar> jpeg;
    if (!cv::imencode(".jpg", working, jpeg, {cv::IMWRITE_JPEG_QUALITY, 78})) return -3;
    if (!copyOut(jpeg, dst, capacity)) return -4;
    return static_cast<int32_t>(jpeg.size());
  } catch (...) {
    return -5;
  }
}

int32_t captureJpegLens(const CapturedFrameAccess& access, uint32_t camera, int32_t sequence,
                        int32_t width, int32_t height, double captureSeconds, const double* H,
                        const double* K, const double* D, double radiusMm, uint8_t* dst,
                        uint64_t capacity) noexcept {
  if (camera >= 3 || sequence <= 0 || dst == nullptr || width < 1 || width > 4096 || height < 1 ||
      height > 3072 || !std::isfinite(radiusMm) || radiusMm < 200.0 || radiusMm > 350.0) {
    return -1;
  }
  try {
    if (!std::isfinite(captureSeconds) || !(captureSeconds > 0.0)) return -6;
    if (access.received(camera, sequence) != captureSeconds) return -6;
    if (access.now() - captureSeconds > 0.5) return -6;
    cv::Mat frame(height, width, CV_8UC3);
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
    if (access.copy(camera, sequence, frame.data, bytes) != 1) return -6;
    // Refused when the slot replaced the frame while it was being copied.
    if (access.received(camera, sequence) != captureSeconds) return -6;
    const std::vector<uchar> jpeg = encodeLensJpeg(frame, camera, H, K, D, 960, radiusMm);
    if (!copyOut(jpeg, dst, capacity)) return -4;
    return static_cast<int32_t>(jpeg.size());
  } catch (...) {
    return -5;
  }
}

}  // namespace tarv
