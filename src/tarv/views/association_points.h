// Whether change in the cameras belongs to the round's known darts: the part of a dart's mask
// that belongs to the dart, the quiet-views verdict, and the small overlaps with darts far
// outside the board that are tolerated.
#pragma once

#include <array>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// The dart's mask narrowed to its largest blob reaching into the 20 mm disc round the entry's
// "board_xy_nominal_mm", clipped to that disc, plus the 5 mm tip disc. The whole mask comes
// back when the entry has no point or the narrowed region has fewer than 80 pixels. Fails with
// "Projection at infinity".
cv::Mat buildAssociationRegion(const cv::Mat& dartMask, const Homography& boardToImage,
                               const json& entry);

// True when the views are quiet: fewer than 80 changed pixels on each camera's (dilated)
// board, no change at a dart on the board, and a dart outside the double ring touched in
// at most one of at least two cameras that see it.
bool projectAssociationPoints(const ImageTriple& changeMasks,
                              const std::array<Camera, 3>& cameras,
                              const std::vector<ImageTriple>& dartMasks, const json& entries);

// Clears, in the change masks' own pixels, small overlaps (under 20 % of the dart's mask) with
// darts more than 220 mm from the bull; returns one {"camera", "dart", "tolerated_pixels"}
// record per cleared overlap.
json measureToleratedPixels(ImageTriple& changeMasks, const json& entries,
                            const std::vector<ImageTriple>& dartMasks);

}  // namespace tarv
