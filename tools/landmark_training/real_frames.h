// Labelled frames of real boards, and how far a calibration of one lies from its label.
//
// A label file is a JSON array of objects:
//   "file"   the image's name in the folder it is read from
//   "repo", "path", "commit"   where the image comes from (never committed here)
//   "split"  the use it is kept for ("measure": never trained on)
//   "source", "note"   how the label was made, what the image shows
//   "rings"  every board the image shows whole enough to label: 72 image points each, the curve
//            of the ring at "ring_mm" (170 unless given) in the camera's own image
//   "ring_mm"    the board radius the rings lie at
//   "bull_px"    optional: the middle of the inner bull in the image
//   "twenty_px"  optional: a point in the middle of the 20's outer single field, where a user
//                taps to name the 20
// With more than one ring, "bull_px" and "twenty_px" are lists of points, one per ring.
//   "board_to_image"   optional, with one ring: the checked camera's homography (board mm to
//                image), which places the bull and the 20's tap where they are not given;
//                failing that, "landmarks" (training labels) place them from the bull and the 20's number
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/camera/calibration_record.h"
#include "tarv/core/board_geometry.h"

namespace landmark_real {

struct RealLabel {
  std::string file, repo, path, commit, split, note;
  std::vector<std::vector<cv::Point2d>> rings;
  double ringMm = 170.0;
  // Empty, or one per ring.
  std::vector<cv::Point2d> bulls, twenties;
  // Where the tap on the 20 goes: on the board given (the one a calibration lies on), the
  // first without one.
  std::optional<cv::Point2d> click(size_t board = 0) const;
};

// Every label of the array; a malformed one fails with a message naming its index and key.
std::vector<RealLabel> readRealLabels(const nlohmann::json& labels);

// Mean of the distances each way between two closed polylines.
double curveDistance(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b);

// How one calibration lies on a labelled image. Without geometry every distance is NaN.
struct Placement {
  bool geometry = false;
  double ringPx = 0.0;  // the calibration's ring at the label's radius against the nearest labelled ring
  double bullPx = 0.0;  // its bull against that board's labelled bull (0 without one)
  bool twentyRight = true;  // that board's labelled 20 lies in its sector 20 (true without one)
  size_t board = 0;  // the labelled board it lies on
  // The larger of the two distances with the 20 right, infinite with it wrong.
  double offPx() const;
};

// The same judgement for a calibration record (board -> image through its lens) and for an
// engine fit's "board_to_image" homography.
Placement placeRecord(const tarv::CalibrationRecord& record, const RealLabel& label);
Placement placeHomography(const tarv::Homography& boardToImage, const RealLabel& label);

}  // namespace landmark_real
