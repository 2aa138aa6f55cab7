#include "tarv/autocal/bed_ellipse.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

struct BedThresholds {
  int redHueLimit;
  int redSaturation;
  int redValue;
  int greenHueLow;
  int greenSaturation;
  int greenValue;
};

constexpr BedThresholds kNormal{10, 90, 50, 35, 70, 40};
constexpr BedThresholds kIlluminated{23, 100, 150, 58, 55, 180};
constexpr int kMinSpeckPixels = 150;

// Keeps the points that lie within the tolerance of the ellipse's outline.
std::vector<cv::Point2f> nearOutline(const std::vector<cv::Point2f>& points, const cv::RotatedRect& e,
                                     double tolerance) {
  const double t = e.angle * CV_PI / 180.0;
  const double c = std::cos(t), s = std::sin(t);
  const double scale = std::min(e.size.width, e.size.height) / 2.0;
  std::vector<cv::Point2f> kept;
  for (const cv::Point2f& p : points) {
    const double dx = p.x - e.center.x, dy = p.y - e.center.y;
    const double du = (dx * c + dy * s) / (e.size.width / 2.0);
    const double dv = (dy * c - dx * s) / (e.size.height / 2.0);
    if (std::abs(std::hypot(du, dv) * scale - scale) < tolerance) kept.push_back(p);
  }
  return kept;
}

}  // namespace

cv::Mat colouredBedMask(const cv::Mat& bgr, bool illuminated) {
  const BedThresholds& t = illuminated ? kIlluminated : kNormal;
  cv::Mat hsv;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::Mat mask(bgr.size(), CV_8U);
  for (int y = 0; y < hsv.rows; ++y) {
    const cv::Vec3b* in = hsv.ptr<cv::Vec3b>(y);
    uchar* out = mask.ptr<uchar>(y);
    for (int x = 0; x < hsv.cols; ++x) {
      const int h = in[x][0], s = in[x][1], v = in[x][2];
      const bool red = (h <= t.redHueLimit || h >= 170) && s >= t.redSaturation && v >= t.redValue;
      const bool green = h >= t.greenHueLow && h <= 95 && s >= t.greenSaturation && v >= t.greenValue;
      out[x] = red || green ? 255 : 0;
    }
  }
  // Constant border with OpenCV's default value: beds cut by the image edge are not eroded.
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN, cv::Mat::ones(3, 3, CV_8U), cv::Point(-1, -1), 1,
                   cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  std::vector<uchar> keep(static_cast<size_t>(n), 0);
  for (int i = 1; i < n; ++i) keep[i] = stats.at<int>(i, cv::CC_STAT_AREA) >= kMinSpeckPixels ? 255 : 0;
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) m[x] = keep[l[x]];
  }
  return mask;
}

void checkEllipsePlausible(const cv::RotatedRect& e, double maxAspect) {
  const double w = e.size.width, h = e.size.height;
  const bool finite = std::isfinite(e.center.x) && std::isfinite(e.center.y) && std::isfinite(w) &&
                      std::isfinite(h) && std::isfinite(e.angle);
  if (!finite || std::min(w, h) < 80.0 || std::max(w, h) / std::max(std::min(w, h), 1e-6) > maxAspect) {
    throw CalibrationError("IMPLAUSIBLE_ELLIPSE");
  }
}

cv::RotatedRect fitOuterEllipse(const cv::Mat& mask, double maxAspect) {
  cv::Mat dilated;
  cv::dilate(mask, dilated, cv::Mat::ones(9, 9, CV_8U), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
             cv::morphologyDefaultBorderValue());
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(dilated, labels, stats, centroids, 8, CV_32S);
  if (n < 2) throw CalibrationError("NO_COLOURED_BEDS");
  int largest = 1;
  for (int i = 2; i < n; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
  }
  cv::Mat working = (labels == largest) & mask;

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(working, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  std::vector<cv::Point2f> points;
  for (const auto& contour : contours) {
    if (contour.size() < 5) continue;
    for (const cv::Point& p : contour) points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
  }
  if (points.size() < 8) throw CalibrationError("OUTER_BOUNDARY_TOO_SMALL");
  std::vector<cv::Point2f> hull;
  cv::convexHull(points, hull);
  if (hull.size() < 8) throw CalibrationError("OUTER_BOUNDARY_TOO_SMALL");

  cv::RotatedRect ellipse = cv::fitEllipse(hull);
  std::vector<cv::Point2f> working_points = hull;
  for (double tolerance : {8.0, 4.0, 2.5}) {
    std::vector<cv::Point2f> kept = nearOutline(working_points, ellipse, tolerance);
    if (kept.size() < 8) break;
    working_points = std::move(kept);
    ellipse = cv::fitEllipse(working_points);
  }
  checkEllipsePlausible(ellipse, maxAspect);
  return ellipse;
}

}  // namespace tarv
