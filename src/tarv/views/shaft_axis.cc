#include "tarv/views/shaft_axis.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/board/axis_candidate.h"
#include "tarv/board/axis_intersection.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/process_switches.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kSpeckPixels = 6;
// Thin parts of a dart (point 2.2 mm, barrel about 7 mm, shaft 4 mm) stay below this width;
// a flight seen across is wider.
constexpr double kThinWidthMm = 11.0;
constexpr double kSearchHalfWidthMm = 25.0;
constexpr int kMinThinSections = 6;
// A cross-section's edge is placed at half of the contrast found this far inside it.
constexpr double kEdgeContrastDepthPx = 1.0;
constexpr double kMinSpanMm = 20.0;
// A fit whose last pass turned its line by more than this has not settled (see fitShaft).
constexpr double kSettledTurnDeg = 2.0;
constexpr int kSettlingPasses = 3;
constexpr int kSettlingSections = 3 * kMinThinSections;
// The tip's edge search (see measureDifferenceTerminal), in pixels along the axis from the
// support's end: where it starts inside the dart, how far beyond it may go, the longest gap in
// the change it crosses (a bed edge's blend that matches the steel), and how deep inside the
// last trace (change at the change level) the contrast the edge is half of is taken.
constexpr double kTipStartPx = 2.0;
constexpr double kTipReachPx = 6.0;
constexpr double kTipGapPx = 1.0;
constexpr double kTipEdgeDepthPx = 2.0;

// Read hundreds of times per section: inlined into the profile loops.
[[gnu::always_inline]] inline float sampleAt(const cv::Mat& image, double x, double y) {
  if (x < 0 || y < 0 || x > image.cols - 1 || y > image.rows - 1) return 0.f;
  const int x0 = static_cast<int>(x);
  const int y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, image.cols - 1);
  const int y1 = std::min(y0 + 1, image.rows - 1);
  const double fx = x - x0;
  const double fy = y - y0;
  const uchar* r0 = image.ptr<uchar>(y0);
  const uchar* r1 = image.ptr<uchar>(y1);
  return static_cast<float>((r0[x0] * (1 - fx) + r0[x1] * fx) * (1 - fy) +
                            (r1[x0] * (1 - fx) + r1[x1] * fx) * fy);
}

struct Line2 {
  cv::Point2d origin;
  cv::Point2d direction;  // unit
  cv::Point2d normal() const { return {-direction.y, direction.x}; }
  double along(cv::Point2d p) const { return (p - origin).dot(direction); }
  double across(cv::Point2d p) const { return (p - origin).dot(normal()); }
  cv::Point2d at(double t, double e = 0.0) const { return origin + direction * t + normal() * e; }
};

// Principal axis of a point cloud.
Line2 principalAxis(const std::vector<cv::Point2d>& points) {
  cv::Point2d mean(0, 0);
  for (const auto& p : points) mean += p;
  mean *= 1.0 / points.size();
  double sxx = 0, sxy = 0, syy = 0;
  for (const auto& p : points) {
    const cv::Point2d d = p - mean;
    sxx += d.x * d.x;
    sxy += d.x * d.y;
    syy += d.y * d.y;
  }
  const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
  return {mean, {std::cos(angle), std::sin(angle)}};
}

struct Piece {
  std::vector<cv::Point2d> pixels;
  Line2 axis;               // its own principal axis
  double elongation = 1.0;  // spread along over spread across
};

Piece makePiece(std::vector<cv::Point2d> pixels) {
  Piece piece;
  piece.axis = principalAxis(pixels);
  double along = 0.0, across = 0.0;
  for (const auto& p : pixels) {
    along += std::pow(piece.axis.along(p), 2);
    across += std::pow(piece.axis.across(p), 2);
  }
  piece.elongation = std::sqrt(along / std::max(across, 1e-6));
  piece.pixels = std::move(pixels);
  return piece;
}

// Pixels of the pieces that a candidate line explains: centre within the band and, for an
// elongated piece, its own axis along the line.
double explained(const Line2& line, const std::vector<Piece>& pieces, double bandPx,
                 std::vector<uchar>* chosen) {
  double pixels = 0.0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    bool fits = std::abs(line.across(piece.axis.origin)) <= bandPx;
    if (fits && piece.elongation >= 3.0 && piece.pixels.size() >= 20) {
      fits = std::abs(piece.axis.direction.dot(line.direction)) >= std::cos(12.0 * CV_PI / 180.0);
    }
    if (chosen) (*chosen)[i] = fits;
    if (fits) pixels += static_cast<double>(piece.pixels.size());
  }
  return pixels;
}

