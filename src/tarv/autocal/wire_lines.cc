#include "tarv/autocal/wire_lines.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFamilyGap = 0.04363323129985824;  // 2.5 degrees
constexpr int kSamplingTrials = 400;
constexpr double kInlierDistancePx = 2.5;
constexpr int kMinLines = 10;

WireLine lineFromHough(const cv::Vec2f& hough) {
  return {std::cos(static_cast<double>(hough[1])), std::sin(static_cast<double>(hough[1])),
          -static_cast<double>(hough[0])};
}

double wrapAngle(double t) {
  t = std::fmod(t, kPi);
  return t < 0.0 ? t + kPi : t;
}

std::vector<double> groupFamilies(std::vector<double> angles) {
  std::sort(angles.begin(), angles.end());
  std::vector<std::vector<double>> groups;
  for (double t : angles) {
    if (groups.empty() || t - groups.back().back() >= kFamilyGap) groups.emplace_back();
    groups.back().push_back(t);
  }
  if (groups.size() >= 2 && (groups.front().front() + kPi) - groups.back().back() < kFamilyGap) {
    for (double t : groups.back()) groups.front().push_back(t - kPi);
    groups.pop_back();
  }
  std::vector<double> families;
  for (const auto& g : groups) {
    double sum = 0.0;
    for (double t : g) sum += t;
    families.push_back(wrapAngle(sum / static_cast<double>(g.size())));
  }
  return families;
}

}  // namespace

std::vector<Point2> ringWirePoints() {
  std::vector<Point2> points;
  for (int j = 0; j < 20; ++j) {
    const double a = (-81.0 + 18.0 * j) * kPi / 180.0;
    points.push_back({170.0 * std::cos(a), 170.0 * std::sin(a)});
  }
  return points;
}

WireIntersection findWireIntersection(const cv::Mat& grey, const cv::RotatedRect& ellipse, int lineLimit) {
  cv::Mat edges;
  cv::Canny(grey, edges, 60, 140, 3, true);
  cv::Mat mask = cv::Mat::zeros(grey.size(), CV_8U);
  cv::ellipse(mask, cv::RotatedRect(ellipse.center, ellipse.size * 0.96f, ellipse.angle), cv::Scalar(255),
              cv::FILLED, cv::LINE_8);
  edges &= mask;

  std::vector<cv::Vec2f> hough;
  const int votes = static_cast<int>(0.25 * std::min(ellipse.size.width, ellipse.size.height));
  cv::HoughLines(edges, hough, 1.0, 0.008726646259971648, votes, 0, 0, 0.0, kPi);
  if (static_cast<int>(hough.size()) < kMinLines) throw CalibrationError("TOO_FEW_WIRE_LINES");
  if (static_cast<int>(hough.size()) > lineLimit) hough.resize(static_cast<size_t>(lineLimit));

  std::vector<WireLine> lines;
  for (const cv::Vec2f& h : hough) lines.push_back(lineFromHough(h));
  const size_t n = lines.size();
  std::mt19937 rng(0);
  int bestCount = -1;
  std::vector<size_t> best;
  for (int trial = 0; trial < kSamplingTrials; ++trial) {
    const size_t i = rng() % n;
    const size_t j = rng() % n;
    if (i == j) continue;
    const WireLine& p = lines[i];
    const WireLine& q = lines[j];
    const double det = p.a * q.b - q.a * p.b;
    if (std::abs(det) < 1e-9) continue;
    const double x = (-p.c * q.b + q.c * p.b) / det;
    const double y = (-p.a * q.c + q.a * p.c) / det;
    if (!(std::abs(x - ellipse.center.x) < 0.25 * ellipse.size.width &&
          std::abs(y - ellipse.center.y) < 0.25 * ellipse.size.height)) {
      continue;
    }
    std::vector<size_t> inliers;
    for (size_t k = 0; k < n; ++k) {
      if (std::abs(lines[k].a * x + lines[k].b * y + lines[k].c) < kInlierDistancePx) inliers.push_back(k);
    }
    if (static_cast<int>(inliers.size()) > bestCount) {
      bestCount = static_cast<int>(inliers.size());
      best = std::move(inliers);
    }
  }
  if (bestCount < kMinLines) throw CalibrationError("NO_COMMON_WIRE_INTERSECTION");

  cv::Mat A(static_cast<int>(best.size()), 2, CV_64F), b(static_cast<int>(best.size()), 1, CV_64F);
  std::vector<double> angles;
  for (size_t r = 0; r < best.size(); ++r) {
    const WireLine& l = lines[best[r]];
    A.at<double>(static_cast<int>(r), 0) = l.a;
    A.at<double>(static_cast<int>(r), 1) = l.b;
    b.at<double>(static_cast<int>(r), 0) = -l.c;
    angles.push_back(wrapAngle(static_cast<double>(hough[best[r]][1])));
  }
  cv::Mat solution;
  cv::solve(A, b, solution, cv::DECOMP_SVD);

  WireIntersection result;
  result.bull = {solution.at<double>(0), solution.at<double>(1)};
  result.familyAngles = groupFamilies(std::move(angles));
  if (result.familyAngles.size() < 8) {
    throw CalibrationError("WIRE_FAMILIES_INCOMPLETE (" + std::to_string(result.familyAngles.size()) + ")");
  }
  return result;
}

