#include "tarv/runtime/motion_state.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tarv {

namespace {

void requireScale(double height) {
  if (!std::isfinite(height) || height <= 0.0) throw std::runtime_error("INVALID_DETECTION_SCALE");
}

int32_t scaledPixels(double height, double perFourHundred) {
  return std::max(static_cast<int32_t>(std::trunc(height * perFourHundred / 400.0)), 1);
}

}  // namespace

int32_t dartPixelThreshold(double boardHeightPx) {
  requireScale(boardHeightPx);
  return scaledPixels(boardHeightPx, 40.0);
}

MotionMeasure measureMotion(const cv::Mat& motionMask, const cv::Mat& boardMask,
                            const cv::Mat& watchMask, double boardHeightPx) {
  MotionMeasure m;
  cv::Mat combined;
  cv::bitwise_and(motionMask, watchMask, combined);
  cv::Mat onBoard;
  cv::bitwise_and(combined, boardMask, onBoard);
  m.board_pixels = cv::countNonZero(onBoard);
  m.background_pixels = cv::countNonZero(combined) - m.board_pixels;
  requireScale(boardHeightPx);
  m.min_board_pixels = scaledPixels(boardHeightPx, 20.0);
  m.min_hand_background_pixels = scaledPixels(boardHeightPx, 3000.0);
  const int boardArea = cv::countNonZero(boardMask);
  m.source_board_height_px = boardHeightPx;
  m.motion_width = motionMask.cols;
  m.motion_height = motionMask.rows;
  m.quiet = m.board_pixels < m.min_board_pixels;
  if (m.quiet) return m;

  cv::Mat dilated, labels, stats, centroids;
  cv::dilate(combined, dilated, cv::Mat::ones(3, 3, CV_8U));
  const int count = cv::connectedComponentsWithStats(dilated, labels, stats, centroids, 8, CV_32S);
  std::vector<int64_t> on(static_cast<size_t>(count), 0), off(static_cast<size_t>(count), 0);
  for (int y = 0; y < combined.rows; ++y) {
    const uint8_t* c = combined.ptr<uint8_t>(y);
    const uint8_t* b = boardMask.ptr<uint8_t>(y);
    const int32_t* l = labels.ptr<int32_t>(y);
    for (int x = 0; x < combined.cols; ++x) {
      if (!c[x]) continue;
      (b[x] ? on : off)[static_cast<size_t>(l[x])] += 1;
    }
  }
  const double pixels = static_cast<double>(combined.total());
  for (int label = 1; label < count; ++label) {
    const double b = static_cast<double>(on[static_cast<size_t>(label)]);
    const double g = static_cast<double>(off[static_cast<size_t>(label)]);
    const double t = b + g;
    const double w = stats.at<int32_t>(label, cv::CC_STAT_WIDTH);
    const double hb = stats.at<int32_t>(label, cv::CC_STAT_HEIGHT);
    const bool crossing =
        (b >= m.min_board_pixels && g >= m.min_hand_background_pixels) ||
        (t > 0.03 * pixels && b >= std::max(0.1 * t, static_cast<double>(m.min_board_pixels)) &&
         g >= std::max(0.1 * t, static_cast<double>(m.min_board_pixels)));
    const bool broad = boardArea > 0 &&
                       b >= std::max(0.12 * boardArea, static_cast<double>(m.min_board_pixels)) &&
                       t >= 0.25 * w * hb && std::min(w, hb) >= 0.08 * std::sqrt(boardArea);
    if (crossing || broad) {
      m.hand = true;
      m.connected_hand_pixels = std::max(m.connected_hand_pixels, static_cast<int32_t>(t));
    }
  }
  return m;
}

