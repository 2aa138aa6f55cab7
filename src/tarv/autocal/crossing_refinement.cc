#include "tarv/autocal/crossing_refinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The wire rings of the reference crossings and their neighbours across the ring (the bull's
// inner wire at 6.35 mm, nothing wire-like for a while beyond 170 mm but the number ring).
constexpr std::array<double, 5> kRings{15.9, 99.0, 107.0, 162.0, 170.0};
constexpr std::array<double, 5> kInnerGap{15.9 - 6.35, 99.0 - 15.9, 8.0, 162.0 - 107.0, 8.0};
constexpr std::array<double, 5> kOuterGap{99.0 - 15.9, 8.0, 162.0 - 107.0, 8.0, 30.0};
constexpr double kWireMm = 1.0;
// Half the window searched across a wire (board mm), and the share of the way to the next
// wire it may reach: a treble bed seen at a grazing angle is a few pixels wide, and its other
// wire must stay outside.
constexpr double kSearchMm = 3.0;
constexpr double kSearchShare = 0.4;
// The rows across a wire start this far from the other wire of the crossing (its band and
// blur must stay out of them) and reach at most this share of the way to the next one.
constexpr double kRowStartMm = 1.3;
constexpr double kRowShare = 0.45;
constexpr double kRowMaxMm = 4.0;
constexpr int kRowsPerSide = 3;
// The image's blur across a wire (px) that the band and step are fitted with.
constexpr double kBlurPx = 0.8;
// A wire is taken when the band and step explain this share of the profile's variance
// across it and the profile varies by at least this much (grey levels, each channel).
constexpr double kMinExplained = 0.75;
constexpr double kMinContrast = 6.0;
// A wire found at the window's edge may lie beyond it.
constexpr double kEdgeMarginMm = 0.4;
// Rounds of moving and solving; the tolerance (of the crossings' spacing) within which a
// detection is moved, and within which of it the wire crossing must lie; the fewest moved
// crossings a camera is solved from again.
constexpr int kWireRounds = 3;
constexpr double kWireMatchTolerance = 0.35;
constexpr int kMinMovedCrossings = 12;
// Passes of a snap before any camera holds, how little its last pass may still move it (px),
// and how far from the detection (of the crossings' spacing) it may land.
constexpr int kSnapPasses = 4;
constexpr double kSnapSettledPx = 0.5;
constexpr double kSnapShare = 0.45;
// The share of the crossings' spacing within which a detection is taken as the camera's for a
// snap, and the matches a round that moves more detections onto the wires may give up (1 or 2
// seen on cameras that end 0.2 to 0.4 px off the ring).
constexpr double kSnapTolerance = 0.5;
constexpr int kSnapMatchesGivenUp = 3;

struct Profile {
  std::vector<double> s;                   // mm across the wire
  std::vector<std::array<double, 3>> bgr;  // mean of the rows
};

bool sampleBgr(const cv::Mat& image, cv::Point2d p, std::array<double, 3>& out) {
  if (!(p.x >= 0.0 && p.y >= 0.0 && p.x <= image.cols - 2.0 && p.y <= image.rows - 2.0)) return false;
  const int x = static_cast<int>(p.x), y = static_cast<int>(p.y);
  const double fx = p.x - x, fy = p.y - y;
  const cv::Vec3b* r0 = image.ptr<cv::Vec3b>(y);
  const cv::Vec3b* r1 = image.ptr<cv::Vec3b>(y + 1);
  for (int c = 0; c < 3; ++c) {
    out[static_cast<size_t>(c)] = (1 - fy) * ((1 - fx) * r0[x][c] + fx * r0[x + 1][c]) + fy * ((1 - fx) * r1[x][c] + fx * r1[x + 1][c]);
  }
  return true;
}

// The mean profile of rows of board points (rows × samples), rows that leave the image left
// out; none with fewer than two rows.
std::optional<Profile> meanProfile(const cv::Mat& image, const CameraEstimate& camera, const std::vector<double>& s,
                                   const std::vector<cv::Point3d>& board, size_t rows) {
  const std::vector<cv::Point2d> px = projectBoardPoints(camera, board);
  Profile p;
  p.s = s;
  p.bgr.assign(s.size(), {0.0, 0.0, 0.0});
  size_t used = 0;
  std::vector<std::array<double, 3>> row(s.size());
  for (size_t r = 0; r < rows; ++r) {
    bool inside = true;
    for (size_t i = 0; i < s.size() && inside; ++i) inside = sampleBgr(image, px[r * s.size() + i], row[i]);
    if (!inside) continue;
    for (size_t i = 0; i < s.size(); ++i) {
      for (size_t c = 0; c < 3; ++c) p.bgr[i][c] += row[i][c];
    }
    ++used;
  }
  if (used < 2) return std::nullopt;
  for (auto& v : p.bgr) {
    for (double& x : v) x /= static_cast<double>(used);
  }
  return p;
}

