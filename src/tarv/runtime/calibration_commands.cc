#include "tarv/runtime/calibration_commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tarv/camera/calibration_overlay.h"
#include "tarv/camera/calibration_record.h"
#include "tarv/camera/camera_model.h"
#include "tarv/camera/manual_calibration.h"
#include "tarv/runtime/reference_capture.h"

namespace tarv {

namespace fs = std::filesystem;

namespace {

bool isTrue(const json& object, const char* key) {
  if (!object.is_object()) return false;
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

// Older overlays of this kind and camera, newest first, beyond what is kept.
void pruneOverlays(const fs::path& folder, const std::string& stem) {
  std::vector<std::pair<unsigned long long, fs::path>> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= stem.size() + 4 || name.compare(0, stem.size(), stem) != 0 ||
        it->path().extension() != ".png") {
      continue;
    }
    const std::string digits = name.substr(stem.size(), name.size() - stem.size() - 4);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    found.emplace_back(std::stoull(digits), it->path());
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t i = kOverlaysKept; i < found.size(); ++i) fs::remove(found[i].second, error);
}

// The camera index of a request; -1 for any number outside 0..2 (a huge one included), the
// JSON library's errors for a missing key or a value that is no number.
int cameraOf(const json& request) {
  const double camera = request.at("camera").get<double>();
  return camera >= 0.0 && camera < 3.0 && camera == std::floor(camera) ? static_cast<int>(camera) : -1;
}

json overlaidRecord(const Runtime& rt, const std::string& prefix, int camera, CalibrationRecord record) {
  const cv::Mat overlay = drawCalibrationOverlay(rt.calibration.frozen[camera], record);
  record["overlay"] = writeOverlay(rt.calibration.folder, prefix, camera, overlay);
  return record;
}

json editorBegin(Runtime& rt, const json& request) {
  CalibrationWorkflow& w = rt.calibration;
  const int camera = cameraOf(request);
  if (w.editorCamera != -1 || !rt.running || !rt.setupOnly || camera < 0 || camera >= 3 || w.frozen[camera].empty()) {
    throw std::runtime_error("Zuerst leere Kalibrierbilder aufnehmen");
  }
  w.editorCamera = camera;
  w.editorBase = w.records[camera];
  w.editorPending = nullptr;
  const json& base = w.editorBase;
  return {{"points", proposeManualPoints(base, rt.width, rt.height)},
          {"raw", referencePath(w.folder, camera)},
          {"width", rt.width},
          {"height", rt.height},
          {"lens_preserved", isTrue(base, "geometry_valid") && base.contains("camera_model") &&
                                 base["camera_model"].is_object()}};
}

}  // namespace

std::string writeOverlay(const std::string& folder, const std::string& prefix, int camera, const cv::Mat& image) {
  const auto t = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
  const std::string stem = prefix + std::to_string(camera) + "-";
  const fs::path path = fs::path(folder) / (stem + std::to_string(t) + ".png");
  bool written = false;
  try {
    written = cv::imwrite(path.string(), image);
  } catch (const cv::Exception&) {
  }
  if (!written) throw std::runtime_error("CALIBRATION_OVERLAY_SAVE_FAILED");
  pruneOverlays(folder, stem);
  return path.u8string();
}

json calibrateFromClick(Runtime& rt, const json& request) {
  CalibrationWorkflow& w = rt.calibration;
  const int camera = cameraOf(request);
  if (w.editorCamera != -1) throw std::runtime_error("Manuellen Editor zuerst schließen");
  if (!rt.running || !rt.setupOnly || camera < 0 || camera >= 3 || w.frozen[camera].empty()) {
    throw std::runtime_error("CALIBRATION_SNAPSHOT_REQUIRED");
  }
  CalibrationRecord result;
  const json& stored = w.records[camera];
  if (request.is_object() && request.contains("x") && isTrue(stored, "geometry_valid")) {
    const double x = request.at("x").get<double>();
    const double y = request.at("y").get<double>();
    if (!std::isfinite(x) || !std::isfinite(y) || x < 0.0 || x > 1.0 || y < 0.0 || y > 1.0) {
      throw std::runtime_error("INVALID_CALIBRATION_CLICK");
    }
    result = confirmTwentyClick(stored, {x * rt.width, y * rt.height});
  } else {
    // OpenCV's thread setting stays the library's: changing it here would race the
    // capture workers and engine calls running OpenCV at the same time.
    result = calibrateFromImage(w.landmarkModel, w.modelPath, w.frozen[camera]);
  }
  if (isTrue(result, "geometry_valid")) result = overlaidRecord(rt, "overlay-", camera, std::move(result));
  w.records[camera] = result;
  return {{"calibration", result}, {"camera", camera}};
}

