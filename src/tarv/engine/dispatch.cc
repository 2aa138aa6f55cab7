// tarv_call's body: request intake, image checks, process-wide switches and the dispatch of
// commands to the engine variants.
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/version.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/board_fit.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/opencv_threads.h"
#include "tarv/core/request_depth.h"
#include "tarv/core/process_switches.h"
#include "tarv/engine/arming.h"
#include "tarv/engine/decision_window.h"
#include "tarv/engine/empty_commands.h"
#include "tarv/engine/engine.h"
#include "tarv/engine/frame_handler.h"
#include "tarv/engine/motion_bouncer.h"
#include "tarv/engine/request_intake.h"
#include "tarv/engine/transient_probe.h"
#include "tarv/engine/warmup.h"

namespace tarv {
namespace {

constexpr int kAvailablePaths = 18;

std::vector<cv::Mat> wrapImages(const std::vector<ImageBuffer>& buffers) {
  std::vector<cv::Mat> images;
  images.reserve(buffers.size());
  for (const ImageBuffer& b : buffers) {
    images.emplace_back(b.height, b.width, CV_8UC3, reinterpret_cast<void*>(b.pointer),
                        static_cast<size_t>(b.width) * 3);
  }
  return images;
}

void applySwitches(const json& request) {
  ProcessSwitches& s = processSwitches();
  const auto apply = [&request](const char* key, std::atomic<bool>& target) {
    const auto it = request.find(key);
    if (it != request.end() && it->is_boolean()) target = it->get<bool>();
  };
  apply("dart_3d", s.dart3d);
  apply("auto_realign", s.autoRealign);
  apply("plant_mode", s.plantMode);
  apply("adaptive_threshold", s.adaptiveThreshold);
}

void setScopeEverywhere(Engine& engine, bool boardOnly) {
  setBoardOnlyScope(boardOnly, engine.round);
  if (engine.calibrationCheckRound) setBoardOnlyScope(boardOnly, *engine.calibrationCheckRound);
  if (engine.pendingRound) setBoardOnlyScope(boardOnly, *engine.pendingRound);
  if (engine.restartSnapshot) {
    setBoardOnlyScope(boardOnly, engine.restartSnapshot->round);
    if (engine.restartSnapshot->pendingRound) {
      setBoardOnlyScope(boardOnly, *engine.restartSnapshot->pendingRound);
    }
  }
}

void resetCheckState(Engine& engine) {
  engine.lastCheckTimes = {-1.0, -1.0, -1.0};
  engine.lastRegistrationTime = -1e30;
  engine.registrationRecord = nullptr;
  engine.calibrationCheckRound.reset();
  engine.pendingRound.reset();
  engine.restartSnapshot.reset();
}

bool isEmptyBoardCommand(const std::string& command) {
  return command == "confirm_empty" || command == "restart_empty_begin" ||
         command == "restart_empty_check" || command == "startup_check" ||
         command == "calibration_empty_check";
}

json runThreeCameraPath(Engine& engine, const std::string& command, const json& request,
                        const std::vector<cv::Mat>& images) {
  if (command == "transient_probe") return probeTransient(engine.round, request, images);
  if (command == "motion_bouncer") return reviewMotionBouncer(engine.round, request, images);
  json reply;
  if (command == "arm") {
    resetCheckState(engine);
    reply = armRound(engine.round, request, images);
  } else {
    reply = processRoundFrames(engine.round, request, images);
  }
  if (!engine.round.entries.empty() || request.value("hand_seen", false)) {
    engine.calibrationCheckRound.reset();
  }
  return reply;
}

// Frames wrapped round a host's buffers belong to the call that brought them.
void forgetHostFrames(Engine& engine) {
  forgetIncomingFrames(engine.round);
  if (engine.calibrationCheckRound) forgetIncomingFrames(*engine.calibrationCheckRound);
  if (engine.pendingRound) forgetIncomingFrames(*engine.pendingRound);
  if (engine.restartSnapshot) {
    forgetIncomingFrames(engine.restartSnapshot->round);
    if (engine.restartSnapshot->pendingRound) forgetIncomingFrames(*engine.restartSnapshot->pendingRound);
  }
}

// The one- and two-camera engines read "time" (or the first of "times"): a time far ahead of
// the clock is refused before either engine keeps it as its newest.
void refuseFutureVariantTime(const json& request) {
  const auto time = request.find("time");
  if (time != request.end() && time->is_number()) refuseFutureCaptureTime(time->get<double>());
  const auto times = request.find("times");
  if (times != request.end() && times->is_array() && !times->empty() && times->front().is_number()) {
    refuseFutureCaptureTime(times->front().get<double>());
  }
}

json dispatch(Engine& engine, const std::string& command, const json& request,
              std::vector<cv::Mat>& images) {
  const size_t n = images.size();
  if (command == "warm") return json{{"status", "WARM"}, {"warmupMs", warmEngine()}};
  if (command == "scope") {
    const bool boardOnly = request.at("ignore_surround").get<bool>();
    setScopeEverywhere(engine, boardOnly);
    return json{{"status", "CONFIG_UPDATED"}, {"references_preserved", true},
                {"ignore_surround", boardOnly}};
  }
  if (command == "decision_timeout") {
    if (!engine.round.armed) throw std::runtime_error("ENGINE_NOT_ARMED");
    return checkDecisionWindow(engine.round, request.at("captured").get<double>());
  }
  if (command == "calibrate" && n >= 1) return fitReducedBoardGeometry(images[0], request, engine.workingScale);
  if (isEmptyBoardCommand(command)) return runEmptyBoardCommand(engine, command, request, images);
  if ((n == 1 || n == 2) && command != "arm") refuseFutureVariantTime(request);
  if (n == 1) {
    json reply = command == "arm" ? armMonoEngine(engine.monoEngine, request, images[0])
                                  : processMonoFrame(engine.monoEngine, request, images[0]);
    reply["executionBackend"] = executionBackendName("_MONO");
    return reply;
  }
  if (n == 2) {
    json reply = command == "arm" ? armDuoEngine(engine.duoEngine, request, images)
                                  : processDuoFrames(engine.duoEngine, request, images);
    reply["executionBackend"] = executionBackendName("_DUO");
    return reply;
  }
  if (n == 3 || n == 6) {
    if (command != "arm" && engine.restartSnapshot) {
      throw std::runtime_error("RESTART_PROOF_PENDING");
    }
    json reply = runThreeCameraPath(engine, command, request, images);
    reply["executionBackend"] = executionBackendName("");
    return reply;
  }
  throw std::runtime_error("THREE_CAMERAS_REQUIRED");
}

json handleRequest(Engine& engine, const char* requestText) {
  if (requestText == nullptr) throw std::runtime_error("INVALID_REQUEST");
  // Before parsing: every later copy, comparison or dump of the request recurses per level.
  if (nestedDeeperThan(requestText, kMaxRequestDepth)) throw std::runtime_error("REQUEST_TOO_DEEP");
  useLibraryOpenCvThreads();
  json request = json::parse(requestText);
  std::vector<cv::Mat> images = wrapImages(readImageBuffers(request));
  const std::string command = request.at("command").get<std::string>();
  checkOptionTypes(request, command);

  const bool calibrating = command == "calibrate" && !images.empty();
  if (calibrating) {
    engine.workingScale = calibrationScale(images);
    if (engine.workingScale < 1.0) {
      images = reduceImages(images, engine.workingScale);
      scaleCalibrationRequest(request, engine.workingScale);
    }
  }
  processSwitches().measuredSearches = 0;
  applySwitches(request);

  json reply;
  try {
    reply = dispatch(engine, command, request, images);
  } catch (...) {
    forgetHostFrames(engine);
    throw;
  }
  forgetHostFrames(engine);

  reply["searchAudit"] = {{"availablePaths", kAvailablePaths},
                          {"cameraThreads", 3},
                          {"measuredSearches", processSwitches().measuredSearches.load()}};
  if (calibrating && engine.workingScale < 1.0) {
    unscaleCalibrationReply(reply, engine.workingScale);
    reply["working_scale"] = engine.workingScale;
  }
  return reply;
}

std::string dumpReply(const json& reply) {
  // Replace, never throw: a message may quote the request's invalid bytes.
  return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

void setBoardOnlyScope(bool boardOnly, Round& round) {
  if (round.boardOnlyScope != boardOnly) round.pendingTransient = nullptr;
  round.boardOnlyScope = boardOnly;
}

std::string executionBackendName(const std::string& suffix) {
  return "CPP_WINDOWS_OPENCV_" + std::to_string(CV_VERSION_MAJOR) + "." +
         std::to_string(CV_VERSION_MINOR) + suffix;
}

const char* callEngine(Engine& engine, const char* request) {
  static const char* const kOutOfMemory = "{\"error\":\"OUT_OF_MEMORY\"}";
  try {
    std::string& reply = engine.replyText[std::this_thread::get_id()];
    try {
      reply = dumpReply(handleRequest(engine, request));
    } catch (const std::exception& e) {
      reply = dumpReply(json{{"error", e.what()}});
    } catch (...) {
      reply = dumpReply(json{{"error", "INTERNAL_ERROR"}});
    }
    return reply.c_str();
  } catch (...) {
    return kOutOfMemory;
  }
}

}  // namespace tarv
