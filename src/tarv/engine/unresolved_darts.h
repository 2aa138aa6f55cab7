// Darts the evaluation left unresolved stay on the round's decision window until a decision
// places them or the player is asked: a later dart entered beside them does not erase them.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Follows one published status: "POSITION_UNRESOLVED" opens or renews the record of the
// unresolved dart (its point and field hypothesis, and its change masks from the evaluation);
// "unresolved_in_background" marks the kept darts absorbed (the evaluation took them into the
// working background before a new change);
// "DART_CANDIDATE" settles the records whose dart it placed and marks the others as taken into
// the background with the entered dart; a quiet board ("READY" with "unchanged") drops the
// records whose change is gone; "EMPTY_RESET", "RECOVERY_RESUMED", "BACKGROUND_REFRESH" and a
// seen hand drop them all. Call after the evaluation, before the decision window is judged.
void followUnresolvedDarts(Round& round, const json& result, bool handSeen, double now);

// Whether the entered dart (its board point) is the dart of the record: the record's point
// lies within 15 mm, or the point falls inside the record's change in at least two cameras
// (in the one camera that saw it when only one did).
bool entryPlacesUnresolvedDart(const Round& round, size_t record, const json& entryPoint);

// True while an unresolved dart is kept: the window stays open and the round unresolved.
bool holdsUnresolvedDarts(const Round& round);

// True while darts are kept and the working background holds every one of them: the board is
// measured without them, so a later dart is seen on its own.
bool unresolvedDartsInBackground(const Round& round);

// The kept darts as the reply shows them: [{"since", "last", "point", "field", "absorbed"}].
json unresolvedDartsJson(const Round& round);

}  // namespace tarv