json editManualCalibration(Runtime& rt, const json& request) {
  CalibrationWorkflow& w = rt.calibration;
  const std::string action = request.at("action").get<std::string>();
  if (action == "begin") return editorBegin(rt, request);
  if (w.editorCamera == -1) throw std::runtime_error("Manuellen Editor zuerst öffnen");
  const int camera = w.editorCamera;
  if (action == "cancel") {
    closeCalibrationEditor(w);
    return {{"cancelled", true}};
  }
  if (action == "preview") {
    w.editorPending = nullptr;
    CalibrationRecord result = calibrateFromFourPoints(w.frozen[camera], w.editorBase, request.at("points"));
    w.editorPending = overlaidRecord(rt, "manual-", camera, std::move(result));
    return {{"calibration", w.editorPending}, {"camera", camera}};
  }
  if (action == "commit") {
    if (!isTrue(w.editorPending, "accepted") || !request.value("reviewed", false)) {
      throw std::runtime_error("Spinne zuerst prüfen und bestätigen");
    }
    w.records[camera] = std::move(w.editorPending);
    closeCalibrationEditor(w);
    w.automaticSafe = false;
    return {{"calibration", w.records[camera]}, {"camera", camera}};
  }
  throw std::runtime_error("UNKNOWN_MANUAL_ACTION");
}

json buildCalibrationResult(const Runtime& rt) {
  const CalibrationWorkflow& w = rt.calibration;
  if (w.editorCamera != -1) throw std::runtime_error("Manuelle Änderungen zuerst übernehmen oder verwerfen");
  if (!rt.running || !rt.setupOnly) throw std::runtime_error("CALIBRATION_PREVIEW_REQUIRED");
  json matrices = json::array();
  json models = json::array();
  bool manual = false;
  for (const json& record : w.records) {
    if (!isTrue(record, "accepted")) throw std::runtime_error("THREE_ACCEPTED_CALIBRATIONS_REQUIRED");
  }
  for (const json& record : w.records) {
    matrices.push_back(record.at("board_to_image"));
    models.push_back(record.at("camera_model"));
    manual = manual || record.value("method", std::string()) == "MANUAL_FOUR_POINTS";
  }
  return {{"calibrations", matrices},
          {"camera_models", models},
          {"lens_pipeline", manual ? "OPENCV_LENS_HOMOGRAPHY_V1" : "OPENCV_PINHOLE_V1"},
          {"reports", w.records},
          {"folder", w.folder},
          {"automatic_safe", w.automaticSafe && !manual}};
}

json editSavedCalibration(Runtime& rt, const json& request) {
  if (rt.running) throw std::runtime_error("SAVED_EDITOR_REQUIRES_SEPARATE_RUNTIME");
  const json& config = request.at("config");
  rt.width = config.at("width").get<int32_t>();
  rt.height = config.at("height").get<int32_t>();
  if (rt.width < 160 || rt.width > 4096 || rt.height < 120 || rt.height > 3072) {
    throw std::runtime_error("INVALID_SAVED_IMAGE_SIZE");
  }
  const std::string folder = request.at("folder").get<std::string>();
  rt.calibration.folder = folder;
  fs::create_directories(folder);
  const bool raw = config.value("lens_pipeline", std::string("RAW")) == "RAW";
  std::array<cv::Mat, 3> references;
  json records = json::array();
  for (size_t i = 0; i < 3; ++i) {
    Homography h;
    if (!readCalibration(config.at("calibrations").at(i), h)) throw std::runtime_error("INVALID_CALIBRATION");
    references[i] = cv::imread(config.at("references").at(i).get<std::string>(), cv::IMREAD_COLOR);
    if (references[i].empty() || references[i].cols != rt.width || references[i].rows != rt.height) {
      throw std::runtime_error("REFERENCE_SIZE_MISMATCH");
    }
    const json model = raw ? json() : config.at("camera_models").at(i);
    if (model.is_object()) {
      const CameraModel parsed = parseCameraModel(model);
      if (parsed.width != rt.width || parsed.height != rt.height) throw std::runtime_error("INVALID_CAMERA_MODEL");
    }
    records.push_back({{"method", "MANUAL_FOUR_POINTS"},
                       {"accepted", true},
                       {"geometry_valid", true},
                       {"camera_model", model},
                       {"board_to_image", config["calibrations"][i]}});
  }
  writeReferenceSet(folder, references);
  rt.calibration.frozen = references;
  rt.calibration.records = std::move(records);
  rt.savedCalibrationEditing = true;
  rt.setupOnly = true;
  rt.running = true;
  rt.calibration.automaticSafe = false;
  return {{"status", "SAVED_CALIBRATION_EDITING"}, {"scoring", false}};
}

json checkCalibrationModel(Runtime& rt) {
  const cv::Mat black(640, 640, CV_8UC3, cv::Scalar::all(0));
  const CalibrationRecord result = calibrateFromImage(rt.calibration.landmarkModel, rt.calibration.modelPath, black);
  if (isTrue(result, "accepted")) throw std::runtime_error("EMPTY_IMAGE_ACCEPTED_AS_BOARD");
  return {{"model_loaded", true}, {"empty_image_rejected", true}};
}

}  // namespace tarv
