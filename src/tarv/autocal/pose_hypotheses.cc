#include "tarv/autocal/pose_hypotheses.h"

#include "tarv/autocal/camera_solve.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
double rad(double deg) { return deg * kPi / 180.0; }

cv::Vec3d unit(const cv::Vec3d& v) { return v / cv::norm(v); }

// The best min(maxCount, n) candidates by matches, then their estimates.
std::vector<PoseCandidate> bestCandidates(std::vector<PoseCandidate> candidates, int maxCount) {
  const size_t keep = std::min(candidates.size(), static_cast<size_t>(std::max(maxCount, 0)));
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep), candidates.end(),
                    [](const PoseCandidate& a, const PoseCandidate& b) { return a.matches > b.matches; });
  candidates.resize(keep);
  return candidates;
}

}  // namespace

std::vector<CameraEstimate> homographyHypotheses(int width, int height, const LandmarkDetections& kept,
                                                 cv::Point2d bull) {
  std::map<int, std::pair<float, cv::Point2d>> markers;  // position -> best (score, centre)
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] < 2 || !(kept.scores[j] > 0.25f)) continue;
    const int n = kept.classes[j] - 2;
    auto it = markers.find(n);
    if (it == markers.end() || kept.scores[j] > it->second.first) markers[n] = {kept.scores[j], kept.centres[j]};
  }
  if (bull.x < 0 || markers.size() < 3) return {};
  std::vector<cv::Point2d> board{{0.0, 0.0}}, image{bull};
  for (const auto& [n, marker] : markers) {
    const double theta = rad(90.0 - 18.0 * n);
    board.emplace_back(196.0 * std::cos(theta), 196.0 * std::sin(theta));
    image.push_back(marker.second);
  }
  const cv::Mat H = cv::findHomography(board, image, cv::RANSAC, width * 0.04, cv::noArray(), 2000, 0.995);
  if (H.empty()) return {};
  std::vector<CameraEstimate> out;
  for (double factor : {0.55, 0.7, 0.85}) {
    if (auto e = cameraFromHomography(cv::Matx33d(H), width, height, factor * width)) out.push_back(std::move(*e));
  }
  return out;
}

std::optional<CameraEstimate> cameraFromHomography(const cv::Matx33d& H, int width, int height, double focal) {
  CameraEstimate e = makeCameraEstimate(width, height, focal);
  const cv::Matx33d M = cv::Matx33d(e.K).inv() * H;
  const cv::Vec3d h1(M(0, 0), M(1, 0), M(2, 0)), h2(M(0, 1), M(1, 1), M(2, 1)), h3(M(0, 2), M(1, 2), M(2, 2));
  double lambda = 2.0 / (cv::norm(h1) + cv::norm(h2));
  if (lambda * M(2, 2) < 0) lambda = -lambda;
  const cv::Vec3d r1 = lambda * h1, r2 = lambda * h2, t = lambda * h3, r3 = r1.cross(r2);
  const cv::Matx33d A(r1[0], r2[0], r3[0], r1[1], r2[1], r3[1], r1[2], r2[2], r3[2]);
  if (!cv::checkRange(A) || !cv::checkRange(t)) return std::nullopt;
  cv::SVD svd(cv::Mat(A), cv::SVD::FULL_UV);
  cv::Mat R = svd.u * svd.vt;
  if (cv::determinant(R) < 0) R = -R;
  cv::Rodrigues(R, e.rvec);
  e.tvec = cv::Mat(t).clone();
  if (!(cameraCentre(e)[2] > 0.0)) return std::nullopt;
  return e;
}

std::optional<double> focalFromHomography(const cv::Matx33d& H, int width, int height) {
  // With the optical centre at the image's centre and square pixels, the plane's two axes must
  // come out perpendicular and equally long: two equations in w = 1 / f², solved together.
  const cv::Matx33d T(1.0, 0.0, -(width - 1) * 0.5, 0.0, 1.0, -(height - 1) * 0.5, 0.0, 0.0, 1.0);
  cv::Matx33d G = T * H;
  G *= 1.0 / std::max(cv::norm(G), 1e-300);
  const double a1 = G(0, 0) * G(0, 1) + G(1, 0) * G(1, 1), b1 = G(2, 0) * G(2, 1);
  const double a2 = G(0, 0) * G(0, 0) + G(1, 0) * G(1, 0) - G(0, 1) * G(0, 1) - G(1, 1) * G(1, 1);
  const double b2 = G(2, 0) * G(2, 0) - G(2, 1) * G(2, 1);
  const double denominator = a1 * a1 + a2 * a2;
  if (!(denominator > 1e-300)) return std::nullopt;
  const double w = -(a1 * b1 + a2 * b2) / denominator;
  if (!(w > 0.0) || !std::isfinite(w)) return std::nullopt;
  return 1.0 / std::sqrt(w);
}

