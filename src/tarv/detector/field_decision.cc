#include "tarv/detector/field_decision.h"

#include <cmath>
#include <utility>

#include "tarv/board/bed_colour.h"
#include "tarv/board/best_view.h"
#include "tarv/board/board_layout.h"
#include "tarv/board/field_vote.h"
#include "tarv/board/multiview_consensus.h"
#include "tarv/board/position_arbitration.h"
#include "tarv/board/tip_solver.h"
#include "tarv/detector/dart_position.h"
#include "tarv/core/engine_values.h"

namespace tarv {

const char* const kPathConsensus = "CONSENSUS";
const char* const kPathMajority = "FIELD_MAJORITY";
const char* const kPathTieBestCamera = "TIE_BEST_CAMERA";
const char* const kPathFieldVote = "FIELD_VOTE";
const char* const kPathBedColour = "BED_COLOUR";
const char* const kPathStable = "STABLE_HYPOTHESIS";
const char* const kPathLineRefinement = "LINE_REFINEMENT";
const char* const kPathNearParallelLines = "NEAR_PARALLEL_LINES";
const char* const kPathOutlierSetAside = "OUTLIER_SET_ASIDE";
const char* const kPathOutsideMiss = "OUTSIDE_MISS";
const char* const kPathSharedLineTip = "SHARED_LINE_TIP";
const char* const kPathMeetingLines = "MEETING_LINES";
const char* const kPathRodFoot = "ROD_FOOT";

namespace {

// The refinement may sharpen the solver's point, not move it somewhere else.
constexpr double kLargestRefinementShiftMm = 1.5;
// Fields within this distance of the point are its candidates (as in the entry's field).
constexpr double kCandidateMarginMm = 2.0;
// A field vote that does not name the point's own field needs this much lead.
constexpr double kClearVoteMargin = 1.0;
// A solved point this close to a wire cannot tell the two fields apart: the lines of a clean
// dart still miss the tip by a few tenths of a millimetre.
constexpr double kOnWireMm = 0.25;
// The views of a clear consensus lie within this of each other.
constexpr double kClearConsensusSpreadMm = 1.5;
// Lines that meet pass this close to their common point, each of them.
constexpr double kMeetingLinesMm = 0.25;


bool isFieldWithin(Point2 p, const std::string& field, double marginMm) {
  const json classification = classifyBoardPoint(p, marginMm);
  for (const json& c : classification["candidates"]) {
    if (c.is_string() && c.get<std::string>() == field) return true;
  }
  return false;
}

bool isCandidateField(Point2 p, const std::string& field) { return isFieldWithin(p, field, kCandidateMarginMm); }

// A board point given as [x, y] lies within the distance of p.
bool isNear(const json& point, Point2 p, double distanceMm) {
  if (!point.is_array() || point.size() != 2 || !point[0].is_number() || !point[1].is_number()) return false;
  const Point2 q = pointFromJson(point);
  return std::hypot(q.x - p.x, q.y - p.y) <= distanceMm;
}

// How many camera pairs' own intersections lie in the field, and how many intersections there are.
std::pair<int, int> pairsNaming(const json& solver, const std::string& field) {
  const auto intersections = solver.find("intersections");
  if (intersections == solver.end() || !intersections->is_array()) return {0, 0};
  int named = 0;
  for (const json& i : *intersections) named += i.is_object() && i.value("field", "") == field;
  return {named, static_cast<int>(intersections->size())};
}

// Some camera pair's own intersection lies in the field.
bool isNamedByAPair(const json& solver, const std::string& field) { return pairsNaming(solver, field).first > 0; }

// The consensus's field is named by views of all three cameras, by at least two thirds of the
// valid views, and its views lie close together.
bool isClearConsensusOfAllCameras(const json& consensus) {
  const json& selected = consensus["selected"];
  const json cameras = selected.value("cameras", json::array());
  const int votes = selected.value("field_votes", 0);
  const int valid = consensus.value("valid", 0);
  const double spread = selected.value("spread_mm", kClearConsensusSpreadMm + 1.0);
  return cameras.is_array() && cameras.size() == 3 && valid > 0 && 3 * votes >= 2 * valid &&
         spread <= kClearConsensusSpreadMm;
}

json solverUncertainty(const json& solver) {
  if (solver.value("method", "") == "THREE_VIEW_LINES") {
    const json& selected = solver["geometry"]["selected"];
    return selected.value("uncertainty_mm", json(nullptr));
  }
  return solver.value("uncertainty_mm", json(nullptr));
}

// Every camera pair's own intersection lies in the field, and there are three of them.
bool isNamedByEveryPair(const json& solver, const std::string& field) {
  return pairsNaming(solver, field) == std::pair<int, int>{3, 3};
}

// Every camera's line passes within mm of the refined point, and there are three of them.
bool everyLinePassesWithin(const json& refinement, double mm) {
  if (!refinement.is_object() || !refinement.contains("residuals_mm")) return false;
  const json& residuals = refinement["residuals_mm"];
  if (!residuals.is_object() || residuals.size() != 3) return false;
  for (const json& r : residuals) {
    if (!r.is_number() || !(r.get<double>() <= mm)) return false;
  }
  return true;
}

bool everyCameraSupportsTheTip(const json& checks) {
  if (!checks.is_object() || checks.size() != 3) return false;
  for (const json& c : checks) {
    if (!c.is_object() || !c.value("supported", false)) return false;
  }
  return true;
}

// Each camera's four views as the candidate records the camera votes read.
json candidatesByKind(const json& measurements) {
  json candidates = json::array();
  for (const json& camera : measurements) {
    json byKind = json::object();
    for (const json& m : camera) byKind[m.value("kind", "")] = m;
    candidates.push_back(byKind);
  }
  return candidates;
}

json viewsArray(const std::array<json, 3>& views) { return json::array({views[0], views[1], views[2]}); }

// A camera the tip solver set aside misses the dart by millimetres (its calibration off):
// none of the field's votes hears its views, which name the field where that camera looks.
// Nothing where no camera was set aside (the evidence stands as it is).
std::optional<FieldEvidence> withoutSetAsideCamera(const TipLocation& tip, const FieldEvidence& evidence) {
  const auto setAside = tip.solver.find("set_aside");
  if (setAside == tip.solver.end() || !setAside->is_object()) return std::nullopt;
  const std::string id = setAside->value("camera", "");
  FieldEvidence heard = evidence;
  for (int i = 0; i < 3; ++i) {
    if (cameraIds[i] != id) continue;
    if (heard.views[i].is_object()) heard.views[i]["votes"] = json::array();
    if (heard.measurements.is_array() && heard.measurements.size() == 3) heard.measurements[i] = json::array();
  }
  return heard;
}

struct Chain {
  const TipLocation& tip;
  const FieldEvidence& evidence;
  const PathFilter& enabled;
  FieldDecision decision;

