#include "tarv/reports/report_images.h"

#include <array>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "tarv/reports/board_view.h"
#include "tarv/reports/json_member.h"

namespace tarv {

namespace {

const std::array<const char*, 3> kCameraNames{"CAM_1", "CAM_2", "CAM_3"};
const cv::Scalar kNameColour(0, 230, 255);
const cv::Scalar kTextColour(240, 240, 240);
constexpr int kColumn = 480;
constexpr int kStrip = 34;

void putText(cv::Mat& image, const std::string& text, cv::Point at, double scale,
             const cv::Scalar& colour) {
  cv::putText(image, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv::LINE_AA);
}

// printf into at most 199 characters.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char buffer[200];
  std::snprintf(buffer, sizeof buffer, pattern, args...);
  return buffer;
}

std::vector<double> ringRadiiOf(const json& runDocument) {
  std::vector<double> radii;
  const json& listed = member(runDocument, "ring_radii");
  for (std::size_t i = 0; listed.is_array() && i < listed.size(); ++i) {
    if (listed[i].is_number()) radii.push_back(listed[i].get<double>());
  }
  if (radii.size() < 6) return {6.35, 15.9, 97.0, 107.0, 160.0, 170.0};
  return radii;
}

Homography homographyOf(const json& rows) {
  Homography h{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) h[3 * r + c] = rows.at(r).at(c).get<double>();
  }
  return h;
}

bool readPoint(const json& value, cv::Point2d& point) {
  if (!value.is_array() || value.size() < 2) return false;
  point = {value.at(0).get<double>(), value.at(1).get<double>()};
  return true;
}

// A whole number for printing; 0 when absent or beyond int.
int wholeNumber(const json& value) {
  if (value.is_null()) return 0;
  const double v = value.get<double>();
  return std::isfinite(v) && std::fabs(v) < 1e9 ? static_cast<int>(v) : 0;
}

cv::Mat resized(const cv::Mat& image, cv::Size size) {
  cv::Mat out;
  cv::resize(image, out, size, 0, 0, cv::INTER_AREA);
  return out;
}

const cv::Mat& orEmpty(const std::vector<cv::Mat>& images, std::size_t i) {
  static const cv::Mat kEmpty;
  return i < images.size() ? images[i] : kEmpty;
}

}  // namespace

std::string fieldText(const json& result) {
  const json& entries = member(result, "entries");
  if (member(result, "status") != "DART_CANDIDATE" || !entries.is_array() || entries.empty()) {
    return "";
  }
  const json& field = member(entries.back(), "field");
  for (const char* key : {"selected_field", "nominal_field"}) {
    const json& text = member(field, key);
    if (text.is_string()) return text.get<std::string>();
  }
  return "";
}

cv::Mat drawReportOverlay(const OverviewContext& context, const std::vector<cv::Mat>& images,
                          const json& result) {
  cv::Mat canvas(574, 3 * kColumn, CV_8UC3, kViewBackground);
  const json& calibrations = context.lastCalibrations.is_array() && context.lastCalibrations.size() == 3
                                 ? context.lastCalibrations
                                 : member(context.runDocument, "calibrations");
  const bool haveCalibrations = calibrations.is_array() && calibrations.size() == 3;
  const std::vector<double> radii = ringRadiiOf(context.runDocument);
  const json& entries = member(result, "entries");
  const bool dartCandidate =
      member(result, "status") == "DART_CANDIDATE" && entries.is_array() && !entries.empty();

  for (std::size_t i = 0; i < 3; ++i) {
    const cv::Mat& image = orEmpty(images, i);
    if (image.empty()) continue;
    Homography h{};
    if (haveCalibrations) h = homographyOf(calibrations[i]);

    cv::Point2d dart(-1.0, -1.0);
    cv::Point2d board;
    if (dartCandidate && haveCalibrations &&
        readPoint(member(entries.back(), "board_xy_nominal_mm"), board)) {
      const double w = h[6] * board.x + h[7] * board.y + h[8];
      const cv::Point2d p((h[0] * board.x + h[1] * board.y + h[2]) / w,
                          (h[3] * board.x + h[4] * board.y + h[5]) / w);
      if (std::isfinite(p.x) && std::isfinite(p.y)) dart = p;
    }
    cv::Mat change = resized(renderChangeOverlay(image, orEmpty(context.previousImages, i),
                                                 orEmpty(context.references, i), dart.x, dart.y),
                             {kColumn, 270});
    putText(change, kCameraNames[i], {8, 20}, 0.55, kNameColour);
    change.copyTo(canvas(cv::Rect(kColumn * static_cast<int>(i), kStrip, kColumn, 270)));

    if (!haveCalibrations) continue;
    cv::Mat view = renderBoardView(image, h, 270, radii);
    for (std::size_t e = 0; entries.is_array() && e < entries.size(); ++e) {
      cv::Point2d mm;
      cv::Point pixel;
      if (!readPoint(member(entries[e], "board_xy_nominal_mm"), mm) ||
          !toPixel(0.675 * mm.x + 135.0, 0.675 * mm.y + 135.0, pixel)) {
        continue;
      }
      const bool newDart = dartCandidate && e + 1 == entries.size();
      cv::circle(view, pixel, 5, newDart ? cv::Scalar(60, 220, 60) : cv::Scalar(0, 210, 255), 2,
                 cv::LINE_AA);
    }
    view.copyTo(canvas(cv::Rect(kColumn * static_cast<int>(i) + 105, 304, 270, 270)));
  }

  const std::string field = fieldText(result);
  const json& status = member(result, "status");
  const json& reason = member(result, "reason");
  putText(canvas,
          format("%s %s%s%s   gray=still  red=moved  yellow=darts before  green=new dart",
                 status.is_string() ? status.get_ref<const std::string&>().c_str() : "",
                 reason.is_string() ? reason.get_ref<const std::string&>().c_str() : "",
                 field.empty() ? "" : "  ->  ", field.c_str()),
          {10, 23}, 0.55, kTextColour);
  return canvas;
}

