// State of the three-camera engine: one value type per camera and one for the round.
//
// Copies share pixels: every image is a cv::Mat, so copying a Camera or a Round copies image
// headers and a later assignment to a member leaves the source alone, while writing into the
// shared pixels is seen by both. JSON, texts and point lists are duplicated. Nothing that
// outlives a call may share a host buffer: whatever keeps a frame keeps a deep clone.
//
// Several parts of the engine name the same members by different roles. Where they differ the
// member carries the recovery's name and the comment gives the evaluation's:
//   camera images 1..6          emptyReferenceColour, backgroundFrame, emptyReference,
//                               dartReference, referenceChangeMask (the stored change mask
//                               that tarv_copy exposes as image 2), residualMask
//   entry frame sets            knownDartMasks (one mask per camera for each entered dart)
//   carried counter / record    heldEventCount / heldEventRecord; pendingCandidate is the
//                               second held-event record
//   camera guard warning        cameraGuardWarning
//   recovery timings            timing ("recovery_ms"), timingMark
//   input tone tables           inputLut
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using ImageTriple = std::array<cv::Mat, 3>;


// Used to see whether a camera moved.
struct BoardFeatures {
  cv::Mat grey;                     // grey board image reduced to 320 px wide
  std::vector<cv::Point2f> points;  // tracked corner points in that image
  double scale = 1.0;               // full image width / 320
};

// Motion recorded round the board for one camera; shared between copies of a Camera.
struct SurroundMotion {
  std::array<cv::Mat, 5> images;
  double time = -1.0;
};

// A reduced copy of one image, rebuilt when the image it was made from is replaced. It holds
// that image, so a new image can never reuse the old one's address unnoticed.
struct ReducedImage {
  cv::Mat source;
  cv::Mat reduced;
};

// A measure of one image inside one mask, taken again when either is replaced; holding both
// keeps a new image from reusing an old one's address unnoticed.
struct ImageMeasure {
  cv::Mat source;
  cv::Mat mask;
  double value = 0.0;
};

class Camera {
 public:
  cv::Mat emptyReferenceColour;  // colour reference of the empty board (private clone)
  cv::Mat backgroundFrame;       // colour frame of the dart reference; shares image 1 after arming
  cv::Mat emptyReference;        // grey version of emptyReferenceColour
  cv::Mat dartReference;         // grey reference with the known darts; shares emptyReference
  cv::Mat referenceChangeMask;   // stored change mask: 8-bit, image-sized, zero after arming
  cv::Mat residualMask;          // the recovery's last residual change; empty after arming
  std::shared_ptr<SurroundMotion> surroundMotion;
  json record = json::object();
  Homography boardToImage{};     // board millimetres to image pixels
  std::array<double, 3> imageNormal{};  // homogeneous image point where board normals converge
  std::array<double, 9> cameraModel{};  // values from the camera's "camera_models" entry
  double boardRadiusMm = 170.0;
  BoardFeatures features;
  bool referencesRealigned = false;
  // The dart change level this camera's own capture noise needs, measured on the first frame
  // after arming that differs from its references by less than a hand does; 0 until then. A
  // camera of ordinary noise measures the fixed level. Kept in the light of arming: the
  // light's gain below scales it as it scales the fixed level.
  double ownChangeLevel = 0.0;
  // How far the references were raised to a brighter light since arming (1 when never): a
  // difference's sensor noise grows with the light's gain, and so must the level a dart's
  // change has to pass.
  double lightGain = 1.0;
  // Reduced references of the per-frame analysis; only the camera's own worker touches them.
  mutable std::array<ReducedImage, 3> reducedReferences;
  // The working background's mean grey over the board, which every call's light test reads;
  // only the camera's own worker touches it.
  mutable ImageMeasure backgroundMeanGrey;
};

// A dart the evaluation left unresolved and no decision has placed yet: its record
// ("since", "last", "point", "field", "absorbed") and its change per camera as the evaluation
// last saw it (reduced masks).
struct UnresolvedDart {
  json record;
  ImageTriple masks;
};

