#include "tarv/autocal/edge_fit.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

namespace tarv {

std::vector<double> edgeResiduals(const CameraEstimate& e, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                                  cv::Mat* jacobian, const EdgeModel& model) {
  // OpenCV refuses to project no points at all.
  if (use.empty()) {
    if (jacobian) *jacobian = cv::Mat::zeros(0, 11, CV_64F);
    return {};
  }
  std::vector<cv::Point3d> object;
  object.reserve(use.size());
  for (size_t i : use) object.emplace_back(m.board[i].x, m.board[i].y, 0.0);
  std::vector<cv::Point2d> projected;
  cv::Mat full;
  if (jacobian) {
    cv::projectPoints(object, e.rvec, e.tvec, e.K, e.dist, projected, full);
    *jacobian = cv::Mat::zeros(static_cast<int>(use.size()), 11, CV_64F);
  } else {
    cv::projectPoints(object, e.rvec, e.tvec, e.K, e.dist, projected);
  }
  std::vector<double> r(use.size());
  for (size_t j = 0; j < use.size(); ++j) {
    const size_t i = use[j];
    const cv::Point2d n(m.normal[i].x, m.normal[i].y);
    r[j] = n.dot(projected[j] - cv::Point2d(m.image[i].x, m.image[i].y)) + model.offsetPx(m, i);
    if (!jacobian) continue;
    const double* jx = full.ptr<double>(static_cast<int>(2 * j));
    const double* jy = full.ptr<double>(static_cast<int>(2 * j + 1));
    double* out = jacobian->ptr<double>(static_cast<int>(j));
    for (int c = 0; c < 6; ++c) out[c] = n.x * jx[c] + n.y * jy[c];
    out[6] = n.x * (jx[6] + jx[7]) + n.y * (jy[6] + jy[7]);  // one focal length for both axes
    out[7] = n.x * jx[10] + n.y * jy[10];                     // k1
    out[8] = EdgeModel::outerPxPerMm(m, i);
    out[9] = EdgeModel::widthPxPerMm(m, i);
    out[10] = EdgeModel::heightPxPerMm(m, i);
  }
  return r;
}

namespace {

double sumOfSquares(const std::vector<double>& r) {
  double s = 0.0;
  for (double v : r) s += v * v;
  return s;
}

CameraEstimate stepped(const CameraEstimate& e, const cv::Mat& delta, const std::vector<int>& columns, EdgeModel& model) {
  CameraEstimate out = cloneCameraEstimate(e);
  for (size_t k = 0; k < columns.size(); ++k) {
    const double d = delta.at<double>(static_cast<int>(k));
    const int c = columns[k];
    if (c < 3) out.rvec.at<double>(c) += d;
    else if (c < 6) out.tvec.at<double>(c - 3) += d;
    else if (c == 6) {
      out.K.at<double>(0, 0) += d;
      out.K.at<double>(1, 1) += d;
    } else if (c == 7) out.dist.at<double>(0) += d;
    else if (c == 8) model.outerMm += d;
    else if (c == 9) model.wireWidthMm += d;
    else model.wireHeightMm += d;
  }
  return out;
}

// JᵀJ, each entry summed over the rows in their order as the general product sums it, row by
// row for all entries at once: a fit runs it a few dozen times on a thousand rows.
cv::Mat normalMatrix(const cv::Mat& J) {
  const int n = J.cols;
  cv::Mat A = cv::Mat::zeros(n, n, CV_64F);
  double* const a = A.ptr<double>();
  for (int k = 0; k < J.rows; ++k) {
    const double* row = J.ptr<double>(k);
    for (int i = 0; i < n; ++i) {
      for (int j = i; j < n; ++j) a[i * n + j] += row[i] * row[j];
    }
  }
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) a[i * n + j] = a[j * n + i];
  }
  return A;
}

