#include "tarv/detector/dart_rod.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>
#include <limits>

#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

// Planes meeting at less than this sine make no rod: two nearly equal views of one line.
constexpr double kMinPlaneSine = 0.12;
// A camera's tip ray this close to the rod's own direction does not fix a point on it.
constexpr double kMinRaySine = 0.1;
// A rod within this angle of the board face is no dart standing in it.
constexpr double kMinRodRise = 0.2;
// "top" of the overlay: this far up the rod from where it meets the face.
constexpr double kOverlayTopMm = 60.0;

struct Plane {
  cv::Vec3d normal;  // unit
  double offset = 0.0;
  double distance(const cv::Vec3d& p) const { return normal.dot(p) + offset; }
};

std::optional<Plane> axisPlane(const RodView& view) {
  if (!view.pose || !view.imageLine) return std::nullopt;
  const cv::Vec3d& l = *view.imageLine;
  const cv::Matx34d& P = view.pose->P;
  cv::Vec4d pi;
  for (int c = 0; c < 4; ++c) pi[c] = P(0, c) * l[0] + P(1, c) * l[1] + P(2, c) * l[2];
  const double n = std::sqrt(pi[0] * pi[0] + pi[1] * pi[1] + pi[2] * pi[2]);
  if (!(n > 1e-12) || !std::isfinite(pi[3])) return std::nullopt;
  return Plane{cv::Vec3d(pi[0], pi[1], pi[2]) / n, pi[3] / n};
}

// The parameter along the rod nearest to the ray from the camera through its tip pixel.
std::optional<double> tipParameter(const cv::Vec3d& point, const cv::Vec3d& dir, const CameraPose& pose,
                                   cv::Point2d tipPx) {
  const cv::Vec3d r = pose.rayThrough(tipPx);
  const cv::Vec3d w0 = point - pose.centre;
  const double b = dir.dot(r), d = dir.dot(w0), e = r.dot(w0);
  const double denom = 1.0 - b * b;
  if (denom < kMinRaySine * kMinRaySine) return std::nullopt;
  return (b * e - d) / denom;
}

json pixelJson(const std::optional<cv::Point2d>& p) {
  if (!p) return nullptr;
  return json::array({roundTo(p->x, 1), roundTo(p->y, 1)});
}

}  // namespace

std::optional<DartRod> fitDartRod(const std::array<RodView, 3>& views, const std::array<bool, 3>& use) {
  std::vector<Plane> planes;
  const CameraPose* anyPose = nullptr;
  for (int i = 0; i < 3; ++i) {
    if (!use[i]) continue;
    if (std::optional<Plane> p = axisPlane(views[i])) {
      planes.push_back(*p);
      anyPose = &*views[i].pose;
    }
  }
  if (planes.size() < 2) return std::nullopt;
  cv::Mat N(static_cast<int>(planes.size()), 3, CV_64F), c(static_cast<int>(planes.size()), 1, CV_64F);
  for (int r = 0; r < N.rows; ++r) {
    for (int k = 0; k < 3; ++k) N.at<double>(r, k) = planes[r].normal[k];
    c.at<double>(r, 0) = -planes[r].offset;
  }
  cv::SVD svd(N, cv::SVD::FULL_UV);
  const double s0 = svd.w.at<double>(0), s1 = svd.w.at<double>(1);
  if (!(s1 > kMinPlaneSine * s0)) return std::nullopt;
  // The direction the planes share, and the point of the rod nearest the origin.
  cv::Vec3d dir(svd.vt.at<double>(2, 0), svd.vt.at<double>(2, 1), svd.vt.at<double>(2, 2));
  cv::Vec3d point(0, 0, 0);
  for (int k = 0; k < 2; ++k) {
    const cv::Vec3d v(svd.vt.at<double>(k, 0), svd.vt.at<double>(k, 1), svd.vt.at<double>(k, 2));
    const cv::Mat u = svd.u.col(k);
    point += v * (u.dot(c) / svd.w.at<double>(k));
  }
  const double sign = anyPose->heightSign;
  if (sign * dir[2] < 0.0) dir = -dir;
  if (sign * dir[2] < kMinRodRise) return std::nullopt;

  DartRod rod;
  rod.cameras = static_cast<int>(planes.size());
  rod.up = dir;
  rod.base = point - dir * (point[2] / dir[2]);
  rod.tiltDeg = std::acos(std::min(1.0, std::abs(dir[2]))) * 180.0 / CV_PI;
  // Each camera's own tip on the rod; the rod's tip is their median, and of two the one
  // nearer the face (a camera that found its tip far along the dart does not lift it).
  std::vector<std::pair<double, double>> tips;  // height, parameter
  for (int i = 0; i < 3; ++i) {
    if (!views[i].pose || !views[i].tipPx) continue;
    const std::optional<double> s = tipParameter(rod.base, dir, *views[i].pose, *views[i].tipPx);
    if (!s || !std::isfinite(*s)) continue;
    const double height = sign * (rod.base + dir * *s)[2];
    rod.cameraTipHeightMm[i] = height;
    if (use[i]) tips.push_back({height, *s});
  }
  std::sort(tips.begin(), tips.end());
  std::optional<std::pair<double, double>> chosen;
  if (tips.size() == 3) chosen = tips[1];
  if (tips.size() == 2) chosen = std::abs(tips[0].first) <= std::abs(tips[1].first) ? tips[0] : tips[1];
  if (tips.size() == 1) chosen = tips[0];
  rod.tip = chosen ? rod.base + dir * chosen->second : rod.base;
  rod.tipHeightMm = chosen ? chosen->first : 0.0;
  double sum = 0.0;
  for (const Plane& p : planes) sum += p.distance(rod.tip) * p.distance(rod.tip);
  rod.residualMm = std::sqrt(sum / planes.size());
  return rod;
}

