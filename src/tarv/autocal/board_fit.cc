#include "tarv/autocal/board_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/autocal/bed_ellipse.h"
#include "tarv/autocal/ring_edges.h"
#include "tarv/autocal/wire_lines.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRingMm = 170.0;
constexpr double kNoLandmarkScore = 99.0;
constexpr double kMaxMarkerShiftPx = 15.0;
constexpr double kMaxClickRadiusMm = 200.0;
constexpr double kMaxClickErrorDeg = 9.0;
// A prior that agrees with no turn of the fit better than a quarter sector says nothing
// about which turn is right: its camera has been moved or turned since.
constexpr double kMaxPriorErrorDeg = 4.5;
constexpr double kLandmarksOffRingMm = 4.0;
constexpr int kLineLimits[] = {120, 200, 300};

struct InitialFit {
  std::string name;
  cv::RotatedRect ellipse;
};

Point2 boardPolarPoint(double radius, double degrees) {
  const double a = degrees * kPi / 180.0;
  return {radius * std::cos(a), radius * std::sin(a)};
}

Homography invert(const Homography& h) {
  const cv::Matx33d m(h.data());
  const cv::Matx33d inv = m.inv();
  Homography out{};
  for (int i = 0; i < 9; ++i) out[static_cast<size_t>(i)] = inv.val[i];
  return out;
}

double distance(Point2 a, Point2 b) { return std::hypot(a.x - b.x, a.y - b.y); }

std::string formatFixed(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%f", value);
  return buffer;
}

std::string opencvError(const cv::Exception& e) { return std::string("OPENCV: ") + e.what(); }

json fitResultPoints(const Homography& h) {
  json points = json::array();
  for (double degrees : {-81.0, 9.0, 99.0, 189.0}) {
    points.push_back(pointToJson(applyHomography(h, boardPolarPoint(kRingMm, degrees))));
  }
  return points;
}

// [octants in view, supporting, contradicting] of one ring, when the report has them.
std::optional<std::array<int, 3>> ringOctants(const json& report, size_t ring) {
  const auto it = report.find("ring_octants");
  if (it == report.end() || !it->is_array() || it->size() <= ring) return std::nullopt;
  const json& counts = (*it)[ring];
  if (!counts.is_array() || counts.size() != 3) return std::nullopt;
  std::array<int, 3> out{};
  for (size_t i = 0; i < 3; ++i) {
    if (!counts[i].is_number_integer()) return std::nullopt;
    out[i] = counts[i].get<int>();
  }
  return out;
}

std::string ringRejection(const json& report) {
  std::string text = "RING_EDGES_NOT_FOLLOWED:";
  const char* names[] = {"treble", "double"};
  for (size_t ring = 0; ring < 2; ++ring) {
    const auto c = ringOctants(report, ring);
    if (!c) continue;
    text += std::string(ring == 0 ? " " : "; ") + names[ring] + " ring " + std::to_string((*c)[1]) + " of " +
            std::to_string((*c)[0]) + " octants in view follow the fit (min half), " + std::to_string((*c)[2]) +
            " contradict it (max 0)";
  }
  return text;
}

json fitByMarkers(const cv::Mat& grey, const json& request) {
  const Homography h0 = matrix3x3FromJson(request.at("initial"));
  // Rings and wires look the same in a mirror; only the markers' own classes could tell,
  // so a mirrored marker homography is refused rather than refined into a perfect fit.
  if (!keepsBoardHandedness(h0)) throw CalibrationError("MIRRORED_HOMOGRAPHY");
  json report = {{"initial_source", "ML_MARKERS"}};
  json refinement;
  std::optional<Homography> h1;
  try {
    h1 = refineByRingEdges(grey, h0, refinement);
  } catch (const CalibrationError& e) {
    report["refinement_error"] = e.what();
  }
  bool refined = false;
  double shift = 0.0;
  Homography h = h0;
  if (h1) {
    for (const Point2& p : ringWirePoints()) shift += distance(applyHomography(h0, p), applyHomography(*h1, p));
    shift /= 20.0;
    if (shift > kMaxMarkerShiftPx) {
      report["refinement_rejected"] = "RING_SHIFT_" + std::to_string(std::lround(shift)) + "_PX";
    } else if (!keepsBoardHandedness(*h1)) {
      report["refinement_rejected"] = "MIRRORED_HOMOGRAPHY";
    } else {
      h = *h1;
      refined = true;
      for (auto it = refinement.begin(); it != refinement.end(); ++it) report[it.key()] = it.value();
    }
  }
  report["refined"] = refined;
  report["refinement_shift_px"] = shift;
  // An initial homography is only a guess: accepted is what the ring edges confirm. One the
  // refinement could not use (no edges where it puts the rings) or had to move far is not
  // confirmed by anything in the image.
  const bool accepted = refined && isFitAcceptable(report) && followsTheRings(report);
  json result = {{"accepted", accepted},
                 {"refined", refined},
                 {"board_to_image", matrix3x3ToJson(h)},
                 {"initial_board_to_image", matrix3x3ToJson(h0)},
                 {"points_px", fitResultPoints(h)},
                 {"bull_px", pointToJson(applyHomography(h, {0.0, 0.0}))},
                 {"orientation_source", "ML_MARKER_CLASSES"},
                 {"report", report},
                 {"method", "ML_MARKERS + RING_EDGE_HOMOGRAPHY_REFINEMENT"}};
  if (!refined) {
    result["rejection"] = report.contains("refinement_error") ? report["refinement_error"] : report["refinement_rejected"];
  } else if (!isFitAcceptable(report)) {
    result["rejection"] = "CALIBRATION_QUALITY_BELOW_THRESHOLD: rms " + formatFixed(report.value("rms_px", 9.0)) + " px, inliers " +
                          formatFixed(report.value("inlier_fraction", 0.0)) + ", octants " +
                          std::to_string(report.value("octants", 0));
  } else if (!accepted) {
    result["rejection"] = ringRejection(report);
  }
  return result;
}

