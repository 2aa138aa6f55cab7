#include "tarv/autocal/camera_edges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/board_fit.h"  // the board fit's acceptance rule
#include "tarv/autocal/number_ring.h"
#include "tarv/autocal/ring_edges.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::array<double, 2> kRingRadii{107.0, 170.0};
// Rounds of edge search and fit, each keeping the edges within its distance of the camera.
constexpr std::array<double, 3> kRoundThresholds{4.0, 3.0, 2.0};
constexpr size_t kMinMatches = 40;
// The judgement: as the board fit's ring judgement (an edge within kAgreePx agrees, an octant
// in view has at least kMinOctantPoints ring points in the image, it supports the camera when
// kSupportShare of them agree and contradicts it when kFoundShare found an edge and most of
// those disagree). The start, a solve on the network's crossings, is allowed a pixel or two:
// it contradicts the edges only when they lie beyond kStartAgreePx of it.
constexpr double kInlierPx = 2.0;
// Ring bands located as a whole lie closer to a right camera than single edges did (0.45 px
// rms at true cameras 10 to 20 degrees above the board, against 0.8 to 1.0): a ring agrees at
// this share of the distance a wire does, else cameras 1.1 to 1.5 px off the ring pass as on it.
constexpr double kRingAgreeShare = 2.0 / 3.0;
constexpr double kAgreePx = 1.5;
constexpr double kStartAgreePx = 3.0;
constexpr int kMinOctantPoints = 10;
// A ring band the fit reaches only at the end of its search lies beyond it: where the camera's
// lens bend was traded off (k1 0.19 against 0), its double ring lay 5 px outside the band over an
// octant whose bands were then all beyond reach (28 of 30), found nowhere and so saying nothing,
// while the octants beside it supported a camera 1.4 px off. A refined camera lies on its edges;
// an octant whose bands mostly lie beyond it contradicts it (right cameras: half at most seen,
// where the ring leaves the image).
constexpr double kBeyondShare = 0.75;
constexpr double kSupportShare = 0.3;
constexpr double kFoundShare = 0.4;
// Share of the wire points in view that must agree: a wire is found all along or not at all.
constexpr double kWireSupportShare = 0.5;
// A board seen low and soft shows its wires' edges under the strength they need along long
// stretches (a true camera: 80 of 173 found, 75 of those on it), as it does its rings' edges.
// Wire points whose edge was not found say nothing: the wires support a camera where those
// found are at least this share of the points in view and half of them agree with it.
constexpr double kWireShownShare = 0.4;
// The start's contradiction: octants of a ring that contradict it, the share of the found wire
// points that must agree (right starts: 0.9 and more; 15 px off: 0.6).
constexpr int kContradictingOctants = 2;
constexpr double kWireAgreeShare = 0.8;
// Wires alone confirm the start when this share of their points in view is found and this
// share of those agrees with it.
constexpr double kWireFoundShare = 0.75;
constexpr double kWireConfirmShare = 0.95;
// The refinement corrects what the crossings left: a ring that moves farther than this has
// followed some other edge.
constexpr double kMaxShiftPx = 8.0;
// Crossings the refined camera may lose against the start's: the edges are more precise than
// the crossings, so those at the tolerance's border may fall out (up to 0.82 of them kept by
// right cameras), never a stretch of them.
constexpr double kKeptCrossingShare = 0.8;
// The start is the crossings' own best fit: a camera moved by d px from it raises their mean
// square by about d², whatever the network's scatter. Edges that pull the camera most of a
// pixel off the crossings as a whole belong to another board than the one the crossings were
// taken for (wider beds, a wire drawn off its radius: 0.96 px² seen); right cameras measured
// at most 0.56 px².
constexpr double kMaxCrossingRmsGainPx2 = 0.75;
// A network that places its crossings 2 px apart from where they are (a board it reads
// poorly) leaves the right camera up to a third of their mean square away from their own best
// fit (2.0 -> 2.3 px seen); where their scatter is that wide, the gain they allow grows with it.
constexpr double kMaxCrossingRmsGainShare = 0.35;
// A start several pixels off that the edges had to be followed from is not the crossings' best
// fit but a compromise among loosely placed ones (2 px and more at a grazing angle): the
// camera on the edges may raise their mean square by up to this share of the start's.
constexpr double kFollowedRmsGainShare = 0.6;
// How far one more refinement may move a followed camera that the edges hold (right cameras:
// 0.3 px at most seen).
constexpr double kSettledShiftPx = 0.5;
// A followed camera has left its crossings' own fit by several pixels, and on a grazing view
// the rings' edges alone can hold it a bed's width off (seen: 4.7 px), where the wires then
// lie beside it along much of their length (0.70 of those found agreeing); the wires of right
// followed cameras agree nearly all along (0.97 and more seen).
constexpr double kFollowedWireAgreeShare = 0.9;
// A followed camera whose wires agree with it all along (as wires that confirm a start do) may
// keep fewer of the crossings the start matched: a start 4 px off matches, among crossings
// placed 2 px off, many that the right camera leaves beyond the tolerance (right cameras: 0.61
// and 0.67 of them kept).
constexpr double kWireHeldKeptCrossingShare = 0.6;
// A start solved on the network's crossings lies within a pixel or two of the board, a few at
// a grazing angle; a refinement that moves it farther has either corrected a loose start, and
// then the wires agree with it nearly all along (right cameras moved 2.5 to 5 px: 0.92 and
// more), or taken one ring's edge for its neighbour's on the foreshortened side, where the
// wires then lie beside it along a stretch (seen: moved 5.4 px, 0.60 agreeing, 6.4 px off).
constexpr double kFarShiftPx = 3.0;
// A start whose own edges support it, its wires agreeing nearly all along, stands against a
// refinement that loses this share of them: on a grazing view the rings' edges can pull a
// camera off the wires that confirm it (0.94 -> 0.51 of the wire points found agreeing, the
// ring 0.4 -> 1.0 px off the true one; refinements that improve a camera lose 0.1 at most).
constexpr double kStartWireShare = 0.9;
constexpr double kRefinedWireLoss = 0.15;
// The beds' inner edges join the fit when at least this many are found on each ring and their
// median lies within this distance (board mm) of the camera fitted to the outer edges: where
// the wire's far side makes the edge, a bed looks up to a wire's width wider on each side,
// which the outer edges' camera leaves on the inner ones (seen up to 1.7 mm); a board with
// 10 mm beds has them 2 mm farther in still.
constexpr size_t kMinInnerEdges = 60;
constexpr double kInnerEdgeAgreeMm = 2.0;
// Board points fitted with the focal length and k1 free: fewer leave them to the solve.
constexpr size_t kMinIntrinsicMatches = 150;
// Seen 10 to 20 degrees above the board, the board fills a narrow strip of the image and the
// lens bend trades against the focal length: fits from starts a pixel or two off (a start's k1
// from the crossings already 0.34 against 0) ended with a pincushion of 0.2 and the rings
// 1.3 px off, their edges supporting it. Lenses bend barrel-wise or hardly at all (renders:
// k1 -0.24 to +0.04); a fit that ends with more pincushion than this has traded it, and is
// fitted again with k1 held (as the camera had it before the fit, or at none where that was
// such a pincushion too), the focal length free.
constexpr double kMaxFittedK1 = 0.1;

// The double ring's edge lies within a wire's width and a half of 170 mm; a fit that puts it
// farther has traded the board's scale for it and is fitted again without the offset.
constexpr double kMaxOuterOffsetMm = 1.5;
constexpr double kMinOuterOffsetMm = 0.5;

struct EdgePoint {
  cv::Point3d board;
  cv::Point3d across;  // unit board direction across the edge
  int kind;
  double otherEdgeMm;  // the bed's other edge (a wire: the reach) along across (0: none near)
};

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

