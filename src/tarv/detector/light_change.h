// A change of light seen by the throw evaluation: the references of the cameras whose view
// changed are re-lit to the frame's light, so the darts on the board stay known through the
// change and a dart that lands with it is still seen as a dart.
#pragma once

#include <array>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/views/camera_analysis.h"
#include "tarv/detector/large_change.h"
#include "tarv/core/round.h"

namespace tarv {

// Tries the cameras with a widespread or oversized change and sets the round's light-event
// time when one was re-lit or every camera's view changed. Null when no camera's change was the light; else per camera id
// the fit's record or null.
json matchChangedLight(Round& round, const std::vector<cv::Mat>& frames,
                       const std::array<CameraFrameAnalysis, 3>& analyses, const LargeChange& change,
                       double now);

}  // namespace tarv
