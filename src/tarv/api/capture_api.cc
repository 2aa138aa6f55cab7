// The capture family's exports. Each validates its camera number and pointers first, takes
// only its camera's slot lock and lets no exception out.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/capture/camera_controls.h"
#include "tarv/capture/capture_health.h"
#include "tarv/capture/capture_slot.h"
#include "tarv/capture/capture_worker.h"
#include "tarv/capture/device_probe.h"
#include "tarv/capture/jpeg_frames.h"
#include "tarv/core/engine_values.h"
#include "tarv/tarv.h"

namespace {

using tarv::SlotState;

bool validCamera(uint32_t camera) { return camera <= 2; }

std::shared_ptr<SlotState> slotState(uint32_t camera) { return tarv::captureSlots()[camera].state(); }

std::size_t byteCount(const cv::Mat& m) { return m.total() * m.elemSize(); }

// Copies the newest frame of a waited-for camera (full size or reduced with its mask).
int32_t waitAndCopy(uint32_t camera, int32_t timeout_ms, bool stats, uint8_t* frame_dst,
                    uint64_t frame_size, uint8_t* mask_dst, uint64_t mask_size, uint32_t* sequence,
                    double* read_ms, int32_t* mask_pixels, int32_t* motion_pixels) {
  const std::shared_ptr<SlotState> slot = slotState(camera);
  std::unique_lock<std::mutex> lock(slot->mutex);
  if (!tarv::waitForNewFrame(lock, timeout_ms, *slot)) return 0;
  if (slot->sequence <= slot->delivered) return stats && slot->reconnecting ? -4 : -3;
  if (stats) {
    const cv::Mat& reduced = slot->reduced;
    if (reduced.empty() || !reduced.isContinuous() || byteCount(reduced) != frame_size ||
        reduced.total() != mask_size) {
      return -2;
    }
    std::memcpy(frame_dst, reduced.data, frame_size);
    const cv::Mat& mask = slot->motion_mask;
    if (!mask.empty() && mask.isContinuous() && mask.total() == mask_size) {
      std::memcpy(mask_dst, mask.data, mask_size);
    } else {
      std::memset(mask_dst, 0, mask_size);
    }
    if (mask_pixels) *mask_pixels = slot->mask_pixels;
    if (motion_pixels) *motion_pixels = slot->motion_pixels;
  } else {
    cv::Mat frame = slot->latest;
    if (slot->jpeg_mode) {
      if (slot->retained_jpegs.empty()) return -3;
      frame = cv::imdecode(slot->retained_jpegs.back().bytes, cv::IMREAD_COLOR);
      if (frame.empty()) return -3;
    }
    if (frame.empty() || !frame.isContinuous() || byteCount(frame) != frame_size) return -2;
    std::memcpy(frame_dst, frame.data, frame_size);
  }
  slot->delivered = slot->sequence;
  if (sequence) *sequence = static_cast<uint32_t>(slot->sequence);
  if (read_ms) *read_ms = slot->last_read_ms;
  return 1;
}

// A reduction beyond this leaves less than a pixel of any camera frame; larger factors are
// refused before the size arithmetic could overflow.
constexpr int32_t kLargestReduction = 8192;

int32_t copyRetainedFrame(uint32_t camera, int32_t sequence, int32_t factor, void* dst, uint64_t size) {
  if (!validCamera(camera) || !dst || factor > kLargestReduction) return -1;
  const std::shared_ptr<SlotState> slot = slotState(camera);
  cv::Mat frame;
  std::vector<uint8_t> jpeg;
  bool jpeg_mode = false;
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    jpeg_mode = slot->jpeg_mode;
    const auto pick = [&](const auto& entries) -> decltype(&entries.back()) {
      if (entries.empty()) return nullptr;
      if (sequence <= 0) return &entries.back();
      for (const auto& e : entries) {
        if (e.sequence == sequence) return &e;
      }
      return nullptr;
    };
    if (jpeg_mode) {
      const auto* entry = pick(slot->retained_jpegs);
      if (!entry || entry->bytes.empty()) return 0;
      jpeg = entry->bytes;
    } else {
      const auto* entry = pick(slot->retained_frames);
      if (!entry || entry->frame.empty()) return 0;
      if (factor < 2) {
        if (!entry->frame.isContinuous() || byteCount(entry->frame) != size) return -2;
        std::memcpy(dst, entry->frame.data, size);
        return 1;
      }
      frame = entry->frame.clone();
    }
  }
  if (jpeg_mode) {
    const int mode = factor < 2 ? cv::IMREAD_COLOR : factor < 4 ? cv::IMREAD_REDUCED_COLOR_2 : cv::IMREAD_REDUCED_COLOR_4;
    frame = cv::imdecode(jpeg, mode);
    if (frame.empty()) return 0;
  } else {
    const cv::Size reduced((frame.cols + factor - 1) / factor, (frame.rows + factor - 1) / factor);
    cv::resize(frame, frame, reduced, 0, 0, cv::INTER_AREA);
  }
  if (byteCount(frame) != size) return -2;
  std::memcpy(dst, frame.data, size);
  return 1;
}

