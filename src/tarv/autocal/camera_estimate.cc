#include "tarv/autocal/camera_estimate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include <opencv2/calib3d.hpp>

#include "tarv/autocal/edge_points.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<cv::Point3d> buildReferenceCrossings(double bedMm) {
  const double radii[kCrossingRings] = {15.9, 107.0 - bedMm, 107.0, 170.0 - bedMm, 170.0};
  std::vector<cv::Point3d> points;
  points.reserve(kCrossingRings * kCrossingWires);
  for (double r : radii) {
    for (int i = 0; i < kCrossingWires; ++i) {
      const double a = (90.0 - 18.0 * i - 9.0) * kPi / 180.0;
      points.emplace_back(r * std::cos(a), r * std::sin(a), 0.0);
    }
  }
  return points;
}

cv::Matx33d rotationOf(const CameraEstimate& e) {
  cv::Matx33d R;
  cv::Rodrigues(e.rvec, R);
  return R;
}

}  // namespace

const std::vector<cv::Point3d>& referenceCrossings(bool wideBeds) {
  static const std::vector<cv::Point3d> regulation = buildReferenceCrossings(kRegulationBedMm);
  static const std::vector<cv::Point3d> wide = buildReferenceCrossings(kWideBedMm);
  return wideBeds ? wide : regulation;
}

CameraEstimate makeCameraEstimate(int width, int height, double focal) {
  CameraEstimate e;
  e.width = width;
  e.height = height;
  e.K = (cv::Mat_<double>(3, 3) << focal, 0.0, (width - 1) * 0.5, 0.0, focal, (height - 1) * 0.5, 0.0, 0.0, 1.0);
  e.dist = cv::Mat::zeros(1, 5, CV_64F);
  e.rvec = cv::Mat::zeros(3, 1, CV_64F);
  e.tvec = cv::Mat::zeros(3, 1, CV_64F);
  return e;
}

CameraEstimate cloneCameraEstimate(const CameraEstimate& e) {
  return {e.width, e.height, e.K.clone(), e.dist.clone(), e.rvec.clone(), e.tvec.clone()};
}

std::vector<cv::Point2d> projectBoardPoints(const CameraEstimate& e, const std::vector<cv::Point3d>& board) {
  std::vector<cv::Point2d> out;
  if (board.empty()) return out;
  cv::projectPoints(board, e.rvec, e.tvec, e.K, e.dist, out);
  return out;
}

double boardPxPerMm(const CameraEstimate& e, cv::Point3d at, cv::Point3d dir) {
  const std::vector<cv::Point2d> p = projectBoardPoints(e, {at - 0.5 * dir, at + 0.5 * dir});
  return cv::norm(p[1] - p[0]);
}

CameraEstimate raisedBy(const CameraEstimate& e, double mm) {
  CameraEstimate out = cloneCameraEstimate(e);
  if (mm == 0.0) return out;
  cv::Matx33d R;
  cv::Rodrigues(e.rvec, R);
  for (int i = 0; i < 3; ++i) out.tvec.at<double>(i) += mm * R(i, 2);
  return out;
}

double ringDistancePx(const CameraEstimate& a, const CameraEstimate& b, double radiusMm) {
  std::vector<cv::Point3d> ring;
  for (int i = 0; i < 20; ++i) {
    const double t = 18.0 * i * kPi / 180.0;
    ring.emplace_back(radiusMm * std::cos(t), radiusMm * std::sin(t), 0.0);
  }
  const std::vector<cv::Point2d> pa = projectBoardPoints(a, ring), pb = projectBoardPoints(b, ring);
  double sum = 0.0;
  for (size_t i = 0; i < pa.size(); ++i) sum += cv::norm(pa[i] - pb[i]);
  return sum / static_cast<double>(pa.size());
}

std::vector<cv::Point2d> backProjectToBoard(const CameraEstimate& e, const std::vector<cv::Point2d>& pixels) {
  std::vector<cv::Point2d> out;
  if (pixels.empty()) return out;
  std::vector<cv::Point2d> normalised;
  cv::undistortPoints(pixels, normalised, e.K, e.dist, cv::noArray(), cv::noArray(),
                      cv::TermCriteria(cv::TermCriteria::COUNT, 5, 0.01));
  const cv::Matx33d Rt = rotationOf(e).t();
  const cv::Vec3d c = cameraCentre(e);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const cv::Point2d& n : normalised) {
    const cv::Vec3d d = Rt * cv::Vec3d(n.x, n.y, 1.0);
    const double s = std::abs(d[2]) > 1e-12 ? -c[2] / d[2] : -1.0;
    // The ray runs from the camera forward (s > 0); a hit behind it is a pixel above the
    // board's horizon, where the plane is never seen.
    out.push_back(s > 0.0 && std::isfinite(s) ? cv::Point2d(c[0] + s * d[0], c[1] + s * d[1]) : cv::Point2d(nan, nan));
  }
  return out;
}

