// Moving everything a round keeps in one camera's image geometry onto the camera's current
// view after the camera was found moved, and taking a held drift over at a reset.
#pragma once

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"
#include "tarv/recovery/camera_movement.h"

namespace tarv {

// Warps the camera's stored images, masks and calibration by the accepted transform (stored
// image coordinates to current ones) and drops the per-camera state the move makes stale.
// Every realigned image is a new image: copies of the round keep their pixels.
void applyCameraRealignment(Round& round, int camera, const cv::Mat& frame,
                            const Homography& transform);

// A held drift taken over when the board is proven empty: the calibration moves by the
// transform and the current background images become the empty references, unwarped.
void rebaseCameraReferences(Round& round, int camera, const Homography& transform);

// The stored image warped by the transform and drawn over a copy of the current frame, so
// that what comes from outside the stored image shows the current frame; empty stays empty.
cv::Mat warpImageOverFrame(const cv::Mat& stored, const cv::Mat& frame, const Homography& transform,
                           cv::Size size);
// Nearest-neighbour warp of a mask with a zero border; empty stays empty.
cv::Mat warpMaskNearest(const cv::Mat& mask, const Homography& transform, cv::Size size);

}  // namespace tarv
