// The values a request may change for the whole process, put back before each fuzzing input so
// that a finding reproduces from its input alone.
#pragma once

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"

namespace tarv::fuzz {

inline void resetProcessValues() {
  ProcessSwitches& s = processSwitches();
  s.dart3d = true;
  s.autoRealign = true;
  s.plantMode = false;
  s.adaptiveThreshold = false;
  setRingRadii(nullptr);
  storeMissRadius(240.0);
}

}  // namespace tarv::fuzz