WireAssignment chooseWireAssignment(const std::vector<WireAssignment>& trials) {
  if (trials.empty()) throw CalibrationError("DEGENERATE_INITIAL_HOMOGRAPHY");
  const WireAssignment* chosen = nullptr;
  for (const WireAssignment& t : trials) {
    if (!keepsBoardHandedness(t.h)) continue;
    if (chosen == nullptr || t.meanError < chosen->meanError) chosen = &t;
  }
  if (chosen == nullptr) throw CalibrationError("MIRRORED_HOMOGRAPHY");
  return *chosen;
}

Homography findWireFamilies(const cv::Mat& grey, const cv::RotatedRect& ellipse, int lineLimit, json& report) {
  const WireIntersection wires = findWireIntersection(grey, ellipse, lineLimit);
  const Point2 bull = wires.bull;
  std::vector<std::pair<double, Point2>> ends;
  for (double t : wires.familyAngles) {
    const WireLine line{std::cos(t), std::sin(t), -(std::cos(t) * bull.x + std::sin(t) * bull.y)};
    if (const auto crossings = intersectLineEllipse(line, ellipse)) {
      for (const Point2& p : {crossings->first, crossings->second}) {
        ends.emplace_back(std::atan2(p.y - bull.y, p.x - bull.x), p);
      }
    }
  }
  if (ends.size() != 20) {
    throw CalibrationError("WIRE_COUNT " + std::to_string(ends.size()) + "; expected 20");
  }
  std::sort(ends.begin(), ends.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  std::vector<cv::Point2f> board;
  for (const Point2& p : ringWirePoints()) board.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
  std::vector<WireAssignment> trials;
  for (int d = 0; d < 2; ++d) {
    std::vector<Point2> list;
    for (const auto& e : ends) list.push_back(e.second);
    if (d == 1) std::reverse(list.begin(), list.end());
    for (int s = 0; s < 20; ++s) {
      std::vector<cv::Point2f> image;
      for (int j = 0; j < 20; ++j) {
        const Point2& p = list[static_cast<size_t>((j + s) % 20)];
        image.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
      }
      Homography h;
      try {
        h = estimateHomography(board, image, 0, 3.0);
      } catch (const CalibrationError&) {
        continue;
      }
      double sum = 0.0;
      for (int j = 0; j < 20; ++j) {
        const Point2 q = applyHomography(h, {board[j].x, board[j].y});
        sum += std::hypot(q.x - image[j].x, q.y - image[j].y);
      }
      trials.push_back({sum / 20.0, 100 * d + s, h});
    }
  }
  const WireAssignment chosen = chooseWireAssignment(trials);
  report["bull_px"] = pointToJson(bull);
  report["wire_families"] = wires.familyAngles.size();
  report["initial_fit_px"] = chosen.meanError;
  report["orientation_index"] = chosen.index;
  return chosen.h;
}

Homography estimateHomography(const std::vector<cv::Point2f>& board, const std::vector<cv::Point2f>& image,
                              int method, double threshold, std::vector<uchar>* inlierMask) {
  cv::Mat h;
  if (inlierMask != nullptr) {
    h = cv::findHomography(board, image, method, threshold, *inlierMask, 2000, 0.995);
  } else {
    h = cv::findHomography(board, image, method, threshold, cv::noArray(), 2000, 0.995);
  }
  if (h.empty()) throw CalibrationError("DEGENERATE_INITIAL_HOMOGRAPHY");
  Homography out{};
  for (int i = 0; i < 9; ++i) {
    out[static_cast<size_t>(i)] = h.at<double>(i / 3, i % 3);
    if (!std::isfinite(out[static_cast<size_t>(i)])) throw CalibrationError("DEGENERATE_INITIAL_HOMOGRAPHY");
  }
  return out;
}

bool keepsBoardHandedness(const Homography& h) {
  const Point2 c = applyHomography(h, {0.0, 0.0});
  const Point2 a = applyHomography(h, {170.0, 0.0});
  const Point2 b = applyHomography(h, {0.0, 170.0});
  return (a.x - c.x) * (b.y - c.y) - (a.y - c.y) * (b.x - c.x) > 0.0;
}

cv::Matx33d ellipseConic(const cv::RotatedRect& e) {
  const double a = e.size.width / 2.0, b = e.size.height / 2.0;
  const double t = e.angle * kPi / 180.0;
  const double c = std::cos(t), s = std::sin(t);
  // Axis-aligned conic diag(1/a², 1/b², -1) turned by the angle and moved to the centre.
  const double A = c * c / (a * a) + s * s / (b * b);
  const double B = c * s * (1.0 / (a * a) - 1.0 / (b * b));
  const double C = s * s / (a * a) + c * c / (b * b);
  const double x0 = e.center.x, y0 = e.center.y;
  const double D = -(A * x0 + B * y0);
  const double E = -(B * x0 + C * y0);
  const double F = A * x0 * x0 + 2.0 * B * x0 * y0 + C * y0 * y0 - 1.0;
  return {A, B, D, B, C, E, D, E, F};
}

std::optional<std::pair<Point2, Point2>> intersectLineEllipse(const WireLine& line, const cv::RotatedRect& ellipse) {
  const double norm2 = line.a * line.a + line.b * line.b;
  const double norm = std::sqrt(norm2);
  if (!(norm > 0.0)) return std::nullopt;
  const cv::Vec3d p0(-line.c * line.a / norm2, -line.c * line.b / norm2, 1.0);
  const cv::Vec3d d(-line.b / norm, line.a / norm, 0.0);
  const cv::Matx33d Q = ellipseConic(ellipse);
  const double q2 = d.dot(Q * d);
  const double q1 = 2.0 * p0.dot(Q * d);
  const double q0 = p0.dot(Q * p0);
  const double disc = q1 * q1 - 4.0 * q2 * q0;
  if (disc <= 0.0 || std::abs(q2) < 1e-12) return std::nullopt;
  const double root = std::sqrt(disc);
  const double u1 = (-q1 - root) / (2.0 * q2), u2 = (-q1 + root) / (2.0 * q2);
  return std::make_pair(Point2{p0[0] + u1 * d[0], p0[1] + u1 * d[1]}, Point2{p0[0] + u2 * d[0], p0[1] + u2 * d[1]});
}

}  // namespace tarv
