// How the frame's change meets the round's known darts: small marks round darts lying far
// outside the board are tolerated, and the views are quiet only when nothing changed on the
// board or at a known dart.
#pragma once

#include <array>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/views/camera_analysis.h"

namespace tarv {

struct KnownDartChange {
  bool built = false;                    // change holds the full-size masks
  ImageTriple change;                    // full-size new and removed change, tolerated marks cleared
  json tolerated = json::array();        // one {"camera", "dart", "tolerated_pixels"} per cleared mark
  std::array<int, 3> removedPixels{};    // removed pixels (analysis scale) left after the tolerance
  std::array<double, 3> removedFraction{};  // of the stored change, after the tolerance
};

// Each camera's removed change with the small overlaps with darts more than 220 mm from the
// bull cleared (a miss lying in the surround that a later dart or a breath of air shook is not
// a dart being pulled). The full-size change is built only when such a dart is known.
KnownDartChange measureKnownDartChange(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses);

// The views are quiet: no change on any camera's board and none touching a known dart's region.
// A dart or a board point that does not project counts as not quiet. Builds the full-size
// change when the measure did not.
bool knownDartViewsQuiet(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses,
                         KnownDartChange& change);

}  // namespace tarv