std::vector<CameraEstimate> planeHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                            const CameraEstimate& seed, bool freeCentre) {
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  std::vector<cv::Point2f> board;
  for (const cv::Point3d& p : ref) board.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
  std::vector<cv::Point2d> projected = projectBoardPoints(seed, ref);
  const double threshold = std::max(3.0, 0.004 * std::max(width, height));
  cv::Mat H;
  for (const double tol : {0.35, 0.3, 0.25, 0.25, 0.25}) {
    const CrossingMatches m = matchCrossings(projected, crossings, tol);
    if (m.reference.size() < 8) break;
    std::vector<cv::Point2f> src, dst;
    for (size_t k = 0; k < m.reference.size(); ++k) {
      src.push_back(board[static_cast<size_t>(m.reference[k])]);
      dst.emplace_back(crossings[static_cast<size_t>(m.detection[k])]);
    }
    const cv::Mat next = cv::findHomography(src, dst, cv::RANSAC, threshold, cv::noArray(), 2000, 0.995);
    if (next.empty() || !cv::checkRange(next)) break;
    H = next;
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(board, mapped, H);
    projected.assign(mapped.begin(), mapped.end());
  }
  if (H.empty()) return {};
  const cv::Matx33d h(H);
  const double f = std::clamp(focalFromHomography(h, width, height).value_or(seed.K.at<double>(0, 0)), 0.35 * width,
                              5.5 * width);
  std::vector<CameraEstimate> out;
  for (const double factor : {1.0, 0.8, 1.25}) {
    if (auto e = cameraFromHomography(h, width, height, factor * f)) out.push_back(std::move(*e));
  }
  // The plane's own pairs with the optical centre free: a photograph cut to the board puts the
  // centre elsewhere, and no camera about the image's centre matches the plane.
  const CrossingMatches m = matchCrossings(projected, crossings, 0.25);
  if (freeCentre && !out.empty() && m.reference.size() >= 40) {
    std::vector<cv::Point3f> object;
    std::vector<cv::Point2f> image;
    for (size_t k = 0; k < m.reference.size(); ++k) {
      object.emplace_back(ref[static_cast<size_t>(m.reference[k])]);
      image.emplace_back(crossings[static_cast<size_t>(m.detection[k])]);
    }
    if (auto freed = fitWithFreeCentre(out.front(), object, image)) out.push_back(std::move(*freed));
  }
  return out;
}

std::vector<CameraEstimate> bullGridHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                               cv::Point2d bull, int maxCount) {
  if (crossings.empty()) return {};
  std::vector<double> d;
  for (const cv::Point2d& p : crossings) d.push_back(std::hypot(p.x - bull.x, p.y - bull.y));
  std::sort(d.begin(), d.end());
  const double r = std::max(d[static_cast<size_t>((d.size() - 1) * 0.9)], 10.0);
  std::vector<PoseCandidate> candidates;
  candidates.reserve(7920);
  for (double focalFactor : {0.5, 0.62, 0.75, 0.9}) {
    const double f = focalFactor * width;
    const double L0 = f * 170.0 / r;
    for (int tilt = 20; tilt <= 70; tilt += 5) {
      for (double distanceFactor : {0.8, 1.0, 1.25}) {
        const double L = L0 * distanceFactor;
        for (int az = 0; az < 360; az += 6) {
          const cv::Vec3d p(L * std::cos(rad(tilt)) * std::cos(rad(az)), L * std::cos(rad(tilt)) * std::sin(rad(az)),
                            L * std::sin(rad(tilt)));
          const PinholePose pose = lookAtPose(width, height, f, p, bull);
          candidates.push_back({countPinholeMatches(pose, crossings, 0.35), pose});
        }
      }
    }
  }
  std::vector<CameraEstimate> out;
  for (const PoseCandidate& c : bestCandidates(std::move(candidates), maxCount)) {
    out.push_back(cameraFromPinholePose(width, height, c.pose));
  }
  return out;
}

PinholePose lookAtPose(int width, int height, double focal, const cv::Vec3d& position, cv::Point2d bull) {
  const cv::Vec3d zc = -position / cv::norm(position);
  cv::Vec3d xc(zc[1], -zc[0], 0.0);
  if (cv::norm(xc) < 1e-6) xc = cv::Vec3d(1.0, 0.0, 0.0);
  xc = unit(xc);
  const cv::Vec3d yc = zc.cross(xc);
  const cv::Matx33d R0(xc[0], xc[1], xc[2], yc[0], yc[1], yc[2], zc[0], zc[1], zc[2]);
  PinholePose pose;
  pose.f = focal;
  pose.cx = (width - 1) * 0.5;
  pose.cy = (height - 1) * 0.5;
  const cv::Vec3d b = unit(cv::Vec3d((bull.x - pose.cx) / focal, (bull.y - pose.cy) / focal, 1.0));
  const cv::Vec3d a(-b[1], b[0], 0.0);
  const double s = cv::norm(a);
  pose.R = R0;
  if (s > 1e-9) {
    cv::Matx33d R1;
    cv::Rodrigues(cv::Vec3d(a / s * std::asin(std::min(s, 1.0))), R1);
    pose.R = R1 * R0;
  }
  pose.t = -(pose.R * position);
  return pose;
}

CameraEstimate cameraFromPinholePose(int width, int height, const PinholePose& pose) {
  CameraEstimate e = makeCameraEstimate(width, height, pose.f);
  cv::Rodrigues(cv::Mat(pose.R), e.rvec);
  e.tvec = cv::Mat(pose.t).clone();
  return e;
}