// The wire's centre (mm) in a profile: a band a wire wide over a colour step, both blurred by
// sigmaMm, with their heights free per channel; none unless it explains the profile clearly.
std::optional<double> fitWire(const Profile& p, double sigmaMm, double halfWindow) {
  const size_t n = p.s.size();
  std::array<double, 3> mean{0.0, 0.0, 0.0};
  for (const auto& v : p.bgr) {
    for (size_t c = 0; c < 3; ++c) mean[c] += v[c] / static_cast<double>(n);
  }
  double total = 0.0;
  for (const auto& v : p.bgr) {
    for (size_t c = 0; c < 3; ++c) total += (v[c] - mean[c]) * (v[c] - mean[c]);
  }
  if (!(total / (3.0 * static_cast<double>(n)) >= kMinContrast * kMinContrast)) return std::nullopt;
  const double step = p.s.size() > 1 ? p.s[1] - p.s[0] : 1.0;
  double sumSquares = 0.0;
  for (const auto& v : p.bgr) {
    for (size_t c = 0; c < 3; ++c) sumSquares += v[c] * v[c];
  }
  const double k = 1.0 / (std::sqrt(2.0) * sigmaMm);
  std::vector<double> tried;
  for (double c = -halfWindow + kEdgeMarginMm * 0.5; c <= halfWindow - kEdgeMarginMm * 0.5 + 1e-9; c += step) {
    tried.push_back(c);
  }
  if (tried.empty()) return std::nullopt;
  // Centres and samples lie on one grid: the step's and the band's blurred shapes depend on a
  // sample's distance from the centre only, a whole number of steps (i - m) apart, and are
  // tabulated once per distance.
  const long lowest = 1 - static_cast<long>(tried.size());
  std::vector<cv::Vec2d> shapes(n + tried.size() - 1);
  for (long d = lowest; d < static_cast<long>(n); ++d) {
    const size_t m = static_cast<size_t>(std::max(0L, -d)), i = m + static_cast<size_t>(d);
    const double u = p.s[i] - tried[m];
    shapes[static_cast<size_t>(d - lowest)] =
        cv::Vec2d(std::erf(u * k), 0.5 * (std::erf((u + 0.5 * kWireMm) * k) - std::erf((u - 0.5 * kWireMm) * k)));
  }
  std::vector<double> centres, residuals;
  for (size_t m = 0; m < tried.size(); ++m) {
    const double c = tried[m];
    // AᵀA summed on its six distinct entries (the first column is all ones), Aᵀy per channel.
    double n0 = 0.0, s1 = 0.0, s2 = 0.0, s11 = 0.0, s12 = 0.0, s22 = 0.0;
    std::array<cv::Vec3d, 3> Aty{};
    for (size_t i = 0; i < n; ++i) {
      const cv::Vec2d& shape = shapes[i + tried.size() - 1 - m];
      const double a1 = shape[0], a2 = shape[1];
      n0 += 1.0, s1 += a1, s2 += a2, s11 += a1 * a1, s12 += a1 * a2, s22 += a2 * a2;
      for (size_t ch = 0; ch < 3; ++ch) {
        const double y = p.bgr[i][ch];
        Aty[ch][0] += y, Aty[ch][1] += a1 * y, Aty[ch][2] += a2 * y;
      }
    }
    const cv::Matx33d AtA(n0, s1, s2, s1, s11, s12, s2, s12, s22);
    bool solvable = true;
    const cv::Matx33d inv = AtA.inv(cv::DECOMP_CHOLESKY, &solvable);
    if (!solvable) continue;
    double explained = 0.0;
    for (size_t ch = 0; ch < 3; ++ch) explained += Aty[ch].dot(inv * Aty[ch]);
    centres.push_back(c);
    residuals.push_back(sumSquares - explained);  // Σy² − yᵀA(AᵀA)⁻¹Aᵀy
  }
  if (centres.size() < 3) return std::nullopt;
  const size_t best = static_cast<size_t>(std::min_element(residuals.begin(), residuals.end()) - residuals.begin());
  if (!(1.0 - residuals[best] / total >= kMinExplained)) return std::nullopt;
  if (best == 0 || best + 1 == centres.size()) return std::nullopt;  // at the window's edge: perhaps beyond it
  const double r0 = residuals[best - 1], r1 = residuals[best], r2 = residuals[best + 1];
  const double curvature = r0 - 2.0 * r1 + r2;
  const double shift = curvature > 0.0 ? std::clamp(0.5 * (r0 - r2) / curvature, -0.5, 0.5) : 0.0;
  const double centre = centres[best] + shift * step;
  if (std::abs(centre) > halfWindow - kEdgeMarginMm) return std::nullopt;
  return centre;
}

