#include "tarv/autocal/edge_search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/edge_points.h"
#include "tarv/autocal/ring_band.h"
#include "tarv/autocal/ring_edges.h"

namespace tarv {
namespace {

// The search stays within this share of the way to the bed's other edge: seen from a low
// angle a bed narrows to a few pixels, and both of its edges would fall into the window.
constexpr double kOtherEdgeShare = 0.4;

// A ring band located as a whole (below) carries its own two wires in its model: shifted by its
// depth, the model's inner wire lies on the band's outer one and the bed's step and the outer
// wire are left unexplained, so within its own depth the band is told from itself by the model,
// not by the window. Seen 10 to 20 degrees above the board, a band on the near and far sides is
// 2 to 5 px deep, and at kOtherEdgeShare of that a start 1 or 2 px off found those bands at the
// end of its search or not at all; the sides across them were then held by the other edges
// alone, and the fit ended 1 to 4 px off the true camera from starts 1 px off. The fit searches
// such a band at least kFittedBandReachPx, never beyond kFittedBandReachShare of its depth (on
// 21 low boards, 8 starts 2 px off each: 66 of 168 ended within 1 px, 113 with the wider search;
// deeper bands keep their reach). The judgement keeps the narrower window its rules were set on.
constexpr double kFittedBandReachPx = 2.5;
constexpr double kFittedBandReachShare = 1.25;

constexpr size_t kProjectedPerPoint = 8;

bool inMargin(cv::Point2d p, cv::Size size) {
  return p.x >= 6.0 && p.y >= 6.0 && p.x <= size.width - 7.0 && p.y <= size.height - 7.0;
}

// Per edge point, kProjectedPerPoint board points: the point, half a mm across its edge, the
// bed's other edge, the band's wire sides (for a ring's outer edge) and the point a mm off the
// face.
std::vector<cv::Point3d> edgeObjectPoints(bool wideBeds) {
  std::vector<cv::Point3d> object;
  object.reserve(kProjectedPerPoint * edgePoints(wideBeds).size());
  for (const EdgePoint& p : edgePoints(wideBeds)) {
    object.push_back(p.board);
    object.push_back(p.board + 0.5 * p.across);
    object.push_back(p.board + p.otherEdgeMm * p.across);
    for (const double side : {p.otherEdgeMm - 0.5 * kBandWireMm, p.otherEdgeMm + 0.5 * kBandWireMm, -0.5 * kBandWireMm,
                              0.5 * kBandWireMm}) {
      object.push_back(p.board + side * p.across);
    }
    object.push_back(p.board + cv::Point3d(0.0, 0.0, 1.0));
  }
  return object;
}

CameraEdgeMatches collectEdges(const CameraEstimate& camera, const cv::Mat& gx, const cv::Mat& gy, bool innerEdges,
                               double ringMinResponse, bool wideBands, CameraBands* shared, bool wideBeds = false) {
  static const std::vector<double> offsets = edgeSearchOffsets();
  static const std::vector<cv::Point3d> regulationObject = edgeObjectPoints(false);
  static const std::vector<cv::Point3d> wideObject = edgeObjectPoints(true);
  const std::vector<cv::Point3d>& object = wideBeds ? wideObject : regulationObject;
  const std::vector<EdgePoint>& points = edgePoints(wideBeds);
  CameraBands own;
  CameraBands& cached = shared ? *shared : own;
  if (cached.projected.empty()) cached.projected = projectBoardPoints(camera, object);
  if (cached.locations.empty()) cached.locations.resize(points.size());
  const std::vector<cv::Point2d>& projected = cached.projected;
  cv::Matx33d R;
  cv::Rodrigues(camera.rvec, R);
  const cv::Vec3d t(camera.tvec.at<double>(0), camera.tvec.at<double>(1), camera.tvec.at<double>(2));
  const cv::Size size = gx.size();
  CameraEdgeMatches m;
  EdgeMatches found;
  for (size_t i = 0; i < points.size(); ++i) {
    const EdgePoint& p = points[i];
    if (p.kind == 3 && !innerEdges) continue;
    // The lens model folds back far from its centre: only points well in front of the camera.
    if (!((R * cv::Vec3d(p.board.x, p.board.y, 0.0) + t)[2] > 1.0)) continue;
    const size_t at = kProjectedPerPoint * i;
    const cv::Point2d c = projected[at], q = projected[at + 1], other = projected[at + 2], lifted = projected[at + 7];
    if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(q.x) || !std::isfinite(q.y) ||
        !std::isfinite(lifted.x) || !std::isfinite(lifted.y)) {
      continue;
    }
    const cv::Point2f b(static_cast<float>(p.board.x), static_cast<float>(p.board.y));
    std::vector<double> window;
    const double depth = cv::norm(other - c);
    const bool narrowBand = p.kind != 2 && depth < kMaxModelledBandPx;
    double reach = p.otherEdgeMm == 0.0 ? 1e9 : kOtherEdgeShare * depth;
    if (narrowBand && wideBands) reach = std::max(reach, std::min(kFittedBandReachPx, kFittedBandReachShare * depth));
    for (const double offset : offsets) {
      if (std::abs(offset) <= reach) window.push_back(offset);
    }
    // A bed too narrow to tell its edges apart says nothing, for or against.
    if (window.size() < 5) continue;
    if (inMargin(c, size)) {
      if (p.kind < 2) ++m.ringInView[p.kind][octantOf(b)];
      else if (p.kind == 2) ++m.wireInView;
    }
    const double length = cv::norm(q - c);
    if (!(length >= 1e-6)) continue;
    const cv::Point2d n = (q - c) / length;
    cv::Point2d image;
    int side = 0;
    if (narrowBand && p.kind == 3) continue;  // the band's inner wire is measured with its outer one
    if (narrowBand) {
      std::array<double, 4> sides{};
      for (size_t j = 0; j < 4; ++j) sides[j] = n.dot(projected[at + 3 + j] - c);
      const double reach = std::max(std::abs(window.front()), std::abs(window.back()));
      // A band a few pixels deep blurs its steps into one another, its strongest gradient below
      // a plain edge's: it is asked for the faint rings' strength (with the plain one the low
      // views kept 78 right cameras against 83, without any a turned camera was taken).
      BandLocation& located = cached.locations[i];
      if (!located.located) {
        located.shift = locateBand(gx, gy, size, c, n, sides, reach, std::min(ringMinResponse, kFaintRingMinResponse),
                                   located.beyond);
        located.located = true;
      }
      if (located.beyond && inMargin(c, size)) ++m.ringBeyond[p.kind][octantOf(b)];
      if (!located.shift) continue;
      image = c + *located.shift * n;
    } else {
      const size_t before = found.image.size();
      matchEdgeFromPixel(window, gx, gy, size, c, n, {p.board.x, p.board.y}, found,
                         p.kind == 2 ? kEdgeMinResponse : ringMinResponse);
      if (found.image.size() == before) continue;
      image = cv::Point2d(found.image.back().x, found.image.back().y);
      side = found.side.back();
    }
    m.board.push_back(b);
    m.image.emplace_back(static_cast<float>(image.x), static_cast<float>(image.y));
    m.normal.emplace_back(static_cast<float>(n.x), static_cast<float>(n.y));
    m.offsetPx.push_back(static_cast<float>(n.dot(image - c)));
    m.kind.push_back(p.kind);
    m.pxPerMm.push_back(static_cast<float>(length / 0.5));
    m.side.push_back(side);
    m.liftPxPerMm.push_back(static_cast<float>(n.dot(lifted - c)));
  }
  return m;
}

}  // namespace