// The wires' height shows only in the edges seen on one side of their wire, the foot of the
// side facing the camera against the top of the other; an edge where both sides show lies
// halfway up, so on a board whose edges all show both sides a height is a lift of the whole
// plane that the pose takes up in full, and the fit wandered to 2.5 mm on a flat render (its
// camera then placed 1.2 mm below the face). The height costs one residual of this many
// pixels a mm, far less than a height the one-sided edges show (some hundred of them, each
// moved a pixel or more a mm); at 3 px a mm it held 1 mm wires seen steeply to under 0.4 mm.
constexpr double kHeightPriorPxPerMm = 1.0;

double costOf(const std::vector<double>& r, const FitParameters& free, const EdgeModel& model) {
  const double prior = free.wires ? kHeightPriorPxPerMm * model.wireHeightMm : 0.0;
  return sumOfSquares(r) + prior * prior;
}

}  // namespace

// Levenberg-Marquardt on the distances across the edges: an edge says nothing about where
// along it its point lies, so a ring pulls only radially and a wire only round the board.
CameraEstimate fitToEdges(const CameraEstimate& start, const CameraEdgeMatches& m, const std::vector<size_t>& use,
                          FitParameters free, EdgeModel& model) {
  const std::vector<int> columns = free.columns();
  const int parameters = static_cast<int>(columns.size());
  CameraEstimate current = cloneCameraEstimate(start);
  double cost = costOf(edgeResiduals(current, m, use, nullptr, model), free, model);
  double lambda = 1e-3;
  for (int iteration = 0; iteration < 30; ++iteration) {
    cv::Mat full;
    const std::vector<double> r = edgeResiduals(current, m, use, &full, model);
    cv::Mat J(full.rows, parameters, CV_64F);
    for (int k = 0; k < parameters; ++k) full.col(columns[static_cast<size_t>(k)]).copyTo(J.col(k));
    cv::Mat A = normalMatrix(J);
    cv::Mat g = J.t() * cv::Mat(r);
    if (free.wires) {
      const int h = static_cast<int>(std::find(columns.begin(), columns.end(), 10) - columns.begin());
      A.at<double>(h, h) += kHeightPriorPxPerMm * kHeightPriorPxPerMm;
      g.at<double>(h) += kHeightPriorPxPerMm * kHeightPriorPxPerMm * model.wireHeightMm;
    }
    bool improved = false;
    for (int attempt = 0; attempt < 8 && !improved; ++attempt) {
      cv::Mat damped = A.clone();
      for (int c = 0; c < parameters; ++c) damped.at<double>(c, c) += lambda * A.at<double>(c, c) + 1e-12;
      cv::Mat delta;
      if (!cv::solve(damped, -g, delta, cv::DECOMP_CHOLESKY)) {
        lambda *= 10.0;
        continue;
      }
      EdgeModel candidateModel = model;
      CameraEstimate candidate = stepped(current, delta, columns, candidateModel);
      const double candidateCost = costOf(edgeResiduals(candidate, m, use, nullptr, candidateModel), free, candidateModel);
      if (candidateCost < cost) {
        improved = true;
        const double gain = cost - candidateCost;
        current = std::move(candidate);
        model = candidateModel;
        cost = candidateCost;
        lambda = std::max(lambda * 0.1, 1e-9);
        if (gain < 1e-10 * cost + 1e-12) return current;
      } else {
        lambda *= 10.0;
      }
    }
    if (!improved) break;
  }
  return current;
}

// Focal lengths a fit on the edges may end with, in image widths: a wide lens whose board
// fills the height of a wide image has 0.28 (1920x1080, 35 degrees above the board); a
// rectilinear lens shorter than 0.2 would see more than 136 degrees across.
namespace {
constexpr double kMinFocalWidths = 0.2;
constexpr double kMaxFocalWidths = 6.0;
}  // namespace

bool plausible(const CameraEstimate& e) {
  const double f = e.K.at<double>(0, 0), k1 = e.dist.at<double>(0);
  return kMinFocalWidths * e.width < f && f < kMaxFocalWidths * e.width && std::abs(k1) < 1.0 && cameraCentre(e)[2] > 0.0 &&
         cv::checkRange(e.rvec) && cv::checkRange(e.tvec);
}

}  // namespace tarv
