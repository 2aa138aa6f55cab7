// One camera image to a full camera model with the landmark network: bull, wire crossings
// and sector numbers, starting cameras, the solve, the board's orientation and a grade.
// Its steps: the network's output (landmark_output), the bull (bull_point), the parts of the
// image a closer look takes (board_boxes) and a solved camera's finish (landmark_finish); here
// the starts, the solve and the closer looks.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_model.h"
#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {

// Fewest matched crossings that make a camera: the solver fits the focal length from 12 on,
// and anything less is a pose pinned by a handful of points.
constexpr int kMinSolvedCrossings = 12;
// Fewest matched crossings for a grade better than red.
constexpr int kMinGradedCrossings = 25;

struct LandmarkSolution {
  bool ok = false;
  cv::Mat K, dist, rvec, tvec;  // in the landmark frame (20 at +y)
  int32_t width = 0;
  int32_t height = 0;
  int32_t grade = 2;  // 0 green, 1 yellow, 2 red
  bool twentySure = false;
  int32_t crossingsDetected = 0;
  int32_t crossingsMatched = 0;
  double rmsPx = 0.0;
  double colourScore = 0.0;
  bool edgesConfirm = false;  // the ring and wire edges confirm the camera (not stored)
  std::vector<cv::Point2d> crossings;  // the network's crossings the camera was solved on (not stored)
  double modelMs = 0.0;
  double totalMs = 0.0;
  std::string reason;
  bool colourFree = false;  // read by the network for images without colour (not stored)
};

// The solved camera is refined on the board's ring and wire edges (refineCameraByEdges) and
// the refined camera taken where they confirm it; its grade is then green (or yellow without
// a sure 20) from 25 matched crossings on, or from 25 explained ones (matched, or confirmed by
// the image's wires) that are also the share below of the detections on the board's face as
// the camera puts it (strays beside the board explain nothing). A camera whose own edges
// contradict it, or say nothing of it, is red; one they hold as its crossings placed it
// (camera_edges' startHeld) or its wires confirm where the rings hardly show is graded on
// its crossings. The 20 is read from the printed numbers on a camera its edges
// confirm, and on one solved from crossings moved onto the image's wires that its edges do
// not contradict.
// Where that leaves no accepted camera and the board is small in the image, the network
// looks again at the part the board fills (smallBoardBoxes), and where still none is, at the
// box round a board wide but flat in the image (boardExtentBox), enlarged; the better solution
// is kept.
// An image without colour (isColourFree) is read by the model's network for such images where
// it has one, the image turned grey; every other image by its network as before.
// The caller guarantees an 8-bit BGR image. Exceptions of the network pass on; a start the
// solver cannot handle is skipped.
LandmarkSolution detectBoardLandmarks(LandmarkModel& model, const cv::Mat& image);
// Everything after the network: the bull, the starts, the solve, the edges, the orientation and
// the grade from the kept detections of the image. Fills the solution's fields but its times.
// Once `stop` (where given) is set, the solve ends at its next stage with no camera: its
// caller no longer wants it.
void solveBoardLandmarks(const LandmarkDetections& kept, const cv::Mat& image, LandmarkSolution& solution,
                         const std::atomic<bool>* stop = nullptr);

// Share of treble and double bed samples whose hue is the one the estimate expects.
double colourParityScore(const CameraEstimate& e, const cv::Mat& hsv);

// Grade from the matched crossings, their RMS, the orientation and the image size.
int32_t gradeSolution(int32_t matched, double rmsPx, bool twentySure, int width, int height);
// The grade the detector gives a camera the edges hold without supporting its refinement: the
// rule above, and red as well when the camera leaves more than three tenths of the detected
// crossings unexplained. A camera a few pixels off the board still matches many crossings
// within a quarter of their spacing at an RMS under the limit;
// what gives it away is the crossings it cannot place: the wrong cameras of exact landmarks
// explain at most 0.61 of them. A right camera does not explain all of a trained network's
// crossings either: the network places one crossing in five or six just beyond a quarter of
// the spacing (the treble and double wires lie 8 mm apart), so right cameras explain 0.75 to
// 0.85 of what it reports, and a tenth was more than any network we have reaches.
constexpr double kMinExplainedCrossings = 0.7;
// On a small or blurred board the treble and double wires lie a few pixels apart and a
// quarter of their spacing is under a pixel, so right cameras explain as little as 0.6 of the
// crossings reported; where the wire edges confirm the camera, this many matched crossings
// (over all five rings) hold its scale instead.
constexpr int kMinWireConfirmedCrossings = 40;
// The camera must explain its matched crossings about as well as a plane mapping of the same
// pairs (RMS at most 1.2 times the plane's plus 0.2 px); a camera that does not is refused
// with this reason ("ok" false).
constexpr double kMaxRmsOverPlane = 1.2;
constexpr double kRmsOverPlaneSlackPx = 0.2;
// The detections a camera explains beyond its close matches (explainCrossingsOnWires): within
// half the crossings' spacing of a crossing whose wires the image shows within a pixel of
// where the camera puts them. A camera a pixel or more off finds the wires that far away.
constexpr double kWireExplainedTolerance = 0.5;
constexpr double kWireExplainedAgreementPx = 1.0;
constexpr const char* kCameraContradictsCrossings = "Kamera erklaert die Kreuzungen nicht";
int32_t gradeSolution(int32_t matched, int32_t detected, double rmsPx, bool twentySure, int width, int height);

}  // namespace tarv
