#include "tarv/views/dart_pieces.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// Specks this small are sensor noise, not a piece of a dart.
constexpr int kSpeckPixels = 4;
// The pieces of an entered dart's change lie this far off its axis at most (a flight is 30 mm
// across) and this far from its tip (a dart is 150 mm long and its flight is nearer the camera
// than the board); this much room round them takes their faint edges too.
constexpr double kDartBandMm = 12.0;
constexpr double kDartReachMm = 230.0;
// The longest stretch of a dart that may barely change (a black shaft over a black bed).
constexpr double kDartGapMm = 50.0;
constexpr double kDartMarginMm = 2.0;

struct Piece {
  int pixels = 0;
  // The first and last pixel of each of its rows: every other pixel lies between two of them,
  // so they have the whole piece's convex hull.
  std::vector<cv::Point> rowEnds;
  std::vector<cv::Point> hull;  // a linear measure is extreme on the hull: projections need only it
  cv::Point2d centre;
  double nearestTipPx = 1e300;  // the piece's pixel nearest the tip
};

struct Reach {
  double from = 0.0;  // along the line, of the piece's pixel nearest the tip's side
  double to = 0.0;
  size_t piece = 0;
};

// The pieces a half-line from the tip gathers: the pieces at the tip, then, from the tip
// outward, each piece whose centre lies in the band and that starts within a gap of what was
// gathered before it (a dart is one body: its pieces follow each other; a farther dart's do
// not continue them). Answers the pixels gathered.
int gathered(const std::vector<Piece>& pieces, cv::Point2d tip, cv::Point2d direction, double bandPx,
             double lengthPx, double gapPx, double tipPx, std::vector<uchar>& chosen) {
  std::fill(chosen.begin(), chosen.end(), 0);
  int pixels = 0;
  double reached = 0.0;
  std::vector<Reach> along;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    const cv::Point2d d = p.centre - tip;
    Reach r;
    r.piece = i;
    r.from = 1e300;
    r.to = -1e300;
    for (const cv::Point& q : p.hull) {
      const double t = (q.x - tip.x) * direction.x + (q.y - tip.y) * direction.y;
      r.from = std::min(r.from, t);
      r.to = std::max(r.to, t);
    }
    if (p.nearestTipPx <= tipPx) {
      chosen[i] = 1;
      pixels += p.pixels;
      reached = std::max(reached, r.to);
      continue;
    }
    const double across = std::abs(d.x * direction.y - d.y * direction.x);
    if (across <= bandPx && r.to >= 0.0 && r.from <= lengthPx) along.push_back(r);
  }
  std::sort(along.begin(), along.end(), [](const Reach& a, const Reach& b) { return a.from < b.from; });
  for (const Reach& r : along) {
    if (r.from > reached + gapPx) break;
    chosen[r.piece] = 1;
    pixels += pieces[r.piece].pixels;
    reached = std::max(reached, r.to);
  }
  return pixels;
}

// The largest image scale round the board point, pixels per millimetre: a dart standing out
// of an obliquely seen board is seen at the scale the board is not foreshortened by.
double largestScale(const Homography& boardToImage, Point2 point) {
  const Point2 p = applyHomography(boardToImage, point);
  const Point2 px = applyHomography(boardToImage, {point.x + 1.0, point.y});
  const Point2 py = applyHomography(boardToImage, {point.x, point.y + 1.0});
  const double a = px.x - p.x, b = py.x - p.x, c = px.y - p.y, d = py.y - p.y;
  // Largest singular value of [[a, b], [c, d]].
  const double s = a * a + b * b + c * c + d * d;
  const double det = a * d - b * c;
  return std::sqrt(0.5 * (s + std::sqrt(std::max(0.0, s * s - 4.0 * det * det))));
}

