// The decision on one dart: where its tip lies (the tip solver, sharpened by the agreeing
// lines) and which field it scored (the multiview consensus, the field majority rule, the
// best-view tie-break, the field vote, the bed colour near a wire, three lines that meet in
// one field and, over frames, the stable hypothesis), each a decision path that can be
// switched off.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

using json = nlohmann::json;

// Whether a decision path may decide (isPathEnabled in the engine; tests pass their own).
using PathFilter = std::function<bool(const std::string&)>;

// The decision paths, in the order the chain asks them.
extern const char* const kPathConsensus;        // "CONSENSUS"
extern const char* const kPathMajority;         // "FIELD_MAJORITY"
extern const char* const kPathTieBestCamera;    // "TIE_BEST_CAMERA"
extern const char* const kPathFieldVote;        // "FIELD_VOTE"
extern const char* const kPathBedColour;        // "BED_COLOUR"
extern const char* const kPathStable;           // "STABLE_HYPOTHESIS"
extern const char* const kPathLineRefinement;   // "LINE_REFINEMENT" (the point, not the field)
extern const char* const kPathNearParallelLines; // "NEAR_PARALLEL_LINES" (the point of an
                                                 // unresolved solver from two flat lines)
extern const char* const kPathOutlierSetAside; // "OUTLIER_SET_ASIDE" (two agreeing cameras place
                                                // the tip and name its field; a third camera
                                                // that misses their point is set aside)
extern const char* const kPathOutsideMiss;      // "OUTSIDE_MISS" (one camera's tip in the surround)
extern const char* const kPathSharedLineTip;    // "SHARED_LINE_TIP" (the point, not the field)
extern const char* const kPathMeetingLines;     // "MEETING_LINES" (three lines that meet in one field)
extern const char* const kPathRodFoot;          // "ROD_FOOT" (the rod meets the board in the field
                                                // every camera that sees the point names)

struct TipLocation {
  json solver;                 // reconstructTipFromViews, without its bulky "geometry"
  std::string method = "UNRESOLVED";
  std::optional<Point2> point; // the entry's point: the solver's, or its refinement
  json uncertainty;            // mm, or null
  json refinement;             // refineAgreeingLines, null when not used
};

// The tip from the cameras' shaft records.
TipLocation locateTip(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies,
                      double radiusMm, const PathFilter& enabled);

// What the chain weighs besides the tip.
struct FieldEvidence {
  std::array<json, 3> views;  // shaft records
  json measurements;          // per camera its four ViewMeasurements
  json stats;                 // per camera id {"new", "moved_support"}
  json viewChecks;            // per camera id {"supported"}
};

struct FieldDecision {
  std::string path;           // the path that decided; empty when undecided
  std::string field;
  std::optional<Point2> point;
  json consensus, majority, tie, hypothesis, bedColour, stable;
  json rodFoot;               // fieldAtRodFoot's record when the evaluation asked it
  json arbitration() const;   // the reply's "arbitration"
};

// Runs the chain; an undecided dart has an empty path (and the hypothesis for the history).
FieldDecision decideField(const TipLocation& tip, const FieldEvidence& evidence, const std::array<Camera, 3>& cameras,
                          const json& stableHistory, double now, const PathFilter& enabled);

}  // namespace tarv
