#include "tarv/autocal/landmark_detection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/board_boxes.h"
#include "tarv/autocal/bull_point.h"
#include "tarv/autocal/camera_edges.h"
#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/colour_free.h"
#include "tarv/autocal/crossing_refinement.h"
#include "tarv/autocal/landmark_finish.h"
#include "tarv/autocal/landmark_output.h"
#include "tarv/autocal/number_ring.h"
#include "tarv/core/beside_task.h"
#include "tarv/core/board_geometry.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Rounds of snapping the network's crossings onto the wires about the latest camera while
// each matches more of them, and where that leaves the camera short of green, rounds more
// while each moves more of them onto their wires.
constexpr int kSnapRounds = 3;
constexpr int kSnapMoreMovedRounds = 3;
double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void traceEllipseStage(const CameraSelection& selection, cv::Point2d bull, const std::vector<CameraEstimate>& starts,
                       const std::vector<cv::Point2d>& crossings) {
  std::fprintf(stderr, "[dbg] normale Suche: %d Kreuzungen, bull %.1f %.1f, %zu Ellipsen-Starts:",
               selection.found ? selection.best.matches : -1, bull.x, bull.y, starts.size());
  for (const CameraEstimate& e : starts) {
    int solved = -1;
    try {
      solved = scoreCameraEstimate(solveCamera(e, crossings, bull, 6), crossings, 0.25).matches;
    } catch (const cv::Exception&) {
    }
    std::fprintf(stderr, " %d->%d", scoreCameraEstimate(e, crossings, 0.35).matches, solved);
  }
  std::fprintf(stderr, "\n");
}

// The starts of one generator; one that the matrix library cannot build gives none, and the
// other generators still run.
template <typename Generator>
std::vector<CameraEstimate> startsOf(Generator&& generate) {
  try {
    return generate();
  } catch (const cv::Exception&) {
    return {};
  }
}

// A camera model (pose, focal length, centre, k1) that explains its matched crossings worse
// than a bare plane mapping of the same pairs does is not the camera that took the picture:
// it has settled beside the board (a centre it could not move, a lens it could not follow)
// and matches the crossings only within the matching's tolerance. Its RMS may exceed the
// plane's by a little (the plane has no fewer degrees of freedom on a flat board).
// One ring of crossings fits a ring of any radius: where the two wires of a pair merge in the
// image, a camera that puts the treble wires where the bull's ring or the double wires are
// seen matches them all. A camera needs its matched crossings on two of the three groups of
// rings (the bull's ring, the treble wires, the double wires).
bool spansTwoRingGroups(const CameraEstimate& camera, const std::vector<cv::Point2d>& crossings) {
  const CrossingMatches m = matchCrossings(projectBoardPoints(camera, referenceCrossings()), crossings, 0.25);
  bool group[3] = {false, false, false};
  for (const int idx : m.reference) group[(idx / kCrossingWires + 1) / 2] = true;
  return group[0] + group[1] + group[2] >= 2;
}

// The part as the network is to see it: where it is shorter than the network's input, set in
// a frame of the letterbox's grey that long, so that it is not enlarged past its own pixels.
cv::Mat notEnlarged(const cv::Mat& part, int inputSize) {
  if (std::max(part.cols, part.rows) >= inputSize) return part;
  cv::Mat framed(part.cols >= part.rows ? cv::Size(inputSize, part.rows) : cv::Size(part.cols, inputSize), part.type(),
                 cv::Scalar::all(114));
  part.copyTo(framed(cv::Rect(0, 0, part.cols, part.rows)));
  return framed;
}

// One closer look: the network on a part of the image, and the camera solved again from what
// it found there.
struct CloserLook {
  LandmarkSolution solution;
  double modelMs = 0.0;
  std::exception_ptr error;
};

