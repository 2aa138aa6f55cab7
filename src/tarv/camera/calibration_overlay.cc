#include "tarv/camera/calibration_overlay.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/landmark_overlay.h"
#include "tarv/camera/camera_model.h"
#include "tarv/camera/manual_calibration.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

bool hasGeometry(const CalibrationRecord& r) {
  return r.is_object() && r.value("geometry_valid", false) && r.contains("board_to_image") && r["board_to_image"].is_array();
}

std::string caption(const CalibrationRecord& r) {
  std::string text = r.is_object() && r.contains("method") && r["method"].is_string() ? r["method"].get<std::string>() : "?";
  if (r.is_object() && r.contains("camera_model") && r["camera_model"].is_object()) {
    const json& m = r["camera_model"];
    if (m.contains("ampel") && m["ampel"].is_string()) text += "  " + m["ampel"].get<std::string>();
  }
  if (!hasGeometry(r)) text += "  keine Geometrie";
  return text;
}

}  // namespace

cv::Mat drawCalibrationOverlay(const cv::Mat& image, const CalibrationRecord& record) {
  cv::Mat out = image.clone();
  if (hasGeometry(record)) {
    const bool solved = record.contains("camera_model") && record["camera_model"].is_object() &&
                        record.value("method", "") != "MANUAL_FOUR_POINTS";
    if (solved) {
      const json& model = record["camera_model"];
      drawLandmarkOverlay(out, solutionFromCameraModel(parseCameraModel(model), model));
    } else {
      // Landmark frame (20 at +y) to the record's engine frame (20 at −y).
      drawBoardModel(out, [&record](const std::vector<cv::Point3d>& board) {
        std::vector<cv::Point2d> px;
        for (const cv::Point3d& p : board) {
          try {
            const Point2 q = boardToImage(record, p.x, -p.y);
            px.emplace_back(q.x, q.y);
          } catch (const std::runtime_error&) {
            px.emplace_back(std::nan(""), std::nan(""));
          }
        }
        return px;
      });
    }
  }
  const double scale = std::max(out.cols / 1400.0, 0.5);
  const cv::Point origin(10, static_cast<int>(30 * scale) + 4);
  cv::putText(out, caption(record), origin, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), 5, cv::LINE_AA);
  cv::putText(out, caption(record), origin, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255), 2, cv::LINE_AA);
  return out;
}

void applySavedView(json& reply, const json& request) {
  if (!request.is_object() || !request.contains("reference") || !request["reference"].is_string() ||
      !request.contains("output") || !request["output"].is_string() || !request.contains("calibration")) {
    throw std::runtime_error("CALIBRATION_VIEW_REQUEST");
  }
  const cv::Mat reference = cv::imread(request["reference"].get<std::string>(), cv::IMREAD_COLOR);
  if (reference.empty()) throw std::runtime_error("REFERENCE_UNREADABLE");
  CalibrationRecord record;
  const json& saved = request["calibration"];
  if (saved.is_object()) {
    record = saved;
  } else {
    record = {{"method", "SAVED"}, {"geometry_valid", true}, {"board_to_image", saved},
              {"camera_model", request.value("camera_model", json())}};
  }
  Homography h{};
  try {
    h = matrix3x3FromJson(record.at("board_to_image"));
  } catch (const json::exception&) {
    throw std::runtime_error("INVALID_CALIBRATION");
  }
  const cv::Matx33d H(h.data());
  if (!cv::checkRange(H) || !(std::abs(cv::determinant(H)) >= 1e-12)) throw std::runtime_error("INVALID_CALIBRATION");
  if (record.contains("camera_model") && record["camera_model"].is_object()) {
    const CameraModel model = parseCameraModel(record["camera_model"]);
    if (model.width != reference.cols || model.height != reference.rows) throw std::runtime_error("LENS_SIZE_MISMATCH");
  }
  const std::string output = request["output"].get<std::string>();
  bool written = false;
  try {
    written = cv::imwrite(output, drawCalibrationOverlay(reference, record));
  } catch (const cv::Exception&) {
  }
  if (!written) throw std::runtime_error("CALIBRATION_OVERLAY_SAVE_FAILED");
  reply = {{"status", "CALIBRATION_VIEW_WRITTEN"},
           {"overlay", output},
           {"width", reference.cols},
           {"height", reference.rows},
           {"points", proposeManualPoints(record, reference.cols, reference.rows)},
           {"bull_px", pointToJson(boardToImage(record, 0.0, 0.0))},
           {"twenty_px", pointToJson(boardToImage(record, 0.0, -132.0))}};
}

}  // namespace tarv
