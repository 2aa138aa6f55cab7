// Starting cameras for the landmark solve: from the bull and the sector numbers through a
// plane homography, from a grid of cameras looking through the bull pixel, and from the
// ellipse of the detected crossings taken as the 170 mm circle.
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

// The network's kept detections: box centres in image pixels, classes and scores.
struct LandmarkDetections {
  std::vector<cv::Point2d> centres;
  std::vector<int> classes;
  std::vector<float> scores;
};

struct PoseCandidate {
  int32_t matches = 0;
  PinholePose pose;
};

// Camera centre and unit normal of a circle, in camera coordinates (mm).
struct CircleSolution {
  cv::Vec3d centre;
  cv::Vec3d normal;
};

std::vector<CameraEstimate> homographyHypotheses(int width, int height, const LandmarkDetections& kept,
                                                 cv::Point2d bull);
std::optional<CameraEstimate> cameraFromHomography(const cv::Matx33d& H, int width, int height, double focal);
// The focal length a board-to-image homography implies with the optical centre at the image's
// centre and square pixels; none for a view straight onto the board.
std::optional<double> focalFromHomography(const cv::Matx33d& H, int width, int height);
// Starts from the board's plane as the detected crossings span it: a homography grown from the
// seed camera's matches over five rounds, turned into cameras at the focal length it implies
// (and 0.8 and 1.25 times it). For lenses the grids' focal lengths (0.4 to 1 image widths) miss.
// With freeCentre, and at least 40 pairs, one more start fits the optical centre to the plane's
// pairs (a photograph cut to the board). Where the seed matches under two thirds of the
// crossings, the seed moved to where it would have taken the treble rings for the double
// ones, and the other way round, are starts as well.
std::vector<CameraEstimate> planeHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                            const CameraEstimate& seed, bool freeCentre);
std::vector<CameraEstimate> bullGridHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                               cv::Point2d bull, int maxCount);
PinholePose lookAtPose(int width, int height, double focal, const cv::Vec3d& position, cv::Point2d bull);
CameraEstimate cameraFromPinholePose(int width, int height, const PinholePose& pose);
std::vector<CameraEstimate> ellipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                              int maxCount);
// The same at the caller's focal lengths (image widths): the four above assume a wide lens.
std::vector<CameraEstimate> ellipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                              int maxCount, const std::vector<double>& focalFactors);
// Focal lengths, in image widths, of the wide-lens ellipse starts.
inline const std::vector<double>& wideLensFocalFactors() {
  static const std::vector<double> factors{0.4, 0.55, 0.75, 1.0};
  return factors;
}
// Focal length, in image widths, of a lens about 120 degrees across a 16:9 frame (a webcam
// close to its board), below the wide-lens starts.
constexpr double kWidestLensFocalFactor = 0.3;
// Focal lengths, in image widths, of the long-lens ellipse starts: a board filling a frame
// from farther away, beyond the one image width the wide-lens starts reach.
inline const std::vector<double>& longLensFocalFactors() {
  static const std::vector<double> factors{1.25, 1.6, 2.0, 2.6, 3.4};
  return factors;
}
// Of each point, the distance to its (which + 1)-th nearest other point; at least which + 2 points.
std::vector<double> nearestDistances(const std::vector<cv::Point2d>& points, size_t which);
// The value that sorting would put at index (index < values.size()).
double nthSmallest(std::vector<double> values, size_t index);
// The crossings that have neighbours: each one's second-nearest other crossing within three times
// the distance nine in ten of them have theirs within. A detection off the board (a lamp, a
// stand, a dart's flight) has none.
std::vector<cv::Point2d> crossingsWithNeighbours(const std::vector<cv::Point2d>& crossings);
// The ellipse through the most crossings (at least 12): one wire ring of the board, found
// among the strays a busy photograph adds about it (a hull of all crossings takes them in).
// A crossing lies on it within a share of its radius and tolerancePx.
std::optional<cv::RotatedRect> findCrossingRing(const std::vector<cv::Point2d>& crossings, double tolerancePx);
// How far the network places a crossing from its wire in an image of the size (about one of
// its input pixels, 640 across the image's long side, and a half more).
inline double networkCrossingTolerancePx(int width, int height) { return 1.5 * std::max(width, height) / 640.0; }
// Starts from that ring taken in turn as each wire ring it may be (from afar the treble ring
// looks as the double ring does from close by), at the caller's focal lengths (image widths).
std::vector<CameraEstimate> ringEllipseHypotheses(int width, int height, const std::vector<cv::Point2d>& crossings,
                                                  int maxCount, const std::vector<double>& focalFactors);
// The camera moved along its view to where the treble rings fall on the double rings' image
// and the other way round: the starts for a camera that matched one pair of rings as the other.
std::vector<CameraEstimate> otherRingStarts(const CameraEstimate& camera);
std::vector<CircleSolution> circlePosesFromConic(const cv::Matx33d& K, const cv::Matx33d& conic, double radius);

}  // namespace tarv
