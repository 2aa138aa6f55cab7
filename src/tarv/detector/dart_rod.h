// The dart as a 3D rod: each camera's shaft axis and the camera's centre span a plane in
// board space, and two or three such planes meet in the line the dart lies on.
#pragma once

#include <array>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/camera/camera_pose.h"

namespace tarv {

// What one camera gives the rod: its pose, its shaft's image line and its own tip pixel.
struct RodView {
  std::optional<CameraPose> pose;
  std::optional<cv::Vec3d> imageLine;  // a·u + b·v + c = 0 in image pixels
  std::optional<cv::Point2d> tipPx;
};

struct DartRod {
  int cameras = 0;              // planes the rod was fitted to
  cv::Vec3d base;               // where the rod meets the board face (board frame)
  cv::Vec3d up;                 // unit direction from the tip toward the cameras
  cv::Vec3d tip;                // the tip end: the median of the cameras' tips on the rod
  double tipHeightMm = 0.0;     // height of that tip above the face, toward the cameras
  double tiltDeg = 0.0;         // between the rod and the board normal
  double residualMm = 0.0;      // RMS distance of the tip from the planes
  std::array<std::optional<double>, 3> cameraTipHeightMm;  // each camera's own tip on the rod
};

// The rod through the planes of the cameras flagged in `use` that have a pose and a line.
// Nullopt with fewer than two such planes, when they are nearly one plane, or when the rod
// runs along the board face.
std::optional<DartRod> fitDartRod(const std::array<RodView, 3>& views, const std::array<bool, 3>& use);

// The "dart_3d" document of a rod: {"rod": {"cameras", "tip_mm", "tilt_deg", "residual_mm"},
// "overlay": {"kind", "tilt_deg", "cameras": {"CAM_n": {"base", "top", "tip",
// "tip_height_mm"}}}} with "camera" for a "single_view" overlay. Overlay points are image
// pixels of that camera.
nlohmann::json dart3dDocument(const DartRod& rod, const std::array<RodView, 3>& views,
                              const std::string& kind, const std::string& singleCamera);

// Reads a camera's view from its shaft record (first vote and its axis observation).
RodView rodViewFromShaft(const std::optional<CameraPose>& pose, const nlohmann::json& shaftRecord);

}  // namespace tarv
