// What the one- and two-camera engines share: arming a camera of their own, brightness
// matching, the empty-look test, the per-view search for a new dart, the checks of a tip and
// the confirmation of a sample by the next frame.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// The fewest changed pixels of any event, and the pixel limit of a tip.
constexpr int kVariantEventPixels = 80;
// Two samples of one dart confirm each other within this time and distance.
constexpr double kConfirmWindowS = 0.75;
constexpr double kConfirmDistanceMm = 3.0;
// A frame kept as a future empty reference serves for this long.
constexpr double kPendingReferenceS = 10.0;

// A camera armed from one calibration and one empty-board image: images 0 and 1 the colour
// reference, 2 and 3 its grey form (shared), 4 an all-zero mask, board features and the
// board-normal point.
Camera armVariantCamera(const cv::Mat& image, const Homography& boardToImage);

// "miss_radius_mm" when finite and within 170 to 600, else 240.
double requestedMissRadius(const json& request);
// Installs the ring radii and miss radius of a successful arm for every engine path; fails
// with "INVALID_RING_RADII" before anything is replaced.
void installArmRadii(const json& request, double missRadiusMm);

// The grey image scaled to the reference's mean brightness inside the mask (gain clamped to
// 0.6 to 1.6; shared pixels when the gain is within 0.015 of 1).
cv::Mat matchBrightness(const cv::Mat& grey, const cv::Mat& reference, const cv::Mat& mask);
// Mean of the reference over max(mean of the grey image, 1), inside the mask.
double brightnessRatio(const cv::Mat& grey, const cv::Mat& reference, const cv::Mat& mask);
// Area of the largest 8-connected component; 0 for none.
int largestComponentArea(const cv::Mat& mask);
// Largest component of (mask AND region) after one 5x5 elliptic erosion.
int largestErodedComponent(const cv::Mat& mask, const cv::Mat& region);
// The most changed pixels one dart can cover in the camera (a body seen from the side and a
// flight seen across, about 9000 mm² of board): more is a hand, an arm or a shadow.
int largestDartPixels(const Homography& boardToImage);
// max(1, trunc(projected board height·160/400)); fails with "INVALID_DETECTION_SCALE".
int variantMinPixels(const Homography& boardToImage);

// The search of one camera for a new dart: its shaft record ("observations", "votes", each
// vote with its "box") and the four tip searches of its candidate, keyed by search, against
// the camera's colour change reference and stored change mask. The tip mode is the
// evaluation's own: mode 1 also estimates the dart's lean on the board (the candidate's
// "direction_mm").
struct NewDartView {
  json axis;
  json candidates = json::object();
  cv::Mat dartMask;  // the dart's change at full size
};
// Line votes and tip searches of one camera whose tip lies beyond the watched region
// (max(300, miss radius) + 25 mm from the bull) abstain: "abstention" true with
// "abstention_reason", or the search's "status", "TIP_OUTSIDE_EVENT_REGION".
void abstainOutsideEventRegion(json& axis, json& candidates);

NewDartView searchNewDart(const Camera& camera, const cv::Mat& frame, const cv::Mat& freshMask,
                          double changedFraction, int32_t tipMode);

// Longest board length of the observations' two support endpoints; 0 when none.
double shaftLengthMm(const json& axis, const Homography& boardToImage);

// The tip checks over the non-abstaining votes with a "box" within 6 mm of the point.
struct TipChecks {
  bool precise = false;     // one of them has a pixel error of at most 1.5
  bool onDartBody = false;  // the change continues beyond its tip
};
TipChecks checkTipVotes(const json& votes, Point2 point, const cv::Mat& freshMask);

// Whether the previous sample {"point", "field", "time"} confirms this one: taken before it,
// at most 0.75 s before, the same field and within 3 mm.
bool confirmsSample(const json& previous, Point2 point, const std::string& field, double time);
// Whether the previous missing record {"missing", "time"} confirms the list at this time.
bool confirmsMissing(const json& previous, const json& missing, double time);
// A kept frame serves as a reference only when it fits the reference's size and was taken
// at most 10 s before, never after.
bool pendingReferenceUsable(const cv::Mat& frame, double frameTime, const cv::Mat& reference,
                            double now);

// The round entry's field record: classification, boundary probability, selection and the
// bed colour where the tip is precise and clear of the dart's body.
json fieldRecord(Point2 point, double uncertaintyMm, const std::string& method, const char* acceptance,
                 const json& clusters);
// Bed colour of the scored point; slots the engine lacks are default cameras. The colour
// names the field only where at least votersNeeded cameras read one of the candidates' colours.
void applyBedColour(json& field, Point2 point, const std::array<json, 3>& views,
                    const std::array<Camera, 3>& cameras, const std::array<Homography, 3>& homographies,
                    double uncertaintyMm, int votersNeeded);

// Whether what a frame carries to the next (weak samples, missing darts, empty counts) lapses:
// a new epoch, or more than 0.75 s since the last frame.
bool carriedStateLapses(int32_t epoch, int32_t lastEpoch, double time, double lastTime);
// The keys of every per-frame reply: "entries", "state" (the host event when it differs from
// the last one, which it then replaces; else null), "snapshot", "round", "engine_flags",
// "processMs" since startMs and "executionBackend".
void completeFrameReply(json& reply, const json& entries, json& lastEvent, int32_t round, json flags,
                        double startMs, const char* backend);

// The view record of a camera slot without evidence.
const json& emptyViewRecord();
Homography identityHomography();

}  // namespace tarv
