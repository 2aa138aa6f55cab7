#include "tarv/views/tip_evidence.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

constexpr double kLineSupportMm = 3.0;
constexpr double kChangeSupportMm = 6.0;
// New edges round the tip: the outline of a dart's point crosses a 6 mm window with a few
// pixels at least; a shadow's soft border or a light patch gives none.
constexpr double kEdgeWindowMm = 6.0;
constexpr int kMinNewEdgePixels = 4;
constexpr double kCannyLow = 40.0;
constexpr double kCannyHigh = 120.0;
// Room round the fresh change for the tip searches.
constexpr int kSearchMarginPx = 24;
// Pixels at the tip end that fix the tip across the axis.
constexpr double kTipBandPx = 2.0;
// A search's pixels must be this much longer than wide for a quality of 1.
constexpr double kFullQualityElongation = 5.0;
// Farthest a search's tip is carried on along its axis to the end of the colour change.
constexpr int kTipWalkReachPx = 16;
// Farthest the stored search carries its tip on over an earlier dart: a point and barrel seen
// lengthwise.
constexpr double kHiddenTipReachMm = 50.0;

const json* firstVote(const json& record) {
  const auto votes = record.find("votes");
  if (votes == record.end() || !votes->is_array() || votes->empty()) return nullptr;
  const json& vote = (*votes)[0];
  return vote.value("abstention", true) ? nullptr : &vote;
}

bool readLine(const json& vote, double line[3]) {
  const auto l = vote.find("line");
  if (l == vote.end() || !l->is_array() || l->size() != 3) return false;
  for (int i = 0; i < 3; ++i) {
    if (!(*l)[i].is_number()) return false;
    line[i] = (*l)[i].get<double>();
  }
  return std::isfinite(line[0]) && std::isfinite(line[1]) && std::isfinite(line[2]) &&
         std::hypot(line[0], line[1]) > 0.5;
}

// Nearest set pixel of the mask to the image point, in pixels; infinity when none lies within
// the reach.
double nearestSetPixel(const cv::Mat& mask, Point2 centre, int reach) {
  const cv::Rect box = cv::Rect(static_cast<int>(centre.x) - reach, static_cast<int>(centre.y) - reach,
                                2 * reach + 1, 2 * reach + 1) &
                       cv::Rect(0, 0, mask.cols, mask.rows);
  double nearest = std::numeric_limits<double>::infinity();
  for (int y = box.y; y < box.y + box.height; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int x = box.x; x < box.x + box.width; ++x) {
      if (row[x]) nearest = std::min(nearest, std::hypot(x - centre.x, y - centre.y));
    }
  }
  return nearest;
}

// Image pixels per board millimetre along x at the point.
double pxPerMmAt(const Homography& boardToImage, Point2 pointMm) {
  const Point2 centre = applyHomography(boardToImage, pointMm);
  const Point2 aside = applyHomography(boardToImage, {pointMm.x + 1.0, pointMm.y});
  return std::max(1e-6, std::hypot(aside.x - centre.x, aside.y - centre.y));
}

// Distance in pixels of the image point from an observation's image line; nothing when the
// observation holds no usable line.
std::optional<double> distanceFromObservation(const json& observation, Point2 pixel) {
  if (!observation.is_object() || !observation.value("axis_valid", false)) return std::nullopt;
  const auto origin = observation.find("origin_px");
  const auto direction = observation.find("direction_xy");
  if (origin == observation.end() || direction == observation.end() || !origin->is_array() ||
      !direction->is_array() || origin->size() != 2 || direction->size() != 2) {
    return std::nullopt;
  }
  for (const json* v : {&(*origin)[0], &(*origin)[1], &(*direction)[0], &(*direction)[1]}) {
    if (!v->is_number()) return std::nullopt;
  }
  const double ox = (*origin)[0].get<double>(), oy = (*origin)[1].get<double>();
  const double dx = (*direction)[0].get<double>(), dy = (*direction)[1].get<double>();
  const double n = std::hypot(dx, dy);
  if (!std::isfinite(ox) || !std::isfinite(oy) || !(n > 1e-9) || !std::isfinite(n)) return std::nullopt;
  return std::abs((pixel.x - ox) * dy - (pixel.y - oy) * dx) / n;
}

