#include "tarv/camera/camera_orientation.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/autocal/number_ring.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Beds' colours on fewer than this share of the expected sides leave the parity unsure.
constexpr double kMinColourScore = 0.7;

}  // namespace

TurnToward turnToward(const CameraEstimate& camera, const CameraEstimate& known) {
  TurnToward out;
  for (int k = 0; k < 20; ++k) {
    CameraEstimate turned = cloneCameraEstimate(camera);
    rotateBySectors(turned, k);
    const double d = ringDistancePx(turned, known);
    if (d < out.distancePx) out.runnerUpPx = out.distancePx, out.distancePx = d, out.sectors = k;
    else out.runnerUpPx = std::min(out.runnerUpPx, d);
  }
  return out;
}

CameraOrientation orientOnTheBoard(const cv::Mat& image, const cv::Mat& grey, const CameraEstimate& camera, bool confirmed,
                                   const LandmarkSolution& landmark, json& report) {
  // The orientation as the landmark road reads it: the beds' colours fix the parity, the
  // printed numbers' widths the turn; a sure 20 of the landmark road's camera lying on the
  // same board, where that camera's edges confirm it, names it as well.
  cv::Mat hsv;
  cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
  CameraEstimate A = cloneCameraEstimate(camera), B = cloneCameraEstimate(camera);
  rotateBySectors(B, 1);
  const double a = colourParityScore(A, hsv), b = colourParityScore(B, hsv);
  CameraOrientation out;
  CameraEstimate& oriented = out.camera;
  oriented = cloneCameraEstimate(a >= b ? A : B);
  out.colourScore = std::max(a, b);
  bool sure = false;
  if (confirmed) {
    const NumberRingReading ring = readNumberRing(grey, oriented);
    report["numbers"] = {{"sure", ring.sure}, {"shift", ring.shift}};
    if (ring.sure) {
      rotateBySectors(oriented, ring.shift);
      sure = out.colourScore >= kMinColourScore;
    }
  }
  // A sure 20 counts only from a landmark camera its own edges confirm: on one they do not, the
  // network's number votes are cast through a camera pixels off, and a low board's red camera
  // has been sure of the wrong turn.
  if (!sure && landmark.ok && landmark.twentySure && landmark.edgesConfirm) {
    const TurnToward turn = turnToward(oriented, cameraFromSolution(landmark));
    if (turn.unambiguous()) {
      rotateBySectors(oriented, turn.sectors);
      sure = true;
      report["orientation_from_landmarks"] = true;
    }
  }
  out.twentySure = sure;
  return out;
}

int sectorsFromTwenty(Point2 board) {
  const int label = sectorOfPoint(board);
  int position = 0;
  while (position < 19 && BoardLayout::kSectorOrder[position] != label) ++position;
  return position;
}

Homography turnedBySectors(const Homography& h, int sectors) {
  const double a = 18.0 * sectors * kPi / 180.0, c = std::cos(a), s = std::sin(a);
  const cv::Matx33d H = cv::Matx33d(h.data()) * cv::Matx33d(c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0);
  Homography out;
  for (int i = 0; i < 9; ++i) out[i] = H.val[i] / H(2, 2);
  return out;
}

}  // namespace tarv
