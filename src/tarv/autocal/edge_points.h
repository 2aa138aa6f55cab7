// The board's edge points a camera is judged and fitted on, in the landmark frame: the treble and
// double rings' outer edges, the beds' inner edges and the wires, each with the board direction
// across it and how far the next edge lies along that.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

namespace tarv {

struct EdgePoint {
  cv::Point3d board;
  cv::Point3d across;  // unit board direction across the edge
  int kind;            // 0 treble ring, 1 double ring, 2 wire, 3 a bed's inner edge
  double otherEdgeMm;  // the bed's other edge (a wire: the reach) along across (0: none near)
};

// A regulation board's treble and double beds are 8 mm deep (99 to 107 and 162 to 170 mm);
// older boards and the engine's own rendered board have them 10 mm deep. A band located as a
// whole with the wrong depth settles a pixel or so off its wires: the right camera of a board
// with 10 mm beds lay 0.6 px off after the fit, its treble contradicting it in five octants.
constexpr double kRegulationBedMm = 8.0;
constexpr double kWideBedMm = 10.0;

// The edge points of a board with regulation beds, or with 10 mm beds (wideBeds); built once.
const std::vector<EdgePoint>& edgePoints(bool wideBeds = false);

// The board octant (0..7, counted from -180 degrees) of a landmark-frame point.
size_t octantOf(cv::Point2f b);

// The parity (0 or 1) of the wire k (at 81 − 18·k degrees) nearest a landmark-frame point: the
// beds either side of alternate wires swap colours.
int wireParity(cv::Point2f b);

}  // namespace tarv