// The dart's pixels. A dart's change often falls apart (a black shaft over a black bed barely
// changes), so the pieces that lie along one line are gathered: candidate lines are the axes
// of elongated pieces and the lines through two pieces' centres, and the line that explains
// the most changed pixels wins.
std::vector<cv::Point2d> dartPixels(const ChangePieces& labelled, double bandPx) {
  const cv::Mat& labels = labelled.labels;
  const cv::Mat& stats = labelled.stats;
  std::vector<std::vector<cv::Point2d>> grouped(labelled.count);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] > 0 && labelled.keeps(l[x]) && stats.at<int>(l[x], cv::CC_STAT_AREA) >= kSpeckPixels) {
        grouped[l[x]].emplace_back(x, y);
      }
    }
  }
  std::vector<Piece> pieces;
  for (auto& pixels : grouped) {
    if (!pixels.empty()) pieces.push_back(makePiece(std::move(pixels)));
  }
  if (pieces.empty()) return {};
  std::sort(pieces.begin(), pieces.end(),
            [](const Piece& a, const Piece& b) { return a.pixels.size() > b.pixels.size(); });
  if (pieces.size() > 12) pieces.resize(12);

  std::vector<Line2> candidates;
  for (const Piece& piece : pieces) {
    if (piece.elongation >= 3.0 && piece.pixels.size() >= 20) candidates.push_back(piece.axis);
  }
  const size_t top = std::min<size_t>(pieces.size(), 6);
  for (size_t i = 0; i < top; ++i) {
    for (size_t j = i + 1; j < top; ++j) {
      const cv::Point2d d = pieces[j].axis.origin - pieces[i].axis.origin;
      if (cv::norm(d) > 1.0) candidates.push_back({pieces[i].axis.origin, d / cv::norm(d)});
    }
  }
  if (candidates.empty()) candidates.push_back(pieces[0].axis);

  std::vector<uchar> chosen(pieces.size(), 0);
  double best = -1.0;
  for (const Line2& line : candidates) {
    const double score = explained(line, pieces, bandPx, nullptr);
    if (score > best) {
      best = score;
      explained(line, pieces, bandPx, &chosen);
    }
  }
  std::vector<cv::Point2d> points;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (chosen[i]) points.insert(points.end(), pieces[i].pixels.begin(), pieces[i].pixels.end());
  }
  return points;
}

struct Section {
  double t = 0.0;
  double centre = 0.0;  // across the line
  double width = 0.0;
};

// Cross-sections of the difference image every pixel along the line: the run above the level
// nearest the line, with its edges at half the run's peak. A section reads only the samples
// from the line out to its run and one beyond: across a thin dart that is a small part of
// the search window, so each sample is taken when first asked for.
std::vector<Section> crossSections(const cv::Mat& difference, const Line2& line, double tFrom,
                                   double tTo, double halfWidthPx, double level) {
  std::vector<Section> sections;
  const double step = 0.5;
  const int n = static_cast<int>(2 * halfWidthPx / step) + 1;
  std::vector<float> samples(n);
  std::vector<uchar> taken(n);
  // A seed farther from the line than this is rejected: the search needs go no farther.
  const double farthestSeed = halfWidthPx * 0.5;
  for (double t = tFrom; t <= tTo; t += 1.0) {
    std::fill(taken.begin(), taken.end(), 0);
    const auto profile = [&](int k) {
      if (!taken[k]) {
        const cv::Point2d p = line.at(t, -halfWidthPx + k * step);
        samples[k] = sampleAt(difference, p.x, p.y);
        taken[k] = 1;
      }
      return samples[k];
    };
    // The sample above the level nearest the line.
    int seed = -1;
    for (int d = 0; d <= n / 2 && seed < 0 && d * step <= farthestSeed; ++d) {
      for (int k : {n / 2 - d, n / 2 + d}) {
        if (k >= 0 && k < n && profile(k) >= level) {
          seed = k;
          break;
        }
      }
    }
    if (seed < 0 || std::abs(seed - n / 2) * step > farthestSeed) continue;
    int lo = seed, hi = seed;
    while (lo > 0 && profile(lo - 1) >= level) --lo;
    while (hi < n - 1 && profile(hi + 1) >= level) ++hi;
    if (lo == 0 || hi == n - 1) continue;  // runs off the search window: not a thin part
    // Each edge at half of its own contrast just inside it. A lit side and a shaded side of
    // the same shaft differ from the bed by very different amounts; half of the section's
    // peak would fall inside the weaker side's edge and pull the centre towards the stronger.
    const int depth = static_cast<int>(std::ceil(kEdgeContrastDepthPx / step));
    const float floorLevel = 0.5f * static_cast<float>(level);
    const auto edge = [&](int end, int inward) {
      float local = 0.f;
      for (int j = 0, k = end; j <= depth && k >= lo && k <= hi; ++j, k += inward) local = std::max(local, profile(k));
      const float half = std::max(floorLevel, 0.5f * local);
      int inside = end;
      while (profile(inside) < half && inside + inward >= lo && inside + inward <= hi) inside += inward;
      // Below the change level the edge is looked for no farther out than an edge's blend.
      for (int j = 0; j < 2 * depth && inside - inward > 0 && inside - inward < n - 1 && profile(inside - inward) >= half; ++j) {
        inside -= inward;
      }
      const int outside = inside - inward;
      const double a = profile(outside), b = profile(inside);
      const double f = b > a ? (half - a) / (b - a) : 0.5;
      return (outside + f * (inside - outside)) * step - halfWidthPx;
    };
    const double left = edge(lo, 1);
    const double right = edge(hi, -1);
    sections.push_back({t, 0.5 * (left + right), right - left});
  }
  return sections;
}

