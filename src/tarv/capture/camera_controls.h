// Camera controls (exposure, focus, white balance) as the native backends steer them, and the
// exposure settling that freezes exposure once the camera's automatic exposure has settled.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace tarv {

enum class CameraControl { Exposure, Focus, WhiteBalance };

struct ControlReading {
  int32_t value = 0;
  bool automatic = false;
};

// One camera's controls; the V4L2 device maps them to its controls, tests fake them.
class CameraControls {
 public:
  virtual ~CameraControls() = default;
  virtual bool get(CameraControl control, ControlReading& reading) = 0;
  virtual bool set(CameraControl control, int32_t value, bool automatic) = 0;
  // Whether the camera can run the control automatically at all.
  virtual bool offersAuto(CameraControl control) = 0;
};

// Process-wide lock switches, off at load.
std::atomic<int32_t>& exposureLockSwitch();
std::atomic<int32_t>& whiteBalanceLockSwitch();

// Exposure and focus back to automatic; starts "exposure=n/a" without controls.
std::string restoreAutoCameraControls(CameraControls* controls);
// Exposure and focus frozen (when the exposure-lock switch is on) and white balance per
// lock_white_balance.
std::string lockCameraControls(CameraControls* controls, bool lock_white_balance);
// The white-balance part alone: "wb=..." as lockCameraControls writes it.
std::string whiteBalanceControlText(CameraControls* controls, bool lock_white_balance);
// The text of a stream's start: everything automatic again. Exposure is never locked here;
// the settling locks it once the picture is steady.
std::string startCameraControls(CameraControls* controls);

// Per-stream settling state; `step` is pure in time.
class ExposureSettler {
 public:
  enum class Action { None, Lock, GiveUp, Release };
  ExposureSettler(bool pending, double t0_ms) : pending_(pending), t0_(t0_ms) {}
  // level < 0: no picture level known. frames: frames published so far.
  Action step(double now_ms, double level, int32_t frames);
  bool pending() const { return pending_; }
  bool locked() const { return locked_; }

 private:
  bool pending_;
  bool locked_ = false;
  double dark_since_ = -1.0;
  double t0_;
  std::deque<std::pair<double, double>> history_;
};

// Runs one settling step for a published frame and returns the new control text, or an
// empty text when nothing changed.
std::string settleExposure(ExposureSettler& settler, CameraControls* controls, double now_ms,
                           double level, int32_t frames);

}  // namespace tarv
