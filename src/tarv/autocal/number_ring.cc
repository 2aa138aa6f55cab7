#include "tarv/autocal/number_ring.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "tarv/core/lens_distortion.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Labels by sector position (position 0 the 20), as the landmark frame numbers them.
constexpr std::array<int, 20> kLabels{20, 1, 18, 4, 13, 6, 10, 15, 2, 17, 3, 19, 7, 16, 8, 11, 14, 9, 12, 5};
// Where the numbers stand (mm from the bull) and the box measured round each: wide enough for
// "20" in a bold face, clear of the double ring's wire (the box keeps 4 mm from it) and of the
// neighbouring numbers.
constexpr double kNumberRadiusMm = 193.0;
constexpr double kHalfWidthMm = 16.0;
constexpr double kHalfHeightMm = 10.0;
constexpr double kStepAcrossMm = 0.5;
constexpr double kStepUpMm = 1.0;
// Ink: brighter than the middle of the box's darkest and brightest samples, where the two lie
// at least this far apart; a column is inked with two such samples.
constexpr double kMinContrast = 40.0;
constexpr int kMinInkPerColumn = 2;
// The reading: enough numbers measured, the turn's two classes apart by this much, at most
// kMaxMisread of its widths on the wrong side of their middle, and every other turn at least
// kMinRivalMisread (a turn by two sectors moves four labels across the classes).
constexpr int kMinMeasured = 14;
constexpr double kMinMarginMm = 4.0;
constexpr int kMaxMisread = 1;
constexpr int kMaxLeadingMisread = 2;
constexpr int kMinRivalMisread = 3;

bool twoDigits(int position, int shift) { return kLabels[static_cast<size_t>(((position - shift) % 20 + 20) % 20)] >= 10; }

struct Turn {
  double margin = -std::numeric_limits<double>::infinity();
  int measured = 0;
  int misread = 0;
};

Turn judgeTurn(const std::array<double, 20>& widths, int shift) {
  double sum[2] = {0.0, 0.0};
  int count[2] = {0, 0};
  for (int p = 0; p < 20; ++p) {
    if (!std::isfinite(widths[static_cast<size_t>(p)])) continue;
    const int c = twoDigits(p, shift) ? 1 : 0;
    sum[c] += widths[static_cast<size_t>(p)];
    ++count[c];
  }
  Turn t;
  t.measured = count[0] + count[1];
  if (count[0] == 0 || count[1] == 0) return t;
  const double one = sum[0] / count[0], two = sum[1] / count[1];
  t.margin = two - one;
  const double middle = 0.5 * (one + two);
  for (int p = 0; p < 20; ++p) {
    const double w = widths[static_cast<size_t>(p)];
    if (std::isfinite(w) && (w > middle) != twoDigits(p, shift)) ++t.misread;
  }
  return t;
}

// The boxes' board points in the image: the pinhole and a lens of up to five coefficients
// (k1, k2, p1, p2, k3) as the camera has them, worked out here rather than through OpenCV's
// general projection, which spends six times the work on each point, and a reading projects
// ten turns of twenty boxes of 1,365 points. Points at or behind the camera's plane are left
// NaN (the reading stops at the first of them); another lens goes the general way.
std::vector<cv::Point2d> boxPixels(const CameraEstimate& camera, const cv::Matx33d& R, const cv::Vec3d& t,
                                   const std::vector<cv::Point3d>& board) {
  const cv::Mat& K = camera.K;
  const cv::Mat& dist = camera.dist;
  if (K.type() != CV_64F || K.rows != 3 || K.cols != 3 || (!dist.empty() && (dist.type() != CV_64F || dist.total() > 5))) {
    return projectBoardPoints(camera, board);
  }
  std::array<double, 5> d{};
  for (size_t i = 0; i < dist.total(); ++i) d[i] = dist.ptr<double>()[i];
  const double fx = K.at<double>(0, 0), fy = K.at<double>(1, 1), cx = K.at<double>(0, 2), cy = K.at<double>(1, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<cv::Point2d> image(board.size(), cv::Point2d(nan, nan));
  for (size_t i = 0; i < board.size(); ++i) {
    const cv::Vec3d c = R * cv::Vec3d(board[i].x, board[i].y, 0.0) + t;
    if (!(c[2] > 0.0)) continue;
    const cv::Point2d bent = distortNormalised(c[0] / c[2], c[1] / c[2], d);
    image[i] = cv::Point2d(fx * bent.x + cx, fy * bent.y + cy);
  }
  return image;
}

}  // namespace

