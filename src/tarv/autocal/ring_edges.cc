#include "tarv/autocal/ring_edges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/wire_lines.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMinMatches = 40;
constexpr double kWireSearchPx = 3.0;
constexpr double kWirePartnerShare = 0.25;
constexpr std::array<double, 3> kRansacThresholds{4.0, 3.0, 2.0};
// The ring judgement: an edge within kAgreePx agrees with the fit; an octant of a ring counts
// when at least kMinOctantPoints of its 30 ring points lie in the image; it supports the fit
// when kSupportShare of them agree, and contradicts it when kFoundShare of them found an edge
// and most of those disagree.
constexpr double kAgreePx = 1.5;
constexpr int kMinOctantPoints = 10;
constexpr double kSupportShare = 0.3;
constexpr double kFoundShare = 0.4;

std::vector<double> searchOffsets() {
  std::vector<double> offsets;
  for (int i = -8; i <= 8; ++i) offsets.push_back(0.5 * i);
  return offsets;
}

// Octant 0..7 of a board point; a point at exactly 180 degrees (atan2 = pi) is octant 0.
size_t octantOf(cv::Point2f b) {
  const int octant = static_cast<int>(std::floor((std::atan2(b.y, b.x) + static_cast<float>(kPi)) / (kPi / 4.0)));
  return static_cast<size_t>(((octant % 8) + 8) % 8);
}

// The statistics of a homography over the matches that the mask marks as inliers.
json edgeStatistics(const Homography& h, const EdgeMatches& matches, const std::vector<uchar>& inlier,
                    int iteration) {
  std::vector<double> residuals;
  std::array<int, 8> octantCounts{};
  double sum = 0.0;
  for (size_t i = 0; i < matches.board.size(); ++i) {
    if (!inlier[i]) continue;
    const cv::Point2f b = matches.board[i];
    const Point2 q = applyHomography(h, {b.x, b.y});
    const double r = std::hypot(q.x - matches.image[i].x, q.y - matches.image[i].y);
    residuals.push_back(r);
    sum += r * r;
    ++octantCounts[octantOf(b)];
  }
  int octants = 0;
  for (int c : octantCounts) octants += c >= 3 ? 1 : 0;
  const size_t n = residuals.size();
  std::sort(residuals.begin(), residuals.end());
  const double rms = n == 0 ? 99.0 : std::sqrt(sum / static_cast<double>(n));
  const double p95 = n == 0 ? 0.0 : residuals[std::min(static_cast<size_t>(0.95 * n), n - 1)];
  return json{{"iteration", iteration},
              {"matches", matches.board.size()},
              {"inliers", n},
              {"inlier_fraction", static_cast<double>(n) / static_cast<double>(matches.board.size())},
              {"rms_px", rms},
              {"p95_px", p95},
              {"octants", octants}};
}

// How well the homography follows each ring, over all its matches and not only the inliers:
// RANSAC may explain most of the board while a stretch of a ring (a lens's bend) lies off it,
// or the double ring may sit on the treble ring's edge at the wrong scale, leaving the treble
// ring where the board shows no edge at all.
//
// A real board disturbs single edges everywhere: a dart standing in the ring, glare, a worn
// wire, a number printed close to the ring or JPEG blocks take the strongest gradient off the
// ring for a few degrees, or leave no edge there. A fit that is wrong is wrong for the whole of
// a stretch: most of the edges found there lie off it together. So each ring's octants in the
// image are judged by majority: an octant supports the fit when enough of its ring points found
// an edge within kAgreePx of it, and contradicts it when most of its points found an edge and
// most of those lie farther off. Reported per ring (treble, double) as "ring_octants":
// [octants in view, supporting, contradicting]; the median residual of the worst octant and
// the smallest share of ring points that found an edge are reported beside them.
void addRingFollowing(json& report, const Homography& h, const Homography& searched, const EdgeMatches& matches,
                      cv::Size size) {
  double worstResidual = 0.0, worstCoverage = 1.0;
  json octantCounts = json::array();
  for (const double radius : {107.0, 170.0}) {
    std::array<std::vector<double>, 8> residuals;
    std::array<int, 8> expected{};
    for (int i = 0; i < 240; ++i) {
      const double a = 1.5 * i * kPi / 180.0;
      const cv::Point2f b(static_cast<float>(radius * std::cos(a)), static_cast<float>(radius * std::sin(a)));
      const Point2 c = applyHomography(searched, {b.x, b.y});
      if (c.x >= 6.0 && c.y >= 6.0 && c.x <= size.width - 7.0 && c.y <= size.height - 7.0) ++expected[octantOf(b)];
    }
    for (size_t i = 0; i < matches.board.size(); ++i) {
      const cv::Point2f b = matches.board[i];
      if (std::abs(std::hypot(b.x, b.y) - radius) > 0.5) continue;
      const Point2 q = applyHomography(h, {b.x, b.y});
      residuals[octantOf(b)].push_back(std::hypot(q.x - matches.image[i].x, q.y - matches.image[i].y));
    }
    int inView = 0, supporting = 0, contradicting = 0;
    for (size_t o = 0; o < 8; ++o) {
      std::vector<double>& r = residuals[o];
      if (expected[o] >= kMinOctantPoints) {
        const double found = static_cast<double>(r.size());
        const double agreeing = static_cast<double>(std::count_if(r.begin(), r.end(), [](double d) { return d <= kAgreePx; }));
        ++inView;
        supporting += agreeing >= kSupportShare * expected[o] ? 1 : 0;
        contradicting += found >= kFoundShare * expected[o] && agreeing < 0.5 * found ? 1 : 0;
        worstCoverage = std::min(worstCoverage, found / expected[o]);
      }
      if (r.size() < 3) continue;
      std::nth_element(r.begin(), r.begin() + static_cast<long>(r.size() / 2), r.end());
      worstResidual = std::max(worstResidual, r[r.size() / 2]);
    }
    octantCounts.push_back({inView, supporting, contradicting});
  }
  report["ring_worst_octant_px"] = worstResidual;
  report["ring_worst_coverage"] = worstCoverage;
  report["ring_octants"] = octantCounts;
}

