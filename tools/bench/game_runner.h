// Whole games on one armed engine: rounds of three darts, a hand takes them out, the engine
// proves the board empty and starts the next round; optionally a camera is knocked by a few
// pixels before every round.
#pragma once

#include <cstdint>

#include "bench/scoring.h"

namespace tarv::bench {

struct GameRun {
  SetTally tally;           // darts, correct, missed, extra, wrong
  int rounds = 0;
  int rounds_completed = 0; // rounds that ended in "EMPTY_RESET" with the next round number
  int false_entries = 0;    // entries that appeared on hand or empty frames
};

// "takeout": rounds on a fixed rig; "bumped": before every round one camera moves by 3 px more.
GameRun runGame(bool bumpCameras, int rounds, uint64_t seed);

}  // namespace tarv::bench
