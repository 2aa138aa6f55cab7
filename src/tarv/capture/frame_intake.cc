#include "tarv/capture/frame_intake.h"

#include <algorithm>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/capture/frame_pacing.h"
#include "tarv/capture/jpeg_frames.h"
#include "tarv/capture/motion_measures.h"

namespace tarv {
namespace {

std::size_t frameBytes(const cv::Mat& frame) { return frame.total() * frame.elemSize(); }

template <typename Entry, typename Size>
void trimRetained(std::deque<Entry>& entries, std::size_t count_limit, std::size_t byte_limit,
                  Size size_of) {
  std::size_t bytes = 0;
  for (const Entry& e : entries) bytes += size_of(e);
  while (entries.size() > count_limit || (bytes > byte_limit && entries.size() > 1)) {
    bytes -= size_of(entries.front());
    entries.pop_front();
  }
}

}  // namespace

bool shouldSkipForPacing(SlotState& slot, double now_ms, int fps) {
  std::lock_guard<std::mutex> lock(slot.mutex);
  const PacingStep step = paceFrame(slot.next_due_ms, now_ms, fps);
  slot.next_due_ms = step.next_due_ms;
  if (step.skip) ++slot.paced_frames;
  return step.skip;
}

bool publishCapturedFrame(SlotState& slot, cv::Mat frame, std::vector<uint8_t> bytes,
                          double read_start_ms, double receive_ms) {
  const bool jpeg = frame.empty();
  double min_area = 0;
  bool due = false;
  cv::Mat previous;
  cv::Mat comparison;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.closed) return false;
    min_area = slot.min_blob_area;
    due = slot.last_measure_ms < 0 || receive_ms - slot.last_measure_ms >= slot.measure_interval_ms;
    previous = slot.reduced;
    if (jpeg) {
      comparison = slot.comparison_gray;
    } else if (due) {
      for (const RetainedFrame& r : slot.retained_frames) {
        if (r.frame.rows == frame.rows && r.frame.cols == frame.cols) {
          comparison = r.frame;
          break;
        }
      }
    }
  }

  cv::Mat reduced;
  if (jpeg) {
    const JpegFraming framing = checkJpegFraming(bytes);
    if (framing == JpegFraming::Truncated) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      ++slot.truncated_frames;
      return false;
    }
    if (framing == JpegFraming::Padded) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      ++slot.padded_frames;
    }
    reduced = cv::imdecode(bytes, cv::IMREAD_REDUCED_COLOR_4);
    if (reduced.empty()) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      ++slot.corrupt_frames;
      return false;
    }
  } else {
    cv::resize(frame, reduced, cv::Size(std::max(frame.cols / 4, 1), std::max(frame.rows / 4, 1)),
               0, 0, cv::INTER_LINEAR);
  }

  cv::Mat mask;
  int32_t mask_pixels = -1;
  if (!previous.empty() && previous.size() == reduced.size()) {
    mask = buildMotionMask(previous, reduced, min_area);
    mask_pixels = cv::countNonZero(mask);
  }

  int32_t motion = -1;
  cv::Mat gray;
  if (!jpeg && !comparison.empty()) {
    cv::Mat a;
    cv::cvtColor(comparison, a, cv::COLOR_BGR2GRAY);
    cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
    motion = measureMotionPixels(a, gray);
    gray.release();
  } else if (jpeg && due) {
    gray = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
    if (!gray.empty()) {
      motion = comparison.empty() || comparison.size() != gray.size()
                   ? 0
                   : measureMotionPixels(comparison, gray);
    }
  }

  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.closed) return false;
    const int32_t next = slot.sequence + 1;
    if (jpeg) {
      slot.retained_jpegs.push_back({next, std::move(bytes)});
      trimRetained(slot.retained_jpegs, slot.retain_limit, slot.retain_bytes_limit,
                   [](const RetainedJpeg& e) { return e.bytes.size(); });
      if (!gray.empty()) slot.comparison_gray = gray;
    } else {
      slot.retained_frames.push_back({next, frame});
      trimRetained(slot.retained_frames, slot.retain_limit, slot.retain_bytes_limit,
                   [](const RetainedFrame& e) { return frameBytes(e.frame); });
      slot.latest = slot.retained_frames.back().frame;
      slot.reported_width = frame.cols;
      slot.reported_height = frame.rows;
    }
    slot.previous_reduced = slot.reduced;
    slot.reduced = reduced;
    slot.motion_mask = mask;
    slot.mask_pixels = mask_pixels;
    slot.motion_pixels = motion;
    if (motion >= 0) slot.last_measure_ms = receive_ms;
    slot.sequence = next;
    slot.receive_times.push_back({next, receive_ms});
    while (slot.receive_times.size() > slot.retain_limit) slot.receive_times.pop_front();
    ++slot.frames;
    slot.last_read_ms = receive_ms - read_start_ms;
    slot.read_ms_total += slot.last_read_ms;
    if (slot.first_frame_ms < 0) slot.first_frame_ms = receive_ms;
    slot.last_frame_ms = receive_ms;
  }
  slot.changed.notify_all();
  return true;
}

}  // namespace tarv