// Inliers of a homography that RANSAC could not improve on: residuals under the threshold.
std::vector<uchar> residualInliers(const Homography& h, const EdgeMatches& matches, double threshold) {
  std::vector<uchar> inlier(matches.board.size(), 0);
  for (size_t i = 0; i < matches.board.size(); ++i) {
    const Point2 q = applyHomography(h, {matches.board[i].x, matches.board[i].y});
    inlier[i] = std::hypot(q.x - matches.image[i].x, q.y - matches.image[i].y) < threshold ? 1 : 0;
  }
  return inlier;
}

// The offset of the peak at k, moved to the parabola vertex through its neighbours.
double peakOffset(const std::vector<double>& offsets, const std::vector<double>& r, size_t k) {
  double d = offsets[k];
  if (k > 0 && k + 1 < offsets.size()) {
    const double curvature = r[k - 1] - 2.0 * r[k] + r[k + 1];
    if (std::abs(curvature) >= 1e-9) d += 0.5 * (r[k - 1] - r[k + 1]) / curvature * 0.5;
  }
  return d;
}

// The strongest local peak of opposite sign within a wire's width of the peak at k that is at
// least half as strong.
std::optional<size_t> wirePartner(const std::vector<double>& offsets, const std::vector<double>& signedResponse,
                                  const std::vector<double>& response, size_t k) {
  std::optional<size_t> partner;
  for (size_t j = 1; j + 1 < offsets.size(); ++j) {
    if (std::abs(offsets[j] - offsets[k]) > kWireSearchPx || signedResponse[j] * signedResponse[k] >= 0.0) continue;
    if (response[j] < kWirePartnerShare * response[k] || response[j] < response[j - 1] || response[j] < response[j + 1]) continue;
    if (!partner || response[j] > response[*partner]) partner = j;
  }
  return partner;
}

}  // namespace

double sampleBilinear(const cv::Mat& m, cv::Point2d s) {
  const int x0 = static_cast<int>(std::floor(s.x)), y0 = static_cast<int>(std::floor(s.y));
  if (x0 < 0 || y0 < 0 || x0 + 1 >= m.cols || y0 + 1 >= m.rows) return 0.0;
  const double fx = s.x - x0, fy = s.y - y0;
  const float* r0 = m.ptr<float>(y0);
  const float* r1 = m.ptr<float>(y0 + 1);
  return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x0 + 1]) + fy * ((1 - fx) * r1[x0] + fx * r1[x0 + 1]);
}

void matchEdgeAlongNormal(const Homography& h, const std::vector<double>& offsets, const cv::Mat& gx,
                          const cv::Mat& gy, cv::Size size, cv::Point2d boardPoint, cv::Point2d boardDirection,
                          EdgeMatches& matches) {
  const Point2 c = applyHomography(h, {boardPoint.x, boardPoint.y});
  const Point2 q = applyHomography(h, {boardPoint.x + boardDirection.x, boardPoint.y + boardDirection.y});
  const double length = std::hypot(q.x - c.x, q.y - c.y);
  if (!(length >= 1e-6)) return;
  const cv::Point2d n((q.x - c.x) / length, (q.y - c.y) / length);
  matchEdgeFromPixel(offsets, gx, gy, size, {c.x, c.y}, n, boardPoint, matches, kEdgeMinResponse);
}

