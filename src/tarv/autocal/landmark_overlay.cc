#include "tarv/autocal/landmark_overlay.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "tarv/autocal/vision_report.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kLabels[20] = {20, 1, 18, 4, 13, 6, 10, 15, 2, 17, 3, 19, 7, 16, 8, 11, 14, 9, 12, 5};
const cv::Scalar kWireColour(60, 255, 40);

cv::Point3d polar(double r, double deg) {
  return {r * std::cos(deg * kPi / 180.0), r * std::sin(deg * kPi / 180.0), 0.0};
}

cv::Point pixel(cv::Point2d p) {
  // Far-off projections are clipped by the drawing; keep them inside int range first.
  const double x = std::isfinite(p.x) ? std::clamp(p.x, -1e6, 1e6) : -1e6;
  const double y = std::isfinite(p.y) ? std::clamp(p.y, -1e6, 1e6) : -1e6;
  return {static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))};
}

}  // namespace

void drawBoardModel(cv::Mat& image, const BoardProjector& project) {
  const int thickness = std::max(image.cols / 700, 1);
  for (double r : {6.35, 15.9, 99.0, 107.0, 162.0, 170.0}) {
    std::vector<cv::Point3d> ring;
    for (int a = 0; a <= 360; a += 2) ring.push_back(polar(r, a));
    std::vector<cv::Point> line;
    for (const cv::Point2d& p : project(ring)) line.push_back(pixel(p));
    cv::polylines(image, line, false, kWireColour, thickness, cv::LINE_AA, 0);
  }
  const double scale = std::max(image.cols / 1400.0, 0.5);
  for (int i = 0; i < 20; ++i) {
    const double wire = 90.0 - 18.0 * i - 9.0;
    const std::vector<cv::Point2d> ends = project({polar(15.9, wire), polar(170.0, wire)});
    cv::line(image, pixel(ends[0]), pixel(ends[1]), kWireColour, thickness, cv::LINE_AA);
    const cv::Point2d at = project({polar(200.0, 90.0 - 18.0 * i)}).at(0);
    const std::string text = std::to_string(kLabels[i]);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, 2, &baseline);
    const cv::Point origin = pixel({at.x - 0.5 * size.width, at.y + 0.5 * size.height});
    cv::putText(image, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), 5, cv::LINE_AA);
    cv::putText(image, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale,
                kLabels[i] == 20 ? cv::Scalar(50, 50, 245) : cv::Scalar(255, 230, 0), 2, cv::LINE_AA);
  }
}

void drawLandmarkOverlay(cv::Mat& image, const LandmarkSolution& solution) {
  if (!solution.ok) return;
  const CameraEstimate e = cameraFromSolution(solution);
  drawBoardModel(image, [&e](const std::vector<cv::Point3d>& board) { return projectBoardPoints(e, board); });
}

}  // namespace tarv
