#include "tarv/camera/board_fit_record.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/camera_edges.h"
#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/number_ring.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/camera/camera_model.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The engine fits images of at most 720 rows; the edges then refine the camera at full size.
constexpr double kMaxFitRows = 720.0;
// A board seen 10 degrees above its plane is 5.8 times longer than wide in the image. The
// engine's limit of 4 refuses every view below about 15 degrees; here the image's own edges
// judge the result, so the shape need only exclude what no board seen from 8 degrees up is.
constexpr double kMaxEllipseAspect = 8.0;
// The wires that hold a camera seen low: found along this share of their points in view, and
// of those found this share within the edge judgement's distance of the camera; the camera
// fitted to the edges no farther than this from the fit's own (pixels, mean over the ring).
constexpr double kMinWireFoundShare = 0.5;
constexpr double kMinWireAgreeShare = 0.85;
constexpr double kMaxFittedShiftPx = 8.0;
constexpr int kMinSupportingOctants = 2;
// Beds' colours on fewer than this share of the expected sides leave the parity unsure.
constexpr double kMinColourScore = 0.7;

// Focal length of a homography with the principal point c and square pixels: the board's x
// and y axes are orthogonal and of equal length. NaN when neither condition determines it.
double focalFromHomography(const cv::Matx33d& H, cv::Point2d c) {
  const cv::Matx33d M = cv::Matx33d(1, 0, -c.x, 0, 1, -c.y, 0, 0, 1) * H;
  const double a1 = M(0, 0), b1 = M(1, 0), c1 = M(2, 0), a2 = M(0, 1), b2 = M(1, 1), c2 = M(2, 1);
  std::vector<double> f2;
  if (std::abs(c1 * c2) > 1e-18) f2.push_back(-(a1 * a2 + b1 * b2) / (c1 * c2));
  if (std::abs(c1 * c1 - c2 * c2) > 1e-18) f2.push_back((a2 * a2 + b2 * b2 - a1 * a1 - b1 * b1) / (c1 * c1 - c2 * c2));
  double sum = 0.0;
  int n = 0;
  for (double v : f2) {
    if (v > 0.0 && std::isfinite(v)) sum += std::sqrt(v), ++n;
  }
  return n == 0 ? std::nan("") : sum / n;
}

// The camera whose board plane the homography (engine frame -> rectified pixels) shows,
// through the lens where one is known: fitted to the homography's points on the board.
std::optional<CameraEstimate> cameraFromFit(const Homography& h, const std::optional<CameraModel>& lens, cv::Size size) {
  const cv::Matx33d H(h.data());
  std::vector<cv::Point3f> object;
  std::vector<cv::Point2f> image;
  for (const double r : {20.0, 60.0, 100.0, 135.0, 170.0}) {
    for (int k = 0; k < 24; ++k) {
      const double a = k * 15.0 * kPi / 180.0, x = r * std::cos(a), y = r * std::sin(a);
      const Point2 ideal = applyHomography(h, {x, y});
      const cv::Point2d p = lens ? distortPixel(*lens, {ideal.x, ideal.y}) : cv::Point2d(ideal.x, ideal.y);
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      // The camera model's board frame has the 20 at +y, the engine's at -y.
      object.emplace_back(static_cast<float>(x), static_cast<float>(-y), 0.0f);
      image.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
  }
  if (object.size() < 20) return std::nullopt;
  CameraEstimate e;
  e.width = size.width;
  e.height = size.height;
  if (lens) {
    e.K = cv::Mat(lens->K).clone();
    e.dist = cv::Mat(lens->dist).reshape(1, 1).clone();
  } else {
    const cv::Point2d c((size.width - 1) * 0.5, (size.height - 1) * 0.5);
    double f = focalFromHomography(H, c);
    if (!(f > 0.1 * size.width && f < 20.0 * size.width)) f = 0.8 * std::max(size.width, size.height);
    e = makeCameraEstimate(size.width, size.height, f);
  }
  int flags = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_ASPECT_RATIO |
              cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;
  if (!lens) flags |= cv::CALIB_FIX_K1;
  std::vector<cv::Mat> rvecs, tvecs;
  cv::calibrateCamera(std::vector<std::vector<cv::Point3f>>{object}, std::vector<std::vector<cv::Point2f>>{image}, size, e.K,
                      e.dist, rvecs, tvecs, flags,
                      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-12));
  e.dist = e.dist.reshape(1, 1);
  e.rvec = rvecs.at(0).clone();
  e.tvec = tvecs.at(0).clone();
  if (!cv::checkRange(e.K) || !cv::checkRange(e.dist) || !cv::checkRange(e.rvec) || !cv::checkRange(e.tvec) ||
      !(cameraCentre(e)[2] > 0.0)) {
    return std::nullopt;
  }
  return e;
}

