// Whether anything still differs from the empty board once every harmless explanation (dart
// edges that registered, exposure, tone, surface-only change, taken-out darts, standing
// change on the board's own edges) has been tried; and the small change measures that the
// recovery decision shares with it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/recovery/view_verdicts.h"

namespace tarv {

// max(trunc(h·80/720), 80) for the camera's projected board height h; "INVALID_DETECTION_SCALE"
// when h is not finite and positive.
int recoveryChangeLimit(const Camera& camera);
bool allViewsQuiet(const Round& round, const ImageTriple& masks);
bool anyViewChanged(const Round& round, const ImageTriple& masks);
json countChangedPerCamera(const ImageTriple& masks);
// More than 15 % of the mask, or more than 30 % of the camera's 175 mm board outline.
bool isWidespreadChangeInView(const cv::Mat& mask, const Camera& camera);
bool isWidespreadChange(const Round& round, const ImageTriple& masks);
// The slot's kind and time confirm this decision when the same kind was seen at most 2.5 s
// earlier; the slot always takes the new decision.
bool confirmRepeatedDecision(double& slotTime, std::string& slotKind, double now,
                             const std::string& kind);
// Every camera's fixed-camera check (with the exposure retry) holds.
bool camerasStillFixed(const Round& round, const ImageTriple& greys);
// Adds the milliseconds since the round's timing mark to timing[key] and moves the mark.
void addPhaseTime(Round& round, const std::string& key);
// 1 within 170 mm of the bull, 0 up to 220 mm, 2 beyond, -1 without a board point.
int dartZone(const json& entries, std::size_t dart);

// What the evidence chain leaves for the decision.
struct RecoveryEvidence {
  ImageTriple residual;
  ImageTriple rawChange;
  std::array<json, 3> supportsReports;
  ImageTriple exposureMasks;
  ImageTriple toneMasks;
  bool lightingCorrected = false;
  bool toneTolerant = false;
  bool surfaceOnly = false;
  bool remainingDartEvidence = false;
  bool outsideNoiseTolerated = false;
  bool staticShiftAccepted = false;
  bool stableFlowAccepted = false;
  // A change that stood still over two calls but stands out of the board plane: an object on
  // the board (a dart thrown during the proof), never part of the empty board.
  bool newObjectStanding = false;
  json newObject;    // the board-plane measure that found a new object after a takeout, else null
  int checkedDarts = 0;
  json surroundMarks = json::array();
  json toneCheck;    // null when the tone phase did not report
  json staticShift;  // null when static shift did not run
  json stableFlow;   // null when stable flow did not run
  json darts = json::array();
};

// The per-call inputs of the chain.
struct EvidenceCall {
  std::vector<cv::Mat> frames;  // the call's colour frames
  ImageTriple greys;
  std::vector<int> zones;
  double now = 0.0;
  bool skipRealign = false;
  bool startupCheck = false;
};

// Runs the difference, proof, exposure, tone, darts and static/stable phases, adding their
// phase times; updates the round's static-shift and stable-flow state.
RecoveryEvidence collectRecoveryEvidence(Round& round, const EvidenceCall& call,
                                         VerdictCache& verdicts);

// The standing-change measures of one camera's residual (static when it lies on the
// reference's edges and leaves no large new piece).
json measureStaticResidual(const cv::Mat& residual, const cv::Mat& emptyReference, int limit);

// Where the cameras' change masks fall on the board plane, one millimetre a pixel:
// {"changed_cameras": cameras whose mask reaches their limit, "largest_piece_alone_mm2": per
// such camera the largest piece of its change that no other changed camera's change covers
// there, "flat": fewer than two cameras with such a piece of 60 mm² or more}. A mark or a
// shadow lying on the board falls on the same board points in every view; a dart stands out
// of the board and falls on different points in each, so it is never "flat".
json measureBoardPlaneAgreement(const Round& round, const ImageTriple& masks);

}  // namespace tarv