std::string& replyText(std::string& text, const nlohmann::json& reply, const char* fallback) {
  try {
    text = reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    text = fallback;
  }
  return text;
}

}  // namespace

extern "C" {

TARV_API double tarv_monotonic_seconds(void) { return tarv::monotonicSeconds(); }

TARV_API int32_t tarv_capture_open(uint32_t camera, const char* device, uint32_t width,
                                   uint32_t height, uint32_t fps, const char* fourcc, int32_t api) {
  if (!validCamera(camera) || !device) return -1;
  // Sizes and rates are signed 32-bit numbers further down: a larger value is no request
  // that can be meant, and would turn negative.
  if (width > INT32_MAX || height > INT32_MAX || fps > INT32_MAX) return -1;
  try {
    tarv::CaptureRequest request;
    request.camera = static_cast<int>(camera);
    request.device = device;
    request.width = static_cast<int>(width);
    request.height = static_cast<int>(height);
    request.fps = std::min(static_cast<int32_t>(fps), 25);
    request.fourcc = fourcc ? fourcc : "MJPG";
    request.api = api;
    return tarv::captureSlots()[camera].open(request);
  } catch (...) {
    return -2;
  }
}

TARV_API void tarv_capture_close(uint32_t camera) {
  if (!validCamera(camera)) return;
  try {
    tarv::captureSlots()[camera].close();
  } catch (...) {
  }
}

TARV_API void tarv_capture_gate(uint32_t camera, double min_blob_area, double interval_ms) {
  if (!validCamera(camera)) return;
  try {
    tarv::captureSlots()[camera].withControl([&](SlotState& slot) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      if (min_blob_area >= 0) slot.min_blob_area = min_blob_area;
      if (interval_ms > 0) slot.measure_interval_ms = interval_ms;
    });
  } catch (...) {
  }
}

TARV_API int32_t tarv_capture_wait(uint32_t camera, int32_t timeout_ms, void* dst, int64_t size,
                                   uint32_t* sequence, double* read_ms) {
  if (!validCamera(camera) || !dst) return -1;
  if (size < 0) return -2;
  try {
    return waitAndCopy(camera, timeout_ms, false, static_cast<uint8_t*>(dst), static_cast<uint64_t>(size),
                       nullptr, 0, sequence, read_ms, nullptr, nullptr);
  } catch (...) {
    return -3;
  }
}

TARV_API int32_t tarv_capture_wait_stats(uint32_t camera, int32_t timeout_ms, uint8_t* frame_dst,
                                         uint64_t frame_size, uint8_t* mask_dst, uint64_t mask_size,
                                         uint32_t* sequence, double* read_ms, int32_t* mask_pixels,
                                         int32_t* motion_pixels) {
  if (!validCamera(camera) || !frame_dst || !mask_dst) return -1;
  try {
    return waitAndCopy(camera, timeout_ms, true, frame_dst, frame_size, mask_dst, mask_size, sequence,
                       read_ms, mask_pixels, motion_pixels);
  } catch (...) {
    return -3;
  }
}

