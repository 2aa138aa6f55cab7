// A rendered camera with a landmark network that "detects" exactly what the camera shows:
// the projected wire crossings, the bull and the sector numbers, scripted as the output
// tensor of a tiny ONNX model.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "scene/camera_rig.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/landmark_model.h"

namespace tarv::testing {

struct ScriptOptions {
  bool bull = true;
  bool numbers = true;
  int maxCrossings = 100;     // the first this many crossings seen in the image
  int decoys = 5;             // anchors below the score threshold
  double noisePx = 0.25;      // Gaussian jitter of the crossing centres
  // A part of the rendered image, as a photograph cut to the board: the optical centre is no
  // longer the image's centre. Empty: the whole image.
  cv::Rect crop;
};

// 1280x720, focal fitted to the board, k1 = −0.06, seen from lower left.
scene::CameraSpec landmarkTestCameraSpec();

struct ScriptedCamera {
  scene::Camera camera;
  cv::Mat image;  // the empty board as this camera sees it (cut to the crop)
  cv::Point2d cropOffset;  // the crop's corner in the rendered image
  Bytes onnx;  // the scripted network's file
  LandmarkModel model;
  int crossingsInImage = 0;
};

// The output tensor [1, 26, N] of the scripted network for a camera (image pixels scaled by
// 640 / max(width, height)).
std::vector<float> scriptedLandmarkOutput(const scene::Camera& camera, const ScriptOptions& options, int* crossings,
                                          int* anchors);
// The square round the board's outline (its 200 mm circle) with a 20 px margin, inside the
// camera's image: a photograph cut to the board.
cv::Rect boardCrop(const scene::Camera& camera);
// Pixel of an engine-frame board point (20 at −y) in the scripted camera's (cropped) image.
cv::Point2d scriptedPixel(const ScriptedCamera& cam, cv::Point2d boardMm);
// Mean distance over 72 points of the 170 mm ring between where a landmark solution puts the
// ring and where the camera sees it, for the best of the 20 sector turns (the ring's geometry,
// not its orientation).
double solutionRingErrorPx(const ScriptedCamera& cam, const LandmarkSolution& solution);
ScriptedCamera scriptedCamera(const scene::CameraSpec& cameraSpec, const ScriptOptions& options = {});
// A network whose output is the given tensor.
LandmarkModel constantModel(const std::vector<int64_t>& shape, const std::vector<float>& values);

}  // namespace tarv::testing
