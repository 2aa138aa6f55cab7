#include "tarv/autocal/pose_hypotheses.h"

#include "tarv/autocal/camera_solve.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <tuple>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The ring search: draws of five crossings, the crossings a ring must hold (a ring has 20,
// a board cut by the image's edge fewer), the flattest ellipse (10 degrees above the board)
// and how far off the ellipse a crossing on it may lie, as a share of its radius.
constexpr int kRingDraws = 3000;
constexpr size_t kMinRingCrossings = 12;
constexpr double kMaxRingAxisRatio = 6.0;
constexpr double kRingTolerance = 0.02;
constexpr int kMinRingBins = 10;
// A seed matching fewer than this share of the crossings may have taken one pair of wire rings
// for the other.
constexpr double kOtherRingsBelow = 0.65;
// The wire rings that come in pairs 8 mm apart: the double ring's and the treble ring's.
constexpr double kDoubleOuterMm = 170.0;
constexpr double kDoubleInnerMm = 162.0;
constexpr double kTrebleOuterMm = 107.0;
constexpr double kTrebleInnerMm = 99.0;
// Where the network places a number box: the centre of the printed number on the number
// ring, as the boards it learnt from print it.
constexpr double kNumberRingMm = 192.0;
// How far off the numbers' plane a box may lie and still agree with it, in image widths: the
// network places a box within a few pixels, and close to the board's plane a looser bound
// lets a labelling a sector off agree as well as the right one.
constexpr double kNumberConsensusWidths = 0.0075;
// Focal lengths a plane of numbers or of crossings may imply, in image widths.
constexpr double kMinHomographyFocalWidths = 0.35;
constexpr double kMaxHomographyFocalWidths = 5.5;
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
  // Every number box the network reports, not only its surest one per number: on a view close
  // to the board's plane the squashed glyphs are often read a sector or two off, a box of the
  // right number may score below a wrong one, and the consensus below picks the boxes that
  // agree on one plane.
  std::vector<cv::Point2d> board{{0.0, 0.0}}, image{bull};
  std::vector<bool> seen(20, false);
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] < 2 || kept.classes[j] >= 22 || !(kept.scores[j] > 0.25f)) continue;
    const int n = kept.classes[j] - 2;
    seen[static_cast<size_t>(n)] = true;
    const double theta = rad(90.0 - 18.0 * n);
    board.emplace_back(kNumberRingMm * std::cos(theta), kNumberRingMm * std::sin(theta));
    image.push_back(kept.centres[j]);
  }
  if (bull.x < 0 || std::count(seen.begin(), seen.end(), true) < 3) return {};
  const cv::Mat H =
      cv::findHomography(board, image, cv::RANSAC, kNumberConsensusWidths * width, cv::noArray(), 2000, 0.995);
  if (H.empty() || !cv::checkRange(H)) return {};
  // The focal length the plane implies: close to the board's plane the numbers' ring alone
  // shows how far the lens reaches (0.3 to 1.5 image widths seen); fixed guesses left the
  // start tens of pixels off. A view straight onto the board implies none.
  const cv::Matx33d h(H);
  std::vector<double> focals;
  if (const std::optional<double> f = focalFromHomography(h, width, height)) {
    const double f0 = std::clamp(*f, kMinHomographyFocalWidths * width, kMaxHomographyFocalWidths * width);
    focals = {f0, 0.8 * f0, 1.25 * f0};
  } else {
    focals = {0.55 * width, 0.7 * width, 0.85 * width};
  }
  std::vector<CameraEstimate> out;
  for (const double f : focals) {
    if (auto e = cameraFromHomography(h, width, height, f)) out.push_back(std::move(*e));
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
  size_t seedMatches = 0;
  for (const double tol : {0.35, 0.3, 0.25, 0.25, 0.25}) {
    const CrossingMatches m = matchCrossings(projected, crossings, tol);
    if (H.empty()) seedMatches = m.reference.size();
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
  // A seed that took the treble wires for the double ones (or the other way round) grows its
  // plane on the wrong rings; the seed moved to where the other pair falls is a start as well.
  // Such a seed matches one pair of rings, at most half the crossings.
  std::vector<CameraEstimate> out;
  const auto withOtherRings = [&out, &seed, &crossings, seedMatches] {
    if (seedMatches < kOtherRingsBelow * crossings.size()) {
      for (CameraEstimate& e : otherRingStarts(seed)) out.push_back(std::move(e));
    }
    return std::move(out);
  };
  if (H.empty()) return withOtherRings();
  const cv::Matx33d h(H);
  const double f = std::clamp(focalFromHomography(h, width, height).value_or(seed.K.at<double>(0, 0)),
                              kMinHomographyFocalWidths * width, kMaxHomographyFocalWidths * width);
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
  return withOtherRings();
}

std::vector<CameraEstimate> bullGridHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                               cv::Point2d bull, int maxCount) {
  if (crossings.empty()) return {};
  std::vector<double> d;
  for (const cv::Point2d& p : crossings) d.push_back(std::hypot(p.x - bull.x, p.y - bull.y));
  std::sort(d.begin(), d.end());
  // The double ring's distance from the bull, without the strays of a busy photograph far
  // beyond the board (a score board, a second board): half the crossings lie on the treble
  // ring, so those beyond 2.5 times the median lie off the board.
  const double median = d[(d.size() - 1) / 2];
  d.erase(std::upper_bound(d.begin(), d.end(), 2.5 * median), d.end());
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
  return ellipseHypotheses(width, height, crossings, maxCount, wideLensFocalFactors());
}

