#include "tarv/views/association_points.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kMinRegionPixels = 80;
constexpr double kOnBoardMm = 170.0;
constexpr double kFarOutsideMm = 220.0;

int pixelCoordinate(double v) {
  if (!std::isfinite(v)) throw std::runtime_error("Projection at infinity");
  // Far-off vertices are pulled in so the integer conversion stays defined.
  return static_cast<int>(std::nearbyint(std::clamp(v, -1e9, 1e9)));
}

// The pixel vertices of the circle of the radius round the board point.
std::vector<cv::Point> discPolygon(const Homography& h, Point2 centre, double radiusMm, int pointCount) {
  std::vector<cv::Point> polygon;
  polygon.reserve(static_cast<std::size_t>(pointCount));
  for (const Point2& p : circlePoints(radiusMm, pointCount)) {
    const double x = p.x + centre.x;
    const double y = p.y + centre.y;
    const double u = h[0] * x + h[1] * y + h[2];
    const double v = h[3] * x + h[4] * y + h[5];
    const double w = h[6] * x + h[7] * y + h[8];
    if (!std::isfinite(w) || std::abs(w) < 1e-10) throw std::runtime_error("Projection at infinity");
    polygon.emplace_back(pixelCoordinate(u / w), pixelCoordinate(v / w));
  }
  return polygon;
}

// The projected disc of the radius round the board point, filled into a zero mask whose
// first pixel is the image's pixel at the offset.
cv::Mat projectedDisc(cv::Size size, const Homography& h, Point2 centre, double radiusMm,
                      int pointCount, cv::Point offset) {
  cv::Mat disc = cv::Mat::zeros(size, CV_8UC1);
  std::vector<cv::Point> polygon = discPolygon(h, centre, radiusMm, pointCount);
  for (cv::Point& p : polygon) p -= offset;
  const std::vector<std::vector<cv::Point>> contours{polygon};
  cv::fillPoly(disc, contours, cv::Scalar(255), cv::LINE_8, 0);
  return disc;
}

int countSet(const cv::Mat& mask) { return mask.empty() ? 0 : cv::countNonZero(mask); }

// Set pixels of both masks; masks of different sizes share nothing.
int countOverlap(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return 0;
  cv::Mat both;
  cv::bitwise_and(a != 0, b != 0, both);
  return cv::countNonZero(both);
}

// The entry's board point when it holds one as [x, y] numbers.
bool entryBoardPoint(const json& entry, Point2& point) {
  if (!entry.is_object()) return false;
  const auto it = entry.find("board_xy_nominal_mm");
  if (it == entry.end() || !it->is_array() || it->size() < 2) return false;
  if (!(*it)[0].is_number() || !(*it)[1].is_number()) return false;
  point = pointFromJson(*it);
  return true;
}

// The whole 8-connected component of the mask with the most pixels among those that reach
// into the disc (lowest label on a tie); empty when none does.
cv::Mat largestComponentInDisc(const cv::Mat& mask, const cv::Mat& disc) {
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(mask != 0, labels, stats, centroids, 8, CV_32S);
  std::vector<char> marked(static_cast<std::size_t>(count), 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* d = disc.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] > 0 && d[x]) marked[static_cast<std::size_t>(l[x])] = 1;
    }
  }
  int chosen = 0;
  int chosenArea = -1;
  for (int label = 1; label < count; ++label) {
    const int area = stats.at<int>(label, cv::CC_STAT_AREA);
    if (marked[static_cast<std::size_t>(label)] && area > chosenArea) {
      chosen = label;
      chosenArea = area;
    }
  }
  if (chosen == 0) return cv::Mat::zeros(mask.size(), CV_8UC1);
  return labels == chosen;
}

