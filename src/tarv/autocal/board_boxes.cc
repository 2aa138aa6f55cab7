#include "tarv/autocal/board_boxes.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tarv/autocal/landmark_output.h"
#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {
namespace {

// The second look at a small board: the box round its ring of crossings, this many times the
// ring's largest radius either way, or round its bull, this share of the image's long side
// either way; only a box that spans at most half the image is looked at.
constexpr double kBoardBoxPerRing = 3.0;
constexpr double kBullBoxShare = 0.2;
constexpr double kSmallBoardShare = 0.5;
// A board is small about its bull where the double ring lies within this share of the image's
// long side.
constexpr double kSmallBoardRadiusShare = 0.1;
// The closer look at a board wide but flat in the image: the box round its crossings and
// numbers, widened by this share of its long side each way, is looked at where the network
// then sees it at least this many times larger.
constexpr double kBoardExtentMargin = 0.1;
constexpr double kBoardExtentGain = 1.25;

}  // namespace

std::vector<cv::Rect> smallBoardBoxes(const LandmarkDetections& kept, cv::Size imageSize) {
  const int longSide = std::max(imageSize.width, imageSize.height);
  const cv::Rect whole(cv::Point(0, 0), imageSize);
  std::vector<cv::Rect> out;
  const auto add = [&](cv::Point2d centre, double half) {
    if (!(2.0 * half <= kSmallBoardShare * longSide)) return;
    const cv::Rect box = cv::Rect(cv::Point(static_cast<int>(std::floor(centre.x - half)), static_cast<int>(std::floor(centre.y - half))),
                                  cv::Point(static_cast<int>(std::ceil(centre.x + half)), static_cast<int>(std::ceil(centre.y + half)))) &
                         whole;
    if (box.width < 16 || box.height < 16) return;
    for (const cv::Rect& other : out) {
      if (other.contains(centre)) return;
    }
    out.push_back(box);
  };
  const std::vector<cv::Point2d> crossings = keptCrossings(kept);
  // About the bull the network is surest of, where the crossings about it lie close (nine in
  // ten of those within the box), a box that holds a board of the sizes seen in photographs
  // (a tenth to a quarter of the image across)...
  int best = -1;
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] == 0 && kept.scores[j] > 0.1f && (best < 0 || kept.scores[j] > kept.scores[best])) best = static_cast<int>(j);
  }
  if (best >= 0 && !crossings.empty()) {
    std::vector<double> d;
    for (const cv::Point2d& p : crossings) d.push_back(cv::norm(p - kept.centres[best]));
    std::sort(d.begin(), d.end());
    d.erase(std::upper_bound(d.begin(), d.end(), kBullBoxShare * longSide), d.end());
    if (!d.empty() && d[(d.size() - 1) * 9 / 10] <= kSmallBoardRadiusShare * longSide) {
      add(kept.centres[best], kBullBoxShare * longSide);
    }
  }
  // ...and about the ring of crossings, which may be the treble ring: the board with its
  // numbers reaches 2.1 times as far.
  if (const std::optional<cv::RotatedRect> ring =
          findCrossingRing(crossings, networkCrossingTolerancePx(imageSize.width, imageSize.height))) {
    add(ring->center, kBoardBoxPerRing * 0.5 * std::max(ring->size.width, ring->size.height));
  }
  return out;
}

std::optional<cv::Rect> boardExtentBox(const LandmarkDetections& kept, cv::Size imageSize, int inputSize) {
  std::vector<cv::Point2f> points;
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] >= 1 && kept.scores[j] > 0.25f) points.emplace_back(kept.centres[j]);
  }
  if (points.size() < 4) return std::nullopt;
  const cv::Rect2f extent = cv::boundingRect(points);
  const double margin = kBoardExtentMargin * std::max(extent.width, extent.height);
  double x0 = extent.x - margin, x1 = extent.x + extent.width + margin;
  double y0 = extent.y - margin, y1 = extent.y + extent.height + margin;
  // Never larger than the image's own pixels: a box narrower than the network's input is
  // widened about its centre until the network sees it pixel for pixel.
  const auto widen = [](double& lo, double& hi, double to, double size) {
    if (hi - lo >= to) return;
    const double grow = to - (hi - lo);
    lo -= grow / 2.0, hi += grow / 2.0;
    if (lo < 0.0) hi -= lo, lo = 0.0;
    if (hi > size) lo -= hi - size, hi = size;
  };
  if (x1 - x0 >= y1 - y0) {
    widen(x0, x1, inputSize, imageSize.width);
  } else {
    widen(y0, y1, inputSize, imageSize.height);
  }
  const cv::Rect box = cv::Rect(cv::Point(static_cast<int>(std::floor(x0)), static_cast<int>(std::floor(y0))),
                                cv::Point(static_cast<int>(std::ceil(x1)), static_cast<int>(std::ceil(y1)))) &
                       cv::Rect(cv::Point(0, 0), imageSize);
  if (box.width < 16 || box.height < 16) return std::nullopt;
  const double boxLong = std::max({box.width, box.height, inputSize});
  if (!(kBoardExtentGain * boxLong <= std::max(imageSize.width, imageSize.height))) return std::nullopt;
  return box;
}

}  // namespace tarv
