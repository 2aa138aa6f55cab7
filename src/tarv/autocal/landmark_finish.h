// A camera solved from the network's crossings finished: moved onto the image's wires, refined
// on its edges and judged by them, oriented (printed numbers, bed colours) and graded.
#pragma once

#include <atomic>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/landmark_detection.h"

namespace tarv {

// Whether the solve's caller no longer wants it (`stop` set); the solution is then left with
// no camera.
bool solveStopped(const std::atomic<bool>* stop, LandmarkSolution& sol);

// The camera explains its matched crossings about as well as a plane mapping of the same pairs
// (kMaxRmsOverPlane); too few matches to judge count as explained.
bool explainsItsCrossings(const CameraEstimate& camera, const std::vector<cv::Point2d>& crossings, double rmsPx);

// The solve keeps the optical centre in the image's middle; an image cut off its centre (a
// photograph cut to the board, a webcam's window of its sensor) moves it, and only a centre the
// crossings ask for is taken: where the selection's camera does not explain them, its centre
// refined on them (refineOpticalCentre) and the selection scored on them again.
void centreWhereTheCrossingsAsk(CameraSelection& selection, const std::vector<cv::Point2d>& crossings, cv::Point2d bull);

// The camera from its crossings onwards: moved onto the wires, its edges, the orientation and
// the grade.
void finishOnCamera(const LandmarkDetections& kept, const cv::Mat& image, cv::Point2d bull, CameraSelection selection,
                    std::vector<cv::Point2d> crossings, LandmarkSolution& sol, const std::atomic<bool>* stop);

}  // namespace tarv
