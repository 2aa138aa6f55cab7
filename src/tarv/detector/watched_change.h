// What the evaluation keeps of a change it is watching but has not decided, and the flat
// light patch that is no dart.
#pragma once

#include <array>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Frame-history masks kept: the newest two triplets.
constexpr size_t kFrameHistoryLimit = 6;

// A change still settling or left undecided: its masks per camera join the frame history
// (oldest dropped beyond the limit), the frames become the held frames (deep copies), and the
// history records move on: record 2 takes record 1, record 1 this frame's {"time", "status",
// "reason", "pixels" per camera, "point"}. The handler's resetFrameHistory ends the watch.
void recordWatchedChange(Round& round, const std::vector<cv::Mat>& frames, const std::array<cv::Mat, 3>& masks,
                         const json& reply, double now);

// One camera's answer to a test: a patch, no patch, or too few usable pixels to tell.
enum class Flatness { kFlat, kNotFlat, kUnknown };

// One camera's view of a change, judged on its own images alone, so that each camera's worker
// can judge its own: whether its mask has pixels, whether its images fit the mask, and the
// answers of two tests (unknown where too few pixels are neither saturated nor black). Flat:
// inside the mask the frame against the background is one brightness ratio, the same in all
// three colour channels and at every pixel whatever the bed colour below (a dart changes a
// black bed little and a white one much), lighter or darker at nearly every pixel (sensor noise
// scatters both ways). Soft, a patch of light or shadow (a glint, a sunbeam, a small shadow)
// brighter or darker towards its middle: the frame against the background is lighter (or
// darker) at nearly every pixel, by a moderate factor, alike in the colour channels, and the
// change is a round blob on the board plane (the board-to-image homography carries it there;
// the spread of its pixels is round, or their box is, or it is no longer than a small glint, of
// which a wire may leave only a piece). A dart's change is a long streak on the board plane,
// and where its steel, shaft or flight covers the board the colour is replaced, not scaled.
struct LightPatchView {
  bool seen = false;
  bool fits = true;
  Flatness flat = Flatness::kUnknown;
  Flatness soft = Flatness::kUnknown;
};
LightPatchView lightPatchView(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask,
                              const Homography& boardToImage);

// A light patch from the cameras' own views: flat in every camera whose mask has pixels, or
// soft in every one; cameras that cannot tell do not count, and false when none can.
bool isLightPatch(const std::array<LightPatchView, 3>& views);

}  // namespace tarv