  bool decide(const char* path, const std::string& field) {
    decision.path = path;
    decision.field = field;
    decision.point = tip.point;
    return true;
  }

  // The consensus decides when its field is the one the solved point lies in: a consensus
  // that contradicts the geometry is weighed by the field vote instead. A point on the wire
  // whose camera pairs themselves fall on both sides of it names neither field; there the
  // views of all three cameras, in a clear majority, tell which side the tip went in.
  bool consensus() {
    decision.consensus = buildMultiviewConsensus(evidence.measurements);
    if (!enabled(kPathConsensus) || !tip.point || decision.consensus.value("status", "") != "CONSENSUS") return false;
    const std::string field = decision.consensus["selected"].value("field", "");
    if (field == nominalField(*tip.point)) return decide(kPathConsensus, field);
    return isFieldWithin(*tip.point, field, kOnWireMm) && isNamedByAPair(tip.solver, field) &&
           isClearConsensusOfAllCameras(decision.consensus) && decide(kPathConsensus, field);
  }

  bool majority() {
    decision.majority = applyFieldMajorityRule(decision.consensus);
    if (!enabled(kPathMajority) || !tip.point || decision.majority.is_null()) return false;
    const std::string field = decision.majority.value("field", "");
    return field == nominalField(*tip.point) && decide(kPathMajority, field);
  }

