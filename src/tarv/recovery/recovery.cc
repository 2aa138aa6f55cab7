#include "tarv/recovery/recovery.h"

#include <algorithm>
#include <array>
#include <string>

#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/recovery/evidence_chain.h"
#include "tarv/recovery/recovery_core.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kRealignEverySeconds = 0.5;
constexpr double kDriftEverySeconds = 2.0;
constexpr double kDriftShiftPx = 0.6;

enum class Position { kSteady, kRealignNow, kMeasureDrift, kDriftSeen };

bool due(double last, double now, double interval) {
  return last < 0.0 || last > now || now - last >= interval;
}

// Which cameras moved (realign now) or drifted (measure, at most every 2 s).
std::array<Position, 3> classifyCameras(Round& round, const std::vector<cv::Mat>& frames, double now) {
  std::array<Position, 3> state{};
  for (int c = 0; c < 3; ++c) {
    state[c] = Position::kSteady;
    const Camera& cam = round.cameras[c];
    if (frames[c].cols != cam.emptyReference.cols || frames[c].rows != cam.emptyReference.rows) continue;
    const json guard = checkFixedCameraToneMatched(cam.features, toGray(frames[c]));
    const bool ok = guard.value("ok", false);
    const double shift = guard.value("median_shift_px", 0.0);
    if (!ok) {
      if (due(round.trackLossTime[c], now, kRealignEverySeconds)) {
        round.trackLossTime[c] = now;
        state[c] = Position::kRealignNow;
      }
    } else if (shift >= kDriftShiftPx) {
      state[c] = Position::kDriftSeen;
      if (due(round.driftCheckTime[c], now, kDriftEverySeconds)) {
        round.driftCheckTime[c] = now;
        state[c] = Position::kMeasureDrift;
      }
    }
  }
  return state;
}

// The position work of one recovery: realignments made now, drifts held back until the board
// is proven empty.
struct PositionWork {
  json realigned = json::object();
  json heldDrift = json::object();
  std::array<bool, 3> pending{false, false, false};
  std::array<Homography, 3> pendingTransform{};
};

std::array<RealignmentMeasured, 3> measurePositions(const Round& round,
                                                    const std::array<Position, 3>& state,
                                                    const std::vector<cv::Mat>& frames) {
  const bool measure = std::any_of(state.begin(), state.end(), [](Position p) {
    return p == Position::kRealignNow || p == Position::kMeasureDrift;
  });
  if (!measure) return {};
  auto job = [&](int c) {
    RealignmentMeasured m;
    if (state[c] == Position::kRealignNow) {
      m.accepted = measureRealignment(round.cameras[c], frames[c], m.transform, m.report, 1.5, 1.5);
    } else if (state[c] == Position::kMeasureDrift) {
      m.accepted = measureRealignment(round.cameras[c], frames[c], m.transform, m.report, 0.6, 0.8);
    }
    return m;
  };
  return runOnCameraWorkers(job);
}

// A moved camera is realigned at once; a drift is measured and held back.
PositionWork settleCameraPositions(Round& round, const std::vector<cv::Mat>& frames, double now) {
  PositionWork work;
  const std::array<Position, 3> state = classifyCameras(round, frames, now);
  const std::array<RealignmentMeasured, 3> measured = measurePositions(round, state, frames);
  for (int c = 0; c < 3; ++c) {
    const std::string& id = cameraIds[c];
    if (state[c] == Position::kRealignNow && measured[c].accepted) {
      applyCameraRealignment(round, c, frames[c], measured[c].transform);
      work.realigned[id] = measured[c].report;
      // A drift held back from before belongs to the old geometry: rebasing it later would
      // move the new calibration a second time.
      round.driftPending[c] = false;
      round.driftTransform[c] = Homography{};
    }
    if (state[c] == Position::kMeasureDrift) {
      round.driftPending[c] = measured[c].accepted;
      round.driftTransform[c] = measured[c].transform;
      round.driftReport[c] = measured[c].report;
    }
    if (state[c] == Position::kMeasureDrift || state[c] == Position::kDriftSeen) {
      work.pending[c] = round.driftPending[c];
      work.pendingTransform[c] = round.driftTransform[c];
      if (work.pending[c]) {
        json held = round.driftReport[c];
        held["kind"] = "DRIFT";
        work.heldDrift[id] = held;
      }
    }
  }
  return work;
}

// The drift measurements taken in this call.
void reportDriftChecks(const Round& round, double now, json& reply) {
  json driftCheck = json::object();
  for (int c = 0; c < 3; ++c) {
    if (round.driftCheckTime[c] == now) driftCheck[cameraIds[c]] = round.driftReport[c];
  }
  if (!driftCheck.empty()) reply["drift_check"] = driftCheck;
}

// A board proven empty takes the held-back drifts.
void applyHeldDrift(Round& round, PositionWork& work, const json& reply) {
  const std::string status = reply.value("status", "");
  if (status != "EMPTY_RESET" && status != "BACKGROUND_REFRESH") return;
  for (int c = 0; c < 3; ++c) {
    if (!work.pending[c]) continue;
    rebaseCameraReferences(round, c, work.pendingTransform[c]);
    work.realigned[cameraIds[c]] = work.heldDrift[cameraIds[c]];
    round.driftCheckTime[c] = -1.0;
    round.driftPending[c] = false;
  }
}

void reportRealignment(const Round& round, const json& realigned, json& reply) {
  if (realigned.empty()) return;
  reply["camera_realigned"] = realigned;
  json calibrations = json::array();
  for (const Camera& cam : round.cameras) calibrations.push_back(matrix3x3ToJson(cam.boardToImage));
  reply["calibrations"] = calibrations;
}

}  // namespace

json Round::recover(const std::vector<cv::Mat>& frames, double now, bool skipRealign,
                    bool startupCheck) {
  timingMark = monotonicMilliseconds();
  PositionWork work;
  if (!skipRealign && frames.size() >= 3 && processSwitches().autoRealign.load()) {
    work = settleCameraPositions(*this, frames, now);
  }
  cameraGuardWarning = nullptr;
  addPhaseTime(*this, "position");

  json reply = recoverCore(frames, now, skipRealign, startupCheck);
  addPhaseTime(*this, "rest");

  if (!cameraGuardWarning.is_null()) reply["camera_guard_warning"] = cameraGuardWarning;
  reportDriftChecks(*this, now, reply);
  applyHeldDrift(*this, work, reply);
  reportRealignment(*this, work.realigned, reply);
  return reply;
}

}  // namespace tarv
