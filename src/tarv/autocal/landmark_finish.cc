#include "tarv/autocal/landmark_finish.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/camera_edges.h"
#include "tarv/autocal/crossing_refinement.h"
#include "tarv/autocal/edge_judgement.h"
#include "tarv/autocal/number_ring.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/core/board_geometry.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Edge refinements a camera may take to reach its edges: the crossings of a grazing view,
// a few pixels off each, leave the solved camera up to three refinements away (seen: two).
constexpr int kEdgeCalls = 4;
// Below this share of the wire points found agreeing, a camera the edges confirm is moved onto
// the wires about itself once more (right cameras: 0.82 and more, mostly above 0.95).
constexpr double kLooseWireAgreement = 0.8;
// A camera its edges hold only as judged in board mm must have its wires agree nine in ten of
// their points found (on the light-ring webcams one at 0.85 lay 3.5 px off its label).
constexpr double kInMmWireShare = 0.9;
// Seen low or small, the network scatters its crossings over the crowded wires: a right camera
// 0.35 px off explained 19 of the 50 it placed on a 640x480 board 20 degrees above it.
// Where the edges hold the camera all along, this many explained crossings suffice; the share
// asked of others guards against cameras the edges do not hold.
constexpr int kMinHeldAloneCrossings = 15;
// The reason of a solve its caller stopped (never shown: its solution is not used).
constexpr const char* kSolveStopped = "abgebrochen";

// Orientation from the detected sector numbers: each marker votes, with its score, for the
// turn that puts its label where it is seen; only even turns keep the colour parity.
struct NumberVote {
  double best = -1.0, second = -1.0;
  double total = 0.0;  // every marker's score, whatever turn it votes for
  int shift = 0;
};

NumberVote voteNumbers(const CameraEstimate& chosen, const LandmarkDetections& kept) {
  std::vector<cv::Point2d> centres;
  std::vector<int> positions;
  std::vector<float> scores;
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] >= 2 && kept.scores[j] > 0.08f) {
      centres.push_back(kept.centres[j]);
      positions.push_back(kept.classes[j] - 2);
      scores.push_back(kept.scores[j]);
    }
  }
  double votes[20] = {};
  if (!centres.empty()) {
    const std::vector<cv::Point2d> board = backProjectToBoard(chosen, centres);
    for (size_t m = 0; m < board.size(); ++m) {
      const double r = std::hypot(board[m].x, board[m].y);
      if (!(r >= 172.0 && r <= 240.0)) continue;
      const long p = std::lround((90.0 - std::atan2(board[m].y, board[m].x) * 180.0 / kPi) / 18.0);
      const long seen = ((p % 20) + 20) % 20;
      const long shift = (((seen - positions[m]) % 20) + 20) % 20;
      votes[shift] += scores[m];
    }
  }
  NumberVote v;
  for (double vote : votes) v.total += vote;
  for (int k = 0; k < 20; k += 2) {
    if (votes[k] > v.best) {
      v.second = v.best;
      v.best = votes[k];
      v.shift = k;
    } else if (votes[k] > v.second) {
      v.second = votes[k];
    }
  }
  return v;
}

// Beyond the outermost crossings (the double ring's 170 mm) by about two of the crossings'
// spacings: a camera a few pixels off still holds every crossing of its board inside.
constexpr double kBoardFaceMm = 185.0;

// The detections inside the board's face where the camera puts it. Detections outside it (an
// arm reaching over the board, a cabinet's doors, a second board beside it) are none of its
// crossings: no camera of this board explains them, right or wrong.
int32_t crossingsOnBoardFace(const CameraEstimate& camera, const std::vector<cv::Point2d>& crossings) {
  std::vector<cv::Point3d> outline;
  for (const Point2& p : circlePoints(kBoardFaceMm, 72)) outline.emplace_back(p.x, p.y, 0.0);
  std::vector<cv::Point2f> face;
  for (const cv::Point2d& p : projectBoardPoints(camera, outline)) face.emplace_back(p);
  int32_t inside = 0;
  for (const cv::Point2d& c : crossings) inside += cv::pointPolygonTest(face, cv::Point2f(c), false) >= 0.0;
  return inside;
}

}  // namespace

