#include "tarv/recovery/thin_shaft_check.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/exposure_fit.h"
#include "tarv/recovery/registered_supports.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// Pixels and novel counts of the clusters of the dilated novel edges.
struct Clusters {
  cv::Mat labels;
  int count = 0;
  std::vector<int> novel;
  std::vector<int> inside;
  std::vector<std::vector<cv::Point>> points;
};

Clusters clustersOf(const cv::Mat& novel, const cv::Mat& region) {
  Clusters clusters;
  clusters.count = cv::connectedComponents(dilateMask(novel, 9, false), clusters.labels, 8, CV_32S);
  const std::size_t n = static_cast<std::size_t>(std::max(clusters.count, 1));
  clusters.novel.assign(n, 0);
  clusters.inside.assign(n, 0);
  clusters.points.resize(n);
  for (int y = 0; y < novel.rows; ++y) {
    const int* l = clusters.labels.ptr<int>(y);
    const uchar* e = novel.ptr<uchar>(y);
    const uchar* r = region.ptr<uchar>(y);
    for (int x = 0; x < novel.cols; ++x) {
      if (l[x] <= 0 || !e[x]) continue;
      const std::size_t label = static_cast<std::size_t>(l[x]);
      ++clusters.novel[label];
      if (r[x]) ++clusters.inside[label];
      clusters.points[label].emplace_back(x, y);
    }
  }
  return clusters;
}

}  // namespace

namespace {

// Edges of the corrected frame that the reference does not have, where the frame changed
// strongly, away from the image border; and the strong change itself.
struct NovelChange {
  cv::Mat novel;
  cv::Mat strong;
};

cv::Mat innerImageMask(cv::Size size) {
  cv::Mat inner = cv::Mat::zeros(size, CV_8UC1);
  if (size.width > 16 && size.height > 16) {
    inner(cv::Rect(8, 8, size.width - 16, size.height - 16)).setTo(255);
  }
  return inner;
}

NovelChange measureNovelChange(const cv::Mat& reference, const cv::Mat& corrected, const cv::Mat& board) {
  // Outside the board the reference's own edges move more with a wobbling surround.
  const cv::Mat referenceEdges = cannyEdges(reference, 10, 30);
  cv::Mat widened = maskAnd(dilateMask(referenceEdges, 3, false), board);
  cv::Mat outer;
  cv::bitwise_and(dilateMask(referenceEdges, 9, false), ~board, outer);
  cv::bitwise_or(widened, outer, widened);
  cv::Mat novel;
  cv::bitwise_and(cannyEdges(corrected, 40, 100), ~widened, novel);

  cv::Mat diff;
  cv::max(shiftTolerantExcess(corrected, reference, 3), shiftTolerantExcess(reference, corrected, 3),
          diff);
  const cv::Mat strongDiff = thresholdBinary(diff, 32);
  novel = maskAnd(novel, dilateMask(strongDiff, 3, false));
  const cv::Mat inner = innerImageMask(reference.size());
  return {maskAnd(novel, inner), maskAnd(medianBlurred(strongDiff, 3), inner)};
}

// A steep straight line of strong change in the region that registers as an object.
bool findUprightLine(const cv::Mat& reference, const Exposure& exposure, const cv::Mat& strong,
                     const cv::Mat& region, json& report) {
  const double s = reference.cols / 1280.0;
  std::vector<cv::Vec4i> segments;
  cv::HoughLinesP(strong, segments, 1.0, CV_PI / 180.0, std::max(15, static_cast<int>(20.0 * s)),
                  30.0 * s, 8.0 * s);
  const cv::Mat strongInRegion = maskAnd(strong, region);
  const int thickness = std::max(3, static_cast<int>(5.0 * s));
  for (const cv::Vec4i& segment : segments) {
    const int dx = std::abs(segment[2] - segment[0]);
    const int dy = std::abs(segment[3] - segment[1]);
    if (dy < 3 * dx) continue;
    cv::Mat lineMask = cv::Mat::zeros(reference.size(), CV_8UC1);
    cv::line(lineMask, {segment[0], segment[1]}, {segment[2], segment[3]}, cv::Scalar(255),
             thickness, cv::LINE_8);
    const int support = cv::countNonZero(maskAnd(lineMask, strongInRegion));
    if (support < 60.0 * s) continue;
    const auto [edges, pixels] = registerDartSupport(reference, exposure, lineMask, true, true);
    if (edges < 0 || edges >= 60.0 * s || pixels >= 80) {
      report = {{"reason", "THIN_UPRIGHT_SHAFT"},
                {"registered_edges", edges},
                {"registered_pixels", pixels}};
      return true;
    }
  }
  return false;
}

// A long thin cluster of novel edges in the region that registers as an object.
bool findThinCluster(const cv::Mat& reference, const Exposure& exposure, const cv::Mat& novel,
                     const cv::Mat& region, json& report) {
  const double s = reference.cols / 1280.0;
  Clusters clusters = clustersOf(novel, region);
  for (int label = 1; label < clusters.count; ++label) {
    const std::size_t l = static_cast<std::size_t>(label);
    if (clusters.novel[l] < 24 || clusters.inside[l] < 3) continue;
    const cv::RotatedRect box = cv::minAreaRect(clusters.points[l]);
    const double length = std::max(box.size.width, box.size.height);
    const double width = std::min(box.size.width, box.size.height);
    if (!(length >= 20.0 * s && length >= 4.0 * std::max(width, 1.0) && width <= 12.0 * s)) continue;
    const cv::Mat clusterMask = clusters.labels == label;
    const auto [edges, pixels] = registerDartSupport(reference, exposure, clusterMask, false, true);
    if (edges >= 0 && edges < 24 && pixels < 80) continue;
    const cv::Rect bounds = cv::boundingRect(clusterMask);
    report = {{"novel_edges", clusters.novel[l]},
              {"registered_edges", edges},
              {"registered_pixels", pixels},
              {"bounds", {bounds.x, bounds.y, bounds.width, bounds.height}},
              {"length", length},
              {"width", width},
              {"exposure", exposure.report},
              {"reference_mean", cv::mean(reference(bounds))[0]},
              {"current_mean", cv::mean(exposure.image(bounds))[0]}};
    return true;
  }
  return false;
}

}  // namespace

UprightShaftResult testThinUprightShaft(const Camera& camera, const cv::Mat& frameIn, json& report,
                                        double radiusMm) {
  const cv::Mat& reference = camera.emptyReference;
  const cv::Mat frame = toGray(frameIn);
  if (reference.size() != frame.size() || reference.type() != frame.type()) {
    throw std::runtime_error("CAMERA_RESOLUTION_CHANGED");
  }
  if (reference.empty() || cv::norm(reference, frame, cv::NORM_INF) <= 16.0) {
    return UprightShaftResult::kClear;
  }
  const cv::Mat board = buildBoardRegionMask(reference.size(), camera.boardToImage, 175.0, 360);
  const Exposure exposure = fitExposure(reference, frame, board, true, 1000);
  if (!exposure.applied) return UprightShaftResult::kLightChange;
  const NovelChange change = measureNovelChange(reference, exposure.image, board);
  const cv::Mat region = buildBoardRegionMask(reference.size(), camera.boardToImage, radiusMm, 360);
  if (findUprightLine(reference, exposure, change.strong, region, report) ||
      findThinCluster(reference, exposure, change.novel, region, report)) {
    return UprightShaftResult::kObject;
  }
  return UprightShaftResult::kClear;
}

}  // namespace tarv