std::vector<double> edgeSearchOffsets() { return searchOffsets(); }

void matchEdgeFromPixel(const std::vector<double>& offsets, const cv::Mat& gx, const cv::Mat& gy, cv::Size size,
                        cv::Point2d c, cv::Point2d n, cv::Point2d boardPoint, EdgeMatches& matches,
                        double minResponse) {
  std::vector<double> signedResponse(offsets.size());
  std::vector<double> response(offsets.size());
  for (size_t k = 0; k < offsets.size(); ++k) {
    const cv::Point2d s(c.x + offsets[k] * n.x, c.y + offsets[k] * n.y);
    if (!(s.x >= 2.0 && s.y >= 2.0 && s.x <= size.width - 3 && s.y <= size.height - 3)) return;
    signedResponse[k] = sampleBilinear(gx, s) * n.x + sampleBilinear(gy, s) * n.y;
    response[k] = std::abs(signedResponse[k]);
  }
  const size_t k = static_cast<size_t>(std::max_element(response.begin(), response.end()) - response.begin());
  if (response[k] < minResponse) return;
  double d = peakOffset(offsets, response, k);
  // A steel wire is brighter than the beds and the surround beside it: rising along the
  // normal, the edge is the wire's near side.
  int side = signedResponse[k] > 0.0 ? -1 : 1;
  // The board's radii run along the middle of its wires. A wire between two surfaces that
  // both differ from it shows as two opposite edges a wire's width apart; the stronger alone
  // would put every such edge half a wire off, the same way all round the double ring.
  if (const auto partner = wirePartner(offsets, signedResponse, response, k)) {
    d = 0.5 * (d + peakOffset(offsets, response, *partner));
    side = 0;
  }
  matches.side.push_back(side);
  matches.board.emplace_back(static_cast<float>(boardPoint.x), static_cast<float>(boardPoint.y));
  matches.image.emplace_back(static_cast<float>(c.x + d * n.x), static_cast<float>(c.y + d * n.y));
}

EdgeMatches collectRingEdgeMatches(const cv::Mat& grey, const Homography& h, const cv::Mat& gx, const cv::Mat& gy) {
  static const std::vector<double> offsets = searchOffsets();
  EdgeMatches matches;
  for (double r : {107.0, 170.0}) {
    for (int i = 0; i < 240; ++i) {
      const double a = 1.5 * i * kPi / 180.0;
      const cv::Point2d dir(std::cos(a), std::sin(a));
      matchEdgeAlongNormal(h, offsets, gx, gy, grey.size(), r * dir, dir, matches);
    }
  }
  for (int k = 0; k < 20; ++k) {
    const double a = (-81.0 + 18.0 * k) * kPi / 180.0;
    const cv::Point2d dir(std::cos(a), std::sin(a));
    for (int r = 30; r <= 150; r += 15) {
      matchEdgeAlongNormal(h, offsets, gx, gy, grey.size(), r * dir, cv::Point2d(-dir.y, dir.x), matches);
    }
  }
  return matches;
}

Homography refineByRingEdges(const cv::Mat& grey, const Homography& initial, json& report) {
  return refineByRingEdges(grey, initial, report, estimateHomography);
}

Homography refineByRingEdges(const cv::Mat& grey, const Homography& initial, json& report,
                             const HomographyEstimator& estimate) {
  cv::Mat gx, gy;
  cv::Sobel(grey, gx, CV_32F, 1, 0, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
  cv::Sobel(grey, gy, CV_32F, 0, 1, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
  Homography current = initial;
  for (int iteration = 1; iteration <= 3; ++iteration) {
    const double threshold = kRansacThresholds[static_cast<size_t>(iteration - 1)];
    const EdgeMatches matches = collectRingEdgeMatches(grey, current, gx, gy);
    if (matches.board.size() < kMinMatches) throw CalibrationError("TOO_FEW_EDGE_MATCHES");
    std::vector<uchar> mask;
    Homography h;
    try {
      h = estimate(matches.board, matches.image, cv::RANSAC, threshold, &mask);
    } catch (const CalibrationError&) {
      if (iteration == 1) throw CalibrationError("REFINEMENT_FAILED");
      // The previous homography found these edges itself; judge it on them instead of losing it.
      report = edgeStatistics(current, matches, residualInliers(current, matches, threshold), iteration - 1);
      report["refinement_stopped"] = "REFINEMENT_FAILED";
      addRingFollowing(report, current, current, matches, grey.size());
      return current;
    }
    mask.resize(matches.board.size(), 0);
    report = edgeStatistics(h, matches, mask, iteration);
    addRingFollowing(report, h, current, matches, grey.size());
    current = h;
  }
  return current;
}

}  // namespace tarv
