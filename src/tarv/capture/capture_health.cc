#include "tarv/capture/capture_health.h"

#include <algorithm>

namespace tarv {
namespace {

double spanSince(double start, double end) { return start > 0 && end > 0 ? end - start : -1.0; }

}  // namespace

nlohmann::json captureHealthJson(const SlotState& s, double now_ms) {
  double recent_fps = 0.0;
  if (s.receive_times.size() > 1 && s.receive_times.back().ms > s.receive_times.front().ms) {
    recent_fps = (s.receive_times.back().sequence - s.receive_times.front().sequence) * 1000.0 /
                 (s.receive_times.back().ms - s.receive_times.front().ms);
  }
  const double span_ms = s.last_frame_ms - s.first_frame_ms;
  nlohmann::json h = nlohmann::json::object();
  h["actual_fps"] = s.frames > 1 && span_ms > 0 ? (s.frames - 1) / (span_ms / 1000.0) : 0.0;
  h["backend"] = s.backend;
  h["codec"] = s.codec;
  h["corrupt_frames"] = s.corrupt_frames;
  h["delivered"] = s.delivered;
  h["direct_fallback"] = s.direct_fallback;
  h["direct_graph"] = s.jpeg_mode;
  h["error"] = s.error;
  h["exposure_lock"] = s.exposure_lock;
  h["first_frame_ms"] = spanSince(s.open_start_ms, s.first_frame_ms);
  h["format_before_retry"] = s.format_before_retry;
  h["format_matches_requested"] = s.format_matches_requested;
  h["frame_age_ms"] = s.last_frame_ms > 0 ? std::max(0.0, now_ms - s.last_frame_ms) : -1.0;
  h["frames"] = s.frames;
  h["media_foundation"] = s.backend_kind == "MEDIA_FOUNDATION";
  h["media_foundation_fallback"] = s.media_foundation_fallback;
  h["mean_read_seconds"] = s.frames != 0 ? s.read_ms_total / s.frames / 1000.0 : 0.0;
  h["native_fps"] = s.native_fps;
  h["open_ms"] = spanSince(s.open_start_ms, s.open_end_ms);
  h["opened"] = s.opened;
  h["paced_frames"] = s.paced_frames;
  h["padded_frames"] = s.padded_frames;
  h["read_failures"] = s.read_failures;
  h["recent_fps"] = recent_fps;
  h["reconnecting"] = s.reconnecting;
  h["reconnects"] = s.reconnects;
  h["reported_fps"] = s.reported_fps;
  h["reported_height"] = s.reported_height;
  h["reported_width"] = s.reported_width;
  h["requested_fps"] = s.requested_fps;
  h["retained_frames"] = s.jpeg_mode ? s.retained_jpegs.size() : s.retained_frames.size();
  h["running"] = s.running;
  h["truncated_frames"] = s.truncated_frames;
  h["turbo"] = true;
  return h;
}

std::string captureHealthText(SlotState& slot, double now_ms) {
  try {
    std::lock_guard<std::mutex> lock(slot.mutex);
    return captureHealthJson(slot, now_ms).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return "{\"error\":\"HEALTH_UNAVAILABLE\"}";
  }
}

}  // namespace tarv