bool solveStopped(const std::atomic<bool>* stop, LandmarkSolution& sol) {
  if (!stop || !stop->load()) return false;
  sol.ok = false;
  sol.reason = kSolveStopped;
  return true;
}

bool explainsItsCrossings(const CameraEstimate& camera, const std::vector<cv::Point2d>& crossings, double rmsPx) {
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  const CrossingMatches m = matchCrossings(projectBoardPoints(camera, ref), crossings, 0.25);
  if (m.reference.size() < 8) return true;  // too few to judge; the grade's own minimum decides
  std::vector<cv::Point2f> board, image;
  for (size_t k = 0; k < m.reference.size(); ++k) {
    board.emplace_back(static_cast<float>(ref[m.reference[k]].x), static_cast<float>(ref[m.reference[k]].y));
    image.emplace_back(crossings[m.detection[k]]);
  }
  const cv::Mat H = cv::findHomography(board, image, 0);
  if (H.empty() || !cv::checkRange(H)) return true;
  std::vector<cv::Point2f> mapped;
  cv::perspectiveTransform(board, mapped, H);
  double sum = 0.0;
  for (size_t k = 0; k < mapped.size(); ++k) sum += std::pow(cv::norm(mapped[k] - image[k]), 2);
  const double planeRms = std::sqrt(sum / static_cast<double>(mapped.size()));
  return rmsPx <= kMaxRmsOverPlane * planeRms + kRmsOverPlaneSlackPx;
}

void centreWhereTheCrossingsAsk(CameraSelection& selection, const std::vector<cv::Point2d>& crossings, cv::Point2d bull) {
  if (explainsItsCrossings(selection.camera, crossings, selection.best.rmsPx)) return;
  selection.camera = refineOpticalCentre(selection.camera, crossings, bull);
  selection.best = scoreCameraEstimate(selection.camera, crossings, 0.25);
}

