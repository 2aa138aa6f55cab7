// What one camera says about a dart's position once its shaft record is known: whether it
// supports a board point, its own single-view candidate, and where its axis passes a common
// point.
#pragma once

#include <atomic>
#include <cstdint>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// Whether the camera supports the board point: its axis line passes near it and its fresh
// change reaches it. {"supported", "evidence" ("LOCAL_NEW_SUPPORT_AND_EDGES" or
// "INSUFFICIENT_LOCAL_EVIDENCE"), "line_error_mm", "nearest_new_support_mm",
// "independent_votes"}.
json checkLocalTipEvidence(const cv::Mat& freshChange, const Homography& boardToImage,
                           const json& shaftRecord, Point2 pointMm);

// The camera's own candidate of the one-camera engines (a ViewMeasurement: "status",
// "quality" 0..1, "field", "point", "kind"): "CANDIDATE" from its tip vote, or
// "NO_EVENT_REGION" (no change), "EVENT_REGION_TOO_LARGE" (more than the given share of the
// board region changed) or "NO_CAMERA_LOCAL_SEED" (no shaft) with "quality" 0.
json locateCameraCandidate(int changedPixels, double changedFraction, const json& shaftRecord,
                           double largestFraction);

// Where the camera's axis line passes the common point: the foot of the point on the line
// ("point") and the distance to it ("distance_mm"); "on_line" false without a line.
json findCommonBoardPoint(const json& shaftRecord, Point2 pointMm);

}  // namespace tarv
