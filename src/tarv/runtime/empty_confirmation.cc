#include "tarv/runtime/empty_confirmation.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/camera/camera_model.h"
#include "tarv/runtime/reference_capture.h"
#include "tarv/tarv.h"

namespace tarv {

namespace {

json adoptConfirmedEmpty(Runtime& rt, const std::string& folder) {
  json quick = quickCalibrate(rt, folder, true);
  if (quick.value("status", std::string()) == "WAIT_CAMERA_FRAMES") return quick;
  rt.setupOnly = false;
  rt.calibration.automaticSafe = false;

  std::vector<cv::Mat> frames(3);
  for (size_t i = 0; i < 3; ++i) {
    const cv::Mat& frozen = rt.calibration.frozen[i];
    frames[i] = rt.lensMaps[i] ? undistortFrame(*rt.lensMaps[i], frozen, false) : frozen.clone();
  }
  rt.lastResult = callEngine(*rt.engines, rt.engine, "confirm_empty", frames,
                             {{"times", rt.frameTimes}, {"empty_confirmed", true}});
  // Re-arming may have carried a calibration onto the new references: from here on the
  // runtime draws and reports what the engine scores with.
  takeEngineCalibrations(rt, rt.lastResult);

  rt.settled = rt.handFlag = rt.startupPending = rt.restartCheck = false;
  // The user's confirmed empty board is what a user reset waits for: the reset ends here.
  rt.resetPending = false;
  resetRoundState(rt.motion);
  for (cv::Mat& idle : rt.idleReferences) idle.release();
  const auto [oldest, newest] = std::minmax_element(rt.frameTimes.begin(), rt.frameTimes.end());
  rt.historyWindowEnd = *newest;
  rt.historyWindowStart = *oldest - 1e-6;
  clearMotionHistory(rt.history);
  {
    MotionSample sample;
    sample.captureTimes = rt.frameTimes;
    sample.sequences = rt.frameNumbers;
    for (size_t i = 0; i < 3; ++i) {
      cv::resize(frames[i], sample.frames[i], cv::Size(frames[i].cols / 2, frames[i].rows / 2), 0, 0,
                 cv::INTER_AREA);
    }
    pushMotionSampleLocked(rt.history, std::move(sample));
  }
  rt.lastDetectTime = rt.lastIdleCheck = -1e30;
  rt.epoch += 1;
  rt.pendingResult = rt.lastResult;
  enqueueReportEvent(rt.recorder, {{"status", "USER_CONFIRMED_EMPTY"}, {"result", rt.lastResult}}, frames,
                     tarv_monotonic_seconds(), {});
  // The engine may have carried a calibration onto the new references; the host hears so.
  return {{"status", "EMPTY_CONFIRMED"},
          {"calibration_preserved", rt.lastResult.value("calibration_preserved", true)}};
}

}  // namespace

json confirmEmptyBoard(Runtime& rt, const json& request) {
  if (!request.value("empty_confirmed", false)) throw std::runtime_error("EMPTY_BOARD_CONFIRMATION_REQUIRED");
  const std::string folder = request.at("folder").get<std::string>();
  CalibrationWorkflow& w = rt.calibration;
  const json wait = {{"status", "WAIT_CAMERA_FRAMES"}};
  if (folder != w.pendingEmptyFolder) {
    w.pendingEmptyFolder = folder;
    w.emptyRequestTime = tarv_monotonic_seconds();
    return wait;
  }
  if (tarv_monotonic_seconds() - w.emptyRequestTime > kEmptyConfirmationSeconds) {
    // A later confirmation into the same folder starts afresh instead of failing for ever.
    w.pendingEmptyFolder.clear();
    throw std::runtime_error("NO_FRESH_FRAMES_FOR_EMPTY_CONFIRMATION");
  }
  for (double t : rt.frameTimes) {
    if (!(t > w.emptyRequestTime)) return wait;
  }
  json reply;
  try {
    reply = adoptConfirmedEmpty(rt, folder);
  } catch (...) {
    w.pendingEmptyFolder.clear();
    throw;
  }
  if (reply.value("status", std::string()) != "WAIT_CAMERA_FRAMES") w.pendingEmptyFolder.clear();
  return reply;
}

}  // namespace tarv
