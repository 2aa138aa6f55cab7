#include "tarv/engine/empty_commands.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/arming.h"
#include "tarv/engine/decision_window.h"
#include "tarv/engine/empty_board.h"
#include "tarv/board/host_event.h"

namespace tarv {
namespace {

// A working copy older than this no longer continues the previous calibration check.
constexpr double kCalibrationCheckReuseSeconds = 0.75;

double newest(const std::array<double, 3>& times) {
  return std::max({times[0], times[1], times[2]});
}

std::string statusOf(const json& reply) {
  const auto it = reply.find("status");
  return it != reply.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool isTrue(const json& request, const char* key) {
  const auto it = request.find(key);
  return it != request.end() && it->is_boolean() && it->get<bool>();
}

// The round that follows a board that held darts, or was being cleared of them, is a new one.
bool roundAdvances(const Round& round) { return !round.entries.empty() || round.takeout; }

json calibrationsOf(const Round& round) {
  json calibrations = json::array();
  for (const Camera& camera : round.cameras) calibrations.push_back(matrix3x3ToJson(camera.boardToImage));
  return calibrations;
}

// Re-arming computes the board-normal points afresh; the round's own ones are kept. Where the
// re-arming carried a calibration onto the new reference, the point moves with it, as it does
// with any realignment (p := T·p for H := T·H).
void keepImageNormals(Round& rearmed, const Round& round) {
  for (int i = 0; i < 3; ++i) {
    const cv::Matx33d before(round.cameras[i].boardToImage.data());
    const cv::Matx33d after(rearmed.cameras[i].boardToImage.data());
    const auto& kept = round.cameras[i].imageNormal;
    cv::Vec3d p(kept[0], kept[1], kept[2]);
    if (before != after && std::abs(cv::determinant(before)) > 0.0) p = after * before.inv() * p;
    rearmed.cameras[i].imageNormal = {p[0], p[1], p[2]};
  }
}

json tipGeometryOf(const Round& round) {
  json geometry = json::object();
  for (int i = 0; i < 3; ++i) {
    const auto& p = round.cameras[i].imageNormal;
    geometry[cameraIds[i]] = {{"active", std::hypot(p[0], p[1], p[2]) > 0.0},
                              {"image_normal", {p[0], p[1], p[2]}}};
  }
  return geometry;
}

void storeTimes(Round& round, const std::array<double, 3>& times) {
  round.lastCaptureTimes = times;
  round.lastFrameTime = newest(times);
}

// The registration's status as the startup commands report it.
void reportEmptyCheckStatus(json& reply) {
  const std::string status = statusOf(reply);
  reply["empty_check_status"] = status;
  if (status == "BACKGROUND_REFRESH") {
    reply["status"] = "STARTUP_READY";
  } else if (status == "CALIBRATION_REJECTED") {
    reply["status"] = "CALIBRATION_REJECTED";
  } else {
    reply["status"] = "STARTUP_WAIT_EMPTY";
  }
}

json runCalibrationCheck(Engine& engine, const std::array<double, 3>& times, double previousFirst,
                         const std::vector<cv::Mat>& images) {
  const Round& round = engine.round;
  std::optional<Round>& check = engine.calibrationCheckRound;
  if (!check || times[0] - previousFirst > kCalibrationCheckReuseSeconds ||
      check->roundNumber != round.roundNumber || check->eventNumber != round.eventNumber) {
    check = round;
    check->recovery = false;
    check->takeout = false;
    check->recoveryTimer = -1.0;
  }
  const std::vector<cv::Mat> working = intakeFrames(*check, images);
  json reply;
  try {
    reply = check->recover(working, newest(times), kRealign, kInPlay);
  } catch (...) {
    forgetIncomingFrames(*check);
    throw;
  }
  forgetIncomingFrames(*check);
  return reply;
}

}  // namespace

bool areSynchronised(const std::array<double, 3>& times) {
  const auto [low, high] = std::minmax({times[0], times[1], times[2]});
  return high - low <= 0.1;
}

bool areFresh(const std::array<double, 3>& times, const std::array<double, 3>& stored) {
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(times[i]) || !(times[i] > stored[i])) return false;
  }
  return true;
}

json rearmConfiguration(const Round& round) {
  const std::array<double, 6> rings = ringRadii();
  return {{"calibrations", calibrationsOf(round)},
          {"ring_radii", json(rings)},
          {"miss_radius_mm", missRadiusMm()},
          {"board_radius_mm", round.boardRadiusMm},
          {"ignore_surround", round.boardOnlyScope}};
}

json confirmEmpty(Engine& engine, const json& request, const std::vector<cv::Mat>& images) {
  if (!engine.round.armed || images.size() != 3 || !isTrue(request, "empty_confirmed")) {
    throw std::runtime_error("EMPTY_BOARD_CONFIRMATION_REQUIRED");
  }
  const std::array<double, 3> times = readCaptureTimes(request);
  if (!areSynchronised(times)) throw std::runtime_error("UNSYNCED_CAMERAS");

  const Round& round = engine.round;
  const bool advances = roundAdvances(round);
  const json config = rearmConfiguration(round);

  // Only the copy is re-armed, so a failing re-arm leaves the round as it was.
  Round rearmed = round;
  json reply = armRound(rearmed, config, images);
  keepImageNormals(rearmed, round);
  reply["tip_geometry"] = tipGeometryOf(rearmed);
  rearmed.eventNumber = round.eventNumber;
  rearmed.roundNumber = round.roundNumber + (advances ? 1 : 0);
  storeTimes(rearmed, times);

  engine.round = std::move(rearmed);
  engine.restartSnapshot.reset();
  engine.pendingRound.reset();
  engine.calibrationCheckRound.reset();
  engine.lastCheckTimes = times;

  reply["status"] = advances ? "EMPTY_RESET" : "STARTUP_READY";
  reply["round"] = engine.round.roundNumber;
  reply["entries"] = engine.round.entries;
  reply["engine_flags"] = buildEngineFlags(engine.round);
  reply["reason"] = "USER_CONFIRMED_EMPTY";
  // What the engine scores with now: a re-arming may have carried a calibration onto the
  // new references.
  reply["calibrations"] = calibrationsOf(engine.round);
  reply["calibration_preserved"] = reply["calibrations"] == config["calibrations"];
  return reply;
}

