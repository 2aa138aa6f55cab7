// The automatic calibration's second road: where the landmark network gives no accepted
// camera, the board fit (coloured beds, wires, ring edges) on the same image, rectified with
// the landmark road's lens and started from its plane where it found one, and, where that
// camera is not confirmed, on the image as taken exactly as the engine's "calibrate" fits it
// (a landmark camera can be wrong in lens and plane both). Each fitted homography becomes a
// camera model (focal length and pose; k1 where a lens is known), which must be confirmed on
// the image's own ring and wire edges by the same judgement as the landmark road's camera, or
// be a fit the engine's own rule accepts (ring edges followed, the camera recorded from it on
// its homography). A camera the edges confirm is preferred; between two the rule alone
// confirms, the fit on the image as taken.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/landmark_detection.h"

namespace tarv {

// The board fit road's solution for an 8-bit BGR image: ok with a camera when the fit found a
// board; grade 0 when the edges confirm it and the 20 is sure (the beds' colours and the
// printed numbers, or the landmark road's sure 20 where its camera, confirmed by its own edges,
// lies on the same board),
// 1 when confirmed without a sure 20, else 2. `reason` holds the fit's own failure or rejection.
// `report` receives the kept fit's summary ("start": "LANDMARK_PLANE", "RECTIFIED_COLOURS",
// "COLOURS" or "AS_TAKEN"), and the other start's as "other_start" where both ran.
LandmarkSolution solveByBoardFit(const cv::Mat& image, const LandmarkSolution& landmark, nlohmann::json& report);

// A landmark camera graded on its crossings alone (its edges neither confirm nor contradict
// it), placed where the engine's own fit of the image as taken places the board: where that
// fit's rule accepts it, it lies on the same board (the double and treble rings within 3 px of
// the landmark camera's, turned to its 20, no other turn near), and the two part by more than
// the landmark camera's lens bends its board away from any plane mapping (a fit without a lens
// cannot follow a bent view). Grade, 20 and crossing counts stay the landmark camera's. None
// otherwise; report receives the fit's summary and what was decided ("placed",
// "ring_distance_px", "lens_bend_px").
std::optional<LandmarkSolution> placeOnFitAsTaken(const cv::Mat& image, const LandmarkSolution& landmark,
                                                  nlohmann::json& report);

}  // namespace tarv