cv::Vec3d cameraCentre(const CameraEstimate& e) {
  const cv::Vec3d t(e.tvec.at<double>(0), e.tvec.at<double>(1), e.tvec.at<double>(2));
  return -(rotationOf(e).t() * t);
}

void rotateBySectors(CameraEstimate& e, int k) {
  const double theta = -18.0 * k * kPi / 180.0;
  const cv::Matx33d Rz(std::cos(theta), -std::sin(theta), 0.0, std::sin(theta), std::cos(theta), 0.0, 0.0, 0.0, 1.0);
  cv::Mat rvec;
  cv::Rodrigues(cv::Mat(rotationOf(e) * Rz), rvec);
  e.rvec = rvec;
}

namespace {

// Whether most crossings lie closer than kMinPairSpacingPx to their nearest neighbour.
template <typename It>
bool pairsMerge(It first, It last) {
  const auto merged = std::count_if(first, last, [](double s) { return s < kMinPairSpacingPx; });
  return 2 * merged > last - first;
}

}  // namespace

CrossingMatches matchCrossings(const std::vector<cv::Point2d>& projected,
                               const std::vector<cv::Point2d>& detected, double tolerance) {
  const size_t n = projected.size();
  // The spacing to the nearest crossing, and to the nearest on the same ring where the
  // projection is of the whole grid.
  const bool grid = n == static_cast<size_t>(kCrossingRings * kCrossingWires);
  std::vector<double> spacing(n, 1e18), alongRing(n, 1e18);
  // Squared distances compared, one root each: the solve scores thousands of cameras.
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      if (i == j) continue;
      const cv::Point2d e = projected[i] - projected[j];
      const double sq = e.dot(e);
      spacing[i] = std::min(spacing[i], sq);
      if (grid && i / kCrossingWires == j / kCrossingWires) alongRing[i] = std::min(alongRing[i], sq);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    spacing[i] = std::sqrt(spacing[i]);
    alongRing[i] = std::sqrt(alongRing[i]);
  }
  if (grid) {
    if (pairsMerge(spacing.begin(), spacing.end())) {
      for (size_t i = 0; i < n; ++i) spacing[i] = std::max(spacing[i], std::min(alongRing[i], kMinPairSpacingPx));
    }
  }
  std::vector<int> holder(n, -1);
  std::vector<double> held(n, 0.0);
  for (size_t d = 0; d < detected.size(); ++d) {
    int best = -1;
    double bestSq = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const cv::Point2d e = projected[i] - detected[d];
      const double sq = e.dot(e);
      if (best < 0 || sq < bestSq) {
        best = static_cast<int>(i);
        bestSq = sq;
      }
    }
    const double bestDistance = std::sqrt(bestSq);
    if (best < 0 || !(tolerance * spacing[best] > bestDistance)) continue;
    if (holder[best] >= 0 && held[best] <= bestDistance) continue;
    holder[best] = static_cast<int>(d);
    held[best] = bestDistance;
  }
  CrossingMatches m;
  for (size_t i = 0; i < n; ++i) {
    if (holder[i] < 0) continue;
    m.reference.push_back(static_cast<int>(i));
    m.detection.push_back(holder[i]);
  }
  return m;
}

MatchScore scoreCameraEstimate(const CameraEstimate& e, const std::vector<cv::Point2d>& detected,
                               double tolerance, bool wideBeds) {
  const std::vector<cv::Point2d> projected = projectBoardPoints(e, referenceCrossings(wideBeds));
  const CrossingMatches m = matchCrossings(projected, detected, tolerance);
  if (m.reference.empty()) return {0, 1e9};
  double sum = 0.0;
  for (size_t k = 0; k < m.reference.size(); ++k) {
    const cv::Point2d d = projected[m.reference[k]] - detected[m.detection[k]];
    sum += d.dot(d);
  }
  return {static_cast<int32_t>(m.reference.size()), std::sqrt(sum / m.reference.size())};
}

