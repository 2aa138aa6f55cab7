#include "tarv/autocal/camera_solve.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

namespace tarv {
namespace {

constexpr double kTolerances[6] = {0.45, 0.35, 0.3, 0.25, 0.25, 0.25};
constexpr int kFitFocalAndK1 = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_ASPECT_RATIO |
                               cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_ZERO_TANGENT_DIST |
                               cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;
constexpr int kFitFocal = kFitFocalAndK1 | cv::CALIB_FIX_K1;

// Whether the bull is close enough to the projected board centre to pin it.
bool bullAgrees(const CameraEstimate& e, cv::Point2d bull, double tol) {
  if (bull.x < 0) return false;
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  std::vector<cv::Point3d> ring(ref.begin(), ref.begin() + kCrossingWires);
  ring.emplace_back(0.0, 0.0, 0.0);
  const std::vector<cv::Point2d> p = projectBoardPoints(e, ring);
  std::vector<double> chords;
  for (int k = 0; k < kCrossingWires; ++k) chords.push_back(cv::norm(p[k] - p[(k + 1) % kCrossingWires]));
  std::nth_element(chords.begin(), chords.begin() + 10, chords.end());
  return 2.0 * tol * chords[10] + 3.0 > cv::norm(p[kCrossingWires] - bull);
}

}  // namespace

CameraEstimate solveCamera(const CameraEstimate& start, const std::vector<cv::Point2d>& crossings,
                           cv::Point2d bull, int iterations) {
  CameraEstimate e = cloneCameraEstimate(start);
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  for (int i = 0; i < iterations; ++i) {
    const double tol = kTolerances[std::min(i, 5)];
    const CrossingMatches m = matchCrossings(projectBoardPoints(e, ref), crossings, tol);
    const int pairs = static_cast<int>(m.reference.size());
    if (pairs < 6) break;
    std::vector<cv::Point3f> object;
    std::vector<cv::Point2f> image;
    if (bullAgrees(e, bull, tol)) {
      object.emplace_back(0.0f, 0.0f, 0.0f);
      image.emplace_back(bull);
    }
    for (int k = 0; k < pairs; ++k) {
      object.emplace_back(ref[m.reference[k]]);
      image.emplace_back(crossings[m.detection[k]]);
    }
    if (pairs >= 12) {
      cv::Mat K = e.K.clone(), dist = e.dist.clone();
      std::vector<cv::Mat> rvecs, tvecs;
      cv::calibrateCamera(std::vector<std::vector<cv::Point3f>>{object}, std::vector<std::vector<cv::Point2f>>{image},
                          cv::Size(e.width, e.height), K, dist, rvecs, tvecs, pairs >= 25 ? kFitFocalAndK1 : kFitFocal,
                          cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 500, 2.220446049250313e-16));
      dist = dist.reshape(1, 1);
      const double f = K.at<double>(0, 0), k1 = dist.at<double>(0);
      if (0.3 * e.width < f && f < 2.5 * e.width && std::abs(k1) < 1.0) {
        e.K = K;
        e.dist = cv::Mat::zeros(1, 5, CV_64F);
        for (int j = 0; j < std::min(static_cast<int>(dist.total()), 5); ++j) e.dist.at<double>(j) = dist.at<double>(j);
        e.rvec = rvecs[0].clone();
        e.tvec = tvecs[0].clone();
        continue;
      }
    }
    cv::Mat rvec = e.rvec.clone(), tvec = e.tvec.clone();
    if (cv::solvePnP(object, image, e.K, e.dist, rvec, tvec, true, cv::SOLVEPNP_ITERATIVE)) {
      e.rvec = rvec;
      e.tvec = tvec;
    }
  }
  return e;
}

void selectBestCamera(const std::vector<cv::Point2d>& crossings, cv::Point2d bull, CameraSelection& selection,
                      const std::vector<CameraEstimate>& starts) {
  for (const CameraEstimate& start : starts) {
    try {
      CameraEstimate e = solveCamera(start, crossings, bull, 6);
      if (!(cameraCentre(e)[2] > 0.0)) continue;
      const MatchScore s = scoreCameraEstimate(e, crossings, 0.25);
      if (!selection.found || s.matches > selection.best.matches ||
          (s.matches == selection.best.matches && s.rmsPx < selection.best.rmsPx)) {
        selection.found = true;
        selection.best = s;
        selection.camera = std::move(e);
      }
    } catch (const cv::Exception&) {
      // A degenerate start (collinear pairs, a singular guess) says nothing about the others.
    }
  }
}

}  // namespace tarv