// dartPiecesAt on a window of a mask that is empty outside it, at the window's size: origin
// is the window's place in the image, whose pixels tipPx counts in.
cv::Mat piecesInWindow(const cv::Mat& mask, cv::Point origin, cv::Point2d tipPx, double bandPx, double lengthPx,
                       double gapPx) {
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8UC1);
  // Only the box round the change holds pieces; labelling the whole frame would cost more than
  // the rest of this on every entered dart.
  const cv::Rect box = maskBox(mask);
  if (box.area() == 0) return out;
  tipPx -= cv::Point2d(origin.x + box.x, origin.y + box.y);
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask(box), labels, stats, centroids, 8, CV_32S);
  std::vector<Piece> pieces;
  std::vector<int> index(count, -1);
  for (int l = 1; l < count; ++l) {
    if (stats.at<int>(l, cv::CC_STAT_AREA) < kSpeckPixels) continue;
    index[l] = static_cast<int>(pieces.size());
    Piece p;
    p.centre = {centroids.at<double>(l, 0), centroids.at<double>(l, 1)};
    p.rowEnds.reserve(2 * static_cast<size_t>(stats.at<int>(l, cv::CC_STAT_HEIGHT)));
    pieces.push_back(std::move(p));
  }
  if (pieces.empty()) return out;
  // Per piece, the first and last column it holds in the current row (-1: none yet).
  std::vector<int> first(pieces.size(), -1), last(pieces.size(), -1);
  std::vector<int> inRow;
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] <= 0 || index[l[x]] < 0) continue;
      const int k = index[l[x]];
      Piece& p = pieces[static_cast<size_t>(k)];
      ++p.pixels;
      p.nearestTipPx = std::min(p.nearestTipPx, std::hypot(x - tipPx.x, y - tipPx.y));
      if (first[k] < 0) {
        first[k] = x;
        inRow.push_back(k);
      }
      last[k] = x;
    }
    for (const int k : inRow) {
      pieces[static_cast<size_t>(k)].rowEnds.emplace_back(first[k], y);
      if (last[k] != first[k]) pieces[static_cast<size_t>(k)].rowEnds.emplace_back(last[k], y);
      first[k] = last[k] = -1;
    }
    inRow.clear();
  }
  for (Piece& p : pieces) cv::convexHull(p.rowEnds, p.hull);
  // The piece at the tip belongs to the dart whatever its direction; the rest of the dart lies
  // along one of the lines from the tip through a piece's centre.
  const double tipReachPx = 0.5 * bandPx;
  std::vector<uchar> chosen(pieces.size(), 0), trial(pieces.size(), 0);
  int best = -1;
  for (const Piece& through : pieces) {
    const cv::Point2d d = through.centre - tipPx;
    const double length = std::hypot(d.x, d.y);
    if (length < 1.0 || length > lengthPx) continue;
    const int pixels = gathered(pieces, tipPx, d / length, bandPx, lengthPx, gapPx, tipReachPx, trial);
    if (pixels > best) {
      best = pixels;
      chosen = trial;
    }
  }
  if (best < 0) gathered(pieces, tipPx, {1.0, 0.0}, 0.0, 0.0, 0.0, tipReachPx, chosen);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y + box.y) + box.x;
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] > 0 && index[l[x]] >= 0 && chosen[index[l[x]]]) o[x] = 255;
    }
  }
  return out;
}

}  // namespace

cv::Mat dartPiecesAt(const cv::Mat& mask, cv::Point2d tipPx, double bandPx, double lengthPx, double gapPx) {
  if (mask.empty() || mask.type() != CV_8UC1 || !std::isfinite(tipPx.x) || !std::isfinite(tipPx.y) ||
      !(bandPx > 0.0) || !(lengthPx > 0.0) || !(gapPx >= 0.0)) {
    return cv::Mat::zeros(mask.size(), CV_8UC1);
  }
  return piecesInWindow(mask, {0, 0}, tipPx, bandPx, lengthPx, gapPx);
}

