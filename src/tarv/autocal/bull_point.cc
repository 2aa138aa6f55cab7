#include "tarv/autocal/bull_point.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>

namespace tarv {
namespace {

struct Line {
  cv::Point2d centre;
  cv::Point2d dir;
};

double lineDistance(const Line& l, cv::Point2d p) {
  const cv::Point2d d = p - l.centre;
  return std::abs(d.x * l.dir.y - d.y * l.dir.x);
}

}  // namespace

cv::Point2d findBullPoint(const LandmarkDetections& kept) {
  int best = -1;
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] == 0 && kept.scores[j] > 0.1f && (best < 0 || kept.scores[j] > kept.scores[best])) {
      best = static_cast<int>(j);
    }
  }
  if (best >= 0) return kept.centres[best];
  std::vector<cv::Point2d> points;
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] == 1 && kept.scores[j] > 0.25f) points.push_back(kept.centres[j]);
  }
  if (auto p = bullFromWireLines(points)) return *p;
  if (points.size() < 25) return {-1.0, -1.0};
  const std::vector<double> sixth = nearestDistances(points, 5);
  const double tau = 1.5 * nthSmallest(sixth, points.size() / 5);
  std::vector<double> xs, ys;
  for (size_t i = 0; i < points.size(); ++i) {
    if (sixth[i] < tau) {
      xs.push_back(points[i].x);
      ys.push_back(points[i].y);
    }
  }
  if (xs.size() < 8) return {-1.0, -1.0};
  return {nthSmallest(xs, xs.size() / 2), nthSmallest(ys, ys.size() / 2)};
}

std::optional<cv::Point2d> bullFromWireLines(const std::vector<cv::Point2d>& P) {
  const size_t n = P.size();
  if (n < 20) return std::nullopt;
  const double spacing = nthSmallest(nearestDistances(P, 0), n / 2);
  std::mt19937 rng(0);
  std::vector<bool> used(n, false);
  std::vector<Line> lines;
  for (int draw = 0; draw < 600; ++draw) {
    const size_t i = rng() % n, j = rng() % n;
    if (i == j || (used[i] && used[j])) continue;
    const double d = cv::norm(P[j] - P[i]);
    if (d < 1.5 * spacing || d > 12.0 * spacing) continue;
    const Line probe{P[i], (P[j] - P[i]) / d};
    std::vector<size_t> inliers;
    for (size_t k = 0; k < n; ++k) {
      if (lineDistance(probe, P[k]) < 0.12 * spacing) inliers.push_back(k);
    }
    if (inliers.size() < 4) continue;
    cv::Point2d c(0, 0);
    for (size_t k : inliers) c += P[k];
    c *= 1.0 / inliers.size();
    double sxx = 0, sxy = 0, syy = 0;
    for (size_t k : inliers) {
      const cv::Point2d q = P[k] - c;
      sxx += q.x * q.x;
      sxy += q.x * q.y;
      syy += q.y * q.y;
    }
    const double theta = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
    lines.push_back({c, {std::cos(theta), std::sin(theta)}});
    for (size_t k : inliers) used[k] = true;
  }
  if (lines.size() < 4) return std::nullopt;
  int bestCount = -1;
  cv::Point2d bestX;
  for (size_t a = 0; a < lines.size(); ++a) {
    for (size_t b = a + 1; b < lines.size(); ++b) {
      const double cross = lines[a].dir.x * lines[b].dir.y - lines[a].dir.y * lines[b].dir.x;
      if (std::abs(cross) < 0.2) continue;
      const cv::Point2d d = lines[b].centre - lines[a].centre;
      const double t = (d.x * lines[b].dir.y - d.y * lines[b].dir.x) / cross;
      const cv::Point2d X = lines[a].centre + t * lines[a].dir;
      int count = 0;
      for (const Line& l : lines) count += lineDistance(l, X) < 0.5 * spacing;
      if (count > bestCount) {
        bestCount = count;
        bestX = X;
      }
    }
  }
  if (bestCount < 4) return std::nullopt;
  cv::Matx22d A = cv::Matx22d::zeros();
  cv::Vec2d rhs(0, 0);
  for (const Line& l : lines) {
    if (!(lineDistance(l, bestX) < 0.5 * spacing)) continue;
    const cv::Matx22d M(1 - l.dir.x * l.dir.x, -l.dir.x * l.dir.y, -l.dir.x * l.dir.y, 1 - l.dir.y * l.dir.y);
    A += M;
    rhs += M * cv::Vec2d(l.centre.x, l.centre.y);
  }
  if (std::abs(cv::determinant(A)) < 1e-9) return std::nullopt;
  const cv::Vec2d X = A.inv() * rhs;
  double minX = 1e18, minY = 1e18, maxX = -1e18, maxY = -1e18;
  for (const cv::Point2d& p : P) {
    minX = std::min(minX, p.x);
    minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x);
    maxY = std::max(maxY, p.y);
  }
  if (X[0] > minX - spacing && X[0] < maxX + spacing && X[1] > minY - spacing && X[1] < maxY + spacing) {
    return cv::Point2d(X[0], X[1]);
  }
  return std::nullopt;
}

}  // namespace tarv
