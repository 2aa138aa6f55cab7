// Small board-plane helpers shared by every image and board computation: points in JSON,
// plane homographies, circles, percentiles, the board region mask of a camera and rounding.
#pragma once

#include <array>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace tarv {

using json = nlohmann::json;

// Nine doubles, row-major; for a camera it maps board millimetres to image pixels.
using Homography = std::array<double, 9>;

struct Point2 {
  double x = 0.0;
  double y = 0.0;
};

json pointToJson(Point2 point);
// Reads elements 0 and 1 as doubles; fails with the JSON library's errors.
Point2 pointFromJson(const json& value);

// H·(x, y, 1) divided by w; fails with "Projection at infinity" when w is not finite or
// |w| < 1e-10.
Point2 applyHomography(const Homography& h, Point2 point);

// The homography of the same view resized by (sx, sy): diag(sx, sy, 1)·H.
Homography scaleHomography(const Homography& h, double sx, double sy);
// The homography of the crop of the view that starts at the offset: T(-offset)·H.
Homography cropHomography(const Homography& h, cv::Point2d offset);

// count points on the circle of the radius round the origin, from +x towards +y.
std::vector<Point2> circlePoints(double radius, int count);

// Linear interpolation between neighbours of the sorted values; p is clamped to 0..100
// (NaN counts as 0). An empty list gives 0.0.
double percentile(std::vector<double> values, double p);

// 255 inside the projected board circle of the radius, 0 outside; cached per thread
// (12 entries), the caller always gets its own copy. Fails like applyHomography, and also
// when a vertex projects to a non-finite pixel; a failure leaves the cache unchanged.
cv::Mat getBoardRegionMask(cv::Size size, const Homography& h, double radiusMm);
// The same mask sharing the cache's pixels, for callers that only read it: no copy of a
// full-size mask per call. Writing into it would change every later answer of the cache.
cv::Mat sharedBoardRegionMask(cv::Size size, const Homography& h, double radiusMm);
// Number of masks in the calling thread's cache.
std::size_t boardRegionMaskCacheSize();

// round(v·1000)/1000 with halves away from zero.
double roundToThousandths(double value);
// round(v·10^decimals)/10^decimals with halves away from zero.
double roundTo(double value, int decimals);

// "" for "" and "MISS", "bull" for "BULL" and "25", else the label's digits.
std::string fieldSectorKey(const std::string& label);

}  // namespace tarv