// The sections between the tip and the flight: a flight is wide and need not be centred on
// the axis, so the line is carried by what lies before the first run of wide sections. When
// too little is left (a point and barrel that barely differ from their bed), all sections.
std::vector<Section> tipSide(const std::vector<Section>& sections, double thinWidthPx) {
  std::vector<Section> before;
  int wideRun = 0;
  for (const Section& s : sections) {
    wideRun = s.width > thinWidthPx ? wideRun + 1 : 0;
    if (wideRun >= 3) break;
    before.push_back(s);
  }
  int thin = 0;
  for (const Section& s : before) thin += s.width <= thinWidthPx;
  return thin >= kMinThinSections ? before : sections;
}

std::optional<Line2> fitThinSections(const Line2& line, const std::vector<Section>& sections,
                                     double thinWidthPx, int* used, double* rms) {
  std::vector<cv::Point2f> centres;
  for (const Section& s : sections) {
    if (s.width <= thinWidthPx) centres.push_back(line.at(s.t, s.centre));
  }
  if (static_cast<int>(centres.size()) < kMinThinSections) return std::nullopt;
  cv::Vec4f fitted;
  cv::fitLine(centres, fitted, cv::DIST_HUBER, 0, 0.01, 0.01);
  Line2 result{{fitted[2], fitted[3]}, {fitted[0], fitted[1]}};
  if (result.direction.dot(line.direction) < 0) result.direction = -result.direction;
  double sum = 0.0;
  for (const auto& c : centres) sum += std::pow(result.across(c), 2);
  *used = static_cast<int>(centres.size());
  *rms = std::sqrt(sum / centres.size());
  return result;
}

// Axis hypotheses of the change's pieces that the dart's own axis does not explain (a second
// dart, a flight knocked loose): each elongated piece of dart size on its own line. The tip
// solver's three-view test weighs them against the other cameras.
constexpr int kMaxExtraAxes = 7;
constexpr double kExplainedBandMm = 5.0;

json otherAxisHypotheses(const ShaftView& view, const std::optional<Line2>& mainAxis, const ChangePieces& labelled) {
  json hypotheses = json::array();
  if (view.changeMask.empty()) return hypotheses;
  const cv::Point2d offset(view.offset.x, view.offset.y);
  const double band = kExplainedBandMm * pixelsPerMm(cropHomography(view.boardToImage, offset), {0.0, 0.0});
  const cv::Mat& labels = labelled.labels;
  const cv::Mat& stats = labelled.stats;
  const cv::Mat& centroids = labelled.centroids;
  const int count = labelled.count;
  std::vector<std::vector<Point2>> pieces(count);
  for (int label = 1; label < count; ++label) {
    if (!labelled.keeps(label) || stats.at<int>(label, cv::CC_STAT_AREA) < view.minPixels) continue;
    if (mainAxis) {
      const cv::Point2d centre(centroids.at<double>(label, 0) + offset.x, centroids.at<double>(label, 1) + offset.y);
      if (std::abs(mainAxis->across(centre)) <= band) continue;
    }
    pieces[label].reserve(stats.at<int>(label, cv::CC_STAT_AREA));
  }
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] > 0 && pieces[l[x]].capacity() > 0) pieces[l[x]].push_back({x + offset.x, y + offset.y});
    }
  }
  for (const auto& piece : pieces) {
    if (piece.empty() || static_cast<int>(hypotheses.size()) >= kMaxExtraAxes) continue;
    json axis = fitAxisCandidate(piece);
    if (axis.is_null()) continue;
    axis["axis_valid"] = true;
    hypotheses.push_back(std::move(axis));
  }
  return hypotheses;
}

}  // namespace

