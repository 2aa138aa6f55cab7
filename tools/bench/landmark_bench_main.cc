// The landmark camera solve on rendered cameras whose scripted network reports what each
// camera shows, with jitter on the crossing centres: matched crossings, RMS, focal length,
// lens and the 20's pixel against the scene's truth, and the time of one detection.
//   tarv_landmark_bench [--noise PX]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/vision_report.h"

int main(int argc, char** argv) {
  using namespace tarv;
  double noise = 0.5;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--noise" && i + 1 < argc) noise = std::atof(argv[++i]);
  }
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