class Round {
 public:
  std::array<Camera, 3> cameras;
  bool boardOnlyScope = false;  // "ignore_surround"
  double boardRadiusMm = 170.0;
  ImageTriple scopeMasks;       // per-camera masks used while boardOnlyScope is set
  json entries = json::array(); // RoundEntry items, at most three
  json state;                   // the last host event, reported as "snapshot"
  std::vector<ImageTriple> knownDartMasks;  // the entry frame sets
  int32_t roundNumber = 1;
  int32_t eventNumber = 0;
  int32_t heldEventCount = 0;   // carried counter of the evaluation
  json pendingCandidate;        // null when nothing is pending
  json heldEventRecord;         // carried record of the evaluation
  double lastEntryTime = -1.0;  // when the newest dart was entered (a dart that soon leaves)
  double lastSettlingTime = -1.0;  // when a change was last seen settling (a change that vanishes)
  // Consecutive triplets on which the undecided change lay where it lay on the triplet before:
  // a change that has stopped changing is decided or left to the player, never waited on.
  int32_t stillTriplets = 0;
  // A dart entered on its stable field alone left change beside it (its region taken, the
  // rest kept for another dart), and that has stood still since: nothing landed after it.
  bool residueOfEntry = false;
  // Consecutive triplets on which two cameras that see the change well held it in place.
  int32_t heldByTwoTriplets = 0;
  json stableHypothesisHistory = json::array();  // at most 64 {"time", "field", "point"}
  json pendingConfirmation;
  json fallbackPoint;           // second source of a point in plant mode
  std::vector<cv::Mat> frameHistory;
  ImageTriple heldFrames;
  json historyRecord1;
  json historyRecord2;
  double historyTime = -1.0;
  double decisionWindowStart = -1.0;  // the window's deadline is start + 3.0 s
  bool reviewRequired = false;
  double lastFrameTime = -1.0;
  std::array<double, 3> lastCaptureTimes{-1.0, -1.0, -1.0};
  int32_t lastEpoch = -1;
  bool armed = false;
  bool recovery = false;
  bool takeout = false;
  bool unresolved = false;
  bool allowResume = true;
  double recoveryTimer = -1.0;
  double emptyProofTime = -1.0;
  double passiveProofGateTime = -1.0;
  std::string confirmSlotResume;
  std::string confirmSlotAfterEvent;
  bool probe = false;           // set only on the probe round of the transient probe
  json pendingTransient;        // cleared when the scope changes, on realignment and recovery
  ImageTriple probeChangeMasks;
  double bouncerReviewTime = -1.0;
  bool earlyEvaluation = false;
  bool earlyAccepted = false;
  json earlyRecord;
  json lastRecoveryReply;
  double lastRecoveryTime = -1.0;
  double recoveryRetryTime = -1.0;
  int32_t recoveryRetryCount = 0;
  double pendingSince = -1.0;   // when the evaluation first saw a pending candidate
  std::array<double, 3> trackLossTime{-1.0, -1.0, -1.0};  // last realignment attempt per camera
  ImageTriple dartReferenceCopies;
  ImageTriple referenceChangeMaskCopies;
  ImageTriple stableFlowMasks;
  ImageTriple stableFlowGreys;
  ImageTriple previousReferences;  // colour references from before the last rebase
  double lastRebaseTime = -1.0;
  double staticShiftTime = -1.0;
  double stableFlowTime = -1.0;
  double takeoutRunStart = -1.0;
  double takeoutRunLast = -1.0;
  json cameraGuardWarning;       // "camera_guard_warning"
  std::array<std::map<std::string, std::deque<double>>, 3> cameraSeries;
  double waitStart = -1.0;
  std::array<Homography, 3> driftTransform{};
  ImageTriple inputLut;          // per-camera 1x256 8-bit 3-channel tables; empty means none
  std::vector<cv::Mat> incomingFrames;  // this call's frames before the tables (may be a host's)
  double timingMark = -1.0;
  json timing = json::object();  // recovery timings, "recovery_ms"
  int64_t waitDiagnosticCount = 0;
  json tipSampling;              // opened by beginTipSampling
  ImageTriple callStartFrames;
  ImageTriple callStartGreys;
  ImageTriple evaluationMasks;
  // An unresolved change that stopped changing: its frames and reduced change, taken into the
  // working background when a new change comes on top of it.
  ImageTriple parkedFrames;
  ImageTriple parkedChanges;
  ImageTriple tipSamplingFrames;
  double lastBackgroundAdaptation = -1.0;
  double changedEmptySince = -1.0;
  ImageTriple staticShiftMasks;  // the recovery's standing residual per camera (static shift)
  ImageTriple staticShiftGreys;  // the grey frames it stood on
  std::array<double, 3> driftCheckTime{-1.0, -1.0, -1.0};  // last drift measurement per camera
  std::array<bool, 3> driftPending{false, false, false};    // an accepted drift waits per camera
  std::array<json, 3> driftReport;                          // last drift measurement per camera
  double confirmResumeTime = -1.0;      // time of confirmSlotResume's kind, -1 when empty
  double confirmAfterEventTime = -1.0;  // time of confirmSlotAfterEvent's kind
  double lightEventTime = -1.0;         // when the evaluation last saw a change of light
  std::vector<UnresolvedDart> unresolvedDarts;  // kept on the decision window until placed