bool updateCameraMotionState(CameraMotionState& s, int32_t sequence, double time,
                             const MotionMeasure& measure, int32_t stableFramesRequired,
                             bool takeoutActive, int32_t handFramesRequired) {
  if (!std::isfinite(time) || !(sequence > s.sequence && s.time < time)) return false;
  if (s.time >= 0.0 && time - s.time > 0.5) {
    s.handFrames = s.dartFrames = s.stableFrames = s.takeoutFrames = 0;
  }
  s.time = time;
  s.sequence = sequence;
  s.motion = measure;
  s.handFrames = measure.hand ? s.handFrames + 1 : 0;
  s.stableFrames = (measure.quiet && !measure.hand) ? s.stableFrames + 1 : 0;
  if (measure.hand) {
    s.dartFrames = 0;
  } else {
    double h = measure.source_board_height_px;
    if (std::isinf(h)) throw std::runtime_error("INVALID_DETECTION_SCALE");
    if (!(h > 0.0)) h = 400.0;
    s.dartFrames = measure.board_pixels >= dartPixelThreshold(h) ? s.dartFrames + 1 : 0;
  }
  s.takeoutFrames = (takeoutActive && measure.quiet && !measure.hand) ? s.takeoutFrames + 1 : 0;
  const int32_t handRequirement =
      handFramesRequired >= 1 ? handFramesRequired : std::max(stableFramesRequired, 2);
  s.handFramesReached = s.handFrames >= handRequirement;
  s.stableFramesReached = s.stableFrames >= stableFramesRequired;
  s.dartFramesReached = s.dartFrames >= 2;
  s.takeoutFramesReached = s.takeoutFrames >= 2;
  return true;
}

void classifyMotion(MotionState& state, bool takeoutActive) {
  state.handCameras = state.confirmedHandCameras = state.quietCameras = 0;
  state.stableCameras = state.dartCameras = 0;
  for (const CameraMotionState& c : state.cameras) {
    state.handCameras += c.motion.hand;
    state.confirmedHandCameras += c.handFramesReached;
    state.quietCameras += c.motion.quiet && !c.motion.hand;
    state.stableCameras += c.stableFramesReached;
    state.dartCameras += c.dartFramesReached;
  }
  state.className = state.handCameras >= 2 ? "hand"
                    : takeoutActive        ? "takeout"
                    : state.dartCameras >= 2 ? "dart"
                                             : "stable";
}

void resetRoundState(MotionState& state) { state = MotionState(); }

json describeMotionMeasure(const MotionMeasure& m) {
  const double h = m.source_board_height_px;
  return {{"board_pixels", m.board_pixels},
          {"background_pixels", m.background_pixels},
          {"connected_hand_pixels", m.connected_hand_pixels},
          {"hand", m.hand},
          {"quiet", m.quiet},
          {"scaling",
           {{"basis", "PROJECTED_BOARD_HEIGHT_IN_SOURCE_IMAGE"},
            {"source_board_height_px", h},
            {"reference_height_px", 400},
            {"linear_factor", h / 400.0},
            {"motion_size", {m.motion_width, m.motion_height}},
            {"min_board_pixels", m.min_board_pixels},
            {"min_hand_background_pixels", m.min_hand_background_pixels},
            {"additional_rules", "CONNECTED_CROSSING_OR_BROAD_BOARD_OCCLUSION"}}}};
}

json describeCameraMotionState(const CameraMotionState& s, int32_t cameraId) {
  return {{"camID", cameraId},
          {"sequence", s.sequence},
          {"time", s.time},
          {"handFrames", s.handFrames},
          {"dartFrames", s.dartFrames},
          {"stableFrames", s.stableFrames},
          {"takeoutFrames", s.takeoutFrames},
          {"handFramesReached", s.handFramesReached},
          {"dartFramesReached", s.dartFramesReached},
          {"stableFramesReached", s.stableFramesReached},
          {"takeoutFramesReached", s.takeoutFramesReached},
          {"motion", describeMotionMeasure(s.motion)}};
}

json describeMotionState(const MotionState& s, int32_t darts) {
  json cams = json::array();
  for (int i = 0; i < 3; ++i) cams.push_back(describeCameraMotionState(s.cameras[static_cast<size_t>(i)], i));
  return {{"class", s.className},
          {"darts", darts},
          {"camStates", cams},
          {"confirmedHandCameras", s.confirmedHandCameras},
          {"stableCameras", s.stableCameras},
          {"dartCameras", s.dartCameras},
          {"isWaiting", s.handCameras < 2 && s.stableCameras < 2 && s.dartCameras < 2}};
}

}  // namespace tarv