double pixelsPerMm(const Homography& h, Point2 p) {
  const Point2 a = applyHomography(h, p);
  const Point2 bx = applyHomography(h, {p.x + 1.0, p.y});
  const Point2 by = applyHomography(h, {p.x, p.y + 1.0});
  return std::sqrt(std::hypot(bx.x - a.x, bx.y - a.y) * std::hypot(by.x - a.x, by.y - a.y));
}

Point2 imageToBoard(const Homography& h, cv::Point2d pixel) {
  const cv::Matx33d H(h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]);
  const cv::Matx33d inverse = H.inv();
  Homography hi;
  for (int i = 0; i < 9; ++i) hi[i] = inverse.val[i];
  return applyHomography(hi, {pixel.x, pixel.y});
}

double measureDifferenceTerminal(const cv::Mat& difference, cv::Point2d origin, cv::Point2d direction,
                                 double tEnd, double level) {
  processSwitches().measuredSearches.fetch_add(1);
  const Line2 line{origin, direction};
  const auto onAxis = [&](double t) {
    float sum = 0.f;
    for (double e : {-0.5, 0.0, 0.5}) {
      const cv::Point2d p = line.at(t, e);
      sum += sampleAt(difference, p.x, p.y);
    }
    return sum / 3.f;
  };
  // The point's change is not one plateau: the steel tapers to its end, and its contrast
  // follows the bed behind it (weak over a black bed, nearly none where a bed edge's blend
  // matches the steel). Half of the contrast well inside the support lands in the taper or at
  // such a blend, short of the end. So the walk first follows the change outward, across short
  // gaps, to its last trace, then places the edge at half of the contrast just inside there.
  const double step = 0.25;
  const float trace = static_cast<float>(level);
  double last = tEnd + kTipStartPx;
  bool seen = false;
  double gap = 0.0;
  for (double t = tEnd + kTipStartPx; t >= tEnd - kTipReachPx; t -= step) {
    if (onAxis(t) >= trace) {
      last = t;
      seen = true;
      gap = 0.0;
    } else if ((gap += step) > kTipGapPx && seen) {
      break;
    }
  }
  float local = 0.f;
  double peakT = last;
  for (double t = last; t <= last + kTipEdgeDepthPx; t += step) {
    const float here = onAxis(t);
    if (here > local) {
      local = here;
      peakT = t;
    }
  }
  const float half = std::max(trace, 0.5f * local);
  for (double t = peakT; t >= last - step; t -= step) {
    const float here = onAxis(t);
    if (here < half) {
      const float before = onAxis(t + step);
      const double f = before > here ? (before - half) / (before - here) : 0.5;
      return t + step - step * f;
    }
  }
  return last;
}

cv::Mat colourDifference(const cv::Mat& frame, const cv::Mat& background) {
  cv::Mat difference;
  cv::absdiff(frame, background, difference);
  if (difference.channels() == 1) return difference;
  std::vector<cv::Mat> channels;
  cv::split(difference, channels);
  cv::Mat largest = cv::max(channels[0], channels[1]);
  return cv::max(largest, channels[2]);
}

cv::Mat dartChangeMask(const cv::Mat& difference, double level) {
  double largest = 0.0;
  cv::minMaxLoc(difference, nullptr, &largest);
  // The median never raises a pixel: nothing above the level stays nothing.
  if (largest <= level) return cv::Mat::zeros(difference.size(), CV_8UC1);
  return medianAboveMask(difference, level, 3);
}

cv::Mat viewDifference(const ShaftView& view) {
  return view.difference.empty() ? colourDifference(view.frame, view.background) : view.difference;
}

ChangePieces labelChangePieces(const cv::Mat& mask) {
  ChangePieces pieces;
  if (!mask.empty()) {
    pieces.count = cv::connectedComponentsWithStats(mask, pieces.labels, pieces.stats, pieces.centroids, 8, CV_32S);
  }
  return pieces;
}

