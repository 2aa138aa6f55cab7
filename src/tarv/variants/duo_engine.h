// The two-camera engine: a round of its own beside the three-camera round.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/variants/light_renewal.h"
#include "tarv/views/image_ops.h"

namespace tarv {

using ImagePair = std::array<cv::Mat, 2>;

// One camera's own tip that the other camera's line passed far from.
struct GainsaidTip {
  std::string camera;
  Point2 point;
};

struct DuoEngine {
  std::array<Camera, 2> cameras;
  ImagePair boardMasks;  // the scoring region: the miss radius round the bull
  ImagePair missMasks;   // max(300, miss radius) + 25 mm
  ImagePair backgroundImages;
  ImagePair backgroundGreys;
  double backgroundTime = -1.0;
  json entries = json::array();
  json snapshot;  // last host event
  std::vector<ImagePair> supportMasks;
  int32_t roundNumber = 1;
  int32_t eventCounter = 0;
  int32_t emptyCount = 0;
  int32_t tipMode = 0;
  json pendingCandidate;
  json pendingRemoval;
  // Each camera's own tips that the other camera's line passed far from while the change
  // they stand in stayed undecided; emptied when a dart is entered.
  std::vector<GainsaidTip> gainsaidTips;
  // Each camera's new change when a dart first stayed undecided; emptied when a dart is
  // entered or the board is seen unchanged.
  ImagePair undecidedSupport;
  double lastTime = -1.0;
  int32_t epoch = -1;
  bool armed = false;
  bool takeoutLatch = false;
  bool handSeen = false;
  SettlingLight settlingLight;  // a large change that may be new light
};

// One camera's view of a frame pair against its background.
struct DuoViewAnalysis {
  bool changed = false;
  bool globallyChanged = false;
  bool empty = false;
  bool quietUnderTakeout = false;
  bool oldSupportDisplaced = false;
  bool rejected = false;
  int32_t newPixels = 0;
  int32_t minimumPixels = 0;
  int32_t largestComponent = 0;
  int32_t newSupportPixels = 0;
  double brightnessRatio = 1.0;
  cv::Mat grey;
  cv::Mat matchedGrey;
  cv::Mat boardDifference;
  cv::Mat eventDifference;
  cv::Mat newSupport;
  cv::Mat wholeSupport;  // all the new support when newSupport holds one of two darts
  Masks masks;
  json guard;
  json difference;
  json axis;
  json candidate = json::object();
  std::vector<uint64_t> displacedEntries;
};

// The view of one camera: change against the background, camera guard, emptiness, displaced
// darts and, for new support, its shaft axis and candidate. Fails with
// "CAMERA_RESOLUTION_CHANGED" and "INVALID_DETECTION_SCALE".
DuoViewAnalysis measureDuoEventDifference(const Camera& camera, const cv::Mat& boardMask,
                                          const cv::Mat& missMask, const cv::Mat& frame,
                                          const json& entries, const std::vector<cv::Mat>& supportMasks,
                                          int32_t tipMode);
// An unchanged view is empty when its stored change mask holds fewer than 80 pixels.
bool isViewEmpty(const std::array<DuoViewAnalysis, 2>& views, const std::array<Camera, 2>& cameras, int camera);
// The board point of a new dart from two views, in the order of strength: the reconstruction
// from both cameras' shaft lines, their pairwise crossings (each within 15 mm of both
// cameras' own tips), a point consensus of the cameras' tip searches, and the single-view
// elections of each camera with the rules by which two agree. A camera without an axis (null)
// contributes an empty view.
struct DuoTipElection {
  json decision;   // "method" ("UNRESOLVED" with a "reason" when no rule gives a point)
  json consensus;  // the point consensus, with "used_for_decision" (and "agrees_with_geometry")
  std::array<json, 2> mono;   // each camera's single-view election
  bool singleCamera = false;  // decided by one camera alone
  int supporting = 0;         // cameras with an axis
  std::array<json, 3> views;  // the axes as view records, the third empty
  std::array<Homography, 3> homographies;
};
DuoTipElection electDuoTip(const std::array<json, 2>& axes, const std::array<json, 2>& candidates,
                           const std::array<Homography, 2>& homographies);
// The frame evaluation of a frame pair; the reply's status and evidence.
json evaluateDuoFrames(DuoEngine& engine, const std::vector<cv::Mat>& frames, double time);
json buildVariantEngineFlags(const DuoEngine& engine);

// "arm" with two images; fails with "TWO_CAMERAS_REQUIRED" and
// "CAMERA_REFERENCE_FEATURES_INSUFFICIENT: CAM_n". A failed arm leaves the engine unarmed and
// the process-wide radii as they were.
json armDuoEngine(DuoEngine& engine, const json& request, const std::vector<cv::Mat>& images);
// Fails with "ENGINE_NOT_ARMED" before arming and "TWO_CAMERAS_REQUIRED".
json processDuoFrames(DuoEngine& engine, const json& request, const std::vector<cv::Mat>& images);
// The first (which = 0) or second image of each stored support pair, sharing pixels.
std::vector<cv::Mat> collectPairFrames(const DuoEngine& engine, int which);

}  // namespace tarv
