// The one edge judgement of a camera: on the edges it found, each ring octant and the wires
// support it, contradict it or say nothing, and the rules that read a judgement (supported,
// contradicted, confirmed by its wires).
#pragma once

#include <nlohmann/json.hpp>

#include "tarv/autocal/edge_search.h"

namespace tarv {

using json = nlohmann::json;

// The judgement: as the board fit's ring judgement (an edge within kAgreePx agrees, an octant
// in view has at least kMinOctantPoints ring points in the image, it supports the camera when
// kSupportShare of them agree and contradicts it when kFoundShare found an edge and most of
// those disagree). The start, a solve on the network's crossings, is allowed a pixel or two:
// it contradicts the edges only when they lie beyond kStartAgreePx of it.
constexpr double kInlierPx = 2.0;
// The distances above were set where a board mm spans up to this many pixels across the edge.
// Seen larger, a wire shows both its sides and a real board its bends and wear over more
// pixels than they allow: rendered rig boards at 1920x1080 (about 2 px a mm) whose right
// cameras lay 0.4 to 0.7 px off were refused, their wires' edges found 1.4 px to either side.
// Judged in board mm, an edge's distance counts as the pixels it would span at this scale.
constexpr double kJudgedPxPerMm = 1.5;
// Ring bands located as a whole lie closer to a right camera than single edges did (0.45 px
// rms at true cameras 10 to 20 degrees above the board, against 0.8 to 1.0): a ring agrees at
// this share of the distance a wire does, else cameras 1.1 to 1.5 px off the ring pass as on it.
constexpr double kRingAgreeShare = 2.0 / 3.0;
constexpr double kAgreePx = 1.5;
constexpr double kStartAgreePx = 3.0;
constexpr int kMinOctantPoints = 10;
// A ring band the fit reaches only at the end of its search lies beyond it: where the camera's
// lens bend was traded off (k1 0.19 against 0), its double ring lay 5 px outside the band over an
// octant whose bands were then all beyond reach (28 of 30), found nowhere and so saying nothing,
// while the octants beside it supported a camera 1.4 px off. A refined camera lies on its edges;
// an octant whose bands mostly lie beyond it contradicts it (right cameras: half at most seen,
// where the ring leaves the image).
constexpr double kBeyondShare = 0.75;
constexpr double kSupportShare = 0.3;
constexpr double kFoundShare = 0.4;
// Share of the wire points in view that must agree: a wire is found all along or not at all.
constexpr double kWireSupportShare = 0.5;
// A board seen low and soft shows its wires' edges under the strength they need along long
// stretches (a true camera: 80 of 173 found, 75 of those on it), as it does its rings' edges.
// Wire points whose edge was not found say nothing: the wires support a camera where those
// found are at least this share of the points in view and half of them agree with it.
constexpr double kWireShownShare = 0.4;
// The start's contradiction: octants of a ring that contradict it, the share of the found wire
// points that must agree (right starts: 0.9 and more; 15 px off: 0.6).
constexpr int kContradictingOctants = 2;
constexpr double kWireAgreeShare = 0.8;
// Wires alone confirm the start when this share of their points in view is found and this
// share of those agrees with it.
constexpr double kWireFoundShare = 0.75;
constexpr double kWireConfirmShare = 0.95;
// How far alternate wires may lean to opposite sides ("wires_dark_side"), searched in steps
// either way.
constexpr double kMaxWireLeanPx = 3.0;
constexpr int kWireLeanSteps = 12;

// The judgement of a camera on edges collected with it (keys as the board fit's refinement
// report, plus "wire_points": [in view, found, within agreePx]). agreePx is the distance at
// which an edge agrees with the camera; each edge is expected where the edge model puts it
// (none: on its board point's projection). With
// bandsBeyondDisagree, a ring octant most of whose bands lie beyond the search contradicts the
// camera (a refined camera, which the edges were fitted to, not a start allowed pixels off).
// With inMm, where the board is seen larger than kJudgedPxPerMm, the distances are judged in
// board mm.
json judgeCameraOnEdges(const CameraEdgeMatches& matches, double agreePx, const EdgeModel& model = {},
                        bool bandsBeyondDisagree = false, bool inMm = false);

// Rings in view whose edges were found nowhere.
bool ringsSilent(const json& judgement);
// The board fit's ring judgement, one octant of a ring allowed to disagree.
bool ringsSupport(const json& judgement);
// The edges contradict the camera: its rings lie off them, or its wires do.
bool contradicted(const json& judgement);
// The wires found along most of their length and nearly all of them on the camera (and at most
// one ring octant against it, where ringsAsked).
bool wiresConfirm(const json& judgement, bool ringsAsked = true);
// No ring has kContradictingOctants octants whose fainter edges lie off the camera.
bool fainterRingsAgree(const json& fainterJudgement);
// The share of the wire points found that agree with the camera.
double wireShare(const json& judgement);
// Every ring in view supported by more than half its octants.
bool ringsCorrected(const json& judgement);
// The wires found over kWireShownShare of their points in view, half of those agreeing.
bool wiresAgree(const json& judgement);
// The share of the wire points found that agree with the camera where alternate wires lean to
// opposite sides by the lean that explains the most of them (at least wireShare).
double darkSideWireShare(const json& judgement);
// The edges hold the camera all along: nearly every edge point an inlier, nearly every wire
// point found agreeing, no ring octant against it and every ring in view held by most of its
// octants.
bool edgesHoldAlone(const json& judgement);

}  // namespace tarv