json beginRestartEmpty(Engine& engine) {
  const Round& round = engine.round;
  if (!round.armed) throw std::runtime_error("ENGINE_NOT_ARMED");
  RestartSnapshot snapshot;
  snapshot.round = round;
  const std::vector<cv::Mat> references = {round.cameras[0].emptyReferenceColour,
                                           round.cameras[1].emptyReferenceColour,
                                           round.cameras[2].emptyReferenceColour};
  (void)armRound(snapshot.round, rearmConfiguration(round), references);
  keepImageNormals(snapshot.round, round);
  engine.restartSnapshot = std::move(snapshot);
  return {{"status", "RESTART_EMPTY_PENDING"},
          {"entries", round.entries},
          {"round", round.roundNumber},
          {"references_preserved", true}};
}

json checkRestartEmpty(Engine& engine, const json& request, const std::vector<cv::Mat>& images) {
  if (!engine.restartSnapshot || images.size() != 3) {
    throw std::runtime_error("RESTART_PROOF_REQUIRED");
  }
  RestartSnapshot& snapshot = *engine.restartSnapshot;
  const std::array<double, 3> times = readCaptureTimes(request, TimeFloor::kAnyFinite);
  if (!areFresh(times, snapshot.checkTimes)) {
    throw std::runtime_error("STARTUP_REQUIRES_FRESH_FRAMES");
  }
  if (!areSynchronised(times)) throw std::runtime_error("STARTUP_UNSYNCED_FRAMES");
  snapshot.checkTimes = times;

  json reply = emptyCheck(snapshot.round, snapshot.pendingRound, snapshot.record, images,
                          newest(times), snapshot.lastRegistrationTime);
  const std::string status = statusOf(reply);
  reply["empty_check_status"] = status;
  Round& round = engine.round;
  if (status == "BACKGROUND_REFRESH") {
    const bool advances = roundAdvances(round);
    Round& proven = snapshot.round;
    proven.eventNumber = round.eventNumber;
    proven.roundNumber = round.roundNumber + (advances ? 1 : 0);
    storeTimes(proven, times);
    refreshReferencesFromEmptyFrames(proven, images, reply);
    round = std::move(proven);
    engine.restartSnapshot.reset();
    reply["status"] = advances ? "EMPTY_RESET" : "STARTUP_READY";
    reply["round_advanced"] = advances;
    reply["reason"] = "RESTART_VERIFIED_EMPTY";
    reply["restart_reference_refreshed"] = true;
  } else {
    reply["status"] = status == "CALIBRATION_REJECTED" ? "CALIBRATION_REJECTED" : "STARTUP_WAIT_EMPTY";
  }
  reply["entries"] = round.entries;
  reply["round"] = round.roundNumber;
  reply["scoring"] = false;
  if (isTrue(reply, "reference_refreshed")) {
    round.state = buildHostEvent(reply);
    reply["state"] = round.state;
  }
  return reply;
}

json checkStartupEmpty(Engine& engine, const std::string& command, const json& request,
                       const std::vector<cv::Mat>& images) {
  const bool startup = command == "startup_check";
  const Round& round = engine.round;
  if (images.size() != 3 || !round.armed || !round.entries.empty() ||
      (startup && round.eventNumber != 0)) {
    throw std::runtime_error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION");
  }
  const std::array<double, 3> times = readCaptureTimes(request, TimeFloor::kAnyFinite);
  if (!areFresh(times, engine.lastCheckTimes)) {
    throw std::runtime_error("STARTUP_REQUIRES_FRESH_FRAMES");
  }
  if (!areSynchronised(times)) throw std::runtime_error("STARTUP_UNSYNCED_FRAMES");
  const double previousFirst = engine.lastCheckTimes[0];
  engine.lastCheckTimes = times;

  json reply;
  if (startup) {
    reply = emptyCheck(engine.round, engine.pendingRound, engine.registrationRecord, images,
                       newest(times), engine.lastRegistrationTime);
    if (statusOf(reply) == "BACKGROUND_REFRESH") {
      refreshReferencesFromEmptyFrames(engine.round, images, reply);
    }
  } else {
    reply = runCalibrationCheck(engine, times, previousFirst, images);
  }
  reportEmptyCheckStatus(reply);
  reply["entries"] = json::array();
  reply["scoring"] = false;
  return reply;
}

json runEmptyBoardCommand(Engine& engine, const std::string& command, const json& request,
                          const std::vector<cv::Mat>& images) {
  if (command == "confirm_empty") return confirmEmpty(engine, request, images);
  if (command == "restart_empty_begin") return beginRestartEmpty(engine);
  if (command == "restart_empty_check") return checkRestartEmpty(engine, request, images);
  if (command == "startup_check" || command == "calibration_empty_check") {
    return checkStartupEmpty(engine, command, request, images);
  }
  throw std::runtime_error("UNKNOWN_EMPTY_BOARD_COMMAND");
}

}  // namespace tarv