cv::Point3d onRing(double r, double angle) { return {r * std::cos(angle), r * std::sin(angle), 0.0}; }

// Samples across [-half, half] mm about 4 to a pixel.
std::vector<double> acrossSamples(double half, double perMm) {
  const double step = std::clamp(0.25 / std::max(perMm, 1e-6), 0.03, 0.5);
  const int n = static_cast<int>(std::floor(half / step));
  std::vector<double> s;
  for (int i = -n; i <= n; ++i) s.push_back(i * step);
  return s;
}

std::vector<double> rowOffsets(double gap) {
  const double far = std::min(kRowMaxMm, kRowShare * gap);
  std::vector<double> d;
  if (far < kRowStartMm) return d;
  for (int i = 0; i < kRowsPerSide; ++i) d.push_back(kRowStartMm + (far - kRowStartMm) * i / (kRowsPerSide - 1.0));
  return d;
}

// The crossing of ring `ring`'s wire with a radial wire searched about the board point at
// radius R and angle theta (radians) of the camera's board plane.
std::optional<cv::Point2d> locateAbout(const cv::Mat& image, const CameraEstimate& camera, size_t ring, double R,
                                       double theta) {
  const cv::Point3d radial(std::cos(theta), std::sin(theta), 0.0), along(-std::sin(theta), std::cos(theta), 0.0);
  const cv::Point3d at = onRing(R, theta);
  const double radialPx = boardPxPerMm(camera, at, radial), alongPx = boardPxPerMm(camera, at, along);
  const double arcGap = R * kPi / 10.0;  // to the next radial wire along the ring

  // The ring wire: rows across the ring on both sides of the radial wire.
  const double ringHalf = std::min(kSearchMm, kSearchShare * std::min(kInnerGap[ring], kOuterGap[ring]));
  const std::vector<double> ringS = acrossSamples(ringHalf, radialPx);
  std::vector<cv::Point3d> board;
  size_t rows = 0;
  for (const double d : rowOffsets(arcGap)) {
    for (const double sign : {-1.0, 1.0}) {
      const double a = theta + sign * d / R;
      for (const double s : ringS) board.push_back(onRing(R + s, a));
      ++rows;
    }
  }
  if (rows == 0) return std::nullopt;
  const std::optional<Profile> ringProfile = meanProfile(image, camera, ringS, board, rows);
  if (!ringProfile) return std::nullopt;
  const std::optional<double> ringAt = fitWire(*ringProfile, kBlurPx / std::max(radialPx, 1e-6), ringHalf);
  if (!ringAt) return std::nullopt;

  // The radial wire: rows along the ring inside and outside it, where the wire runs (not
  // inside the bull's ring, not beyond the double ring).
  const double wireHalf = std::min(kSearchMm, kSearchShare * arcGap);
  const std::vector<double> wireS = acrossSamples(wireHalf, alongPx);
  board.clear();
  rows = 0;
  for (const double sign : {-1.0, 1.0}) {
    if (sign < 0.0 && ring == 0) continue;
    if (sign > 0.0 && ring + 1 == kRings.size()) continue;
    for (const double d : rowOffsets(sign < 0.0 ? kInnerGap[ring] : kOuterGap[ring])) {
      const double r = R + sign * d;
      for (const double s : wireS) board.push_back(onRing(r, theta + s / r));
      ++rows;
    }
  }
  if (rows == 0) return std::nullopt;
  const std::optional<Profile> wireProfile = meanProfile(image, camera, wireS, board, rows);
  if (!wireProfile) return std::nullopt;
  const std::optional<double> wireAt = fitWire(*wireProfile, kBlurPx / std::max(alongPx, 1e-6), wireHalf);
  if (!wireAt) return std::nullopt;

  const cv::Point2d found = projectBoardPoints(camera, {onRing(R + *ringAt, theta + *wireAt / R)})[0];
  if (!std::isfinite(found.x) || !std::isfinite(found.y)) return std::nullopt;
  return found;
}