std::vector<CameraEstimate> ellipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                              int maxCount) {
  return ellipseHypotheses(width, height, crossings, maxCount, {0.4, 0.55, 0.75, 1.0});
}

std::vector<CameraEstimate> ellipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                              int maxCount, const std::vector<double>& focalFactors) {
  if (crossings.size() < 20) return {};
  std::vector<cv::Point2f> points(crossings.begin(), crossings.end()), hull;
  cv::convexHull(points, hull, false, true);
  if (hull.size() < 6) return {};
  const cv::RotatedRect ellipse = cv::fitEllipse(hull);
  const double a = ellipse.size.width / 2.0, b = ellipse.size.height / 2.0;
  if (!(std::min(a, b) >= 10.0)) return {};
  const double phi = rad(ellipse.angle), c = std::cos(phi), s = std::sin(phi);
  const cv::Matx22d Rphi(c, -s, s, c);
  const cv::Matx22d M = Rphi * cv::Matx22d(1.0 / (a * a), 0.0, 0.0, 1.0 / (b * b)) * Rphi.t();
  const double x0 = ellipse.center.x, y0 = ellipse.center.y;
  const cv::Vec2d m = M * cv::Vec2d(x0, y0);
  const cv::Matx33d conic(M(0, 0), M(0, 1), -m[0], M(1, 0), M(1, 1), -m[1], -m[0], -m[1], x0 * m[0] + y0 * m[1] - 1.0);
  const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
  std::vector<PoseCandidate> candidates;
  for (double focalFactor : focalFactors) {
    const double f = focalFactor * width;
    const cv::Matx33d K(f, 0.0, cx, 0.0, f, cy, 0.0, 0.0, 1.0);
    for (const CircleSolution& sol : circlePosesFromConic(K, conic, 170.0)) {
      const cv::Vec3d& n = sol.normal;
      const cv::Vec3d e = std::abs(n[0]) < 0.9 ? cv::Vec3d(1, 0, 0) : cv::Vec3d(0, 1, 0);
      const cv::Vec3d u = unit(n.cross(e)), w = n.cross(u);
      for (int psi = 0; psi < 360; psi += 6) {
        const cv::Vec3d X = u * std::cos(rad(psi)) + w * std::sin(rad(psi));
        cv::Vec3d Y = n.cross(X);
        const cv::Matx33d test(X[0], Y[0], n[0], X[1], Y[1], n[1], X[2], Y[2], n[2]);
        if (cv::determinant(test) < 0) Y = -Y;
        PinholePose pose{cv::Matx33d(X[0], Y[0], n[0], X[1], Y[1], n[1], X[2], Y[2], n[2]), sol.centre, f, cx, cy};
        candidates.push_back({countPinholeMatches(pose, crossings, 0.35), pose});
      }
    }
  }
  std::vector<CameraEstimate> out;
  for (const PoseCandidate& c : bestCandidates(std::move(candidates), maxCount)) {
    CameraEstimate e = cameraFromPinholePose(width, height, c.pose);
    if (cameraCentre(e)[2] > 0.0) out.push_back(std::move(e));
  }
  return out;
}

std::vector<CircleSolution> circlePosesFromConic(const cv::Matx33d& K, const cv::Matx33d& conic, double radius) {
  const cv::Matx33d Q = K.t() * conic * K;
  cv::Mat values, vectors;  // descending eigenvalues, eigenvectors as rows
  if (!cv::eigen(cv::Mat(Q), values, vectors)) return {};
  double l[3];
  cv::Vec3d e[3];
  for (int i = 0; i < 3; ++i) {
    l[i] = values.at<double>(i);
    e[i] = cv::Vec3d(vectors.at<double>(i, 0), vectors.at<double>(i, 1), vectors.at<double>(i, 2));
  }
  const int positive = (l[0] > 0) + (l[1] > 0) + (l[2] > 0);
  double l1 = l[0], l2 = l[1], l3 = l[2];
  cv::Vec3d e1 = e[0], e3 = e[2];
  if (positive == 1) {
    l1 = -l[2];
    l2 = -l[1];
    l3 = -l[0];
    e1 = e[2];
    e3 = e[0];
  }
  if (!(l1 >= l2 && l2 > 0.0 && 0.0 > l3)) return {};
  const double g = std::sqrt((l1 - l2) / (l1 - l3)), h = std::sqrt((l2 - l3) / (l1 - l3));
  const double k = -l2 * radius / std::sqrt(-l1 * l3);
  std::vector<CircleSolution> out;
  for (double s1 : {1.0, -1.0}) {
    for (double s2 : {1.0, -1.0}) {
      const cv::Vec3d N = s1 * g * e1 + s2 * h * e3;
      const cv::Vec3d c = k * (s1 * g * (l3 / l2) * e1 + s2 * h * (l1 / l2) * e3);
      if (c[2] > 0.0 && c.dot(N) < 0.0) out.push_back({c, N / cv::norm(N)});
    }
  }
  return out;
}

}  // namespace tarv
