// The network's wire crossings moved onto the wires of the image. The network places a
// crossing a pixel or three off where the board is seen at a grazing angle, while there the
// neighbouring crossings lie only 7 to 11 px apart; the wires themselves are found to a
// fraction of a pixel. A first camera gives each matched crossing its ring and wire
// directions; the ring wire is then looked for across the ring and the radial wire across the
// wire, each as a thin band over a colour step, on the camera's board plane.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/camera_solve.h"

namespace tarv {

// Where the wire crossing `reference` (an index of referenceCrossings()) lies in the 8-bit BGR
// image, each wire searched within 3 mm (board) of where the camera puts it (and within 0.4
// of the way to the next wire); none where a wire is not clearly seen there (hidden, worn
// away, out of the image, or other edges as strong).
std::optional<cv::Point2d> locateWireCrossing(const cv::Mat& image, const CameraEstimate& camera, int reference);

struct RefinedCrossings {
  std::vector<cv::Point2d> crossings;  // the detections, those refined replaced
  int matched = 0;                     // detections the camera matched
  int refined = 0;                     // of those, moved onto their wires
};

// Each detection the camera matches (within `tolerance` of the crossings' spacing) is replaced
// by the wire crossing found near it, when one is found within that tolerance of the
// detection itself; the others stay as the network placed them.
RefinedCrossings refineCrossingsOnWires(const cv::Mat& image, const CameraEstimate& camera,
                                        const std::vector<cv::Point2d>& crossings, double tolerance);

// The same before a camera fits the board to a pixel: each detection the camera matches within
// `tolerance` is moved onto the wire junction nearest to it, searched about the detection itself
// with the camera's directions and spacing of the wires there (a camera several pixels off
// still has those), or, where that finds no wire, about where the camera puts the junction; it
// is kept only where the search settles within 0.45 of the spacing of the detection.
RefinedCrossings snapCrossingsOnWires(const cv::Mat& image, const CameraEstimate& camera,
                                      const std::vector<cv::Point2d>& crossings, double tolerance);

struct WireSolve {
  bool moved = false;                  // the camera below is solved from moved crossings
  CameraEstimate camera;               // else a copy of the start
  MatchScore score;                    // its matches among `crossings` (tolerance 0.25)
  std::vector<cv::Point2d> crossings;  // the crossings it was solved from
  int refined = 0;                     // of those, moved onto their wires
};

// Rounds of moving the crossings onto the wires about the latest camera (each from the
// network's own crossings) and solving the camera again from them. A round is kept when its camera matches at least as many of its
// crossings as the latest camera matched of its own (`startScore` for the start) with a
// smaller RMS; the rounds end at the first that is not kept.
WireSolve solveOnWireCrossings(const cv::Mat& image, const CameraEstimate& start, const MatchScore& startScore,
                               const std::vector<cv::Point2d>& crossings, cv::Point2d bull);

// The detections moved onto their wire junctions about the latest camera (snapCrossingsOnWires,
// each round from the network's own `detections`) and the camera solved again from them, for at
// most `rounds` rounds. A round is kept when its camera matches more of its crossings than the
// latest camera matched of its own (as many with a smaller RMS). With `whileMoreMoved` a round
// that moves more detections onto their wires than the latest kept one (`movedBefore` for the
// start) is kept as well while it matches only a few fewer: each round's crossings are a set of
// their own, and a camera drawn onto the wires leaves a few of those the network placed beyond
// the tolerance. `refined` is the kept round's count of moved detections.
WireSolve snapOnWireCrossings(const cv::Mat& image, const CameraEstimate& start, const MatchScore& startScore,
                              const std::vector<cv::Point2d>& detections, cv::Point2d bull, int rounds,
                              bool whileMoreMoved, int movedBefore);

// The detections a camera explains: those it matches within a quarter of the crossings'
// spacing, and beyond them those within `tolerance` of a crossing whose wires the image shows
// where the camera puts them (within `agreePx`). On a grazing view the network places one
// crossing in three or four beyond a quarter of the spacing of the treble and double wires,
// 8 mm apart; the wires there confirm the camera as well as a close detection does, while a
// camera a few pixels off finds them that far from where it puts them.
struct ExplainedCrossings {
  int matched = 0;    // within a quarter of the spacing
  int confirmed = 0;  // beyond it, their wires where the camera puts them
  int explained() const { return matched + confirmed; }
};
ExplainedCrossings explainCrossingsOnWires(const cv::Mat& image, const CameraEstimate& camera,
                                           const std::vector<cv::Point2d>& crossings, double tolerance, double agreePx);

}  // namespace tarv
