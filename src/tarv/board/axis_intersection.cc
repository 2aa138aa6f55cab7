#include "tarv/board/axis_intersection.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <opencv2/core.hpp>
#include <stdexcept>

#include "tarv/core/engine_values.h"

namespace tarv {

namespace {

constexpr double kMinGeometryRadiusMm = 170.0;
constexpr double kMaxGeometryRadiusMm = 600.0;
constexpr std::size_t kMaxAxesPerCamera = 8;
constexpr double kMaxCondition = 20.0;
constexpr double kMaxBoardResidualMm = 2.0;
constexpr double kMaxImageDistancePx = 3.0;
constexpr double kClusterRadiusMm = 3.0;
constexpr double kMinLineSigmaMm = 0.001;
constexpr double kMinInformationDet = 1e-12;
constexpr double kTripleSigmaPx = 1.0;

bool isFinite(const Line& l) {
  return std::isfinite(l[0]) && std::isfinite(l[1]) && std::isfinite(l[2]);
}

// Scales a line to a unit normal; nothing when the normal is zero or not finite, which is
// the line at infinity or no line at all.
std::optional<Line> normalised(const Line& l) {
  if (!isFinite(l)) return std::nullopt;
  const double n = std::hypot(l[0], l[1]);
  if (!(n > 0.0) || !std::isfinite(n)) return std::nullopt;
  const Line unit{l[0] / n, l[1] / n, l[2] / n};
  if (!isFinite(unit)) return std::nullopt;
  return unit;
}

Homography inverseOf(const Homography& h) {
  const cv::Matx33d m(h.data());
  cv::Matx33d inv;
  // A singular matrix leaves zeros, so the projection check below refuses every point.
  cv::invert(m, inv, cv::DECOMP_LU);
  Homography out{};
  for (int k = 0; k < 9; ++k) out[static_cast<std::size_t>(k)] = inv.val[k];
  return out;
}

json nullCovariance() {
  json out = json::object();
  out["covariance_mm2"] = nullptr;
  out["uncertainty_mm"] = nullptr;
  return out;
}

// How far, in board millimetres, the point moves when its image moves sigma_px across the
// image line: the board-plane standard deviation of that line near the point.
std::optional<double> lineSigmaMm(const IntersectionLine& line, Point2 point, double sigmaPx) {
  const std::optional<Line> m = imageLineFromAxis(line.axis);
  if (!m) return std::nullopt;
  const double norm = std::max(std::hypot((*m)[0], (*m)[1]), 1e-12);
  const Point2 pixel = applyHomography(line.homography, point);
  const Point2 shifted{pixel.x + sigmaPx * (*m)[0] / norm, pixel.y + sigmaPx * (*m)[1] / norm};
  const Point2 back = applyHomography(inverseOf(line.homography), shifted);
  const double d = std::hypot(back.x - point.x, back.y - point.y);
  if (!std::isfinite(d)) return std::nullopt;
  return std::max(kMinLineSigmaMm, d);
}

struct CameraAxes {
  const json* observations = nullptr;
  // Board and image lines of the usable axes; nothing for an invalid or degenerate one.
  std::vector<std::optional<Line>> boardLines;
  std::vector<Line> imageLines;
};

// Why a triple of board lines does not give a hypothesis, or "" when it does; fills the
// point and the condition.
std::string solveTriple(const std::array<Line, 3>& lines, double radiusMm, Point2& point,
                        double& condition) {
  cv::Matx32d a;
  cv::Vec3d b;
  for (int c = 0; c < 3; ++c) {
    a(c, 0) = lines[static_cast<std::size_t>(c)][0];
    a(c, 1) = lines[static_cast<std::size_t>(c)][1];
    b[c] = -lines[static_cast<std::size_t>(c)][2];
  }
  cv::Mat w;
  cv::SVD::compute(a, w, cv::SVD::NO_UV);
  condition = w.at<double>(0) / std::max(w.at<double>(1), 1e-12);
  if (condition > kMaxCondition) return "NEAR_PARALLEL_VIEWS";

  cv::Vec2d x;
  cv::solve(a, b, x, cv::DECOMP_SVD);
  const cv::Vec3d residual = a * x - b;
  double largest = 0.0;
  for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(residual[c]));
  point = Point2{x[0], x[1]};
  if (largest > kMaxBoardResidualMm) return "LINES_DO_NOT_AGREE";
  if (!std::isfinite(x[0]) || !std::isfinite(x[1]) || std::hypot(x[0], x[1]) > radiusMm)
    return "OUTSIDE_TEST_REGION";
  return "";
}

json indexTriple(const std::array<std::size_t, 3>& idx) {
  return json::array({idx[0], idx[1], idx[2]});
}

}  // namespace