// A wire is searched across itself, round the board; seen low, the board's round direction is
// foreshortened where the wires run across the image, and near the bull the next wire (18
// degrees on, a third of the radius away) falls into a search of a few pixels: its edge was taken
// for this one's, a true camera's wires agreed only 0.86 within 1.5 px and it was refused. The
// search stays within kOtherEdgeShare of this many board mm per mm of radius, a quarter of the
// way to the next wire.
constexpr double kWireReachPerRadius = 0.2;

// A ring's outer edge runs between a bed and the black number ring, a smaller step in grey
// than a wire's between cream and black: under a dim light or a blur it can stay below the
// strength the wires need all round, and a board seen low then shows no ring at all while
// its wires agree with any camera of the right turn and centre, whatever its scale. Only
// there, where the rings would say nothing, are fainter ring edges taken (the wires keep
// kEdgeMinResponse).
constexpr double kFaintRingMinResponse = 10.0;

// A regulation board's treble and double beds are 8 mm deep (99 to 107 and 162 to 170 mm);
// older boards and the engine's own rendered board have them 10 mm deep. A band located as a
// whole with the wrong depth settles a pixel or so off its wires: the right camera of a board
// with 10 mm beds lay 0.6 px off after the fit, its treble contradicting it in five octants.
constexpr double kRegulationBedMm = 8.0;
constexpr double kWideBedMm = 10.0;

// The board fit's edge points in the landmark frame: the rings every 1.5 degrees, the wires
// (at 81 − 18·i degrees) every 15 mm from 30 to 150 mm, and the beds' inner edges (99 and
// 162 mm on a regulation board), which join the fit but not the judgement.
std::vector<EdgePoint> makeEdgePoints(double bedMm) {
  std::vector<EdgePoint> points;
  for (int ring = 0; ring < 2; ++ring) {
    for (int i = 0; i < 240; ++i) {
      const double a = 1.5 * i * kPi / 180.0;
      const cv::Point3d dir(std::cos(a), std::sin(a), 0.0);
      points.push_back({kRingRadii[static_cast<size_t>(ring)] * dir, dir, ring, -bedMm});
    }
  }
  for (const double radius : {kRingRadii[0] - bedMm, kRingRadii[1] - bedMm}) {
    for (int i = 0; i < 240; ++i) {
      const double a = 1.5 * i * kPi / 180.0;
      const cv::Point3d dir(std::cos(a), std::sin(a), 0.0);
      points.push_back({radius * dir, dir, 3, bedMm});
    }
  }
  for (int k = 0; k < 20; ++k) {
    const double a = (81.0 - 18.0 * k) * kPi / 180.0;
    const cv::Point3d dir(std::cos(a), std::sin(a), 0.0);
    for (int r = 30; r <= 150; r += 15) {
      points.push_back({r * dir, cv::Point3d(-dir.y, dir.x, 0.0), 2, kWireReachPerRadius * r});
    }
  }
  return points;
}

const std::vector<EdgePoint>& edgePoints(bool wideBeds = false) {
  static const std::vector<EdgePoint> regulation = makeEdgePoints(kRegulationBedMm);
  static const std::vector<EdgePoint> wide = makeEdgePoints(kWideBedMm);
  return wideBeds ? wide : regulation;
}

size_t octantOf(cv::Point2f b) {
  const int octant = static_cast<int>(std::floor((std::atan2(b.y, b.x) + static_cast<float>(kPi)) / (kPi / 4.0)));
  return static_cast<size_t>(((octant % 8) + 8) % 8);
}

bool inMargin(cv::Point2d p, cv::Size size) {
  return p.x >= 6.0 && p.y >= 6.0 && p.x <= size.width - 7.0 && p.y <= size.height - 7.0;
}

// Signed distances across their edges of the matches' image points from the camera's
// projection of their board points, the double ring's edge taken outerMm beyond 170 mm, and
// (optionally) their derivatives by rvec, tvec, the focal length, k1 and outerMm.
std::vector<double> edgeResiduals(const CameraEstimate& e, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                                  cv::Mat* jacobian, double outerMm = 0.0) {
  // OpenCV refuses to project no points at all.
  if (use.empty()) {
    if (jacobian) *jacobian = cv::Mat::zeros(0, 9, CV_64F);
    return {};
  }
  std::vector<cv::Point3d> object;
  object.reserve(use.size());
  for (size_t i : use) object.emplace_back(m.board[i].x, m.board[i].y, 0.0);
  std::vector<cv::Point2d> projected;
  cv::Mat full;
  if (jacobian) {
    cv::projectPoints(object, e.rvec, e.tvec, e.K, e.dist, projected, full);
    *jacobian = cv::Mat::zeros(static_cast<int>(use.size()), 9, CV_64F);
  } else {
    cv::projectPoints(object, e.rvec, e.tvec, e.K, e.dist, projected);
  }
  std::vector<double> r(use.size());
  for (size_t j = 0; j < use.size(); ++j) {
    const size_t i = use[j];
    const cv::Point2d n(m.normal[i].x, m.normal[i].y);
    // Moving the edge along the board's radius moves it across itself by pxPerMm a mm.
    const double outerPx = m.kind[i] == 1 ? m.pxPerMm[i] : 0.0;
    r[j] = n.dot(projected[j] - cv::Point2d(m.image[i].x, m.image[i].y)) + outerMm * outerPx;
    if (!jacobian) continue;
    const double* jx = full.ptr<double>(static_cast<int>(2 * j));
    const double* jy = full.ptr<double>(static_cast<int>(2 * j + 1));
    double* out = jacobian->ptr<double>(static_cast<int>(j));
    for (int c = 0; c < 6; ++c) out[c] = n.x * jx[c] + n.y * jy[c];
    out[6] = n.x * (jx[6] + jx[7]) + n.y * (jy[6] + jy[7]);  // one focal length for both axes
    out[7] = n.x * jx[10] + n.y * jy[10];                     // k1
    out[8] = outerPx;
  }
  return r;
}

double sumOfSquares(const std::vector<double>& r) {
  double s = 0.0;
  for (double v : r) s += v * v;
  return s;
}

// The parameters a fit moves: the pose always, the focal length and k1 with enough edges,
// the double ring's edge offset where other rings hold the board's scale.
struct FitParameters {
  bool intrinsics = false;
  bool outer = false;
  bool lens = true;  // k1 with the focal length
  std::vector<int> columns() const {
    std::vector<int> c{0, 1, 2, 3, 4, 5};
    if (intrinsics) c.push_back(6);
    if (intrinsics && lens) c.push_back(7);
    if (outer) c.push_back(8);
    return c;
  }
};

CameraEstimate stepped(const CameraEstimate& e, const cv::Mat& delta, const std::vector<int>& columns, double& outerMm) {
  CameraEstimate out = cloneCameraEstimate(e);
  for (size_t k = 0; k < columns.size(); ++k) {
    const double d = delta.at<double>(static_cast<int>(k));
    const int c = columns[k];
    if (c < 3) out.rvec.at<double>(c) += d;
    else if (c < 6) out.tvec.at<double>(c - 3) += d;
    else if (c == 6) {
      out.K.at<double>(0, 0) += d;
      out.K.at<double>(1, 1) += d;
    } else if (c == 7) out.dist.at<double>(0) += d;
    else outerMm += d;
  }
  return out;
}

// JᵀJ, each entry summed over the rows in their order as the general product sums it, row by
// row for all entries at once: a fit runs it a few dozen times on a thousand rows.
cv::Mat normalMatrix(const cv::Mat& J) {
  const int n = J.cols;
  cv::Mat A = cv::Mat::zeros(n, n, CV_64F);
  double* const a = A.ptr<double>();
  for (int k = 0; k < J.rows; ++k) {
    const double* row = J.ptr<double>(k);
    for (int i = 0; i < n; ++i) {
      for (int j = i; j < n; ++j) a[i * n + j] += row[i] * row[j];
    }
  }
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) a[i * n + j] = a[j * n + i];
  }
  return A;
}

