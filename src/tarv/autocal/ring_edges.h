// Refinement of a board-to-image homography on the ring and wire edges of the board: every
// known edge point is projected, the strongest gradient across it within 4 px is taken as
// its image point, and a RANSAC homography over all matches replaces the current one.
#pragma once

#include <functional>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/calibration_error.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

struct EdgeMatches {
  std::vector<cv::Point2f> board;  // millimetres
  std::vector<cv::Point2f> image;  // pixels
  // The side of its wire the edge lies on, along the search's normal: -1 or +1 where one side
  // alone shows (the wire taken for the brighter surface), 0 at the middle of both sides.
  std::vector<int> side;
};

// Signature of estimateHomography (board, image, method, threshold, inlier mask).
using HomographyEstimator = std::function<Homography(const std::vector<cv::Point2f>&, const std::vector<cv::Point2f>&,
                                                     int, double, std::vector<uchar>*)>;

// Three iterations with RANSAC thresholds 4, 3 and 2 px; the report holds the last
// iteration's statistics ("iteration", "matches", "inliers", "inlier_fraction", "rms_px",
// "p95_px", "octants"). Throws "TOO_FEW_EDGE_MATCHES" when an iteration finds fewer than 40
// edges. A RANSAC failure is "REFINEMENT_FAILED" in the first iteration; in a later one the
// previous iteration's homography stands, judged on the failed iteration's own edges, and the
// report says "refinement_stopped".
Homography refineByRingEdges(const cv::Mat& grey, const Homography& initial, json& report);
Homography refineByRingEdges(const cv::Mat& grey, const Homography& initial, json& report,
                             const HomographyEstimator& estimate);

// Edges of the treble (107 mm) and double (170 mm) rings every 1.5 degrees and across the 20
// wires every 15 mm from 30 to 150 mm: at most 660 matches.
EdgeMatches collectRingEdgeMatches(const cv::Mat& grey, const Homography& h, const cv::Mat& gx, const cv::Mat& gy);

// Adds at most one match: the strongest gradient across the edge within the offsets.
void matchEdgeAlongNormal(const Homography& h, const std::vector<double>& offsets, const cv::Mat& gx,
                          const cv::Mat& gy, cv::Size size, cv::Point2d boardPoint, cv::Point2d boardDirection,
                          EdgeMatches& matches);
// The strength (grey levels a pixel) below which a gradient is no edge of the board.
constexpr double kEdgeMinResponse = 20.0;
// The same search from the edge's image point c and its unit image normal n, for mappings
// other than a homography (a camera with its lens). An edge weaker than minResponse (grey
// levels a pixel) is none.
void matchEdgeFromPixel(const std::vector<double>& offsets, const cv::Mat& gx, const cv::Mat& gy, cv::Size size,
                        cv::Point2d c, cv::Point2d n, cv::Point2d boardPoint, EdgeMatches& matches,
                        double minResponse = kEdgeMinResponse);
// Bilinear sample of a CV_32F image; 0 unless the whole 2x2 neighbourhood lies in it.
double sampleBilinear(const cv::Mat& m, cv::Point2d s);
// The offsets the refinement searches: -4 to 4 px in steps of 0.5.
std::vector<double> edgeSearchOffsets();

}  // namespace tarv
