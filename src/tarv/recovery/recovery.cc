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

}  // namespace

json Round::recover(const std::vector<cv::Mat>& frames, double now, bool skipRealignment,
                    bool startupCheck) {
  timingMark = monotonicMilliseconds();
  json realigned = json::object();
  json heldDrift = json::object();
  std::array<bool, 3> pending{false, false, false};
  std::array<Homography, 3> pendingTransform{};

  if (!skipRealignment && frames.size() >= 3 && processSwitches().autoRealign.load()) {
    const std::array<Position, 3> state = classifyCameras(*this, frames, now);
    const bool measure = std::any_of(state.begin(), state.end(), [](Position p) {
      return p == Position::kRealignNow || p == Position::kMeasureDrift;
    });
    std::array<RealignmentMeasured, 3> measured;
    if (measure) {
      auto job = [&](int c) {
        RealignmentMeasured m;
        if (state[c] == Position::kRealignNow) {
          m.accepted = measureRealignment(cameras[c], frames[c], m.transform, m.report, 1.5, 1.5);
        } else if (state[c] == Position::kMeasureDrift) {
          m.accepted = measureRealignment(cameras[c], frames[c], m.transform, m.report, 0.6, 0.8);
        }
        return m;
      };
      measured = runOnCameraWorkers(job);
    }
    for (int c = 0; c < 3; ++c) {
      const std::string& id = cameraIds[c];
      if (state[c] == Position::kRealignNow && measured[c].accepted) {
        applyCameraRealignment(*this, c, frames[c], measured[c].transform);
        realigned[id] = measured[c].report;
        // A drift held back from before belongs to the old geometry: rebasing it later would
        // move the new calibration a second time.
        driftPending[c] = false;
        driftTransform[c] = Homography{};
      }
      if (state[c] == Position::kMeasureDrift) {
        driftPending[c] = measured[c].accepted;
        driftTransform[c] = measured[c].transform;
        driftReport[c] = measured[c].report;
      }
      if (state[c] == Position::kMeasureDrift || state[c] == Position::kDriftSeen) {
        pending[c] = driftPending[c];
        pendingTransform[c] = driftTransform[c];
        if (pending[c]) {
          json held = driftReport[c];
          held["kind"] = "DRIFT";
          heldDrift[id] = held;
        }
      }
    }
  }
  cameraGuardWarning = nullptr;
  addPhaseTime(*this, "position");

  json reply = recoverCore(frames, now, skipRealignment, startupCheck);
  addPhaseTime(*this, "rest");

  if (!cameraGuardWarning.is_null()) reply["camera_guard_warning"] = cameraGuardWarning;
  json driftCheck = json::object();
  for (int c = 0; c < 3; ++c) {
    if (driftCheckTime[c] == now) driftCheck[cameraIds[c]] = driftReport[c];
  }
  if (!driftCheck.empty()) reply["drift_check"] = driftCheck;
  const std::string status = reply.value("status", "");
  if (status == "EMPTY_RESET" || status == "BACKGROUND_REFRESH") {
    for (int c = 0; c < 3; ++c) {
      if (!pending[c]) continue;
      rebaseCameraReferences(*this, c, pendingTransform[c]);
      realigned[cameraIds[c]] = heldDrift[cameraIds[c]];
      driftCheckTime[c] = -1.0;
      driftPending[c] = false;
    }
  }
  if (!realigned.empty()) {
    reply["camera_realigned"] = realigned;
    json calibrations = json::array();
    for (const Camera& cam : cameras) calibrations.push_back(matrix3x3ToJson(cam.boardToImage));
    reply["calibrations"] = calibrations;
  }
  return reply;
}

}  // namespace tarv