void checkGeometryRadius(double radiusMm) {
  if (!std::isfinite(radiusMm) || radiusMm < kMinGeometryRadiusMm ||
      radiusMm > kMaxGeometryRadiusMm)
    throw std::runtime_error("INVALID_GEOMETRY_RADIUS");
}

std::optional<Line> imageLineFromAxis(const json& axis) {
  const Point2 origin = pointFromJson(axis.at("origin_px"));
  const Point2 direction = pointFromJson(axis.at("direction_xy"));
  const double length = std::hypot(direction.x, direction.y);
  if (!(length > 0.0) || !std::isfinite(length)) return std::nullopt;
  const double n = 1.0 / length;
  const Line line{-direction.y * n, direction.x * n,
                  (direction.y * origin.x - direction.x * origin.y) * n};
  if (!isFinite(line)) return std::nullopt;
  return line;
}

std::optional<Line> boardLineFromImageLine(const Line& l, const Homography& h) {
  // H maps board to image, so a board point X lies on the line exactly when lᵀ·H·X = 0.
  const Line board{h[0] * l[0] + h[3] * l[1] + h[6] * l[2], h[1] * l[0] + h[4] * l[1] + h[7] * l[2],
                   h[2] * l[0] + h[5] * l[1] + h[8] * l[2]};
  return normalised(board);
}

std::optional<Line> transformImageLine(const json& axis, const Homography& h) {
  const std::optional<Line> image = imageLineFromAxis(axis);
  if (!image) return std::nullopt;
  return boardLineFromImageLine(*image, h);
}

json estimateIntersectionCovariance(const std::vector<IntersectionLine>& lines, Point2 point,
                                    double sigmaPx) {
  double i00 = 0.0, i01 = 0.0, i11 = 0.0;
  json sigmas = json::object();
  for (const IntersectionLine& line : lines) {
    if (!isFinite(line.boardLine)) return nullCovariance();
    const std::optional<double> sigma = lineSigmaMm(line, point, sigmaPx);
    if (!sigma) return nullCovariance();
    const double weight = 1.0 / (*sigma * *sigma);
    const double a = line.boardLine[0], b = line.boardLine[1];
    i00 += weight * a * a;
    i01 += weight * a * b;
    i11 += weight * b * b;
    sigmas[line.cameraId] = *sigma;
  }
  const double det = i00 * i11 - i01 * i01;
  if (!(std::abs(det) >= kMinInformationDet)) return nullCovariance();

  const cv::Matx22d information(i00, i01, i01, i11);
  cv::Matx22d s;
  cv::invert(information, s, cv::DECOMP_SVD);
  cv::Vec2d eigenvalues;
  cv::eigen(s, eigenvalues);
  const double largest = std::max(eigenvalues[0], eigenvalues[1]);

  json out = json::object();
  out["covariance_mm2"] =
      json::array({json::array({s(0, 0), s(0, 1)}), json::array({s(1, 0), s(1, 1)})});
  out["uncertainty_mm"] = std::sqrt(std::max(0.0, largest));
  out["line_sigma_mm"] = sigmas;
  out["sigma_px_assumed"] = sigmaPx;
  return out;
}

