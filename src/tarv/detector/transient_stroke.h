// What a dart seen only for a moment leaves in a view: a thin, dart-like stroke of change whose
// line, carried to the board, crosses another view's on the board. A glint, a small shadow or a
// flicker makes no such stroke. The motion-bouncer review and the evaluation's vanished change
// both ask it before a bounce-out is entered.
#pragma once

#include <array>
#include <optional>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// One view's dart-like stroke.
struct TransientStroke {
  json record;  // "length", "area", "clean_fraction", "box"
  double length = 0.0;
  cv::Rect box;
  std::array<double, 3> boardLine{};
  Homography view{};
};

struct StrokeCrossing {
  Point2 point;
  int first = 0;
  int second = 0;
  double sine = 0.0;
};

// Pixels a stroke may not be made of, in an image of `size` whose board-to-image homography is
// `view`: the darts already in the board (the camera's stored change, grown) and, beyond the
// board, whatever moved round it (a camera without a motion record has seen none).
cv::Mat strokeExcludedPixels(const Camera& camera, cv::Size size, const Homography& view);

// The longest thin, clean change component of a view (board height `height` px there); the
// first of equal length stays.
std::optional<TransientStroke> findTransientStroke(const cv::Mat& change, const cv::Mat& excluded,
                                                   const Homography& view, double height);

// The pair of views whose board lines cross most steeply within the board radius (and a
// margin), near both strokes.
std::optional<StrokeCrossing> crossTransientStrokes(const std::array<std::optional<TransientStroke>, 3>& strokes,
                                                    double boardRadiusMm);

}  // namespace tarv
