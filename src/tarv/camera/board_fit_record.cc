#include "tarv/camera/board_fit_record.h"

#include <algorithm>
#include <exception>
#include <optional>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/vision_report.h"
#include "tarv/camera/board_fit_candidates.h"
#include "tarv/camera/camera_judgement.h"
#include "tarv/camera/camera_orientation.h"
#include "tarv/core/beside_task.h"

namespace tarv {
namespace {

// A candidate camera with the one edge judgement's grade.
struct JudgedFit {
  std::optional<CameraEstimate> camera;  // none: the fit found no board, or no camera for it
  bool confirmed = false;
  bool byFitRuleOnly = false;  // confirmed by the fit's own rule, not by the edge judgement
  double rmsPx = 99.0;
  std::string reason;
  json report = json::object();
};

JudgedFit judged(const cv::Mat& grey, FitCamera candidate, const LandmarkSolution& landmark) {
  JudgedFit out;
  out.reason = std::move(candidate.reason);
  out.report = std::move(candidate.report);
  if (!candidate.camera) return out;
  const CameraJudgement j = judgeCameraOnEdges(grey, *candidate.camera, landmark, out.report);
  out.camera = cloneCameraEstimate(j.camera);
  out.confirmed = j.confirmed;
  out.rmsPx = j.rmsPx;
  if (!out.confirmed) out.reason = "BOARD_FIT: EDGES_DO_NOT_CONFIRM";
  return out;
}

// The engine's own "calibrate" takes this fit: its ring edges followed, the camera recorded from
// it on its homography.
bool acceptedByItsRule(const FitCamera& candidate) {
  return candidate.camera && candidate.report.value("fit_accepted", false) &&
         candidate.report.value("camera_off_fit_px", 1e9) <= kMaxCameraOffFitPx;
}

// A fit whose ring edges explain it by the engine's own "calibrate" rule is what the engine
// takes. Setting up through the runtime must not refuse it: where the edge judgement does not
// confirm such a fit (its 8 mm bed model against a board of 10 mm beds at 1920x1080, a blurred
// one; on real boards, edges scattered a pixel or two about every camera), the fit's own camera
// stands, placed as the fit places it, provided the camera recorded from it follows the fit's
// homography. On the image rectified with the landmark road's lens the rule judges the lens as
// well: a wrong lens leaves the rings no homography can follow. The network's crossings are not
// asked here: in a dim room they scatter, and they gainsaid 13 of 30 such fits the engine takes.
JudgedFit judgedWithFit(const cv::Mat& grey, FitCamera candidate, const LandmarkSolution& landmark) {
  const bool fitAccepted = acceptedByItsRule(candidate);
  std::optional<CameraEstimate> fitted;
  if (fitAccepted) fitted = cloneCameraEstimate(*candidate.camera);
  JudgedFit out = judged(grey, std::move(candidate), landmark);
  if (!fitAccepted || out.confirmed) return out;
  out.camera = std::move(fitted);
  out.confirmed = true;
  out.byFitRuleOnly = true;
  out.rmsPx = out.report["fit_report"].value("rms_px", out.rmsPx);
  out.reason.clear();
  out.report["confirmed_by"] = "FIT_ACCEPTED";
  return out;
}

// How far apart a landmark camera graded on its crossings and the engine's fit may place the
// board and still be taken for the same one (pixels, the mean over a ring). Such landmark
// cameras lay up to 1.9 px off the true one where the fit lay within 0.6.
constexpr double kSameBoardPx = 3.0;

// How far the nearest plane mapping (a homography, no lens) of a camera's board lies from the
// camera's own projection of it, over its rings and wires where the image shows them: the least
// a fit without a lens can be off from that camera (pixels, the farthest point).
double lensBendPx(const CameraEstimate& e) {
  std::vector<cv::Point3d> board;
  for (double r : {16.0, 57.0, 99.0, 107.0, 162.0, 170.0}) {
    for (int i = 0; i < 40; ++i) {
      const double t = 9.0 * i * CV_PI / 180.0;
      board.emplace_back(r * std::cos(t), r * std::sin(t), 0.0);
    }
  }
  const std::vector<cv::Point2d> seen = projectBoardPoints(e, board);
  std::vector<cv::Point2f> from, to;
  for (size_t i = 0; i < board.size(); ++i) {
    if (!(seen[i].x >= 0.0 && seen[i].y >= 0.0 && seen[i].x < e.width && seen[i].y < e.height)) continue;
    from.emplace_back(static_cast<float>(board[i].x), static_cast<float>(board[i].y));
    to.emplace_back(seen[i]);
  }
  if (from.size() < 8) return 1e9;
  const cv::Mat H = cv::findHomography(from, to, 0);
  if (H.empty()) return 1e9;
  std::vector<cv::Point2f> mapped;
  cv::perspectiveTransform(from, mapped, H);
  double worst = 0.0;
  for (size_t i = 0; i < mapped.size(); ++i) worst = std::max(worst, static_cast<double>(cv::norm(mapped[i] - to[i])));
  return worst;
}

}  // namespace

LandmarkSolution solveByBoardFit(const cv::Mat& image, const LandmarkSolution& landmark, json& report) {
  LandmarkSolution sol;
  sol.width = image.cols;
  sol.height = image.rows;
  sol.crossingsDetected = landmark.crossingsDetected;
  report = json::object();
  // The landmark road's lens and plane may both be wrong (its camera red): the fit on the
  // image as taken does not depend on them, and is judged the same way where the camera
  // started from them is not confirmed. Needing nothing of that one, it runs beside it on a
  // thread of its own where a core is free (the serial order otherwise), and is used as the
  // serial order would. The thread is joined before anything leaves the call.
  std::optional<FitCamera> takenFit;
  std::exception_ptr takenError;
  const auto fitTaken = [&] {
    try {
      takenFit = fitAsTaken(image);
    } catch (...) {
      takenError = std::current_exception();
    }
  };
  BesideTask taken(fitTaken);
  FitCamera started = fitFromLandmarkStart(image, landmark, report);
  cv::Mat grey;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  JudgedFit best = judgedWithFit(grey, std::move(started), landmark);
  if (!best.confirmed || best.byFitRuleOnly) {
    taken.finish();
    if (takenError) std::rethrow_exception(takenError);
    JudgedFit asTaken = judgedWithFit(grey, std::move(*takenFit), landmark);
    // A confirmed fit on the image as taken wins here, also where the fit's rule alone confirms
    // both: that one is the engine's own.
    const bool takenBetter = asTaken.camera && (asTaken.confirmed || !best.camera);
    report["other_start"] = takenBetter ? best.report : asTaken.report;
    if (takenBetter) best = std::move(asTaken);
  }
  for (auto it = best.report.begin(); it != best.report.end(); ++it) report[it.key()] = it.value();
  if (!best.camera) {
    sol.reason = best.reason;
    return sol;
  }
  const CameraOrientation oriented = orientOnTheBoard(image, grey, *best.camera, best.confirmed, landmark, report);
  sol.colourScore = oriented.colourScore;
  sol.ok = true;
  setSolutionCamera(sol, oriented.camera);
  sol.twentySure = oriented.twentySure;
  sol.rmsPx = best.rmsPx;
  sol.edgesConfirm = best.confirmed;
  sol.grade = best.confirmed ? (oriented.twentySure ? 0 : 1) : 2;
  sol.reason = best.reason;
  return sol;
}

std::optional<LandmarkSolution> placeOnFitAsTaken(const cv::Mat& image, const LandmarkSolution& landmark, json& report) {
  FitCamera taken = fitAsTaken(image);
  const bool accepted = acceptedByItsRule(taken);
  report = std::move(taken.report);
  report["placed"] = false;
  if (!accepted) return std::nullopt;
  const CameraEstimate known = cameraFromSolution(landmark);
  const TurnToward turn = turnToward(*taken.camera, known);
  CameraEstimate placed = cloneCameraEstimate(*taken.camera);
  rotateBySectors(placed, turn.sectors);
  // The treble ring too: a fit without a lens can meet a bent camera's double ring and still
  // lie apart from it inside.
  const double apartPx = std::max(turn.distancePx, ringDistancePx(placed, known, 107.0));
  report["ring_distance_px"] = apartPx;
  if (!turn.unambiguous() || !(apartPx <= kSameBoardPx)) return std::nullopt;
  // A fit without a lens cannot follow a bent view: where the two part by no more than the
  // landmark camera's lens bends its board away from any plane mapping, the difference may be
  // that lens, and the landmark camera stands (a wide lens at 1920x1080: the cameras 1.65 px
  // apart, the lens bending 2.7 px; the fit lay 2.6 px off the true ring, the landmark camera 1.3).
  const double bendPx = lensBendPx(known);
  report["lens_bend_px"] = bendPx;
  if (!(apartPx > bendPx)) return std::nullopt;
  LandmarkSolution out = landmark;
  setSolutionCamera(out, placed);
  report["placed"] = true;
  return out;
}

}  // namespace tarv