cv::Mat newColourEdges(const cv::Mat& reference, const cv::Mat& frame);

// Edges of the frame inside the window that the reference has not (its edges grown by one
// pixel, so a misregistration of a pixel adds none).
int newEdgePixels(const cv::Mat& reference, const cv::Mat& frame, const cv::Rect& window) {
  if (window.area() <= 0) return 0;
  return cv::countNonZero(newColourEdges(reference(window), frame(window)));
}

// Edges of the frame, channel by channel, that the reference has not (its edges grown by one
// pixel): a grey point on a red or green bed shows in the channel where they differ.
cv::Mat newColourEdges(const cv::Mat& reference, const cv::Mat& frame) {
  std::vector<cv::Mat> frameChannels, referenceChannels;
  cv::split(frame, frameChannels);
  cv::split(reference, referenceChannels);
  cv::Mat edges = cv::Mat::zeros(frame.size(), CV_8UC1);
  for (size_t c = 0; c < frameChannels.size() && c < referenceChannels.size(); ++c) {
    const cv::Mat own = cannyEdges(frameChannels[c], kCannyLow, kCannyHigh);
    const cv::Mat before = dilateMask(cannyEdges(referenceChannels[c], kCannyLow, kCannyHigh), 3, false);
    orMaskInPlace(edges, maskAndNot(own, before));
  }
  return edges;
}

json emptyLocalRecord() {
  return {{"supported", false}, {"evidence", "INSUFFICIENT_LOCAL_EVIDENCE"}, {"line_error_mm", nullptr},
          {"nearest_new_support_mm", nullptr}, {"independent_votes", 0}};
}

}  // namespace

json checkLocalTipEvidence(const cv::Mat& freshChange, const Homography& boardToImage,
                           const json& shaftRecord, Point2 pointMm) {
  json result = emptyLocalRecord();
  const json* vote = firstVote(shaftRecord);
  double line[3];
  if (vote == nullptr || !readLine(*vote, line)) return result;
  const double lineError = std::abs(line[0] * pointMm.x + line[1] * pointMm.y + line[2]);
  result["line_error_mm"] = roundToThousandths(lineError);
  result["independent_votes"] = 1;

  // The nearest changed pixel to the projected point, in board millimetres there.
  const Point2 centre = applyHomography(boardToImage, pointMm);
  const double pxPerMm = pxPerMmAt(boardToImage, pointMm);
  const int reach = static_cast<int>(std::ceil(kChangeSupportMm * 2 * pxPerMm));
  const double nearest = nearestSetPixel(freshChange, centre, reach);
  if (std::isfinite(nearest)) result["nearest_new_support_mm"] = roundToThousandths(nearest / pxPerMm);
  const bool supported = lineError <= kLineSupportMm && nearest / pxPerMm <= kChangeSupportMm;
  result["supported"] = supported;
  if (supported) result["evidence"] = "LOCAL_NEW_SUPPORT_AND_EDGES";
  return result;
}