TARV_API int32_t tarv_capture_copy(uint32_t camera, int32_t sequence, void* dst, uint64_t size) {
  try {
    return copyRetainedFrame(camera, sequence, 1, dst, size);
  } catch (...) {
    return 0;
  }
}

TARV_API int32_t tarv_capture_copy_reduced(uint32_t camera, int32_t sequence, int32_t factor, void* dst,
                                           uint64_t size) {
  try {
    return copyRetainedFrame(camera, sequence, factor, dst, size);
  } catch (...) {
    return 0;
  }
}

TARV_API int32_t tarv_capture_peek_motion(uint32_t camera, int32_t after_sequence, uint8_t* dst,
                                          uint64_t size, uint32_t* sequence, double* seconds) {
  if (!validCamera(camera) || !dst || !sequence || !seconds) return -1;
  try {
    const std::shared_ptr<SlotState> slot = slotState(camera);
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (!slot->running || slot->reduced.empty() || slot->motion_mask.empty() ||
        slot->sequence <= after_sequence) {
      return 0;
    }
    if (slot->motion_mask.total() != size || !slot->motion_mask.isContinuous()) return -2;
    std::memcpy(dst, slot->motion_mask.data, size);
    *sequence = static_cast<uint32_t>(slot->sequence);
    *seconds = slot->last_frame_ms / 1000.0;
    return 1;
  } catch (...) {
    return 0;
  }
}

TARV_API double tarv_capture_received(uint32_t camera, int32_t sequence) {
  if (!validCamera(camera)) return -1.0;
  try {
    const std::shared_ptr<SlotState> slot = slotState(camera);
    std::lock_guard<std::mutex> lock(slot->mutex);
    for (const tarv::ReceiveTime& r : slot->receive_times) {
      if (r.sequence == sequence) return r.ms / 1000.0;
    }
  } catch (...) {
  }
  return -1.0;
}

TARV_API void tarv_capture_direct(int32_t on) { tarv::directSwitch().store(on != 0); }
TARV_API void tarv_capture_media_foundation(int32_t on) { tarv::mediaFoundationSwitch().store(on != 0); }
TARV_API void tarv_capture_lock_exposure(int32_t on) { tarv::exposureLockSwitch().store(on != 0); }
TARV_API void tarv_capture_lock_white_balance(int32_t on) { tarv::whiteBalanceLockSwitch().store(on != 0); }

TARV_API int32_t tarv_capture_selftest_jpeg_end(void) {
  try {
    return tarv::selftestJpegEnd();
  } catch (...) {
    return -1;
  }
}

TARV_API const char* tarv_capture_health(uint32_t camera) {
  if (!validCamera(camera)) return "{}";
  // One text per calling thread and camera: a second caller cannot free the text the first
  // is still reading.
  thread_local std::array<std::string, 3> texts;
  try {
    texts[camera] = tarv::captureHealthText(*slotState(camera), tarv::monotonicMilliseconds());
  } catch (...) {
    texts[camera] = "{\"error\":\"HEALTH_UNAVAILABLE\"}";
  }
  return texts[camera].c_str();
}

TARV_API const char* tarv_capture_enumerate(void) {
  thread_local std::string text;
  try {
    return replyText(text, tarv::enumerateCaptureDevices(*tarv::captureBackends()->video),
                     "{\"status\":\"UNKNOWN\",\"devices\":[],\"error\":\"ENUMERATE_DUMP_FAILED\"}")
        .c_str();
  } catch (...) {
    text = "{\"status\":\"UNKNOWN\",\"devices\":[],\"error\":\"ENUMERATE_DUMP_FAILED\"}";
    return text.c_str();
  }
}

TARV_API const char* tarv_capture_modes(uint32_t index) {
  thread_local std::string text;
  try {
    return replyText(text, tarv::probeCaptureModes(*tarv::captureBackends()->video, index),
                     "{\"status\":\"UNKNOWN\",\"modes\":[]}")
        .c_str();
  } catch (...) {
    text = "{\"status\":\"UNKNOWN\",\"modes\":[]}";
    return text.c_str();
  }
}

}  // extern "C"