void finishOnCamera(const LandmarkDetections& kept, const cv::Mat& image, cv::Point2d bull, CameraSelection selection,
                    std::vector<cv::Point2d> crossings, LandmarkSolution& sol, const std::atomic<bool>* stop) {
  // A solve no longer wanted ends before its next refinement, with no camera.
  const auto stopped = [&sol, stop] { return solveStopped(stop, sol); };
  // The network places its crossings a pixel or three off where the board is seen at a
  // grazing angle, and the camera solved from them is as far off; the image's wires place
  // them to a fraction of a pixel.
  bool wiredMoved = false;
  const std::vector<cv::Point2d> detected = crossings;
  {
    WireSolve wired = solveOnWireCrossings(image, selection.camera, selection.best, crossings, bull);
    wiredMoved = wired.moved;
    if (wired.moved) {
      selection.camera = std::move(wired.camera);
      selection.best = wired.score;
      crossings = std::move(wired.crossings);
    }
  }
  // Crossings on the wires lie a tenth of where the network put them: a camera about the
  // image's middle that explained the network's crossings may no longer explain these, where
  // the image was cut off its optical centre.
  if (wiredMoved) centreWhereTheCrossingsAsk(selection, crossings, bull);
  sol.crossingsMatched = selection.best.matches;
  sol.rmsPx = selection.best.rmsPx;
  if (!explainsItsCrossings(selection.camera, crossings, sol.rmsPx)) {
    sol.reason = kCameraContradictsCrossings;
    return;
  }
  if (stopped()) return;

  // The crossings place the camera to a pixel or two; the ring and wire edges, where they
  // confirm it, to a fraction of one. A camera whose own edges contradict it is not accepted.
  cv::Mat grey;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  CameraEdgeFit edges = followCameraByEdges(grey, selection.camera, crossings, kEdgeCalls);
  // Edges that confirm a camera whose wires lie beside it along a stretch have brought it
  // closer than its crossings did, yet not onto the board: the crossings moved onto the wires
  // about it, and the edges once more from there, may finish the way.
  // So do edges that moved it too far off its crossings to be taken with such wires.
  const bool farOff = !edges.supported && edges.fitted && edges.report.value("far_from_crossings", false);
  if (stopped()) return;
  if ((edges.supported && edges.wireAgreement < kLooseWireAgreement) || farOff) {
    const CameraEstimate& moved = edges.supported ? edges.camera : *edges.fitted;
    const WireSolve again = solveOnWireCrossings(image, moved, scoreCameraEstimate(moved, detected, 0.25), detected, bull);
    if (again.moved) {
      CameraEdgeFit closer = followCameraByEdges(grey, again.camera, again.crossings, kEdgeCalls);
      if (closer.supported && (farOff || closer.wireAgreement > edges.wireAgreement)) {
        edges = std::move(closer);
        crossings = again.crossings;
      }
    }
  }
  refuseWiresBeside(edges);
  // A board seen larger than the edges' pixel distances were set for is judged once more in
  // board mm, only where the pixels leave it ungraded: judged so all along, rougher cameras
  // stood where the pixels follow the edges, or beds of another width, to closer ones (on the
  // engine's 1920x1080 boards 0.4-0.6 px off where 0.02-0.05).
  if (!edges.supported && !stopped() && seenLargerThanJudged(selection.camera)) {
    const bool graded = edges.wiresConfirm || edges.startHeld;
    CameraEdgeFit inMm = followCameraByEdges(grey, selection.camera, crossings, kEdgeCalls, true);
    refuseWiresBeside(inMm);
    // The looser distances let a ring slid along its edges pass where it lies on them over half
    // the board (3.8 px off, its double ring supported in 4 of 8 octants): every ring in view
    // must be held by most of its octants.
    if ((inMm.supported || (!graded && (inMm.wiresConfirm || inMm.startHeld))) && ringsCorrected(inMm.report) &&
        wireShare(inMm.report) >= kInMmWireShare) {
      inMm.report["judged_in_mm"] = true;
      edges = std::move(inMm);
    }
  }
  if (std::getenv("TARV_DEBUG")) std::fprintf(stderr, "[dbg] edges %s\n", edges.report.dump().c_str());
  sol.edgesConfirm = edges.supported;
  if (edges.supported) {
    selection.camera = cloneCameraEstimate(edges.camera);
    selection.best = scoreCameraEstimate(selection.camera, crossings, 0.25);
    sol.crossingsMatched = selection.best.matches;
    sol.rmsPx = selection.best.rmsPx;
  }

  cv::Mat hsv;
  cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
  CameraEstimate A = cloneCameraEstimate(selection.camera);
  CameraEstimate B = cloneCameraEstimate(selection.camera);
  rotateBySectors(B, 1);
  const double a = colourParityScore(A, hsv), b = colourParityScore(B, hsv);
  const CameraEstimate& chosen = a >= b ? A : B;
  const NumberVote vote = voteNumbers(chosen, kept);
  sol.colourScore = std::max(a, b);
  // A network that confuses the numbers spreads its votes over many turns, and among many
  // markers one turn can still lead the next by half: the 20 is sure only when the leading
  // turn also holds half of all the votes.
  const bool votesSure = vote.best > 0.5 && vote.best >= 1.5 * std::max(vote.second, 0.0) && vote.best >= 0.5 * vote.total;
  int shift = vote.shift;
  bool twentySure = votesSure;
  // On a camera its edges confirm, the widths of the printed numbers name the turn whatever
  // the network read; a confident vote for another turn leaves the 20 to the user.
  // So does a camera solved from crossings moved onto the image's wires, where its edges do
  // not contradict it: the reading's own rule (every number on its side, no rival turn close)
  // refuses a camera too far off to measure them.
  // Where the numbers can be measured, a confident vote names the 20 only when their widths
  // lead the same turn: on a low board the network's number boxes, a few pixels high on the
  // far side, have voted by half of all their votes for a turn two sectors off.
  if (stopped()) return;
  if (edges.supported || (wiredMoved && !edges.contradicted)) {
    const NumberRingReading ring = readNumberRing(grey, chosen);
    if (std::getenv("TARV_DEBUG")) {
      std::fprintf(stderr, "[dbg] numbers: sure %d turn %d measured %d misread %d margin %.1f mm (next %.1f), votes %d (%.2f, next %.2f, of %.2f)\n",
                   ring.sure, ring.shift, ring.measured, ring.misread, ring.marginMm, ring.runnerUpMm, vote.shift, vote.best,
                   vote.second, vote.total);
    }
    if (ring.sure && (!votesSure || vote.shift == ring.shift)) {
      shift = ring.shift;
      twentySure = true;
    } else if (ring.sure || (ring.readable && !(ring.leads && vote.shift == ring.shift))) {
      twentySure = false;
    }
  }
  // The edges placed the face below the plane, halfway up the wires, that the crossings lie on.
  CameraEstimate oriented = raisedBy(chosen, edges.supported ? -edges.wireHeightMm : 0.0);
  if (shift != 0) rotateBySectors(oriented, shift);
  sol.twentySure = twentySure && sol.colourScore >= 0.7;
  sol.ok = true;
  setSolutionCamera(sol, oriented);
  // Edges that confirm the camera say more than the share of the network's crossings it
  // explains (a network reports stray crossings on a busy board) or their RMS; edges that do
  // contradict it outweigh any count of crossings. Where the refinement does not support it,
  // the crossings grade a camera only where the edges hold it as they placed it (its rings
  // within the start's distance, its wires nearly all along) or its wires confirm it on a board
  // whose rings hardly show; edges that say nothing of it leave it red: the crossings alone
  // graded a camera 120 px beside the board yellow (every one matched, the board elsewhere).
  // On a camera its edges confirm, crossings whose wires the image shows where the camera puts
  // them count as well; where the close matches alone fall short of the minimum, the explained
  // ones must also be the share the rule below asks for of the detections on the board's face.
  // Without the edges the close matches alone decide: a camera 1.6 px off still finds a few
  // wires within a pixel.
  if (edges.supported) {
    bool enough = sol.crossingsMatched >= kMinGradedCrossings;
    if (!enough) {
      const ExplainedCrossings explained =
          explainCrossingsOnWires(image, selection.camera, crossings, kWireExplainedTolerance, kWireExplainedAgreementPx);
      const int32_t count = explained.explained();
      const int32_t onFace = crossingsOnBoardFace(selection.camera, crossings);
      if (std::getenv("TARV_DEBUG")) {
        std::fprintf(stderr, "[dbg] explained %d + %d of %d (%d on the board)\n", explained.matched, explained.confirmed,
                     sol.crossingsDetected, onFace);
      }
      enough = (count >= kMinGradedCrossings && count >= kMinExplainedCrossings * onFace) ||
               (count >= kMinHeldAloneCrossings && edgesHoldAlone(edges.report));
    }
    sol.grade = enough ? (sol.twentySure ? 0 : 1) : 2;
  } else if (edges.wiresConfirm && sol.crossingsMatched >= kMinWireConfirmedCrossings) {
    sol.grade = gradeSolution(sol.crossingsMatched, sol.rmsPx, sol.twentySure, sol.width, sol.height);
  } else if (edges.startHeld) {
    sol.grade = gradeSolution(sol.crossingsMatched, sol.crossingsDetected, sol.rmsPx, sol.twentySure, sol.width, sol.height);
  } else {
    sol.grade = 2;
  }
}

}  // namespace tarv
