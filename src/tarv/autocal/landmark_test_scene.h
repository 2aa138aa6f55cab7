// A rendered camera with a landmark network that "detects" exactly what the camera shows:
// the projected wire crossings, the bull and the sector numbers, scripted as the output
// tensor of a tiny ONNX model.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "scene/camera_rig.h"
#include "tarv/autocal/landmark_model.h"

namespace tarv::testing {

struct ScriptOptions {
  bool bull = true;
  bool numbers = true;
  int maxCrossings = 100;     // the first this many crossings seen in the image
  int decoys = 5;             // anchors below the score threshold
  double noisePx = 0.25;      // Gaussian jitter of the crossing centres
};

// 1280x720, focal fitted to the board, k1 = −0.06, seen from lower left.
scene::CameraSpec landmarkTestCameraSpec();

struct ScriptedCamera {
  scene::Camera camera;
  cv::Mat image;  // the empty board as this camera sees it
  Bytes onnx;  // the scripted network's file
  LandmarkModel model;
  int crossingsInImage = 0;
};

// The output tensor [1, 26, N] of the scripted network for a camera (image pixels scaled by
// 640 / max(width, height)).
std::vector<float> scriptedLandmarkOutput(const scene::Camera& camera, const ScriptOptions& options, int* crossings,
                                          int* anchors);
ScriptedCamera scriptedCamera(const scene::CameraSpec& spec, const ScriptOptions& options = {});
// A network whose output is the given tensor.
LandmarkModel constantModel(const std::vector<int64_t>& shape, const std::vector<float>& values);

}  // namespace tarv::testing