std::array<double, 20> numberWidthsMm(const cv::Mat& grey, const CameraEstimate& camera, int shift) {
  std::array<double, 20> widths;
  widths.fill(std::numeric_limits<double>::quiet_NaN());
  const int columns = static_cast<int>(std::lround(2.0 * kHalfWidthMm / kStepAcrossMm)) + 1;
  const int rows = static_cast<int>(std::lround(2.0 * kHalfHeightMm / kStepUpMm)) + 1;
  // Upright as this turn stands the board: its 20 at the top, text along the horizontal.
  const double upAngle = (90.0 - 18.0 * shift) * kPi / 180.0;
  const cv::Point2d up(std::cos(upAngle), std::sin(upAngle)), across(up.y, -up.x);
  std::vector<cv::Point3d> board;
  board.reserve(static_cast<size_t>(20 * columns * rows));
  for (int p = 0; p < 20; ++p) {
    const double a = (90.0 - 18.0 * p) * kPi / 180.0;
    const cv::Point2d centre(kNumberRadiusMm * std::cos(a), kNumberRadiusMm * std::sin(a));
    for (int c = 0; c < columns; ++c) {
      for (int r = 0; r < rows; ++r) {
        const cv::Point2d q = centre + (-kHalfWidthMm + c * kStepAcrossMm) * across + (-kHalfHeightMm + r * kStepUpMm) * up;
        board.emplace_back(q.x, q.y, 0.0);
      }
    }
  }
  cv::Matx33d R;
  cv::Rodrigues(camera.rvec, R);
  const cv::Vec3d t(camera.tvec.at<double>(0), camera.tvec.at<double>(1), camera.tvec.at<double>(2));
  const std::vector<cv::Point2d> image = boxPixels(camera, R, t, board);
  std::vector<double> values(static_cast<size_t>(columns * rows));
  std::vector<double> sorted;
  for (int p = 0; p < 20; ++p) {
    const size_t first = static_cast<size_t>(p * columns * rows);
    bool inView = true;
    for (size_t k = 0; k < values.size() && inView; ++k) {
      const cv::Point3d& b = board[first + k];
      // The lens model folds back far from its centre: only points well in front of the camera.
      inView = (R * cv::Vec3d(b.x, b.y, 0.0) + t)[2] > 1.0;
      values[k] = inView ? greyAt(grey, image[first + k]) : std::numeric_limits<double>::quiet_NaN();
      inView = inView && std::isfinite(values[k]);
    }
    if (!inView) continue;
    // Only two ranks are needed, and a reading takes them for ten turns of twenty numbers:
    // each is picked in place, the bright one among the values above the dark one.
    sorted = values;
    const size_t darkAt = sorted.size() / 20, brightAt = sorted.size() - 1 - sorted.size() / 20;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(darkAt), sorted.end());
    if (brightAt > darkAt) {
      std::nth_element(sorted.begin() + static_cast<long>(darkAt) + 1, sorted.begin() + static_cast<long>(brightAt),
                       sorted.end());
    }
    const double dark = sorted[darkAt], bright = sorted[brightAt];
    if (!(bright - dark >= kMinContrast)) continue;
    const double threshold = 0.5 * (dark + bright);
    int firstInked = -1, lastInked = -1;
    for (int c = 0; c < columns; ++c) {
      int ink = 0;
      for (int r = 0; r < rows; ++r) ink += values[static_cast<size_t>(c * rows + r)] > threshold ? 1 : 0;
      if (ink < kMinInkPerColumn) continue;
      if (firstInked < 0) firstInked = c;
      lastInked = c;
    }
    if (firstInked >= 0) widths[static_cast<size_t>(p)] = (lastInked - firstInked + 1) * kStepAcrossMm;
  }
  return widths;
}

NumberRingReading turnFromNumberWidths(const std::array<std::array<double, 20>, 10>& widthsByTurn) {
  std::array<Turn, 10> turns;
  size_t best = 0;
  for (size_t k = 0; k < 10; ++k) {
    turns[k] = judgeTurn(widthsByTurn[k], static_cast<int>(2 * k));
    if (turns[k].margin > turns[best].margin) best = k;
  }
  NumberRingReading out;
  out.shift = static_cast<int>(2 * best);
  out.measured = turns[best].measured;
  out.misread = turns[best].misread;
  out.marginMm = turns[best].margin;
  out.runnerUpMm = -std::numeric_limits<double>::infinity();
  bool rivalsFail = true;
  for (size_t k = 0; k < 10; ++k) {
    if (k == best) continue;
    out.runnerUpMm = std::max(out.runnerUpMm, turns[k].margin);
    rivalsFail = rivalsFail && turns[k].misread >= kMinRivalMisread;
  }
  out.readable = out.measured >= kMinMeasured;
  out.leads = out.readable && out.marginMm >= kMinMarginMm && out.misread <= kMaxLeadingMisread;
  out.sure = out.leads && out.misread <= kMaxMisread && rivalsFail;
  return out;
}

NumberRingReading readNumberRing(const cv::Mat& grey, const CameraEstimate& camera) {
  std::array<std::array<double, 20>, 10> widths;
  for (size_t k = 0; k < 10; ++k) widths[k] = numberWidthsMm(grey, camera, static_cast<int>(2 * k));
  return turnFromNumberWidths(widths);
}

double greyAt(const cv::Mat& grey, cv::Point2d p) {
  const int x0 = static_cast<int>(std::floor(p.x)), y0 = static_cast<int>(std::floor(p.y));
  if (x0 < 0 || y0 < 0 || x0 + 1 >= grey.cols || y0 + 1 >= grey.rows) return std::numeric_limits<double>::quiet_NaN();
  const double fx = p.x - x0, fy = p.y - y0;
  const uchar* r0 = grey.ptr<uchar>(y0);
  const uchar* r1 = grey.ptr<uchar>(y0 + 1);
  return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x0 + 1]) + fy * ((1 - fx) * r1[x0] + fx * r1[x0 + 1]);
}

}  // namespace tarv