int32_t countPinholeMatches(const PinholePose& pose, const std::vector<cv::Point2d>& detected,
                            double tolerance) {
  constexpr int n = kCrossingRings * kCrossingWires;
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  const cv::Matx33d& R = pose.R;
  std::array<double, n> u{}, v{};
  for (int i = 0; i < n; ++i) {
    const double x = ref[i].x, y = ref[i].y;
    const double Z = R(2, 0) * x + R(2, 1) * y + pose.t[2];
    if (!(Z > 1.0)) return 0;
    u[i] = (R(0, 0) * x + R(0, 1) * y + pose.t[0]) * pose.f / Z + pose.cx;
    v[i] = (R(1, 0) * x + R(1, 1) * y + pose.t[1]) * pose.f / Z + pose.cy;
  }
  // Each crossing's spacing to its nearest neighbour on the board's grid, squared distances
  // compared: the hypotheses' search counts matches for thousands of poses.
  std::array<double, n> spacing{}, alongRing{};
  for (int idx = 0; idx < n; ++idx) {
    const int k = idx / kCrossingWires, i = idx % kCrossingWires;
    double sq = 1e36;
    auto near = [&](int j) { sq = std::min(sq, (u[idx] - u[j]) * (u[idx] - u[j]) + (v[idx] - v[j]) * (v[idx] - v[j])); };
    near(k * kCrossingWires + (i + 1) % kCrossingWires);
    near(k * kCrossingWires + (i + kCrossingWires - 1) % kCrossingWires);
    if (k > 0) near(idx - kCrossingWires);
    if (k < kCrossingRings - 1) near(idx + kCrossingWires);
    double alongSq = 1e36;
    auto nearAlong = [&](int j) {
      alongSq = std::min(alongSq, (u[idx] - u[j]) * (u[idx] - u[j]) + (v[idx] - v[j]) * (v[idx] - v[j]));
    };
    nearAlong(k * kCrossingWires + (i + 1) % kCrossingWires);
    nearAlong(k * kCrossingWires + (i + kCrossingWires - 1) % kCrossingWires);
    spacing[idx] = std::sqrt(sq);
    alongRing[idx] = std::sqrt(alongSq);
  }
  if (pairsMerge(spacing.begin(), spacing.end())) {
    for (int i = 0; i < n; ++i) spacing[i] = std::max(spacing[i], std::min(alongRing[i], kMinPairSpacingPx));
  }
  // A detection farther from the projected crossings' box than the tolerance of the widest
  // spacing matches none of them; most of a wrong pose's detections are such.
  const double widest = *std::max_element(spacing.begin(), spacing.end());
  const auto [minU, maxU] = std::minmax_element(u.begin(), u.end());
  const auto [minV, maxV] = std::minmax_element(v.begin(), v.end());
  const double reach = tolerance * widest;
  // A detection matches only its nearest crossing and only within reach of it, so only the
  // crossings within reach along u need be looked at: the projections bucketed along u, each
  // bucket about the reach wide (a counting sort: the search counts thousands of poses, and
  // sorting them was its largest cost). A crossing looked at beyond the reach lies farther off
  // than any crossing's tolerance and cannot displace one that matches.
  const double lowU = *minU, spanU = *maxU - *minU;
  int buckets = 1;
  if (reach > 0.0 && std::isfinite(spanU) && std::isfinite(reach)) {
    buckets = static_cast<int>(std::min(static_cast<double>(n), std::floor(spanU / reach) + 1.0));
    buckets = std::max(buckets, 1);
  }
  const double perBucket = buckets > 1 ? buckets / spanU : 0.0;
  const auto bucketOf = [&](double x) {
    if (buckets == 1) return 0;
    const double b = std::floor((x - lowU) * perBucket);
    if (!(b > 0.0)) return 0;
    return b >= buckets - 1 ? buckets - 1 : static_cast<int>(b);
  };
  std::array<int, n + 1> first{};
  std::array<int, n> byU{};
  std::array<int, n> bucketOfCrossing{};
  for (int i = 0; i < n; ++i) {
    bucketOfCrossing[i] = bucketOf(u[i]);
    ++first[bucketOfCrossing[i] + 1];
  }
  for (int b = 0; b < buckets; ++b) first[b + 1] += first[b];
  {
    std::array<int, n> next{};
    for (int b = 0; b < buckets; ++b) next[b] = first[b];
    for (int i = 0; i < n; ++i) byU[next[bucketOfCrossing[i]]++] = i;
  }
  std::array<bool, n> taken{};
  int32_t count = 0;
  for (const cv::Point2d& d : detected) {
    if (!(d.x >= *minU - reach && d.x <= *maxU + reach && d.y >= *minV - reach && d.y <= *maxV + reach)) continue;
    int best = -1;
    double bestSq = 1e18;
    const int last = first[bucketOf(d.x + reach) + 1];
    for (int k = first[bucketOf(d.x - reach)]; k < last; ++k) {
      const int i = byU[k];
      const double sq = (u[i] - d.x) * (u[i] - d.x) + (v[i] - d.y) * (v[i] - d.y);
      if (sq < bestSq || (sq == bestSq && i < best)) {
        bestSq = sq;
        best = i;
      }
    }
    if (best < 0) continue;
    if (!taken[best] && tolerance * spacing[best] > std::sqrt(bestSq)) {
      ++count;
      taken[best] = true;
    }
  }
  return count;
}

}  // namespace tarv