std::optional<ShaftFit> fitShaft(const ShaftView& view) {
  if (view.changeMask.empty() || cv::countNonZero(view.changeMask) < view.minPixels) return std::nullopt;
  return fitShaft(view, labelChangePieces(view.changeMask));
}

std::optional<ShaftFit> fitShaft(const ShaftView& view, const ChangePieces& labelled) {
  if (view.changeMask.empty() || cv::countNonZero(view.changeMask) < view.minPixels) return std::nullopt;
  const cv::Point2d offset(view.offset.x, view.offset.y);
  const Homography boardToCrop = cropHomography(view.boardToImage, offset);
  const double ppm = pixelsPerMm(boardToCrop, {0.0, 0.0});
  if (!std::isfinite(ppm) || ppm <= 0.0) return std::nullopt;

  const std::vector<cv::Point2d> pixels = dartPixels(labelled, 5.0 * ppm);
  if (static_cast<int>(pixels.size()) < view.minPixels) return std::nullopt;
  Line2 line = principalAxis(pixels);

  // The tip touches the board and the dart comes out towards the camera: going from tip to
  // flight moves away from where board normals converge. Without that point, the end nearer
  // the bull is the tip. The line is directed from the tip towards the flight.
  const Point2 bull = applyHomography(boardToCrop, {0.0, 0.0});
  const cv::Point2d reference = view.normalPoint ? *view.normalPoint - offset : cv::Point2d(bull.x, bull.y);
  {
    double lo = 1e300, hi = -1e300;
    for (const auto& p : pixels) {
      lo = std::min(lo, line.along(p));
      hi = std::max(hi, line.along(p));
    }
    if (cv::norm(line.at(hi) - reference) < cv::norm(line.at(lo) - reference)) line.direction = -line.direction;
  }
  double tMin = 1e300, tMax = -1e300;
  for (const auto& p : pixels) {
    tMin = std::min(tMin, line.along(p));
    tMax = std::max(tMax, line.along(p));
  }

  const cv::Mat difference = viewDifference(view);
  const double halfWidth = kSearchHalfWidthMm * ppm;
  const double thinWidth = kThinWidthMm * ppm;
  int used = 0;
  double rms = 0.0;
  std::vector<Section> sections;
  double lastTurn = 0.0;  // sine of the angle the last pass turned the line by
  for (int pass = 0; pass < 3; ++pass) {
    sections = crossSections(difference, line, tMin - 2.0, tMax + 2.0, halfWidth, view.level);
    const auto fitted = fitThinSections(line, tipSide(sections, thinWidth), thinWidth, &used, &rms);
    if (!fitted) return std::nullopt;
    lastTurn = std::abs(fitted->direction.x * line.direction.y - fitted->direction.y * line.direction.x);
    // Re-anchor at the point nearest the old origin so the support range stays valid.
    line = Line2{fitted->at(fitted->along(line.origin)), fitted->direction};
  }
  // A line carried by a few thin sections that still turned in its last pass was fitted to
  // sections taken across another line: where two darts' pieces mingle, a few thin sections at
  // one's edge can lead it obliquely across the other's. It stands only if further passes
  // settle it, each at least halving the turn as a fit on the dart's own thin part does. A
  // line on many sections stays as it is: it is carried however it turns.
  const double settled = std::sin(kSettledTurnDeg * CV_PI / 180.0);
  Line2 probe = line;
  for (int pass = 0; used < kSettlingSections && lastTurn > settled; ++pass) {
    if (pass == kSettlingPasses) return std::nullopt;
    int check = 0;
    double checkRms = 0.0;
    const auto again = crossSections(difference, probe, tMin - 2.0, tMax + 2.0, halfWidth, view.level);
    const auto fitted = fitThinSections(probe, tipSide(again, thinWidth), thinWidth, &check, &checkRms);
    if (!fitted) return std::nullopt;
    const double turn = std::abs(fitted->direction.x * probe.direction.y - fitted->direction.y * probe.direction.x);
    if (turn > settled && turn > 0.5 * lastTurn) return std::nullopt;
    lastTurn = turn;
    probe = Line2{fitted->at(fitted->along(probe.origin)), fitted->direction};
  }
  if (sections.empty()) return std::nullopt;
  const double lo = sections.front().t;
  const double hi = sections.back().t;
  if (hi - lo < kMinSpanMm * ppm) return std::nullopt;
  const double tipT = measureDifferenceTerminal(difference, line.origin, line.direction, lo, view.level);

  ShaftFit fit;
  fit.origin = line.origin + offset;
  fit.direction = line.direction;
  fit.tip = line.at(tipT) + offset;
  fit.tail = line.at(hi) + offset;
  fit.residualPx = rms;
  fit.spanPx = hi - tipT;
  fit.sections = used;
  fit.pixels = static_cast<int>(pixels.size());
  return fit;
}