// The closer looks in the order they are taken, each only while none before it gave an
// accepted camera, up to the first that throws. They depend on the first network pass alone,
// so they can run while the camera is solved from that pass; `enough` says the first solve
// was accepted and no closer look will be taken.
std::vector<CloserLook> closerLooks(LandmarkModel& model, const cv::Mat& image, const cv::Mat& input, bool colourFree,
                                    const LandmarkDetections& kept, const std::atomic<bool>& enough) {
  // A board small in a photograph is a few dozen of the network's input pixels across, too
  // few for it to see the bull or every crossing: the network looks once more at the board
  // alone, enlarged.
  std::vector<cv::Rect> boxes = smallBoardBoxes(kept, image.size());
  const size_t smallBoxes = boxes.size();
  // A board seen nearly edge-on in a large image is a few dozen of the network's pixels
  // across its narrow way, its crossings crowded into a few rows or columns that the network
  // mostly misplaces; seen closer (never past the image's own pixels), it finds three to six
  // times as many where they are.
  if (const std::optional<cv::Rect> box = boardExtentBox(kept, image.size(), model.inputSize)) boxes.push_back(*box);
  std::vector<CloserLook> looks;
  looks.reserve(boxes.size());
  for (size_t i = 0; i < boxes.size() && !enough.load(); ++i) {
    looks.emplace_back();
    CloserLook& look = looks.back();
    try {
      const cv::Rect& box = boxes[i];
      const double t1 = nowMs();
      const cv::Mat part = i < smallBoxes ? input(box) : notEnlarged(input(box), model.inputSize);
      LandmarkDetections closer = runLandmarkNetwork(model, part, colourFree);
      for (cv::Point2d& c : closer.centres) c += cv::Point2d(box.x, box.y);
      look.modelMs = nowMs() - t1;
      if (enough.load()) break;
      solveBoardLandmarks(closer, image, look.solution, &enough);
    } catch (...) {
      look.error = std::current_exception();
      break;
    }
    if (look.solution.ok && look.solution.grade < 2) break;
  }
  return looks;
}

}  // namespace

LandmarkSolution detectBoardLandmarks(LandmarkModel& model, const cv::Mat& image) {
  LandmarkSolution sol;
  const double t0 = nowMs();
  sol.width = image.cols;
  sol.height = image.rows;
  // An image without colour is read by the network trained on such boards, and as grey: a
  // sepia or tinted print is then what that network learnt. The solve and its edges still
  // look at the image as it came.
  const bool colourFree = !model.colourFreeNet.empty() && isColourFree(image);
  const cv::Mat input = colourFree ? greyCopy(image) : image;
  const LandmarkDetections kept = runLandmarkNetwork(model, input, colourFree);
  sol.modelMs = nowMs() - t0;
  // Where the camera solved from the whole image is not accepted, the network looks closer at
  // the board; both solves take about as long, so the closer looks are taken beside the first
  // solve, on a thread of their own that alone runs the network from here on, and used as
  // the serial order would: only where the first solve left no accepted camera. The thread
  // is joined before anything leaves the call.
  std::atomic<bool> enough{false};
  std::vector<CloserLook> looks;
  std::exception_ptr looksError;
  const auto takeCloserLooks = [&] {
    try {
      looks = closerLooks(model, image, input, colourFree, kept, enough);
    } catch (...) {
      looksError = std::current_exception();
    }
  };
  BesideTask closer(takeCloserLooks);
  const auto accepted = [&sol] { return sol.ok && sol.grade < 2; };
  try {
    solveBoardLandmarks(kept, image, sol);
  } catch (...) {
    enough.store(true);
    throw;
  }
  if (accepted()) enough.store(true);
  closer.finish(!accepted());
  if (looksError && !accepted()) std::rethrow_exception(looksError);
  for (size_t i = 0; i < looks.size() && !accepted(); ++i) {
    CloserLook& look = looks[i];
    sol.modelMs += look.modelMs;
    if (look.error) std::rethrow_exception(look.error);
    LandmarkSolution& again = look.solution;
    if (again.ok && (!sol.ok || again.grade < sol.grade ||
                     (again.grade == sol.grade && again.crossingsMatched > sol.crossingsMatched))) {
      again.modelMs = sol.modelMs;
      sol = std::move(again);
    }
  }
  sol.colourFree = colourFree;
  sol.totalMs = nowMs() - t0;
  return sol;
}

