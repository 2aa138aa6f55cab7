// The straight wires of a board in a grey image: their common point (the bull), their
// directions, and the initial board-to-image homography that pairs their ends on the outer
// ellipse with the wire ends on the 170 mm ring.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/calibration_error.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// a·x + b·y + c = 0 with (a, b) a unit normal: |a·x + b·y + c| is a distance in pixels.
struct WireLine {
  double a = 0.0;
  double b = 0.0;
  double c = 0.0;
};

struct WireIntersection {
  std::vector<double> familyAngles;  // radians in [0, pi), ascending
  Point2 bull;
};

struct WireAssignment {
  double meanError = 0.0;  // pixels
  int index = 0;           // 100·direction + shift
  Homography h{};
};

// The 20 wire ends on the 170 mm ring at -81 + 18·j degrees (the 20/1 wire first), board
// millimetres with the 20 at negative y.
std::vector<Point2> ringWirePoints();

// Throws "TOO_FEW_WIRE_LINES", "NO_COMMON_WIRE_INTERSECTION" or "WIRE_FAMILIES_INCOMPLETE (n)".
WireIntersection findWireIntersection(const cv::Mat& grey, const cv::RotatedRect& ellipse, int lineLimit);

// The initial homography; fills the wire report ("bull_px", "wire_families", "initial_fit_px",
// "orientation_index"). Throws the codes above, "WIRE_COUNT n; expected 20",
// "DEGENERATE_INITIAL_HOMOGRAPHY" and "MIRRORED_HOMOGRAPHY".
Homography findWireFamilies(const cv::Mat& grey, const cv::RotatedRect& ellipse, int lineLimit,
                            json& report);

// The trial with the smallest error among those that keep the board's handedness (the first
// on a tie). A board seen from the front is never mirrored, and rings and wires alone cannot
// tell a mirrored pairing from the true one, so when no trial keeps the handedness there is
// no fit: "MIRRORED_HOMOGRAPHY" ("DEGENERATE_INITIAL_HOMOGRAPHY" when there is no trial).
WireAssignment chooseWireAssignment(const std::vector<WireAssignment>& trials);

// cv::findHomography over float pairs (board -> image); method 0 or cv::RANSAC, 2000
// iterations, confidence 0.995. Throws "DEGENERATE_INITIAL_HOMOGRAPHY" for an empty or
// non-finite result.
Homography estimateHomography(const std::vector<cv::Point2f>& board, const std::vector<cv::Point2f>& image,
                              int method, double threshold, std::vector<uchar>* inlierMask = nullptr);

// True when the board's x and y axes keep the image's turning sense at the bull (no mirror).
bool keepsBoardHandedness(const Homography& h);

cv::Matx33d ellipseConic(const cv::RotatedRect& ellipse);
// The two crossings of the line with the ellipse, or none.
std::optional<std::pair<Point2, Point2>> intersectLineEllipse(const WireLine& line, const cv::RotatedRect& ellipse);

}  // namespace tarv
