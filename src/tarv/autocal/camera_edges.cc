#include "tarv/autocal/camera_edges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>

#include "tarv/autocal/board_fit.h"  // the board fit's acceptance rule
#include "tarv/autocal/double_band.h"
#include "tarv/autocal/edge_fit.h"
#include "tarv/autocal/edge_judgement.h"
#include "tarv/autocal/edge_points.h"
#include "tarv/autocal/edge_search.h"
#include "tarv/autocal/ring_edges.h"

namespace tarv {
namespace {

// Rounds of edge search and fit, each keeping the edges within its distance of the camera.
constexpr std::array<double, 3> kRoundThresholds{4.0, 3.0, 2.0};
constexpr size_t kMinMatches = 40;
// The refinement corrects what the crossings left: a ring that moves farther than this has
// followed some other edge.
constexpr double kMaxShiftPx = 8.0;
// Crossings the refined camera may lose against the start's: the edges are more precise than
// the crossings, so those at the tolerance's border may fall out (up to 0.82 of them kept by
// right cameras), never a stretch of them.
constexpr double kKeptCrossingShare = 0.8;
// The start is the crossings' own best fit: a camera moved by d px from it raises their mean
// square by about d², whatever the network's scatter. Edges that pull the camera most of a
// pixel off the crossings as a whole belong to another board than the one the crossings were
// taken for (wider beds, a wire drawn off its radius: 0.96 px² seen); right cameras measured
// at most 0.56 px².
constexpr double kMaxCrossingRmsGainPx2 = 0.75;
// A network that places its crossings 2 px apart from where they are (a board it reads
// poorly) leaves the right camera up to a third of their mean square away from their own best
// fit (2.0 -> 2.3 px seen); where their scatter is that wide, the gain they allow grows with it.
constexpr double kMaxCrossingRmsGainShare = 0.35;
// A start several pixels off that the edges had to be followed from is not the crossings' best
// fit but a compromise among loosely placed ones (2 px and more at a grazing angle): the
// camera on the edges may raise their mean square by up to this share of the start's.
constexpr double kFollowedRmsGainShare = 0.6;
// How far one more refinement may move a followed camera that the edges hold (right cameras:
// 0.3 px at most seen).
constexpr double kSettledShiftPx = 0.5;
// A followed camera has left its crossings' own fit by several pixels, and on a grazing view
// the rings' edges alone can hold it a bed's width off (seen: 4.7 px), where the wires then
// lie beside it along much of their length (0.70 of those found agreeing); the wires of right
// followed cameras agree nearly all along (0.97 and more seen).
constexpr double kFollowedWireAgreeShare = 0.9;
// A followed camera whose wires agree with it all along (as wires that confirm a start do) may
// keep fewer of the crossings the start matched: a start 4 px off matches, among crossings
// placed 2 px off, many that the right camera leaves beyond the tolerance (right cameras: 0.61
// and 0.67 of them kept).
constexpr double kWireHeldKeptCrossingShare = 0.6;
// A start solved on the network's crossings lies within a pixel or two of the board, a few at
// a grazing angle; a refinement that moves it farther has either corrected a loose start, and
// then the wires agree with it nearly all along (right cameras moved 2.5 to 5 px: 0.92 and
// more), or taken one ring's edge for its neighbour's on the foreshortened side, where the
// wires then lie beside it along a stretch (seen: moved 5.4 px, 0.60 agreeing, 6.4 px off).
constexpr double kFarShiftPx = 3.0;
// A start whose own edges support it, its wires agreeing nearly all along, stands against a
// refinement that loses this share of them: on a grazing view the rings' edges can pull a
// camera off the wires that confirm it (0.94 -> 0.51 of the wire points found agreeing, the
// ring 0.4 -> 1.0 px off the true one; refinements that improve a camera lose 0.1 at most).
constexpr double kStartWireShare = 0.9;
constexpr double kRefinedWireLoss = 0.15;
// The beds' inner edges join the fit when at least this many are found on each ring and their
// median lies within this distance (board mm) of the camera fitted to the outer edges: where
// the wire's far side makes the edge, a bed looks up to a wire's width wider on each side,
// which the outer edges' camera leaves on the inner ones (seen up to 1.7 mm); a board with
// 10 mm beds has them 2 mm farther in still.
constexpr size_t kMinInnerEdges = 60;
constexpr double kInnerEdgeAgreeMm = 2.0;
// Board points fitted with the focal length and k1 free: fewer leave them to the solve.
constexpr size_t kMinIntrinsicMatches = 150;
// Seen 10 to 20 degrees above the board, the board fills a narrow strip of the image and the
// lens bend trades against the focal length: fits from starts a pixel or two off (a start's k1
// from the crossings already 0.34 against 0) ended with a pincushion of 0.2 and the rings
// 1.3 px off, their edges supporting it. Lenses bend barrel-wise or hardly at all (renders:
// k1 -0.24 to +0.04); a fit that ends with more pincushion than this has traded it, and is
// fitted again with k1 held (as the camera had it before the fit, or at none where that was
// such a pincushion too), the focal length free.
constexpr double kMaxFittedK1 = 0.1;

// The double ring's edge lies within a wire's width and a half of 170 mm; a fit that puts it
// farther has traded the board's scale for it and is fitted again without the offset.
constexpr double kMaxOuterOffsetMm = 1.5;
constexpr double kMinOuterOffsetMm = 0.5;
// A board's wires are up to a couple of mm wide and stand up to a few mm off the face; a fit
// that puts them beyond has traded the camera for them.
constexpr double kMaxWireWidthMm = 2.5;
constexpr double kMaxWireHeightMm = 3.0;
constexpr double kMinWireHeightMm = 0.4;

// The wires' width and height are told from the edges on either side of them only where the
// camera sees the board from this far above it and large (a board mm over kJudgedPxPerMm):
// lower or smaller, the narrow beds' bands and the wires' sides blur into each other, and the
// fit found 1 mm wires 1.5-2.5 mm wide and 1.3-2 mm high and moved right cameras off (10-20
// degrees at 800x600: 27 of 40 accepted down to 21).
constexpr double kMinWireSidesElevationDeg = 20.0;
bool wireSidesApart(const CameraEstimate& camera) {
  const cv::Vec3d c = cameraCentre(camera);
  return std::atan2(c[2], std::hypot(c[0], c[1])) * 180.0 / CV_PI >= kMinWireSidesElevationDeg &&
         seenLargerThanJudged(camera);
}

bool modelPlausible(const EdgeModel& model) {
  return std::abs(model.outerMm) <= kMaxOuterOffsetMm && model.wireWidthMm >= 0.0 &&
         model.wireWidthMm <= kMaxWireWidthMm && model.wireHeightMm >= 0.0 && model.wireHeightMm <= kMaxWireHeightMm;
}

// Rounds of edge search and fit from the start; none (with the reason in the report) when the
// edges run out or the camera leaves the plausible range. With the beds' inner edges the
// double ring's edge offset (the model's outerMm, in and out) is fitted as well: the wire at
// 170 mm has a bed on one side and the dark surround on the other, and its strongest edge lies
// off the wire's middle by up to a wire's width as blur and scale take it; the inner edges,
// wires between two beds, hold the board's scale meanwhile. With the focal length the wires'
// width and height are fitted: the sides of a wire a camera sees apart (the foot of the side
// facing it, the top of the other) place the face below them.
std::optional<CameraEstimate> fitInRounds(const CameraEstimate& start, EdgeSearch& search, bool innerEdges,
                                          bool freeOuter, double ringMinResponse, json& report, EdgeModel& model) {
  CameraEstimate current = cloneCameraEstimate(start);
  for (const double threshold : kRoundThresholds) {
    const std::shared_ptr<const CameraEdgeMatches> collected = search.matches(current, innerEdges, ringMinResponse, true);
    const CameraEdgeMatches& matches = *collected;
    if (matches.board.size() < kMinMatches) {
      report["stopped"] = "TOO_FEW_EDGE_MATCHES";
      return std::nullopt;
    }
    // Twice per round: the edges within the round's distance of the camera, then of the camera
    // fitted to them.
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<size_t> all(matches.board.size());
      for (size_t i = 0; i < all.size(); ++i) all[i] = i;
      const std::vector<double> r = edgeResiduals(current, matches, all, nullptr, model);
      std::vector<size_t> use;
      for (size_t i = 0; i < r.size(); ++i) {
        if (std::abs(r[i]) < threshold) use.push_back(i);
      }
      if (use.size() < kMinMatches) {
        report["stopped"] = "TOO_FEW_EDGE_MATCHES";
        return std::nullopt;
      }
      const bool intrinsics = use.size() >= kMinIntrinsicMatches;
      // The focal length and k1 free, and the wires' width and height where asked; k1 held where
      // the fit traded it for a pincushion.
      const auto fitFree = [&](bool wires, const EdgeModel& from, EdgeModel& fittedModel) {
        fittedModel = from;
        CameraEstimate fitted = fitToEdges(current, matches, use, {intrinsics, freeOuter, true, wires}, fittedModel);
        if (intrinsics && plausible(fitted) && fitted.dist.at<double>(0) > kMaxFittedK1) {
          CameraEstimate unbent = cloneCameraEstimate(current);
          if (!(unbent.dist.at<double>(0) <= kMaxFittedK1)) unbent.dist.at<double>(0) = 0.0;
          fittedModel = from;
          fitted = fitToEdges(unbent, matches, use, {true, freeOuter, false, wires}, fittedModel);
        }
        return fitted;
      };
      EdgeModel fittedModel;
      const bool wires = intrinsics && wireSidesApart(current);
      CameraEstimate fitted = fitFree(wires, model, fittedModel);
      // Wires a few tenths of a mm high are what the pose and their width trade on a flat
      // board's scatter (flat renders: up to 0.2 mm, the camera moved by up to 0.35 px); the
      // wires are modelled only where they plainly stand off the face.
      if (wires && plausible(fitted) && !(modelPlausible(fittedModel) && fittedModel.wireHeightMm >= kMinWireHeightMm)) {
        EdgeModel flat = model;
        flat.wireWidthMm = flat.wireHeightMm = 0.0;
        fitted = fitFree(false, flat, fittedModel);
      }
      if (!plausible(fitted) || !modelPlausible(fittedModel)) {
        fittedModel = model;
        fitted = fitToEdges(current, matches, use, {false, false}, fittedModel);
      }
      if (!plausible(fitted)) {
        report["stopped"] = "IMPLAUSIBLE_CAMERA";
        return std::nullopt;
      }
      current = std::move(fitted);
      model = fittedModel;
    }
  }
  return current;
}

// Whether the beds' inner edges lie where a regulation board has them (99 and 162 mm) for a
// camera fitted to the outer edges: on each ring enough of them found, their median within
// kInnerEdgeAgreeMm. Boards differ there (beds of 8 to 10 mm); the outer edges they share.
bool innerEdgesAgree(const CameraEstimate& camera, EdgeSearch& search, double ringMinResponse, json& report) {
  const std::shared_ptr<const CameraEdgeMatches> collected = search.matches(camera, true, ringMinResponse);
  const CameraEdgeMatches& m = *collected;
  std::array<std::vector<double>, 2> offsets;
  for (size_t i = 0; i < m.board.size(); ++i) {
    if (m.kind[i] != 3) continue;
    offsets[std::hypot(m.board[i].x, m.board[i].y) < 130.0 ? 0 : 1].push_back(m.offsetPx[i] / m.pxPerMm[i]);
  }
  json medians = json::array();
  bool agree = true;
  for (std::vector<double>& o : offsets) {
    if (o.size() < kMinInnerEdges) {
      medians.push_back(nullptr);
      agree = false;
      continue;
    }
    std::nth_element(o.begin(), o.begin() + static_cast<long>(o.size() / 2), o.end());
    const double median = o[o.size() / 2];
    medians.push_back(median);
    agree = agree && std::abs(median) <= kInnerEdgeAgreeMm;
  }
  report["inner_edge_median_mm"] = medians;
  return agree;
}

CameraEdgeFit refineOnEdges(const cv::Mat& grey, EdgeSearch& search, const CameraEstimate& start,
                            const std::vector<cv::Point2d>& crossings, bool inMm) {
  CameraEdgeFit out;
  out.camera = cloneCameraEstimate(start);
  std::shared_ptr<const CameraEdgeMatches> startMatches = search.matches(start, false, kEdgeMinResponse);
  double ringResponse = kEdgeMinResponse;
  if (ringsSilent(judgeCameraOnEdges(*startMatches, kStartAgreePx, {}, false, inMm))) {
    ringResponse = kFaintRingMinResponse;
    startMatches = search.matches(start, false, ringResponse);
    out.report["faint_rings"] = true;
  }
  const json startJudgement = judgeCameraOnEdges(*startMatches, kStartAgreePx, {}, false, inMm);
  out.contradicted = contradicted(startJudgement);
  out.report["start"] = startJudgement;
  const json startStrict = judgeCameraOnEdges(*startMatches, kAgreePx, {}, false, inMm);
  const json startFaint =
      ringResponse > kFaintRingMinResponse
          ? judgeCameraOnEdges(*search.matches(start, false, kFaintRingMinResponse), kAgreePx, {}, false, inMm)
          : startStrict;
  const bool faintRingsAgree = fainterRingsAgree(startFaint);
  out.report["start_faint"] = {{"ring_octants", startFaint["ring_octants"]}, {"ring_octants_seen", startFaint["ring_octants_seen"]}};
  out.wiresConfirm = !out.contradicted && wiresConfirm(startStrict) && faintRingsAgree;
  out.report["start_strict"] = {{"ring_octants", startStrict["ring_octants"]},
                                {"ring_octants_seen", startStrict["ring_octants_seen"]},
                                {"wire_points", startStrict["wire_points"]}};
  out.report["wires_confirm"] = out.wiresConfirm;
  out.startHeld = !out.contradicted && ringsSupport(startJudgement) && wiresConfirm(startStrict, false);
  out.report["start_held"] = out.startHeld;
  EdgeModel model;
  std::optional<CameraEstimate> fitted = fitInRounds(start, search, false, false, ringResponse, out.report, model);
  if (!fitted) return out;
  // A blurred bed's outer edge alone shows a little outside or inside its wire; the bed's
  // inner edge leans the other way, so with both the ring keeps its scale.
  const bool inner = innerEdgesAgree(*fitted, search, ringResponse, out.report);
  out.report["inner_edges"] = inner;
  if (inner) {
    const CameraEstimate outerFitted = cloneCameraEstimate(*fitted);
    const EdgeModel outerFittedModel = model;
    fitted = fitInRounds(outerFitted, search, true, true, ringResponse, out.report, model);
    if (!fitted) return out;
    // An offset of a few tenths is what the scale and the offset trade between them on the
    // inner edges' own scatter; only a double ring's edge plainly off its wire keeps one.
    if (std::abs(model.outerMm) < kMinOuterOffsetMm) {
      model = outerFittedModel;
      fitted = fitInRounds(outerFitted, search, true, false, ringResponse, out.report, model);
      if (!fitted) return out;
    }
  }
  const CameraEstimate face = std::move(*fitted);
  const json judgement =
      judgeCameraOnEdges(*search.matches(face, false, ringResponse), kAgreePx, model, true, inMm);
  out.report["outer_edge_offset_mm"] = model.outerMm;
  out.report["wires_mm"] = {model.wireWidthMm, model.wireHeightMm};
  // The network marks a crossing where the wires' bands cross, about half their height up.
  const double crossingsMm = 0.5 * model.wireHeightMm;
  CameraEstimate current = raisedBy(face, crossingsMm);
  const double shift = ringDistancePx(start, current);
  // The board fit's start, an ellipse on the rings, has no crossings and may lie farther off.
  const bool farFromCrossings = !crossings.empty() && shift > kFarShiftPx && wireShare(judgement) < kFollowedWireAgreeShare;
  // The crossings lie on the rings of the beds the edges are fitted with.
  const MatchScore before = scoreCameraEstimate(start, crossings, 0.25, search.wideBeds());
  const MatchScore after = scoreCameraEstimate(current, crossings, 0.25, search.wideBeds());
  for (const auto& [key, value] : judgement.items()) out.report[key] = value;
  out.report["shift_px"] = shift;
  if (farFromCrossings) out.report["far_from_crossings"] = true;
  out.report["crossings"] = {before.matches, after.matches};
  out.report["crossings_rms_px"] = {before.rmsPx, after.rmsPx};
  out.supported = isFitAcceptable(judgement) && ringsSupport(judgement) && wiresAgree(judgement) &&
                  (!out.contradicted || ringsCorrected(judgement)) && shift <= kMaxShiftPx && !farFromCrossings &&
                  after.matches >= kKeptCrossingShare * before.matches &&
                  !(after.rmsPx * after.rmsPx >
                    before.rmsPx * before.rmsPx +
                        std::max(kMaxCrossingRmsGainPx2, kMaxCrossingRmsGainShare * before.rmsPx * before.rmsPx));
  out.fitted = cloneCameraEstimate(current);
  out.fittedWireHeightMm = crossingsMm;
  if (out.supported) {
    out.camera = std::move(current);
    out.wireHeightMm = crossingsMm;
  }
  out.wireAgreement = wireShare(judgement);
  out.darkSideWireAgreement = darkSideWireShare(judgement);
  // The refinement weighs the rings' many edge points against the wires' few; where it has
  // traded the wires for the rings and the start's own edges support the start, the start stands.
  const double startWires = wireShare(startStrict), refinedWires = wireShare(judgement);
  if (!out.contradicted && faintRingsAgree && startWires >= kStartWireShare && refinedWires < startWires - kRefinedWireLoss &&
      isFitAcceptable(startStrict) && ringsSupport(startStrict) && wiresAgree(startStrict)) {
    out.supported = true;
    out.camera = cloneCameraEstimate(start);
    out.wireHeightMm = 0.0;
    out.wireAgreement = startWires;
    out.darkSideWireAgreement = darkSideWireShare(startStrict);
    out.report["start_kept"] = true;
  }
  if (doubleBandMissing(grey, out.supported ? onFace(out) : face, out.report)) {
    out.supported = false;
    out.camera = cloneCameraEstimate(start);
    out.wireHeightMm = 0.0;
    out.report["double_band_missing"] = true;
  }
  out.report["supported"] = out.supported;
  return out;
}

CameraEdgeFit followOnEdges(const cv::Mat& grey, EdgeSearch& search, const CameraEstimate& start,
                            const std::vector<cv::Point2d>& crossings, int calls, bool inMm) {
  CameraEdgeFit first = refineOnEdges(grey, search, start, crossings, inMm);
  if (first.supported || !first.fitted) return first;
  const MatchScore startScore = scoreCameraEstimate(start, crossings, 0.25, search.wideBeds());
  CameraEstimate current = cloneCameraEstimate(*first.fitted);
  for (int call = 1; call < calls; ++call) {
    CameraEdgeFit next = refineOnEdges(grey, search, current, crossings, inMm);
    if (!next.fitted) break;
    const double shift = ringDistancePx(start, *next.fitted);
    // Beyond twice one refinement's reach the edges have led the camera to some other edge.
    if (!(shift <= 2.0 * kMaxShiftPx)) break;
    if (next.supported) {
      const MatchScore after = scoreCameraEstimate(next.camera, crossings, 0.25, search.wideBeds());
      first.report["followed"] = {{"calls", call + 1}, {"shift_px", shift}, {"crossings", {startScore.matches, after.matches}},
                                  {"supported", next.report}};
      // The rings can hold a camera a bed's width off; the wires, crossing every bed, cannot.
      const json& wires = next.report["wire_points"];
      if (!(wires[2].get<int>() >= kFollowedWireAgreeShare * wires[1].get<int>())) break;
      // The crossings' judgement of the one refinement, against the start they were fitted
      // to: as many kept, their mean square raised no more.
      const double kept = wireShare(next.report) >= kWireConfirmShare ? kWireHeldKeptCrossingShare : kKeptCrossingShare;
      if (!(after.matches >= kept * startScore.matches) ||
          after.rmsPx * after.rmsPx > startScore.rmsPx * startScore.rmsPx +
                                          std::max(kMaxCrossingRmsGainPx2, kFollowedRmsGainShare * startScore.rmsPx * startScore.rmsPx)) {
        break;
      }
      // A camera the edges were followed to must stay there: one more refinement from it
      // supports it and hardly moves it. Narrow beds seen low can hold a camera a ring's
      // width off for one refinement, never for the next.
      const CameraEdgeFit again = refineOnEdges(grey, search, next.camera, crossings, inMm);
      const double settled = again.fitted ? ringDistancePx(next.camera, *again.fitted) : 1e9;
      first.report["followed"]["settled_px"] = settled;
      if (!again.supported || !(settled <= kSettledShiftPx)) break;
      first.supported = true;
      first.wireAgreement = next.wireAgreement;
      first.darkSideWireAgreement = next.darkSideWireAgreement;
      first.camera = cloneCameraEstimate(next.camera);
      first.wireHeightMm = next.wireHeightMm;
      first.fitted = std::move(next.fitted);
      first.fittedWireHeightMm = next.fittedWireHeightMm;
      return first;
    }
    // A refinement that no longer moves the camera will not move it in the next call either.
    if (!(ringDistancePx(current, *next.fitted) > 0.05)) break;
    current = cloneCameraEstimate(*next.fitted);
  }
  return first;
}

// Fitted with regulation beds to a board with 10 mm beds, the rings' edges can also support a
// camera that has traded the beds' width for a pincushion bend: the treble and double beds
// each widen outward, as such a lens draws them (the engine's lens-free boards: k1 0.06 to 0.1,
// the rings 0.3 to 0.7 px off; fitted with 10 mm beds, k1 about 0 and 0.01 to 0.1 px off).
// Real frames whose regulation cameras bend so keep that bend with 10 mm beds too.
constexpr double kPlainLensK1 = 0.04;

bool bentPincushionWise(const CameraEstimate& camera) { return camera.dist.at<double>(0) > kPlainLensK1; }

// A start whose wires lie on it nearly all along (found along most of their length) while
// the rings with regulation beds leave it unsupported may see a board with 10 mm beds: the
// edges are looked at once more with those. Only such a start: the wires hold its turn and
// centre, and a camera the wires do not place gains nothing from other beds. So may a
// supported camera bent pincushion-wise.
bool mayShowWideBeds(const CameraEdgeFit& regulation) {
  if (regulation.supported) return bentPincushionWise(regulation.camera);
  if (!regulation.report.contains("start_strict")) return false;
  const json& w = regulation.report["start_strict"].value("wire_points", json());
  if (!w.is_array() || w.size() < 3) return false;
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return inView > 0 && found >= kWireFoundShare * inView && agreeing >= kStartWireShare * found;
}

// The regulation beds' refinement, or where it leaves a start the wires place unsupported and
// the edges with 10 mm beds support it, that one, where those beds explain the edges plainly
// better: on boards with 10 mm beds the edges lay 0.31 to 0.49 px (rms) from the camera fitted
// with them against 0.70 to 1.08 px with regulation beds; on a regulation board a camera 1 px
// off was supported with 10 mm beds at 0.72 px against 0.75 px.
// The network's crossings, where there are any, judge the two as well: the camera fitted with
// the wide beds must place them at least as closely as the regulation camera places them on
// the regulation rings, on the wide beds' rings (where a board's crossings lie) or on the
// regulation rings (where a network trained on regulation boards may put them). On boards with
// 10 mm beds the wide camera places them at 0.1-0.95 px against 1.7-2.6 px; on a regulation
// board seen through a wide lens a wide camera 2.7 px off, whose edges supported it, at 1.2 px
// against 0.7 px.
constexpr double kWideBedRmsShare = 0.7;
// A supported camera bent pincushion-wise is refitted with 10 mm beds for its bend alone, and
// they stand only where they take it away: there a plainly better explanation asks less, the
// bend itself being what the regulation beds traded for the width. On the engine's boards many
// such wide cameras explained the edges at 0.7 to 0.92 of the regulation rms; taken under 0.85,
// they lay 0.23 to 0.35 px off the true ring on worn boards where the regulation ones lay 0.45
// to 0.67, and 0.01 to 0.07 px on clean ones where those lay up to 0.33. On a dim
// real board (a fixed 640x480 camera), at 0.73 to 0.80, every ring octant supported the wide
// camera (one was against the regulation one), more wires and crossings lay on it, and its
// double ring met the bed's outer edge where the regulation camera's lay a pixel inside it.
// The real LED-ring rigs' bent cameras lost their bend only at 0.94 and above, a cabinet
// webcam's barely bent ones (k1 0.04) at 0.87 and 0.90.
constexpr double kUnbentWideBedRmsShare = 0.85;
template <typename Refine>
CameraEdgeFit withEitherBeds(const cv::Mat& grey, const std::vector<cv::Point2d>& crossings, const Refine& refine) {
  EdgeSearch search(grey);
  CameraEdgeFit regulation = refine(search);
  if (!mayShowWideBeds(regulation)) return regulation;
  EdgeSearch wide = search.withWideBeds();
  CameraEdgeFit wideFit = refine(wide);
  const double regulationRms = regulation.report.value("rms_px", 99.0), wideRms = wideFit.report.value("rms_px", 99.0);
  // A supported camera is here for its bend alone (mayShowWideBeds).
  const bool forItsBend = regulation.supported;
  const double share = forItsBend ? kUnbentWideBedRmsShare : kWideBedRmsShare;
  if (!wideFit.supported || !(wideRms <= share * regulationRms)) return regulation;
  if (forItsBend && bentPincushionWise(wideFit.camera)) return regulation;
  if (!crossings.empty()) {
    const MatchScore onRegulation =
        scoreCameraEstimate(regulation.fitted ? *regulation.fitted : regulation.camera, crossings, 0.25);
    const MatchScore onWideRings = scoreCameraEstimate(wideFit.camera, crossings, 0.25, true);
    const MatchScore onRegulationRings = scoreCameraEstimate(wideFit.camera, crossings, 0.25);
    const MatchScore& onWide = onRegulationRings.rmsPx < onWideRings.rmsPx ? onRegulationRings : onWideRings;
    wideFit.report["crossings_either_beds"] = {{"matches", {onRegulation.matches, onWide.matches}},
                                               {"rms_px", {onRegulation.rmsPx, onWide.rmsPx}}};
    if (onWide.matches < kKeptCrossingShare * onRegulation.matches || !(onWide.rmsPx <= onRegulation.rmsPx)) {
      return regulation;
    }
  }
  wideFit.report["bed_mm"] = kWideBedMm;
  return wideFit;
}

}  // namespace

