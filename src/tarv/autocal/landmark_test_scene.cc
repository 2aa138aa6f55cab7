#include "tarv/autocal/landmark_test_scene.h"

#include <algorithm>
#include <cmath>

#include "scene/scene.h"
#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/onnx_test_model.h"
#include "tarv/autocal/vision_report.h"

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
  scene::CameraSpec cameraSpec;
  cameraSpec.image_size = {1280, 720};
  cameraSpec.azimuth_deg = 215.0;
  cameraSpec.elevation_deg = 40.0;
  cameraSpec.distance_mm = 560.0;
  cameraSpec.k1 = -0.06;
  return cameraSpec;
}

std::vector<float> scriptedLandmarkOutput(const scene::Camera& camera, const ScriptOptions& options, int* crossings,
                                          int* anchors) {
  // Landmark frame (20 at +y) to the scene's board frame (20 at −y).
  const cv::Point2d corner(options.crop.x, options.crop.y);
  auto seen = [&camera, corner](double x, double y) { return camera.project(cv::Point2d(x, -y)) - corner; };
  const cv::Size size = options.crop.empty() ? camera.imageSize() : options.crop.size();
  auto inImage = [size](cv::Point2d p) { return p.x >= 0.0 && p.y >= 0.0 && p.x <= size.width - 1.0 && p.y <= size.height - 1.0; };
  std::vector<Box> boxes;
  scene::SceneRandom rng(7);
  int count = 0;
  for (const cv::Point3d& p : referenceCrossings()) {
    const cv::Point2d px = seen(p.x, p.y);
    if (!inImage(px) || count >= options.maxCrossings) continue;
    // Drawn one by one: in one call the compiler would choose their order, and the same seed
    // would give other boxes with another compiler. The order is the one the tests were tuned on.
    const double dy = rng.normal(), dx = rng.normal();
    boxes.push_back({px + options.noisePx * cv::Point2d(dx, dy), 4.0, 1, 0.9f});
    ++count;
  }
  if (options.bull) boxes.push_back({seen(0.0, 0.0), 12.0, 0, 0.95f});
  if (options.numbers) {
    for (int n = 0; n < 20; ++n) {
      const double a = (90.0 - 18.0 * n) * kPi / 180.0;
      const cv::Point2d px = seen(192.0 * std::cos(a), 192.0 * std::sin(a));
      if (inImage(px)) boxes.push_back({px, 24.0, 2 + n, 0.8f});
    }
  }
  for (int k = 0; k < options.decoys; ++k) boxes.push_back({{100.0 + 50.0 * k, 80.0}, 10.0, 1, 0.15f});
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

ScriptedCamera scriptedCamera(const scene::CameraSpec& cameraSpec, const ScriptOptions& options) {
  scene::Renderer renderer({cameraSpec});
  const cv::Mat frame = renderer.render(scene::Scene{}).frames.at(0);
  ScriptedCamera out{renderer.cameras().at(0), options.crop.empty() ? frame : frame(options.crop).clone(),
                     cv::Point2d(options.crop.x, options.crop.y), {}, {}, 0};
  int anchors = 0;
  const std::vector<float> values = scriptedLandmarkOutput(out.camera, options, &out.crossingsInImage, &anchors);
  out.onnx = constantOutputOnnx({1, kRows, anchors}, values);
  netFromModelBytes(out.model, out.onnx);
  return out;
}

cv::Rect boardCrop(const scene::Camera& camera) {
  double x0 = 1e18, y0 = 1e18, x1 = -1e18, y1 = -1e18;
  for (int i = 0; i < 72; ++i) {
    const double a = 5.0 * i * kPi / 180.0;
    const cv::Point2d p = camera.project(cv::Point2d(200.0 * std::cos(a), 200.0 * std::sin(a)));
    x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
  }
  const double side = std::max(x1 - x0, y1 - y0) + 40.0;
  const cv::Point2d centre(0.5 * (x0 + x1), 0.5 * (y0 + y1));
  const cv::Rect crop(static_cast<int>(centre.x - side / 2), static_cast<int>(centre.y - side / 2), static_cast<int>(side),
                      static_cast<int>(side));
  return crop & cv::Rect(cv::Point(0, 0), camera.imageSize());
}

cv::Point2d scriptedPixel(const ScriptedCamera& cam, cv::Point2d boardMm) { return cam.camera.project(boardMm) - cam.cropOffset; }

double solutionRingErrorPx(const ScriptedCamera& cam, const LandmarkSolution& solution) {
  if (!solution.ok) return NAN;
  double best = 1e18;
  for (int turn = 0; turn < 20; ++turn) {
    double sum = 0.0;
    for (int i = 0; i < 72; ++i) {
      const double a = 5.0 * i * kPi / 180.0, b = a + 18.0 * turn * kPi / 180.0;
      // Landmark frame (20 at +y) against the scene's frame (20 at −y).
      const cv::Point2d fitted = projectSolutionPoint(solution, {170.0 * std::cos(b), 170.0 * std::sin(b)});
      sum += cv::norm(fitted - scriptedPixel(cam, {170.0 * std::cos(a), -170.0 * std::sin(a)}));
    }
    best = std::min(best, sum / 72.0);
  }
  return best;
}

}  // namespace tarv::testing