std::vector<Point2> readLandmarks(const json& request) {
  std::vector<Point2> points;
  const auto it = request.find("landmarks");
  if (it == request.end() || !it->is_array()) return points;
  for (const json& element : *it) {
    if (element.is_array() && element.size() >= 2) points.push_back(pointFromJson(element));
  }
  return points;
}

cv::RotatedRect landmarkEllipse(const std::vector<Point2>& landmarks, double maxAspect) {
  std::vector<cv::Point2f> points;
  for (const Point2& p : landmarks) points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
  const cv::RotatedRect ellipse = cv::fitEllipse(points);
  checkEllipsePlausible(ellipse, maxAspect);
  return ellipse;
}

// Runs one initial-fit step; a failure is kept in the error list under the fit's name.
template <typename F>
void tryFit(const std::string& name, std::vector<std::string>& errors, F&& step) {
  try {
    step();
  } catch (const cv::Exception& e) {
    errors.push_back(name + ": " + opencvError(e));
  } catch (const std::runtime_error& e) {
    // Calibration codes and also a projection at infinity: one bad candidate must not lose
    // the others.
    errors.push_back(name + ": " + e.what());
  }
}

std::vector<InitialFit> initialFits(const cv::Mat& image, const std::vector<Point2>& landmarks,
                                    std::vector<std::string>& errors, double maxAspect) {
  std::vector<InitialFit> fits;
  for (const bool illuminated : {false, true}) {
    const std::string name = illuminated ? "ILLUMINATED_BEDS" : "RING_ELLIPSE";
    tryFit(name, errors, [&] { fits.push_back({name, fitOuterEllipse(colouredBedMask(image, illuminated), maxAspect)}); });
  }
  if (landmarks.size() >= 5) {
    tryFit("ML_LANDMARK_ELLIPSE", errors, [&] { fits.push_back({"ML_LANDMARK_ELLIPSE", landmarkEllipse(landmarks, maxAspect)}); });
  }
  return fits;
}

BoardFitCandidate buildCandidate(const cv::Mat& grey, const InitialFit& fit, int lineLimit,
                                 const std::vector<Point2>& landmarks) {
  BoardFitCandidate c;
  c.name = fit.name + "_" + std::to_string(lineLimit);
  c.ellipse = fit.ellipse;
  c.initial = findWireFamilies(grey, fit.ellipse, lineLimit, c.wireReport);
  c.refined = refineByRingEdges(grey, c.initial, c.refinementReport);
  if (!keepsBoardHandedness(c.refined)) throw CalibrationError("MIRRORED_HOMOGRAPHY");
  c.landmarkCount = static_cast<int64_t>(landmarks.size());
  if (!landmarks.empty()) {
    const Homography inverse = invert(c.refined);
    std::vector<double> offsets;
    for (const Point2& p : landmarks) {
      const Point2 q = applyHomography(inverse, p);
      offsets.push_back(std::abs(std::hypot(q.x, q.y) - kRingMm));
    }
    std::sort(offsets.begin(), offsets.end());
    c.landmarkMedianMm = offsets[offsets.size() / 2];
  }
  return c;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : "; ") + p;
  return text;
}