CameraEstimate onFace(const CameraEdgeFit& edges) { return raisedBy(edges.camera, -edges.wireHeightMm); }

void refuseWiresBeside(CameraEdgeFit& edges) {
  if (!(edges.supported && edges.darkSideWireAgreement < kMinConfirmingWireShare)) return;
  edges.supported = false;
  edges.report["wires_beside"] = edges.wireAgreement;
}

CameraEdgeFit refineCameraByEdges(const cv::Mat& grey, const CameraEstimate& start,
                                  const std::vector<cv::Point2d>& crossings) {
  return withEitherBeds(grey, crossings,
                        [&](EdgeSearch& search) { return refineOnEdges(grey, search, start, crossings, false); });
}

CameraEdgeFit followCameraByEdges(const cv::Mat& grey, const CameraEstimate& start,
                                  const std::vector<cv::Point2d>& crossings, int calls, bool inMm) {
  return withEitherBeds(grey, crossings,
                        [&](EdgeSearch& search) { return followOnEdges(grey, search, start, crossings, calls, inMm); });
}

bool seenLargerThanJudged(const CameraEstimate& camera) {
  for (int i = 0; i < 16; ++i) {
    const double a = i * CV_PI / 8.0;
    const cv::Point3d radial(std::cos(a), std::sin(a), 0.0);
    if (boardPxPerMm(camera, 170.0 * radial, radial) > kJudgedPxPerMm) return true;
  }
  return false;
}

}  // namespace tarv
