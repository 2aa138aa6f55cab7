// Start, preview start, restart, user reset and the full stop of a runtime.
#include <algorithm>
#include <climits>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <optional>
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

// A whole number in the 32-bit range. A value that is no number fails with the JSON library's
// type error (a missing key reads as null); a fraction, a number beyond the range or a
// boolean fails with `code`, so nothing wraps or truncates on its way in.
int32_t readWhole(const json& value, const char* code) {
  if (value.is_boolean()) throw std::runtime_error(code);
  if (!value.is_number()) return value.get<int32_t>();
  const std::optional<int64_t> n = wholeNumberOf(value, INT32_MIN, INT32_MAX);
  if (!n) throw std::runtime_error(code);
  return static_cast<int32_t>(*n);
}

int32_t readWhole(const json& config, const char* key, int32_t fallback, const char* code) {
  return config.contains(key) ? readWhole(config.at(key), code) : fallback;
}

// Step 3 of a start and of a preview start.
void readCaptureMode(Runtime& rt, const json& config) {
  const int32_t width = readWhole(member(config, "width"), "INVALID_CAPTURE_MODE");
  const int32_t height = readWhole(member(config, "height"), "INVALID_CAPTURE_MODE");
  const int32_t fps = readWhole(member(config, "fps"), "INVALID_CAPTURE_MODE");
  const int32_t settle = readWhole(config, "settle_ms", 200, "INVALID_SETTLE_MS");
  rt.width = width;
  rt.height = height;
  rt.fps = fps;
  resetFrameRate(rt.estimator, rt.fps, rt.frameRate);
  rt.settleSeconds.store(settle == 100 ? 0.1 : 0.2);
}

// The capture keys of a start or preview start that are read only when the cameras open.
struct CameraSwitches {
  bool lockCamera = true;
  bool mediaFoundation = true;
};

CameraSwitches readCameraSwitches(const json& config) {
  config.value("fourcc", std::string("MJPG"));
  readWhole(config, "backend", 700, "INVALID_CAPTURE_MODE");
  return {config.value("lock_camera", true), config.value("media_foundation", true)};
}