// Levenberg-Marquardt on the distances across the edges: an edge says nothing about where
// along it its point lies, so a ring pulls only radially and a wire only round the board.
CameraEstimate fitToEdges(const CameraEstimate& start, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                          FitParameters free, double& outerMm) {
  const std::vector<int> columns = free.columns();
  const int parameters = static_cast<int>(columns.size());
  CameraEstimate current = cloneCameraEstimate(start);
  double cost = sumOfSquares(edgeResiduals(current, m, use, nullptr, outerMm));
  double lambda = 1e-3;
  for (int iteration = 0; iteration < 30; ++iteration) {
    cv::Mat full;
    const std::vector<double> r = edgeResiduals(current, m, use, &full, outerMm);
    cv::Mat J(full.rows, parameters, CV_64F);
    for (int k = 0; k < parameters; ++k) full.col(columns[static_cast<size_t>(k)]).copyTo(J.col(k));
    const cv::Mat A = normalMatrix(J);
    const cv::Mat g = J.t() * cv::Mat(r);
    bool improved = false;
    for (int attempt = 0; attempt < 8 && !improved; ++attempt) {
      cv::Mat damped = A.clone();
      for (int c = 0; c < parameters; ++c) damped.at<double>(c, c) += lambda * A.at<double>(c, c) + 1e-12;
      cv::Mat delta;
      if (!cv::solve(damped, -g, delta, cv::DECOMP_CHOLESKY)) {
        lambda *= 10.0;
        continue;
      }
      double candidateOuter = outerMm;
      CameraEstimate candidate = stepped(current, delta, columns, candidateOuter);
      const double candidateCost = sumOfSquares(edgeResiduals(candidate, m, use, nullptr, candidateOuter));
      if (candidateCost < cost) {
        improved = true;
        const double gain = cost - candidateCost;
        current = std::move(candidate);
        outerMm = candidateOuter;
        cost = candidateCost;
        lambda = std::max(lambda * 0.1, 1e-9);
        if (gain < 1e-10 * cost + 1e-12) return current;
      } else {
        lambda *= 10.0;
      }
    }
    if (!improved) break;
  }
  return current;
}

bool plausible(const CameraEstimate& e) {
  const double f = e.K.at<double>(0, 0), k1 = e.dist.at<double>(0);
  return 0.3 * e.width < f && f < 6.0 * e.width && std::abs(k1) < 1.0 && cameraCentre(e)[2] > 0.0 &&
         cv::checkRange(e.rvec) && cv::checkRange(e.tvec);
}

double ringShiftPx(const CameraEstimate& a, const CameraEstimate& b) {
  std::vector<cv::Point3d> ring;
  for (int i = 0; i < 20; ++i) {
    const double t = 18.0 * i * kPi / 180.0;
    ring.emplace_back(170.0 * std::cos(t), 170.0 * std::sin(t), 0.0);
  }
  const std::vector<cv::Point2d> pa = projectBoardPoints(a, ring), pb = projectBoardPoints(b, ring);
  double sum = 0.0;
  for (size_t i = 0; i < pa.size(); ++i) sum += cv::norm(pa[i] - pb[i]);
  return sum / static_cast<double>(pa.size());
}

// The double band seen where a camera puts it. A board whose beds are as dark as its number
// ring shows one plain edge at each ring, a light bed's against the band, and the ring edges
// and wires of a camera a bed's width inside the rings then lie on edges of the board as well
// (170 on 162, 107 on 99: seen 7.5 px off, every ring octant supporting it); a focal length
// traded against k1 can leave the treble ring in place and the double ring on the band's inner
// edge (seen 4.5 px off). Whatever the make, the band differs from the beds inside it, light or
// dark, by about half of what neighbouring beds differ by (right cameras: 0.4 and more), and
// moving its samples a few millimetres in or out changes little; a camera whose band lies in a
// bed sees the bed both sides (seen: 0.02), one whose band straddles the band's inner edge
// finds it far plainer a few millimetres farther out (seen: 0.54 of it there; right cameras
// 0.87 and more). Per sector, between the wires, the band's middle (164-168 mm) against the
// bed 14 to 30 mm inside. Sectors whose band spans fewer than kMinBandPx in the image (a
// grazing view) and images whose beds hardly alternate say nothing.
constexpr double kMinBandPx = 5.0;
constexpr int kMinBandSectors = 8;
constexpr double kMinBedAlternation = 6.0;
constexpr double kMinBandContrastShare = 0.15;
constexpr double kBandProbeMm = 4.0;
constexpr double kMinBandAgainstProbe = 0.7;

struct BandContrast {
  double contrast = 0.0;     // mean over sectors of |band - bed|, grey levels
  double alternation = 0.0;  // mean |bed - next sector's bed|
  int sectors = 0;
};

// The band's samples moved outward by shiftMm (the beds' stay).
BandContrast doubleBandContrast(const cv::Mat& grey, const CameraEstimate& camera, double shiftMm) {
  constexpr std::array<double, 5> kBand{164.0, 165.0, 166.0, 167.0, 168.0};
  constexpr std::array<double, 5> kBed{140.0, 144.0, 148.0, 152.0, 156.0};
  constexpr size_t kPerAngle = kBand.size() + kBed.size();
  constexpr size_t kPerSector = 2 + 5 * kPerAngle;
  std::vector<cv::Point3d> board;
  for (int sector = 0; sector < 20; ++sector) {
    const double middle = 90.0 - 18.0 * sector;
    // The band's width at the sector's middle, then samples up to 5 degrees either side of it.
    const double m = middle * kPi / 180.0;
    board.emplace_back(162.0 * std::cos(m), 162.0 * std::sin(m), 0.0);
    board.emplace_back(170.0 * std::cos(m), 170.0 * std::sin(m), 0.0);
    for (int j = -2; j <= 2; ++j) {
      const double a = (middle + 2.5 * j) * kPi / 180.0;
      for (const double r : kBand) board.emplace_back((r + shiftMm) * std::cos(a), (r + shiftMm) * std::sin(a), 0.0);
      for (const double r : kBed) board.emplace_back(r * std::cos(a), r * std::sin(a), 0.0);
    }
  }
  const std::vector<cv::Point2d> px = projectBoardPoints(camera, board);
  std::array<double, 20> band{}, bed{};
  std::array<bool, 20> judged{};
  for (size_t sector = 0; sector < 20; ++sector) {
    const size_t first = sector * kPerSector;
    if (!(cv::norm(px[first + 1] - px[first]) >= kMinBandPx)) continue;
    bool inside = true;
    for (size_t k = first + 2; k < first + kPerSector && inside; ++k) {
      inside = px[k].x >= 2.0 && px[k].y >= 2.0 && px[k].x <= grey.cols - 3.0 && px[k].y <= grey.rows - 3.0;
    }
    if (!inside) continue;
    for (size_t k = first + 2; k < first + kPerSector; ++k) {
      ((k - first - 2) % kPerAngle < kBand.size() ? band : bed)[sector] += greyAt(grey, px[k]);
    }
    judged[sector] = true;
  }
  BandContrast out;
  int pairs = 0;
  const double samples = 5.0 * kBand.size();
  for (size_t s = 0; s < 20; ++s) {
    if (!judged[s]) continue;
    out.contrast += std::abs(band[s] - bed[s]) / samples;
    ++out.sectors;
    const size_t next = (s + 1) % 20;
    if (judged[next]) out.alternation += std::abs(bed[s] - bed[next]) / samples, ++pairs;
  }
  out.contrast /= std::max(out.sectors, 1);
  out.alternation /= std::max(pairs, 1);
  if (pairs == 0) out.sectors = 0;
  return out;
}

