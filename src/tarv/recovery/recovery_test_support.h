// A round armed directly on rendered empty-board frames, for the recovery's tests.
#pragma once

#include <array>
#include <optional>

#include <opencv2/core.hpp>

#include "scene/scene.h"
#include "tarv/core/round.h"

namespace tarv {

// References, grey references, an empty stored change, the true homographies, board features
// and a surround-motion record per camera, as arming leaves them (without its camera guard).
Round roundArmedOn(const scene::SceneImages& empty,
                   std::optional<std::array<double, 3>> imageNormal = std::nullopt);

// Flat 32-pixel patches of random grey, softly blurred: a reference whose own edges stay few,
// as on a board's beds.
cv::Mat patchTexture(cv::Size size, uint64_t seed);

}  // namespace tarv
