// Which of the round's known darts one camera still sees once the frame is brought to the
// empty board's exposure and small shifts are tolerated, and the shift-tolerant differences
// that the recovery's image tests share.
#pragma once

#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/recovery/exposure_fit.h"

namespace tarv {

// Per pixel, how far b lies outside the range of a over the k x k window round it (0 inside
// the range): a shift of up to (k - 1) / 2 pixels gives no excess. k is odd.
cv::Mat shiftTolerantExcess(const cv::Mat& a, const cv::Mat& b, int k);

// The larger excess in either direction, passed through the frame-difference rules (median,
// level, all zero when nothing exceeds 16).
cv::Mat shiftTolerantChangeMask(const cv::Mat& a, const cv::Mat& b, int k);

// Registers the exposure-corrected frame onto the reference round one dart region (ECC
// translation within 16 px, correlation at least 0.8) and counts the novel edges and the
// shift-tolerant change there: (edges, residual), or (-1, -1) when it cannot be registered.
// countStrong also counts strong differences as edges; refine fits the exposure again on
// the registered crop.
std::pair<int, int> registerDartSupport(const cv::Mat& reference, const Exposure& exposure,
                                        const cv::Mat& region, bool countStrong, bool refine);

// One camera's proof that the board is empty apart from known darts that are gone.
// regions and zones hold one entry per known dart in round order (zone 1 on the board, 0 in
// the surround, 2 far outside, -1 without a position). Returns (ok, remaining change inside
// the board region); remaining is empty when the exposure could not be matched. report is
// replaced by {"exposure", "supports": [DartSupport...], "board_remaining_pixels"}.
std::pair<bool, cv::Mat> findRegisteredDartSupports(const cv::Mat& emptyReference,
                                                    const cv::Mat& frame,
                                                    const Homography& boardToImage,
                                                    const std::vector<cv::Mat>& regions,
                                                    const std::vector<int>& zones, json& report,
                                                    double boardRadiusMm);

}  // namespace tarv
