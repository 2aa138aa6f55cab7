#include "tarv/detector/dart_3d.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/detector/dart_rod.h"

namespace tarv {
namespace {

// A single-view tip is looked for in a camera's change within this distance on the board.
constexpr double kTipChangeRadiusMm = 5.0;
// A rod that meets the face farther than this from the solver's point is not trusted.
constexpr double kRodBaseAgreementMm = 8.0;
// A camera whose own tip lies within this many pixels of where its calibration puts the point
// sees the dart's point there: a calibration a few pixels off moves all of that camera's
// change by as much, beyond the few millimetres the change is looked for in.
constexpr double kCalibrationSlackPx = 16.0;

int cameraIndexOf(const json& id) {
  for (int i = 0; i < 3; ++i) {
    if (id.is_string() && id.get<std::string>() == cameraIds[i]) return i;
  }
  return -1;
}

bool agrees(const json& crosscheck, int camera) {
  const json& agreeing = crosscheck.is_object() ? crosscheck.value("agreeing_cameras", json::array()) : json::array();
  for (const json& id : agreeing) {
    if (cameraIndexOf(id) == camera) return true;
  }
  return false;
}

// Whether a camera's change holds a pixel within the radius of the board point.
bool changeNear(const cv::Mat& mask, const Homography& h, Point2 point) try {
  if (mask.empty()) return false;
  const Point2 centre = applyHomography(h, point);
  double radius = 0.0;
  for (const Point2 step : {Point2{kTipChangeRadiusMm, 0.0}, Point2{0.0, kTipChangeRadiusMm}}) {
    const Point2 q = applyHomography(h, {point.x + step.x, point.y + step.y});
    radius = std::max(radius, std::hypot(q.x - centre.x, q.y - centre.y));
  }
  if (!std::isfinite(centre.x) || !std::isfinite(centre.y) || !std::isfinite(radius)) return false;
  const int r = std::max(1, static_cast<int>(std::ceil(radius)));
  const cv::Rect box = cv::Rect(static_cast<int>(centre.x) - r, static_cast<int>(centre.y) - r, 2 * r + 1, 2 * r + 1) &
                       cv::Rect(0, 0, mask.cols, mask.rows);
  if (box.area() == 0) return false;
  cv::Mat disc = cv::Mat::zeros(box.size(), CV_8UC1);
  cv::circle(disc, cv::Point(static_cast<int>(centre.x) - box.x, static_cast<int>(centre.y) - box.y), r,
             cv::Scalar(255), cv::FILLED);
  cv::bitwise_and(disc, mask(box), disc);
  return cv::countNonZero(disc) > 0;
} catch (const std::runtime_error&) {
  return false;  // the point does not project into this camera
}

// Whether one of the camera's own tips lies within kCalibrationSlackPx of the board point.
bool ownTipNear(const json& shaft, const Homography& h, Point2 point) try {
  const auto votes = shaft.find("votes");
  if (!shaft.is_object() || votes == shaft.end() || !votes->is_array()) return false;
  const Point2 centre = applyHomography(h, point);
  for (const json& vote : *votes) {
    if (!vote.is_object() || vote.value("abstention", true) || !vote.value("tip_valid", false)) continue;
    const auto pixel = vote.find("image_point");
    if (pixel == vote.end() || !pixel->is_array() || pixel->size() != 2 || !(*pixel)[0].is_number() ||
        !(*pixel)[1].is_number())
      continue;
    if (std::hypot((*pixel)[0].get<double>() - centre.x, (*pixel)[1].get<double>() - centre.y) <= kCalibrationSlackPx)
      return true;
  }
  return false;
} catch (const std::runtime_error&) {
  return false;  // the point does not project into this camera
}

// The rod meets the face where the cameras' board lines cross: far from the solver's point,
// its planes are not one dart's (a wrong axis, or two nearly equal views).
bool meetsFaceAt(const DartRod& rod, const std::optional<Point2>& point) {
  return !point || std::hypot(rod.base[0] - point->x, rod.base[1] - point->y) <= kRodBaseAgreementMm;
}

// The rod of the preferred cameras when it meets the face at the point; otherwise the best
// other set of two or three cameras that does (the carrying camera always among them).
std::optional<DartRod> trustedRod(const std::array<RodView, 3>& views, const std::array<bool, 3>& preferred,
                                  int carrying, const std::optional<Point2>& point) {
  std::optional<DartRod> rod = fitDartRod(views, preferred);
  if (rod && meetsFaceAt(*rod, point)) return rod;
  std::optional<DartRod> best;
  double bestDistance = 0.0;
  for (int set = 0; set < 8; ++set) {
    const std::array<bool, 3> use{(set & 1) != 0, (set & 2) != 0, (set & 4) != 0};
    if (use == preferred || (carrying >= 0 && !use[carrying])) continue;
    std::optional<DartRod> other = fitDartRod(views, use);
    if (!other || !meetsFaceAt(*other, point)) continue;
    const double distance = point ? std::hypot(other->base[0] - point->x, other->base[1] - point->y) : 0.0;
    if (!best || other->cameras > best->cameras || (other->cameras == best->cameras && distance < bestDistance)) {
      best = other;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace

std::array<std::optional<CameraPose>, 3> cameraPosesOf(const Round& round) {
  std::array<std::optional<CameraPose>, 3> poses;
  for (int i = 0; i < 3; ++i) {
    const Camera& c = round.cameras[i];
    poses[i] = cameraPoseFromHomography(c.boardToImage, c.cameraModel, c.emptyReference.size());
  }
  return poses;
}

Dart3dJudgement judgeDart3d(const Round& round, const std::array<std::optional<CameraPose>, 3>& poses,
                            const std::array<json, 3>& shaftRecords,
                            const std::array<cv::Mat, 3>& dartMasks, const json& crosscheck,
                            const TipLocation& tip) {
  Dart3dJudgement judgement;
  if (!processSwitches().dart3d.load()) return judgement;
  std::array<RodView, 3> views;
  for (int i = 0; i < 3; ++i) views[i] = rodViewFromShaft(poses[i], shaftRecords[i]);
  const int carrying = tip.method == "BEST_CAM" ? cameraIndexOf(tip.solver.value("camera", json())) : -1;
  std::array<bool, 3> use{false, false, false};
  if (carrying >= 0) {
    // The carrying camera's plane and the best second line: one that agrees with the point.
    use[carrying] = true;
    int second = -1;
    for (int i = 0; i < 3; ++i) {
      if (i == carrying || !views[i].imageLine) continue;
      if (second < 0 || (agrees(crosscheck, i) && !agrees(crosscheck, second))) second = i;
    }
    if (second >= 0) use[second] = true;
  } else {
    int agreeing = 0;
    for (int i = 0; i < 3; ++i) agreeing += views[i].imageLine && agrees(crosscheck, i);
    for (int i = 0; i < 3; ++i) use[i] = views[i].imageLine && (agreeing < 2 || agrees(crosscheck, i));
  }
  const std::string kind = carrying >= 0 ? "single_view" : "rod";
  const std::string carrier = carrying >= 0 ? cameraIds[carrying] : "";
  const std::optional<DartRod> rod = trustedRod(views, use, carrying, tip.point);
  if (rod) {
    judgement.document = dart3dDocument(*rod, views, kind, carrier);
    if (rod->cameras >= 2 && rod->tipHeightMm > kTipAboveBoardMm) judgement.reason = "DART_3D_TIP_ABOVE_BOARD";
  } else {
    json overlay = {{"kind", kind}, {"tilt_deg", 0.0}, {"cameras", json::object()}};
    if (carrying >= 0) overlay["camera"] = carrier;
    judgement.document = {{"rod", nullptr}, {"overlay", overlay}};
  }
  if (judgement.reason.empty() && carrying >= 0 && tip.point) {
    bool elsewhere = false;
    for (int i = 0; i < 3; ++i) {
      if (i == carrying) continue;
      const Homography& h = round.cameras[i].boardToImage;
      elsewhere = elsewhere || changeNear(dartMasks[i], h, *tip.point) || ownTipNear(shaftRecords[i], h, *tip.point);
    }
    if (!elsewhere && changeNear(dartMasks[carrying], round.cameras[carrying].boardToImage, *tip.point)) {
      judgement.reason = "SINGLE_VIEW_TIP_INSIDE_CHANGE";
    }
  }
  return judgement;
}

}  // namespace tarv