void applyCaptureSwitches(const CameraSwitches& switches) {
  tarv_capture_lock_exposure(switches.lockCamera ? 1 : 0);
  tarv_capture_media_foundation(switches.mediaFoundation ? 1 : 0);
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

bool takeEngineCalibrations(Runtime& rt, const json& reply) {
  if (!reply.is_object() || !reply.contains("calibrations")) return false;
  const json& c = reply.at("calibrations");
  if (!c.is_array() || c.size() != 3) return false;
  Homography h{};
  for (const json& m : c) {
    if (!readCalibration(m, h)) return false;
  }
  rt.options["calibrations"] = c;
  return true;
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
  return !a.empty() && a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

void openCameras(Runtime& rt, const json& config, const std::string& prefix) {
  const std::string fourcc = config.value("fourcc", std::string("MJPG"));
  const int32_t api = readWhole(config, "backend", 700, "INVALID_CAPTURE_MODE");
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

namespace {

// What a start has read and built before it touches anything: a refused configuration ends
// before the first side effect, so a failed start leaves the runtime idle with nothing open.
struct StartPlan {
  bool frozen = false;
  std::string lens;
  bool homographyMode = false;
  bool modelled = false;
  double board = 225.5;
  double effectiveMiss = 300.0;
  std::array<std::shared_ptr<const LensMaps>, 3> lensMaps;
  std::array<double, 3> heights{};
  std::array<cv::Mat, 3> boardMasks, watchMasks, surroundMasks;
  std::vector<cv::Mat> references;
  json armRequest;
  CameraSwitches cameras;
  std::string reportFolder;
};

// Step 1: a confirmation prepared from a saved calibration makes this start frozen when the
// configuration is the one confirmed and it has not expired; any start consumes it.
bool consumeConfirmedCalibration(Runtime& rt, const json& config) {
  bool frozen = false;
  if (!rt.confirmedCalibration.empty() && rt.confirmedUntil >= tarv_monotonic_seconds() &&
      config.is_object()) {
    frozen = rt.confirmedCalibration == startConfigSignature(config);
  }
  rt.confirmedCalibration = json::object();
  rt.confirmedUntil = -1.0;
  return frozen;
}

// Step 2.
void refuseBusyRuntime(const Runtime& rt) {
  if (rt.running) throw std::runtime_error("ALREADY_RUNNING_STOP_EXPLICITLY");
  if (rt.engine) throw std::runtime_error("RESTART_PENDING_USE_RESTART_OR_STOP");
}

// Step 5.
void checkThreeCameras(const json& config) {
  if (countOf(config, "devices") != 3 || countOf(config, "references") != 3 ||
      countOf(config, "calibrations") != 3) {
    throw std::runtime_error("THREE_CAMERAS_REQUIRED");
  }
}

// Step 6.
void readLensPipeline(const json& config, StartPlan& plan) {
  plan.lens = config.value("lens_pipeline", std::string("RAW"));
  plan.homographyMode = plan.lens == "OPENCV_LENS_HOMOGRAPHY_V1";
  plan.modelled = plan.homographyMode || plan.lens == "OPENCV_PINHOLE_V1";
  if (plan.modelled && countOf(config, "camera_models") != 3) {
    throw std::runtime_error("THREE_CAMERA_MODELS_REQUIRED");
  }
}

// Step 7.
void readBoardRadii(const json& config, StartPlan& plan) {
  plan.board = config.value("board_radius_mm", 225.5);
  if (!std::isfinite(plan.board) || plan.board < 170.0 || plan.board > 300.0) {
    throw std::runtime_error("INVALID_BOARD_RADIUS");
  }
  const double miss = config.value("miss_radius_mm", 300.0);
  if (!std::isfinite(miss)) throw std::runtime_error("INVALID_MISS_RADIUS");
  plan.effectiveMiss = miss > 300.0 ? 300.0 : std::max(plan.board, miss);
}

// Step 8, one camera: lens maps, device, reference (equal to the frozen frame when frozen),
// calibration and the masks, all into the plan.
void prepareCamera(const Runtime& rt, const json& config, size_t i, std::set<std::string>& seen,
                   StartPlan& plan) {
  const json model = plan.modelled ? member(config, "camera_models")[i] : json();
  const bool hasModel = model.is_object();
  if (plan.modelled && !plan.homographyMode && !hasModel) throw std::runtime_error("INVALID_CAMERA_MODEL");
  auto maps = std::make_shared<LensMaps>();
  if (hasModel) buildLensMaps(*maps, model, rt.width, rt.height);
  plan.lensMaps[i] = maps;
  const std::string device = config.at("devices")[i].get<std::string>();
  if (!seen.insert(device).second) throw std::runtime_error("DUPLICATE_CAMERA");
  const cv::Mat reference = cv::imread(config.at("references")[i].get<std::string>(), cv::IMREAD_COLOR);
  if (reference.empty() || reference.cols != rt.width || reference.rows != rt.height) {
    throw std::runtime_error("REFERENCE_SIZE_MISMATCH");
  }
  if (plan.frozen && !sameImage(reference, rt.calibration.frozen[i])) {
    throw std::runtime_error("SAVED_REFERENCE_CHANGED");
  }
  plan.references.push_back(undistortFrame(*maps, reference, false));
  Homography h{};
  if (!readCalibration(config.at("calibrations")[i], h)) throw std::runtime_error("INVALID_CALIBRATION");
  if (hasModel && !plan.homographyMode &&
      maxDifference(planeHomographyFromPose(parseCameraModel(model)), h) > 1e-5) {
    throw std::runtime_error("LENS_HOMOGRAPHY_MISMATCH");
  }
  const CalibrationRecord record = {{"board_to_image", config.at("calibrations")[i]},
                                    {"camera_model", hasModel ? model : json()}};
  const cv::Size quarter(rt.width / 4, rt.height / 4), half(rt.width / 2, rt.height / 2);
  circlePolygon(record, 170.0, 1.0, &plan.heights[i]);
  plan.boardMasks[i] = filledCircle(record, 170.0, 0.25, quarter);
  plan.watchMasks[i] = filledCircle(record, plan.effectiveMiss, 0.25, quarter);
  plan.surroundMasks[i] = filledCircle(record, 235.0, 0.5, half);
}

// Step 8.
void prepareCameras(const Runtime& rt, const json& config, StartPlan& plan) {
  std::set<std::string> seen;
  for (size_t i = 0; i < 3; ++i) prepareCamera(rt, config, i, seen, plan);
}

// The keys the later steps read, read now: the arm request, the camera switches and the
// report folder. A value of the wrong type fails here, before the engine exists.
void readRunKeys(const json& config, StartPlan& plan) {
  plan.armRequest = {
      {"calibrations", config.at("calibrations")},
      {"camera_models", member(config, "camera_models")},
      {"lens_pipeline", plan.lens},
      {"ring_radii", config.contains("ring_radii") ? config.at("ring_radii") : kDefaultRingRadii},
      {"miss_radius_mm", plan.effectiveMiss},
      {"board_radius_mm", plan.board},
      {"ignore_surround", !config.value("surround_enabled", true)}};
  plan.cameras = readCameraSwitches(config);
  plan.reportFolder = config.value("report_folder", std::string());
}

// Step 9.
void adoptConfiguration(Runtime& rt, const json& config, const StartPlan& plan) {
  rt.lensMaps = plan.lensMaps;
  rt.detectionHeights = plan.heights;
  rt.boardMasks = plan.boardMasks;
  rt.watchMasks = plan.watchMasks;
  rt.surroundMasks = plan.surroundMasks;
  resetPreviewImages(rt);
  rt.setupOnly = false;
  rt.options = config;
  rt.options["miss_radius_mm"] = plan.effectiveMiss;
}

// Step 10.
void createEngine(Runtime& rt) {
  rt.engine = rt.engines->create();
  if (!rt.engine) throw std::runtime_error("CORE_ALLOCATION_FAILED");
}

// Steps 11 and 12.
void warmAndArmEngine(Runtime& rt, const StartPlan& plan) {
  callEngine(*rt.engines, rt.engine, "warm", {}, json::object());
  rt.lastResult = callEngine(*rt.engines, rt.engine, "arm", plan.references, plan.armRequest);
}

// Step 13.
void openRunCameras(Runtime& rt, const json& config, const CameraSwitches& switches) {
  applyCaptureSwitches(switches);
  openCameras(rt, config, "CAMERA_OPEN_FAILED_");
}

// Step 15.
void resetRunCounters(Runtime& rt, bool frozen) {
  rt.coreCalls = rt.idleChecks = rt.idleChanged = 0;
  rt.coreMs = 0.0;
  rt.perfStart = tarv_monotonic_seconds();
  rt.startupPending = !frozen;
  rt.restartCheck = false;
  rt.epoch = 0;
  rt.startupPolls = 0;
  resetPollFields(rt);
}

// Step 16: the frozen references are the board the user just confirmed empty; they open the
// motion history as its first sample, as a passed start check would.
void pushFrozenMotionSample(Runtime& rt, const StartPlan& plan) {
  if (!plan.frozen) return;
  const double now = tarv_monotonic_seconds();
  MotionSample sample;
  sample.captureTimes = {now, now, now};
  sample.sequences = {0, 0, 0};
  for (size_t i = 0; i < 3; ++i) {
    cv::resize(plan.references[i], sample.frames[i], cv::Size(rt.width / 2, rt.height / 2), 0, 0,
               cv::INTER_AREA);
  }
  pushMotionSampleLocked(rt.history, std::move(sample));
  rt.historyWindowEnd = now;
  rt.historyWindowStart = now - 1e-6;
}

// Step 17.
void startRunRecorder(Runtime& rt, const json& config, const StartPlan& plan) {
  json run = {{"calibrations", config.at("calibrations")},
              {"camera_models", member(config, "camera_models")},
              {"ring_radii", plan.armRequest["ring_radii"]},
              {"miss_radius_mm", plan.effectiveMiss},
              {"board_radius_mm", plan.board},
              {"width", rt.width},
              {"height", rt.height},
              {"fps", rt.fps},
              {"lens_pipeline", plan.lens},
              {"engine_version", "0.55.79"},
              {"ignore_surround", plan.armRequest["ignore_surround"]}};
  run["board_rings"] = rt.lastResult.is_object() ? rt.lastResult.value("board_rings", json()) : json();
  run["board_radius_source"] = config.contains("board_radius_mm") ? "PROFILE" : "NOMINAL_451MM_BOARD";
  run["recognition_variant"] = "camera-geometry-board-miss-candidate";
  startReportRecorder(rt.recorder, plan.reportFolder, run, plan.references);
}

// Step 18.
json startReply(bool frozen) {
  return {{"status", "CAPTURE_STARTED"},
          {"reference_source", frozen ? "USER_CONFIRMED_FROZEN_REFERENCE" : "SAVED_EMPTY_REFERENCE_NOT_CURRENT_CAMERA"},
          {"startup_check_required", !frozen},
          {"live_calibration_registration", frozen ? "JUST_CALIBRATED" : "NOT_YET_VERIFIED"}};
}

}  // namespace

json startConfigSignature(const json& config) {
  json signature = json::object();
  for (const char* key : {"width", "height", "fps", "devices", "fourcc", "backend", "references",
                          "reference_sha256", "calibrations", "camera_models", "lens_pipeline",
                          "ring_radii", "miss_radius_mm", "board_radius_mm"}) {
    signature[key] = config.is_object() ? member(config, key) : json();
  }
  return signature;
}

json startRuntime(Runtime& rt, const json& config) {
  StartPlan plan;
  plan.frozen = consumeConfirmedCalibration(rt, config);
  refuseBusyRuntime(rt);
  if (!config.is_object()) throw std::runtime_error("INVALID_CONFIG");
  readCaptureMode(rt, config);
  if (!captureModeValid(rt)) throw std::runtime_error("INVALID_CAPTURE_MODE");
  checkThreeCameras(config);
  readLensPipeline(config, plan);
  readBoardRadii(config, plan);
  prepareCameras(rt, config, plan);
  readRunKeys(config, plan);

  adoptConfiguration(rt, config, plan);
  createEngine(rt);
  try {
    warmAndArmEngine(rt, plan);
    openRunCameras(rt, config, plan.cameras);
    setCaptureGates(rt);
    resetRunCounters(rt, plan.frozen);
    pushFrozenMotionSample(rt, plan);
    resetRoundState(rt.motion);
    // Started before the run counts as running: a thread that cannot be made must fail the
    // start, not leave a run without its history behind an error reply.
    startMotionRecording(rt);
  } catch (...) {
    stopRuntime(rt);
    throw;
  }
  rt.running = true;
  startRunRecorder(rt, config, plan);
  const json reply = startReply(plan.frozen);
  enqueueReportEvent(rt.recorder, reply, {}, tarv_monotonic_seconds(), {});
  return reply;
}

namespace {

// Nothing measured: the quiet-frame wait then says so instead of quoting an earlier session.
void forgetPreviewReadiness(Runtime& rt) {
  rt.spread = -1.0;
  rt.motionFractions = {-1.0, -1.0, -1.0};
}

// Step 6 of a preview start: a new set-up session begins without the previous one's frozen
// references, calibrations and folder, so nothing calibrates on old frames or writes into
// the old folder.
void beginSetupSession(Runtime& rt, const json& config) {
  rt.options = config;
  rt.setupOnly = true;
  for (cv::Mat& frame : rt.calibration.frozen) frame.release();
  rt.calibration.records = json::array({nullptr, nullptr, nullptr});
  rt.calibration.folder.clear();
  rt.frameNumbers = {};
  rt.previousFrameNumbers = {};
  rt.frameTimes = {};
  rt.quietFrames = 0;
  rt.relaxedQuietFrames = 0;
  forgetPreviewReadiness(rt);
}

}  // namespace

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
  const CameraSwitches switches = readCameraSwitches(config);
  beginSetupSession(rt, config);
  applyCaptureSwitches(switches);
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
  const CameraSwitches switches = readCameraSwitches(rt.options);
  stopMotionHistory(rt.history);
  resetRoundState(rt.motion);
  closeOpenedCameras(rt);
  applyCaptureSwitches(switches);
  try {
    openCameras(rt, rt.options, "CAMERA_RESTART_FAILED_");
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
  // The poll answers "RESETTING" until the user confirms the empty board ("confirm_empty"),
  // which ends the reset, or the runtime is stopped.
  rt.resetPending = true;
  rt.startupPending = false;
  rt.lastResult = {{"status", "RESETTING"}, {"entries", json::array()}};
  enqueueReportEvent(rt.recorder, {{"status", "USER_EMPTY_RESTART"}}, {}, tarv_monotonic_seconds(), {});
  return {{"status", "RESETTING"}, {"calibration_preserved", true}};
}

void stopRuntime(Runtime& rt) noexcept {
  stopMotionHistory(rt.history);
  resetRoundState(rt.motion);
  rt.resetPending = false;
  rt.savedCalibrationEditing = false;
  // An editor or a confirmation begun on this run's references must not act on the next's.
  closeCalibrationEditor(rt.calibration);
  rt.calibration.pendingEmptyFolder.clear();
  rt.pendingResult = json::object();
  stopReportRecorder(rt.recorder);
  forgetPreviewReadiness(rt);
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