bool doubleBandMissing(const cv::Mat& grey, const CameraEstimate& camera, json& report) {
  const BandContrast at = doubleBandContrast(grey, camera, 0.0);
  if (at.sectors < kMinBandSectors || at.alternation < kMinBedAlternation) return false;
  const BandContrast in = doubleBandContrast(grey, camera, -kBandProbeMm);
  const BandContrast out = doubleBandContrast(grey, camera, kBandProbeMm);
  report["double_band"] = {at.contrast, at.alternation, in.contrast, out.contrast};
  return at.contrast < kMinBandContrastShare * at.alternation ||
         at.contrast < kMinBandAgainstProbe * std::max(in.contrast, out.contrast);
}

// A ring band (the treble or double bed between its two wires) seen from a low angle is a few
// pixels deep: the blurred gradients of its inner and outer edges overlap, and the strongest
// gradient across the outer edge is drawn towards the inner one where the two steps go the same
// way (a light single bed inside the darker band, the black surround beyond it) and pushed off
// it where they go opposite ways; a wire too thin to show apart, bright against the dark side
// of the edge, pulls it outward as well. At true cameras 10 to 20 degrees above the board the
// double ring's edges lay 0.5 px outside it on average, and the fit left them 0.72 px off the
// ring (0.1 to 0.2 px at 30 to 60 degrees). So a band is located as a whole: the gradient
// across it modelled as its four wire sides (projected through the camera, so their spacing is
// the image's) under one blur, each side's step a free amplitude except the wires' own, shared
// between both wires (one band, one metal), and the band's shift along the normal the one that
// best explains the samples (the fit then 0.33 px off).
constexpr double kBandWireMm = 1.0;
constexpr size_t kProjectedPerPoint = 7;
// Bands deeper than this show their wires apart, each edge where it is (photographs and
// renders of boards filling a 1080p frame stay below it).
constexpr double kMaxModelledBandPx = 24.0;
constexpr double kBandStepPx = 0.5;
constexpr double kBandMaxUnexplained = 0.5;
constexpr std::array<double, 3> kBandBlurPx{0.7, 1.0, 1.4};

struct BandProfile {
  std::vector<double> t, g;  // offsets along the normal (px) and the gradient across there
  std::vector<int> step;     // t's index on the coarse grid, from the first sample
};

// exp(-u²), tabulated: the band is fitted a few dozen times at each of several hundred points.
double gaussian(double u) {
  constexpr double kStep = 1.0 / 256.0;
  constexpr int kSize = 4 * 256 + 1;
  static const std::vector<float> table = [] {
    std::vector<float> t(kSize);
    for (int i = 0; i < kSize; ++i) t[static_cast<size_t>(i)] = static_cast<float>(std::exp(-(i * kStep) * (i * kStep)));
    return t;
  }();
  const double a = std::abs(u) / kStep;
  if (!(a < kSize - 1)) return 0.0;
  const int i = static_cast<int>(a);
  const double f = a - i;
  return (1.0 - f) * table[static_cast<size_t>(i)] + f * table[static_cast<size_t>(i) + 1];
}

// The normal equations of g's least squares on the band's steps, summed sample by sample: the
// columns are the inner bed's step onto the inner wire, the wires' own (down off the inner wire
// into the band, up again onto the outer wire: one band, one metal), the outer wire's step off
// into what lies beyond. Only the six distinct entries of the symmetric matrix are summed.
struct BandNormals {
  double a00 = 0, a01 = 0, a02 = 0, a11 = 0, a12 = 0, a22 = 0;
  double b0 = 0, b1 = 0, b2 = 0;
  void add(const double* x, double g) {
    a00 += x[0] * x[0], a01 += x[0] * x[1], a02 += x[0] * x[2];
    a11 += x[1] * x[1], a12 += x[1] * x[2], a22 += x[2] * x[2];
    b0 += g * x[0], b1 += g * x[1], b2 += g * x[2];
  }
  // The residual sum of squares, gg the samples' own.
  double residual(double gg) const {
    const cv::Matx33d A(a00, a01, a02, a01, a11, a12, a02, a12, a22);
    const cv::Vec3d b(b0, b1, b2);
    if (!(cv::determinant(A) > 1e-12)) return 1e300;
    const cv::Vec3d a = A.solve(b, cv::DECOMP_CHOLESKY);
    return gg - a.dot(b);
  }
};

// The gradient across n at s, well inside the image: both gradients read at one bilinear
// weighting, each as sampleBilinear reads it.
double gradientAcross(const cv::Mat& gx, const cv::Mat& gy, cv::Point2d s, cv::Point2d n) {
  const int x0 = static_cast<int>(std::floor(s.x)), y0 = static_cast<int>(std::floor(s.y));
  const double fx = s.x - x0, fy = s.y - y0;
  const float* x0r = gx.ptr<float>(y0);
  const float* x1r = gx.ptr<float>(y0 + 1);
  const float* y0r = gy.ptr<float>(y0);
  const float* y1r = gy.ptr<float>(y0 + 1);
  const double along = (1 - fy) * ((1 - fx) * x0r[x0] + fx * x0r[x0 + 1]) + fy * ((1 - fx) * x1r[x0] + fx * x1r[x0 + 1]);
  const double down = (1 - fy) * ((1 - fx) * y0r[x0] + fx * y0r[x0 + 1]) + fy * ((1 - fx) * y1r[x0] + fx * y1r[x0 + 1]);
  return along * n.x + down * n.y;
}

// The normal equations of the shifts j = first .. first + count - 1, each reading the sample at
// grid step s from cell s + j of the columns (by kind, along the grid): two neighbouring shifts
// read neighbouring cells, and are summed side by side in one register pair, each lane in the
// samples' order as BandNormals::add sums them.
void sumBandNormals(const std::array<const double*, 3>& columns, const BandProfile& p, int first, int count,
                    BandNormals* out) {
  typedef double Pair __attribute__((vector_size(16)));
  const auto load = [](const double* x) {
    Pair v;
    std::memcpy(&v, x, sizeof v);
    return v;
  };
  int k = 0;
  for (; k + 1 < count; k += 2) {
    Pair a00{}, a01{}, a02{}, a11{}, a12{}, a22{}, b0{}, b1{}, b2{};
    for (size_t sample = 0; sample < p.t.size(); ++sample) {
      const size_t m = static_cast<size_t>(p.step[sample] + first + k);
      const Pair x0 = load(columns[0] + m), x1 = load(columns[1] + m), x2 = load(columns[2] + m);
      const Pair g = {p.g[sample], p.g[sample]};
      a00 += x0 * x0, a01 += x0 * x1, a02 += x0 * x2;
      a11 += x1 * x1, a12 += x1 * x2, a22 += x2 * x2;
      b0 += g * x0, b1 += g * x1, b2 += g * x2;
    }
    for (int lane = 0; lane < 2; ++lane) {
      BandNormals& n = out[k + lane];
      n.a00 = a00[lane], n.a01 = a01[lane], n.a02 = a02[lane];
      n.a11 = a11[lane], n.a12 = a12[lane], n.a22 = a22[lane];
      n.b0 = b0[lane], n.b1 = b1[lane], n.b2 = b2[lane];
    }
  }
  for (; k < count; ++k) {
    BandNormals n;
    for (size_t sample = 0; sample < p.t.size(); ++sample) {
      const size_t m = static_cast<size_t>(p.step[sample] + first + k);
      const double x[3] = {columns[0][m], columns[1][m], columns[2][m]};
      n.add(x, p.g[sample]);
    }
    out[k] = n;
  }
}

