// A camera's calibration document and the automatic calibration with the landmark model.
//
// A `CalibrationRecord` is a JSON object: "board_to_image" (engine board frame -> rectified
// pixels, 3x3; null without geometry), "camera_model" (the camera solve's report object, or
// null), "geometry_valid", "accepted", "method", "orientation_source", "manual_points",
// "ring_radii", "report", "twenty_px" (where the middle of the 20 between treble and double
// lies in the camera's own image).
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/landmark_model.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

using CalibrationRecord = json;

// Engine board point (mm) -> pixel of the camera's own (unrectified) image: through the
// record's homography and, with a camera model, its lens. Fails with "Projection at infinity".
Point2 boardToImage(const CalibrationRecord& record, double x, double y);
// The reverse: pixel -> engine board point; (NaN, NaN) where no board point is seen.
Point2 imageToBoard(const CalibrationRecord& record, Point2 pixel);

// A record from a camera solve. The stored model is the report as a JSON object and the
// homography is derived from that stored model, so it agrees exactly with what a later
// reader derives from it. "geometry_valid" when a camera was solved (at least 12 matched
// crossings); "accepted" only for a green grade: 25 matched crossings or more, RMS below
// the limit and the 20 sure.
CalibrationRecord recordFromSolution(const LandmarkSolution& solution, const std::string& orientationSource);
// The same for the road named by method.
CalibrationRecord recordFromSolution(const LandmarkSolution& solution, const std::string& orientationSource,
                                     const std::string& method);

// The automatic calibration of one 8-bit BGR image ("INVALID_CALIBRATION_IMAGE" otherwise).
// Loads the model into the holder on first use (from the default file beside the library
// when the path is empty), with the network for images without colour where its file lies
// beside it; the loader's errors, for either file, pass on. The landmark road first; where it gives
// no camera confirmed on the image's edges, the board fit on the same image rectified with the
// landmark road's lens and, where that is not confirmed, on the image as taken (as the engine's
// "calibrate" fits it), and the better record under one grading ("method" names its road:
// "LANDMARK_CAMERA_SOLVE" or "BOARD_FIT_CAMERA_SOLVE"). A calibration that fails, whatever
// fails under it, is a red record whose report says why ("reason"), never an error.
CalibrationRecord calibrateFromImage(std::unique_ptr<LandmarkModel>& holder, const std::string& modelPath,
                                     const cv::Mat& image);

// The record turned so that the clicked field (pixel of the full frame) is the 20. The click
// decides the orientation only: the record's grade becomes green where it lacked only a sure
// 20 and stays as it was otherwise. Fails with "GEOMETRY_REQUIRED_BEFORE_20_CLICK",
// "Bitte in das 20er-Feld klicken" (a click on the bull, or on another field than the 20 the
// record is already sure of) or "Bitte in das 20er-Feld oder auf die Zahl 20 klicken" (a click
// off the board).
CalibrationRecord confirmTwentyClick(const CalibrationRecord& record, Point2 click);

}  // namespace tarv
