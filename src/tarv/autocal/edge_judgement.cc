#include "tarv/autocal/edge_judgement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "tarv/autocal/edge_points.h"

namespace tarv {
namespace {

// A wire between a black and a cream bed shows one plain edge, on its black side: half its
// width off its middle, and more where it stands off the face and its side shows (a low camera
// sees a mm of height as several mm of the bed behind it). The beds alternate, so that side
// alternates from wire to wire. Of the wire points (offset, wire's parity), the most that agree
// with the camera at one such lean of every wire towards alternate sides, and that lean:
// [agreeing, pixels]. A turned or shifted camera moves every wire, or those on one side of the
// bull, the same way across itself; alternate wires leaning opposite ways it does not explain.
json darkSideWires(const std::vector<std::pair<double, int>>& wires, double agreePx) {
  int best = -1;
  double bestLean = 0.0;
  for (int step = 0; step <= 2 * kWireLeanSteps; ++step) {
    // From no lean outwards, so that a tie keeps the smaller.
    const int k = (step + 1) / 2 * (step % 2 == 0 ? -1 : 1);
    const double lean = kMaxWireLeanPx * k / kWireLeanSteps;
    int agreeing = 0;
    for (const auto& [offset, parity] : wires) agreeing += std::abs(offset - (parity == 0 ? lean : -lean)) <= agreePx ? 1 : 0;
    if (agreeing > best) {
      best = agreeing;
      bestLean = lean;
    }
  }
  return {std::max(best, 0), bestLean};
}

// Edges that hold a camera all along leave hardly any of their points beyond kInlierPx.
constexpr double kHeldAloneInlierShare = 0.98;

}  // namespace

json judgeCameraOnEdges(const CameraEdgeMatches& m, double agreePx, const EdgeModel& model, bool bandsBeyondDisagree,
                        bool inMm) {
  std::vector<double> residuals;
  std::array<int, 8> octantCounts{};
  double sum = 0.0;
  std::array<std::array<int, 8>, 2> ringFound{}, ringAgreeing{};
  int wireFound = 0, wireAgreeing = 0;
  // The wire points' offsets in the judged scale, and their wire's parity.
  std::vector<std::pair<double, int>> wires;
  for (size_t i = 0; i < m.board.size(); ++i) {
    const double scale = inMm ? std::max(1.0, m.pxPerMm[i] / kJudgedPxPerMm) : 1.0;
    const double signedR = (m.offsetPx[i] - model.offsetPx(m, i)) / scale;
    const double r = std::abs(signedR);
    const size_t o = octantOf(m.board[i]);
    if (m.kind[i] < 2) {
      ++ringFound[static_cast<size_t>(m.kind[i])][o];
      ringAgreeing[static_cast<size_t>(m.kind[i])][o] += r <= kRingAgreeShare * agreePx ? 1 : 0;
    } else if (m.kind[i] == 2) {
      ++wireFound;
      wireAgreeing += r <= agreePx ? 1 : 0;
      wires.emplace_back(signedR, wireParity(m.board[i]));
    }
    if (!(r < kInlierPx)) continue;
    residuals.push_back(r);
    sum += r * r;
    ++octantCounts[o];
  }
  int octants = 0;
  for (int c : octantCounts) octants += c >= 3 ? 1 : 0;
  const size_t n = residuals.size();
  std::sort(residuals.begin(), residuals.end());
  json ringOctants = json::array(), ringSeen = json::array();
  for (size_t ring = 0; ring < 2; ++ring) {
    int inView = 0, supporting = 0, contradicting = 0, seen = 0;
    for (size_t o = 0; o < 8; ++o) {
      const int expected = m.ringInView[ring][o];
      if (expected < kMinOctantPoints) continue;
      const double found = ringFound[ring][o], agreeing = ringAgreeing[ring][o];
      const bool beyond = bandsBeyondDisagree && m.ringBeyond[ring][o] >= kBeyondShare * expected;
      ++inView;
      supporting += agreeing >= kSupportShare * expected ? 1 : 0;
      contradicting += (found >= kFoundShare * expected && agreeing < 0.5 * found) || beyond ? 1 : 0;
      seen += found >= kFoundShare * expected || agreeing >= kSupportShare * expected ? 1 : 0;
    }
    ringOctants.push_back({inView, supporting, contradicting});
    ringSeen.push_back(seen);
  }
  const size_t matches = m.board.size();
  return json{{"matches", matches},
              {"inliers", n},
              {"inlier_fraction", matches == 0 ? 0.0 : static_cast<double>(n) / static_cast<double>(matches)},
              {"rms_px", n == 0 ? 99.0 : std::sqrt(sum / static_cast<double>(n))},
              {"p95_px", n == 0 ? 0.0 : residuals[std::min(static_cast<size_t>(0.95 * n), n - 1)]},
              {"octants", octants},
              {"ring_octants", ringOctants},
              {"ring_octants_seen", ringSeen},
              {"wire_points", {m.wireInView, wireFound, wireAgreeing}},
              {"wires_dark_side", darkSideWires(wires, agreePx)}};
}

// Rings in view whose edges were found nowhere: they neither support nor contradict a camera.
bool ringsSilent(const json& judgement) {
  bool inView = false;
  for (size_t r = 0; r < judgement["ring_octants"].size(); ++r) {
    if (judgement["ring_octants_seen"][r].get<int>() > 0) return false;
    inView = inView || judgement["ring_octants"][r][0].get<int>() > 0;
  }
  return inView;
}

// The ring judgement of the board fit, with one exception: a single octant of a ring may
// disagree (a dart standing in the ring, glare) while at least three quarters of those in view
// support the camera.
// Octants where the ring's edge was not found at all (a faded stretch, low contrast) say
// nothing either way: three quarters of those where it shows must support the camera, and at
// least half of those in view.
bool ringsSupport(const json& judgement) {
  for (size_t r = 0; r < judgement["ring_octants"].size(); ++r) {
    const json& ring = judgement["ring_octants"][r];
    const int inView = ring[0].get<int>(), supporting = ring[1].get<int>(), contradicting = ring[2].get<int>();
    const int seen = judgement["ring_octants_seen"][r].get<int>();
    if (contradicting > 1 || 4 * supporting < 3 * seen || 2 * supporting < inView || (inView > 0 && supporting == 0)) {
      return false;
    }
  }
  return true;
}

// A camera the edges contradict: on a ring two octants or more whose edges were found and lie
// mostly off it, or wires found where a fifth of them or more disagree, or the wires missing
// where a ring shows the board's edges plainly (a camera turned off the wires: every bed
// changes colour at a wire, so a board whose rings show has its wires). Edges that are not
// found at all (a faded board, glare, low contrast) say nothing against it.
bool contradicted(const json& judgement) {
  bool aRingShows = false;
  for (const json& ring : judgement["ring_octants"]) {
    if (ring[2].get<int>() >= kContradictingOctants) return true;
    aRingShows = aRingShows || (ring[0].get<int>() > 0 && 2 * ring[1].get<int>() >= ring[0].get<int>());
  }
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  if (inView > 0 && found >= kFoundShare * inView && agreeing < kWireAgreeShare * found) return true;
  return aRingShows && agreeing < kWireSupportShare * inView;
}

// The start judged at the refined camera's distance: at most one ring octant against it (a
// dart, glare; unless the rings are not asked), the wires found along most of their length and
// nearly all of them on it (right cameras: 0.96 and more; cameras 1 to 4 px off the ring: 0.86
// and less).
bool wiresConfirm(const json& judgement, bool ringsAsked) {
  int contradicting = 0;
  for (const json& ring : judgement["ring_octants"]) contradicting += ring[2].get<int>();
  if (ringsAsked && contradicting > 1) return false;
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return inView > 0 && found >= kWireFoundShare * inView && agreeing >= kWireConfirmShare * found;
}

// A ring octant whose edges are fainter than the fit asks for says nothing (a soft board seen
// low shows half its ring edges so), and a start camera several pixels off over two or three
// octants, where its double ring lies on no edge the fit would take, passes as a right one
// does: seen 10 px off over three octants (3 px on average) with every octant that shows
// supporting it and its wires agreeing nearly all along, kept against its refinement. The
// fainter edges found there lie mostly off it (two octants of the double ring); a start
// stands on its own edges only where no ring has kContradictingOctants such octants.
bool fainterRingsAgree(const json& fainterJudgement) {
  for (const json& ring : fainterJudgement["ring_octants"]) {
    if (ring[2].get<int>() >= kContradictingOctants) return false;
  }
  return true;
}

// The share of the wire points found that agree with the camera.
double wireShare(const json& judgement) {
  const json& w = judgement["wire_points"];
  return static_cast<double>(w[2].get<int>()) / std::max(w[1].get<int>(), 1);
}

// A start its rings contradict lies off them somewhere; a refinement that corrects it finds
// the ring all round. One that leaves as many octants of a ring unsupported as supporting has
// slid the ring along its edges where they show and left it off where they do not (seen: the
// double ring 0.2 px off over half the board and 12 px off at its far side, supported by 4 of
// 8 octants, where the right camera's are 8 of 8).
bool ringsCorrected(const json& judgement) {
  for (const json& ring : judgement["ring_octants"]) {
    if (ring[0].get<int>() > 0 && !(2 * ring[1].get<int>() > ring[0].get<int>())) return false;
  }
  return true;
}

double darkSideWireShare(const json& judgement) {
  const json& w = judgement["wire_points"];
  const int leaning = judgement.contains("wires_dark_side") ? judgement["wires_dark_side"][0].get<int>() : 0;
  return static_cast<double>(std::max(leaning, w[2].get<int>())) / std::max(w[1].get<int>(), 1);
}

bool edgesHoldAlone(const json& judgement) {
  if (!(judgement.value("inlier_fraction", 0.0) >= kHeldAloneInlierShare) || !(wireShare(judgement) >= kWireConfirmShare)) {
    return false;
  }
  for (const json& ring : judgement["ring_octants"]) {
    if (ring[2].get<int>() > 0) return false;
  }
  return ringsCorrected(judgement);
}

bool wiresAgree(const json& judgement) {
  const json& w = judgement["wire_points"];
  const int inView = w[0].get<int>(), found = w[1].get<int>(), agreeing = w[2].get<int>();
  return found > 0 && found >= kWireShownShare * inView && 2 * agreeing >= found;
}

}  // namespace tarv
