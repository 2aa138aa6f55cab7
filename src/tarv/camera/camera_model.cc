#include "tarv/camera/camera_model.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

template <int N>
cv::Vec<double, N> numbers(const json& value, size_t minimum) {
  if (!value.is_array() || value.size() < minimum || value.size() > static_cast<size_t>(N)) {
    throw std::runtime_error("CAMERA_MODEL_NOT_VALID");
  }
  cv::Vec<double, N> out = cv::Vec<double, N>::all(0.0);
  for (size_t i = 0; i < value.size(); ++i) {
    if (!value[i].is_number()) throw std::runtime_error("CAMERA_MODEL_NOT_VALID");
    out[static_cast<int>(i)] = value[i].get<double>();
    if (!std::isfinite(out[static_cast<int>(i)])) throw std::runtime_error("CAMERA_MODEL_NOT_VALID");
  }
  return out;
}

int imageSide(const json& value) {
  if (!value.is_number_integer() || value.get<int64_t>() < 1 || value.get<int64_t>() > 16384) {
    throw std::runtime_error("INVALID_CAMERA_INTRINSICS");
  }
  return value.get<int>();
}

cv::Mat matOf(const double* data, int rows, int cols) { return cv::Mat(rows, cols, CV_64F, const_cast<double*>(data)).clone(); }

cv::Matx33d scaledK(const cv::Matx33d& K, double s) {
  // Pixel centres: x' + 0.5 = s·(x + 0.5).
  return {K(0, 0) * s, K(0, 1) * s, (K(0, 2) + 0.5) * s - 0.5, 0.0, K(1, 1) * s, (K(1, 2) + 0.5) * s - 0.5, 0.0, 0.0, 1.0};
}

}  // namespace

CameraModel parseCameraModel(const json& report) {
  if (!report.is_object() || (report.contains("ok") && report["ok"] != true)) {
    throw std::runtime_error("CAMERA_MODEL_NOT_VALID");
  }
  CameraModel m;
  m.width = imageSide(report.at("breite"));
  m.height = imageSide(report.at("hoehe"));
  const cv::Vec<double, 9> k = numbers<9>(report.at("K"), 9);
  m.K = cv::Matx33d(k.val);
  m.dist = numbers<5>(report.at("dist"), 1);
  m.rvec = numbers<3>(report.at("rvec"), 3);
  m.tvec = numbers<3>(report.at("tvec"), 3);
  if (!(m.K(0, 0) > 0.0) || !(m.K(1, 1) > 0.0) || m.K(1, 0) != 0.0 || m.K(2, 0) != 0.0 || m.K(2, 1) != 0.0 ||
      m.K(2, 2) != 1.0) {
    throw std::runtime_error("INVALID_CAMERA_INTRINSICS");
  }
  return m;
}

Homography planeHomographyFromPose(const CameraModel& model) {
  cv::Matx33d R;
  cv::Rodrigues(model.rvec, R);
  const cv::Matx33d P(R(0, 0), -R(0, 1), model.tvec[0], R(1, 0), -R(1, 1), model.tvec[1], R(2, 0), -R(2, 1),
                      model.tvec[2]);
  const cv::Matx33d H = model.K * P;
  if (!cv::checkRange(H) || !(H(2, 2) > 1e-9) || !(std::abs(cv::determinant(H * (1.0 / H(2, 2)))) > 1e-12)) {
    throw std::runtime_error("INVALID_PLANE_HOMOGRAPHY");
  }
  Homography out;
  for (int i = 0; i < 9; ++i) out[i] = H.val[i] / H(2, 2);
  return out;
}

cv::Point2d distortPixel(const CameraModel& model, cv::Point2d ideal) {
  const cv::Point3d ray((ideal.x - model.K(0, 2)) / model.K(0, 0), (ideal.y - model.K(1, 2)) / model.K(1, 1), 1.0);
  std::vector<cv::Point2d> out;
  cv::projectPoints(std::vector<cv::Point3d>{ray}, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), model.K, model.dist, out);
  return out.at(0);
}

cv::Point2d undistortPixel(const CameraModel& model, cv::Point2d pixel) {
  std::vector<cv::Point2d> out;
  cv::undistortPoints(std::vector<cv::Point2d>{pixel}, out, model.K, model.dist, cv::noArray(), model.K,
                      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 20, 1e-9));
  return out.at(0);
}

LandmarkSolution solutionFromCameraModel(const CameraModel& model, const json& report) {
  LandmarkSolution s;
  s.ok = true;
  s.width = model.width;
  s.height = model.height;
  s.K = matOf(model.K.val, 3, 3);
  s.dist = matOf(model.dist.val, 1, 5);
  s.rvec = matOf(model.rvec.val, 3, 1);
  s.tvec = matOf(model.tvec.val, 3, 1);
  const std::string grade = report.value("ampel", "rot");
  s.grade = grade == "gruen" ? 0 : grade == "gelb" ? 1 : 2;
  s.twentySure = report.value("zwanzig_sicher", false);
  s.crossingsDetected = report.value("kreuzungen_erkannt", 0);
  s.crossingsMatched = report.value("kreuzungen_passend", 0);
  s.rmsPx = report.value("rms_px", 0.0);
  s.colourScore = report.value("farbe", 0.0);
  s.modelMs = report.value("ms_modell", 0.0);
  s.totalMs = report.value("ms_gesamt", 0.0);
  return s;
}

void buildLensMaps(LensMaps& maps, const json& report, int width, int height) {
  maps = LensMaps{};
  const CameraModel m = parseCameraModel(report);
  if (m.width != width || m.height != height) throw std::runtime_error("LENS_SIZE_MISMATCH");
  cv::initUndistortRectifyMap(m.K, m.dist, cv::noArray(), m.K, cv::Size(width, height), CV_16SC2, maps.fullX,
                              maps.fullY);
  if (width < 2 || height < 2) return;
  const cv::Matx33d half = scaledK(m.K, 0.5);
  cv::initUndistortRectifyMap(half, m.dist, cv::noArray(), half, cv::Size(width / 2, height / 2), CV_16SC2,
                              maps.halfX, maps.halfY);
}

cv::Mat undistortFrame(const LensMaps& maps, const cv::Mat& frame, bool half) {
  if (maps.empty()) return frame.clone();
  const cv::Mat& x = half ? maps.halfX : maps.fullX;
  const cv::Mat& y = half ? maps.halfY : maps.fullY;
  if (frame.size() != x.size()) throw std::runtime_error("LENS_SIZE_MISMATCH");
  cv::Mat out;
  cv::remap(frame, out, x, y, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  return out;
}

}  // namespace tarv