json intersectAxesOnBoard(const std::array<json, 3>& views,
                          const std::array<Homography, 3>& homographies, double radiusMm) {
  checkGeometryRadius(radiusMm);
  json result = json::object();
  result["status"] = "GEOMETRY_UNRESOLVED";
  result["search_radius_mm"] = radiusMm;
  result["hypotheses"] = json::array();
  result["rejected"] = json::array();

  std::array<CameraAxes, 3> cameras;
  for (std::size_t c = 0; c < 3; ++c) {
    const json& observations = views[c].at("observations");
    // Only an array of axes is an observation list; anything else is the JSON type error.
    observations.get_ref<const json::array_t&>();
    if (observations.empty()) {
      result["reason"] = "MISSING_AXIS_IN_CAMERA";
      return result;
    }
    if (observations.size() > kMaxAxesPerCamera) {
      result["reason"] = "TOO_MANY_AXIS_HYPOTHESES";
      return result;
    }
    cameras[c].observations = &observations;
  }

  // A triple is tried only when all three of its axes are valid, so the lines of valid axes
  // are needed only when every camera has one. A degenerate axis counts as invalid.
  bool everyCameraHasAxis = true;
  for (CameraAxes& camera : cameras) {
    bool any = false;
    for (const json& axis : *camera.observations) any = any || axis.value("axis_valid", true);
    everyCameraHasAxis = everyCameraHasAxis && any;
  }
  if (everyCameraHasAxis) {
    for (std::size_t c = 0; c < 3; ++c) {
      for (const json& axis : *cameras[c].observations) {
        std::optional<Line> image, board;
        if (axis.value("axis_valid", true)) image = imageLineFromAxis(axis);
        if (image) board = boardLineFromImageLine(*image, homographies[c]);
        cameras[c].boardLines.push_back(board);
        cameras[c].imageLines.push_back(board ? *image : Line{});
      }
    }
  }

  json hypotheses = json::array();
  json& rejected = result["rejected"];
  const std::size_t n0 = cameras[0].boardLines.size();
  const std::size_t n1 = cameras[1].boardLines.size();
  const std::size_t n2 = cameras[2].boardLines.size();
  for (std::size_t i = 0; i < n0; ++i) {
    for (std::size_t j = 0; j < n1; ++j) {
      for (std::size_t k = 0; k < n2; ++k) {
        const std::array<std::size_t, 3> idx{i, j, k};
        std::array<Line, 3> lines{};
        bool usable = true;
        for (std::size_t c = 0; c < 3; ++c) {
          const std::optional<Line>& line = cameras[c].boardLines[idx[c]];
          usable = usable && line.has_value();
          if (line) lines[c] = *line;
        }
        if (!usable) continue;

        Point2 point;
        double condition = 0.0;
        std::string reason = solveTriple(lines, radiusMm, point, condition);
        json hypothesis;
        if (reason.empty()) {
          json pixels = json::object(), distances = json::object(), indices = json::object();
          double maximum = 0.0;
          std::vector<IntersectionLine> covarianceLines;
          for (std::size_t c = 0; c < 3; ++c) {
            const std::string& id = cameraIds[c];
            const Point2 pixel = applyHomography(homographies[c], point);
            const Line& m = cameras[c].imageLines[idx[c]];
            const double d = std::abs(m[0] * pixel.x + m[1] * pixel.y + m[2]);
            pixels[id] = pointToJson(pixel);
            distances[id] = d;
            indices[id] = idx[c];
            maximum = std::max(maximum, d);
            covarianceLines.push_back(
                {lines[c], (*cameras[c].observations)[idx[c]], homographies[c], id});
          }
          if (maximum > kMaxImageDistancePx) {
            reason = "IMAGE_LINES_DO_NOT_AGREE";
          } else {
            hypothesis = estimateIntersectionCovariance(covarianceLines, point, kTripleSigmaPx);
            hypothesis["board_xy_nominal_mm"] = pointToJson(point);
            hypothesis["condition"] = condition;
            hypothesis["axis_indices"] = indices;
            hypothesis["reprojected_pixels"] = pixels;
            hypothesis["image_line_distances_px"] = distances;
            hypothesis["maximum"] = maximum;
          }
        }
        if (!reason.empty()) {
          rejected.push_back({{"indices", indexTriple(idx)}, {"reason", reason}});
        } else {
          hypotheses.push_back(std::move(hypothesis));
        }
      }
    }
  }

  if (hypotheses.empty()) {
    result["reason"] = "NO_CONSISTENT_INTERSECTION";
    return result;
  }
  std::stable_sort(hypotheses.begin(), hypotheses.end(), [](const json& a, const json& b) {
    return a.at("maximum").get<double>() < b.at("maximum").get<double>();
  });
  const Point2 best = pointFromJson(hypotheses.front().at("board_xy_nominal_mm"));
  bool distinct = false;
  for (const json& h : hypotheses) {
    const Point2 p = pointFromJson(h.at("board_xy_nominal_mm"));
    distinct = distinct || std::hypot(p.x - best.x, p.y - best.y) > kClusterRadiusMm;
  }
  if (distinct) {
    result["status"] = "AMBIGUOUS_BOARD_INTERSECTIONS";
    result["reason"] = "MULTIPLE_SPATIALLY_DISTINCT_SOLUTIONS";
  } else {
    result["status"] = "BOARD_PLANE_INTERSECTION_HYPOTHESIS";
    result["selected"] = hypotheses.front();
    result["reason"] = "THREE_VIEW_LINE_AGREEMENT_IS_NOT_TIP_CONFIRMATION";
  }
  result["hypotheses"] = std::move(hypotheses);
  return result;
}

}  // namespace tarv
