#include "tarv/capture/camera_controls.h"

#include <cmath>

namespace tarv {

std::atomic<int32_t>& exposureLockSwitch() {
  static std::atomic<int32_t> on{0};
  return on;
}

std::atomic<int32_t>& whiteBalanceLockSwitch() {
  static std::atomic<int32_t> on{0};
  return on;
}

std::string restoreAutoCameraControls(CameraControls* controls) {
  std::string text = "exposure=n/a";
  ControlReading exposure;
  if (!controls || !controls->get(CameraControl::Exposure, exposure)) return text;
  if (exposure.automatic) {
    text = "exposure=auto";
  } else if (controls->set(CameraControl::Exposure, exposure.value, true)) {
    text = "exposure=auto(restored)";
  } else {
    text = "exposure=manual(" + std::to_string(exposure.value) + ", auto failed)";
  }
  ControlReading focus;
  if (controls->offersAuto(CameraControl::Focus) && controls->get(CameraControl::Focus, focus) &&
      !focus.automatic) {
    text += controls->set(CameraControl::Focus, focus.value, true) ? " focus=auto(restored)"
                                                                   : " focus=manual";
  }
  return text;
}

namespace {

std::string lockOne(CameraControls* controls, CameraControl control, const std::string& name) {
  ControlReading r;
  if (!controls->get(control, r)) return name + "=n/a ";
  const std::string manual = name + "=manual(" + std::to_string(r.value) + ") ";
  if (!r.automatic) return manual;
  return controls->set(control, r.value, false) ? manual : name + "=auto(lock failed) ";
}

}  // namespace

std::string whiteBalanceControlText(CameraControls* controls, bool lock_white_balance) {
  ControlReading wb;
  if (!controls || !controls->get(CameraControl::WhiteBalance, wb)) return "wb=n/a";
  const std::string value = std::to_string(wb.value);
  if (!lock_white_balance) {
    if (wb.automatic) return "wb=auto";
    return controls->set(CameraControl::WhiteBalance, wb.value, true)
               ? "wb=auto(restored)"
               : "wb=manual(" + value + ", auto failed)";
  }
  if (!wb.automatic) return "wb=manual(" + value + ")";
  return controls->set(CameraControl::WhiteBalance, wb.value, false) ? "wb=manual(" + value + ")"
                                                                     : "wb=auto(lock failed)";
}

std::string lockCameraControls(CameraControls* controls, bool lock_white_balance) {
  std::string text;
  if (exposureLockSwitch().load() != 0 && controls) {
    text = lockOne(controls, CameraControl::Exposure, "exposure") +
           lockOne(controls, CameraControl::Focus, "focus");
  } else {
    text = "exposure=n/a ";
  }
  return text + whiteBalanceControlText(controls, lock_white_balance);
}

std::string startCameraControls(CameraControls* controls) {
  return restoreAutoCameraControls(controls) + " " + whiteBalanceControlText(controls, false);
}

ExposureSettler::Action ExposureSettler::step(double now, double level, int32_t frames) {
  Action action = Action::None;
  if (level >= 0) {
    history_.emplace_back(now, level);
    while (history_.size() > 2 && now - history_[1].first >= 1000) history_.pop_front();
  }
  if (pending_ && now - t0_ >= 2000 && frames >= 10 && level >= 0) {
    if (!history_.empty() && now - history_.front().first >= 1000 &&
        std::fabs(level - history_.front().second) <= 2.5 && level >= 45 && level <= 215) {
      pending_ = false;
      locked_ = true;
      action = Action::Lock;
    } else if (now - t0_ >= 15000) {
      pending_ = false;
      action = Action::GiveUp;
    }
  }
  if (locked_ && level >= 0) {
    if (level >= 25) {
      dark_since_ = -1.0;
    } else if (dark_since_ < 0) {
      dark_since_ = now;
    } else if (now - dark_since_ >= 3000) {
      locked_ = false;
      action = Action::Release;
    }
  }
  return action;
}

std::string settleExposure(ExposureSettler& settler, CameraControls* controls, double now_ms,
                           double level, int32_t frames) {
  switch (settler.step(now_ms, level, frames)) {
    case ExposureSettler::Action::Lock:
      return lockCameraControls(controls, whiteBalanceLockSwitch().load() != 0) +
             " level=" + std::to_string(static_cast<int>(level));
    case ExposureSettler::Action::GiveUp:
      return "exposure=auto(not settled, level=" + std::to_string(static_cast<int>(level)) + ")";
    case ExposureSettler::Action::Release:
      return "exposure=auto(too dark after lock) " + restoreAutoCameraControls(controls);
    case ExposureSettler::Action::None:
      break;
  }
  return {};
}

}  // namespace tarv