// The turn that puts sector 20 under the click.
Homography turnByClick(const Homography& h, const json& click, json& report) {
  const Point2 p = pointFromJson(click);
  const Point2 q = applyHomography(invert(h), p);
  if (std::hypot(q.x, q.y) > kMaxClickRadiusMm) throw CalibrationError("CLICK_OUTSIDE_BOARD");
  int best = 0;
  double bestError = 1e300;
  for (int k = 0; k < 20; ++k) {
    const double error = angleFromSectorTwenty(rotateBoardFrame(h, k), p);
    if (error < bestError) {
      bestError = error;
      best = k;
    }
  }
  if (bestError > kMaxClickErrorDeg) throw CalibrationError("CLICK_NOT_INSIDE_SECTOR_20_FOR_ANY_ORIENTATION");
  report["click_error_deg"] = bestError;
  return rotateBoardFrame(h, best);
}

// Mean angle between where the prior sees the ring's wire ends and where the turned fit does.
double priorErrorDegrees(const Homography& turned, const Homography& prior) {
  const Homography inverse = invert(turned);
  double sum = 0.0;
  for (const Point2& p : ringWirePoints()) {
    const Point2 q = applyHomography(inverse, applyHomography(prior, p));
    double d = (std::atan2(q.y, q.x) - std::atan2(p.y, p.x)) * 180.0 / kPi;
    d = std::fmod(std::fmod(d, 360.0) + 540.0, 360.0) - 180.0;
    sum += std::abs(d);
  }
  return sum / 20.0;
}

// The turn that brings the ring closest to where the prior calibration sees it.
Homography turnByPrior(const Homography& h, const json& priorJson, json& report) {
  const Homography prior = matrix3x3FromJson(priorJson);
  const std::vector<Point2> ring = ringWirePoints();
  std::vector<Point2> seen;
  for (const Point2& p : ring) seen.push_back(applyHomography(prior, p));
  int best = 0;
  double bestCost = 1e300;
  for (int k = 0; k < 20; ++k) {
    const Homography turned = rotateBoardFrame(h, k);
    double cost = 0.0;
    for (size_t i = 0; i < ring.size(); ++i) cost += distance(applyHomography(turned, ring[i]), seen[i]);
    if (cost < bestCost) {
      bestCost = cost;
      best = k;
    }
  }
  const Homography turned = rotateBoardFrame(h, best);
  const double error = priorErrorDegrees(turned, prior);
  report["prior_error_deg"] = error;
  if (!(error <= kMaxPriorErrorDeg)) throw CalibrationError("PRIOR_CALIBRATION_DOES_NOT_MATCH");
  return turned;
}

json ellipseJson(const cv::RotatedRect& e) {
  return {{"center", {e.center.x, e.center.y}}, {"axes", {e.size.width, e.size.height}}, {"angle", e.angle}};
}

json fitByColour(const cv::Mat& image, const cv::Mat& grey, const json& request, const BoardFitOptions& options) {
  const std::vector<Point2> landmarks = readLandmarks(request);
  std::vector<std::string> errors;
  std::vector<BoardFitCandidate> candidates;
  for (const InitialFit& fit : initialFits(image, landmarks, errors, options.maxEllipseAspect)) {
    for (int limit : kLineLimits) {
      tryFit(fit.name, errors, [&] { candidates.push_back(buildCandidate(grey, fit, limit, landmarks)); });
    }
  }
  if (candidates.empty()) throw CalibrationError(errors.empty() ? "NO_INITIAL_FIT" : joined(errors));
  std::sort(candidates.begin(), candidates.end(), compareFitCandidates);
  const BoardFitCandidate& best = candidates.front();

  json report = best.refinementReport;
  report["initial_source"] = best.name;
  json summary = json::object();
  for (const BoardFitCandidate& c : candidates) {
    summary[c.name] = {{"landmark_median_mm", c.landmarkCount == 0 ? json(nullptr) : json(c.landmarkMedianMm)},
                       {"rms_px", c.refinementReport.value("rms_px", 0.0)}};
  }
  report["initial_candidates"] = summary;
  if (!errors.empty()) report["initial_errors"] = errors;
  if (!landmarks.empty()) report["landmarks"] = {{"count", landmarks.size()}, {"median_mm", best.landmarkMedianMm}};
  const bool offRing = landmarks.size() >= 4 && best.landmarkMedianMm > kLandmarksOffRingMm;

  Homography h = best.refined;
  std::string source;
  const auto click = request.find("click_px");
  const auto prior = request.find("prior");
  if (click != request.end() && click->is_array() && click->size() == 2) {
    h = turnByClick(h, *click, report);
    source = "USER_CLICK_ON_20";
  } else if (prior != request.end() && prior->is_array()) {
    h = turnByPrior(h, *prior, report);
    source = "PRIOR_CALIBRATION";
  } else if (options.orientationOptional) {
    source = "NONE";
  } else {
    throw CalibrationError("ORIENTATION_UNKNOWN: tap on sector 20 or a prior calibration required");
  }

  const bool accepted = isFitAcceptable(report) && !offRing && followsTheRings(report);
  json result = {{"accepted", accepted},
                 {"board_to_image", matrix3x3ToJson(h)},
                 {"initial_board_to_image", matrix3x3ToJson(best.initial)},
                 {"points_px", fitResultPoints(h)},
                 {"bull_px", pointToJson(applyHomography(h, {0.0, 0.0}))},
                 {"ellipse", ellipseJson(best.ellipse)},
                 {"initial", best.wireReport},
                 {"orientation_source", source},
                 {"report", report},
                 {"method", "COLOUR_ELLIPSE + PERIODIC_WIRES + RING_EDGE_HOMOGRAPHY_REFINEMENT"}};
  if (offRing) {
    result["rejection"] = "ML_LANDMARKS_OFF_THE_RING: Ringkreuzungen des Modells liegen im Median " +
                          formatFixed(best.landmarkMedianMm) + " mm neben dem 170-mm-Ring (Grenze 4 mm)";
  } else if (!isFitAcceptable(report)) {
    result["rejection"] = "CALIBRATION_QUALITY_BELOW_THRESHOLD: rms " + formatFixed(report.value("rms_px", 9.0)) + " px (max 1.5), inliers " +
                          formatFixed(report.value("inlier_fraction", 0.0)) + " (min 0.5), octants " +
                          std::to_string(report.value("octants", 0)) + " (min 6)";
  } else if (!accepted) {
    result["rejection"] = ringRejection(report);
  }
  return result;
}

}  // namespace

