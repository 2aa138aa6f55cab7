#include "tarv/camera/calibration_record.h"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include <openssl/crypto.h>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/board/board_layout.h"
#include "tarv/camera/board_fit_record.h"
#include "tarv/camera/camera_model.h"
#include "tarv/camera/camera_orientation.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr char kAutomaticMethod[] = "LANDMARK_CAMERA_SOLVE";
constexpr char kBoardFitMethod[] = "BOARD_FIT_CAMERA_SOLVE";
constexpr double kBoardEdgeMm = 225.5;

bool hasModel(const CalibrationRecord& r) { return r.contains("camera_model") && r["camera_model"].is_object(); }

// The geometry fields of a record from its board-to-image homography.
void setGeometry(CalibrationRecord& r, const Homography& h) {
  r["board_to_image"] = matrix3x3ToJson(h);
  r["twenty_px"] = pointToJson(boardToImage(r, 0.0, -132.0));
}

const char* gradeRule(const LandmarkSolution& s, const std::string& method) {
  if (!s.ok) return "NO_CAMERA_SOLVED";
  if (s.grade == 0) return "GREEN_ACCEPTED";
  if (s.grade == 1) return "TWENTY_NOT_SURE_CLICK_REQUIRED";
  if (method == kBoardFitMethod) return "EDGES_DO_NOT_CONFIRM";
  // Crossings that would have made the camera: its edges refused it.
  if (!s.edgesConfirm && gradeSolution(s.crossingsMatched, s.rmsPx, true, s.width, s.height) < 2 &&
      s.crossingsMatched >= kMinExplainedCrossings * s.crossingsDetected) {
    return "EDGES_DO_NOT_CONFIRM";
  }
  if (s.crossingsMatched < kMinExplainedCrossings * s.crossingsDetected) return "CROSSINGS_NOT_EXPLAINED";
  return "TOO_FEW_CROSSINGS_OR_RMS_TOO_HIGH";
}

// A solution without a camera that carries the reason.
LandmarkSolution failedSolution(const cv::Mat& image, const std::string& reason) {
  LandmarkSolution s;
  s.width = image.cols;
  s.height = image.rows;
  s.reason = reason;
  return s;
}

CalibrationRecord safeRecord(const LandmarkSolution& s, const std::string& orientationSource, const std::string& method) {
  try {
    return recordFromSolution(s, orientationSource, method);
  } catch (const std::exception& e) {
    return recordFromSolution(failedSolution(cv::Mat(s.height, s.width, CV_8UC3), e.what()), "NONE", method);
  }
}

// The record kept: the board fit road's camera where it is taken, with that road's report and
// the landmark road's beside it; else the landmark road's record with the fit's report.
CalibrationRecord keptRecord(CalibrationRecord landmark, const LandmarkSolution* fit, const std::string& orientationSource,
                             const json& fitReport) {
  if (!fit) {
    landmark["report"]["board_fit"] = fitReport;
    return landmark;
  }
  CalibrationRecord fitted = safeRecord(*fit, orientationSource, kBoardFitMethod);
  fitted["report"]["board_fit"] = fitReport;
  fitted["report"]["landmarks"] = landmark["report"];
  return fitted;
}

}  // namespace

Point2 boardToImage(const CalibrationRecord& record, double x, double y) {
  const Point2 ideal = applyHomography(matrix3x3FromJson(record.at("board_to_image")), {x, y});
  if (!hasModel(record)) return ideal;
  const cv::Point2d p = distortPixel(parseCameraModel(record["camera_model"]), {ideal.x, ideal.y});
  return {p.x, p.y};
}

