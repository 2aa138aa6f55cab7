// Per-camera motion on the quarter-size masks the capture slots publish: one measure per new
// frame, counters that turn single measures into confirmed states, and the three-camera class
// ("hand", "takeout", "dart", "stable") the poll and the motion history act on.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

struct MotionMeasure {
  int32_t board_pixels = 0;
  int32_t background_pixels = 0;
  int32_t connected_hand_pixels = 0;
  int32_t min_board_pixels = 1;
  int32_t min_hand_background_pixels = 1;
  double source_board_height_px = 0.0;
  int32_t motion_width = 0;
  int32_t motion_height = 0;
  bool hand = false;
  bool quiet = false;
};

struct CameraMotionState {
  int32_t sequence = -1;
  int32_t handFrames = 0;
  int32_t dartFrames = 0;
  int32_t stableFrames = 0;
  int32_t takeoutFrames = 0;
  double time = -1.0;
  MotionMeasure motion;
  bool handFramesReached = false;
  bool dartFramesReached = false;
  bool stableFramesReached = false;
  bool takeoutFramesReached = false;
};

struct MotionState {
  std::array<CameraMotionState, 3> cameras;
  std::string className = "stable";
  int32_t handCameras = 0;
  int32_t confirmedHandCameras = 0;
  int32_t quietCameras = 0;
  int32_t stableCameras = 0;
  int32_t dartCameras = 0;
};

// All masks 8-bit single-channel of one size. Fails with "INVALID_DETECTION_SCALE" unless
// the projected board height is finite and positive.
MotionMeasure measureMotion(const cv::Mat& motionMask, const cv::Mat& boardMask,
                            const cv::Mat& watchMask, double boardHeightPx);
// Counts the frame when it is newer in sequence and time; true when counted.
bool updateCameraMotionState(CameraMotionState& state, int32_t sequence, double time,
                             const MotionMeasure& measure, int32_t stableFramesRequired,
                             bool takeoutActive, int32_t handFramesRequired);
void classifyMotion(MotionState& state, bool takeoutActive);
void resetRoundState(MotionState& state);

json describeMotionMeasure(const MotionMeasure& measure);
json describeCameraMotionState(const CameraMotionState& state, int32_t cameraId);
json describeMotionState(const MotionState& state, int32_t darts);

// Board pixels a dart leaves in a camera's quarter-size mask at this projected board height.
int32_t dartPixelThreshold(double boardHeightPx);

}  // namespace tarv
