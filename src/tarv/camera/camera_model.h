// A camera's lens and pose as stored in its calibration ("camera_model", the camera solve's
// report), the board-plane homography of that pose, and the lens maps that rectify frames.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/landmark_detection.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

struct CameraModel {
  int width = 0;   // "breite"
  int height = 0;  // "hoehe"
  cv::Matx33d K;
  cv::Vec<double, 5> dist;  // k1, k2, p1, p2, k3
  cv::Vec3d rvec;           // landmark frame (20 at +y) -> camera
  cv::Vec3d tvec;
};

// Reads a report object. Fails with "CAMERA_MODEL_NOT_VALID" (not an object, "ok" false,
// arrays of the wrong length or with non-finite numbers), "INVALID_CAMERA_INTRINSICS"
// (image size or focal lengths not positive, K not of the pinhole form), or the JSON
// library's key and type errors.
CameraModel parseCameraModel(const json& report);

// Engine board frame (20 at −y) -> ideal (rectified) pixels: K·[r1 −r2 t] of the pose,
// scaled to h33 = 1. Fails with "INVALID_PLANE_HOMOGRAPHY" when degenerate or when the board
// centre lies behind the camera.
Homography planeHomographyFromPose(const CameraModel& model);

// Ideal pixel -> pixel as the lens shows it, and back.
cv::Point2d distortPixel(const CameraModel& model, cv::Point2d ideal);
cv::Point2d undistortPixel(const CameraModel& model, cv::Point2d pixel);

// The model as a solved camera (quality fields from the report where it has them).
LandmarkSolution solutionFromCameraModel(const CameraModel& model, const json& report);

// Undistortion maps of one camera; all empty when the camera has no lens model.
struct LensMaps {
  cv::Mat fullX, fullY;  // image size
  cv::Mat halfX, halfY;  // half the image size (integer halves)
  bool empty() const { return fullX.empty(); }
};

// Releases the maps, then builds both pairs from the report. Fails with "LENS_SIZE_MISMATCH"
// when the model's image size is not width x height, and like parseCameraModel.
void buildLensMaps(LensMaps& maps, const json& report, int width, int height);
// Rectified copy of a BGR frame (bilinear, constant border); a plain copy without maps.
// Fails with "LENS_SIZE_MISMATCH" when the frame does not have the maps' size.
cv::Mat undistortFrame(const LensMaps& maps, const cv::Mat& frame, bool half);

}  // namespace tarv
