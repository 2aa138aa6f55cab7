#include "tarv/camera/camera_pose.h"

#include <cmath>

namespace tarv {

bool allFinite(const cv::Matx33d& m) {
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(m.val[i])) return false;
  }
  return true;
}

std::optional<cv::Point2d> CameraPose::project(const cv::Vec3d& point) const {
  const cv::Vec4d X(point[0], point[1], point[2], 1.0);
  const cv::Vec3d p = P * X;
  if (!(p[2] > 1e-9) || !std::isfinite(p[0]) || !std::isfinite(p[1])) return std::nullopt;
  return cv::Point2d(p[0] / p[2], p[1] / p[2]);
}

cv::Vec3d CameraPose::rayThrough(cv::Point2d pixel) const {
  const cv::Vec3d inCamera = K.inv() * cv::Vec3d(pixel.x, pixel.y, 1.0);
  return cv::normalize(R.t() * inCamera);
}

std::optional<cv::Matx33d> intrinsicsFromHomography(const Homography& h, cv::Size size) {
  const double cx = size.width / 2.0;
  const double cy = size.height / 2.0;
  // Columns of H relative to the principal point.
  const cv::Vec3d h1(h[0] - cx * h[6], h[3] - cy * h[6], h[6]);
  const cv::Vec3d h2(h[1] - cx * h[7], h[4] - cy * h[7], h[7]);
  double f2 = -(h1[0] * h2[0] + h1[1] * h2[1]) / (h1[2] * h2[2]);
  if (!std::isfinite(f2) || f2 <= 0.0) {
    f2 = (h2[0] * h2[0] + h2[1] * h2[1] - h1[0] * h1[0] - h1[1] * h1[1]) /
         (h1[2] * h1[2] - h2[2] * h2[2]);
  }
  if (!std::isfinite(f2) || f2 <= 0.0) return std::nullopt;
  const double f = std::sqrt(f2);
  return cv::Matx33d(f, 0, cx, 0, f, cy, 0, 0, 1);
}

std::optional<CameraPose> cameraPoseFromHomography(const Homography& h, const std::array<double, 9>& modelK,
                                                   cv::Size imageSize) {
  std::optional<cv::Matx33d> K;
  if (modelK[0] > 0.0 && modelK[4] > 0.0) {
    K = cv::Matx33d(modelK.data());
    if (!allFinite(*K)) K.reset();
  }
  if (!K) K = intrinsicsFromHomography(h, imageSize);
  if (!K || std::abs(cv::determinant(*K)) < 1e-12) return std::nullopt;
  const cv::Matx33d H(h.data());
  if (!allFinite(H)) return std::nullopt;
  const cv::Matx33d M = K->inv() * H;
  cv::Vec3d m1(M(0, 0), M(1, 0), M(2, 0)), m2(M(0, 1), M(1, 1), M(2, 1)), m3(M(0, 2), M(1, 2), M(2, 2));
  double s = (cv::norm(m1) + cv::norm(m2)) / 2.0;
  if (!(s > 1e-12)) return std::nullopt;
  // The board lies in front of the camera.
  if (m3[2] < 0.0) s = -s;
  const cv::Vec3d r1 = m1 / s, r2 = m2 / s, t = m3 / s;
  // The nearest rotation to [r1 r2 r1×r2].
  cv::Matx33d approx;
  const cv::Vec3d r3 = r1.cross(r2);
  for (int i = 0; i < 3; ++i) {
    approx(i, 0) = r1[i];
    approx(i, 1) = r2[i];
    approx(i, 2) = r3[i];
  }
  cv::SVD svd(cv::Mat(approx), cv::SVD::FULL_UV);
  const cv::Mat Rm = svd.u * svd.vt;
  CameraPose pose;
  pose.K = *K;
  pose.R = cv::Matx33d(reinterpret_cast<const double*>(Rm.data));
  pose.t = t;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose.P(r, c) = 0.0;
  }
  const cv::Matx33d KR = pose.K * pose.R;
  const cv::Vec3d Kt = pose.K * t;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose.P(r, c) = KR(r, c);
    pose.P(r, 3) = Kt[r];
  }
  pose.centre = -(pose.R.t() * t);
  if (!std::isfinite(pose.centre[2]) || std::abs(pose.centre[2]) < 1e-6) return std::nullopt;
  pose.heightSign = pose.centre[2] < 0.0 ? -1.0 : 1.0;
  return pose;
}

}  // namespace tarv