// The band's shift along n from c within +-reach (px), or none where the model explains the
// samples poorly, its best shift lies at the end of the search (the band beyond it) or no
// gradient within reach of the outer edge is as strong as an edge of the board (minResponse).
// sides: the wires' sides (inner wire in, out, outer wire in, out) along n from c.
std::optional<double> locateBand(const cv::Mat& gx, const cv::Mat& gy, cv::Size size, cv::Point2d c, cv::Point2d n,
                                 const std::array<double, 4>& sides, double reach, double minResponse, bool& beyond) {
  beyond = false;
  // Samples about the two wires; between them a wide band's bed is flat and says nothing.
  BandProfile p;
  const double margin = reach + 2.5;
  const double lo0 = std::min(sides[0], sides[1]) - margin, hi0 = std::max(sides[0], sides[1]) + margin;
  const double lo1 = std::min(sides[2], sides[3]) - margin, hi1 = std::max(sides[2], sides[3]) + margin;
  const double from = std::min(lo0, lo1), to = std::max(hi0, hi1);
  const size_t most = static_cast<size_t>(std::max(0.0, (to - from) / 0.5)) + 2;
  p.t.reserve(most);
  p.g.reserve(most);
  p.step.reserve(most);
  for (double t = from; t <= to; t += 0.5) {
    if (!((t >= lo0 && t <= hi0) || (t >= lo1 && t <= hi1))) continue;
    const cv::Point2d s = c + t * n;
    if (!(s.x >= 2.0 && s.y >= 2.0 && s.x <= size.width - 3 && s.y <= size.height - 3)) return std::nullopt;
    p.t.push_back(t);
    p.g.push_back(gradientAcross(gx, gy, s, n));
    p.step.push_back(static_cast<int>(std::lround((t - from) / kBandStepPx)));
  }
  double strongest = 0.0;
  for (size_t i = 0; i < p.t.size(); ++i) {
    if (std::abs(p.t[i]) <= reach) strongest = std::max(strongest, std::abs(p.g[i]));
  }
  if (!(strongest >= minResponse)) return std::nullopt;
  double gg = 0.0;
  for (double v : p.g) gg += v * v;
  // Shifts a step apart under the middle blur, then under each blur the parabola through the
  // best of them and its neighbours. Samples and shifts lie on one grid: each side's blurred
  // step, and the columns it makes, are tabulated once per grid cell and blur.
  const int coarse = static_cast<int>(std::floor(reach / kBandStepPx));
  if (coarse == 0) return std::nullopt;
  const int cells = p.step.back() + 2 * coarse + 1;
  // The columns by kind, each along the grid: the shift i reads a sample at grid step s from
  // cell s + j, j = coarse - i, so the shifts read a sample's columns from consecutive cells.
  std::vector<double> columns(3 * static_cast<size_t>(cells));
  double* const column0 = columns.data();
  double* const column1 = column0 + cells;
  double* const column2 = column1 + cells;
  // The columns the shifts first .. first + count - 1 read: cells step + first onwards, count
  // of them, for each sample's step (between the two wires' windows no sample, no cell read).
  const auto tabulate = [&](double sigma, int first, int count) {
    const double k = 1.0 / (std::sqrt(2.0) * sigma);
    int done = -1;
    for (const int step : p.step) {
      for (int m = std::max(done + 1, step + first); m < step + first + count; ++m) {
        double e[4];
        for (size_t j = 0; j < 4; ++j) e[j] = gaussian((from + (m - coarse) * kBandStepPx - sides[j]) * k);
        column0[m] = e[0], column1[m] = e[2] - e[1], column2[m] = e[3];
      }
      done = std::max(done, step + first + count - 1);
    }
  };
  const std::array<const double*, 3> byKind{column0, column1, column2};
  const int shifts = 2 * coarse + 1;
  tabulate(kBandBlurPx[1], 0, shifts);
  std::vector<BandNormals> normals(static_cast<size_t>(shifts));
  sumBandNormals(byKind, p, 0, shifts, normals.data());
  std::vector<double> middleBlur(static_cast<size_t>(shifts));
  int bestI = 0;
  double best = 1e300;
  for (int i = -coarse; i <= coarse; ++i) {
    const double r = normals[static_cast<size_t>(coarse - i)].residual(gg);
    middleBlur[static_cast<size_t>(i + coarse)] = r;
    if (r < best) best = r, bestI = i;
  }
  // A best shift at the end of the search has its band beyond it.
  const double centre = bestI * kBandStepPx;
  if (std::abs(centre) > reach - kBandStepPx) {
    beyond = true;
    return std::nullopt;
  }
  double d = centre;
  best = 1e300;
  for (size_t blur = 0; blur < kBandBlurPx.size(); ++blur) {
    std::array<double, 3> around{};
    if (blur == 1) {
      for (int s = -1; s <= 1; ++s) around[static_cast<size_t>(s + 1)] = middleBlur[static_cast<size_t>(bestI + s + coarse)];
    } else {
      tabulate(kBandBlurPx[blur], coarse - bestI - 1, 3);
      // The shifts bestI + 1, bestI, bestI - 1 read from consecutive cells.
      std::array<BandNormals, 3> near;
      sumBandNormals(byKind, p, coarse - bestI - 1, 3, near.data());
      for (int s = -1; s <= 1; ++s) around[static_cast<size_t>(s + 1)] = near[static_cast<size_t>(1 - s)].residual(gg);
    }
    const double lo = around[0], mid = around[1], hi = around[2];
    const double curvature = lo - 2.0 * mid + hi;
    double offset = 0.0, r = std::min({lo, mid, hi});
    if (curvature > 1e-12) {
      offset = std::clamp(0.5 * (lo - hi) / curvature, -2.0, 2.0);
      r = mid - 0.25 * (lo - hi) * offset;
    } else if (lo < mid || hi < mid) {
      offset = lo < hi ? -1.0 : 1.0;
    }
    if (r < best) best = r, d = centre + offset * kBandStepPx;
  }
  if (!(best < kBandMaxUnexplained * gg)) return std::nullopt;
  return d;
}

bool wiresAgree(const json& judgement);

// Rings in view whose edges were found nowhere: they neither support nor contradict a camera.
bool ringsSilent(const json& judgement) {
  bool inView = false;
  for (size_t r = 0; r < judgement["ring_octants"].size(); ++r) {
    if (judgement["ring_octants_seen"][r].get<int>() > 0) return false;
    inView = inView || judgement["ring_octants"][r][0].get<int>() > 0;
  }
  return inView;
}

// The ring judgement of the board fit, with one exception: a single octant of a ring may
// disagree (a dart standing in the ring, glare) while at least three quarters of those in view
// support the camera.
// Octants where the ring's edge was not found at all (a faded stretch, low contrast) say
// nothing either way: three quarters of those where it shows must support the camera, and at
// least half of those in view.
bool ringsSupport(const json& judgement) {
  for (size_t r = 0; r < judgement["ring_octants"].size(); ++r) {
    const json& ring = judgement["ring_octants"][r];
    const int inView = ring[0].get<int>(), supporting = ring[1].get<int>(), contradicting = ring[2].get<int>();
    const int seen = judgement["ring_octants_seen"][r].get<int>();
    if (contradicting > 1 || 4 * supporting < 3 * seen || 2 * supporting < inView || (inView > 0 && supporting == 0)) {
      return false;
    }
  }
  return true;
}

// A camera the edges contradict: on a ring two octants or more whose edges were found and lie
// mostly off it, or wires found where a fifth of them or more disagree, or the wires missing
// where a ring shows the board's edges plainly (a camera turned off the wires: every bed
// changes colour at a wire, so a board whose rings show has its wires). Edges that are not
// found at all (a faded board, glare, low contrast) say nothing against it.
bool contradicted(const json& judgement) {
  bool aRingShows = false;
  for (const json& ring : judgement["ring_octants"]) {
    if (ring[2].get<int>() >= kContradictingOctants) return true;
    aRingShows = aRingShows || (ring[0].get<int>() > 0 && 2 * ring[1].get<int>() >= ring[0].get<int>());
  }
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  if (inView > 0 && found >= kFoundShare * inView && agreeing < kWireAgreeShare * found) return true;
  return aRingShows && agreeing < kWireSupportShare * inView;
}

// The start judged at the refined camera's distance: at most one ring octant against it (a
// dart, glare; unless the rings are not asked), the wires found along most of their length and
// nearly all of them on it (right cameras: 0.96 and more; cameras 1 to 4 px off the ring: 0.86
// and less).
bool wiresConfirm(const json& judgement, bool ringsAsked = true) {
  int contradicting = 0;
  for (const json& ring : judgement["ring_octants"]) contradicting += ring[2].get<int>();
  if (ringsAsked && contradicting > 1) return false;
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return inView > 0 && found >= kWireFoundShare * inView && agreeing >= kWireConfirmShare * found;
}

