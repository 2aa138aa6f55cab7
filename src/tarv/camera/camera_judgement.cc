#include "tarv/camera/camera_judgement.h"

#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/camera_edges.h"

namespace tarv {
namespace {

// The wires that hold a camera seen low: found along this share of their points in view, and
// of those found this share within the edge judgement's distance of the camera; the camera
// fitted to the edges no farther than this from the fit's own (pixels, mean over the ring).
constexpr double kMinWireFoundShare = 0.5;
constexpr double kMinWireAgreeShare = 0.85;
constexpr double kMaxFittedShiftPx = 8.0;
constexpr int kMinSupportingOctants = 2;

// A board seen low shows its rings' edges in few octants (the ring runs nearly along the line
// of sight there), so the rings' share of octants in view cannot confirm it; the wires, which
// cross the line of sight, still can. The camera fitted to the edges stands when the edge fit's
// acceptance rule holds, no ring octant is against it and every octant where a ring shows
// supports it (two octants at least in all), and the wires are found along half their length
// or more with nearly all of those found on the camera.
bool wiresHoldTheCamera(const json& judgement) {
  if (!isFitAcceptable(judgement) || !judgement.contains("ring_octants") || !judgement.contains("wire_points")) return false;
  if (!(judgement.value("shift_px", 1e9) <= kMaxFittedShiftPx)) return false;
  // Edges that a camera a bed's width off follows as well as the right one's do not hold it.
  if (judgement.value("double_band_missing", false)) return false;
  int supportingOctants = 0;
  for (size_t r = 0; r < judgement["ring_octants"].size(); ++r) {
    const json& ring = judgement["ring_octants"][r];
    const int supporting = ring[1].get<int>(), contradicting = ring[2].get<int>();
    const int seen = judgement["ring_octants_seen"][r].get<int>();
    if (contradicting > 0 || supporting < seen) return false;
    supportingOctants += supporting;
  }
  // Wires alone, with no ring edge anywhere, leave the board's scale open.
  if (supportingOctants < kMinSupportingOctants) return false;
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return inView > 0 && found >= kMinWireFoundShare * inView && agreeing >= kMinWireAgreeShare * found;
}

// Edges alone cannot tell a ring from the edge one bed beside it where the beds are as dark as
// the number ring (a board of another make, a dim image): refining a start a bed's width inside
// the rings, the fit may find every ring edge in place there. The network's crossings still lie
// on the wires' rings: where it found enough of them to grade a camera, one that places under
// this share of them is not taken (such a camera: 0.3). Precision first: on low views, where
// the network's crossings scatter, this also refuses board fit cameras that lay 0.8 to 2.6 px
// off (0.2 to 0.37 of the crossings placed).
constexpr double kMinCrossingShare = 0.4;

bool crossingsGainsay(const CameraEstimate& camera, const LandmarkSolution& landmark, json& report) {
  const int detected = static_cast<int>(landmark.crossings.size());
  if (detected < kMinGradedCrossings) return false;
  const int matched = scoreCameraEstimate(camera, landmark.crossings, 0.25).matches;
  report["crossings_matched"] = {matched, detected};
  return matched < kMinCrossingShare * detected;
}

}  // namespace

CameraJudgement judgeCameraOnEdges(const cv::Mat& grey, const CameraEstimate& start, const LandmarkSolution& landmark,
                                   json& report) {
  // The same judgement of the camera on the image's own ring and wire edges as the landmark
  // road's: no crossings to keep here, the edges alone decide.
  CameraEdgeFit edges = refineCameraByEdges(grey, start, {});
  refuseWiresBeside(edges);
  if (edges.report.contains("wires_beside")) report["wires_beside"] = edges.report["wires_beside"];
  report["edges_confirm"] = edges.supported;
  report["edges"] = {{"rms_px", edges.report.value("rms_px", 99.0)},
                     {"octants", edges.report.value("octants", 0)},
                     {"shift_px", edges.report.value("shift_px", 0.0)},
                     {"inlier_fraction", edges.report.value("inlier_fraction", 0.0)},
                     {"ring_octants", edges.report.value("ring_octants", json())},
                     {"ring_octants_seen", edges.report.value("ring_octants_seen", json())},
                     {"stopped", edges.report.value("stopped", json())},
                     {"wire_points", edges.report.value("wire_points", json())}};
  const bool wiresHold = !edges.supported && edges.fitted && wiresHoldTheCamera(edges.report);
  report["wires_hold"] = wiresHold;
  CameraJudgement out;
  const CameraEstimate& onWires = edges.supported ? edges.camera : wiresHold ? *edges.fitted : start;
  out.confirmed = (edges.supported || wiresHold) && !crossingsGainsay(onWires, landmark, report);
  // The record's camera lies on the face, below the plane halfway up the wires that the
  // crossings lie on.
  out.camera = edges.supported ? onFace(edges) : raisedBy(onWires, wiresHold ? -edges.fittedWireHeightMm : 0.0);
  out.rmsPx = edges.report.value("rms_px", 99.0);
  return out;
}

}  // namespace tarv
