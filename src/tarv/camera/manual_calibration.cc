#include "tarv/camera/manual_calibration.h"

#include <array>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/camera/camera_model.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kWireRadius = 170.0;
// Clockwise from the 20 as seen from the front: the wires between 20/1, 6/10, 3/19, 11/14.
constexpr std::array<double, 4> kWireAngles{9.0, 99.0, 189.0, 279.0};
const std::array<const char*, 4> kLabels{"20/1", "6/10", "3/19", "11/14"};
// The projected double ring may be this much flatter than round before the view counts as
// too steep to click reliably.
constexpr double kMinAxisRatio = 0.15;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

cv::Point2d wirePoint(int k) {
  const double a = kWireAngles[k] * kPi / 180.0;
  return {kWireRadius * std::sin(a), -kWireRadius * std::cos(a)};
}

cv::Point2d readPoint(const json& p) {
  json x, y;
  if (p.is_array() && p.size() == 2) {
    x = p[0];
    y = p[1];
  } else if (p.is_object() && p.contains("x") && p.contains("y")) {
    x = p["x"];
    y = p["y"];
  }
  if (!x.is_number() || !y.is_number()) fail("Ungültiger Kalibrierpunkt");
  const cv::Point2d out(x.get<double>(), y.get<double>());
  if (!std::isfinite(out.x) || !std::isfinite(out.y)) fail("Ungültiger Kalibrierpunkt");
  return out;
}

// The board circle of the double wire must lie wholly in front of the camera and not be
// flattened to a line.
void checkPerspective(const cv::Matx33d& H) {
  const cv::Vec3d centre = H * cv::Vec3d(0, 0, 1);
  double nearest = 1e18, farthest = 0.0;
  for (int k = 0; k < 72; ++k) {
    const double a = k * 5.0 * kPi / 180.0;
    const cv::Vec3d p = H * cv::Vec3d(kWireRadius * std::cos(a), kWireRadius * std::sin(a), 1.0);
    if (!(p[2] * centre[2] > 0.0)) fail("Board-Perspektive zu steil oder Punkte falsch angeordnet");
    const double d = std::hypot(p[0] / p[2] - centre[0] / centre[2], p[1] / p[2] - centre[1] / centre[2]);
    nearest = std::min(nearest, d);
    farthest = std::max(farthest, d);
  }
  if (!(nearest >= kMinAxisRatio * farthest)) fail("Board-Perspektive zu steil oder Punkte falsch angeordnet");
}

}  // namespace

json proposeManualPoints(const CalibrationRecord& record, int width, int height) {
  const bool projected = record.is_object() && record.value("geometry_valid", false);
  const std::array<cv::Point2d, 4> defaults{cv::Point2d(0.5 * width, (0.5 - 0.38) * height),
                                            cv::Point2d((0.5 + 0.32) * width, 0.5 * height),
                                            cv::Point2d(0.5 * width, (0.5 + 0.38) * height),
                                            cv::Point2d((0.5 - 0.32) * width, 0.5 * height)};
  json points = json::array();
  for (int k = 0; k < 4; ++k) {
    cv::Point2d p = defaults[k];
    if (projected) {
      const Point2 q = boardToImage(record, wirePoint(k).x, wirePoint(k).y);
      p = {q.x, q.y};
    }
    points.push_back({{"label", kLabels[k]}, {"x", p.x}, {"y", p.y}});
  }
  return points;
}

CalibrationRecord calibrateFromFourPoints(const cv::Mat& image, const CalibrationRecord& base, const json& points) {
  if (!points.is_array() || points.size() != 4) fail("Vier Punkte erforderlich");
  std::array<cv::Point2d, 4> clicked;
  for (int k = 0; k < 4; ++k) clicked[k] = readPoint(points[k]);
  for (const cv::Point2d& p : clicked) {
    if (p.x < 0.0 || p.y < 0.0 || p.x > image.cols - 1 || p.y > image.rows - 1) {
      fail("Alle Punkte müssen im Kamerabild liegen");
    }
  }
  const double minGap = std::max(8.0, 0.02 * std::min(image.cols, image.rows));
  double area = 0.0;
  for (int a = 0; a < 4; ++a) {
    for (int b = a + 1; b < 4; ++b) {
      if (cv::norm(clicked[a] - clicked[b]) < minGap) fail("Reihenfolge oder Abstand ungültig: 20/1, 6/10, 3/19, 11/14");
    }
    area += clicked[a].cross(clicked[(a + 1) % 4]);
  }
  // The crossings run clockwise round the board, and so in the image (y down).
  if (!(area > 0.0)) fail("Reihenfolge oder Abstand ungültig: 20/1, 6/10, 3/19, 11/14");
  const bool lensPreserved = base.is_object() && base.value("geometry_valid", false) && base.contains("camera_model") &&
                             base["camera_model"].is_object();
  std::array<cv::Point2f, 4> ideal, board;
  if (lensPreserved) {
    const CameraModel model = parseCameraModel(base["camera_model"]);
    if (model.width != image.cols || model.height != image.rows) fail("LENS_SIZE_MISMATCH");
    for (int k = 0; k < 4; ++k) ideal[k] = undistortPixel(model, clicked[k]);
  } else {
    for (int k = 0; k < 4; ++k) ideal[k] = clicked[k];
  }
  for (int k = 0; k < 4; ++k) board[k] = wirePoint(k);
  cv::Matx33d H;
  try {
    H = cv::Matx33d(cv::getPerspectiveTransform(board.data(), ideal.data(), cv::DECOMP_LU));
  } catch (const cv::Exception&) {
    fail("Ungültige Board-Perspektive");
  }
  if (!cv::checkRange(H) || !(std::abs(H(2, 2)) > 1e-12)) fail("Ungültige Board-Perspektive");
  H *= 1.0 / H(2, 2);
  // Three points on one line make the mapping singular, whatever its scale.
  cv::Mat singular;
  cv::SVD::compute(cv::Mat(H), singular, cv::SVD::NO_UV);
  if (!(singular.at<double>(2) > 1e-10 * singular.at<double>(0))) fail("Ungültige Board-Perspektive");
  checkPerspective(H);

  Homography h;
  for (int i = 0; i < 9; ++i) h[i] = H.val[i];
  CalibrationRecord r;
  r["method"] = "MANUAL_FOUR_POINTS";
  r["accepted"] = true;
  r["geometry_valid"] = true;
  r["camera_model"] = lensPreserved ? base["camera_model"] : json();
  r["lens_preserved"] = lensPreserved;
  r["orientation_source"] = "MANUAL_POINTS";
  r["ring_radii"] = ringRadii();
  r["manual_points"] = json::array();
  for (const cv::Point2d& p : clicked) r["manual_points"].push_back(pointToJson({p.x, p.y}));
  r["board_to_image"] = matrix3x3ToJson(h);
  const Point2 bull = boardToImage(r, 0.0, 0.0);
  r["twenty_px"] = pointToJson(boardToImage(r, 0.0, -132.0));
  r["report"] = {{"rule", "FOUR_WIRE_CROSSINGS"}, {"labels", kLabels}, {"bull_px", pointToJson(bull)}};
  return r;
}

}  // namespace tarv
