// The per-frame tone match in front of the change masks: a camera's frame brought to the light
// of its working background when only a global tone change separates them, so that a lamp
// switched on or an exposure step between the empty board and a dart leaves only the dart.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

struct FrameToneMatch {
  cv::Mat frame;         // the frame to measure: matched, or the frame as given
  bool matched = false;  // a tone table was accepted and applied
  json record;           // null when the light was not looked at; else what the match saw
  bool brighter = false; // the frame is brighter: its references should be re-lit to it
};

// The frame's mean grey level inside the board outline (sampled) minus the working
// background's: 4 levels or more either way, the light may have changed. Cheap; the frame as
// held by the caller (already mapped through the camera's input table). 0 when they cannot
// be compared.
double lightShiftFromBackground(const Round& round, int camera, const cv::Mat& frame);

// When the light differs: the tone table is fitted from the raw frame onto the working
// background without what really changed there (a first fit finds it, the second leaves it
// out), and accepted by `toneMatchToReference` with that area excluded; the accepted table
// becomes the camera's input table, so later frames arrive matched. Otherwise the frame as
// given. Throws "INVALID_DETECTION_SCALE" like `toneMatchToReference`.
//
// A brighter frame has clipped what the background still resolves: it comes back as it is,
// marked brighter, for `relightToBrighterFrame`. Runs on the camera's worker: it writes only
// this camera's input table.
FrameToneMatch toneMatchFrameToBackground(Round& round, int camera, const cv::Mat& frame);

// The camera's references re-lit onto a brighter frame's light, the dart left out of the fit
// (`Round::relightReferencesToFrame`); writes round-wide members, so it runs on the calling
// thread. Null when the change is not the light.
json relightToBrighterFrame(Round& round, int camera, const cv::Mat& frame, double now);

}  // namespace tarv