  // Defined by the recovery: the recovery after a takeout, a disturbance or an unresolved
  // event. Call it with the named arguments below.
  json recover(const std::vector<cv::Mat>& frames, double now, bool skipRealign,
               bool startupCheck);

  // Defined by the camera realignment: measures the flagged cameras (each at most once per
  // 0.5 s) and moves the accepted ones onto their current view; per camera null (not
  // flagged), {"accepted": false, "reason": "THROTTLED"} or the measurement's report.
  std::array<json, 3> realignCameras(const std::array<bool, 3>& flags,
                                     const std::vector<cv::Mat>& frames, double now);

  // Defined by the tone matching: when one camera's frame differs from its working background
  // only by the light (and perhaps a new object of at most largestNewPixels, left out of the
  // fit), its references are re-lit onto the frame's light by one table per colour channel;
  // the known darts stay in the stored change mask and the references before are kept as the
  // former references. Null when the change is not the light, else the fit's record.
  json relightReferencesToFrame(int camera, const cv::Mat& frame, int largestNewPixels, double now);

  // Defined by the recovery: the decision of one recovery call (resume, wait, confirm or
  // reset) once the cameras' positions were settled.
  json recoverCore(const std::vector<cv::Mat>& frames, double now, bool skipRealign,
                   bool startupCheck);
};

// The flags of Round::recover and Round::recoverCore, by name at the call:
// recover(frames, now, kRealign, kInPlay).
inline constexpr bool kSkipRealign = true;   // the cameras' positions are not looked at
inline constexpr bool kRealign = false;
inline constexpr bool kStartupCheck = true;  // the empty-board proof of a check or a pending round
inline constexpr bool kInPlay = false;

// Taken by "restart_empty_begin", consumed by "restart_empty_check".
struct RestartSnapshot {
  Round round;
  std::optional<Round> pendingRound;
  json record;
  std::array<double, 3> checkTimes{-1.0, -1.0, -1.0};
  double lastRegistrationTime = -1e30;
};

// A takeout begins: the round waits for the recovery to prove the board empty and does not
// resume scoring on the old board; the carried evaluation record is dropped.
void beginTakeout(Round& round);

// Empties the frame history, releases the held frames and resets the history records.
void resetFrameHistory(Round& round);

// Stores the frames as the round's incoming frames and returns them with each camera's input
// tone table applied where it has one; frames 3..5 use cameras 0..2 again. The incoming
// frames may share a host's buffers: they belong to one call and are forgotten at its end.
std::vector<cv::Mat> intakeFrames(Round& round, const std::vector<cv::Mat>& frames);
void forgetIncomingFrames(Round& round);

}  // namespace tarv
