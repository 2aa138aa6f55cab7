// The engine object behind a tarv_create handle.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tarv/core/round.h"
#include "tarv/variants/duo_engine.h"
#include "tarv/variants/mono_engine.h"

namespace tarv {

struct Engine {
  Round round;
  std::optional<Round> calibrationCheckRound;  // working copy for "calibration_empty_check"
  std::optional<Round> pendingRound;           // the empty check's pending round
  std::optional<RestartSnapshot> restartSnapshot;
  json registrationRecord;
  MonoEngine monoEngine;
  DuoEngine duoEngine;
  std::array<double, 3> lastCheckTimes{-1.0, -1.0, -1.0};
  // The last reply of each calling thread: one thread's call never ends the life of the
  // reply another thread is still reading.
  std::map<std::thread::id, std::string> replyText;
  std::mutex mutex;  // serialises tarv_call and tarv_copy
  double workingScale = 1.0;
  double lastRegistrationTime = -1e30;
};

// Sets the board-only scope; a change of scope drops the pending transient record.
void setBoardOnlyScope(bool boardOnly, Round& round);

// Runs one request (the body of tarv_call, under the engine mutex) and returns the calling
// thread's reply text. Never throws.
const char* callEngine(Engine& engine, const char* request);

// "CPP_WINDOWS_OPENCV_<major>.<minor>" followed by the suffix.
std::string executionBackendName(const std::string& suffix);

}  // namespace tarv
