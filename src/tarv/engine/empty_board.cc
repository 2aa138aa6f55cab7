#include "tarv/engine/empty_board.h"

#include <string>

#include <opencv2/imgproc.hpp>

#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/recovery/recovery.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kRegistrationRetrySeconds = 2.0;
constexpr double kReliableCorrelation = 0.995;
constexpr double kAutoShiftLimitPx = 4.0;
constexpr double kRealignmentLimit = 1.5;

double numberOr0(const json& report, const char* key) {
  if (!report.is_object()) return 0.0;
  const auto it = report.find(key);
  return it != report.end() && it->is_number() ? it->get<double>() : 0.0;
}

std::string statusOf(const json& answer) {
  const auto it = answer.find("status");
  return it != answer.end() && it->is_string() ? it->get<std::string>() : std::string();
}

json recoverRound(Round& round, const std::vector<cv::Mat>& frames, double now, bool skipRealign,
                  bool startupCheck) {
  return round.recover(frames, now, skipRealign, startupCheck);
}

// The pending round proves itself on the request's frames; it is adopted, kept or dropped.
json provePendingRound(Round& round, std::optional<Round>& pendingRound,
                       const std::vector<cv::Mat>& images, double now,
                       const EmptyCheckRecovery& recover) {
  const std::vector<cv::Mat> working = intakeFrames(*pendingRound, images);
  json answer = recover(*pendingRound, working, now, kRealign, kStartupCheck);
  forgetIncomingFrames(*pendingRound);
  const std::string status = statusOf(answer);
  if (status == "BACKGROUND_REFRESH") {
    round = *pendingRound;
    pendingRound.reset();
  } else if (status != "BACKGROUND_PENDING") {
    pendingRound.reset();
  }
  return answer;
}

// Registers all three cameras on a copy of the round; true when every camera could be
// brought into line (the copy then becomes the pending round).
bool registerCameras(const Round& round, std::optional<Round>& pendingRound,
                     json& registrationRecord, const std::vector<cv::Mat>& working) {
  Round copy = round;
  copy.recoveryTimer = -1.0;
  copy.recoveryRetryTime = -1.0;
  copy.recoveryRetryCount = 0;
  registrationRecord = json::array();
  auto job = [&copy, &working](int camera) { return measureEmptyRegistration(copy, working, camera); };
  const std::array<EmptyRegistrationMeasured, 3> measured = runOnCameraWorkers(job);

  bool allRegistered = true;
  for (int i = 0; i < 3; ++i) {
    const EmptyRegistrationMeasured& m = measured[i];
    if (!m.referencesRealigned) {
      if (m.realignmentAccepted) {
        applyCameraRealignment(copy, i, working.at(i), m.transform);
      } else {
        allRegistered = false;
      }
    }
    registrationRecord.push_back(m.report);
  }
  if (allRegistered) pendingRound = std::move(copy);
  return allRegistered;
}

}  // namespace

json emptyCheck(Round& round, std::optional<Round>& pendingRound, json& registrationRecord,
                const std::vector<cv::Mat>& images, double now, double& lastRegistrationTime) {
  return emptyCheck(round, pendingRound, registrationRecord, images, now, lastRegistrationTime,
                    recoverRound);
}

json emptyCheck(Round& round, std::optional<Round>& pendingRound, json& registrationRecord,
                const std::vector<cv::Mat>& images, double now, double& lastRegistrationTime,
                const EmptyCheckRecovery& recover) {
  const std::vector<cv::Mat> working = intakeFrames(round, images);
  json answer;
  try {
    answer = pendingRound ? json{{"status", "RECOVERY_WAIT"}}
                          : recover(round, working, now, kRealign, kInPlay);
  } catch (...) {
    forgetIncomingFrames(round);
    throw;
  }
  forgetIncomingFrames(round);

  const std::string status = statusOf(answer);
  if (status != "RECOVERY_WAIT" && status != "CALIBRATION_REJECTED") {
    pendingRound.reset();
    return answer;
  }

  if (pendingRound) {
    answer = provePendingRound(round, pendingRound, images, now, recover);
  } else if (lastRegistrationTime <= now && now - lastRegistrationTime < kRegistrationRetrySeconds &&
             registrationRecord.is_array()) {
    // A failed registration is not repeated within 2 s; its reports still decide.
    applyDisplacementTest(answer, registrationRecord);
  } else if (registerCameras(round, pendingRound, registrationRecord, working)) {
    answer = provePendingRound(round, pendingRound, images, now, recover);
  } else {
    lastRegistrationTime = now;
    applyDisplacementTest(answer, registrationRecord);
  }
  answer["startup_registration"] = registrationRecord;
  return answer;
}

EmptyRegistrationMeasured measureEmptyRegistration(Round& copy, const std::vector<cv::Mat>& frames,
                                                   int camera) {
  EmptyRegistrationMeasured m;
  Camera& c = copy.cameras.at(camera);
  const cv::Mat& frame = frames.at(camera);
  m.referencesRealigned = realignReferenceImages(c, frame, m.report);
  if (m.referencesRealigned) return m;
  json realignment;
  m.realignmentAccepted =
      measureRealignment(c, frame, m.transform, realignment, kRealignmentLimit, kRealignmentLimit);
  m.report["realignment"] = realignment;
  return m;
}

void applyDisplacementTest(json& answer, const json& reports) {
  for (const json& report : reports) {
    if (numberOr0(report, "correlation") >= kReliableCorrelation &&
        numberOr0(report, "max_board_shift_px") > kAutoShiftLimitPx) {
      answer["status"] = "CALIBRATION_REJECTED";
      answer["reason"] = "CAMERA_DISPLACEMENT_EXCEEDS_AUTO_LIMIT";
      return;
    }
  }
}

void refreshReferencesFromEmptyFrames(Round& round, const std::vector<cv::Mat>& images, json& reply) {
  reply["calibrations"] = json::array();
  for (cv::Mat& table : round.inputLut) table.release();
  for (int i = 0; i < 3; ++i) {
    Camera& camera = round.cameras[i];
    const cv::Mat& image = images.at(i);
    const cv::Size size = image.size();  // fails for images of more than two dimensions
    camera.emptyReferenceColour = image.clone();
    camera.backgroundFrame = camera.emptyReferenceColour;
    // Always a new image: copies of the round may still share the old reference's pixels,
    // and a host's buffer must never be kept.
    cv::Mat grey;
    if (image.channels() > 1) {
      cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    } else {
      grey = image.clone();
    }
    camera.emptyReference = grey;
    camera.dartReference = camera.emptyReference;
    camera.referenceChangeMask = freshZeroMask(size);
    camera.residualMask.release();
    camera.features = BoardFeatures{};
    camera.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);
    reply["calibrations"].push_back(matrix3x3ToJson(camera.boardToImage));
  }
  reply["reference_refreshed"] = true;
  reply["reference_source"] = "VERIFIED_CURRENT_EMPTY_FRAMES";
}

}  // namespace tarv
