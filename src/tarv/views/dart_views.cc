#include "tarv/views/dart_views.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/tip_evidence.h"

namespace tarv {
namespace {

// The front view: the change round the candidate on the board plane.
constexpr double kFrontHalfMm = 24.0;
constexpr double kFrontMmPerPx = 0.25;
// The detail views: a small window round the candidate tip.
constexpr double kDetailHalfPx = 10.0;
constexpr double kDetailFrontHalfMm = 5.0;
constexpr double kDetailFrontMmPerPx = 0.1;
// A streak thinner than this on the board is the point and barrel, not the flight.
constexpr double kStreakBandMm = 4.0;
// A view whose quality stays below this does not vote in the consensus.
constexpr double kMinQuality = 0.25;

json abstain(const std::string& kind, const char* reason) {
  return {{"status", "ABSTAIN"}, {"reason", reason}, {"quality", 0.0}, {"kind", kind}};
}

json candidate(const std::string& kind, Point2 point, cv::Point2d pixel, double quality) {
  if (!std::isfinite(point.x) || !std::isfinite(point.y) || !std::isfinite(quality)) {
    return abstain(kind, "NO_FINITE_POINT");
  }
  return {{"status", "CANDIDATE"},
          {"kind", kind},
          {"quality", roundToThousandths(std::clamp(quality, 0.0, 1.0))},
          {"field", nominalField(point)},
          {"point", {roundToThousandths(point.x), roundToThousandths(point.y)}},
          {"image_point", {roundTo(pixel.x, 2), roundTo(pixel.y, 2)}}};
}

// Where on the board the camera stands over: the board point below its centre. Lines that
// stand up from the board meet there in the image, so a dart's shadow on the board plane
// (its streak) runs away from it, tip first.
std::optional<Point2> footPoint(const ShaftView& view) {
  if (!view.normalPoint) return std::nullopt;
  const Point2 foot = imageToBoard(view.boardToImage, *view.normalPoint);
  if (!std::isfinite(foot.x) || !std::isfinite(foot.y)) return std::nullopt;
  return foot;
}

// Board window (origin, millimetres per pixel) -> image crop pixels.
cv::Matx33d windowToCrop(const Homography& boardToImage, cv::Point2d offset, Point2 origin, double mmPerPx) {
  const Homography h = cropHomography(boardToImage, offset);
  const cv::Matx33d H(h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]);
  const cv::Matx33d window(mmPerPx, 0, origin.x, 0, mmPerPx, origin.y, 0, 0, 1);
  return H * window;
}

cv::Mat warpToBoard(const cv::Mat& image, const cv::Matx33d& toCrop, int width, int height, int interpolation) {
  cv::Mat out;
  cv::warpPerspective(image, out, cv::Mat(toCrop), cv::Size(width, height), interpolation | cv::WARP_INVERSE_MAP,
                      cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return out;
}

// The direction on the board from the streak towards the camera's foot point; without the
// foot point, from the fitted tail towards the tip.
cv::Point2d towardsCamera(const ShaftView& view, const ShaftFit& fit, Point2 at) {
  cv::Point2d u;
  if (const auto foot = footPoint(view)) {
    u = {foot->x - at.x, foot->y - at.y};
  } else {
    const Point2 tail = imageToBoard(view.boardToImage, fit.tail);
    u = {at.x - tail.x, at.y - tail.y};
  }
  const double n = cv::norm(u);
  return n > 1e-9 ? u / n : cv::Point2d(0, 0);
}

// A square window of the board plane centred on the candidate tip, with the direction from
// there towards the camera's foot point.
struct BoardWindow {
  Point2 origin;     // board point of pixel (0, 0)
  double mmPerPx = 1.0;
  int size = 0;      // pixels a side
  cv::Matx33d toCrop;  // window pixels -> the view's crop pixels
  cv::Point2d towardsCamera;  // unit, (0, 0) when unknown
  Point2 board(cv::Point2d px) const { return {origin.x + px.x * mmPerPx, origin.y + px.y * mmPerPx}; }
};

BoardWindow windowAtTip(const ShaftView& view, const ShaftFit& fit, double halfMm, double mmPerPx) {
  BoardWindow w;
  const Point2 centre = imageToBoard(view.boardToImage, fit.tip);
  w.towardsCamera = towardsCamera(view, fit, centre);
  w.origin = {centre.x - halfMm, centre.y - halfMm};
  w.mmPerPx = mmPerPx;
  w.size = static_cast<int>(2 * halfMm / mmPerPx) + 1;
  w.toCrop = windowToCrop(view.boardToImage, cv::Point2d(view.offset.x, view.offset.y), w.origin, mmPerPx);
  return w;
}

json normalView(const ShaftView& view, const ShaftFit& fit) {
  const Point2 tip = imageToBoard(view.boardToImage, fit.tip);
  // A line through many thin sections with small scatter is a sharp view of the dart.
  const double sharpness = 1.0 / (1.0 + 0.5 * fit.residualPx);
  const double support = std::min(1.0, fit.sections / 12.0);
  return candidate(viewKinds[0], tip, fit.tip, sharpness * (0.5 + 0.5 * support));
}

// The change on the board plane: the dart becomes a streak from the tip away from the
// camera's foot point; its end nearer that point is the tip.
json frontView(const ShaftView& view, const ShaftFit& fit) {
  const std::string& kind = viewKinds[1];
  const BoardWindow window = windowAtTip(view, fit, kFrontHalfMm, kFrontMmPerPx);
  const cv::Point2d u = window.towardsCamera;
  if (u == cv::Point2d(0, 0)) return abstain(kind, "NO_VIEW_DIRECTION");
  // Only the part of the window over the change is warped and searched: the rest is empty.
  std::vector<cv::Point> pixels;
  const cv::Rect part = windowPartOver(view.changeMask, window.toCrop, window.size);
  if (part.area() > 0) {
    const cv::Matx33d shift(1, 0, part.x, 0, 1, part.y, 0, 0, 1);
    cv::findNonZero(warpToBoard(view.changeMask, window.toCrop * shift, part.width, part.height, cv::INTER_NEAREST),
                    pixels);
    for (cv::Point& p : pixels) p += part.tl();
  }
  if (pixels.size() < 20) return abstain(kind, "NO_STREAK_ON_BOARD");
  // The streak's line: its pixels' principal axis, kept to the thin band round it.
  cv::Mat points(static_cast<int>(pixels.size()), 2, CV_64F);
  for (size_t i = 0; i < pixels.size(); ++i) {
    points.at<double>(static_cast<int>(i), 0) = pixels[i].x;
    points.at<double>(static_cast<int>(i), 1) = pixels[i].y;
  }
  cv::PCA pca(points, cv::noArray(), cv::PCA::DATA_AS_ROW);
  const cv::Point2d mean(pca.mean.at<double>(0), pca.mean.at<double>(1));
  cv::Point2d axis(pca.eigenvectors.at<double>(0, 0), pca.eigenvectors.at<double>(0, 1));
  if (axis.dot(u) < 0) axis = -axis;  // pointing towards the camera: the tip end is the largest
  const cv::Point2d across(-axis.y, axis.x);
  const double band = kStreakBandMm / kFrontMmPerPx;
  double best = -1e300, sumAcross = 0.0, scatter = 0.0;
  int thin = 0;
  for (const cv::Point& p : pixels) {
    const cv::Point2d d = cv::Point2d(p) - mean;
    const double e = d.dot(across);
    if (std::abs(e) > band) continue;
    best = std::max(best, d.dot(axis));
    sumAcross += e;
    scatter += e * e;
    ++thin;
  }
  if (thin < 20) return abstain(kind, "NO_THIN_STREAK");
  // The tip: the end of the thin streak, across at the streak's own centre line.
  const double centreAcross = sumAcross / thin;
  const cv::Point2d end = mean + axis * (best - 0.5) + across * centreAcross;
  const Point2 tip = window.board(end);
  const double spreadMm = std::sqrt(std::max(0.0, scatter / thin - centreAcross * centreAcross)) * kFrontMmPerPx;
  const Point2 pixel = applyHomography(view.boardToImage, tip);
  // A straight thin streak that runs towards the camera is a clean front view.
  const double alignment = std::abs(axis.dot(u));
  return candidate(kind, tip, {pixel.x, pixel.y}, alignment / (1.0 + 0.5 * spreadMm));
}

double sampleGrey(const cv::Mat& grey, cv::Point2d p) {
  if (p.x < 0 || p.y < 0 || p.x > grey.cols - 2 || p.y > grey.rows - 2) return -1.0;
  cv::Mat patch;
  cv::getRectSubPix(grey, cv::Size(1, 1), cv::Point2f(static_cast<float>(p.x), static_cast<float>(p.y)), patch,
                    CV_32F);
  return patch.at<float>(0, 0);
}

// The full-resolution frame round the candidate tip: the steel point's edge on the axis,
// where the frame leaves the background most steeply, to a fraction of a pixel.
json detailView(const ShaftView& view, const ShaftFit& fit) {
  const std::string& kind = viewKinds[2];
  const cv::Point2d offset(view.offset.x, view.offset.y);
  const cv::Point2d tip = fit.tip - offset;
  const cv::Point2d d = fit.direction;  // from the tip towards the flight
  const cv::Point2d n(-d.y, d.x);
  const cv::Rect window = cv::Rect(static_cast<int>(tip.x - kDetailHalfPx - 2), static_cast<int>(tip.y - kDetailHalfPx - 2),
                                   static_cast<int>(2 * kDetailHalfPx + 5), static_cast<int>(2 * kDetailHalfPx + 5)) &
                          cv::Rect(0, 0, view.frame.cols, view.frame.rows);
  if (window.area() == 0) return abstain(kind, "TIP_OUTSIDE_VIEW");
  const cv::Mat difference = view.difference.empty() ? colourDifference(view.frame(window), view.background(window))
                                                     : view.difference(window);
  const cv::Point2d local = tip - cv::Point2d(window.tl());
  // Difference profile along the axis, averaged across the point's width.
  const double step = 0.25;
  const int count = static_cast<int>(2 * kDetailHalfPx / step) + 1;
  std::vector<double> profile(count, 0.0);
  for (int k = 0; k < count; ++k) {
    const double t = -kDetailHalfPx + k * step;
    double sum = 0.0;
    int used = 0;
    for (double e : {-0.75, 0.0, 0.75}) {
      const double v = sampleGrey(difference, local + d * t + n * e);
      if (v >= 0) {
        sum += v;
        ++used;
      }
    }
    profile[k] = used ? sum / used : 0.0;
  }
  // The steepest rise from outside (t < 0) into the dart (t > 0) near the candidate.
  int bestK = -1;
  double bestRise = 0.0;
  for (int k = 2; k + 2 < count; ++k) {
    const double rise = (profile[k + 2] - profile[k - 2]) / (4 * step);
    if (rise > bestRise) {
      bestRise = rise;
      bestK = k;
    }
  }
  if (bestK < 0 || bestRise * 2.0 < view.level) return abstain(kind, "NO_TIP_EDGE");
  // Parabola through the rises round the steepest one.
  const auto riseAt = [&](int k) { return profile[std::min(count - 1, k + 2)] - profile[std::max(0, k - 2)]; };
  const double a = riseAt(bestK - 1), b = riseAt(bestK), c = riseAt(bestK + 1);
  const double denominator = a - 2 * b + c;
  const double shift = std::abs(denominator) > 1e-9 ? std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5) : 0.0;
  const double t = -kDetailHalfPx + (bestK + shift) * step;
  const cv::Point2d edge = fit.tip + d * t;
  const double plateau = *std::max_element(profile.begin() + bestK, profile.end());
  const double contrast = plateau / (plateau + 2.0 * view.level);
  // The edge should lie near where the dart's change begins; far from it, it is a bed edge.
  const double closeness = 1.0 / (1.0 + 0.25 * std::abs(t));
  return candidate(kind, imageToBoard(view.boardToImage, edge), edge, contrast * closeness * 1.4);
}

// The detail window carried onto the board plane at a fine scale: the point's change there,
// its end nearest the camera's foot point.
json detailFrontView(const ShaftView& view, const ShaftFit& fit) {
  const std::string& kind = viewKinds[3];
  const BoardWindow window = windowAtTip(view, fit, kDetailFrontHalfMm, kDetailFrontMmPerPx);
  const cv::Point2d u = window.towardsCamera;
  if (u == cv::Point2d(0, 0)) return abstain(kind, "NO_VIEW_DIRECTION");
  const int size = window.size;
  const cv::Mat frame = warpToBoard(view.frame, window.toCrop, size, size, cv::INTER_LINEAR);
  const cv::Mat background = warpToBoard(view.background, window.toCrop, size, size, cv::INTER_LINEAR);
  const cv::Mat difference = colourDifference(frame, background);
  double peak = 0.0;
  cv::minMaxLoc(difference, nullptr, &peak);
  if (peak < view.level) return abstain(kind, "NO_POINT_ON_BOARD");
  const cv::Mat changed = thresholdBinary(difference, std::max(view.level * 0.75, 0.5 * peak));
  // The piece of change at or nearest the window's centre is the point.
  cv::Mat labels;
  const int count = cv::connectedComponents(changed, labels, 8, CV_32S);
  if (count < 2) return abstain(kind, "NO_POINT_ON_BOARD");
  const cv::Point2d middle(size / 2.0, size / 2.0);
  int chosen = 0;
  double nearest = 1e300;
  for (int y = 0; y < size; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < size; ++x) {
      if (l[x] > 0) {
        const double dist = std::hypot(x - middle.x, y - middle.y);
        if (dist < nearest) {
          nearest = dist;
          chosen = l[x];
        }
      }
    }
  }
  // The end towards the camera: the farthest pixels along u, averaged over the last 0.2 mm.
  double best = -1e300;
  for (int y = 0; y < size; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < size; ++x) {
      if (l[x] == chosen) best = std::max(best, (cv::Point2d(x, y) - middle).dot(u));
    }
  }
  cv::Point2d sum(0, 0);
  int n = 0, pixels = 0;
  const double depth = 0.2 / kDetailFrontMmPerPx;
  for (int y = 0; y < size; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < size; ++x) {
      if (l[x] != chosen) continue;
      ++pixels;
      if ((cv::Point2d(x, y) - middle).dot(u) >= best - depth) {
        sum += cv::Point2d(x, y);
        ++n;
      }
    }
  }
  const cv::Point2d end = sum / std::max(1, n);
  const Point2 tip = window.board(end);
  const Point2 pixel = applyHomography(view.boardToImage, tip);
  // A point seen on the board is a few square millimetres of strong change.
  const double areaMm2 = pixels * kDetailFrontMmPerPx * kDetailFrontMmPerPx;
  const double contrast = peak / (peak + 2.0 * view.level);
  return candidate(kind, tip, {pixel.x, pixel.y}, contrast * std::min(1.0, areaMm2 / 4.0) * 1.2);
}

}  // namespace

