// The landmark camera solve on rendered cameras whose scripted network reports what each
// camera shows, with jitter on the crossing centres: matched crossings, RMS, focal length,
// lens and the 20's pixel against the scene's truth, and the time of one detection.
//   tarv_landmark_bench [--noise PX]
//   tarv_landmark_bench --model FILE [--boards N] [--first-seed S]
// With --model it runs the real network instead, on rendered boards that its training never
// saw (cameras 10 to 60 degrees above the board, half of them in a board look kept out of
// the training): per board the grade, crossings, the solved 170 mm ring against the true one
// and the detection time; then the shares the model must reach.
#include <algorithm>
#include <cmath>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "landmark_training/landmark_boards.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/vision_report.h"

namespace {

int runModel(const std::string& path, int boards, unsigned long long firstSeed) {
  using namespace tarv;
  namespace lb = landmark_boards;
  std::string key = buildModelKeyString();
  LandmarkModel model = loadBoardModel(path, key);
  key.assign(key.size(), '\0');
  std::printf("%8s %9s %5s %4s %5s %8s %8s %8s %6s %5s %8s %8s\n", "seed", "size", "above", "look", "grade", "found",
              "matched", "ring_px", "turned", "sure", "model_ms", "total_ms");
  int within = 0, green = 0, acceptedOff = 0, solved = 0;
  double worstAccepted = 0.0, modelMs = 0.0, totalMs = 0.0;
  std::vector<double> modelTimes;
  for (int k = 0; k < boards; ++k) {
    const unsigned long long seed = firstSeed + static_cast<unsigned long long>(k);
    lb::SampleOptions options;
    if (k % 2 == 1) options.look = lb::kHeldOutLook;
    const lb::BoardSample sample = lb::renderBoardSample(seed, options);
    const lb::BoardCheck c = lb::checkBoard(model, sample);
    solved += c.ok;
    within += c.ok && c.ringErrorPx <= 1.0;
    green += c.grade == 0;
    if (c.grade == 0) {
      worstAccepted = std::max(worstAccepted, c.ringErrorAsSolvedPx);
      acceptedOff += c.ringErrorAsSolvedPx > 5.0;
    }
    modelTimes.push_back(c.modelMs);
    modelMs += c.modelMs;
    totalMs += c.totalMs;
    std::printf("%8llu %4dx%-4d %5.1f %4s %5d %4d/%-3d %8d %8.2f %6s %5s %8.1f %8.1f\n", seed, sample.spec.image_size.width,
                sample.spec.image_size.height, 90.0 - sample.spec.elevation_deg, options.look < 0 ? "train" : "held",
                c.grade, c.detected, c.inImage, c.matched, c.ringErrorPx, c.ok ? (c.orientationRight ? "no" : "yes") : "-",
                c.twentySure ? "yes" : "no", c.modelMs, c.totalMs);
  }
  std::sort(modelTimes.begin(), modelTimes.end());
  const double n = std::max(boards, 1);
  std::printf("boards %d  camera found %d  ring within 1 px %d (%.0f %%)  green %d (%.0f %%)  green more than 5 px off %d "
              "(worst %.2f px)  detection ms mean %.1f median %.1f  whole call ms mean %.1f\n",
              boards, solved, within, 100.0 * within / n, green, 100.0 * green / n, acceptedOff, worstAccepted,
              modelMs / n, modelTimes.empty() ? 0.0 : modelTimes[modelTimes.size() / 2], totalMs / n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarv;
  double noise = 0.5;
  std::string modelPath;
  int boards = 40;
  unsigned long long firstSeed = landmark_boards::kFirstCheckSeed;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--noise" && i + 1 < argc) noise = std::atof(argv[++i]);
    else if (arg == "--model" && i + 1 < argc) modelPath = argv[++i];
    else if (arg == "--boards" && i + 1 < argc) boards = std::atoi(argv[++i]);
    else if (arg == "--first-seed" && i + 1 < argc) firstSeed = std::strtoull(argv[++i], nullptr, 10);
  }
  if (!modelPath.empty()) return runModel(modelPath, boards, firstSeed);
  struct Case {
    int width, height;
    double azimuth, elevation, k1;
    bool numbers;
  };
  const Case cases[] = {{1280, 720, 215, 40, -0.06, true},  {1280, 720, 150, 55, -0.10, true},
                        {1280, 720, 300, 30, 0.00, true},   {1280, 720, 20, 60, -0.15, true},
                        {1920, 1080, 215, 40, -0.06, true}, {1920, 1080, 100, 50, -0.03, true},
                        {1280, 720, 215, 40, -0.06, false}, {800, 600, 250, 45, -0.08, true}};
  std::printf("%-9s %5s %5s %6s %4s %5s %8s %7s %8s %8s %7s %6s %8s\n", "size", "az", "elev", "k1", "nums", "grade",
              "matched", "rms_px", "f_err_%", "k1_fit", "20_px", "sure", "ms");
  for (const Case& c : cases) {
    scene::CameraSpec spec = testing::landmarkTestCameraSpec();
    spec.image_size = {c.width, c.height};
    spec.azimuth_deg = c.azimuth;
    spec.elevation_deg = c.elevation;
    spec.k1 = c.k1;
    testing::ScriptOptions options;
    options.numbers = c.numbers;
    options.noisePx = noise;
    testing::ScriptedCamera cam = testing::scriptedCamera(spec, options);
    const LandmarkSolution s = detectBoardLandmarks(cam.model, cam.image);
    const double f = cam.camera.K()(0, 0);
    double twentyPx = NAN, fErr = NAN, k1 = NAN;
    if (s.ok) {
      twentyPx = cv::norm(projectSolutionPoint(s, {0.0, 132.0}) - cam.camera.project(cv::Point2d(0.0, -132.0)));
      fErr = 100.0 * (s.K.at<double>(0, 0) - f) / f;
      k1 = s.dist.at<double>(0);
    }
    std::printf("%4dx%-4d %5.0f %5.0f %6.2f %4s %5d %3d/%-4d %7.3f %8.2f %8.4f %7.2f %6s %8.0f\n", c.width, c.height,
                c.azimuth, c.elevation, c.k1, c.numbers ? "yes" : "no", s.grade, s.crossingsMatched,
                cam.crossingsInImage, s.rmsPx, fErr, k1, twentyPx, s.twentySure ? "yes" : "no", s.totalMs);
  }
  return 0;
}
