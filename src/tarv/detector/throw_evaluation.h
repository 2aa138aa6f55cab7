// The three-camera throw evaluation of one frame triplet against the round.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/views/camera_analysis.h"

namespace tarv {

// Evaluates one (tone-mapped) frame triplet against the round. Answers "status" with
// "reason" and its evidence:
//   "READY" (with "unchanged" true when every camera is quiet), "ROUND_FULL",
//   "WAIT" ("LARGE_INTERACTION_OR_LIGHTING", "OLD_OBJECT_MOVED_OR_PARTLY_REMOVED",
//   "LIGHT_PATCH_NOT_A_DART", "CAMERA_VOTE_NEEDS_FRESH_CONFIRMATION"), "SETTLING",
//   "DART_CANDIDATE" (with "entry", "decision", "view_checks", "crosscheck", "arbitration"),
//   "POSITION_UNRESOLVED" (the same evidence without an entry; the decision window opens),
//   "DART_REMOVED". An unresolved dart still the same three triplets running, that no later
//   triplet can decide, answers "READY" with "UNRESOLVED_DART_LEFT_TO_PLAYER" and
//   "unresolved_in_background": the working background has taken it.
// On "DART_CANDIDATE" the entry has been appended to the round's entries, the dart's masks
// to knownDartMasks and into each camera's stored change mask, and the working background
// follows the frame.
json evaluateRoundFrames(Round& round, const std::vector<cv::Mat>& frames, double now);

// One camera's analysis and motion record, made ahead of the evaluation in a fan-out the
// caller runs anyway (a camera worker job), with what they were made from. The evaluation
// takes them only while its round and frame are still those; else it makes them itself.
struct AnalysisAhead {
  bool made = false;
  CameraFrameAnalysis analysis;
  std::shared_ptr<SurroundMotion> motion;  // the record with this frame's motion in it
  // What the analysis and the record read. The images are held, so a new image can never
  // reuse an old one's address unnoticed.
  cv::Mat frame;
  cv::Mat emptyReferenceColour;
  cv::Mat emptyReference;
  cv::Mat background;
  cv::Mat storedChange;
  Homography boardToImage{};
  double scoringRadius = 0.0;
  bool adaptiveThreshold = false;
  double ownChangeLevel = 0.0;
  std::shared_ptr<SurroundMotion> motionBefore;
  double now = 0.0;
};
using AnalysesAhead = std::array<AnalysisAhead, 3>;

// The analysis evaluateRoundFrames would make of the camera's frame at `now`; not made (no
// error) when the frame cannot be analysed, so that the evaluation meets the error itself.
AnalysisAhead analyseAhead(const Round& round, int camera, const cv::Mat& frame, double now);

// The evaluation, taking the analyses made ahead that still fit.
json evaluateRoundFramesWith(Round& round, const std::vector<cv::Mat>& frames, double now, const AnalysesAhead& ahead);

// Refines the last published dart from the next quiet triplet: the tip solved
// again from the dart seen against the empty board; the entry's point becomes the mean of the
// samples that agree with it, its selected field stays. Null when this triplet adds nothing,
// else {"status":"DART_REFINED","entry","refinement"}.
json refinePublishedDart(Round& round, const std::vector<cv::Mat>& frames, int epoch);
// Opens the refinement of the dart just entered (reply holds "entry"): the frames it was
// decided on go into the sampling slots.
void beginTipSampling(Round& round, const json& reply, int epoch);
// The refinement's camera job: the camera's shaft record of the last entered dart in the frame,
// with its "abstention", "pixels" and board "line".
json collectRefinementEvidence(const Round& round, int camera, const cv::Mat& frame);

// The per-camera warm-up (a camera worker job): the camera's images 1 to 5 hold one
// synthetic frame; answers its shaft record and its four view measurements of a synthetic
// dart drawn into it.
std::pair<json, json> analyseWarmupCamera(const std::array<Camera, 3>& cameras, int camera);

// False for decision paths named in TARV_DISABLE_PATHS (read once; names separated by
// commas, spaces or semicolons): "EARLY_TIP" (the handler's what-if evaluation), "CONSENSUS",
// "FIELD_MAJORITY", "TIE_BEST_CAMERA", "FIELD_VOTE", "BED_COLOUR", "STABLE_HYPOTHESIS" (the
// field decision, asked in this order: a disabled one falls through to the next) and
// "LINE_REFINEMENT" (the least-squares sharpening of the solver's point),
// "NEAR_PARALLEL_LINES" (a point for an unresolved solver from two lines too flat to cross)
// and "ROD_FOOT" (the field every camera that sees the point names, where the chain left it).
bool isPathEnabled(const std::string& path);

}  // namespace tarv