// The association region of a window of the image that starts at the offset: the same
// pixels as on the whole image as long as the window holds the whole mask and both discs.
cv::Mat associationRegionIn(const cv::Mat& dartMask, const Homography& boardToImage, const json& entry,
                            cv::Point offset) {
  Point2 point;
  if (dartMask.empty() || !entryBoardPoint(entry, point)) return dartMask;
  const cv::Mat disc = projectedDisc(dartMask.size(), boardToImage, point, 20.0, 90, offset);
  cv::Mat kept;
  cv::bitwise_and(largestComponentInDisc(dartMask, disc), disc, kept);
  if (cv::countNonZero(kept) < kMinRegionPixels) return dartMask;
  // The tip is where the dart meets the board; its pixels belong to the dart even where the
  // change mask broke up round it.
  cv::bitwise_or(kept, projectedDisc(dartMask.size(), boardToImage, point, 5.0, 60, offset), kept);
  return kept;
}

// The camera's board grown by the 9 x 9 square: built once per thread for each calibration,
// image size and radius, since the verdict runs on every still frame.
const cv::Mat& dilatedBoard(cv::Size size, const Homography& h, double radiusMm) {
  struct Built {
    cv::Size size;
    Homography h;
    double radiusMm;
    cv::Mat mask;
  };
  constexpr std::size_t kKept = 12;
  thread_local std::vector<Built> built;
  for (const Built& b : built) {
    if (b.size == size && b.h == h && b.radiusMm == radiusMm) return b.mask;
  }
  cv::Mat mask = dilateMask(buildBoardRegionMask(size, h, radiusMm, 360), 9, false);
  if (built.size() >= kKept) built.erase(built.begin());
  built.push_back({size, h, radiusMm, mask});
  return built.back().mask;
}

// The window of the image where the dart's association region, grown by the hit test's
// dilation, can lie, when any change lies in it (else an empty window): within the dart's mask and the 20 mm disc round its point (the tip
// disc lies inside that one). Most quiet frames have no change near a dart, and the region
// itself (a labelling of the whole mask) is then not needed.
// The part of the image that holds the dart's mask and the 20 mm disc round its entry's point
// (when it has one), grown by the margin.
cv::Rect dartReach(const cv::Mat& dartMask, const Homography& h, const json& entry, int marginPx) {
  cv::Rect reach = maskBox(dartMask);
  Point2 point;
  if (entryBoardPoint(entry, point)) reach |= cv::boundingRect(discPolygon(h, point, 20.0, 90));
  return cv::Rect(reach.x - marginPx, reach.y - marginPx, reach.width + 2 * marginPx, reach.height + 2 * marginPx) &
         cv::Rect(0, 0, dartMask.cols, dartMask.rows);
}

cv::Rect changeNearDart(const cv::Mat& change, const cv::Mat& dartMask, const Homography& h, const json& entry) {
  if (change.empty() || dartMask.empty() || change.size() != dartMask.size()) return {};
  constexpr int kMarginPx = 4;  // the 7 x 7 dilation and a pixel of rounding
  const cv::Rect reach = dartReach(dartMask, h, entry, kMarginPx);
  return reach.area() > 0 && cv::countNonZero(change(reach)) > 0 ? reach : cv::Rect();
}

}  // namespace

cv::Mat buildAssociationRegion(const cv::Mat& dartMask, const Homography& boardToImage,
                               const json& entry) {
  Point2 point;
  if (dartMask.empty() || !entryBoardPoint(entry, point)) return dartMask;
  // Labelling only the window that holds the mask and the disc keeps the recovery, which asks
  // for every known dart's region in every camera several times a call, off whole frames.
  const cv::Rect window = dartReach(dartMask, boardToImage, entry, 0);
  cv::Mat region = cv::Mat::zeros(dartMask.size(), CV_8UC1);
  if (window.area() == 0) return region;
  associationRegionIn(dartMask(window), boardToImage, entry, window.tl()).copyTo(region(window));
  return region;
}

