// What real rigs and photographs show beside the clean renders: boards of other makes (number
// rings in other colours, printed logos, duller or thicker wires, stains, worn sisal and dart
// holes), a coloured catch ring and lamps round the board, and the camera's light and
// electronics (LED-ring and room-lamp light, tint, dark and bright exposures, vignetting,
// blur, sensor noise, JPEG and MJPG compression). Everything is drawn from the caller's
// seeded stream, so a seed gives the same image on every machine.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

#include "scene/scene.h"

namespace tarv::landmark_boards {

// A copy of the face with another make's look. The wires stay where they were: the labels
// hold for the copy.
scene::BoardTexture otherMakeTexture(const scene::BoardTexture& face, scene::SceneRandom& rng);

// A catch ring (a coloured disc round the board, maybe printed on) and bright lamps, drawn
// into the pixels beyond the board's rim.
void paintSurround(cv::Mat& frame, const scene::Camera& camera, const cv::Mat& beyondRim, scene::SceneRandom& rng);

// The camera's light and electronics on a rendered frame; ledRing: the light is an LED ring's
// (the draws stay the same, so the rest of the frame's look does too).
cv::Mat rigImaging(const cv::Mat& frame, const scene::Camera& camera, scene::SceneRandom& rng, bool ledRing = false);

}  // namespace tarv::landmark_boards
