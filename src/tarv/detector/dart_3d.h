// The 3D judgement of a dart the evaluation is deciding: the rod its cameras see, the
// "dart_3d" document of the reply, and the two rules that keep what is not a landed dart out.
#pragma once

#include <array>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/camera/camera_pose.h"
#include "tarv/core/round.h"
#include "tarv/detector/field_decision.h"

namespace tarv {

// A rod resolved by two or more cameras whose tip end stays this far above the face is not a
// landed dart.
constexpr double kTipAboveBoardMm = 15.0;

struct Dart3dJudgement {
  json document;       // "dart_3d"; null when the switch is off
  std::string reason;  // "" or "DART_3D_TIP_ABOVE_BOARD" or "SINGLE_VIEW_TIP_INSIDE_CHANGE"
};

// Each camera's pose from its calibration; none where the calibration gives no camera.
std::array<std::optional<CameraPose>, 3> cameraPosesOf(const Round& round);

// poses as cameraPosesOf(round); shaftRecords and dartMasks per camera (dart masks image-sized, may be empty); crosscheck as
// the evaluation's ("agreeing_cameras"). With one camera's tip carrying the throw the rod
// comes from that camera's plane and a second camera's line.
Dart3dJudgement judgeDart3d(const Round& round, const std::array<std::optional<CameraPose>, 3>& poses,
                            const std::array<json, 3>& shaftRecords,
                            const std::array<cv::Mat, 3>& dartMasks, const json& crosscheck,
                            const TipLocation& tip);

}  // namespace tarv