namespace {

CameraSelection cloneSelection(const CameraSelection& s) {
  CameraSelection out;
  out.found = s.found;
  out.best = s.best;
  out.camera = cloneCameraEstimate(s.camera);
  return out;
}

}  // namespace

namespace {

// The edge and colour judgements ask for fixed grey steps and saturations; an image taken in
// dim light (a rig's LED ring turned low, a dark room) shows its board at a fraction of
// them. An image whose grey levels (between the darkest and brightest few in a thousand) span
// less than kDimSpan is stretched to span kContrastSpan, by at most kMaxContrastGain; a lit
// image is left as it is (its edges were judged so).
constexpr double kDimSpan = 128.0;
constexpr double kContrastSpan = 200.0;
constexpr double kMaxContrastGain = 4.0;
constexpr double kContrastTail = 0.005;

cv::Mat withBoardContrast(const cv::Mat& image) {
  cv::Mat grey;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  int histogram[256] = {};
  for (int y = 0; y < grey.rows; ++y) {
    const uchar* row = grey.ptr<uchar>(y);
    for (int x = 0; x < grey.cols; ++x) ++histogram[row[x]];
  }
  const double tail = kContrastTail * static_cast<double>(grey.total());
  int lo = 0, hi = 255;
  for (double sum = 0.0; lo < 255 && (sum += histogram[lo]) < tail;) ++lo;
  for (double sum = 0.0; hi > 0 && (sum += histogram[hi]) < tail;) --hi;
  const double span = std::max(hi - lo, 1);
  if (span >= kDimSpan) return image;
  const double gain = std::min(kMaxContrastGain, kContrastSpan / span);
  if (std::getenv("TARV_DEBUG")) std::fprintf(stderr, "[dbg] contrast %d..%d, gain %.2f\n", lo, hi, gain);
  cv::Mat out;
  image.convertTo(out, -1, gain, -gain * lo + 0.5 * (255.0 - gain * span));
  return out;
}

}  // namespace