// A ring octant whose edges are fainter than the fit asks for says nothing (a soft board seen
// low shows half its ring edges so), and a start camera several pixels off over two or three
// octants, where its double ring lies on no edge the fit would take, passes as a right one
// does: seen 10 px off over three octants (3 px on average) with every octant that shows
// supporting it and its wires agreeing nearly all along, kept against its refinement. The
// fainter edges found there lie mostly off it (two octants of the double ring); a start
// stands on its own edges only where no ring has kContradictingOctants such octants.
bool fainterRingsAgree(const json& fainterJudgement) {
  for (const json& ring : fainterJudgement["ring_octants"]) {
    if (ring[2].get<int>() >= kContradictingOctants) return false;
  }
  return true;
}

// The share of the wire points found that agree with the camera.
double wireShare(const json& judgement) {
  const json& w = judgement["wire_points"];
  return static_cast<double>(w[2].get<int>()) / std::max(w[1].get<int>(), 1);
}

// A start its rings contradict lies off them somewhere; a refinement that corrects it finds
// the ring all round. One that leaves as many octants of a ring unsupported as supporting has
// slid the ring along its edges where they show and left it off where they do not (seen: the
// double ring 0.2 px off over half the board and 12 px off at its far side, supported by 4 of
// 8 octants, where the right camera's are 8 of 8).
bool ringsCorrected(const json& judgement) {
  for (const json& ring : judgement["ring_octants"]) {
    if (ring[0].get<int>() > 0 && !(2 * ring[1].get<int>() > ring[0].get<int>())) return false;
  }
  return true;
}

bool wiresAgree(const json& judgement) {
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return found > 0 && found >= kWireShownShare * inView && 2 * agreeing >= found;
}

}  // namespace

namespace {

// A narrow band's location about one edge point, the costly part of a collection; it depends
// on the camera, the band's strength and its reach only (not on the inner edges or the plain
// rings' strength), so collections about one camera share it.
struct BandLocation {
  bool located = false;  // computed
  bool beyond = false;
  std::optional<double> shift;
};

// Per edge point, kProjectedPerPoint board points: the point, half a mm across its edge, the
// bed's other edge and the band's wire sides (for a ring's outer edge).
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
  }
  return object;
}

// What collections about one camera share: the projected edge object points and the narrow
// bands' locations (empty until first computed).
struct CameraBands {
  std::vector<cv::Point2d> projected;
  std::vector<BandLocation> locations;
};

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
    const cv::Point2d c = projected[at], q = projected[at + 1], other = projected[at + 2];
    if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(q.x) || !std::isfinite(q.y)) continue;
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
    }
    m.board.push_back(b);
    m.image.emplace_back(static_cast<float>(image.x), static_cast<float>(image.y));
    m.normal.emplace_back(static_cast<float>(n.x), static_cast<float>(n.y));
    m.offsetPx.push_back(static_cast<float>(n.dot(image - c)));
    m.kind.push_back(p.kind);
    m.pxPerMm.push_back(static_cast<float>(length / 0.5));
  }
  return m;
}