// The board fit on the image reduced to the engine's working size, its homography brought back
// to the image's pixels. With an initial homography (image pixels) the fit refines that one on
// the ring edges; without, it finds the board from its colours and wires.
json fitOnWorkingSize(const cv::Mat& image, const std::optional<Homography>& initial) {
  BoardFitOptions options;
  options.maxEllipseAspect = kMaxEllipseAspect;
  options.orientationOptional = true;
  const double s = std::min(1.0, kMaxFitRows / image.rows);
  cv::Mat reduced = image;
  if (s < 1.0) cv::resize(image, reduced, cv::Size(), s, s, cv::INTER_AREA);
  const double sx = static_cast<double>(reduced.cols) / image.cols, sy = static_cast<double>(reduced.rows) / image.rows;
  // Pixel centres keep their place: full-image pixel x is seen at s·(x + 0.5) − 0.5.
  const cv::Matx33d down(sx, 0, 0.5 * sx - 0.5, 0, sy, 0.5 * sy - 0.5, 0, 0, 1);
  auto mapped = [](const cv::Matx33d& m, const Homography& h) {
    const cv::Matx33d H = m * cv::Matx33d(h.data());
    Homography out;
    for (int i = 0; i < 9; ++i) out[static_cast<size_t>(i)] = H.val[i] / H(2, 2);
    return out;
  };
  json request = json::object();
  if (initial) request["initial"] = matrix3x3ToJson(mapped(down, *initial));
  json fit = fitBoardGeometry(reduced, request, options);
  if (fit.contains("board_to_image")) fit["board_to_image"] = matrix3x3ToJson(mapped(down.inv(), matrix3x3FromJson(fit["board_to_image"])));
  return fit;
}

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

// Mean pixel distance of two cameras' 170 mm rings.
double ringDistancePx(const CameraEstimate& a, const CameraEstimate& b) {
  std::vector<cv::Point3d> ring;
  for (int i = 0; i < 20; ++i) {
    const double t = (9.0 + 18.0 * i) * kPi / 180.0;
    ring.emplace_back(170.0 * std::cos(t), 170.0 * std::sin(t), 0.0);
  }
  const std::vector<cv::Point2d> pa = projectBoardPoints(a, ring), pb = projectBoardPoints(b, ring);
  double sum = 0.0;
  for (size_t i = 0; i < ring.size(); ++i) sum += cv::norm(pa[i] - pb[i]);
  return sum / static_cast<double>(ring.size());
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

// A board fit's camera judged on the image's own ring and wire edges: the one judgement every
// candidate of this road passes.
struct JudgedFit {
  std::optional<CameraEstimate> camera;  // none: the fit found no board, or no camera for it
  bool confirmed = false;
  double rmsPx = 99.0;
  std::string reason;
  json report = json::object();
};

JudgedFit judgeFit(const cv::Mat& grey, const json& fit, const std::optional<CameraModel>& lens,
                   const LandmarkSolution& landmark, const char* start) {
  JudgedFit out;
  json& report = out.report;
  report["start"] = start;
  if (!fit.contains("board_to_image")) {
    out.reason = "BOARD_FIT: " + fit.value("error", std::string("NO_FIT"));
    report["error"] = fit.value("error", std::string());
    return out;
  }
  report["road"] = fit.value("method", std::string());
  report["fit_accepted"] = fit.value("accepted", false);
  report["fit_report"] = {{"rms_px", fit["report"].value("rms_px", 99.0)},
                          {"octants", fit["report"].value("octants", 0)},
                          {"inlier_fraction", fit["report"].value("inlier_fraction", 0.0)},
                          {"initial_source", fit["report"].value("initial_source", std::string())}};
  if (fit.contains("rejection")) report["fit_rejection"] = fit["rejection"];
  const std::optional<CameraEstimate> first = cameraFromFit(matrix3x3FromJson(fit["board_to_image"]), lens, grey.size());
  if (!first) {
    out.reason = "BOARD_FIT: NO_CAMERA_FOR_HOMOGRAPHY";
    return out;
  }
  // The same judgement of the camera on the image's own ring and wire edges as the landmark
  // road's: no crossings to keep here, the edges alone decide.
  CameraEdgeFit edges = refineCameraByEdges(grey, *first, {});
  if (edges.supported && edges.wireAgreement < kMinConfirmingWireShare) {
    edges.supported = false;
    report["wires_beside"] = edges.wireAgreement;
  }
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
  out.camera = cloneCameraEstimate(edges.supported ? edges.camera : wiresHold ? *edges.fitted : *first);
  out.confirmed = (edges.supported || wiresHold) && !crossingsGainsay(*out.camera, landmark, report);
  out.rmsPx = edges.report.value("rms_px", 99.0);
  if (!out.confirmed) out.reason = "BOARD_FIT: EDGES_DO_NOT_CONFIRM";
  return out;
}

// The board fit exactly as the engine's "calibrate" runs it on this image: the same reduction
// to its working size, the same fit and limits, no lens and no plane from the landmark road;
// only the orientation is left open, for the beds, the numbers or a click to decide.
json fitAsTaken(const cv::Mat& image) {
  const double scale = image.rows > kMaxFitRows ? kMaxFitRows / image.rows : 1.0;
  cv::Mat reduced = image;
  if (scale < 1.0) {
    const cv::Size size(std::max(1L, std::lround(image.cols * scale)), std::max(1L, std::lround(image.rows * scale)));
    cv::resize(image, reduced, size, 0, 0, cv::INTER_AREA);
  }
  BoardFitOptions options;
  options.orientationOptional = true;
  return fitReducedBoardGeometry(reduced, json::object(), scale, options);
}

}  // namespace

