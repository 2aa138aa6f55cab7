// A dart that bounces out leaves the board as it was before: only the motion history between
// two engine calls shows it. These pick the one or two triplets where something small appeared
// on the board and was gone again, and the frame sets that go with a detection's evidence.
#pragma once

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/reports/report_event.h"

namespace tarv {

// regionMasks: per camera, 8-bit masks of the sample frame size, or empty for none.
std::vector<MotionSample> findTransientViews(const std::vector<MotionSample>& samples,
                                             const std::vector<cv::Mat>& regionMasks,
                                             double windowSeconds);
std::vector<MotionSample> pickReportSequence(const std::vector<MotionSample>& samples,
                                             const std::vector<MotionSample>& views);

}  // namespace tarv
