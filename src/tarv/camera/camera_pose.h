// A camera's place in board space, recovered from its board-to-image homography.
#pragma once

#include <array>
#include <optional>

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// Board frame: millimetres, x right, y down, z = 0 on the board face. The camera looks at the
// face, so its centre lies on the side that `heightSign` calls positive: a point's height
// above the face, toward the cameras, is heightSign·z.
struct CameraPose {
  cv::Matx33d K;
  cv::Matx33d R;    // board -> camera rotation
  cv::Vec3d t;      // X_cam = R·X_board + t
  cv::Matx34d P;    // K·[R | t]: board points (x, y, z, 1) to image pixels
  cv::Vec3d centre; // camera centre in the board frame
  double heightSign = 1.0;

  double heightOf(const cv::Vec3d& point) const { return heightSign * point[2]; }
  // The image pixel of a board-frame point; nullopt behind the camera.
  std::optional<cv::Point2d> project(const cv::Vec3d& point) const;
  // Direction (board frame) of the ray through an image pixel.
  cv::Vec3d rayThrough(cv::Point2d pixel) const;
};

// K estimated from a plane homography: principal point at the image centre, square pixels,
// the orthogonality of r1 and r2 giving the focal length. Nullopt when no positive focal
// length follows.
// True when no entry is NaN or infinite.
bool allFinite(const cv::Matx33d& m);

std::optional<cv::Matx33d> intrinsicsFromHomography(const Homography& boardToImage, cv::Size imageSize);

// The pose behind a homography, with the camera model's K (nine values, row by row) when it
// has one (k[0] > 0), else the K estimated from the homography. Nullopt when the homography
// is not a camera's view of the board.
std::optional<CameraPose> cameraPoseFromHomography(const Homography& boardToImage,
                                                   const std::array<double, 9>& modelK,
                                                   cv::Size imageSize);

}  // namespace tarv
