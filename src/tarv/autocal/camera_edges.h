// The landmark camera refined on the board's edges: the crossings the network places are good
// to a pixel or two, the ring and wire edges of the image to a fraction of one. The camera
// (pose, focal length and k1; the optical centre stays) is fitted to the edges found along
// the normals of its own projected rings and wires, each edge counting only across itself,
// and the result is judged on the edges it finds once more.
// Its steps: the board's edge points (edge_points), the edges found about a camera
// (edge_search, ring_band), the judgement of a camera on them (edge_judgement), the fit to them
// (edge_fit) and the double band's check (double_band); here the rounds, the follow-up
// refinements and the beds' depth.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

using json = nlohmann::json;

struct CameraEdgeFit {
  // The refined camera explains the edges: the board fit's acceptance rule holds on them, each
  // ring is followed (at most one octant off, three quarters of those in view confirmed), the
  // wires agree, and it still places the crossings the solve matched.
  bool supported = false;
  // The starting camera's own edges contradict it (within a looser distance than the refined
  // camera's): on a ring two octants or more whose edges lie mostly off it, a fifth of the
  // wire edges found, or the wires missing where a ring shows. Edges not found at all do not
  // count against it.
  bool contradicted = false;
  // Neither: the start's rings hardly show (a small or blurred board whose narrow beds merge
  // into one edge) and none of their octants contradict it (nor two octants of a ring where
  // only fainter edges show), while nearly all the wire edges in view are found within the
  // refined camera's distance of the start. The wires fix the pose about the bull; the
  // board's scale is left to the crossings.
  bool wiresConfirm = false;
  // The start as its crossings place it, held by its own edges though the refinement does not
  // support it: no ring octant against it and three quarters of those where a ring shows for it
  // within the start's distance, and its wires found along three quarters of their length and
  // nearly all of those within the refined camera's distance of it. The wires fix its turn and
  // centre; its scale is left to the crossings. A start the edges say nothing of (the board
  // elsewhere in the image: its wires found along a third of their length) is not held.
  bool startHeld = false;
  CameraEstimate camera;  // the refined camera when supported, else a copy of the start
  // The camera fitted to the edges whatever the judgement; none when the edges ran out.
  std::optional<CameraEstimate> fitted;
  // The edges are fitted on the face, the wires standing off it; `camera` and `fitted` are
  // handed on with their board plane halfway up the wires, where the network's crossings and a
  // start solved on them lie. The face lies this far below `camera`'s plane (0 for the start),
  // and below `fitted`'s.
  double wireHeightMm = 0.0;
  double fittedWireHeightMm = 0.0;
  json report;            // the refined camera's edge statistics and the start's judgement
  // Of the wire points found about `camera` when supported, the share within 1.5 px of it.
  double wireAgreement = 0.0;
  // The same where alternate wires lean to opposite sides as far as explains the most (a wire's
  // edge shows on its dark side, farther off where it stands off the face).
  double darkSideWireAgreement = 0.0;
};

// Of the wire points found about a camera its edges support, the share that must lie on it for
// the camera to count as confirmed: the rings alone can hold a low camera several pixels off
// (4.7 px seen, 0.73 of its wires on it), while right cameras mostly keep 0.82 and more
// (a few refined low cameras within a pixel keep less, and are refused with it).
constexpr double kMinConfirmingWireShare = 0.8;
// A camera its edges confirm with its wires beside it over a stretch is not confirmed, unless
// alternate wires lean to opposite sides, as a wire seen by its dark side's edge does; the
// report then says "wires_beside" with the plain share.
void refuseWiresBeside(CameraEdgeFit& edges);

// The camera on the board's face.
CameraEstimate onFace(const CameraEdgeFit& edges);

// grey: 8-bit single channel. crossings: the detections the solve matched against; the
// refined camera must match at least 0.8 of those the start matches, and raise
// their mean square distance by at most 0.75 px². Where the refinement loses the wires that
// agree with the start nearly all along (0.15 of those found) and the start's own edges
// support it as they would the refined camera (its fainter ring edges not lying off it over
// two octants of a ring), the start stands, supported ("start_kept").
CameraEdgeFit refineCameraByEdges(const cv::Mat& grey, const CameraEstimate& start,
                                  const std::vector<cv::Point2d>& crossings);

// The same, continued from the fitted camera while the edges do not yet support it: a camera
// several pixels off (the few, loosely placed crossings of a board seen at a grazing angle)
// is drawn only part of the way onto its edges by one refinement, whose edge search starts
// from where the camera puts them. At most `calls` refinements; the judgement of the start
// (contradicted, wiresConfirm) is the first one's. A later camera is taken only when its own
// refinement supports it and, against the start, it still places at least the share of the
// crossings (or 0.6 of them where its wires agree with it all along) and raises their mean
// square no more than one refinement allows, within twice the distance one refinement may
// move, its wires agree with it nearly all along (nine in ten of those found: the rings alone
// can hold a grazing camera a bed's width off), and one more refinement from it supports it
// and leaves it where it is.
// With inMm, every judgement on the way is made in board mm (judgeCameraOnEdges), for a
// board seen larger than the pixel distances were set for.
CameraEdgeFit followCameraByEdges(const cv::Mat& grey, const CameraEstimate& start,
                                  const std::vector<cv::Point2d>& crossings, int calls, bool inMm = false);

// Whether a board mm spans more than kJudgedPxPerMm pixels across the camera's double ring
// somewhere.
bool seenLargerThanJudged(const CameraEstimate& camera);

}  // namespace tarv