Point2 imageToBoard(const CalibrationRecord& record, Point2 pixel) {
  cv::Point2d ideal(pixel.x, pixel.y);
  if (hasModel(record)) ideal = undistortPixel(parseCameraModel(record["camera_model"]), ideal);
  const Homography h = matrix3x3FromJson(record.at("board_to_image"));
  const cv::Matx33d H(h.data());
  const cv::Vec3d b = H.inv() * cv::Vec3d(ideal.x, ideal.y, 1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (!(std::abs(b[2]) > 1e-12)) return {nan, nan};
  const Point2 board{b[0] / b[2], b[1] / b[2]};
  // The board is seen on the side of its centre: a pixel whose board point lies behind the
  // camera is above the board's horizon.
  const double depth = H(2, 0) * board.x + H(2, 1) * board.y + H(2, 2);
  if (!(depth * H(2, 2) > 0.0) || !std::isfinite(board.x) || !std::isfinite(board.y)) return {nan, nan};
  return board;
}

CalibrationRecord recordFromSolution(const LandmarkSolution& s, const std::string& orientationSource) {
  return recordFromSolution(s, orientationSource, kAutomaticMethod);
}

CalibrationRecord recordFromSolution(const LandmarkSolution& s, const std::string& orientationSource,
                                     const std::string& method) {
  CalibrationRecord r;
  r["camera_model"] = json::parse(writeVisionReport(s));
  r["geometry_valid"] = s.ok;
  r["accepted"] = s.ok && s.grade == 0;
  r["method"] = method;
  r["orientation_source"] = s.ok ? orientationSource : "NONE";
  r["manual_points"] = nullptr;
  r["ring_radii"] = ringRadii();
  r["report"] = {{"rule", gradeRule(s, method)},
                 {"grade", r["camera_model"]["ampel"]},
                 {"crossings_detected", s.crossingsDetected},
                 {"crossings_matched", s.crossingsMatched},
                 {"min_crossings_geometry", kMinSolvedCrossings},
                 {"min_crossings_accepted", kMinGradedCrossings},
                 {"rms_px", s.rmsPx},
                 {"twenty_sure", s.twentySure},
                 {"reason", s.reason}};
  r["board_to_image"] = nullptr;
  r["twenty_px"] = nullptr;
  if (s.ok) setGeometry(r, planeHomographyFromPose(parseCameraModel(r["camera_model"])));
  return r;
}

CalibrationRecord calibrateFromImage(std::unique_ptr<LandmarkModel>& holder, const std::string& modelPath,
                                     const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) throw std::runtime_error("INVALID_CALIBRATION_IMAGE");
  if (!holder) {
    std::string key = buildModelKeyString();
    try {
      holder = std::make_unique<LandmarkModel>(loadBoardModel(modelPath.empty() ? defaultBoardModelPath() : modelPath, key));
    } catch (...) {
      OPENSSL_cleanse(key.data(), key.size());
      throw;
    }
    OPENSSL_cleanse(key.data(), key.size());
  }
  // From here on nothing the image does may end the call with an error: a calibration that
  // fails is a red record that says why.
  LandmarkSolution s = failedSolution(image, "");
  try {
    s = detectBoardLandmarks(*holder, image);
  } catch (const cv::Exception& e) {
    s = failedSolution(image, std::string("OPENCV: ") + e.what());
  } catch (const std::exception& e) {
    s = failedSolution(image, e.what());
  }
  const std::string source = s.twentySure ? "LANDMARK_NUMBERS" : "BED_COLOURS_ONLY";
  CalibrationRecord record = safeRecord(s, source, kAutomaticMethod);
  // An accepted camera has passed the edge judgement; only the 20 is left to the click. Where
  // the edges neither confirmed nor contradicted it, its crossings placed it, to a pixel or two;
  // the engine's own fit, where it accepts the same board, places it closer (worn and shadowed
  // wires, JPEG: 0.3-0.5 px where the crossings' camera lay 0.9-1.9 px off).
  if (s.ok && s.grade < 2) {
    if (s.edgesConfirm) return record;
    json fitReport = json::object();
    std::optional<LandmarkSolution> placed;
    try {
      placed = placeOnFitAsTaken(image, s, fitReport);
    } catch (const std::exception& e) {
      fitReport["error"] = e.what();
    }
    return keptRecord(std::move(record), placed ? &*placed : nullptr, source, fitReport);
  }
  json fitReport = json::object();
  LandmarkSolution fit = failedSolution(image, "");
  try {
    fit = solveByBoardFit(image, s, fitReport);
  } catch (const cv::Exception& e) {
    fit = failedSolution(image, std::string("BOARD_FIT: OPENCV: ") + e.what());
  } catch (const std::exception& e) {
    fit = failedSolution(image, std::string("BOARD_FIT: ") + e.what());
  }
  fitReport["reason"] = fit.reason;
  // One grading for both roads; on a tie the landmark road's camera stands, except that a
  // geometry beats none.
  const bool fitBetter = fit.ok && (!s.ok || fit.grade < s.grade);
  return keptRecord(std::move(record), fitBetter ? &fit : nullptr, fit.twentySure ? "BOARD_FIT_NUMBERS" : "BED_COLOURS_ONLY",
                    fitReport);
}