json checkLocalTipEvidence(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& freshChange,
                           const Homography& boardToImage, const json& observations, Point2 pointMm) {
  json result = emptyLocalRecord();
  result["new_edge_pixels"] = 0;
  if (frame.empty() || reference.size() != frame.size() || freshChange.size() != frame.size() ||
      !observations.is_array()) {
    return result;
  }
  const Point2 centre = applyHomography(boardToImage, pointMm);
  const double pxPerMm = pxPerMmAt(boardToImage, pointMm);
  if (!std::isfinite(centre.x) || !std::isfinite(centre.y) || !std::isfinite(pxPerMm)) return result;

  double lineError = std::numeric_limits<double>::infinity();
  int passing = 0;
  for (const json& observation : observations) {
    const auto d = distanceFromObservation(observation, centre);
    if (!d) continue;
    const double mm = *d / pxPerMm;
    lineError = std::min(lineError, mm);
    passing += mm <= kLineSupportMm;
  }
  if (std::isfinite(lineError)) result["line_error_mm"] = roundToThousandths(lineError);
  result["independent_votes"] = passing;

  const int reach = static_cast<int>(std::ceil(kChangeSupportMm * 2 * pxPerMm));
  const double nearest = nearestSetPixel(freshChange, centre, reach);
  if (std::isfinite(nearest)) result["nearest_new_support_mm"] = roundToThousandths(nearest / pxPerMm);

  const int half = std::max(4, static_cast<int>(std::ceil(kEdgeWindowMm * pxPerMm)));
  const cv::Rect window = cv::Rect(static_cast<int>(std::lround(centre.x)) - half,
                                   static_cast<int>(std::lround(centre.y)) - half, 2 * half + 1, 2 * half + 1) &
                          cv::Rect(0, 0, frame.cols, frame.rows);
  const int edges = newEdgePixels(reference, frame, window);
  result["new_edge_pixels"] = edges;

  const bool supported = passing > 0 && nearest / pxPerMm <= kChangeSupportMm && edges >= kMinNewEdgePixels;
  result["supported"] = supported;
  if (supported) result["evidence"] = "LOCAL_NEW_SUPPORT_AND_EDGES";
  return result;
}