LandmarkSolution solveByBoardFit(const cv::Mat& image, const LandmarkSolution& landmark, json& report) {
  LandmarkSolution sol;
  sol.width = image.cols;
  sol.height = image.rows;
  sol.crossingsDetected = landmark.crossingsDetected;
  std::optional<CameraModel> lens;
  cv::Mat rectified = image;
  if (landmark.ok) {
    const json model = json::parse(writeVisionReport(landmark));
    lens = parseCameraModel(model);
    LensMaps maps;
    buildLensMaps(maps, model, image.cols, image.rows);
    rectified = undistortFrame(maps, image, false);
  }
  report = {{"rectified", landmark.ok}};
  // Where the landmark road has a camera, the fit refines its board plane on the ring edges (the
  // marker road); where it has none, or the edges refuse that plane, the fit finds the board
  // from its colours and wires.
  std::optional<Homography> initial;
  if (landmark.ok) initial = planeHomographyFromPose(*lens);
  json fit = fitOnWorkingSize(rectified, initial);
  const char* start = initial ? "LANDMARK_PLANE" : "COLOURS";
  if (initial && !fit.value("accepted", false)) {
    const json colour = fitOnWorkingSize(rectified, std::nullopt);
    report["marker_road"] = fit.value("rejection", fit.value("error", std::string()));
    if (colour.contains("board_to_image") || !fit.contains("board_to_image")) fit = colour, start = "RECTIFIED_COLOURS";
  }
  cv::Mat grey, hsv;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  JudgedFit best = judgeFit(grey, fit, lens, landmark, start);
  // The landmark road's lens and plane may both be wrong (its camera red): the fit on the
  // image as taken does not depend on them, and is judged the same way.
  if (!best.confirmed) {
    JudgedFit taken = judgeFit(grey, fitAsTaken(image), std::nullopt, landmark, "AS_TAKEN");
    const bool takenBetter = taken.camera && (taken.confirmed || !best.camera);
    report["other_start"] = takenBetter ? best.report : taken.report;
    if (takenBetter) best = std::move(taken);
  }
  for (auto it = best.report.begin(); it != best.report.end(); ++it) report[it.key()] = it.value();
  if (!best.camera) {
    sol.reason = best.reason;
    return sol;
  }
  const CameraEstimate& camera = *best.camera;
  const bool confirmed = best.confirmed;

  // The orientation as the landmark road reads it: the beds' colours fix the parity, the
  // printed numbers' widths the turn; a sure 20 of the landmark road's camera lying on the
  // same board, where that camera's edges confirm it, names it as well.
  cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
  CameraEstimate A = cloneCameraEstimate(camera), B = cloneCameraEstimate(camera);
  rotateBySectors(B, 1);
  const double a = colourParityScore(A, hsv), b = colourParityScore(B, hsv);
  CameraEstimate oriented = cloneCameraEstimate(a >= b ? A : B);
  sol.colourScore = std::max(a, b);
  bool sure = false;
  if (confirmed) {
    const NumberRingReading ring = readNumberRing(grey, oriented);
    report["numbers"] = {{"sure", ring.sure}, {"shift", ring.shift}};
    if (ring.sure) {
      rotateBySectors(oriented, ring.shift);
      sure = sol.colourScore >= kMinColourScore;
    }
  }
  // A sure 20 counts only from a landmark camera its own edges confirm: on one they do not, the
  // network's number votes are cast through a camera pixels off, and a low board's red camera
  // has been sure of the wrong turn.
  if (!sure && landmark.ok && landmark.twentySure && landmark.edgesConfirm) {
    const CameraEstimate known = cameraFromSolution(landmark);
    int bestTurn = 0;
    double bestPx = 1e300, runnerUp = 1e300;
    for (int k = 0; k < 20; ++k) {
      CameraEstimate turned = cloneCameraEstimate(oriented);
      rotateBySectors(turned, k);
      const double d = ringDistancePx(turned, known);
      if (d < bestPx) runnerUp = bestPx, bestPx = d, bestTurn = k;
      else runnerUp = std::min(runnerUp, d);
    }
    // Only a turn the landmark camera tells apart from the next one names the 20.
    if (bestPx < 0.25 * runnerUp) {
      rotateBySectors(oriented, bestTurn);
      sure = true;
      report["orientation_from_landmarks"] = true;
    }
  }
  sol.ok = true;
  sol.K = oriented.K.clone();
  sol.dist = oriented.dist.clone();
  sol.rvec = oriented.rvec.clone();
  sol.tvec = oriented.tvec.clone();
  sol.twentySure = sure;
  sol.rmsPx = best.rmsPx;
  sol.edgesConfirm = confirmed;
  sol.grade = confirmed ? (sure ? 0 : 1) : 2;
  sol.reason = best.reason;
  return sol;
}

}  // namespace tarv
