// The two native backends on V4L2. The MJPG stream takes only MJPG at the requested size and
// publishes the compressed samples; the reader takes MJPG, YUYV or NV12 at the native rate
// that fits the request and converts raw samples itself. Both steer the camera controls.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "tarv/capture/capture_slot.h"
#include "tarv/capture/video_device.h"

namespace tarv {

// Waits and pauses of the capture path; tests shorten them.
struct CaptureTimings {
  int reconnect_pause_ms = 5000;
  double first_sample_ms = 10000;
  double sample_gap_ms = 5000;
  double first_picture_ms = 4000;
  int sample_wait_ms = 200;
};

struct BackendRunResult {
  bool started = false;  // the run took the camera and marked the slot open
  std::string message;   // why it did not start or was lost; empty when stopped
};

struct MjpegModeChoice {
  bool found = false;
  VideoMode mode;
  double interval = 0;  // seconds to ask for
  std::string sizes;    // the MJPG sizes offered, for the refusal text
};

// The first MJPG mode of the requested size; its interval from fps within the mode's range.
// Without a frame-rate request (fps <= 0) the mode's fastest interval.
MjpegModeChoice chooseMjpegMode(const std::vector<VideoMode>& modes, int width, int height, int fps);

struct ReaderModeChoice {
  bool found = false;
  VideoMode mode;
  double rate = 0;
  std::string offered;
};

// Among the modes of the wanted format and size: the slowest rate that reaches the request,
// else the fastest; without a request the fastest.
ReaderModeChoice chooseReaderMode(const std::vector<VideoMode>& modes, uint32_t fourcc, int width,
                                  int height, int fps);

BackendRunResult runMjpegStream(SlotState& slot, const std::atomic<bool>& stop, VideoSystem& video,
                                const CaptureTimings& timings, int index, int width, int height, int fps);

BackendRunResult runRawReader(SlotState& slot, const std::atomic<bool>& stop, VideoSystem& video,
                              const CaptureTimings& timings, int index, int width, int height, int fps,
                              const std::string& fourcc);

// Backend names in the health document; the reader's kind makes "media_foundation" true.
extern const char* const kMjpegStreamBackend;
extern const char* const kReaderBackend;
extern const char* const kReaderKind;

}  // namespace tarv