void solveBoardLandmarks(const LandmarkDetections& kept, const cv::Mat& original, LandmarkSolution& sol,
                         const std::atomic<bool>* stop) {
  const cv::Mat image = withBoardContrast(original);
  sol.width = image.cols;
  sol.height = image.rows;
  const std::vector<cv::Point2d> crossings = keptCrossings(kept);
  sol.crossingsDetected = static_cast<int32_t>(crossings.size());
  sol.crossings = crossings;

  const cv::Point2d bull = findBullPoint(kept);
  if (bull.x < 0 || crossings.size() < 12) {
    sol.reason = "zu wenige Kreuzungen oder kein Bull";
    return;
  }
  std::vector<CameraEstimate> starts = startsOf([&] { return homographyHypotheses(image.cols, image.rows, kept, bull); });
  for (CameraEstimate& e : startsOf([&] { return bullGridHypotheses(image.cols, image.rows, crossings, bull, 8); })) {
    starts.push_back(std::move(e));
  }
  // A solve no longer wanted ends at the next stage, with no camera.
  const auto stopped = [&sol, stop] { return solveStopped(stop, sol); };
  CameraSelection selection;
  selection.stop = stop;
  selectBestCamera(crossings, bull, selection, starts);
  if (stopped()) return;
  if (!selection.found || selection.best.matches < 40) {
    const std::vector<CameraEstimate> ellipses = startsOf([&] { return ellipseHypotheses(image.cols, image.rows, crossings, 6); });
    if (std::getenv("TARV_DEBUG")) traceEllipseStage(selection, bull, ellipses, crossings);
    selectBestCamera(crossings, bull, selection, ellipses);
  }
  // The grid and the ellipse above look for lenses up to one image width; a board taken from
  // farther away with a longer lens matches only a handful of crossings there.
  if (!selection.found || selection.best.matches < 40) {
    selectBestCamera(crossings, bull, selection, startsOf([&] {
      return ellipseHypotheses(image.cols, image.rows, crossings, 6, longLensFocalFactors());
    }));
  }
  // The grids and the ellipse assume focal lengths of 0.4 to 1 image widths; the plane that
  // the best camera's matches span gives a start at whatever focal length the lens has.
  // Rounds while they gain: each round's plane is grown from the best camera so far, and the
  // camera with its optical centre refined joins the starts.
  const auto growPlanes = [&] {
    for (int round = 0; round < 3 && selection.found; ++round) {
      const MatchScore before = selection.best;
      const CameraEstimate seed = cloneCameraEstimate(selection.camera);
      // The optical centre moves only for a camera that cannot explain its crossings about the
      // image's centre; a whole photograph keeps it there.
      const bool freeCentre = !explainsItsCrossings(seed, crossings, selection.best.rmsPx);
      std::vector<CameraEstimate> planeStarts =
          startsOf([&] { return planeHypotheses(image.cols, image.rows, crossings, seed, freeCentre); });
      if (freeCentre) planeStarts.push_back(refineOpticalCentre(seed, crossings, bull));
      selectBestCamera(crossings, bull, selection, planeStarts);
      if (selection.best.matches <= before.matches && !(selection.best.rmsPx < 0.95 * before.rmsPx)) break;
    }
  };
  if (stopped()) return;
  growPlanes();
  // A photograph shows strays about the board (a cabinet's doors, a score board, a second
  // board) that the hull above takes in: where no start has found the board, one ring of
  // crossings found among them gives starts, taken as each wire ring it may be, and the
  // planes grow from the best of them.
  if (!selection.found || selection.best.matches < 40) {
    const int before = selection.found ? selection.best.matches : -1;
    selectBestCamera(crossings, bull, selection, startsOf([&] {
      std::vector<double> focalFactors = wideLensFocalFactors();
      focalFactors.insert(focalFactors.end(), longLensFocalFactors().begin(), longLensFocalFactors().end());
      return ringEllipseHypotheses(image.cols, image.rows, crossings, 8, focalFactors);
    }));
    if (selection.found && selection.best.matches > before) growPlanes();
  }
  // A webcam close to its board with a lens about 120 degrees across matches only a handful of
  // crossings from the wide-lens starts. Its starts come last, where nothing else found the
  // board: among the earlier ones, such a lens found wrong cameras that matched more crossings
  // than the right one (a rendered rig board 0.2 px off went to 5.4 px). A camera from them that
  // matches fewer crossings than any camera is graded on leaves the one before standing: a wrong
  // camera matching a few more took the place of one that the wires then moved onto the board
  // (a rendered close webcam whose bull the network missed: 7.6 px off where 0.6).
  if (!selection.found || selection.best.matches < 40) {
    const int before = selection.found ? selection.best.matches : -1;
    const CameraSelection earlier = cloneSelection(selection);
    selectBestCamera(crossings, bull, selection, startsOf([&] {
      return ringEllipseHypotheses(image.cols, image.rows, crossings, 8, {kWidestLensFocalFactor});
    }));
    if (selection.found && selection.best.matches > before) growPlanes();
    if (earlier.found && selection.best.matches < kMinGradedCrossings) {
      selection.best = earlier.best;
      selection.camera = cloneCameraEstimate(earlier.camera);
    }
  }
  if (stopped()) return;
  if (!selection.found || selection.best.matches < kMinSolvedCrossings || !spansTwoRingGroups(selection.camera, crossings)) {
    sol.reason = "keine Loesung";
    return;
  }
  centreWhereTheCrossingsAsk(selection, crossings, bull);
  // The camera as its crossings give it; only where that is not green is it snapped onto the
  // wires, and the snapped camera taken for a better grade, or the same grade on more matched
  // crossings: a camera the wires about the network's own crossings already confirm gains
  // nothing from a second look.
  finishOnCamera(kept, image, bull, cloneSelection(selection), crossings, sol, stop);
  if (sol.ok && sol.grade == 0) return;
  // A camera several pixels off matches too few crossings for the wires to be found where it
  // puts them, but still knows which way the wires run about each detection: the detections
  // snapped onto their own wire junctions give a camera close enough for that. First the
  // rounds that each match more crossings; where their camera is still short of green, the
  // rounds go on from it while they move more detections onto the wires. A camera the first
  // rounds made green is never put at stake by the further ones.
  int movedBefore = 0;
  for (const bool whileMoreMoved : {false, true}) {
    if (stopped()) return;
    WireSolve snap = snapOnWireCrossings(image, selection.camera, selection.best, crossings, bull,
                                         whileMoreMoved ? kSnapMoreMovedRounds : kSnapRounds, whileMoreMoved, movedBefore);
    if (!snap.moved) continue;
    selection.camera = std::move(snap.camera);
    selection.best = snap.score;
    movedBefore = snap.refined;
    if (stopped()) return;
    LandmarkSolution snappedSol = sol;
    finishOnCamera(kept, image, bull, cloneSelection(selection), snap.crossings, snappedSol, stop);
    if (stopped()) return;
    // On the same grade the edges' confirmation outweighs a few more matched crossings: the
    // crossings a camera matches are the network's, placed a pixel or three off on such a board.
    // The further rounds are taken only for a better grade: on the same one nothing says they
    // came closer (a camera 0.75 px off went to 1.4 px).
    const bool sameGradeBetter =
        !whileMoreMoved && snappedSol.grade == sol.grade &&
        (snappedSol.edgesConfirm != sol.edgesConfirm ? snappedSol.edgesConfirm : snappedSol.crossingsMatched > sol.crossingsMatched);
    if (snappedSol.ok && (!sol.ok || snappedSol.grade < sol.grade || sameGradeBetter)) {
      sol = std::move(snappedSol);
    }
    if (sol.ok && sol.grade == 0) return;
  }
}