EdgeSearch::EdgeSearch(const cv::Mat& grey, bool wideBeds) : wideBeds_(wideBeds) {
  cv::Sobel(grey, gx_, CV_32F, 1, 0, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
  cv::Sobel(grey, gy_, CV_32F, 0, 1, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
}

std::shared_ptr<const CameraEdgeMatches> EdgeSearch::matches(const CameraEstimate& camera, bool innerEdges,
                                                             double ringMinResponse, bool wideBands) {
  std::vector<double> key;
  if (!keyOf(camera, key)) {
    return std::make_shared<const CameraEdgeMatches>(
        collectEdges(camera, gx_, gy_, innerEdges, ringMinResponse, wideBands, nullptr, wideBeds_));
  }
  for (const Collected& c : collected_) {
    if (sameKey(c.key, key) && c.innerEdges == innerEdges && c.ringMinResponse == ringMinResponse &&
        c.wideBands == wideBands) {
      return c.matches;
    }
  }
  const double bandResponse = std::min(ringMinResponse, kFaintRingMinResponse);
  Seen* seen = nullptr;
  for (Seen& c : cameras_) {
    if (sameKey(c.key, key) && c.bandResponse == bandResponse && c.wideBands == wideBands) seen = &c;
  }
  if (!seen) {
    if (cameras_.size() >= kKept) cameras_.pop_front();
    cameras_.push_back({key, bandResponse, wideBands, {}});
    seen = &cameras_.back();
  }
  auto m = std::make_shared<const CameraEdgeMatches>(
      collectEdges(camera, gx_, gy_, innerEdges, ringMinResponse, wideBands, &seen->bands, wideBeds_));
  if (collected_.size() >= kKept) collected_.pop_front();
  collected_.push_back({std::move(key), innerEdges, ringMinResponse, wideBands, m});
  return m;
}

bool EdgeSearch::keyOf(const CameraEstimate& camera, std::vector<double>& key) {
  key = {static_cast<double>(camera.width), static_cast<double>(camera.height)};
  for (const cv::Mat* m : {&camera.K, &camera.dist, &camera.rvec, &camera.tvec}) {
    if (m->type() != CV_64F || !m->isContinuous()) return false;
    key.push_back(static_cast<double>(m->total()));
    key.insert(key.end(), m->ptr<double>(), m->ptr<double>() + m->total());
  }
  return true;
}

bool EdgeSearch::sameKey(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

double EdgeModel::outerPxPerMm(const CameraEdgeMatches& m, size_t i) {
  // Moving the edge along the board's radius moves it across itself by pxPerMm a mm.
  return m.kind[i] == 1 ? m.pxPerMm[i] : 0.0;
}

double EdgeModel::widthPxPerMm(const CameraEdgeMatches& m, size_t i) { return 0.5 * m.side[i] * m.pxPerMm[i]; }

double EdgeModel::heightPxPerMm(const CameraEdgeMatches& m, size_t i) {
  // The height's share: 0 at the foot, 1 at the top, half where both sides show. Raised, a
  // point moves away from the camera: the side it moves towards is the far one.
  const double share = m.side[i] == 0 ? 0.5 : m.side[i] * m.liftPxPerMm[i] > 0.0f ? 1.0 : 0.0;
  return share * m.liftPxPerMm[i];
}

// Matches built without sides (a judgement's own) are judged with the flat model alone.
double EdgeModel::offsetPx(const CameraEdgeMatches& m, size_t i) const {
  double d = outerMm * outerPxPerMm(m, i);
  if (wireWidthMm != 0.0) d += wireWidthMm * widthPxPerMm(m, i);
  if (wireHeightMm != 0.0) d += wireHeightMm * heightPxPerMm(m, i);
  return d;
}

CameraEdgeMatches collectCameraEdgeMatches(const CameraEstimate& camera, const cv::Mat& gx, const cv::Mat& gy,
                                           bool innerEdges, double ringMinResponse, bool wideBands) {
  return collectEdges(camera, gx, gy, innerEdges, ringMinResponse, wideBands, nullptr);
}

}  // namespace tarv