  // Two cameras that agree on the tip while a third misses it by a few millimetres (its
  // calibration off): the pair's point lies clear of the wires, so its field is the dart's.
  // The third camera's votes would pull the field vote towards where that camera looks.
  bool setAside() {
    if (!enabled(kPathOutlierSetAside) || !tip.point || !tip.solver.contains("set_aside")) return false;
    if (tip.solver["set_aside"].value("near_wire", false)) return false;
    return decide(kPathOutlierSetAside, nominalField(*tip.point));
  }

  // A tied consensus with a point from fewer than three views: the camera with the best view
  // names the field, when that field is one the point may lie in and the camera's own tip lies
  // at the point. A camera whose tip stops well short of the point (its point hidden behind
  // another dart, its shaft cut by the flight) saw another place than the one the lines fixed,
  // and its field says nothing about the point's side of a wire.
  bool tieBreak(const std::array<Homography, 3>& homographies) {
    if (!enabled(kPathTieBestCamera) || decision.consensus.value("status", "") == "CONSENSUS" ||
        rankDecisionMethod(tip.method) >= 3) {
      return false;
    }
    decision.tie = breakTieByBestView(decision.consensus, viewsArray(evidence.views), evidence.stats,
                                      candidatesByKind(evidence.measurements), homographies);
    if (decision.tie.is_null() || !tip.point) return false;
    const std::string field = decision.tie.value("field", "");
    return isNear(decision.tie["point"], *tip.point, kCandidateMarginMm) && isCandidateField(*tip.point, field) &&
           decide(kPathTieBestCamera, field);
  }

  // The weighed opinions: the solver's point, each camera's best tip and the consensus.
  bool fieldVote(bool mayDecide) {
    json current = {{"method", tip.method}, {"point", tip.point ? pointToJson(*tip.point) : json(nullptr)}};
    decision.hypothesis = decideFieldVote(current, viewsArray(evidence.views), decision.consensus, evidence.stats,
                                          candidatesByKind(evidence.measurements));
    if (!mayDecide || !enabled(kPathFieldVote) || !tip.point || !decision.hypothesis.is_object()) return false;
    const std::string field = decision.hypothesis.value("field", "");
    const bool eligible = decision.hypothesis.value("eligible", false);
    // The vote names the field the point lies in: it stands when two cameras back it, or when
    // the point itself comes from the lines of two or more cameras.
    if (field == nominalField(*tip.point)) {
      return (eligible || rankDecisionMethod(tip.method) >= 2) && decide(kPathFieldVote, field);
    }
    return eligible && isCandidateField(*tip.point, field) &&
           decision.hypothesis.value("margin", 0.0) >= kClearVoteMargin && decide(kPathFieldVote, field);
  }

  // Next to a wire the bed colour under the tip tells the two fields apart; it settles a
  // field the other paths left open. It never overrides them: a wire read from the side fills
  // the small patch with its own bright colour and leans towards the white field.
  void bedColour(const std::array<Camera, 3>& cameras, const std::array<Homography, 3>& homographies) {
    if (!tip.point) return;
    json classification = classifyBoardPoint(*tip.point, kCandidateMarginMm);
    estimateBoundaryProbability(classification, *tip.point, tip.uncertainty);
    decision.bedColour = json::object();
    arbitrateBedColour(decision.bedColour, classification, *tip.point, evidence.views, cameras, homographies,
                       tip.uncertainty, evidence.viewChecks);
    if (!enabled(kPathBedColour) || !decision.bedColour.value("applied", false)) return;
    if (!decision.path.empty()) return;
    decide(kPathBedColour, decision.bedColour["selected"].get<std::string>());
  }

