#include "tarv/camera/board_fit_candidates.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/camera/camera_model.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The engine fits images of at most 720 rows; the edges then refine the camera at full size.
constexpr double kMaxFitRows = 720.0;
// A board seen 10 degrees above its plane is 5.8 times longer than wide in the image. The
// engine's limit of 4 refuses every view below about 15 degrees; here the image's own edges
// judge the result, so the shape need only exclude what no board seen from 8 degrees up is.
constexpr double kMaxEllipseAspect = 8.0;

// Focal length of a homography with the principal point c and square pixels: the board's x
// and y axes are orthogonal and of equal length. NaN when neither condition determines it.
double focalFromHomography(const cv::Matx33d& H, cv::Point2d c) {
  const cv::Matx33d M = cv::Matx33d(1, 0, -c.x, 0, 1, -c.y, 0, 0, 1) * H;
  const double a1 = M(0, 0), b1 = M(1, 0), c1 = M(2, 0), a2 = M(0, 1), b2 = M(1, 1), c2 = M(2, 1);
  std::vector<double> f2;
  if (std::abs(c1 * c2) > 1e-18) f2.push_back(-(a1 * a2 + b1 * b2) / (c1 * c2));
  if (std::abs(c1 * c1 - c2 * c2) > 1e-18) f2.push_back((a2 * a2 + b2 * b2 - a1 * a1 - b1 * b1) / (c1 * c1 - c2 * c2));
  double sum = 0.0;
  int n = 0;
  for (double v : f2) {
    if (v > 0.0 && std::isfinite(v)) sum += std::sqrt(v), ++n;
  }
  return n == 0 ? std::nan("") : sum / n;
}

// The farthest any of the board points lies from where the camera sees it.
double farthestOffPx(const CameraEstimate& e, const std::vector<cv::Point3f>& object, const std::vector<cv::Point2f>& image) {
  std::vector<cv::Point2f> seen;
  cv::projectPoints(object, e.rvec, e.tvec, e.K, e.dist, seen);
  double off = 0.0;
  for (size_t i = 0; i < seen.size(); ++i) off = std::max(off, static_cast<double>(cv::norm(seen[i] - image[i])));
  return off;
}

bool usableCamera(const CameraEstimate& e) {
  return cv::checkRange(e.K) && cv::checkRange(e.dist) && cv::checkRange(e.rvec) && cv::checkRange(e.tvec) &&
         cameraCentre(e)[2] > 0.0;
}

// Fits the camera (focal length, pose, and what `flags` leave free) to the board points.
void fitToPoints(CameraEstimate& e, const std::vector<cv::Point3f>& object, const std::vector<cv::Point2f>& image,
                 cv::Size size, int flags) {
  std::vector<cv::Mat> rvecs, tvecs;
  cv::calibrateCamera(std::vector<std::vector<cv::Point3f>>{object}, std::vector<std::vector<cv::Point2f>>{image}, size, e.K,
                      e.dist, rvecs, tvecs, flags | cv::CALIB_USE_INTRINSIC_GUESS,
                      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-12));
  e.dist = e.dist.reshape(1, 1);
  e.rvec = rvecs.at(0).clone();
  e.tvec = tvecs.at(0).clone();
}

