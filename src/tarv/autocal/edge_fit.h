// The camera fitted to the edges it found: Levenberg-Marquardt on their distances across
// themselves, the pose always, the focal length, k1 and the double ring's edge offset as asked.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/edge_search.h"

namespace tarv {

// Signed distances across their edges of the matches' image points from the camera's
// projection of their board points, the double ring's edge taken outerMm beyond 170 mm, and
// (optionally) their derivatives by rvec, tvec, the focal length, k1 and outerMm.
std::vector<double> edgeResiduals(const CameraEstimate& e, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                                  cv::Mat* jacobian, double outerMm = 0.0);

// The parameters a fit moves: the pose always, the focal length and k1 with enough edges,
// the double ring's edge offset where other rings hold the board's scale.
struct FitParameters {
  bool intrinsics = false;
  bool outer = false;
  bool lens = true;  // k1 with the focal length
  std::vector<int> columns() const {
    std::vector<int> c{0, 1, 2, 3, 4, 5};
    if (intrinsics) c.push_back(6);
    if (intrinsics && lens) c.push_back(7);
    if (outer) c.push_back(8);
    return c;
  }
};

// The camera fitted to the matches `use` from start; outerMm is the double ring's edge offset,
// in and out.
CameraEstimate fitToEdges(const CameraEstimate& start, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                          FitParameters free, double& outerMm);

// A camera in the range a fit may end in: focal length, lens bend, in front of the board.
bool plausible(const CameraEstimate& e);

}  // namespace tarv
