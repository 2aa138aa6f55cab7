// Automatic board calibration from one camera image: the board-to-image homography found from
// the coloured beds, the wires and the ring edges, or refined from a marker homography, then
// judged and turned to the right sector.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/bed_ellipse.h"
#include "tarv/autocal/calibration_error.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

struct BoardFitCandidate {
  std::string name;  // initial fit and line limit, such as RING_ELLIPSE_120
  cv::RotatedRect ellipse;
  Homography initial{};
  Homography refined{};
  json wireReport;
  json refinementReport;
  double landmarkMedianMm = 99.0;
  int64_t landmarkCount = 0;
};

// The result document for an 8-bit BGR image and an engine request ("initial", "landmarks",
// "click_px", "prior"). A fit that fails answers {"accepted": false, "error": code}; OpenCV
// failures {"accepted": false, "error": "OPENCV: ..."}. Malformed request values raise the
// JSON library's errors.
json fitBoardGeometry(const cv::Mat& image, const json& request);

// What a caller other than the engine's command may loosen.
struct BoardFitOptions {
  // Longest to shortest axis of the outer ring's ellipse.
  double maxEllipseAspect = kBoardEllipseMaxAspect;
  // Without a click or a prior the best fit is answered unturned, "orientation_source" "NONE",
  // instead of failing: the caller decides the orientation.
  bool orientationOptional = false;
};
json fitBoardGeometry(const cv::Mat& image, const json& request, const BoardFitOptions& options);

// The fit of an image reduced by the scale from the one the request's pixel values refer to:
// those values are brought to the reduced image, and the result's pixel values back.
json fitReducedBoardGeometry(const cv::Mat& reduced, const json& request, double scale);
json fitReducedBoardGeometry(const cv::Mat& reduced, const json& request, double scale, const BoardFitOptions& options);

// The acceptance rule on a refinement report ("rms_px", "inlier_fraction", "octants").
bool isFitAcceptable(const json& refinementReport);
// The ring judgement on a refinement report's "ring_octants" ([in view, supporting,
// contradicting] octants of the treble and the double ring): on each ring no octant in view
// contradicts the fit and at least half of them (and at least one) support it. A report
// without the counts passes.
bool followsTheRings(const json& refinementReport);
// True when a sorts before b: acceptable (by the rule and the ring judgement) first, then the
// lower landmark score, then the lower rms.
bool compareFitCandidates(const BoardFitCandidate& a, const BoardFitCandidate& b);

// H with the board frame turned by k sectors (18·k degrees) before it.
Homography rotateBoardFrame(const Homography& h, int k);
// Degrees between the board direction of the image point and the middle of sector 20.
double angleFromSectorTwenty(const Homography& h, Point2 imagePoint);

}  // namespace tarv