namespace {

// A board point in the image, with the camera's largest pixels per mm there.
struct ImagePoint {
  Point2 px;
  double ppm = 0.0;
};

// Nothing where the point does not project into this camera: nothing is known there.
std::optional<ImagePoint> projectBoardPoint(const Homography& boardToImage, Point2 point) {
  ImagePoint p;
  try {
    p.px = applyHomography(boardToImage, point);
    p.ppm = largestScale(boardToImage, point);
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
  if (!std::isfinite(p.px.x) || !std::isfinite(p.px.y) || !std::isfinite(p.ppm) || !(p.ppm > 0.0)) return std::nullopt;
  return p;
}

}  // namespace

cv::Mat dartPiecesAtBoardPoint(const cv::Mat& change, const Homography& boardToImage, Point2 point) {
  const std::optional<ImagePoint> p = projectBoardPoint(boardToImage, point);
  if (!p) return cv::Mat();
  return dartPiecesAt(change, {p->px.x, p->px.y}, kDartBandMm * p->ppm, kDartReachMm * p->ppm, kDartGapMm * p->ppm);
}

namespace {

// The same over the whole frame, for a change that is empty or a point that does not project.
cv::Mat enteredDartRegionOfWhole(const cv::Mat& change, const Homography& boardToImage, Point2 point, int limitPixels) {
  if (change.empty() || cv::countNonZero(change) < limitPixels) return cv::Mat();
  const cv::Mat pieces = dartPiecesAtBoardPoint(change, boardToImage, point);
  if (pieces.empty()) return cv::Mat();
  const double ppm = largestScale(boardToImage, point);
  const int margin = std::max(2, static_cast<int>(std::lround(kDartMarginMm * ppm)));
  cv::Mat own = dilateMask(pieces, 2 * margin + 1, true);
  if (cv::countNonZero(maskAndNot(change, own)) < limitPixels) return cv::Mat();
  return own;
}

}  // namespace

cv::Mat enteredDartRegion(const cv::Mat& change, const Homography& boardToImage, Point2 point, int limitPixels,
                          cv::Rect within) {
  // The change lies in a small box of the frame: the pieces, their growth and what they leave
  // are measured in that box grown by the growth's reach, and only a region the references
  // take is brought to the frame's size.
  const cv::Rect image(0, 0, change.cols, change.rows);
  const cv::Rect searched = within.area() > 0 ? within & image : image;
  cv::Rect box;
  if (!change.empty() && change.type() == CV_8UC1 && searched.area() > 0) {
    box = maskBox(change(searched));
    if (box.area() > 0) box += searched.tl();
  }
  const std::optional<ImagePoint> p = projectBoardPoint(boardToImage, point);
  if (box.area() == 0 || !p) return enteredDartRegionOfWhole(change, boardToImage, point, limitPixels);
  const Point2 tip = p->px;
  const double ppm = p->ppm;
  if (cv::countNonZero(change(box)) < limitPixels) return cv::Mat();
  const int margin = std::max(2, static_cast<int>(std::lround(kDartMarginMm * ppm)));
  const int reach = (2 * margin + 1) / 2 + 1;
  const cv::Rect window = cv::Rect(box.x - reach, box.y - reach, box.width + 2 * reach, box.height + 2 * reach) &
                          cv::Rect(0, 0, change.cols, change.rows);
  const cv::Mat part = change(window);
  const cv::Mat pieces =
      piecesInWindow(part, window.tl(), {tip.x, tip.y}, kDartBandMm * ppm, kDartReachMm * ppm, kDartGapMm * ppm);
  const cv::Mat own = dilateMask(pieces, 2 * margin + 1, true);
  if (cv::countNonZero(maskAndNot(part, own)) < limitPixels) return cv::Mat();
  cv::Mat region = cv::Mat::zeros(change.size(), CV_8UC1);
  own.copyTo(region(window));
  return region;
}

cv::Mat copiedInside(const cv::Mat& image, const cv::Mat& taken, const cv::Mat& region) {
  cv::Mat out = image.clone();
  taken.copyTo(out, region);
  return out;
}

}  // namespace tarv
