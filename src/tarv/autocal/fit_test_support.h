// Rendered single-camera boards for the fit's tests, and the JSON a host puts round them.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/scene.h"

namespace tarv::fit_test {

using json = nlohmann::json;

struct Shot {
  scene::Camera camera;
  cv::Mat frame;
};

scene::CameraSpec view(cv::Size size, double elevation, double azimuth);
// The empty board as the camera sees it (supersampled twice, which is plenty for a fit).
Shot renderBoard(const scene::CameraSpec& cameraSpec, const scene::Imaging& imaging = {},
                 const scene::BoardTexture& texture = scene::standardBoardTexture());

json matrixJson(const cv::Matx33d& m);
json pointJson(cv::Point2d p);

}  // namespace tarv::fit_test