namespace {

// The conic matrix (x^T C x = 0) of an ellipse.
cv::Matx33d conicOf(const cv::RotatedRect& ellipse) {
  const double a = ellipse.size.width / 2.0, b = ellipse.size.height / 2.0;
  const double phi = rad(ellipse.angle), c = std::cos(phi), s = std::sin(phi);
  const cv::Matx22d Rphi(c, -s, s, c);
  const cv::Matx22d M = Rphi * cv::Matx22d(1.0 / (a * a), 0.0, 0.0, 1.0 / (b * b)) * Rphi.t();
  const double x0 = ellipse.center.x, y0 = ellipse.center.y;
  const cv::Vec2d m = M * cv::Vec2d(x0, y0);
  return cv::Matx33d(M(0, 0), M(0, 1), -m[0], M(1, 0), M(1, 1), -m[1], -m[0], -m[1], x0 * m[0] + y0 * m[1] - 1.0);
}

// Cameras that see the ellipse as a board circle of one of the radii, at each focal length,
// turned about the board's normal in 6 degree steps; the best maxCount by their matches.
std::vector<CameraEstimate> camerasOnEllipse(int width, int height, const std::vector<cv::Point2d>& crossings,
                                             const cv::RotatedRect& ellipse, const std::vector<double>& radii,
                                             int maxCount, const std::vector<double>& focalFactors) {
  const cv::Matx33d conic = conicOf(ellipse);
  const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
  std::vector<PoseCandidate> candidates;
  for (double focalFactor : focalFactors) {
    const double f = focalFactor * width;
    const cv::Matx33d K(f, 0.0, cx, 0.0, f, cy, 0.0, 0.0, 1.0);
    for (const double radius : radii) {
      for (const CircleSolution& sol : circlePosesFromConic(K, conic, radius)) {
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
  }
  std::vector<CameraEstimate> out;
  for (const PoseCandidate& c : bestCandidates(std::move(candidates), maxCount)) {
    CameraEstimate e = cameraFromPinholePose(width, height, c.pose);
    if (cameraCentre(e)[2] > 0.0) out.push_back(std::move(e));
  }
  return out;
}

// Where a point lies about an ellipse: its radius in the ellipse's own frame (1 on it) and its
// angle there.
struct EllipseCoordinates {
  double rho;
  double angle;
  double px;  // the distance from the centre
};

EllipseCoordinates ellipseCoordinates(const cv::RotatedRect& ellipse, cv::Point2d p) {
  const double a = ellipse.size.width / 2.0, b = ellipse.size.height / 2.0;
  const double phi = rad(ellipse.angle), c = std::cos(phi), s = std::sin(phi);
  const cv::Point2d d = p - cv::Point2d(ellipse.center);
  const double x = c * d.x + s * d.y, y = -s * d.x + c * d.y;
  return {std::hypot(x / a, y / b), std::atan2(y / b, x / a), std::hypot(x, y)};
}

// On the ellipse: within a share of its radius (the double ring's two wires lie 4.7 % apart)
// and within toleranceNearPx, or 1.5 px on a small ellipse.
bool onEllipse(const EllipseCoordinates& q, double tolerancePx) {
  const double off = std::abs(q.rho - 1.0) * q.px / std::max(q.rho, 1e-9);
  return off < std::max(1.5, std::min(tolerancePx, kRingTolerance * q.px));
}

// How many of 36 angular bins the crossings on an ellipse fill: a ring's crossings go all the
// way round.
int filledBins(const cv::RotatedRect& ellipse, const std::vector<cv::Point2d>& points, double tolerancePx, int* count) {
  bool bins[36] = {};
  int on = 0;
  for (const cv::Point2d& p : points) {
    const EllipseCoordinates q = ellipseCoordinates(ellipse, p);
    if (!onEllipse(q, tolerancePx)) continue;
    ++on;
    bins[std::clamp(static_cast<int>((q.angle + kPi) / (2.0 * kPi) * 36.0), 0, 35)] = true;
  }
  if (count) *count = on;
  return static_cast<int>(std::count(std::begin(bins), std::end(bins), true));
}

// How well an ellipse holds one wire ring's crossings: the bins it fills and those its partner
// ring 8 mm beside it fills (the double and the treble rings come in pairs), the ellipse
// scaled about its centre as a view from afar shows it; then the crossings on it. A chance
// ellipse through crossings of several rings, or through a row of strays, has no partner.
std::tuple<int, int> scoreRing(const cv::RotatedRect& ellipse, const std::vector<cv::Point2d>& points, double tolerancePx) {
  int count = 0;
  const int bins = filledBins(ellipse, points, tolerancePx, &count);
  if (bins < kMinRingBins) return {bins, count};
  int partner = 0;
  for (const double ratio : {kDoubleInnerMm / kDoubleOuterMm, kDoubleOuterMm / kDoubleInnerMm,
                             kTrebleInnerMm / kTrebleOuterMm, kTrebleOuterMm / kTrebleInnerMm}) {
    const cv::RotatedRect scaled(ellipse.center, cv::Size2f(static_cast<float>(ratio * ellipse.size.width), static_cast<float>(ratio * ellipse.size.height)), ellipse.angle);
    partner = std::max(partner, filledBins(scaled, points, tolerancePx, nullptr));
  }
  return {bins + partner, count};
}

}  // namespace

std::vector<CameraEstimate> ellipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                              int maxCount, const std::vector<double>& focalFactors) {
  if (crossings.size() < 20) return {};
  // One stray far off the board (seen: a lamp's stand 340 px beyond the double ring) takes the
  // hull, and the ellipse, with it.
  const std::vector<cv::Point2d> withNeighbours = crossingsWithNeighbours(crossings);
  std::vector<cv::Point2f> points(withNeighbours.begin(), withNeighbours.end()), hull;
  cv::convexHull(points, hull, false, true);
  if (hull.size() < 6) return {};
  const cv::RotatedRect ellipse = cv::fitEllipse(hull);
  if (!(std::min(ellipse.size.width, ellipse.size.height) >= 20.0f)) return {};
  return camerasOnEllipse(width, height, crossings, ellipse, {kDoubleOuterMm}, maxCount, focalFactors);
}

std::vector<double> nearestDistances(const std::vector<cv::Point2d>& p, size_t which) {
  std::vector<double> out;
  for (size_t i = 0; i < p.size(); ++i) {
    std::vector<double> d;
    for (size_t j = 0; j < p.size(); ++j) {
      if (i != j) d.push_back(cv::norm(p[i] - p[j]));
    }
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(which), d.end());
    out.push_back(d[which]);
  }
  return out;
}

