#include "tarv/runtime/calibration_commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tarv/camera/calibration_overlay.h"
#include "tarv/camera/calibration_record.h"
#include "tarv/camera/camera_model.h"
#include "tarv/camera/manual_calibration.h"
#include "tarv/core/json_fields.h"
#include "tarv/runtime/reference_capture.h"
#include "tarv/tarv.h"

namespace tarv {

namespace fs = std::filesystem;

namespace {

bool isTrue(const json& object, const char* key) {
  if (!object.is_object()) return false;
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

bool namesOverlay(const json& record, const std::string& path) {
  if (!record.is_object()) return false;
  const auto it = record.find("overlay");
  return it != record.end() && it->is_string() && it->get<std::string>() == path;
}

// An overlay a record still points to stays on disk whatever its age.
bool overlayInUse(const CalibrationWorkflow& w, const std::string& path) {
  for (const json& record : w.records) {
    if (namesOverlay(record, path)) return true;
  }
  return namesOverlay(w.editorBase, path) || namesOverlay(w.editorPending, path);
}

// Older overlays of this kind and camera in this folder, among those this workflow wrote,
// beyond what is kept (the list is in writing order, so newest last).
void pruneOverlays(CalibrationWorkflow& w, const fs::path& folder, const std::string& stem) {
  size_t seen = 0;
  std::vector<std::string> kept;
  for (auto it = w.overlaysWritten.rbegin(); it != w.overlaysWritten.rend(); ++it) {
    const fs::path path = fs::u8path(*it);
    const bool sameKind = path.parent_path() == folder && path.filename().u8string().rfind(stem, 0) == 0;
    if (sameKind && ++seen > kOverlaysKept && !overlayInUse(w, *it)) {
      std::error_code ignored;
      fs::remove(path, ignored);
      continue;
    }
    kept.push_back(*it);
  }
  w.overlaysWritten.assign(kept.rbegin(), kept.rend());
}

// The camera index of a request; -1 for any number outside 0..2 (a huge one included), the
// JSON library's errors for a missing key or a value that is no number.
int cameraOf(const json& request) {
  const double camera = request.at("camera").get<double>();
  return camera >= 0.0 && camera < 3.0 && camera == std::floor(camera) ? static_cast<int>(camera) : -1;
}

json overlaidRecord(Runtime& rt, const std::string& prefix, int camera, CalibrationRecord record) {
  const cv::Mat overlay = drawCalibrationOverlay(rt.calibration.frozen[camera], record);
  record["overlay"] = writeOverlay(rt.calibration, prefix, camera, overlay);
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

std::string writeOverlay(CalibrationWorkflow& w, const std::string& prefix, int camera, const cv::Mat& image) {
  const auto t = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
  const std::string stem = prefix + std::to_string(camera) + "-";
  const fs::path folder = fs::u8path(w.folder);
  const fs::path path = folder / (stem + std::to_string(t) + ".png");
  bool written = false;
  try {
    written = cv::imwrite(path.string(), image);
  } catch (const cv::Exception&) {
  }
  if (!written) throw std::runtime_error("CALIBRATION_OVERLAY_SAVE_FAILED");
  w.overlaysWritten.push_back(path.u8string());
  pruneOverlays(w, folder, stem);
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

json handOutCalibrationResult(Runtime& rt) {
  json result = buildCalibrationResult(rt);
  std::vector<std::string>& owned = rt.calibration.overlaysWritten;
  for (const json& record : result["reports"]) {
    if (!record.is_object() || !record.contains("overlay") || !record["overlay"].is_string()) continue;
    owned.erase(std::remove(owned.begin(), owned.end(), record["overlay"].get<std::string>()), owned.end());
  }
  return result;
}

json editSavedCalibration(Runtime& rt, const json& request) {
  if (rt.running) throw std::runtime_error("SAVED_EDITOR_REQUIRES_SEPARATE_RUNTIME");
  const json& config = request.at("config");
  // A size that is no whole number in range is refused like one out of range, never wrapped.
  const auto sizeOf = [&config](const char* key) {
    const json& value = config.at(key);
    if (!value.is_number()) return value.get<int32_t>();
    const std::optional<int64_t> n = wholeNumberOf(value, 0, 1 << 20);
    if (!n) throw std::runtime_error("INVALID_SAVED_IMAGE_SIZE");
    return static_cast<int32_t>(*n);
  };
  rt.width = sizeOf("width");
  rt.height = sizeOf("height");
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

namespace {

// Two path texts name the same path when their elements agree, a backslash counting as a
// slash (a saved configuration may come from a host that writes either).
bool samePath(std::string a, std::string b) {
  std::replace(a.begin(), a.end(), '\\', '/');
  std::replace(b.begin(), b.end(), '\\', '/');
  return fs::path(a).compare(fs::path(b)) == 0;
}

}  // namespace

json prepareSavedCalibrationStart(Runtime& rt, const json& config) {
  if (rt.savedCalibrationEditing) throw std::runtime_error("SAVED_EDIT_REQUIRES_NORMAL_START_CHECK");
  rt.confirmedCalibration = json::object();
  rt.confirmedUntil = -1.0;
  const json result = buildCalibrationResult(rt);
  for (const char* key : {"calibrations", "camera_models", "lens_pipeline"}) {
    if (config.at(key) != result.at(key)) throw std::runtime_error(std::string("SAVED_CALIBRATION_MISMATCH: ") + key);
  }
  for (const char* key : {"width", "height", "fps", "devices"}) {
    if (config.at(key) != rt.options.at(key)) throw std::runtime_error("SAVED_CAMERAS_MISMATCH");
  }
  const CalibrationWorkflow& w = rt.calibration;
  for (int i = 0; i < 3; ++i) {
    const json& path = config.at("references").at(i);
    if (!path.is_string() || !samePath(path.get<std::string>(), referencePath(w.folder, i))) {
      throw std::runtime_error("SAVED_REFERENCE_MISMATCH");
    }
    // The folder's own file, which the path was just found to name, whichever separators
    // the host wrote.
    if (!sameImage(cv::imread(referencePath(w.folder, i), cv::IMREAD_COLOR), w.frozen[i])) {
      throw std::runtime_error("SAVED_REFERENCE_CHANGED");
    }
  }
  rt.confirmedCalibration = startConfigSignature(config);
  rt.confirmedUntil = tarv_monotonic_seconds() + kConfirmedStartSeconds;
  return {{"status", "CONFIRMED_CALIBRATION_START_PREPARED"}};
}

json checkCalibrationModel(Runtime& rt) {
  const cv::Mat black(640, 640, CV_8UC3, cv::Scalar::all(0));
  const CalibrationRecord result = calibrateFromImage(rt.calibration.landmarkModel, rt.calibration.modelPath, black);
  if (isTrue(result, "accepted")) throw std::runtime_error("EMPTY_IMAGE_ACCEPTED_AS_BOARD");
  return {{"model_loaded", true}, {"empty_image_rejected", true}};
}

}  // namespace tarv