int32_t gradeSolution(int32_t matched, double rmsPx, bool twentySure, int width, int height) {
  const double limit = 3.0 * std::max(std::max(width, height) / 1280.0, 1.0);
  if (matched < kMinGradedCrossings || !(limit > rmsPx)) return 2;
  return twentySure ? 0 : 1;
}

int32_t gradeSolution(int32_t matched, int32_t detected, double rmsPx, bool twentySure, int width, int height) {
  if (!(matched >= kMinExplainedCrossings * detected)) return 2;
  return gradeSolution(matched, rmsPx, twentySure, width, height);
}

double colourParityScore(const CameraEstimate& e, const cv::Mat& hsv) {
  std::vector<cv::Point3d> board;
  std::vector<int> expected;
  for (int i = 0; i < 20; ++i) {
    for (double r : {103.0, 166.0}) {
      for (double offset : {-5.0, 0.0, 5.0}) {
        const double a = (offset + 90.0 - 18.0 * i) * kPi / 180.0;
        board.emplace_back(r * std::cos(a), r * std::sin(a), 0.0);
        expected.push_back(i % 2);
      }
    }
  }
  const std::vector<cv::Point2d> px = projectBoardPoints(e, board);
  int counted = 0, hits = 0;
  for (size_t k = 0; k < px.size(); ++k) {
    if (!std::isfinite(px[k].x) || !std::isfinite(px[k].y)) continue;
    const long x = std::lround(px[k].x), y = std::lround(px[k].y);
    if (x < 0 || y < 0 || x >= hsv.cols || y >= hsv.rows) continue;
    const cv::Vec3b p = hsv.at<cv::Vec3b>(static_cast<int>(y), static_cast<int>(x));
    if (p[1] < 60 || p[2] < 40) continue;
    int colour;
    if (p[0] >= 12 && p[0] <= 165) {
      if (p[0] < 36 || p[0] > 94) continue;
      colour = 1;
    } else {
      colour = 0;
    }
    ++counted;
    hits += colour == expected[k];
  }
  return counted > 0 ? static_cast<double>(hits) / counted : 0.0;
}

}  // namespace tarv
