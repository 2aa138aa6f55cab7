// Distance of a board point from the nearest wire, from the board's geometry alone (not from
// the library), so the demo and the benchmark place darts near or clear of wires on their own.
#pragma once

#include <opencv2/core.hpp>

namespace tarv::host {

// Millimetres from the nearest wire centre line: the six rings and the twenty radial wires,
// which run from the outer bull (17 mm) to the double (170 mm) at 9 + 18·k degrees.
double wireDistanceMm(cv::Point2d point);

// Where a steel point aimed at the board point stands: a point inside a wire's metal (within
// half its width of the centre line) is turned aside onto the nearer side, touching the wire.
cv::Point2d clearOfWireMetal(cv::Point2d point);

}  // namespace tarv::host
