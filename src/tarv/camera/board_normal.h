// Where lines perpendicular to the board converge in a camera image.
#pragma once

#include <array>
#include <optional>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// K·r3, the vanishing point of the board normal, as a homogeneous image point. From the
// camera model's "K" and "rvec" when it has them; otherwise K is estimated from the
// homography (principal point at the image centre, square pixels, r1 ⟂ r2). Null when
// neither gives a finite point.
std::optional<std::array<double, 3>> boardNormalImagePoint(const Homography& boardToImage,
                                                           const nlohmann::json& cameraModel,
                                                           cv::Size imageSize);

}  // namespace tarv
