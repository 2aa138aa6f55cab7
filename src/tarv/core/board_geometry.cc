#include "tarv/core/board_geometry.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <deque>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace tarv {

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

json pointToJson(Point2 point) { return json::array({point.x, point.y}); }

Point2 pointFromJson(const json& value) {
  return Point2{value.at(0).get<double>(), value.at(1).get<double>()};
}

Point2 applyHomography(const Homography& h, Point2 point) {
  const double X = point.x * h[0] + point.y * h[1] + h[2];
  const double Y = point.x * h[3] + point.y * h[4] + h[5];
  const double w = point.x * h[6] + point.y * h[7] + h[8];
  if (!std::isfinite(w) || std::abs(w) < 1e-10) throw std::runtime_error("Projection at infinity");
  return Point2{X / w, Y / w};
}

Homography scaleHomography(const Homography& h, double sx, double sy) {
  Homography out = h;
  for (int c = 0; c < 3; ++c) {
    out[c] *= sx;
    out[3 + c] *= sy;
  }
  return out;
}

Homography cropHomography(const Homography& h, cv::Point2d offset) {
  Homography out = h;
  for (int c = 0; c < 3; ++c) {
    out[c] -= offset.x * h[6 + c];
    out[3 + c] -= offset.y * h[6 + c];
  }
  return out;
}

std::vector<Point2> circlePoints(double radius, int count) {
  std::vector<Point2> points;
  if (count < 1) return points;
  points.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const double t = 2.0 * kPi * i / count;
    points.push_back(Point2{radius * std::cos(t), radius * std::sin(t)});
  }
  return points;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  // Outside 0..100 the interpolation index would leave the list.
  if (std::isnan(p)) p = 0.0;
  p = std::clamp(p, 0.0, 100.0);
  const std::size_t n = values.size();
  const double q = static_cast<double>(n - 1) * p / 100.0;
  const std::size_t i = std::min(static_cast<std::size_t>(q), n - 1);
  const std::size_t j = std::min(i + 1, n - 1);
  // Only the i-th and j-th smallest are read: a partial order finds them without sorting.
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(i), values.end());
  const double low = values[i];
  const double high =
      j == i ? low : *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(j), values.end());
  return low + (high - low) * (q - static_cast<double>(i));
}

namespace {

struct BoardMaskCacheEntry {
  int width = 0;
  int height = 0;
  Homography h{};
  double radiusMm = 0.0;
  cv::Mat mask;
};

constexpr std::size_t kMaskCacheCapacity = 12;

std::deque<BoardMaskCacheEntry>& maskCache() {
  thread_local std::deque<BoardMaskCacheEntry> cache;
  return cache;
}

bool sameKey(const BoardMaskCacheEntry& e, cv::Size size, const Homography& h, double radiusMm) {
  // Plain == so that a NaN anywhere in the key never matches.
  if (e.width != size.width || e.height != size.height || !(e.radiusMm == radiusMm)) return false;
  for (std::size_t k = 0; k < h.size(); ++k) {
    if (!(e.h[k] == h[k])) return false;
  }
  return true;
}

// Far-off vertices are pulled in so the integer conversion stays defined; at this distance
// the clipped polygon is the same inside any real image.
int pixelCoordinate(double v) {
  if (!std::isfinite(v)) throw std::runtime_error("Projection at infinity");
  constexpr double kLimit = 1e9;
  return static_cast<int>(std::round(std::clamp(v, -kLimit, kLimit)));
}

}  // namespace

cv::Mat getBoardRegionMask(cv::Size size, const Homography& h, double radiusMm) {
  return sharedBoardRegionMask(size, h, radiusMm).clone();
}

cv::Mat sharedBoardRegionMask(cv::Size size, const Homography& h, double radiusMm) {
  auto& cache = maskCache();
  for (const BoardMaskCacheEntry& e : cache) {
    if (sameKey(e, size, h, radiusMm)) return e.mask;
  }

  // Project every vertex before touching the cache, so a failure leaves it as it was.
  std::vector<cv::Point> polygon;
  for (const Point2& p : circlePoints(radiusMm, 180)) {
    const Point2 q = applyHomography(h, p);
    polygon.emplace_back(pixelCoordinate(q.x), pixelCoordinate(q.y));
  }
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  if (!mask.empty()) {
    const std::vector<std::vector<cv::Point>> contours{polygon};
    cv::fillPoly(mask, contours, cv::Scalar(255), cv::LINE_8, 0);
  }

  if (cache.size() >= kMaskCacheCapacity) cache.pop_front();
  cache.push_back(BoardMaskCacheEntry{size.width, size.height, h, radiusMm, mask});
  return mask;
}

std::size_t boardRegionMaskCacheSize() { return maskCache().size(); }

double roundTo(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  if (!(scale > 0.0)) return std::isfinite(value) ? 0.0 : value;
  const double scaled = value * scale;
  // Beyond 2^52 a double has no fraction left at this scale, and the product may overflow.
  if (!std::isfinite(scaled) || std::abs(scaled) >= 4503599627370496.0) return value;
  return std::round(scaled) / scale;
}

double roundToThousandths(double value) { return roundTo(value, 3); }

std::string fieldSectorKey(const std::string& label) {
  if (label.empty() || label == "MISS") return "";
  if (label == "BULL" || label == "25") return "bull";
  std::string digits;
  for (const char c : label) {
    if (std::isdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  return digits;
}

}  // namespace tarv