// The camera whose board plane the homography (engine frame -> rectified pixels) shows,
// through the lens where one is known: fitted to the homography's points on the board.
// offPx: the farthest any of those points lies from where the camera sees it.
std::optional<CameraEstimate> cameraFromFit(const Homography& h, const std::optional<CameraModel>& lens, cv::Size size,
                                            double& offPx) {
  const cv::Matx33d H(h.data());
  std::vector<cv::Point3f> object;
  std::vector<cv::Point2f> image;
  for (const double r : {20.0, 60.0, 100.0, 135.0, 170.0}) {
    for (int k = 0; k < 24; ++k) {
      const double a = k * 15.0 * kPi / 180.0, x = r * std::cos(a), y = r * std::sin(a);
      const Point2 ideal = applyHomography(h, {x, y});
      const cv::Point2d p = lens ? distortPixel(*lens, {ideal.x, ideal.y}) : cv::Point2d(ideal.x, ideal.y);
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      // The camera model's board frame has the 20 at +y, the engine's at -y.
      object.emplace_back(static_cast<float>(x), static_cast<float>(-y), 0.0f);
      image.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
  }
  if (object.size() < 20) return std::nullopt;
  CameraEstimate e;
  e.width = size.width;
  e.height = size.height;
  if (lens) {
    e.K = cv::Mat(lens->K).clone();
    e.dist = cv::Mat(lens->dist).reshape(1, 1).clone();
  } else {
    const cv::Point2d c((size.width - 1) * 0.5, (size.height - 1) * 0.5);
    double f = focalFromHomography(H, c);
    if (!(f > 0.1 * size.width && f < 20.0 * size.width)) f = 0.8 * std::max(size.width, size.height);
    e = makeCameraEstimate(size.width, size.height, f);
  }
  int flags = cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K2 |
              cv::CALIB_FIX_K3;
  if (!lens) flags |= cv::CALIB_FIX_K1;
  fitToPoints(e, object, image, size, flags);
  if (!usableCamera(e)) return std::nullopt;
  offPx = farthestOffPx(e, object, image);
  // A camera with its optical centre in the image's middle cannot follow every homography: an
  // image cut off its optical centre (a webcam's window of its sensor, a cropped photograph)
  // leaves it pixels off (an 800x600 camera of f 620 px, centre 60 px off the middle: 7 px at
  // the rim). Without a known lens the centre then moves with the rest, within the image.
  if (!lens && offPx > kMaxCameraOffFitPx) {
    CameraEstimate moved = cloneCameraEstimate(e);
    try {
      fitToPoints(moved, object, image, size, flags & ~cv::CALIB_FIX_PRINCIPAL_POINT);
    } catch (const cv::Exception&) {
      return e;  // the camera about the middle stands, judged on its distance as before
    }
    const double cx = moved.K.at<double>(0, 2), cy = moved.K.at<double>(1, 2);
    const bool inImage = cx >= 0.0 && cx <= size.width - 1.0 && cy >= 0.0 && cy <= size.height - 1.0;
    const double movedOffPx = usableCamera(moved) && inImage ? farthestOffPx(moved, object, image) : offPx;
    if (movedOffPx < offPx) e = std::move(moved), offPx = movedOffPx;
  }
  return e;
}

// The board fit on the image reduced to the engine's working size, its homography brought back
// to the image's pixels. With an initial homography (image pixels) the fit refines that one on
// the ring edges; without, it finds the board from its colours and wires.
json fitOnWorkingSize(const cv::Mat& image, const std::optional<Homography>& initial) {
  BoardFitOptions options;
  options.maxEllipseAspect = kMaxEllipseAspect;
  options.orientationOptional = true;
  const double s = std::min(1.0, kMaxFitRows / image.rows);
  cv::Mat reduced = image;
  if (s < 1.0) cv::resize(image, reduced, cv::Size(), s, s, cv::INTER_AREA);
  const double sx = static_cast<double>(reduced.cols) / image.cols, sy = static_cast<double>(reduced.rows) / image.rows;
  // Pixel centres keep their place: full-image pixel x is seen at s·(x + 0.5) − 0.5.
  const cv::Matx33d down(sx, 0, 0.5 * sx - 0.5, 0, sy, 0.5 * sy - 0.5, 0, 0, 1);
  auto mapped = [](const cv::Matx33d& m, const Homography& h) {
    const cv::Matx33d H = m * cv::Matx33d(h.data());
    Homography out;
    for (int i = 0; i < 9; ++i) out[static_cast<size_t>(i)] = H.val[i] / H(2, 2);
    return out;
  };
  json request = json::object();
  if (initial) request["initial"] = matrix3x3ToJson(mapped(down, *initial));
  json fit = fitBoardGeometry(reduced, request, options);
  if (fit.contains("board_to_image")) fit["board_to_image"] = matrix3x3ToJson(mapped(down.inv(), matrix3x3FromJson(fit["board_to_image"])));
  return fit;
}

// The candidate of a fit's result: its summary, and the camera of its homography.
FitCamera fitCamera(const json& fit, const std::optional<CameraModel>& lens, cv::Size size, const char* start) {
  FitCamera out;
  json& report = out.report;
  report["start"] = start;
  if (!fit.contains("board_to_image")) {
    out.reason = "BOARD_FIT: " + fit.value("error", std::string("NO_FIT"));
    report["error"] = fit.value("error", std::string());
    return out;
  }
  report["road"] = fit.value("method", std::string());
  report["fit_accepted"] = fit.value("accepted", false);
  report["fit_report"] = {{"rms_px", fit["report"].value("rms_px", 99.0)},
                          {"octants", fit["report"].value("octants", 0)},
                          {"inlier_fraction", fit["report"].value("inlier_fraction", 0.0)},
                          {"initial_source", fit["report"].value("initial_source", std::string())}};
  if (fit.contains("rejection")) report["fit_rejection"] = fit["rejection"];
  double offPx = 0.0;
  out.camera = cameraFromFit(matrix3x3FromJson(fit["board_to_image"]), lens, size, offPx);
  if (out.camera) report["camera_off_fit_px"] = offPx;
  if (!out.camera) out.reason = "BOARD_FIT: NO_CAMERA_FOR_HOMOGRAPHY";
  return out;
}

}  // namespace

FitCamera fitFromLandmarkStart(const cv::Mat& image, const LandmarkSolution& landmark, json& road) {
  std::optional<CameraModel> lens;
  cv::Mat rectified = image;
  if (landmark.ok) {
    const json model = json::parse(writeVisionReport(landmark));
    lens = parseCameraModel(model);
    LensMaps maps;
    buildLensMaps(maps, model, image.cols, image.rows);
    rectified = undistortFrame(maps, image, false);
  }
  road["rectified"] = landmark.ok;
  std::optional<Homography> initial;
  if (landmark.ok) initial = planeHomographyFromPose(*lens);
  json fit = fitOnWorkingSize(rectified, initial);
  const char* start = initial ? "LANDMARK_PLANE" : "COLOURS";
  if (initial && !fit.value("accepted", false)) {
    const json colour = fitOnWorkingSize(rectified, std::nullopt);
    road["marker_road"] = fit.value("rejection", fit.value("error", std::string()));
    if (colour.contains("board_to_image") || !fit.contains("board_to_image")) fit = colour, start = "RECTIFIED_COLOURS";
  }
  return fitCamera(fit, lens, image.size(), start);
}

FitCamera fitAsTaken(const cv::Mat& image) {
  const double scale = image.rows > kMaxFitRows ? kMaxFitRows / image.rows : 1.0;
  cv::Mat reduced = image;
  if (scale < 1.0) {
    const cv::Size size(std::max(1L, std::lround(image.cols * scale)), std::max(1L, std::lround(image.rows * scale)));
    cv::resize(image, reduced, size, 0, 0, cv::INTER_AREA);
  }
  BoardFitOptions options;
  options.orientationOptional = true;
  return fitCamera(fitReducedBoardGeometry(reduced, json::object(), scale, options), std::nullopt, image.size(), "AS_TAKEN");
}


}  // namespace tarv
