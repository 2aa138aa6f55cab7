// Proving the board empty before scoring starts or resumes: the round's recovery is asked
// first; while it still waits, each camera's references are registered to its current view on
// the camera workers, and an adjusted copy of the round (the pending round) has to prove
// itself on the following frame sets. Verified empty frames then become the references.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// One camera's registration job.
struct EmptyRegistrationMeasured {
  bool referencesRealigned = false;  // the stored references now match the current view
  bool realignmentAccepted = false;  // read only when the references could not be registered
  Homography transform{};            // row-major; meaningful only when accepted
  json report;                       // the camera's registration report
};

// The recovery as the empty check runs it: (round, working frames, now, skip realignment,
// pending proof) -> reply. Normally Round::recover.
using EmptyCheckRecovery =
    std::function<json(Round&, const std::vector<cv::Mat>&, double, bool, bool)>;

// One three-camera frame set of the empty-board proof. The pending round, the registration
// record (null or one report per camera) and the last registration time belong to the caller
// between calls. Returns the reply of the recovery that ran last, with "startup_registration"
// once the check went past the round's own recovery answer.
json emptyCheck(Round& round, std::optional<Round>& pendingRound, json& registrationRecord,
                const std::vector<cv::Mat>& images, double now, double& lastRegistrationTime);
json emptyCheck(Round& round, std::optional<Round>& pendingRound, json& registrationRecord,
                const std::vector<cv::Mat>& images, double now, double& lastRegistrationTime,
                const EmptyCheckRecovery& recover);

// Registers camera `camera` of the copy to its working frame: its stored references first,
// else a realignment transform (limits 1.5 and 1.5).
EmptyRegistrationMeasured measureEmptyRegistration(Round& copy, const std::vector<cv::Mat>& frames,
                                                   int camera);

// A camera tracked reliably (correlation at least 0.995) whose board moved by more than 4 px
// cannot be taken over automatically: the first such report makes the answer
// "CALIBRATION_REJECTED" with "CAMERA_DISPLACEMENT_EXCEEDS_AUTO_LIMIT".
void applyDisplacementTest(json& answer, const json& reports);

// The request images become the references of all three cameras (the input tone tables are
// dropped); writes "calibrations", "reference_refreshed" and "reference_source".
void refreshReferencesFromEmptyFrames(Round& round, const std::vector<cv::Mat>& images, json& reply);

}  // namespace tarv
