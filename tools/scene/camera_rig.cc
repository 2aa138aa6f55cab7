#include "scene/camera_rig.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "scene/board_texture.h"

namespace tarv::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDartRoomMm = 120.0;
double rad(double deg) { return deg * kPi / 180.0; }

cv::Vec3d normalised(const cv::Vec3d& v) {
  const double n = cv::norm(v);
  if (!(n > 1e-12)) throw std::runtime_error("DEGENERATE_CAMERA_POSE");
  return v / n;
}

void checkSpec(const CameraSpec& cameraSpec) {
  const bool ok = cameraSpec.image_size.width > 0 && cameraSpec.image_size.height > 0 &&
                  cameraSpec.image_size.width <= 16384 && cameraSpec.image_size.height <= 16384 &&
                  std::isfinite(cameraSpec.focal_px) && cameraSpec.focal_px >= 0.0 &&
                  cameraSpec.board_fill > 0.0 && cameraSpec.board_fill <= 4.0 &&
                  cameraSpec.elevation_deg >= 0.0 && cameraSpec.elevation_deg < 85.0 &&
                  cameraSpec.distance_mm > 1.0 && std::isfinite(cameraSpec.distance_mm) &&
                  std::isfinite(cameraSpec.azimuth_deg) && std::isfinite(cameraSpec.roll_deg) &&
                  std::isfinite(cameraSpec.k1) &&
                  (!cameraSpec.aim_mm || (std::isfinite(cameraSpec.aim_mm->x) && std::isfinite(cameraSpec.aim_mm->y)));
  if (!ok) throw std::runtime_error("INVALID_CAMERA_SPEC");
}

struct RimExtent {
  double min_x = 1e18, max_x = -1e18, min_y = 1e18, max_y = -1e18;
};

// What a camera must see, in normalised image coordinates (unit focal length, no
// distortion): the board's rim, and the room where darts in the double ring stand out.
RimExtent rimExtent(const cv::Matx33d& R, const cv::Vec3d& t) {
  RimExtent e;
  for (int i = 0; i < 720; ++i) {
    const double a = rad(i);
    const bool dart_room = i % 2 == 1;
    const double r = dart_room ? kRingRadii[5] : kBoardRadius;
    const cv::Vec3d p(r * std::sin(a), -r * std::cos(a), dart_room ? -kDartRoomMm : 0.0);
    const cv::Vec3d c = R * p + t;
    if (c[2] <= 1.0) throw std::runtime_error("BOARD_BEHIND_CAMERA");
    e.min_x = std::min(e.min_x, c[0] / c[2]);
    e.max_x = std::max(e.max_x, c[0] / c[2]);
    e.min_y = std::min(e.min_y, c[1] / c[2]);
    e.max_y = std::max(e.max_y, c[1] / c[2]);
  }
  return e;
}

// The focal length that makes the board rim reach `fill` of the way from the principal
// point to the nearest image edge.
double fittedFocal(const CameraSpec& cameraSpec, const cv::Matx33d& R, const cv::Vec3d& t, double cx,
                   double cy) {
  const RimExtent e = rimExtent(R, t);
  const double half_x = std::max(std::abs(e.min_x), std::abs(e.max_x));
  const double half_y = std::max(std::abs(e.min_y), std::abs(e.max_y));
  return cameraSpec.board_fill * std::min(cx / half_x, cy / half_y);
}

// Board -> camera rotation looking along `axis`: image "down" follows the board's +y
// (gravity for a board on a wall), so no camera sees the board upside down or mirrored;
// then turned by roll about the axis.
cv::Matx33d lookRotation(const cv::Vec3d& axis, double roll_deg) {
  const cv::Vec3d z = normalised(axis);
  const cv::Vec3d down(0.0, 1.0, 0.0);
  cv::Vec3d y = down - down.dot(z) * z;
  if (cv::norm(y) < 1e-6) y = cv::Vec3d(0.0, 0.0, 1.0) - z[2] * z;
  y = normalised(y);
  const cv::Vec3d x = y.cross(z);
  const double c = std::cos(rad(roll_deg)), s = std::sin(rad(roll_deg));
  const cv::Vec3d xr = c * x + s * y;
  const cv::Vec3d yr = -s * x + c * y;
  return {xr[0], xr[1], xr[2], yr[0], yr[1], yr[2], z[0], z[1], z[2]};
}

}  // namespace

cv::Vec3d frontDirection(double tilt_deg, double azimuth_deg) {
  const double s = std::sin(rad(tilt_deg));
  return {s * std::sin(rad(azimuth_deg)), -s * std::cos(rad(azimuth_deg)),
          -std::cos(rad(tilt_deg))};
}

Camera::Camera(const CameraSpec& cameraSpec) : spec_(cameraSpec) {
  checkSpec(cameraSpec);
  const cv::Vec3d centre = cameraSpec.distance_mm * frontDirection(cameraSpec.elevation_deg, cameraSpec.azimuth_deg);
  centre_ = cv::Point3d(centre[0], centre[1], centre[2]);
  if (cameraSpec.aim_mm) {
    R_ = lookRotation(cv::Vec3d(cameraSpec.aim_mm->x, cameraSpec.aim_mm->y, 0.0) - centre, cameraSpec.roll_deg);
  } else {
    // Turn toward the middle of the board's projected outline until it sits on the axis.
    cv::Vec3d axis = -centre;
    for (int i = 0; i < 6; ++i) {
      R_ = lookRotation(axis, cameraSpec.roll_deg);
      const RimExtent e = rimExtent(R_, -(R_ * centre));
      const cv::Vec3d middle(0.5 * (e.min_x + e.max_x), 0.5 * (e.min_y + e.max_y), 1.0);
      axis = R_.t() * middle;
    }
    R_ = lookRotation(axis, cameraSpec.roll_deg);
  }
  t_ = -(R_ * centre);

  const double cx = (cameraSpec.image_size.width - 1) / 2.0;
  const double cy = (cameraSpec.image_size.height - 1) / 2.0;
  const double f = cameraSpec.focal_px > 0.0 ? cameraSpec.focal_px : fittedFocal(cameraSpec, R_, t_, cx, cy);
  spec_.focal_px = f;
  K_ = cv::Matx33d(f, 0.0, cx, 0.0, f, cy, 0.0, 0.0, 1.0);

  H_ = planeToImage(0.0);
}