json dart3dDocument(const DartRod& rod, const std::array<RodView, 3>& views, const std::string& kind,
                    const std::string& singleCamera) {
  const double sign = rod.up[2] >= 0.0 ? 1.0 : -1.0;
  const double tilt = roundTo(rod.tiltDeg, 1);
  json cameras = json::object();
  for (int i = 0; i < 3; ++i) {
    if (!views[i].pose) continue;
    const CameraPose& pose = *views[i].pose;
    json c = {{"base", pixelJson(pose.project(rod.base))},
              {"top", pixelJson(pose.project(rod.base + rod.up * kOverlayTopMm))}};
    if (views[i].tipPx && rod.cameraTipHeightMm[i]) {
      c["tip"] = pixelJson(views[i].tipPx);
      c["tip_height_mm"] = roundTo(*rod.cameraTipHeightMm[i], 1);
    }
    if (c["base"].is_null() || c["top"].is_null()) continue;
    cameras[cameraIds[i]] = c;
  }
  json overlay = {{"kind", kind}, {"tilt_deg", tilt}, {"cameras", cameras}};
  if (kind == "single_view") overlay["camera"] = singleCamera;
  return {{"rod",
           {{"cameras", rod.cameras},
            {"tip_mm", {roundTo(rod.tip[0], 2), roundTo(rod.tip[1], 2), roundTo(sign * rod.tip[2], 2)}},
            {"tilt_deg", tilt},
            {"residual_mm", roundTo(rod.residualMm, 2)}}},
          {"overlay", overlay}};
}

RodView rodViewFromShaft(const std::optional<CameraPose>& pose, const json& shaftRecord) {
  RodView view;
  view.pose = pose;
  const json& votes = shaftRecord.value("votes", json::array());
  if (votes.empty()) return view;
  const json& vote = votes[0];
  if (vote.value("abstention", true) || !vote.value("axis_valid", false)) return view;
  const json& observations = shaftRecord.value("observations", json::array());
  const size_t index = vote.value("axis_index", 0);
  if (index < observations.size()) {
    const json& o = observations[index];
    if (o.value("axis_valid", false) && o["origin_px"].is_array() && o["direction_xy"].is_array()) {
      const double x = o["origin_px"][0], y = o["origin_px"][1];
      const double dx = o["direction_xy"][0], dy = o["direction_xy"][1];
      if (std::hypot(dx, dy) > 0.0) view.imageLine = cv::Vec3d(-dy, dx, dy * x - dx * y);
    }
  }
  if (vote.value("tip_valid", false) && vote.contains("image_point") && vote["image_point"].is_array()) {
    view.tipPx = cv::Point2d(vote["image_point"][0].get<double>(), vote["image_point"][1].get<double>());
  }
  return view;
}

}  // namespace tarv