// The distance from a projected crossing to its nearest neighbour.
double spacingAt(const std::vector<cv::Point2d>& projected, int ref) {
  double spacing = 1e18;
  for (size_t j = 0; j < projected.size(); ++j) {
    if (static_cast<int>(j) != ref) spacing = std::min(spacing, cv::norm(projected[j] - projected[static_cast<size_t>(ref)]));
  }
  return spacing;
}

}  // namespace

std::optional<cv::Point2d> locateWireCrossing(const cv::Mat& image, const CameraEstimate& camera, int reference) {
  if (image.empty() || image.type() != CV_8UC3 || reference < 0 || reference >= kCrossingRings * kCrossingWires) {
    return std::nullopt;
  }
  const size_t ring = static_cast<size_t>(reference / kCrossingWires);
  const int wire = reference % kCrossingWires;
  return locateAbout(image, camera, ring, kRings[ring], (90.0 - 18.0 * wire - 9.0) * kPi / 180.0);
}

RefinedCrossings snapCrossingsOnWires(const cv::Mat& image, const CameraEstimate& camera,
                                      const std::vector<cv::Point2d>& crossings, double tolerance) {
  RefinedCrossings out;
  out.crossings = crossings;
  if (image.empty() || image.type() != CV_8UC3) return out;
  const std::vector<cv::Point2d> projected = projectBoardPoints(camera, referenceCrossings());
  const CrossingMatches m = matchCrossings(projected, crossings, tolerance);
  out.matched = static_cast<int>(m.reference.size());
  CameraEstimate shifted = cloneCameraEstimate(camera);
  for (size_t k = 0; k < m.reference.size(); ++k) {
    const int ref = m.reference[k];
    const size_t ring = static_cast<size_t>(ref / kCrossingWires);
    const double theta = (90.0 - 18.0 * (ref % kCrossingWires) - 9.0) * kPi / 180.0;
    const double spacing = spacingAt(projected, ref);
    const cv::Point2d detection = crossings[static_cast<size_t>(m.detection[k])];
    // The camera only lends the wires' directions and spacing about the crossing; moving its
    // principal point moves the whole image, so a search is centred on any point, and then
    // once more on what it found, so that the rows along each wire stay clear of the other
    // wire.
    auto snapFrom = [&](cv::Point2d centre) -> std::optional<cv::Point2d> {
      for (int pass = 0; pass < kSnapPasses; ++pass) {
        camera.K.copyTo(shifted.K);
        shifted.K.at<double>(0, 2) += centre.x - projected[static_cast<size_t>(ref)].x;
        shifted.K.at<double>(1, 2) += centre.y - projected[static_cast<size_t>(ref)].y;
        const std::optional<cv::Point2d> found = locateAbout(image, shifted, ring, kRings[ring], theta);
        if (!found) return std::nullopt;
        const bool settled = cv::norm(*found - centre) <= kSnapSettledPx;
        centre = *found;
        if (settled) return found;
      }
      return std::nullopt;
    };
    // First about the detection; a detection 2 to 3 mm off across the ring leaves its wire at
    // the edge of that search, and a camera a pixel or two off has it well inside the search
    // about where it puts the junction.
    std::optional<cv::Point2d> found = snapFrom(detection);
    if (!found) found = snapFrom(projected[static_cast<size_t>(ref)]);
    if (!found || !(cv::norm(*found - detection) < kSnapShare * spacing)) continue;
    out.crossings[static_cast<size_t>(m.detection[k])] = *found;
    ++out.refined;
  }
  return out;
}

RefinedCrossings refineCrossingsOnWires(const cv::Mat& image, const CameraEstimate& camera,
                                        const std::vector<cv::Point2d>& crossings, double tolerance) {
  RefinedCrossings out;
  out.crossings = crossings;
  const std::vector<cv::Point2d> projected = projectBoardPoints(camera, referenceCrossings());
  const CrossingMatches m = matchCrossings(projected, crossings, tolerance);
  out.matched = static_cast<int>(m.reference.size());
  for (size_t k = 0; k < m.reference.size(); ++k) {
    const int ref = m.reference[k];
    const double spacing = spacingAt(projected, ref);
    const cv::Point2d& detection = crossings[static_cast<size_t>(m.detection[k])];
    const std::optional<cv::Point2d> found = locateWireCrossing(image, camera, ref);
    if (!found) continue;
    if (!(cv::norm(*found - detection) < tolerance * spacing)) continue;
    out.crossings[static_cast<size_t>(m.detection[k])] = *found;
    ++out.refined;
  }
  return out;
}

