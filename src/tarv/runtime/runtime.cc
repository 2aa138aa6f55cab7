#include "tarv/runtime/runtime.h"

#include <new>
#include <stdexcept>
#include <string>

#include "tarv/camera/calibration_overlay.h"
#include "tarv/core/opencv_threads.h"
#include "tarv/core/request_depth.h"
#include "tarv/runtime/calibration_commands.h"
#include "tarv/runtime/empty_confirmation.h"
#include "tarv/runtime/poll_timing.h"
#include "tarv/runtime/reference_capture.h"
#include "tarv/tarv.h"

namespace tarv {

namespace {

std::string dumpReply(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

json mediaFrames(const Runtime& rt) {
  json frames = json::array();
  const double now = tarv_monotonic_seconds();
  for (size_t i = 0; i < 3; ++i) {
    if (rt.running && rt.frameNumbers[i] > 0 && now - rt.frameTimes[i] <= 0.5) {
      frames.push_back({{"number", rt.frameNumbers[i]}, {"timestamp", rt.frameTimes[i]}});
    } else {
      frames.push_back(nullptr);
    }
  }
  return frames;
}

json status(Runtime& rt) {
  const double now = tarv_monotonic_seconds();
  json cameras = json::array();
  for (uint32_t i = 0; i < 3; ++i) {
    const char* health = tarv_capture_health(i);
    cameras.push_back(health ? json::parse(health, nullptr, false) : json());
  }
  const json stats = motionHistoryStats(rt.history);
  return {{"running", rt.running},
          {"setup_only", rt.setupOnly},
          {"startup_pending", rt.startupPending},
          {"reset_pending", rt.resetPending},
          {"hand_confirmed", rt.handFlag && !rt.startupPending && !rt.setupOnly},
          {"last_result", rt.lastResult},
          {"round_reports", buildReportStatistics(rt.recorder)},
          {"perf",
           {{"seconds", rt.perfStart > 0.0 ? now - rt.perfStart : 0.0},
            {"core_calls", rt.coreCalls},
            {"core_ms", rt.coreMs},
            {"idle_checks", rt.idleChecks},
            {"idle_changed", rt.idleChanged},
            {"frame_rate", rt.frameRate.load()}}},
          {"motion_history_bytes", stats["bytes"]},
          {"motion_history_frames", stats["samples"]},
          {"cameras", cameras}};
}

json updateOptions(Runtime& rt, const json& request) {
  if (!request.is_object()) return json();
  json updated = rt.options;
  for (const char* key : {"dart_3d", "auto_realign", "plant_mode", "adaptive_threshold"}) {
    const auto it = request.find(key);
    if (it != request.end() && it->is_boolean()) updated[key] = *it;
  }
  double settle = -1.0;
  const auto it = request.find("settle_ms");
  if (it != request.end() && it->is_number()) {
    const double value = it->get<double>();
    const int64_t whole = value > -1e9 && value < 1e9 ? static_cast<int64_t>(value) : 0;
    if (whole != 100 && whole != 200) throw std::runtime_error("INVALID_SETTLE_MS");
    updated["settle_ms"] = whole;
    settle = static_cast<double>(whole) / 1000.0;
  }
  const json reply = {{"dart_3d", updated.value("dart_3d", true)},
                      {"settle_ms", updated.value("settle_ms", 200)}};
  rt.options = std::move(updated);
  if (settle > 0.0) rt.settleSeconds.store(settle);
  return reply;
}

void reportPoll(Runtime& rt, const json& reply) {
  const std::string s = reply.is_object() ? reply.value("status", std::string()) : std::string();
  const double now = tarv_monotonic_seconds();
  if (!rt.running || rt.setupOnly || now - rt.lastDetectTime <= 2.0 || s == "DETECTION" ||
      s == "WAIT_INTERVAL" || s == "WAIT_NEW_FRAMES") {
    return;
  }
  enqueueReportEvent(rt.recorder,
                     {{"status", s},
                      {"gate", reply},
                      {"capture_times", rt.frameTimes},
                      {"sequences", rt.frameNumbers},
                      {"motion_pixels", rt.motionPixels},
                      {"last_result", rt.lastResult}},
                     {}, now, {});
}

}  // namespace

Runtime::Runtime(const EngineTable& engineTable) : engines(&engineTable) {}

Runtime::~Runtime() { stopRuntime(*this); }

json buildScoringScope(const Runtime& rt) {
  const json& o = rt.options.is_object() ? rt.options : json::object();
  const bool enabled = o.value("surround_enabled", true);
  return {{"surround_enabled", enabled},
          {"ignore_surround", !enabled},
          {"scoring_scope", enabled ? "BOUNDED_SURROUND" : "BOARD_ONLY"},
          {"radius", enabled ? o.value("miss_radius_mm", 300.0) : o.value("board_radius_mm", 225.5)}};
}

json updateSurroundConfig(Runtime& rt, const json& request) {
  const bool enabled = request.at("enabled").get<bool>();
  if (rt.engine) callEngine(*rt.engines, rt.engine, "scope", {}, {{"ignore_surround", !enabled}});
  rt.options["surround_enabled"] = enabled;
  json reply = buildScoringScope(rt);
  reply["status"] = "CONFIG_UPDATED";
  reply["references_preserved"] = true;
  return reply;
}

json dispatchRuntimeCommand(Runtime& rt, const json& request) {
  const std::string command = request.at("command").get<std::string>();
  const auto config = [&] { return request.contains("config") ? request.at("config") : json(); };
  if (command == "start") return startRuntime(rt, config());
  if (command == "preview_start") return startPreview(rt, config());
  if (command == "restart") return restartCapture(rt);
  if (command == "reset_begin") return beginUserReset(rt, request);
  // A missing key reads as null, which is no text: the JSON library's type error, before the
  // handler changes anything.
  const auto text = [&](const char* key) {
    return (request.contains(key) ? request.at(key) : json()).get<std::string>();
  };
  if (command == "calibration_snapshot") {
    json reply = captureCalibrationReferences(rt, text("folder"));
    applyCalibrationSeed(rt, request);
    return reply;
  }
  if (command == "media_frames") return mediaFrames(rt);
  if (command == "quick_snapshot") return quickCalibrate(rt, text("folder"), request.value("empty_confirmed", false));
  if (command == "confirm_empty") return confirmEmptyBoard(rt, request);
  if (command == "calibration_prepare_start") return prepareSavedCalibrationStart(rt, config());
  if (command == "calibrate") return calibrateFromClick(rt, request);
  if (command == "manual_calibration") return editManualCalibration(rt, request);
  if (command == "calibration_view") {
    json reply;
    applySavedView(reply, request);
    return reply;
  }
  if (command == "calibration_edit_saved") return editSavedCalibration(rt, request);
  if (command == "calibration_result") return handOutCalibrationResult(rt);
  if (command == "calibration_model_check") return checkCalibrationModel(rt);
  if (command == "stop") {
    if (!request.value("preserve_confirmed_calibration", false)) {
      rt.confirmedCalibration = json::object();
      rt.confirmedUntil = -1.0;
    }
    stopRuntime(rt);
    return {{"status", "STOPPED"}};
  }
  if (command == "poll") {
    json reply = pollRuntime(rt);
    reportPoll(rt, reply);
    return reply;
  }
  if (command == "status") return status(rt);
  if (command == "surround") return updateSurroundConfig(rt, request);
  if (command == "options") return updateOptions(rt, request);
  throw std::runtime_error("UNKNOWN_COMMAND");
}

const char* runtimeCall(Runtime& rt, const char* text) {
  json reply;
  try {
    // Before parsing: the start copies and dumps its configuration, recursing per level.
    if (nestedDeeperThan(text, kMaxRequestDepth)) throw std::runtime_error("REQUEST_TOO_DEEP");
    useLibraryOpenCvThreads();
    reply = dispatchRuntimeCommand(rt, json::parse(text));
  } catch (const std::bad_alloc&) {
    reply = {{"error", "OUT_OF_MEMORY"}};
  } catch (const std::exception& e) {
    reply = {{"error", e.what()}};
  } catch (...) {
    reply = {{"error", "INTERNAL_ERROR"}};
  }
  try {
    publishPreviewView(rt);
    rt.reply = dumpReply(reply);
  } catch (...) {
    rt.reply = "{\"error\":\"OUT_OF_MEMORY\"}";
  }
  return rt.reply.c_str();
}

void publishPreviewView(Runtime& rt) {
  PreviewView view;
  view.running = rt.running;
  view.width = rt.width;
  view.height = rt.height;
  view.frameNumbers = rt.frameNumbers;
  view.frameTimes = rt.frameTimes;
  for (size_t i = 0; i < 3; ++i) view.previews[i] = rt.previewImages[i].clone();
  view.hasOptions = rt.options.is_object();
  if (view.hasOptions) {
    view.calibrations = rt.options.value("calibrations", json());
    view.ringRadii = rt.options.value("ring_radii", json());
  }
  view.lens = rt.lensMaps;
  std::lock_guard<std::mutex> lock(rt.previewMutex);
  rt.published = std::move(view);
}

}  // namespace tarv
