// The camera solve as a compact JSON report, and single board points through its camera.
#pragma once

#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_detection.h"

namespace tarv {

// One line of JSON with the keys in a fixed order: "ok", then only for a solved camera
// "breite", "hoehe", "K", "dist", "rvec", "tvec", then "ampel", "zwanzig_sicher",
// "kreuzungen_erkannt", "kreuzungen_passend", "rms_px", "farbe", "ms_modell", "ms_gesamt",
// "grund". Written by the JSON library, so any reason text stays valid JSON and every
// number reads back exactly.
std::string writeVisionReport(const LandmarkSolution& solution);

CameraEstimate cameraFromSolution(const LandmarkSolution& solution);
// The solution's camera (K, dist, rvec, tvec) set to a copy of the given one; its size stays.
void setSolutionCamera(LandmarkSolution& solution, const CameraEstimate& camera);
// Landmark-frame board point (mm) -> pixel, lens distortion included.
cv::Point2d projectSolutionPoint(const LandmarkSolution& solution, cv::Point2d board);
// Pixel -> landmark-frame board point; (NaN, NaN) where the ray misses the board's front.
cv::Point2d backProjectSolutionPoint(const LandmarkSolution& solution, cv::Point2d pixel);

}  // namespace tarv