namespace {

// Rounds of moving the crossings about the latest camera (`move`) and solving the camera again
// from them, each kept while `keep` takes its score and count of moved crossings; a refused
// round, too few moved crossings, a degenerate set of pairs or a camera behind the board ends
// them, and the latest camera stands.
template <typename Move, typename Keep>
WireSolve solveInRounds(const CameraEstimate& start, const MatchScore& startScore,
                        const std::vector<cv::Point2d>& crossings, int movedBefore, int rounds, cv::Point2d bull,
                        const char* label, Move move, Keep keep) {
  WireSolve out;
  out.camera = cloneCameraEstimate(start);
  out.score = startScore;
  out.crossings = crossings;
  out.refined = movedBefore;
  for (int round = 0; round < rounds; ++round) {
    RefinedCrossings r;
    CameraEstimate e;
    try {
      r = move(out.camera);
      if (r.refined < kMinMovedCrossings) break;
      e = solveCamera(out.camera, r.crossings, bull, 6);
    } catch (const cv::Exception&) {
      break;
    }
    if (!(cameraCentre(e)[2] > 0.0)) break;
    const MatchScore s = scoreCameraEstimate(e, r.crossings, 0.25);
    if (std::getenv("TARV_DEBUG")) {
      std::fprintf(stderr, "[dbg] %s round %d: %d of %d moved, %d matched, rms %.2f (before %d, %.2f)\n", label,
                   round, r.refined, r.matched, s.matches, s.rmsPx, out.score.matches, out.score.rmsPx);
    }
    if (!keep(s, r.refined, out)) break;
    out.moved = true;
    out.camera = std::move(e);
    out.score = s;
    out.crossings = std::move(r.crossings);
    out.refined = r.refined;
  }
  return out;
}

}  // namespace

WireSolve solveOnWireCrossings(const cv::Mat& image, const CameraEstimate& start, const MatchScore& startScore,
                               const std::vector<cv::Point2d>& crossings, cv::Point2d bull) {
  return solveInRounds(
      start, startScore, crossings, 0, kWireRounds, bull, "wires",
      [&](const CameraEstimate& latest) { return refineCrossingsOnWires(image, latest, crossings, kWireMatchTolerance); },
      [](const MatchScore& s, int, const WireSolve& latest) {
        return !(s.matches < latest.score.matches || !(s.rmsPx < latest.score.rmsPx));
      });
}

WireSolve snapOnWireCrossings(const cv::Mat& image, const CameraEstimate& start, const MatchScore& startScore,
                              const std::vector<cv::Point2d>& detections, cv::Point2d bull, int rounds,
                              bool whileMoreMoved, int movedBefore) {
  return solveInRounds(
      start, startScore, detections, movedBefore, rounds, bull, whileMoreMoved ? "snap (while more moved)" : "snap",
      [&](const CameraEstimate& latest) { return snapCrossingsOnWires(image, latest, detections, kSnapTolerance); },
      [&](const MatchScore& s, int moved, const WireSolve& latest) {
        const bool better = s.matches > latest.score.matches ||
                            (s.matches == latest.score.matches && s.rmsPx < latest.score.rmsPx);
        return better || (whileMoreMoved && moved > latest.refined &&
                          s.matches + kSnapMatchesGivenUp >= latest.score.matches);
      });
}

ExplainedCrossings explainCrossingsOnWires(const cv::Mat& image, const CameraEstimate& camera,
                                           const std::vector<cv::Point2d>& crossings, double tolerance, double agreePx) {
  ExplainedCrossings out;
  const std::vector<cv::Point2d> projected = projectBoardPoints(camera, referenceCrossings());
  const CrossingMatches close = matchCrossings(projected, crossings, 0.25);
  out.matched = static_cast<int>(close.reference.size());
  std::vector<bool> taken(crossings.size(), false), placed(projected.size(), false);
  for (size_t k = 0; k < close.reference.size(); ++k) {
    taken[static_cast<size_t>(close.detection[k])] = true;
    placed[static_cast<size_t>(close.reference[k])] = true;
  }
  const CrossingMatches wide = matchCrossings(projected, crossings, tolerance);
  for (size_t k = 0; k < wide.reference.size(); ++k) {
    const size_t ref = static_cast<size_t>(wide.reference[k]), det = static_cast<size_t>(wide.detection[k]);
    if (taken[det] || placed[ref]) continue;
    const std::optional<cv::Point2d> found = locateWireCrossing(image, camera, static_cast<int>(ref));
    if (!found || !(cv::norm(*found - projected[ref]) <= agreePx)) continue;
    taken[det] = true;
    placed[ref] = true;
    ++out.confirmed;
  }
  return out;
}

}  // namespace tarv