bool projectAssociationPoints(const ImageTriple& changeMasks,
                              const std::array<Camera, 3>& cameras,
                              const std::vector<ImageTriple>& dartMasks, const json& entries) {
  const std::size_t darts = dartMasks.size();
  const bool usable = entries.is_array() && !entries.empty() && entries.size() == darts;
  std::vector<int> views(darts, 0);
  std::vector<int> hits(darts, 0);

  for (int c = 0; c < 3; ++c) {
    const cv::Mat& change = changeMasks[c];
    const Camera& camera = cameras[c];
    const int changed = countSet(change);
    if (!usable && static_cast<double>(changed) > 0.15 * static_cast<double>(change.total())) {
      return false;
    }
    // Fewer changed pixels than the limit cannot reach it on the board.
    if (changed >= kMinRegionPixels) {
      const cv::Mat& board = dilatedBoard(change.size(), camera.boardToImage, camera.boardRadiusMm);
      if (countOverlap(change, board) >= kMinRegionPixels) return false;
    }

    for (std::size_t k = 0; k < darts; ++k) {
      Point2 point;
      const bool outside = usable && entryBoardPoint(entries[k], point) &&
                           std::hypot(point.x, point.y) > kOnBoardMm;
      cv::Mat region = dartMasks[k][c];
      json entry = usable ? entries[k] : json();
      if (usable && entry.is_object() && entry.contains("association_points")) {
        const json& points = entry["association_points"];
        if (!points.is_object() || !points.contains(cameraIds[c])) continue;
        entry["board_xy_nominal_mm"] = points[cameraIds[c]];
      }
      // Without change near the dart there is no hit; the region is then set exactly where
      // the mask is (it is the mask, or at least 80 pixels of it with the tip disc).
      // Everything the hit test needs lies in that window: the mask's whole components, both
      // discs, and the region grown by the 7 x 7 square.
      const cv::Rect near = changeNearDart(change, region, camera.boardToImage, entry);
      int n = countSet(region);
      bool hit = false;
      if (near.area() > 0) {
        cv::Mat window = region(near);
        if (usable) window = associationRegionIn(window, camera.boardToImage, entry, near.tl());
        n = countSet(window);
        const long need = std::min(std::max(std::lround(n * 0.1), 1L), 80L);
        hit = n > 0 && countOverlap(change(near), dilateMask(window, 7, false)) >= need;
      }
      if (outside) {
        views[k] += n > 0 ? 1 : 0;
        hits[k] += hit ? 1 : 0;
      } else if (hit) {
        return false;
      }
    }
  }
  for (std::size_t k = 0; k < darts; ++k) {
    // A dart outside the double ring may stir its surround in one view, but only when
    // another view of it stays still.
    if (hits[k] >= 2 || (hits[k] == 1 && views[k] <= 1)) return false;
  }
  return true;
}

json measureToleratedPixels(ImageTriple& changeMasks, const json& entries,
                            const std::vector<ImageTriple>& dartMasks) {
  json records = json::array();
  if (dartMasks.empty() || !entries.is_array()) return records;
  const std::size_t count = std::min(entries.size(), dartMasks.size());
  for (std::size_t k = 0; k < count; ++k) {
    const json& entry = entries[k];
    Point2 point;
    if (!entryBoardPoint(entry, point) || !(std::hypot(point.x, point.y) > kFarOutsideMm)) continue;
    for (int c = 0; c < 3; ++c) {
      const cv::Mat& dart = dartMasks[k][c];
      cv::Mat& change = changeMasks[c];
      const int n = countSet(dart);
      if (n < kMinRegionPixels || dart.size() != change.size()) continue;
      const cv::Mat grown = dilateMask(dart != 0, 9, false);
      const int tolerated = countOverlap(change, grown);
      if (tolerated > 0 && tolerated < 0.2 * n) {
        // In place: callers that share these pixels see the cleared marks too.
        change.setTo(0, grown);
        records.push_back({{"camera", cameraIds[c]},
                           {"dart", entry.contains("id") ? entry["id"] : json()},
                           {"tolerated_pixels", tolerated}});
      }
    }
  }
  return records;
}

}  // namespace tarv
