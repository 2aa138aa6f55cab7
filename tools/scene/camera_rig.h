// Pinhole cameras placed round the rim of the board, looking at it from the front.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tarv::scene {

struct CameraSpec {
  std::string id = "CAM_1";
  cv::Size image_size{1280, 720};
  // Focal length in pixels; 0 fits it so the whole board spans `board_fill` of the image
  // (the tighter of width and height, measured from the principal point).
  double focal_px = 0.0;
  double board_fill = 0.92;
  // Where the camera stands, seen from the bull: direction round the board in the board plane
  // (0 above the 20, 90 right, 180 below the 3, clockwise as seen from the front), angle
  // between the line to the bull and the board normal, and distance from the bull.
  double azimuth_deg = 180.0;
  double elevation_deg = 45.0;
  double distance_mm = 520.0;
  // The board point on the optical axis; without one the camera is turned so that the
  // whole board is centred in the image.
  std::optional<cv::Point2d> aim_mm;
  // Turn about the optical axis; 0 keeps the board's "up" (the 20 side) up in the image.
  double roll_deg = 0.0;
  // Radial lens distortion: a normalised image point p is seen at p·(1 + k1·|p|²).
  double k1 = 0.0;
};

class Camera {
 public:
  explicit Camera(const CameraSpec& cameraSpec);

  const CameraSpec& cameraSpec() const { return spec_; }
  cv::Size imageSize() const { return spec_.image_size; }
  const cv::Matx33d& K() const { return K_; }
  // Board -> camera: X_cam = R·X_board + t (a proper rotation; the board frame is right-handed
  // with z into the board).
  const cv::Matx33d& R() const { return R_; }
  const cv::Vec3d& t() const { return t_; }
  // Board millimetres (z = 0) -> ideal pinhole pixels, K·[r1 r2 t], normalised to h33 = 1.
  // With lens distortion the image itself is distorted; this stays the undistorted mapping.
  const cv::Matx33d& boardToImage() const { return H_; }
  // The same for the plane height_mm in front of the face (z = -height_mm): K·[r1 r2 t - h·r3].
  cv::Matx33d planeToImage(double height_mm) const;
  cv::Point3d centre() const { return centre_; }
  // Where lines perpendicular to the board converge in the ideal image: K·r3.
  cv::Point2d imageNormal() const;

  // Pixel of a board-frame point, lens distortion included.
  cv::Point2d project(const cv::Point3d& point) const;
  cv::Point2d project(const cv::Point2d& board_point) const { return project({board_point.x, board_point.y, 0.0}); }
  // Board point seen at a pixel (distortion removed first).
  cv::Point2d imageToBoard(const cv::Point2d& pixel) const;
  // Distorted pixel -> ideal pinhole pixel and back.
  cv::Point2d undistortPixel(const cv::Point2d& pixel) const;
  cv::Point2d distortPixel(const cv::Point2d& ideal) const;
  // Depth along the optical axis; positive for points in front of the camera.
  double depth(const cv::Point3d& point) const;
  bool inImage(const cv::Point2d& pixel) const;

 private:
  CameraSpec spec_;
  cv::Matx33d K_;
  cv::Matx33d R_;
  cv::Vec3d t_;
  cv::Matx33d H_;
  cv::Point3d centre_;
};

// Unit vector pointing out of the board toward the thrower, tilted from the board normal by
// tilt_deg toward the board direction azimuth_deg (0 toward the 20, clockwise).
cv::Vec3d frontDirection(double tilt_deg, double azimuth_deg);

// Three cameras round the rim: upper left, upper right and below the board.
std::vector<CameraSpec> defaultRig(cv::Size image_size = {1280, 720});
// The default rig with every camera at the same angle off the board normal.
std::vector<CameraSpec> rigAtElevation(cv::Size image_size, double elevation_deg);
// Cameras close to the board plane, 15 degrees above it, at distance_mm from the bull (300 mm
// is 78 mm in front of the board), turned round the board by turn_deg from the default rig's
// places, each mounted upright (the board's near edge straight below the bull).
std::vector<CameraSpec> rigCloseToPlane(cv::Size image_size, double distance_mm, double turn_deg = 0.0);
// The turn about the optical axis that mounts a camera upright: the board's near edge
// straight below the bull.
double uprightRoll(CameraSpec camera);

}  // namespace tarv::scene
