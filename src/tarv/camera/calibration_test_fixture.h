// Shared pieces of the calibration tests: one rendered camera with its scripted landmark
// network, rendered and solved once per test program.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/camera/calibration_record.h"

namespace tarv::testing {

// The landmark test camera; with and without the sector numbers scripted.
const ScriptedCamera& landmarkCamera(bool numbers = true);
// The scripted network written to a file (removed at exit).
std::string landmarkModelFile(bool numbers = true);
// calibrateFromImage on the landmark camera's image.
const CalibrationRecord& automaticRecord(bool numbers = true);
// The camera solve's report of the scene camera's true lens and pose.
nlohmann::json truthReport(const scene::Camera& camera);
// The engine-frame pixel of the camera's true projection.
Point2 truthPixel(const scene::Camera& camera, double x, double y);
// The four outer-double wire crossings of the manual editor as the camera truly sees them.
nlohmann::json trueManualPoints(const scene::Camera& camera);
// The message of what the call throws, "" when it returns.
std::string errorOf(const std::function<void()>& call);
double distance(Point2 a, Point2 b);

}  // namespace tarv::testing