namespace {

constexpr const char* kSearches[] = {"colour", "frame", "fresh", "stored"};

json searchStatus(const char* search, const char* status) {
  return {{"status", status}, {"quality", 0.0}, {"kind", search}};
}

json everySearch(const char* status) {
  json all = json::object();
  for (const char* search : kSearches) all[search] = searchStatus(search, status);
  return all;
}

// The tip pixel of the first non-abstaining vote that has one.
std::optional<cv::Point2d> seedOf(const json& votes) {
  if (!votes.is_array()) return std::nullopt;
  for (const json& vote : votes) {
    if (!vote.is_object() || vote.value("abstention", true)) continue;
    const auto p = vote.find("image_point");
    if (p == vote.end() || !p->is_array() || p->size() != 2 || !(*p)[0].is_number() || !(*p)[1].is_number()) continue;
    const cv::Point2d seed((*p)[0].get<double>(), (*p)[1].get<double>());
    if (std::isfinite(seed.x) && std::isfinite(seed.y)) return seed;
  }
  return std::nullopt;
}

// Pixels walked from a search's last tip pixel outward along its axis while the colour change
// goes on (the ray's pixel or a neighbour across it above the dart's level): the median of the
// change masks and the fresh mask's smoothing trim the thin point, the raw change keeps it.
// -1 when the change runs on past the reach: the search did not end at the dart's point.
int walkToChangeEnd(const cv::Mat& difference, cv::Point2d last, cv::Point2d outward, cv::Point2d across) {
  int walked = 0;
  for (int k = 1; k <= kTipWalkReachPx; ++k) {
    bool changed = false;
    for (int j = -1; j <= 1 && !changed; ++j) {
      const cv::Point2d p = last + k * outward + j * across;
      const cv::Point q(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
      if (q.x < 0 || q.y < 0 || q.x >= difference.cols || q.y >= difference.rows) continue;
      changed = difference.at<uchar>(q) > kDartChangeLevel;
    }
    if (!changed) return walked;
    walked = k;
  }
  return -1;
}

// One search's tip: the main axis of its pixels, the end nearer the seed, and across the axis
// the mean of the pixels within a band of that end, carried on along the axis to the last
// pixel of the colour change. Quality grows with how much longer than wide the pixels are; too
// few pixels give "TOO_FEW_PIXELS".
// Where a search's pixels run onto an earlier dart, its tip may go on over that dart's stored
// change (see tipOverStoredChange); `stored` empty for the searches that do not look there.
struct HiddenTipSearch {
  cv::Mat change;  // every dart change of its window, not only the fresh change's components
  cv::Mat stored;  // the stored change of its window, grown
  cv::Point offset{0, 0};  // the window's corner in the image
  int reachPx = 0;
};

json tipOfPixels(const char* search, const cv::Mat& mask, cv::Point offset, cv::Point2d seed, int fewest,
                 const Homography& boardToImage, const cv::Mat& difference, const HiddenTipSearch& hidden = {}) {
  std::vector<cv::Point> set;
  cv::findNonZero(mask, set);
  if (static_cast<int>(set.size()) < fewest) return searchStatus(search, "TOO_FEW_PIXELS");
  cv::Point2d mean(0, 0);
  for (const cv::Point& p : set) mean += cv::Point2d(p.x, p.y);
  mean *= 1.0 / set.size();
  double sxx = 0, sxy = 0, syy = 0;
  for (const cv::Point& p : set) {
    const double dx = p.x - mean.x, dy = p.y - mean.y;
    sxx += dx * dx;
    sxy += dx * dy;
    syy += dy * dy;
  }
  const double angle = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
  cv::Point2d u(std::cos(angle), std::sin(angle));
  const cv::Point2d v(-u.y, u.x);
  const double half = 0.5 * (sxx + syy), diff = std::hypot(0.5 * (sxx - syy), sxy);
  const double major = half + diff, minor = std::max(half - diff, 1e-9 * (half + 1.0));
  const double elongation = std::sqrt(major / std::max(minor, 1e-9));
  double tLo = 1e300, tHi = -1e300;
  for (const cv::Point& p : set) {
    const double t = (p.x - mean.x) * u.x + (p.y - mean.y) * u.y;
    tLo = std::min(tLo, t);
    tHi = std::max(tHi, t);
  }
  const cv::Point2d seedLocal = seed - cv::Point2d(offset.x, offset.y);
  if (cv::norm(mean + tHi * u - seedLocal) < cv::norm(mean + tLo * u - seedLocal)) {
    u = -u;
    std::swap(tLo, tHi);
    tLo = -tLo;
    tHi = -tHi;
  }
  double across = 0.0;
  int band = 0;
  for (const cv::Point& p : set) {
    const cv::Point2d d(p.x - mean.x, p.y - mean.y);
    if (d.dot(u) > tLo + kTipBandPx) continue;
    across += d.dot(v);
    ++band;
  }
  across /= std::max(1, band);
  const cv::Point2d last = mean + tLo * u + across * v;
  const int walked = walkToChangeEnd(difference, last, -u, v);
  if (walked < 0) return searchStatus(search, "SHORT_OF_THE_CHANGE");
  // The last changed pixel's centre lies half a pixel inside the dart's end.
  cv::Point2d local = last - (walked + 0.5) * u;
  if (!hidden.stored.empty()) {
    const cv::Point2d shift(offset.x - hidden.offset.x, offset.y - hidden.offset.y);
    local = tipOverStoredChange(hidden.change, hidden.stored, local + shift, -u, hidden.reachPx) - shift;
  }
  const cv::Point2d tip = local + cv::Point2d(offset.x, offset.y);
  const Point2 point = imageToBoard(boardToImage, tip);
  if (!std::isfinite(point.x) || !std::isfinite(point.y)) return searchStatus(search, "TIP_NOT_ON_BOARD");
  const double quality = std::clamp((elongation - 1.0) / (kFullQualityElongation - 1.0), 0.0, 1.0);
  return {{"status", "CANDIDATE"},
          {"quality", roundTo(quality, 2)},
          {"kind", search},
          {"point", {roundToThousandths(point.x), roundToThousandths(point.y)}},
          {"field", nominalField(point)},
          {"image_point", {roundTo(tip.x, 2), roundTo(tip.y, 2)}},
          {"pixels", static_cast<int>(set.size())},
          {"elongation", roundTo(elongation, 2)}};
}

}  // namespace

cv::Mat brightnessMatchedCrop(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& change) {
  cv::Mat outside;
  cv::bitwise_not(change, outside);
  const double mf = cv::mean(toGray(frame), outside)[0];
  const double mb = cv::mean(toGray(background), outside)[0];
  const double gain = mf > 1.0 ? std::clamp(mb / mf, 0.6, 1.6) : 1.0;
  if (std::abs(gain - 1.0) < 0.015) return frame;
  cv::Mat scaled;
  frame.convertTo(scaled, -1, gain);
  return scaled;
}

json locateCameraCandidate(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& freshMask,
                           const Homography& boardToImage, const cv::Mat& storedMask, const json& votes,
                           const CandidateFlags& flags) {
  if (freshMask.empty() || frame.empty() || cv::countNonZero(freshMask) == 0) return everySearch("NO_EVENT_REGION");
  if (reference.size() != frame.size() || freshMask.size() != frame.size() || reference.type() != frame.type()) {
    return everySearch("NO_EVENT_REGION");
  }
  if (flags.changedFraction > flags.largestFraction) return everySearch("EVENT_REGION_TOO_LARGE");
  const auto seed = seedOf(votes);
  if (!seed) return everySearch("NO_CAMERA_LOCAL_SEED");

  const cv::Rect found = maskBox(freshMask);
  const cv::Rect box = cv::Rect(found.x - kSearchMarginPx, found.y - kSearchMarginPx, found.width + 2 * kSearchMarginPx,
                                found.height + 2 * kSearchMarginPx) &
                       cv::Rect(0, 0, frame.cols, frame.rows);
  const cv::Mat fresh = freshMask(box);
  const cv::Mat near = dilateMask(fresh, 5, false);
  const cv::Mat matched = brightnessMatchedCrop(frame(box), reference(box), fresh);
  const cv::Mat difference = colourDifference(matched, reference(box));
  const cv::Mat colour = componentsTouching(dartChangeMask(difference, kDartChangeLevel), fresh);
  const cv::Mat edges = maskAnd(newColourEdges(reference(box), matched), near);

  const int fewest = std::max(20, flags.minPixels / 4);
  json result = json::object();
  result["colour"] = tipOfPixels("colour", colour, box.tl(), *seed, fewest, boardToImage, difference);
  result["frame"] = tipOfPixels("frame", edges, box.tl(), *seed, std::max(10, fewest / 2), boardToImage, difference);
  result["fresh"] = tipOfPixels("fresh", fresh, box.tl(), *seed, fewest, boardToImage, difference);
  const cv::Mat stored = storedMask.size() == frame.size() ? dilateMask(storedMask(box), 7, false) : cv::Mat();
  const cv::Mat crossing = stored.empty() ? cv::Mat() : maskAnd(maskAnd(colour, stored), near);
  if (crossing.empty() || cv::countNonZero(crossing) == 0) {
    result["stored"] = searchStatus("stored", "NO_STORED_CHANGE");
  } else {
    cv::Mat completed = fresh.clone();
    orMaskInPlace(completed, crossing);
    HiddenTipSearch hidden;
    const double ppm = pixelsPerMm(boardToImage, imageToBoard(boardToImage, *seed));
    hidden.reachPx = std::isfinite(ppm) && ppm > 0.0 ? static_cast<int>(std::ceil(kHiddenTipReachMm * ppm)) : 0;
    const int grow = kSearchMarginPx + hidden.reachPx;
    const cv::Rect window = cv::Rect(found.x - grow, found.y - grow, found.width + 2 * grow, found.height + 2 * grow) &
                            cv::Rect(0, 0, frame.cols, frame.rows);
    const cv::Mat background = reference(window);
    hidden.change = dartChangeMask(
        colourDifference(brightnessMatchedCrop(frame(window), background, freshMask(window)), background),
        kDartChangeLevel);
    hidden.stored = dilateMask(storedMask(window), 7, false);
    hidden.offset = window.tl();
    result["stored"] = tipOfPixels("stored", completed, box.tl(), *seed, fewest, boardToImage, difference, hidden);
  }
  return result;
}

json findCommonBoardPoint(const json& shaftRecord, Point2 pointMm) {
  const json* vote = firstVote(shaftRecord);
  double line[3];
  if (vote == nullptr || !readLine(*vote, line)) return {{"on_line", false}};
  const double norm = std::hypot(line[0], line[1]);
  const double d = (line[0] * pointMm.x + line[1] * pointMm.y + line[2]) / norm;
  const Point2 foot{pointMm.x - d * line[0] / norm, pointMm.y - d * line[1] / norm};
  return {{"on_line", true},
          {"point", {roundToThousandths(foot.x), roundToThousandths(foot.y)}},
          {"distance_mm", roundToThousandths(std::abs(d))}};
}


}  // namespace tarv