  // Three cameras whose lines meet in one field, clear of its wires, name it when every
  // other path left the dart open. A camera close to the board plane spans millimetres of the
  // board with one pixel along the dart, so its own tip, and with it every view it measures,
  // may lie beyond a ring that the lines place the dart inside: across the dart that pixel is
  // a fraction of a millimetre, and the lines are made of it. Each pair of cameras must find
  // the field on its own, and each camera must still see its new pieces at the point.
  bool meetingLines() {
    if (!enabled(kPathMeetingLines) || !tip.point || tip.method != "THREE_VIEW_LINES") return false;
    const std::string field = nominalField(*tip.point);
    return isNamedByEveryPair(tip.solver, field) && everyLinePassesWithin(tip.refinement, kMeetingLinesMm) &&
           everyCameraSupportsTheTip(evidence.viewChecks) && nearestWireDistance(*tip.point) >= kOnWireMm &&
           decide(kPathMeetingLines, field);
  }

  // An unresolved position that has held its field and point over successive frames.
  bool stable(const json& history, double now) {
    decision.stable = checkStableHypothesis(history, decision.hypothesis, now);
    if (!enabled(kPathStable) || !decision.stable.value("ready", false)) return false;
    decide(kPathStable, decision.hypothesis.value("field", ""));
    if (!decision.point) decision.point = pointFromJson(decision.hypothesis["point"]);
    return true;
  }
};

}  // namespace

TipLocation locateTip(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies,
                      double radiusMm, const PathFilter& enabled) {
  TipLocation tip;
  tip.solver = reconstructTipFromViews(views, homographies, radiusMm);
  if (enabled(kPathNearParallelLines)) {
    if (auto alongLines = placeTipAlongNearParallelLines(views, tip.solver, radiusMm)) tip.solver = std::move(*alongLines);
  }
  if (enabled(kPathOutlierSetAside)) {
    if (auto agreeing = setAsideOutlierCamera(views, tip.solver, radiusMm)) tip.solver = std::move(*agreeing);
  }
  tip.method = tip.solver.value("method", "UNRESOLVED");
  tip.uncertainty = solverUncertainty(tip.solver);
  tip.solver.erase("geometry");
  if (tip.method == "UNRESOLVED" || !tip.solver.contains("point")) return tip;
  tip.point = pointFromJson(tip.solver["point"]);
  if (!enabled(kPathLineRefinement)) return tip;
  const json refined = refineAgreeingLines(views, *tip.point);
  if (refined.is_object() && refined["shift_mm"].get<double>() <= kLargestRefinementShiftMm) {
    tip.refinement = refined;
    tip.point = pointFromJson(refined["point"]);
    // The solver's floor stays: the refinement sharpens the point, not the claim about it.
    if (!tip.uncertainty.is_number()) tip.uncertainty = refined["uncertainty_mm"];
  }
  return tip;
}

json FieldDecision::arbitration() const {
  return {{"path", path.empty() ? json(nullptr) : json(path)},
          {"consensus", consensus},
          {"majority", majority},
          {"tie_break", tie},
          {"hypothesis", hypothesis},
          {"bed_colour", bedColour},
          {"stable", stable},
          {"rod_foot", rodFoot}};
}

FieldDecision decideField(const TipLocation& tip, const FieldEvidence& evidence, const std::array<Camera, 3>& cameras,
                          const json& stableHistory, double now, const PathFilter& enabled) {
  std::array<Homography, 3> homographies;
  for (int i = 0; i < 3; ++i) homographies[i] = cameras[i].boardToImage;
  const std::optional<FieldEvidence> heard = withoutSetAsideCamera(tip, evidence);
  Chain chain{tip, heard ? *heard : evidence, enabled, {}};
  // Each step records its evidence whether or not it decides; the field vote always runs,
  // since its hypothesis is what an unresolved dart carries into the history.
  const bool decided = chain.consensus() || chain.majority() || chain.setAside() || chain.tieBreak(homographies);
  chain.fieldVote(!decided);
  chain.bedColour(cameras, homographies);
  if (chain.decision.path.empty()) chain.meetingLines();
  if (chain.decision.path.empty()) chain.stable(stableHistory, now);
  return chain.decision;
}

}  // namespace tarv