CalibrationRecord confirmTwentyClick(const CalibrationRecord& record, Point2 click) {
  if (!record.is_object() || !record.value("geometry_valid", false) || !record.contains("board_to_image") ||
      record["board_to_image"].is_null()) {
    throw std::runtime_error("GEOMETRY_REQUIRED_BEFORE_20_CLICK");
  }
  const Point2 board = imageToBoard(record, click);
  const double r = std::hypot(board.x, board.y);
  if (!(r <= kBoardEdgeMm)) throw std::runtime_error("Bitte in das 20er-Feld oder auf die Zahl 20 klicken");
  if (r < ringRadii()[1]) throw std::runtime_error("Bitte in das 20er-Feld klicken");
  const int position = sectorsFromTwenty(board);

  // A 20 that a confirmed camera is sure of (read from the board, not an earlier click of the
  // user's) is not turned away by a click on another field.
  const json report = record.contains("report") && record["report"].is_object() ? record["report"] : json::object();
  const bool confirmed = (hasModel(record) ? record["camera_model"].value("ampel", std::string("rot"))
                                           : report.value("grade", std::string("rot"))) != "rot";
  const bool sure = confirmed && record.value("orientation_source", "") != "USER_CLICK_20" &&
                    (hasModel(record) ? record["camera_model"].value("zwanzig_sicher", false)
                                      : report.value("twenty_sure", false));
  if (sure && position != 0) throw std::runtime_error("Bitte in das 20er-Feld klicken");

  const std::string method = record.value("method", "");
  if (hasModel(record) && (method == kAutomaticMethod || method == kBoardFitMethod)) {
    const json& model = record["camera_model"];
    LandmarkSolution s = solutionFromCameraModel(parseCameraModel(model), model);
    CameraEstimate e = cameraFromSolution(s);
    rotateBySectors(e, position);
    s.rvec = e.rvec;
    s.twentySure = true;
    // The click decides the orientation and nothing else: a camera that lacked only a sure
    // 20 becomes green, any other keeps its grade.
    s.grade = s.grade <= 1 ? 0 : 2;
    CalibrationRecord turned = recordFromSolution(s, "USER_CLICK_20", method);
    json kept = report;
    for (const char* key : {"rule", "grade", "twenty_sure"}) kept[key] = turned["report"][key];
    turned["report"] = kept;
    turned["manual_points"] = record.value("manual_points", json());
    turned["click_px"] = pointToJson(click);
    return turned;
  }
  // A homography record: the clicked sector's direction becomes the 20's, a clockwise turn of
  // the board frame by 18 degrees per sector.
  CalibrationRecord turned = record;
  turned["orientation_source"] = "USER_CLICK_20";
  turned["click_px"] = pointToJson(click);
  setGeometry(turned, turnedBySectors(matrix3x3FromJson(record["board_to_image"]), position));
  return turned;
}

}  // namespace tarv
