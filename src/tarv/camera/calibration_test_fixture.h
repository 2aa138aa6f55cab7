// Shared pieces of the calibration tests: one rendered camera with its scripted landmark
// network, rendered and solved once per test program.
#pragma once

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

}  // namespace tarv::testing
