// The axis and tip of a newly arrived dart in one camera's view.
#pragma once

#include <optional>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// What one camera contributes to the shaft search.
struct ShaftView {
  // The images may be a crop of the camera image starting at offset; every pixel position
  // the search answers is in the whole image.
  cv::Mat frame;         // current colour frame
  cv::Mat background;    // colour working background (the darts already entered included)
  cv::Mat changeMask;    // the dart's change, 255 = set (new pixels only)
  cv::Point offset{0, 0};
  Homography boardToImage{};  // of the whole image
  std::optional<cv::Point2d> normalPoint;  // where board normals converge (whole image)
  int minPixels = 80;    // fewest changed pixels that can be a dart
  double level = 16.0;   // change level of the difference image
  // colourDifference(frame, background) when the caller has it already; made when empty.
  cv::Mat difference;
};

// The fitted axis: a line through the thin parts (point, barrel, shaft) of the dart, with its
// tip refined to sub-pixel precision along the line.
struct ShaftFit {
  cv::Point2d origin;     // a point on the line
  cv::Point2d direction;  // unit, from the tip towards the flight
  cv::Point2d tip;        // tip pixel
  cv::Point2d tail;       // far end of the support
  double residualPx = 0.0;  // rms distance of the section centres from the line
  double spanPx = 0.0;      // length of the support along the line
  int sections = 0;         // thin sections that carried the line
  int pixels = 0;           // changed pixels of the dart
};

// Largest per-channel absolute difference of two colour images (8-bit).
cv::Mat colourDifference(const cv::Mat& frame, const cv::Mat& background);

// Level of the dart change: a colour change this strong after a 3x3 median is a dart's, not
// sensor noise or a JPEG ripple.
constexpr double kDartChangeLevel = 20.0;
// Pixels of the difference above the level after a 3x3 median.
cv::Mat dartChangeMask(const cv::Mat& difference, double level);

// The tip along an axis (origin, unit direction from the tip towards the flight): the change
// on the axis followed outward from the support's end at tEnd, across short breaks, to its last
// trace, and the edge there where the difference falls to half of what it is just inside.
// Counts one search in "measuredSearches".
double measureDifferenceTerminal(const cv::Mat& difference, cv::Point2d origin, cv::Point2d direction,
                                 double tEnd, double level);

// The view's colour difference: the one it carries, else made from its frame and background.
cv::Mat viewDifference(const ShaftView& view);

// The 8-connected pieces of a view's change mask, labelled once for every measure that needs them.
// A part of the change made of whole pieces is the same labelling with only its pieces kept:
// its pieces keep their order, which is what labelling the part afresh would give.
struct ChangePieces {
  int count = 0;
  cv::Mat labels, stats, centroids;
  std::vector<uchar> kept;  // per label, when only some are the view's; empty: all
  bool keeps(int label) const { return kept.empty() || kept[label] != 0; }
};
ChangePieces labelChangePieces(const cv::Mat& mask);

// The dart's axis in one view, or nothing when the change holds no dart-like support. With
// pieces, they are the view's change mask labelled.
std::optional<ShaftFit> fitShaft(const ShaftView& view);
std::optional<ShaftFit> fitShaft(const ShaftView& view, const ChangePieces& pieces);

// The tip carried on along the axis (outward: unit, from the flight towards the tip) over an
// earlier dart: where a new dart lies across one entered before, its change vanishes over the
// earlier dart's stored change wherever the two look alike, and the fresh support ends short of
// the point. The walk goes on while it stays on the change or on the stored change, within
// reachPx, and ends at the farthest changed pixel met after crossing stored change. Both masks
// share one frame of pixels; the tip itself when the walk crosses no stored change.
cv::Point2d tipOverStoredChange(const cv::Mat& change, const cv::Mat& stored, cv::Point2d tip,
                                cv::Point2d outward, int reachPx);

// The board point under an image pixel (the inverse of the board-to-image homography).
Point2 imageToBoard(const Homography& boardToImage, cv::Point2d pixel);

// Image pixels per board millimetre round a board point (geometric mean of both directions).
double pixelsPerMm(const Homography& boardToImage, Point2 point);

// The camera's shaft record of a fit (or of none): {"observations": [axis record], "votes": [tip vote]} with the
// keys the tip solver reads ("origin_px", "direction_xy", "axis_valid", "support_endpoints_px";
// "abstention", "tip_valid", "point", "line", "axis_index", "error_mm", "pixel_error",
// "field", "image_point"), and "pixels".
json shaftRecord(const ShaftView& view, const std::optional<ShaftFit>& fit);
json shaftRecord(const ShaftView& view, const std::optional<ShaftFit>& fit, const ChangePieces& pieces);
json estimateShaftAxis(const ShaftView& view);

}  // namespace tarv
