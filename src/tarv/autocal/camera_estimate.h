// The landmark solver's shared pieces: the reference wire crossings, a full camera hypothesis
// with its projection, back-projection and turn by sectors, and crossing matching.
//
// Landmark frame: millimetres, bull at the origin, board surface z = 0, the 20 at +y, angles
// from +x towards +y; sector position i (label 20, 1, 18, ...) is centred at 90 − 18·i
// degrees and wire i lies at 90 − 18·i − 9 degrees. A camera in front of the board has its
// centre at z > 0. (The engine's board frame has the 20 at −y: (x, y) here is (x, −y) there.)
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace tarv {

// 100 crossings of radial and ring wires, radius-major: index 20·k + i lies on ring k (15.9,
// 99, 107, 162, 170 mm) and wire i; a board with 10 mm beds (wideBeds) has its beds' inner
// rings at 97 and 160 mm.
const std::vector<cv::Point3d>& referenceCrossings(bool wideBeds = false);
constexpr int kCrossingRings = 5;
constexpr int kCrossingWires = 20;

struct CameraEstimate {
  int32_t width = 0;
  int32_t height = 0;
  cv::Mat K;     // 3x3 double
  cv::Mat dist;  // 1x5 double: k1, k2, p1, p2, k3
  cv::Mat rvec;  // 3x1 double, board -> camera
  cv::Mat tvec;  // 3x1 double, mm
};

// A distortion-free camera with equal focal lengths, for fast scoring.
struct PinholePose {
  cv::Matx33d R;
  cv::Vec3d t;
  double f = 0.0;
  double cx = 0.0;
  double cy = 0.0;
};

struct MatchScore {
  int32_t matches = 0;
  double rmsPx = 1e9;
};

CameraEstimate makeCameraEstimate(int width, int height, double focal);
CameraEstimate cloneCameraEstimate(const CameraEstimate& e);
std::vector<cv::Point2d> projectBoardPoints(const CameraEstimate& e, const std::vector<cv::Point3d>& board);
// Image pixels a board mm spans at a board point along a board direction (a unit vector).
double boardPxPerMm(const CameraEstimate& e, cv::Point3d at, cv::Point3d dir);
// The same camera with its board plane mm off the face, towards the camera (a board's wires
// stand off its face).
CameraEstimate raisedBy(const CameraEstimate& e, double mm);
// The mean pixel distance between where two cameras put the same 20 points of a board ring
// (on the wires' directions): how far apart they place the board, its turn included.
double ringDistancePx(const CameraEstimate& a, const CameraEstimate& b, double radiusMm = 170.0);
// Board points seen at the image points. A pixel whose ray does not meet the board's front
// side (parallel to the board, or behind the camera) gives (NaN, NaN): there is no board
// point there.
std::vector<cv::Point2d> backProjectToBoard(const CameraEstimate& e, const std::vector<cv::Point2d>& pixels);
// −Rᵀ·t in board millimetres.
cv::Vec3d cameraCentre(const CameraEstimate& e);
// Turns the board frame by k sectors: a direction at α in the new frame is α − 18·k in the old.
void rotateBySectors(CameraEstimate& e, int k);

struct CrossingMatches {
  std::vector<int> reference;  // ascending
  std::vector<int> detection;
};
// Where the two wires of a pair of rings (8 mm apart) lie closer than this in the image all
// round (a board under 100 px across), the network places one crossing for both, a pixel or so
// off either: a quarter of the pair's spacing would hold none of them, so each crossing's
// spacing is taken as this, at most its spacing along its ring. Only on such a board: where
// just the far side of a grazing view merges, those crossings matched would pull a camera
// the rest of the board places well (0.3 px seen to become 0.7 px).
constexpr double kMinPairSpacingPx = 4.0;

// Each detection to its nearest projected crossing when nearer than tolerance × that
// crossing's spacing to its nearest neighbour (for the 100 crossings of a board whose pairs
// merge, at least kMinPairSpacingPx as above); a crossing keeps its nearest detection.
CrossingMatches matchCrossings(const std::vector<cv::Point2d>& projected,
                               const std::vector<cv::Point2d>& detected, double tolerance);
MatchScore scoreCameraEstimate(const CameraEstimate& e, const std::vector<cv::Point2d>& detected,
                               double tolerance, bool wideBeds = false);
// Detections counted against the 100 crossings of a pinhole pose; 0 when a crossing lies 1 mm
// or less in front of the camera. The first detection to reach a crossing takes it.
int32_t countPinholeMatches(const PinholePose& pose, const std::vector<cv::Point2d>& detected,
                            double tolerance);

}  // namespace tarv
