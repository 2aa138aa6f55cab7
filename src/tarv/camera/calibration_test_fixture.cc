#include "tarv/camera/calibration_test_fixture.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <opencv2/calib3d.hpp>

namespace tarv::testing {
namespace {

ScriptOptions optionsFor(bool numbers) {
  ScriptOptions o;
  o.numbers = numbers;
  return o;
}

}  // namespace

const ScriptedCamera& landmarkCamera(bool numbers) {
  if (numbers) {
    static const ScriptedCamera with = scriptedCamera(landmarkTestCameraSpec(), optionsFor(true));
    return with;
  }
  static const ScriptedCamera without = scriptedCamera(landmarkTestCameraSpec(), optionsFor(false));
  return without;
}

std::string landmarkModelFile(bool numbers) {
  static std::map<bool, std::string> files;
  auto it = files.find(numbers);
  if (it != files.end()) return it->second;
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
      ("tarv-landmarks-" + std::to_string(::getpid()) + (numbers ? "-numbers" : "-plain") + ".onnx");
  const Bytes& onnx = landmarkCamera(numbers).onnx;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(onnx.data()), static_cast<std::streamsize>(onnx.size()));
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit([] {
      for (const auto& [k, p] : files) std::filesystem::remove(p);
    });
  }
  return files[numbers] = path.string();
}

const CalibrationRecord& automaticRecord(bool numbers) {
  static std::map<bool, CalibrationRecord> records;
  auto it = records.find(numbers);
  if (it != records.end()) return it->second;
  std::unique_ptr<LandmarkModel> holder;
  return records[numbers] = calibrateFromImage(holder, landmarkModelFile(numbers), landmarkCamera(numbers).image);
}

nlohmann::json truthReport(const scene::Camera& camera) {
  // Landmark frame = engine frame with y and z negated.
  const cv::Matx33d R = camera.R() * cv::Matx33d(1, 0, 0, 0, -1, 0, 0, 0, -1);
  cv::Vec3d rvec;
  cv::Rodrigues(R, rvec);
  const cv::Matx33d& K = camera.K();
  return {{"ok", true},
          {"breite", camera.imageSize().width},
          {"hoehe", camera.imageSize().height},
          {"K", {K(0, 0), K(0, 1), K(0, 2), K(1, 0), K(1, 1), K(1, 2), K(2, 0), K(2, 1), K(2, 2)}},
          {"dist", {camera.cameraSpec().k1, 0.0, 0.0, 0.0, 0.0}},
          {"rvec", {rvec[0], rvec[1], rvec[2]}},
          {"tvec", {camera.t()[0], camera.t()[1], camera.t()[2]}},
          {"ampel", "gruen"}};
}

Point2 truthPixel(const scene::Camera& camera, double x, double y) {
  const cv::Point2d p = camera.project(cv::Point2d(x, y));
  return {p.x, p.y};
}

nlohmann::json trueManualPoints(const scene::Camera& camera) {
  nlohmann::json points = nlohmann::json::array();
  for (double deg : {9.0, 99.0, 189.0, 279.0}) {
    const double a = deg * 3.14159265358979323846 / 180.0;
    const Point2 p = truthPixel(camera, 170.0 * std::sin(a), -170.0 * std::cos(a));
    points.push_back({p.x, p.y});
  }
  return points;
}

std::string errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

double distance(Point2 a, Point2 b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace tarv::testing