cv::Rect windowPartOver(const cv::Mat& mask, const cv::Matx33d& toCrop, int size) {
  const cv::Rect whole(0, 0, size, size);
  const cv::Rect set = maskBox(mask);
  if (set.area() == 0) return cv::Rect();
  const cv::Matx33d toWindow = toCrop.inv();
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  for (const double x : {set.x - 1.0, set.x + set.width + 0.0}) {
    for (const double y : {set.y - 1.0, set.y + set.height + 0.0}) {
      const cv::Vec3d p = toWindow * cv::Vec3d(x, y, 1.0);
      if (!(p[2] > 1e-12)) return whole;
      x0 = std::min(x0, p[0] / p[2]);
      y0 = std::min(y0, p[1] / p[2]);
      x1 = std::max(x1, p[0] / p[2]);
      y1 = std::max(y1, p[1] / p[2]);
    }
  }
  if (!(x1 - x0 < 4.0 * size) || !(y1 - y0 < 4.0 * size)) return whole;
  const int left = std::max(0, static_cast<int>(std::floor(x0)) - 2);
  const int top = std::max(0, static_cast<int>(std::floor(y0)) - 2);
  const int right = std::min(size, static_cast<int>(std::ceil(x1)) + 3);
  const int bottom = std::min(size, static_cast<int>(std::ceil(y1)) + 3);
  if (right <= left || bottom <= top) return cv::Rect();
  return cv::Rect(left, top, right - left, bottom - top) & whole;
}

DartViews measureDartViews(const ShaftView& view) { return measureDartViews(view, labelChangePieces(view.changeMask)); }

DartViews measureDartViews(const ShaftView& given, const ChangePieces& pieces) {
  // The colour difference and the change's pieces serve the fit, the views and the record.
  ShaftView view = given;
  if (view.difference.empty() && !view.frame.empty()) view.difference = colourDifference(view.frame, view.background);
  const std::optional<ShaftFit> fit = fitShaft(view, pieces);
  DartViews views;
  views.shaftRecord = shaftRecord(view, fit, pieces);
  views.measurements = json::array();
  if (!fit) {
    for (const std::string& kind : viewKinds) views.measurements.push_back(abstain(kind, "NO_CAMERA_LOCAL_SEED"));
    return views;
  }
  views.measurements.push_back(normalView(view, *fit));
  views.measurements.push_back(frontView(view, *fit));
  views.measurements.push_back(detailView(view, *fit));
  views.measurements.push_back(detailFrontView(view, *fit));
  for (json& m : views.measurements) {
    if (m["status"] == "CANDIDATE" && m["quality"].get<double>() < kMinQuality) m["reason"] = "LOW_QUALITY";
  }
  return views;
}

}  // namespace tarv