double nthSmallest(std::vector<double> values, size_t index) {
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index];
}

std::vector<cv::Point2d> crossingsWithNeighbours(const std::vector<cv::Point2d>& crossings) {
  if (crossings.size() < 3) return crossings;
  const std::vector<double> second = nearestDistances(crossings, 1);
  const double limit = 3.0 * nthSmallest(second, second.size() * 9 / 10);
  std::vector<cv::Point2d> out;
  for (size_t i = 0; i < crossings.size(); ++i) {
    if (second[i] <= limit) out.push_back(crossings[i]);
  }
  return out;
}

std::optional<cv::RotatedRect> findCrossingRing(const std::vector<cv::Point2d>& crossings, double tolerancePx) {
  const size_t n = crossings.size();
  if (n < kMinRingCrossings) return std::nullopt;
  std::mt19937 rng(0);
  std::vector<cv::Point2f> sample(5);
  std::optional<cv::RotatedRect> best;
  std::tuple<int, int> bestScore{0, 0};
  for (int draw = 0; draw < kRingDraws; ++draw) {
    for (cv::Point2f& p : sample) p = crossings[rng() % n];
    cv::RotatedRect e;
    try {
      e = cv::fitEllipse(sample);
    } catch (const cv::Exception&) {
      continue;  // five points on a line or repeated
    }
    const double a = e.size.width / 2.0, b = e.size.height / 2.0;
    if (!(std::min(a, b) >= 8.0) || !(std::max(a, b) <= kMaxRingAxisRatio * std::min(a, b))) continue;
    const std::tuple<int, int> score = scoreRing(e, crossings, tolerancePx);
    if (score > bestScore) {
      bestScore = score;
      best = e;
    }
  }
  if (!best || static_cast<size_t>(std::get<1>(bestScore)) < kMinRingCrossings || std::get<0>(bestScore) < kMinRingBins) {
    return std::nullopt;
  }
  // Fitted again on all the crossings it holds, twice: the five drawn ones place it only roughly.
  for (int round = 0; round < 2; ++round) {
    std::vector<cv::Point2f> on;
    for (const cv::Point2d& p : crossings) {
      if (onEllipse(ellipseCoordinates(*best, p), tolerancePx)) on.emplace_back(p);
    }
    if (on.size() < kMinRingCrossings) break;
    best = cv::fitEllipse(on);
  }
  return best;
}

std::vector<CameraEstimate> ringEllipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                                  int maxCount, const std::vector<double>& focalFactors) {
  const std::optional<cv::RotatedRect> ring = findCrossingRing(crossings, networkCrossingTolerancePx(width, height));
  if (!ring) return {};
  return camerasOnEllipse(width, height, crossings, *ring, {kDoubleOuterMm, kDoubleInnerMm, kTrebleOuterMm, kTrebleInnerMm},
                          maxCount, focalFactors);
}

std::vector<CameraEstimate> otherRingStarts(const CameraEstimate& camera) {
  // A camera that took one pair of wire rings for the other sees the board's plane through
  // the same rotation, at the distance that scales one pair onto the other.
  std::vector<CameraEstimate> out;
  for (const double scale : {kTrebleOuterMm / kDoubleOuterMm, kTrebleInnerMm / kDoubleInnerMm,
                             kDoubleOuterMm / kTrebleOuterMm, kDoubleInnerMm / kTrebleInnerMm}) {
    CameraEstimate e = cloneCameraEstimate(camera);
    e.tvec = camera.tvec * scale;
    out.push_back(std::move(e));
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
