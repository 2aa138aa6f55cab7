// Breaking a tied consensus by the camera with the best view of the dart: how squarely it
// sees the board at the tip, how much clean change it saw and how good its own tip is.
#pragma once

#include <array>
#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

class Round;

// {"angle_factor", "pixels_per_mm"} of a board-to-image homography at a board point, from the
// singular values of its local 1 mm Jacobian; both 0.0 when the map is degenerate there.
// Fails with "Projection at infinity" like applyHomography.
json measureViewQuality(const Homography& h, Point2 point);

// When the consensus is tied and every camera has at most one usable tip, the ranking of the
// cameras whose own field is one of the two contested ones, and the best camera's field and
// point; null otherwise. views, stats and candidates as for collectCameraVotes; homographies
// in camera order.
json breakTieByBestView(const json& consensus, const json& views, const json& stats,
                        const json& candidates, const std::array<Homography, 3>& homographies);

}  // namespace tarv
