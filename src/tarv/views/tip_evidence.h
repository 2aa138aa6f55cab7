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

// The same check of the one- and two-camera engines, from the colour change reference and the
// frame: the point must lie on one of the axis observations' image lines (within 3 mm), the
// fresh change must reach it (within 6 mm) and the frame must show edges there that the
// reference has not (the dart's own outline, not a shadow or a light patch). Adds
// "new_edge_pixels" to the record above; "independent_votes" counts the observations whose
// line passes the point.
json checkLocalTipEvidence(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& freshChange,
                           const Homography& boardToImage, const json& observations, Point2 pointMm);

// What the searches of one camera's candidate may use beside the images.
struct CandidateFlags {
  double changedFraction = 0.0;   // share of the event region that changed
  double largestFraction = 0.15;  // more is a hand, an arm or new light, not a dart
  int minPixels = 80;             // fewest changed pixels of a dart in this camera
};

// The camera's own candidate of the one- and two-camera engines: four independent tip
// searches, each a ViewMeasurement ("status", "quality" 0..1, "kind", and with "CANDIDATE"
// "point", "field", "image_point", "pixels", "elongation"), keyed by search:
//   "colour": the colour change of the frame against the colour reference;
//   "frame":  edges of the frame that the reference has not, along the fresh change;
//   "fresh":  the fresh change mask itself;
//   "stored": the fresh change completed by the colour change where it crosses the stored
//             change of earlier darts ("NO_STORED_CHANGE" when it crosses none: it would only
//             repeat the fresh search).
// Each search fits the main axis of its own pixels and takes the end nearer the line vote's
// tip as the dart's tip (the vote only says which end), carried on along that axis to the last
// pixel of the raw colour change: the masks' smoothing trims the thin point. A search whose
// change runs on more than 16 pixels past its end answers "SHORT_OF_THE_CHANGE". Every search answers "NO_EVENT_REGION"
// without a fresh change, "EVENT_REGION_TOO_LARGE" when more than the largest fraction
// changed and "NO_CAMERA_LOCAL_SEED" without a tip vote.
json locateCameraCandidate(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& freshMask,
                           const Homography& boardToImage, const cv::Mat& storedMask, const json& votes,
                           const CandidateFlags& flags);

// The frame scaled to the background's brightness outside the change, so that a colour
// difference shows the dart and not the light; the frame itself when the gain is within 0.015
// of 1.
cv::Mat brightnessMatchedCrop(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& change);

// Where the camera's axis line passes the common point: the foot of the point on the line
// ("point") and the distance to it ("distance_mm"); "on_line" false without a line.
json findCommonBoardPoint(const json& shaftRecord, Point2 pointMm);

}  // namespace tarv