// One image's gradients and the edges collected about the cameras a refinement visits: its
// rounds, its judgements and the follow-up refinements return to the same cameras (the start
// of one round is the camera the last judged), and a collection about a camera already seen is
// the same collection.
class EdgeSearch {
 public:
  explicit EdgeSearch(const cv::Mat& grey, bool wideBeds = false) : wideBeds_(wideBeds) {
    cv::Sobel(grey, gx_, CV_32F, 1, 0, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
    cv::Sobel(grey, gy_, CV_32F, 0, 1, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
  }

  std::shared_ptr<const CameraEdgeMatches> matches(const CameraEstimate& camera, bool innerEdges,
                                                   double ringMinResponse, bool wideBands = false) {
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

 private:
  // A refinement visits a dozen cameras, a follow-up a few refinements.
  static constexpr size_t kKept = 64;
  struct Collected {
    std::vector<double> key;
    bool innerEdges;
    double ringMinResponse;
    bool wideBands;
    std::shared_ptr<const CameraEdgeMatches> matches;
  };
  struct Seen {
    std::vector<double> key;
    double bandResponse;
    bool wideBands;
    CameraBands bands;
  };

  // The camera's every parameter, bit for bit: a camera is the same only where it projects
  // every point the same.
  static bool keyOf(const CameraEstimate& camera, std::vector<double>& key) {
    key = {static_cast<double>(camera.width), static_cast<double>(camera.height)};
    for (const cv::Mat* m : {&camera.K, &camera.dist, &camera.rvec, &camera.tvec}) {
      if (m->type() != CV_64F || !m->isContinuous()) return false;
      key.push_back(static_cast<double>(m->total()));
      key.insert(key.end(), m->ptr<double>(), m->ptr<double>() + m->total());
    }
    return true;
  }
  static bool sameKey(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
  }

  bool wideBeds_;
  cv::Mat gx_, gy_;
  std::deque<Collected> collected_;
  std::deque<Seen> cameras_;
};

}  // namespace

CameraEdgeMatches collectCameraEdgeMatches(const CameraEstimate& camera, const cv::Mat& gx, const cv::Mat& gy,
                                           bool innerEdges, double ringMinResponse, bool wideBands) {
  return collectEdges(camera, gx, gy, innerEdges, ringMinResponse, wideBands, nullptr);
}

json judgeCameraOnEdges(const CameraEdgeMatches& m, double agreePx, double outerMm, bool bandsBeyondDisagree) {
  std::vector<double> residuals;
  std::array<int, 8> octantCounts{};
  double sum = 0.0;
  std::array<std::array<int, 8>, 2> ringFound{}, ringAgreeing{};
  int wireFound = 0, wireAgreeing = 0;
  for (size_t i = 0; i < m.board.size(); ++i) {
    const double r = std::abs(m.offsetPx[i] - (m.kind[i] == 1 ? outerMm * m.pxPerMm[i] : 0.0));
    const size_t o = octantOf(m.board[i]);
    if (m.kind[i] < 2) {
      ++ringFound[static_cast<size_t>(m.kind[i])][o];
      ringAgreeing[static_cast<size_t>(m.kind[i])][o] += r <= kRingAgreeShare * agreePx ? 1 : 0;
    } else if (m.kind[i] == 2) {
      ++wireFound;
      wireAgreeing += r <= agreePx ? 1 : 0;
    }
    if (!(r < kInlierPx)) continue;
    residuals.push_back(r);
    sum += r * r;
    ++octantCounts[o];
  }
  int octants = 0;
  for (int c : octantCounts) octants += c >= 3 ? 1 : 0;
  const size_t n = residuals.size();
  std::sort(residuals.begin(), residuals.end());
  json ringOctants = json::array(), ringSeen = json::array();
  for (size_t ring = 0; ring < 2; ++ring) {
    int inView = 0, supporting = 0, contradicting = 0, seen = 0;
    for (size_t o = 0; o < 8; ++o) {
      const int expected = m.ringInView[ring][o];
      if (expected < kMinOctantPoints) continue;
      const double found = ringFound[ring][o], agreeing = ringAgreeing[ring][o];
      const bool beyond = bandsBeyondDisagree && m.ringBeyond[ring][o] >= kBeyondShare * expected;
      ++inView;
      supporting += agreeing >= kSupportShare * expected ? 1 : 0;
      contradicting += (found >= kFoundShare * expected && agreeing < 0.5 * found) || beyond ? 1 : 0;
      seen += found >= kFoundShare * expected || agreeing >= kSupportShare * expected ? 1 : 0;
    }
    ringOctants.push_back({inView, supporting, contradicting});
    ringSeen.push_back(seen);
  }
  const size_t matches = m.board.size();
  return json{{"matches", matches},
              {"inliers", n},
              {"inlier_fraction", matches == 0 ? 0.0 : static_cast<double>(n) / static_cast<double>(matches)},
              {"rms_px", n == 0 ? 99.0 : std::sqrt(sum / static_cast<double>(n))},
              {"p95_px", n == 0 ? 0.0 : residuals[std::min(static_cast<size_t>(0.95 * n), n - 1)]},
              {"octants", octants},
              {"ring_octants", ringOctants},
              {"ring_octants_seen", ringSeen},
              {"wire_points", {m.wireInView, wireFound, wireAgreeing}}};
}

namespace {

// Rounds of edge search and fit from the start; none (with the reason in the report) when the
// edges run out or the camera leaves the plausible range. With the beds' inner edges the
// double ring's edge offset (outerMm, in and out) is fitted as well: the wire at 170 mm has a
// bed on one side and the dark surround on the other, and its strongest edge lies off the
// wire's middle by up to a wire's width as blur and scale take it; the inner edges, wires
// between two beds, hold the board's scale meanwhile.
std::optional<CameraEstimate> fitInRounds(const CameraEstimate& start, EdgeSearch& search, bool innerEdges,
                                          bool freeOuter, double ringMinResponse, json& report, double& outerMm) {
  CameraEstimate current = cloneCameraEstimate(start);
  for (const double threshold : kRoundThresholds) {
    const std::shared_ptr<const CameraEdgeMatches> collected = search.matches(current, innerEdges, ringMinResponse, true);
    const CameraEdgeMatches& matches = *collected;
    if (matches.board.size() < kMinMatches) {
      report["stopped"] = "TOO_FEW_EDGE_MATCHES";
      return std::nullopt;
    }
    // Twice per round: the edges within the round's distance of the camera, then of the camera
    // fitted to them.
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<size_t> all(matches.board.size());
      for (size_t i = 0; i < all.size(); ++i) all[i] = i;
      const std::vector<double> r = edgeResiduals(current, matches, all, nullptr, outerMm);
      std::vector<size_t> use;
      for (size_t i = 0; i < r.size(); ++i) {
        if (std::abs(r[i]) < threshold) use.push_back(i);
      }
      if (use.size() < kMinMatches) {
        report["stopped"] = "TOO_FEW_EDGE_MATCHES";
        return std::nullopt;
      }
      double outer = outerMm;
      const bool intrinsics = use.size() >= kMinIntrinsicMatches;
      CameraEstimate fitted = fitToEdges(current, matches, use, {intrinsics, freeOuter}, outer);
      if (intrinsics && plausible(fitted) && fitted.dist.at<double>(0) > kMaxFittedK1) {
        CameraEstimate unbent = cloneCameraEstimate(current);
        if (!(unbent.dist.at<double>(0) <= kMaxFittedK1)) unbent.dist.at<double>(0) = 0.0;
        outer = outerMm;
        fitted = fitToEdges(unbent, matches, use, {true, freeOuter, false}, outer);
      }
      if (!plausible(fitted) || !(std::abs(outer) <= kMaxOuterOffsetMm)) {
        outer = outerMm;
        fitted = fitToEdges(current, matches, use, {false, false}, outer);
      }
      if (!plausible(fitted)) {
        report["stopped"] = "IMPLAUSIBLE_CAMERA";
        return std::nullopt;
      }
      current = std::move(fitted);
      outerMm = outer;
    }
  }
  return current;
}

// Whether the beds' inner edges lie where a regulation board has them (99 and 162 mm) for a
// camera fitted to the outer edges: on each ring enough of them found, their median within
// kInnerEdgeAgreeMm. Boards differ there (beds of 8 to 10 mm); the outer edges they share.
bool innerEdgesAgree(const CameraEstimate& camera, EdgeSearch& search, double ringMinResponse, json& report) {
  const std::shared_ptr<const CameraEdgeMatches> collected = search.matches(camera, true, ringMinResponse);
  const CameraEdgeMatches& m = *collected;
  std::array<std::vector<double>, 2> offsets;
  for (size_t i = 0; i < m.board.size(); ++i) {
    if (m.kind[i] != 3) continue;
    offsets[std::hypot(m.board[i].x, m.board[i].y) < 130.0 ? 0 : 1].push_back(m.offsetPx[i] / m.pxPerMm[i]);
  }
  json medians = json::array();
  bool agree = true;
  for (std::vector<double>& o : offsets) {
    if (o.size() < kMinInnerEdges) {
      medians.push_back(nullptr);
      agree = false;
      continue;
    }
    std::nth_element(o.begin(), o.begin() + static_cast<long>(o.size() / 2), o.end());
    const double median = o[o.size() / 2];
    medians.push_back(median);
    agree = agree && std::abs(median) <= kInnerEdgeAgreeMm;
  }
  report["inner_edge_median_mm"] = medians;
  return agree;
}

CameraEdgeFit refineOnEdges(const cv::Mat& grey, EdgeSearch& search, const CameraEstimate& start,
                            const std::vector<cv::Point2d>& crossings) {
  CameraEdgeFit out;
  out.camera = cloneCameraEstimate(start);
  std::shared_ptr<const CameraEdgeMatches> startMatches = search.matches(start, false, kEdgeMinResponse);
  double ringResponse = kEdgeMinResponse;
  if (ringsSilent(judgeCameraOnEdges(*startMatches, kStartAgreePx))) {
    ringResponse = kFaintRingMinResponse;
    startMatches = search.matches(start, false, ringResponse);
    out.report["faint_rings"] = true;
  }
  const json startJudgement = judgeCameraOnEdges(*startMatches, kStartAgreePx);
  out.contradicted = contradicted(startJudgement);
  out.report["start"] = startJudgement;
  const json startStrict = judgeCameraOnEdges(*startMatches, kAgreePx);
  const json startFaint = ringResponse > kFaintRingMinResponse
                              ? judgeCameraOnEdges(*search.matches(start, false, kFaintRingMinResponse), kAgreePx)
                              : startStrict;
  const bool faintRingsAgree = fainterRingsAgree(startFaint);
  out.report["start_faint"] = {{"ring_octants", startFaint["ring_octants"]}, {"ring_octants_seen", startFaint["ring_octants_seen"]}};
  out.wiresConfirm = !out.contradicted && wiresConfirm(startStrict) && faintRingsAgree;
  out.report["start_strict"] = {{"ring_octants", startStrict["ring_octants"]},
                                {"ring_octants_seen", startStrict["ring_octants_seen"]},
                                {"wire_points", startStrict["wire_points"]}};
  out.report["wires_confirm"] = out.wiresConfirm;
  out.startHeld = !out.contradicted && ringsSupport(startJudgement) && wiresConfirm(startStrict, false);
  out.report["start_held"] = out.startHeld;
  double outerMm = 0.0;
  std::optional<CameraEstimate> fitted = fitInRounds(start, search, false, false, ringResponse, out.report, outerMm);
  if (!fitted) return out;
  // A blurred bed's outer edge alone shows a little outside or inside its wire; the bed's
  // inner edge leans the other way, so with both the ring keeps its scale.
  const bool inner = innerEdgesAgree(*fitted, search, ringResponse, out.report);
  out.report["inner_edges"] = inner;
  if (inner) {
    const CameraEstimate outerFitted = cloneCameraEstimate(*fitted);
    fitted = fitInRounds(outerFitted, search, true, true, ringResponse, out.report, outerMm);
    if (!fitted) return out;
    // An offset of a few tenths is what the scale and the offset trade between them on the
    // inner edges' own scatter; only a double ring's edge plainly off its wire keeps one.
    if (std::abs(outerMm) < kMinOuterOffsetMm) {
      outerMm = 0.0;
      fitted = fitInRounds(outerFitted, search, true, false, ringResponse, out.report, outerMm);
      if (!fitted) return out;
    }
  }
  CameraEstimate current = std::move(*fitted);
  const json judgement = judgeCameraOnEdges(*search.matches(current, false, ringResponse), kAgreePx, outerMm, true);
  out.report["outer_edge_offset_mm"] = outerMm;
  const double shift = ringShiftPx(start, current);
  // The board fit's start, an ellipse on the rings, has no crossings and may lie farther off.
  const bool farFromCrossings = !crossings.empty() && shift > kFarShiftPx && wireShare(judgement) < kFollowedWireAgreeShare;
  const MatchScore before = scoreCameraEstimate(start, crossings, 0.25);
  const MatchScore after = scoreCameraEstimate(current, crossings, 0.25);
  for (const auto& [key, value] : judgement.items()) out.report[key] = value;
  out.report["shift_px"] = shift;
  if (farFromCrossings) out.report["far_from_crossings"] = true;
  out.report["crossings"] = {before.matches, after.matches};
  out.report["crossings_rms_px"] = {before.rmsPx, after.rmsPx};
  out.supported = isFitAcceptable(judgement) && ringsSupport(judgement) && wiresAgree(judgement) &&
                  (!out.contradicted || ringsCorrected(judgement)) && shift <= kMaxShiftPx && !farFromCrossings &&
                  after.matches >= kKeptCrossingShare * before.matches &&
                  !(after.rmsPx * after.rmsPx >
                    before.rmsPx * before.rmsPx +
                        std::max(kMaxCrossingRmsGainPx2, kMaxCrossingRmsGainShare * before.rmsPx * before.rmsPx));
  out.fitted = cloneCameraEstimate(current);
  if (out.supported) out.camera = std::move(current);
  out.wireAgreement = wireShare(judgement);
  // The refinement weighs the rings' many edge points against the wires' few; where it has
  // traded the wires for the rings and the start's own edges support the start, the start stands.
  const double startWires = wireShare(startStrict), refinedWires = wireShare(judgement);
  if (!out.contradicted && faintRingsAgree && startWires >= kStartWireShare && refinedWires < startWires - kRefinedWireLoss &&
      isFitAcceptable(startStrict) && ringsSupport(startStrict) && wiresAgree(startStrict)) {
    out.supported = true;
    out.camera = cloneCameraEstimate(start);
    out.wireAgreement = startWires;
    out.report["start_kept"] = true;
  }
  if (doubleBandMissing(grey, out.supported ? out.camera : current, out.report)) {
    out.supported = false;
    out.camera = cloneCameraEstimate(start);
    out.report["double_band_missing"] = true;
  }
  out.report["supported"] = out.supported;
  return out;
}

CameraEdgeFit followOnEdges(const cv::Mat& grey, EdgeSearch& search, const CameraEstimate& start,
                            const std::vector<cv::Point2d>& crossings, int calls) {
  CameraEdgeFit first = refineOnEdges(grey, search, start, crossings);
  if (first.supported || !first.fitted) return first;
  const MatchScore startScore = scoreCameraEstimate(start, crossings, 0.25);
  CameraEstimate current = cloneCameraEstimate(*first.fitted);
  for (int call = 1; call < calls; ++call) {
    CameraEdgeFit next = refineOnEdges(grey, search, current, crossings);
    if (!next.fitted) break;
    const double shift = ringShiftPx(start, *next.fitted);
    // Beyond twice one refinement's reach the edges have led the camera to some other edge.
    if (!(shift <= 2.0 * kMaxShiftPx)) break;
    if (next.supported) {
      const MatchScore after = scoreCameraEstimate(next.camera, crossings, 0.25);
      first.report["followed"] = {{"calls", call + 1}, {"shift_px", shift}, {"crossings", {startScore.matches, after.matches}},
                                  {"supported", next.report}};
      // The rings can hold a camera a bed's width off; the wires, crossing every bed, cannot.
      const json& wires = next.report["wire_points"];
      if (!(wires[2].get<int>() >= kFollowedWireAgreeShare * wires[1].get<int>())) break;
      // The crossings' judgement of the one refinement, against the start they were fitted
      // to: as many kept, their mean square raised no more.
      const double kept = wireShare(next.report) >= kWireConfirmShare ? kWireHeldKeptCrossingShare : kKeptCrossingShare;
      if (!(after.matches >= kept * startScore.matches) ||
          after.rmsPx * after.rmsPx > startScore.rmsPx * startScore.rmsPx +
                                          std::max(kMaxCrossingRmsGainPx2, kFollowedRmsGainShare * startScore.rmsPx * startScore.rmsPx)) {
        break;
      }
      // A camera the edges were followed to must stay there: one more refinement from it
      // supports it and hardly moves it. Narrow beds seen low can hold a camera a ring's
      // width off for one refinement, never for the next.
      const CameraEdgeFit again = refineOnEdges(grey, search, next.camera, crossings);
      const double settled = again.fitted ? ringShiftPx(next.camera, *again.fitted) : 1e9;
      first.report["followed"]["settled_px"] = settled;
      if (!again.supported || !(settled <= kSettledShiftPx)) break;
      first.supported = true;
      first.wireAgreement = next.wireAgreement;
      first.camera = cloneCameraEstimate(next.camera);
      first.fitted = std::move(next.fitted);
      return first;
    }
    // A refinement that no longer moves the camera will not move it in the next call either.
    if (!(ringShiftPx(current, *next.fitted) > 0.05)) break;
    current = cloneCameraEstimate(*next.fitted);
  }
  return first;
}

// A start whose wires lie on it nearly all along (found along most of their length) while
// the rings with regulation beds leave it unsupported may see a board with 10 mm beds: the
// edges are looked at once more with those. Only such a start: the wires hold its turn and
// centre, and a camera the wires do not place gains nothing from other beds.
bool mayShowWideBeds(const CameraEdgeFit& regulation) {
  if (regulation.supported || !regulation.report.contains("start_strict")) return false;
  const json& w = regulation.report["start_strict"].value("wire_points", json());
  if (!w.is_array() || w.size() < 3) return false;
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return inView > 0 && found >= kWireFoundShare * inView && agreeing >= kStartWireShare * found;
}

// The regulation beds' refinement, or where it leaves a start the wires place unsupported and
// the edges with 10 mm beds support it, that one, where those beds explain the edges plainly
// better: on boards with 10 mm beds the edges lay 0.31 to 0.49 px (rms) from the camera fitted
// with them against 0.70 to 1.08 px with regulation beds; on a regulation board a camera 1 px
// off was supported with 10 mm beds at 0.72 px against 0.75 px.
constexpr double kWideBedRmsShare = 0.7;
template <typename Refine>
CameraEdgeFit withEitherBeds(const cv::Mat& grey, const Refine& refine) {
  EdgeSearch search(grey);
  CameraEdgeFit regulation = refine(search);
  if (!mayShowWideBeds(regulation)) return regulation;
  EdgeSearch wide(grey, true);
  CameraEdgeFit wideFit = refine(wide);
  const double regulationRms = regulation.report.value("rms_px", 99.0), wideRms = wideFit.report.value("rms_px", 99.0);
  if (!wideFit.supported || !(wideRms <= kWideBedRmsShare * regulationRms)) return regulation;
  wideFit.report["bed_mm"] = kWideBedMm;
  return wideFit;
}

}  // namespace

CameraEdgeFit refineCameraByEdges(const cv::Mat& grey, const CameraEstimate& start,
                                  const std::vector<cv::Point2d>& crossings) {
  return withEitherBeds(grey, [&](EdgeSearch& search) { return refineOnEdges(grey, search, start, crossings); });
}

CameraEdgeFit followCameraByEdges(const cv::Mat& grey, const CameraEstimate& start,
                                  const std::vector<cv::Point2d>& crossings, int calls) {
  return withEitherBeds(grey, [&](EdgeSearch& search) { return followOnEdges(grey, search, start, crossings, calls); });
}

}  // namespace tarv
