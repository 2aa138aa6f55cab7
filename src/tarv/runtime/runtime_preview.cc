#include "tarv/runtime/runtime_preview.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/reports/board_view.h"
#include "tarv/tarv.h"

namespace tarv {

namespace {

const std::vector<double> kPreviewRings = {6.35, 15.9, 97.0, 107.0, 160.0, 170.0};

PreviewView snapshot(Runtime& rt) {
  std::lock_guard<std::mutex> lock(rt.previewMutex);
  return rt.published;
}

bool fresh(const PreviewView& v, uint32_t camera, double fps) {
  if (!v.running || v.frameNumbers[camera] < 1) return false;
  const double limit = std::max(0.5, 2.5 / (fps > 1.0 ? fps : 1.0));
  return tarv_monotonic_seconds() - v.frameTimes[camera] <= limit;
}

void copyRgb(const cv::Mat& bgr, uint8_t* dst) {
  cv::Mat rgb(bgr.rows, bgr.cols, CV_8UC3, dst);
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
}

// The runtime's newest frame of the camera from its capture slot; empty when it is gone.
cv::Mat newestFrame(const PreviewView& v, uint32_t camera) {
  cv::Mat frame(v.height, v.width, CV_8UC3);
  if (tarv_capture_copy(camera, v.frameNumbers[camera], frame.data, frame.total() * 3) != 1) {
    return cv::Mat();
  }
  return frame;
}

}  // namespace

int32_t runtimePreview(Runtime* rt, uint32_t camera, uint8_t* dst, uint64_t size) noexcept {
  if (!rt || !dst || camera > 2) return -1;
  try {
    const PreviewView v = snapshot(*rt);
    if (!fresh(v, camera, rt->frameRate.load())) return -2;
    const cv::Mat& image = v.previews[camera];
    if (size != static_cast<uint64_t>(v.height / 4) * static_cast<uint64_t>(v.width / 4) * 3 ||
        image.rows != v.height / 4 || image.cols != v.width / 4) {
      return -2;
    }
    cv::Mat rgb;
    cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);
    std::memcpy(dst, rgb.data, size);
    return 1;
  } catch (...) {
    return -4;
  }
}

int32_t runtimeFullPreview(Runtime* rt, uint32_t camera, uint8_t* dst, uint64_t size) noexcept {
  if (!rt || !dst || camera > 2) return -1;
  try {
    const PreviewView v = snapshot(*rt);
    if (!fresh(v, camera, rt->frameRate.load())) return -2;
    if (size != static_cast<uint64_t>(v.width) * static_cast<uint64_t>(v.height) * 3) return -2;
    const cv::Mat frame = newestFrame(v, camera);
    if (frame.empty()) return -3;
    copyRgb(frame, dst);
    return 1;
  } catch (...) {
    return -4;
  }
}

int32_t runtimeScaledPreview(Runtime* rt, uint32_t camera, int32_t outWidth, int32_t outHeight,
                             uint8_t* dst, uint64_t size) noexcept {
  if (!rt || !dst || camera > 2 || outWidth < 1 || outWidth > 1280 || outHeight < 1 ||
      outHeight > 960 || size != static_cast<uint64_t>(outWidth) * static_cast<uint64_t>(outHeight) * 3) {
    return -1;
  }
  try {
    const PreviewView v = snapshot(*rt);
    if (!fresh(v, camera, rt->frameRate.load())) return -2;
    if (outWidth > v.width || outHeight > v.height) return -2;
    const cv::Mat frame = newestFrame(v, camera);
    if (frame.empty()) return -3;
    cv::Mat scaled;
    cv::resize(frame, scaled, cv::Size(outWidth, outHeight), 0, 0, cv::INTER_AREA);
    copyRgb(scaled, dst);
    return 1;
  } catch (...) {
    return -4;
  }
}

int32_t runtimeBoardPreview(Runtime* rt, uint32_t camera, int32_t side, uint8_t* dst,
                            uint64_t size) noexcept {
  if (!rt || !dst || camera > 2 || side < 120 || side > 720 ||
      size != static_cast<uint64_t>(side) * static_cast<uint64_t>(side) * 3) {
    return -1;
  }
  try {
    const PreviewView v = snapshot(*rt);
    if (!fresh(v, camera, rt->frameRate.load())) return -2;
    if (!v.hasOptions) return -4;
    if (!v.calibrations.is_array() || v.calibrations.size() != 3) return -2;
    const cv::Mat frame = newestFrame(v, camera);
    if (frame.empty()) return -3;
    const cv::Mat rectified = v.lens[camera] ? undistortFrame(*v.lens[camera], frame, false) : frame;
    std::vector<double> rings;
    if (v.ringRadii.is_array()) {
      for (const json& r : v.ringRadii) {
        if (r.is_number()) rings.push_back(r.get<double>());
      }
    }
    if (rings.size() < 6) rings = kPreviewRings;
    Homography h{};
    const json& m = v.calibrations.at(camera);
    for (size_t r = 0; r < 3; ++r) {
      for (size_t c = 0; c < 3; ++c) h[r * 3 + c] = m.at(r).at(c).get<double>();
    }
    copyRgb(renderBoardView(rectified, h, side, rings), dst);
    return 1;
  } catch (...) {
    return -4;
  }
}

}  // namespace tarv
