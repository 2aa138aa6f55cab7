// The camera fitted to the edges it found: Levenberg-Marquardt on their distances across
// themselves, the pose always, the focal length, k1 and the double ring's edge offset as asked.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/edge_search.h"

namespace tarv {

// Signed distances across their edges of the matches' image points from where the camera
// and the edge model expect them, and (optionally) their derivatives by rvec, tvec, the focal
// length, k1, the double ring's edge offset, the wires' width and their height.
std::vector<double> edgeResiduals(const CameraEstimate& e, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                                  cv::Mat* jacobian, const EdgeModel& model = {});

// The parameters a fit moves: the pose always, the focal length and k1 with enough edges,
// the double ring's edge offset where other rings hold the board's scale, the wires' width and
// height where their sides are told apart.
struct FitParameters {
  bool intrinsics = false;
  bool outer = false;
  bool lens = true;  // k1 with the focal length
  bool wires = false;
  std::vector<int> columns() const {
    std::vector<int> c{0, 1, 2, 3, 4, 5};
    if (intrinsics) c.push_back(6);
    if (intrinsics && lens) c.push_back(7);
    if (outer) c.push_back(8);
    if (wires) c.insert(c.end(), {9, 10});
    return c;
  }
};

// The camera fitted to the matches `use` from start; model is the edge model, in and out.
CameraEstimate fitToEdges(const CameraEstimate& start, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                          FitParameters free, EdgeModel& model);

// A camera in the range a fit may end in: focal length, lens bend, in front of the board.
bool plausible(const CameraEstimate& e);

}  // namespace tarv