cv::Mat draw3dView(const std::vector<cv::Mat>& images, const json& result) {
  cv::Mat canvas(304, 3 * kColumn, CV_8UC3, kViewBackground);
  const json& dart3d = member(result, "dart_3d");
  const json& overlay = member(dart3d, "overlay");
  const json& scaleValue = member(result, "working_scale");
  const double ws = scaleValue.is_null() ? 1.0 : scaleValue.get<double>();
  const json& cameras = member(overlay, "cameras");

  for (std::size_t i = 0; i < 3; ++i) {
    const cv::Mat& image = orEmpty(images, i);
    if (image.empty()) continue;
    const double sx = kColumn / (image.cols * ws);
    const double sy = 270.0 / (image.rows * ws);
    cv::Mat panel = resized(image, {kColumn, 270});
    // Points the engine reported in working pixels; a scale or point that is not finite
    // leaves that mark out.
    const auto at = [&](const json& value, cv::Point& pixel) {
      cv::Point2d p;
      return readPoint(value, p) && toPixel(p.x * sx, p.y * sy, pixel);
    };
    const json& c = member(cameras, kCameraNames[i]);
    if (c.is_object()) {
      cv::Point base, top, tip;
      const bool haveBase = at(member(c, "base"), base);
      if (haveBase && at(member(c, "top"), top)) {
        cv::line(panel, base, top, cv::Scalar(255, 220, 0), 2, cv::LINE_AA);
      }
      if (haveBase) cv::circle(panel, base, 6, cv::Scalar(80, 220, 80), 2, cv::LINE_AA);
      if (c.contains("tip") && at(c["tip"], tip)) {
        const json& heightValue = member(c, "tip_height_mm");
        const double height = heightValue.is_null() ? 0.0 : heightValue.get<double>();
        const cv::Scalar colour =
            std::fabs(height) > 15.0 ? cv::Scalar(60, 60, 255) : cv::Scalar(80, 220, 80);
        cv::circle(panel, tip, 4, colour, cv::FILLED, cv::LINE_AA);
        putText(panel, format("Spitze %+.0f mm", height), tip + cv::Point(8, -8), 0.5, colour);
      }
    }
    putText(panel, kCameraNames[i], {8, 20}, 0.55, kNameColour);
    panel.copyTo(canvas(cv::Rect(kColumn * static_cast<int>(i), kStrip, kColumn, 270)));
  }

  const json& tiltValue = member(overlay, "tilt_deg");
  const double tilt = tiltValue.is_null() ? 0.0 : tiltValue.get<double>();
  std::string header;
  if (member(overlay, "kind") == "single_view") {
    const json& camera = member(overlay, "camera");
    header = format("3D-Pfeil: nur %s traegt den Wurf - Stab mit zweiter Kamera, Neigung %.0f Grad %s",
                    camera.is_string() ? camera.get_ref<const std::string&>().c_str() : "", tilt,
                    member(result, "reason") == "DART_3D_TIP_ABOVE_BOARD"
                        ? "- Spitze in der Luft, nicht gewertet"
                        : "");
  } else {
    const json& rodCameras = member(member(dart3d, "rod"), "cameras");
    const std::string field = fieldText(result);
    header = format("3D-Pfeil: %d Kameras, Neigung %.0f Grad%s%s",
                    wholeNumber(rodCameras), tilt,
                    field.empty() ? "" : "  ->  ", field.c_str());
  }
  putText(canvas, header, {10, 23}, 0.6, kTextColour);
  return canvas;
}

}  // namespace tarv