cv::Matx33d Camera::planeToImage(double height_mm) const {
  const cv::Vec3d t = t_ - height_mm * cv::Vec3d(R_(0, 2), R_(1, 2), R_(2, 2));
  cv::Matx33d h = K_ * cv::Matx33d(R_(0, 0), R_(0, 1), t[0], R_(1, 0), R_(1, 1), t[1], R_(2, 0), R_(2, 1), t[2]);
  h *= 1.0 / h(2, 2);
  return h;
}

cv::Point2d Camera::project(const cv::Point3d& point) const {
  const cv::Vec3d c = R_ * cv::Vec3d(point.x, point.y, point.z) + t_;
  return distortPixel({K_(0, 0) * c[0] / c[2] + K_(0, 2), K_(1, 1) * c[1] / c[2] + K_(1, 2)});
}

cv::Point2d Camera::distortPixel(const cv::Point2d& ideal) const {
  if (spec_.k1 == 0.0) return ideal;
  const double f = K_(0, 0);
  const double xn = (ideal.x - K_(0, 2)) / f, yn = (ideal.y - K_(1, 2)) / f;
  const double g = 1.0 + spec_.k1 * (xn * xn + yn * yn);
  return {f * xn * g + K_(0, 2), f * yn * g + K_(1, 2)};
}

cv::Point2d Camera::undistortPixel(const cv::Point2d& pixel) const {
  if (spec_.k1 == 0.0) return pixel;
  const double f = K_(0, 0);
  const double xd = (pixel.x - K_(0, 2)) / f, yd = (pixel.y - K_(1, 2)) / f;
  double xn = xd, yn = yd;
  for (int i = 0; i < 20; ++i) {
    const double g = 1.0 + spec_.k1 * (xn * xn + yn * yn);
    xn = xd / g;
    yn = yd / g;
  }
  return {f * xn + K_(0, 2), f * yn + K_(1, 2)};
}

cv::Point2d Camera::imageToBoard(const cv::Point2d& pixel) const {
  const cv::Point2d ideal = undistortPixel(pixel);
  const cv::Vec3d b = H_.inv() * cv::Vec3d(ideal.x, ideal.y, 1.0);
  return {b[0] / b[2], b[1] / b[2]};
}

cv::Point2d Camera::imageNormal() const {
  const cv::Vec3d v = K_ * cv::Vec3d(R_(0, 2), R_(1, 2), R_(2, 2));
  return {v[0] / v[2], v[1] / v[2]};
}

double Camera::depth(const cv::Point3d& point) const {
  return (R_ * cv::Vec3d(point.x, point.y, point.z) + t_)[2];
}

bool Camera::inImage(const cv::Point2d& pixel) const {
  return pixel.x >= -0.5 && pixel.y >= -0.5 && pixel.x < spec_.image_size.width - 0.5 &&
         pixel.y < spec_.image_size.height - 0.5;
}

std::vector<CameraSpec> rigAtElevation(cv::Size image_size, double elevation_deg) {
  std::vector<CameraSpec> rig(3);
  const double azimuths[3] = {-60.0, 60.0, 180.0};
  for (int i = 0; i < 3; ++i) {
    rig[i].id = "CAM_" + std::to_string(i + 1);
    rig[i].image_size = image_size;
    rig[i].azimuth_deg = azimuths[i];
    rig[i].elevation_deg = elevation_deg;
  }
  return rig;
}

double uprightRoll(CameraSpec camera) {
  const double a = camera.azimuth_deg * CV_PI / 180.0;
  const cv::Point2d nearEdge(170.0 * std::sin(a), -170.0 * std::cos(a));
  double best = 0.0, bestOff = 1e300;
  for (int roll = 0; roll < 360; ++roll) {
    camera.roll_deg = roll;
    const Camera c(camera);
    const cv::Point2d d = c.project(nearEdge) - c.project(cv::Point2d(0.0, 0.0));
    const double off = d.y > 0.0 ? std::abs(d.x) / d.y : 1e300;
    if (off < bestOff) {
      bestOff = off;
      best = roll;
    }
  }
  return best;
}

std::vector<CameraSpec> rigCloseToPlane(cv::Size image_size, double distance_mm, double turn_deg) {
  std::vector<CameraSpec> rig = rigAtElevation(image_size, 75.0);
  for (CameraSpec& camera : rig) {
    camera.distance_mm = distance_mm;
    camera.azimuth_deg += turn_deg;
    camera.roll_deg = uprightRoll(camera);
  }
  return rig;
}

std::vector<CameraSpec> defaultRig(cv::Size image_size) {
  std::vector<CameraSpec> rig = rigAtElevation(image_size, 48.0);
  rig[2].elevation_deg = 45.0;
  return rig;
}

}  // namespace tarv::scene
