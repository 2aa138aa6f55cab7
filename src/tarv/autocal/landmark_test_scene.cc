#include "tarv/autocal/landmark_test_scene.h"

#include <algorithm>
#include <cmath>

#include "scene/scene.h"
#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/onnx_test_model.h"

namespace tarv::testing {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRows = 4 + 22;

struct Box {
  cv::Point2d centre;
  double size;
  int cls;
  float score;
};

}  // namespace

scene::CameraSpec landmarkTestCameraSpec() {
  scene::CameraSpec spec;
  spec.image_size = {1280, 720};
  spec.azimuth_deg = 215.0;
  spec.elevation_deg = 40.0;
  spec.distance_mm = 560.0;
  spec.k1 = -0.06;
  return spec;
}

std::vector<float> scriptedLandmarkOutput(const scene::Camera& camera, const ScriptOptions& options, int* crossings,
                                          int* anchors) {
  // Landmark frame (20 at +y) to the scene's board frame (20 at −y).
  auto seen = [&camera](double x, double y) { return camera.project(cv::Point2d(x, -y)); };
  std::vector<Box> boxes;
  scene::SceneRandom rng(7);
  int count = 0;
  for (const cv::Point3d& p : referenceCrossings()) {
    const cv::Point2d px = seen(p.x, p.y);
    if (!camera.inImage(px) || count >= options.maxCrossings) continue;
    boxes.push_back({px + options.noisePx * cv::Point2d(rng.normal(), rng.normal()), 4.0, 1, 0.9f});
    ++count;
  }
  if (options.bull) boxes.push_back({seen(0.0, 0.0), 12.0, 0, 0.95f});
  if (options.numbers) {
    for (int n = 0; n < 20; ++n) {
      const double a = (90.0 - 18.0 * n) * kPi / 180.0;
      const cv::Point2d px = seen(192.0 * std::cos(a), 192.0 * std::sin(a));
      if (camera.inImage(px)) boxes.push_back({px, 24.0, 2 + n, 0.8f});
    }
  }
  for (int k = 0; k < options.decoys; ++k) boxes.push_back({{100.0 + 50.0 * k, 80.0}, 10.0, 1, 0.15f});
  const cv::Size size = camera.imageSize();
  const double s = 640.0 / std::max(size.width, size.height);
  const int n = static_cast<int>(boxes.size());
  std::vector<float> values(static_cast<size_t>(kRows) * n, 0.0f);
  for (int j = 0; j < n; ++j) {
    values[j] = static_cast<float>(boxes[j].centre.x * s);
    values[n + j] = static_cast<float>(boxes[j].centre.y * s);
    values[2 * n + j] = static_cast<float>(boxes[j].size * s);
    values[3 * n + j] = static_cast<float>(boxes[j].size * s);
    values[(4 + boxes[j].cls) * n + j] = boxes[j].score;
  }
  if (crossings) *crossings = count;
  if (anchors) *anchors = n;
  return values;
}

LandmarkModel constantModel(const std::vector<int64_t>& shape, const std::vector<float>& values) {
  LandmarkModel model;
  netFromModelBytes(model, constantOutputOnnx(shape, values));
  return model;
}

ScriptedCamera scriptedCamera(const scene::CameraSpec& spec, const ScriptOptions& options) {
  scene::Renderer renderer({spec});
  ScriptedCamera out{renderer.cameras().at(0), renderer.render(scene::Scene{}).frames.at(0), {}, {}, 0};
  int anchors = 0;
  const std::vector<float> values = scriptedLandmarkOutput(out.camera, options, &out.crossingsInImage, &anchors);
  out.onnx = constantOutputOnnx({1, kRows, anchors}, values);
  netFromModelBytes(out.model, out.onnx);
  return out;
}

}  // namespace tarv::testing
