#include "tarv/detector/transient_stroke.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/surround_motion.h"

namespace tarv {
namespace {

// Most of a stroke's pixels must be its own, not an earlier dart's or motion round the board.
constexpr double kMinCleanFraction = 0.8;
constexpr double kMinElongation = 2.5;
// Board lines that cross at a smaller angle than about 10 degrees give no reliable point.
constexpr double kMinSine = 0.17;
constexpr double kBoardMarginMm = 15.0;

cv::Mat resized(const cv::Mat& image, cv::Size size, int interpolation) {
  if (image.size() == size) return image;
  cv::Mat out;
  cv::resize(image, out, size, 0, 0, interpolation);
  return out;
}

std::array<double, 3> boardLineOf(const std::vector<cv::Point2f>& points, const Homography& view) {
  cv::Vec4f fit;
  cv::fitLine(points, fit, cv::DIST_HUBER, 0, 0.01, 0.01);
  const double vx = fit[0];
  const double vy = fit[1];
  const double x0 = fit[2];
  const double y0 = fit[3];
  const std::array<double, 3> image{vy, -vx, vx * y0 - vy * x0};
  std::array<double, 3> board{};
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) board[c] += view[r * 3 + c] * image[r];
  }
  return board;
}

std::optional<cv::Point2d> projected(const Homography& h, Point2 p) {
  const double w = h[6] * p.x + h[7] * p.y + h[8];
  if (!std::isfinite(w) || std::abs(w) < 1e-10) return std::nullopt;
  return cv::Point2d((h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w);
}

bool nearStroke(const TransientStroke& stroke, Point2 point) {
  const std::optional<cv::Point2d> pixel = projected(stroke.view, point);
  if (!pixel) return false;
  const double margin = std::max(0.5 * stroke.length, 10.0);
  return pixel->x >= stroke.box.x - margin &&
         pixel->x <= stroke.box.x + stroke.box.width + margin &&
         pixel->y >= stroke.box.y - margin && pixel->y <= stroke.box.y + stroke.box.height + margin;
}

}  // namespace

cv::Mat strokeExcludedPixels(const Camera& camera, cv::Size size, const Homography& view) {
  cv::Mat excluded =
      dilateMask(resized(camera.referenceChangeMask, size, cv::INTER_NEAREST), 9, false);
  if (camera.surroundMotion == nullptr || camera.surroundMotion->images[4].empty()) return excluded;
  cv::Mat motion = resized(toGray(camera.surroundMotion->images[4]), size, cv::INTER_NEAREST) > 0;
  cv::bitwise_and(motion, ~getBoardRegionMask(size, view, kSurroundRadiusMm), motion);
  cv::bitwise_or(excluded, motion, excluded);
  return excluded;
}

std::optional<TransientStroke> findTransientStroke(const cv::Mat& change, const cv::Mat& excluded,
                                 const Homography& view, double height) {
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(change, labels, stats, centroids, 8, CV_32S);
  std::vector<std::vector<cv::Point2f>> points(count);
  std::vector<int> clean(count, 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    const uchar* out = excluded.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (label[x] == 0) continue;
      points[label[x]].emplace_back(static_cast<float>(x), static_cast<float>(y));
      if (!out[x]) ++clean[label[x]];
    }
  }

  const int minArea = std::max(1, static_cast<int>(height * 40.0 / 400.0));
  const double maxArea = 0.15 * height * height;
  const double minLength = std::max(0.08 * height, 15.0);
  std::optional<TransientStroke> best;
  int bestLabel = 0;
  for (int l = 1; l < count; ++l) {
    const int area = stats.at<int>(l, cv::CC_STAT_AREA);
    if (area < minArea || area > maxArea || clean[l] < kMinCleanFraction * area) continue;
    const cv::RotatedRect rect = cv::minAreaRect(points[l]);
    const double length = std::max(rect.size.width, rect.size.height);
    const double shorter = std::min(rect.size.width, rect.size.height);
    if (length < minLength || length / std::max(shorter, 1.0) < kMinElongation) continue;
    if (best && best->length >= length) continue;
    TransientStroke stroke;
    stroke.length = length;
    stroke.box =
        cv::Rect(stats.at<int>(l, cv::CC_STAT_LEFT), stats.at<int>(l, cv::CC_STAT_TOP),
                 stats.at<int>(l, cv::CC_STAT_WIDTH), stats.at<int>(l, cv::CC_STAT_HEIGHT));
    stroke.record = {{"length", roundToThousandths(length)},
                     {"area", area},
                     {"clean_fraction", roundToThousandths(static_cast<double>(clean[l]) / area)},
                     {"box", {stroke.box.x, stroke.box.y, stroke.box.width, stroke.box.height}}};
    stroke.view = view;
    best = std::move(stroke);
    bestLabel = l;
  }
  if (best) best->boardLine = boardLineOf(points[bestLabel], view);
  return best;
}

std::optional<StrokeCrossing> crossTransientStrokes(const std::array<std::optional<TransientStroke>, 3>& strokes,
                                                    double boardRadiusMm) {
  std::optional<StrokeCrossing> best;
  const std::pair<int, int> pairs[] = {{0, 1}, {0, 2}, {1, 2}};
  for (const auto& [i, j] : pairs) {
    if (!strokes[i] || !strokes[j]) continue;
    const std::array<double, 3>& a = strokes[i]->boardLine;
    const std::array<double, 3>& b = strokes[j]->boardLine;
    const double normA = std::hypot(a[0], a[1]);
    const double normB = std::hypot(b[0], b[1]);
    if (normA < 1e-12 || normB < 1e-12) continue;
    const double cross = a[0] * b[1] - a[1] * b[0];
    const double sine = std::abs(cross) / (normA * normB);
    if (sine < kMinSine || std::abs(cross) < 1e-12) continue;
    const Point2 point{(a[1] * b[2] - a[2] * b[1]) / cross, (a[2] * b[0] - a[0] * b[2]) / cross};
    if (!std::isfinite(point.x) || !std::isfinite(point.y) ||
        std::hypot(point.x, point.y) > boardRadiusMm + kBoardMarginMm) {
      continue;
    }
    if (!nearStroke(*strokes[i], point) || !nearStroke(*strokes[j], point)) continue;
    if (best && sine <= best->sine) continue;
    best = StrokeCrossing{point, i, j, sine};
  }
  return best;
}

}  // namespace tarv
