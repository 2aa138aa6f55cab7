#include "tarv/camera/board_normal.h"

#include <cmath>

#include <opencv2/calib3d.hpp>

#include "tarv/camera/camera_pose.h"

namespace tarv {
namespace {

std::optional<std::array<double, 3>> finitePoint(const cv::Vec3d& p) {
  if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]) || cv::norm(p) <= 0.0) {
    return std::nullopt;
  }
  return std::array<double, 3>{p[0], p[1], p[2]};
}

std::optional<std::array<double, 3>> fromModel(const nlohmann::json& model) {
  if (!model.is_object()) return std::nullopt;
  const auto k = model.find("K");
  const auto r = model.find("rvec");
  if (k == model.end() || r == model.end() || !k->is_array() || k->size() != 9 ||
      !r->is_array() || r->size() != 3) {
    return std::nullopt;
  }
  cv::Matx33d K;
  cv::Vec3d rvec;
  for (int i = 0; i < 9; ++i) {
    if (!(*k)[i].is_number()) return std::nullopt;
    K.val[i] = (*k)[i].get<double>();
  }
  for (int i = 0; i < 3; ++i) {
    if (!(*r)[i].is_number()) return std::nullopt;
    rvec[i] = (*r)[i].get<double>();
  }
  if (!allFinite(K) || !std::isfinite(rvec[0]) || !std::isfinite(rvec[1]) || !std::isfinite(rvec[2])) {
    return std::nullopt;
  }
  cv::Matx33d R;
  cv::Rodrigues(rvec, R);
  return finitePoint(K * cv::Vec3d(R(0, 2), R(1, 2), R(2, 2)));
}

std::optional<std::array<double, 3>> fromHomography(const Homography& h, cv::Size size) {
  const std::optional<cv::Matx33d> K = intrinsicsFromHomography(h, size);
  if (!K) return std::nullopt;
  const cv::Matx33d Kinv = K->inv();
  const cv::Vec3d c1(h[0], h[3], h[6]);
  const cv::Vec3d c2(h[1], h[4], h[7]);
  cv::Vec3d r1 = Kinv * c1;
  cv::Vec3d r2 = Kinv * c2;
  if (cv::norm(r1) <= 0.0 || cv::norm(r2) <= 0.0) return std::nullopt;
  r1 /= cv::norm(r1);
  r2 /= cv::norm(r2);
  return finitePoint(*K * r1.cross(r2));
}

}  // namespace

std::optional<std::array<double, 3>> boardNormalImagePoint(const Homography& boardToImage,
                                                           const nlohmann::json& cameraModel,
                                                           cv::Size imageSize) {
  if (auto point = fromModel(cameraModel)) return point;
  return fromHomography(boardToImage, imageSize);
}

}  // namespace tarv
