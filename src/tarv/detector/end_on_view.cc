#include "tarv/detector/end_on_view.h"

#include <cmath>
#include <cstdint>

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

// Tip to the end of the flight of a steel-tip dart.
constexpr double kDartLengthMm = 150.0;
// A camera's support longer than the whole dart could project to by this factor is not the rod.
constexpr double kSupportOverRod = 1.5;
// A camera's line passing this close to where the other cameras' rod meets the board follows
// the shaft, however short it looks: a flight wing's line misses by about the wing's span.
constexpr double kLeastLineMissMm = 4.0;
// The rod's foot must be where one of the other cameras saw the point, within what a tip errs
// along its own line: a foot far from both their tips comes from a wrong line.
constexpr double kFootAtTipMm = 6.0;
// A rod the other cameras tilt further than this from the board normal is no dart standing in
// the board: one of their lines is wrong, and it condemns nobody.
constexpr double kMostRodTiltDeg = 45.0;

// Where the rod meets the board in the camera's image, and how many pixels a millimetre of the
// board spans there.
struct FootInView {
  cv::Point2d px;
  double pxPerMm = 0.0;
};

std::optional<FootInView> footInView(const DartRod& rod, const CameraPose& pose) {
  const std::optional<cv::Point2d> base = pose.project(rod.base);
  const std::optional<cv::Point2d> step = pose.project(rod.base + cv::Vec3d(1.0, 0.0, 0.0));
  if (!base || !step) return std::nullopt;
  const double pxPerMm = cv::norm(*step - *base);
  if (!(pxPerMm > 0.0) || !std::isfinite(pxPerMm)) return std::nullopt;
  return FootInView{*base, pxPerMm};
}

// How far, in board millimetres, the camera's own image line passes from the rod's foot.
std::optional<double> lineMissMm(const DartRod& rod, const RodView& view) {
  const std::optional<FootInView> foot = footInView(rod, *view.pose);
  const cv::Vec3d& l = *view.imageLine;
  const double norm = std::hypot(l[0], l[1]);
  if (!foot || !(norm > 0.0)) return std::nullopt;
  const double missMm = std::abs(l[0] * foot->px.x + l[1] * foot->px.y + l[2]) / norm / foot->pxPerMm;
  if (!std::isfinite(missMm)) return std::nullopt;
  return missMm;
}

// How far, in board millimetres, the camera's own tip lies from the rod's foot.
std::optional<double> tipFromFootMm(const DartRod& rod, const RodView& view) {
  if (!view.pose || !view.tipPx) return std::nullopt;
  const std::optional<FootInView> foot = footInView(rod, *view.pose);
  if (!foot) return std::nullopt;
  const double mm = cv::norm(*view.tipPx - foot->px) / foot->pxPerMm;
  if (!std::isfinite(mm)) return std::nullopt;
  return mm;
}

// Whether one of the cameras in `use` saw its tip at the rod's foot.
bool footSeenAsTip(const DartRod& rod, const std::array<RodView, 3>& views, const std::array<bool, 3>& use) {
  for (int j = 0; j < 3; ++j) {
    if (!use[j]) continue;
    const std::optional<double> mm = tipFromFootMm(rod, views[j]);
    if (mm && *mm <= kFootAtTipMm) return true;
  }
  return false;
}

std::optional<double> projectedRodLengthPx(const DartRod& rod, const CameraPose& pose) {
  const std::optional<cv::Point2d> base = pose.project(rod.base);
  const std::optional<cv::Point2d> end = pose.project(rod.base + rod.up * kDartLengthMm);
  if (!base || !end) return std::nullopt;
  const double length = cv::norm(*end - *base);
  if (!std::isfinite(length)) return std::nullopt;
  return length;
}

double supportSpanOf(const nlohmann::json& record) {
  const nlohmann::json& votes = record.value("votes", nlohmann::json::array());
  const nlohmann::json& observations = record.value("observations", nlohmann::json::array());
  if (!votes.is_array() || votes.empty() || !observations.is_array()) return 0.0;
  const nlohmann::json& index = votes[0].value("axis_index", nlohmann::json());
  if (!index.is_number_integer() || index.get<std::int64_t>() < 0 ||
      index.get<std::size_t>() >= observations.size())
    return 0.0;
  const nlohmann::json& span = observations[index.get<std::size_t>()].value("support_span_px", nlohmann::json());
  return span.is_number() ? span.get<double>() : 0.0;
}

}  // namespace

std::array<bool, 3> findEndOnViews(const std::array<RodView, 3>& views, const std::array<double, 3>& supportSpanPx) {
  std::array<bool, 3> endOn{false, false, false};
  int found = 0;
  for (int i = 0; i < 3; ++i) {
    if (!views[i].pose || !views[i].imageLine || !(supportSpanPx[i] > 0.0)) continue;
    std::array<bool, 3> others{true, true, true};
    others[i] = false;
    const std::optional<DartRod> rod = fitDartRod(views, others);
    if (!rod || rod->cameras != 2 || !(rod->tiltDeg <= kMostRodTiltDeg) || !footSeenAsTip(*rod, views, others)) continue;
    const std::optional<double> projected = projectedRodLengthPx(*rod, *views[i].pose);
    const std::optional<double> miss = lineMissMm(*rod, views[i]);
    if (!projected || !miss || !(*miss > kLeastLineMissMm)) continue;
    endOn[i] = kSupportOverRod * *projected < supportSpanPx[i];
    found += endOn[i];
  }
  if (found > 1) endOn = {false, false, false};
  return endOn;
}

nlohmann::json leaveOutEndOnViews(std::array<nlohmann::json, 3>& shaftRecords,
                                  const std::array<std::optional<CameraPose>, 3>& poses) {
  std::array<RodView, 3> views;
  std::array<double, 3> spans{};
  for (int i = 0; i < 3; ++i) {
    views[i] = rodViewFromShaft(poses[i], shaftRecords[i]);
    spans[i] = supportSpanOf(shaftRecords[i]);
  }
  const std::array<bool, 3> endOn = findEndOnViews(views, spans);
  nlohmann::json leftOut = nlohmann::json::array();
  for (int i = 0; i < 3; ++i) {
    if (!endOn[i]) continue;
    nlohmann::json& vote = shaftRecords[i]["votes"][0];
    nlohmann::json& axis = shaftRecords[i]["observations"][vote["axis_index"].get<std::size_t>()];
    vote["axis_valid"] = false;
    vote["tip_valid"] = false;
    vote["end_on"] = true;
    axis["axis_valid"] = false;
    leftOut.push_back(cameraIds[i]);
  }
  return leftOut;
}

}  // namespace tarv