bool isFitAcceptable(const json& report) {
  const double rms = report.value("rms_px", 9.0);
  const double inliers = report.value("inlier_fraction", 0.0);
  const int octants = report.value("octants", 0);
  if (rms > 1.5 || octants < 6) return false;
  if (inliers >= 0.5) return true;
  if (inliers < 0.4) return false;
  return rms <= 1.0 && octants == 8;
}

bool followsTheRings(const json& report) {
  for (size_t ring = 0; ring < 2; ++ring) {
    const auto c = ringOctants(report, ring);
    if (!c) continue;
    const int inView = (*c)[0], supporting = (*c)[1], contradicting = (*c)[2];
    if (contradicting > 0 || 2 * supporting < inView || (inView > 0 && supporting == 0)) return false;
  }
  return true;
}

bool compareFitCandidates(const BoardFitCandidate& a, const BoardFitCandidate& b) {
  // The ring judgement that decides acceptance ranks too: a candidate whose rings the image
  // contradicts must not win on its landmarks or its inliers' rms.
  const bool acceptableA = isFitAcceptable(a.refinementReport) && followsTheRings(a.refinementReport);
  const bool acceptableB = isFitAcceptable(b.refinementReport) && followsTheRings(b.refinementReport);
  if (acceptableA != acceptableB) return acceptableA;
  const double scoreA = a.landmarkCount < 4 ? kNoLandmarkScore : a.landmarkMedianMm;
  const double scoreB = b.landmarkCount < 4 ? kNoLandmarkScore : b.landmarkMedianMm;
  if (scoreA != scoreB) return scoreA < scoreB;
  return a.refinementReport.value("rms_px", 99.0) < b.refinementReport.value("rms_px", 99.0);
}

Homography rotateBoardFrame(const Homography& h, int k) {
  const double t = 18.0 * k * kPi / 180.0;
  const cv::Matx33d rotation(std::cos(t), -std::sin(t), 0.0, std::sin(t), std::cos(t), 0.0, 0.0, 0.0, 1.0);
  const cv::Matx33d turned = cv::Matx33d(h.data()) * rotation;
  Homography out{};
  for (int i = 0; i < 9; ++i) out[static_cast<size_t>(i)] = turned.val[i];
  return out;
}

double angleFromSectorTwenty(const Homography& h, Point2 imagePoint) {
  const Point2 q = applyHomography(invert(h), imagePoint);
  const double a = std::atan2(q.y, q.x) * 180.0 / kPi;
  double wrapped = std::fmod(a + 270.0, 360.0);
  if (wrapped < 0.0) wrapped += 360.0;
  return std::abs(wrapped - 180.0);
}

json fitBoardGeometry(const cv::Mat& image, const json& request) { return fitBoardGeometry(image, request, {}); }

json fitBoardGeometry(const cv::Mat& image, const json& request, const BoardFitOptions& options) {
  try {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    const auto initial = request.find("initial");
    if (initial != request.end() && initial->is_array()) return fitByMarkers(grey, request);
    return fitByColour(image, grey, request, options);
  } catch (const CalibrationError& e) {
    return {{"accepted", false}, {"error", e.what()}};
  } catch (const cv::Exception& e) {
    return {{"accepted", false}, {"error", opencvError(e)}};
  }
}

}  // namespace tarv
