// Start, preview start, restart, user reset and the full stop of a runtime.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <set>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/camera/calibration_record.h"
#include "tarv/core/json_fields.h"
#include "tarv/runtime/runtime.h"
#include "tarv/tarv.h"

namespace tarv {

namespace {

const json kDefaultRingRadii = {6.0, 16.75, 96.5, 106.5, 160.0, 170.0};

// A missing member reads as null so that reading it fails with the JSON library's type error.
json member(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? json() : *it;
}

size_t countOf(const json& config, const char* key) {
  const auto it = config.find(key);
  return it == config.end() || !it->is_array() ? 0 : it->size();
}

void readCaptureMode(Runtime& rt, const json& config) {
  rt.width = member(config, "width").get<int32_t>();
  rt.height = member(config, "height").get<int32_t>();
  rt.fps = member(config, "fps").get<int32_t>();
  resetFrameRate(rt.estimator, rt.fps, rt.frameRate);
  rt.settleSeconds.store(config.value("settle_ms", 200) == 100 ? 0.1 : 0.2);
}

bool captureModeValid(const Runtime& rt) {
  return rt.width >= 160 && rt.height >= 120 && rt.width <= 4096 && rt.height <= 3072 &&
         rt.width % 4 == 0 && rt.height % 4 == 0 && rt.fps >= 5 && rt.fps <= 120;
}

std::vector<cv::Point> circlePolygon(const CalibrationRecord& record, double radius, double scale,
                                     double* heightPx) {
  std::vector<cv::Point> polygon;
  double low = 1e300, high = -1e300;
  for (int k = 0; k < 100; ++k) {
    const double a = k * CV_PI / 50.0;
    const Point2 p = boardToImage(record, radius * std::cos(a), radius * std::sin(a));
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || std::abs(p.x) > 1e7 || std::abs(p.y) > 1e7) {
      throw std::runtime_error("Projection at infinity");
    }
    low = std::min(low, p.y);
    high = std::max(high, p.y);
    polygon.emplace_back(static_cast<int>(std::lround(p.x * scale)),
                         static_cast<int>(std::lround(p.y * scale)));
  }
  if (heightPx) *heightPx = std::max(high - low, 1.0);
  return polygon;
}

cv::Mat filledCircle(const CalibrationRecord& record, double radius, double scale, cv::Size size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  const std::vector<std::vector<cv::Point>> polygons{circlePolygon(record, radius, scale, nullptr)};
  cv::fillPoly(mask, polygons, cv::Scalar(255), cv::LINE_8);
  return mask;
}

double maxDifference(const Homography& a, const Homography& b) {
  double d = 0.0;
  for (size_t i = 0; i < 9; ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

void closeOpenedCameras(Runtime& rt) {
  for (uint32_t i = 0; i < 3; ++i) {
    if (rt.cameraOpened[i]) tarv_capture_close(i);
    rt.cameraOpened[i] = false;
  }
}

void resetPreviewImages(Runtime& rt) {
  const cv::Size quarter(rt.width / 4, rt.height / 4);
  for (size_t i = 0; i < 3; ++i) {
    rt.previewImages[i] = cv::Mat::zeros(quarter, CV_8UC3);
    rt.previewMasks[i] = cv::Mat::zeros(quarter, CV_8UC1);
  }
}

void setCaptureGates(Runtime& rt) {
  for (uint32_t i = 0; i < 3; ++i) {
    const double h = rt.detectionHeights[i];
    if (!std::isfinite(h) || h <= 0.0) throw std::runtime_error("INVALID_DETECTION_SCALE");
    tarv_capture_gate(i, h * 8.0 / 400.0, 1e12);
  }
}

void resetPollFields(Runtime& rt) {
  rt.frameNumbers = {};
  rt.previousFrameNumbers = {};
  rt.frameTimes = {};
  rt.quietFrames = 0;
  rt.settled = false;
  rt.handFlag = false;
  rt.lastDetectTime = -1e30;
  rt.lastIdleCheck = -1e30;
  for (cv::Mat& m : rt.idleReferences) m.release();
  rt.historyWindowEnd = -1e30;
  rt.historyWindowStart = -1e30;
  clearMotionHistory(rt.history);
}

}  // namespace

bool readCalibration(const json& value, Homography& out) {
  if (!value.is_array() || value.size() != 3) return false;
  for (size_t r = 0; r < 3; ++r) {
    const json& row = value[r];
    if (!row.is_array() || row.size() != 3) return false;
    for (size_t c = 0; c < 3; ++c) {
      if (!row[c].is_number()) return false;
      out[r * 3 + c] = row[c].get<double>();
      if (!std::isfinite(out[r * 3 + c])) return false;
    }
  }
  const cv::Matx33d m(out.data());
  return std::abs(cv::determinant(m)) >= 1e-12;
}

void openCameras(Runtime& rt, const json& config, const std::string& prefix) {
  const std::string fourcc = config.value("fourcc", std::string("MJPG"));
  const int32_t api = config.value("backend", 700);
  const json& devices = config.at("devices");
  std::array<std::string, 3> names;
  for (size_t i = 0; i < 3; ++i) names[i] = devices.at(i).get<std::string>();

  std::array<int32_t, 3> results{{-1, -1, -1}};
  std::vector<std::thread> threads;
  threads.reserve(3);  // a joinable thread must never be dropped by a failed push_back
  const auto open = [&](size_t i) {
    return tarv_capture_open(static_cast<uint32_t>(i), names[i].c_str(),
                             static_cast<uint32_t>(rt.width), static_cast<uint32_t>(rt.height),
                             static_cast<uint32_t>(rt.fps), fourcc.c_str(), api);
  };
  try {
    for (size_t i = 0; i < 3; ++i) {
      rt.cameraOpened[i] = true;
      threads.push_back(rt.startThread([&results, &open, i] { results[i] = open(i); }));
    }
  } catch (...) {
    // The thread that was not made opened nothing; those that were must be joined before
    // anything unwinds past them.
    rt.cameraOpened[threads.size()] = false;
    for (std::thread& t : threads) t.join();
    throw std::runtime_error(prefix + std::to_string(threads.size()));
  }
  for (std::thread& t : threads) t.join();
  // Capture slots are process-wide: a camera another runtime or the host holds answers -3,
  // and closing it would take it from them, so it is never counted as this runtime's.
  for (size_t i = 0; i < 3; ++i) {
    if (results[i] == -3) rt.cameraOpened[i] = false;
  }
  for (size_t i = 0; i < 3; ++i) {
    if (results[i] == 0) continue;
    if (results[i] == -3) throw std::runtime_error("CAMERA_IN_USE_" + std::to_string(i));
    tarv_capture_close(static_cast<uint32_t>(i));
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(800));
    results[i] = open(i);
    if (results[i] == -3) rt.cameraOpened[i] = false;
    if (results[i] != 0) throw std::runtime_error(prefix + std::to_string(i));
  }
}

json startRuntime(Runtime& rt, const json& config) {
  rt.confirmedCalibration = json::object();
  rt.confirmedUntil = -1.0;
  if (rt.running) throw std::runtime_error("ALREADY_RUNNING_STOP_EXPLICITLY");
  if (rt.engine) throw std::runtime_error("RESTART_PENDING_USE_RESTART_OR_STOP");
  if (!config.is_object()) throw std::runtime_error("INVALID_CONFIG");
  readCaptureMode(rt, config);
  if (!captureModeValid(rt)) throw std::runtime_error("INVALID_CAPTURE_MODE");
  if (countOf(config, "devices") != 3 || countOf(config, "references") != 3 ||
      countOf(config, "calibrations") != 3) {
    throw std::runtime_error("THREE_CAMERAS_REQUIRED");
  }
  const std::string lens = config.value("lens_pipeline", std::string("RAW"));
  const bool homographyMode = lens == "OPENCV_LENS_HOMOGRAPHY_V1";
  const bool modelled = homographyMode || lens == "OPENCV_PINHOLE_V1";
  if (modelled && countOf(config, "camera_models") != 3) {
    throw std::runtime_error("THREE_CAMERA_MODELS_REQUIRED");
  }
  const double board = config.value("board_radius_mm", 225.5);
  if (!std::isfinite(board) || board < 170.0 || board > 300.0) {
    throw std::runtime_error("INVALID_BOARD_RADIUS");
  }
  const double miss = config.value("miss_radius_mm", 300.0);
  if (!std::isfinite(miss)) throw std::runtime_error("INVALID_MISS_RADIUS");
  const double effectiveMiss = miss > 300.0 ? 300.0 : std::max(board, miss);

  // Everything per camera is built into locals first: a refused configuration leaves the
  // runtime's masks, maps and heights as they were.
  std::array<std::shared_ptr<const LensMaps>, 3> lensMaps;
  std::array<double, 3> heights{};
  std::array<cv::Mat, 3> boardMasks, watchMasks, surroundMasks;
  std::vector<cv::Mat> references;
  std::set<std::string> seen;
  const cv::Size quarter(rt.width / 4, rt.height / 4), half(rt.width / 2, rt.height / 2);
  for (size_t i = 0; i < 3; ++i) {
    json model = modelled ? member(config, "camera_models")[i] : json();
    const bool hasModel = model.is_object();
    if (modelled && !homographyMode && !hasModel) throw std::runtime_error("INVALID_CAMERA_MODEL");
    auto maps = std::make_shared<LensMaps>();
    if (hasModel) buildLensMaps(*maps, model, rt.width, rt.height);
    lensMaps[i] = maps;
    const std::string device = config.at("devices")[i].get<std::string>();
    if (!seen.insert(device).second) throw std::runtime_error("DUPLICATE_CAMERA");
    const cv::Mat reference =
        cv::imread(config.at("references")[i].get<std::string>(), cv::IMREAD_COLOR);
    if (reference.empty() || reference.cols != rt.width || reference.rows != rt.height) {
      throw std::runtime_error("REFERENCE_SIZE_MISMATCH");
    }
    references.push_back(undistortFrame(*maps, reference, false));
    Homography h{};
    if (!readCalibration(config.at("calibrations")[i], h)) {
      throw std::runtime_error("INVALID_CALIBRATION");
    }
    if (hasModel && !homographyMode &&
        maxDifference(planeHomographyFromPose(parseCameraModel(model)), h) > 1e-5) {
      throw std::runtime_error("LENS_HOMOGRAPHY_MISMATCH");
    }
    const CalibrationRecord record = {{"board_to_image", config.at("calibrations")[i]},
                                      {"camera_model", hasModel ? model : json()}};
    circlePolygon(record, 170.0, 1.0, &heights[i]);
    boardMasks[i] = filledCircle(record, 170.0, 0.25, quarter);
    watchMasks[i] = filledCircle(record, effectiveMiss, 0.25, quarter);
    surroundMasks[i] = filledCircle(record, 235.0, 0.5, half);
  }
  rt.lensMaps = lensMaps;
  rt.detectionHeights = heights;
  rt.boardMasks = boardMasks;
  rt.watchMasks = watchMasks;
  rt.surroundMasks = surroundMasks;
  resetPreviewImages(rt);
  rt.setupOnly = false;
  rt.options = config;
  rt.options["miss_radius_mm"] = effectiveMiss;

  rt.engine = rt.engines->create();
  if (!rt.engine) throw std::runtime_error("CORE_ALLOCATION_FAILED");
  const json armRequest = {
      {"calibrations", config.at("calibrations")},
      {"camera_models", member(config, "camera_models")},
      {"lens_pipeline", lens},
      {"ring_radii", config.contains("ring_radii") ? config.at("ring_radii") : kDefaultRingRadii},
      {"miss_radius_mm", effectiveMiss},
      {"board_radius_mm", board},
      {"ignore_surround", !config.value("surround_enabled", true)}};
  try {
    callEngine(*rt.engines, rt.engine, "warm", {}, json::object());
    rt.lastResult = callEngine(*rt.engines, rt.engine, "arm", references, armRequest);
    tarv_capture_lock_exposure(config.value("lock_camera", true) ? 1 : 0);
    tarv_capture_media_foundation(config.value("media_foundation", true) ? 1 : 0);
    openCameras(rt, config, "CAMERA_OPEN_FAILED_");
    setCaptureGates(rt);
    rt.coreCalls = rt.idleChecks = rt.idleChanged = 0;
    rt.coreMs = 0.0;
    rt.perfStart = tarv_monotonic_seconds();
    rt.startupPending = true;
    rt.restartCheck = false;
    rt.epoch = 0;
    rt.startupPolls = 0;
    resetPollFields(rt);
    resetRoundState(rt.motion);
    // Started before the run counts as running: a thread that cannot be made must fail the
    // start, not leave a run without its history behind an error reply.
    startMotionRecording(rt);
  } catch (...) {
    stopRuntime(rt);
    throw;
  }
  rt.running = true;

  json run = {{"calibrations", config.at("calibrations")},
              {"camera_models", member(config, "camera_models")},
              {"ring_radii", armRequest["ring_radii"]},
              {"miss_radius_mm", effectiveMiss},
              {"board_radius_mm", board},
              {"width", rt.width},
              {"height", rt.height},
              {"fps", rt.fps},
              {"lens_pipeline", lens},
              {"engine_version", "0.55.79"},
              {"ignore_surround", armRequest["ignore_surround"]}};
  run["board_rings"] = rt.lastResult.is_object() ? rt.lastResult.value("board_rings", json()) : json();
  run["board_radius_source"] =
      config.contains("board_radius_mm") ? "PROFILE" : "NOMINAL_451MM_BOARD";
  run["recognition_variant"] = "camera-geometry-board-miss-candidate";
  startReportRecorder(rt.recorder, config.value("report_folder", std::string()), run, references);
  const json reply = {{"status", "CAPTURE_STARTED"},
                      {"reference_source", "SAVED_EMPTY_REFERENCE_NOT_CURRENT_CAMERA"},
                      {"startup_check_required", true},
                      {"live_calibration_registration", "NOT_YET_VERIFIED"}};
  enqueueReportEvent(rt.recorder, reply, {}, tarv_monotonic_seconds(), {});
  return reply;
}

json startPreview(Runtime& rt, const json& config) {
  rt.confirmedCalibration = json::object();
  rt.confirmedUntil = -1.0;
  if (rt.running) throw std::runtime_error("ALREADY_RUNNING_STOP_EXPLICITLY");
  if (!config.is_object()) throw std::runtime_error("INVALID_CONFIG");
  readCaptureMode(rt, config);
  if (!captureModeValid(rt) || countOf(config, "devices") != 3) {
    throw std::runtime_error("INVALID_CAPTURE_MODE");
  }
  std::set<std::string> seen;
  for (const json& device : config.at("devices")) {
    if (!seen.insert(device.get<std::string>()).second) throw std::runtime_error("DUPLICATE_CAMERA");
  }
  rt.options = config;
  rt.setupOnly = true;
  rt.frameNumbers = {};
  rt.previousFrameNumbers = {};
  rt.frameTimes = {};
  rt.quietFrames = 0;
  rt.relaxedQuietFrames = 0;
  tarv_capture_lock_exposure(config.value("lock_camera", true) ? 1 : 0);
  tarv_capture_media_foundation(config.value("media_foundation", true) ? 1 : 0);
  try {
    resetPreviewImages(rt);
    openCameras(rt, config, "CAMERA_OPEN_FAILED_");
  } catch (...) {
    stopRuntime(rt);
    throw;
  }
  rt.running = true;
  return {{"status", "PREVIEW_STARTED"}, {"scoring", false}};
}

json restartCapture(Runtime& rt) {
  if (rt.setupOnly || !rt.engine) throw std::runtime_error("ACTIVE_BOARD_REQUIRED_FOR_RESTART");
  stopMotionHistory(rt.history);
  resetRoundState(rt.motion);
  closeOpenedCameras(rt);
  const json& options = rt.options;
  tarv_capture_lock_exposure(options.value("lock_camera", true) ? 1 : 0);
  tarv_capture_media_foundation(options.value("media_foundation", true) ? 1 : 0);
  try {
    openCameras(rt, options, "CAMERA_RESTART_FAILED_");
    setCaptureGates(rt);
  } catch (...) {
    closeOpenedCameras(rt);
    rt.running = false;
    throw;
  }
  resetPollFields(rt);
  rt.epoch += 1;
  try {
    callEngine(*rt.engines, rt.engine, "restart_empty_begin", {}, json::object());
  } catch (...) {
    rt.running = false;
    throw;
  }
  rt.startupPending = true;
  rt.restartCheck = true;
  rt.startupPolls = 0;
  try {
    startMotionRecording(rt);
  } catch (...) {
    rt.running = false;
    throw;
  }
  rt.running = true;
  return {{"status", "CAPTURE_RESTARTED"},
          {"empty_refresh_pending", true},
          {"references_preserved", true},
          {"dart_state_preserved", true}};
}

json beginUserReset(Runtime& rt, const json& request) {
  if (!flagOf(request, "empty_confirmed")) throw std::runtime_error("EMPTY_BOARD_CONFIRMATION_REQUIRED");
  const json config = request.is_object() && request.contains("config") ? request.at("config") : json();
  stopRuntime(rt);
  rt.confirmedCalibration = json::object();
  rt.confirmedUntil = -1.0;
  try {
    startRuntime(rt, config);
  } catch (...) {
    stopRuntime(rt);
    throw;
  }
  // The new run proves the board empty with its start check before it scores again; that
  // proof ends the reset (as a confirmed empty board does).
  rt.resetPending = true;
  rt.startupPending = true;
  rt.lastResult = {{"status", "RESETTING"}, {"entries", json::array()}};
  enqueueReportEvent(rt.recorder, {{"status", "USER_EMPTY_RESTART"}}, {}, tarv_monotonic_seconds(), {});
  return {{"status", "RESETTING"}, {"calibration_preserved", true}};
}

void stopRuntime(Runtime& rt) noexcept {
  stopMotionHistory(rt.history);
  resetRoundState(rt.motion);
  rt.resetPending = false;
  rt.savedCalibrationEditing = false;
  rt.pendingResult = json::object();
  stopReportRecorder(rt.recorder);
  closeOpenedCameras(rt);
  if (rt.engine) rt.engines->destroy(rt.engine);
  rt.engine = nullptr;
  rt.running = false;
  rt.handFlag = false;
  rt.setupOnly = false;
  rt.startupPending = false;
  rt.restartCheck = false;
  clearMotionHistory(rt.history);
  for (cv::Mat& m : rt.idleReferences) m.release();
  for (auto& maps : rt.lensMaps) maps.reset();
}

}  // namespace tarv