cv::Point2d tipOverStoredChange(const cv::Mat& change, const cv::Mat& stored, cv::Point2d tip,
                                cv::Point2d outward, int reachPx) {
  if (change.empty() || stored.size() != change.size() || !(cv::norm(outward) > 0.5)) return tip;
  const cv::Point2d across(-outward.y, outward.x);
  const auto setAt = [](const cv::Mat& mask, cv::Point2d p) {
    const cv::Point q(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
    return q.x >= 0 && q.y >= 0 && q.x < mask.cols && q.y < mask.rows && mask.at<uchar>(q) != 0;
  };
  bool crossed = false;
  int farthest = 0;
  for (int k = 1; k <= reachPx; ++k) {
    const cv::Point2d p = tip + k * outward;
    const bool onStored = setAt(stored, p);
    const bool changed = setAt(change, p) || setAt(change, p + across) || setAt(change, p - across);
    if (!onStored && !changed) break;
    crossed = crossed || onStored;
    if (changed && crossed) farthest = k;
  }
  if (farthest == 0) return tip;
  // The last changed pixel's centre lies half a pixel inside the dart's end.
  return tip + (farthest + 0.5) * outward;
}

json estimateShaftAxis(const ShaftView& view) {
  const ChangePieces pieces = labelChangePieces(view.changeMask);
  return shaftRecord(view, fitShaft(view, pieces), pieces);
}

json shaftRecord(const ShaftView& view, const std::optional<ShaftFit>& fit) {
  return shaftRecord(view, fit, labelChangePieces(view.changeMask));
}

json shaftRecord(const ShaftView& view, const std::optional<ShaftFit>& fit, const ChangePieces& pieces) {
  json abstain = {{"abstention", true}, {"tip_valid", false}, {"axis_valid", false},
                  {"point", {0.0, 0.0}}, {"field", "MISS"}};
  if (!fit) {
    return {{"observations", otherAxisHypotheses(view, std::nullopt, pieces)}, {"votes", {abstain}}, {"pixels", 0}};
  }

  cv::Point2d d = fit->direction;
  if (d.y < 0 || (d.y == 0 && d.x < 0)) d = -d;
  const json observation = {
      {"status", "AXIS_CANDIDATE"},
      {"origin_px", {fit->tip.x, fit->tip.y}},
      {"direction_xy", {d.x, d.y}},
      {"axis_valid", true},
      {"tip_px", {roundTo(fit->tip.x, 2), roundTo(fit->tip.y, 2)}},
      {"support_endpoints_px", {{roundTo(fit->tip.x, 2), roundTo(fit->tip.y, 2)},
                                {roundTo(fit->tail.x, 2), roundTo(fit->tail.y, 2)}}},
      {"support_span_px", roundTo(fit->spanPx, 2)},
      {"center_residual_rms_px", roundTo(fit->residualPx, 2)},
      {"narrow_sections", fit->sections},
      {"direction_resolved", true}};

  const Point2 tip = imageToBoard(view.boardToImage, fit->tip);
  const double ppm = pixelsPerMm(view.boardToImage, tip);
  const Line imageLine = {-d.y, d.x, d.y * fit->tip.x - d.x * fit->tip.y};
  const auto boardLine = boardLineFromImageLine(imageLine, view.boardToImage);
  const double pixelError = std::max(0.25, fit->residualPx);
  json vote = {{"abstention", false},
               {"tip_valid", std::isfinite(tip.x) && std::isfinite(tip.y)},
               {"axis_valid", boardLine.has_value()},
               {"axis_index", 0},
               {"point", {tip.x, tip.y}},
               {"image_point", {fit->tip.x, fit->tip.y}},
               {"pixel_error", roundTo(pixelError, 2)},
               {"error_mm", roundToThousandths(pixelError / ppm)},
               {"field", nominalField(tip)}};
  if (boardLine) vote["line"] = {(*boardLine)[0], (*boardLine)[1], (*boardLine)[2]};
  json observations = otherAxisHypotheses(view, Line2{fit->origin, fit->direction}, pieces);
  observations.insert(observations.begin(), observation);
  return {{"observations", observations}, {"votes", {vote}}, {"pixels", fit->pixels}};
}

}  // namespace tarv
