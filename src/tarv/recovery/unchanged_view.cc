#include "tarv/recovery/unchanged_view.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/views/association_points.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/exposure_fit.h"
#include "tarv/recovery/registered_supports.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kChangedPixels = 80;

int overlap(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat both;
  cv::bitwise_and(a != 0, b != 0, both);
  return cv::countNonZero(both);
}

cv::Size frameSize(const Round& round, const ImageTriple& greys, int camera) {
  const cv::Mat& frame = greys[camera];
  return frame.empty() ? round.cameras[camera].emptyReference.size() : frame.size();
}

}  // namespace

bool testViewUnchanged(const Round& round, const ImageTriple& greys, int camera) {
  const Camera& cam = round.cameras[camera];
  const cv::Mat frame = toGray(greys[camera]);
  cv::Mat diff = nativeDifferenceMask(cam.dartReference, frame);
  if (cv::countNonZero(diff) < kChangedPixels) return true;
  const Exposure exposure = fitExposure(cam.dartReference, frame, cv::Mat(), false, 1000);
  if (!exposure.applied) return false;
  diff = nativeDifferenceMask(cam.dartReference, exposure.image);
  if (cv::countNonZero(diff) >= kChangedPixels) {
    diff = refineSurroundChange(cam.dartReference, exposure.image, diff, cam.boardToImage,
                                collectDartRegions(round, greys, camera));
  }
  return cv::countNonZero(diff) < kChangedPixels;
}

cv::Mat refineSurroundChange(const cv::Mat& reference, const cv::Mat& image, const cv::Mat& change,
                             const Homography& boardToImage, const std::vector<cv::Mat>& regions) {
  cv::Mat zone =
      dilateMask(buildBoardRegionMask(reference.size(), boardToImage, 170.0, 360), 9, false);
  for (const cv::Mat& region : regions) {
    if (region.empty() || region.size() != zone.size()) continue;
    orMaskInPlace(zone, dilateMask(region != 0, 7, false));
  }
  if (change.size() != zone.size()) return change;
  if (overlap(change, zone) >= kChangedPixels) return change;
  // Widespread change is not a shift of the surround; leave it for the caller to see.
  if (static_cast<double>(cv::countNonZero(change)) > 0.01 * static_cast<double>(change.total())) {
    return change;
  }
  const int r = std::clamp(cvRound(reference.cols * 3 / 1280.0), 1, 3);
  cv::Mat tolerant = shiftTolerantChangeMask(reference, image, 2 * r + 1);
  change.copyTo(tolerant, zone);
  return tolerant;
}

std::vector<cv::Mat> collectDartRegions(const Round& round, const ImageTriple& greys, int camera) {
  std::vector<cv::Mat> regions;
  const Camera& cam = round.cameras[camera];
  const json& entries = round.entries;
  for (std::size_t k = 0; k < round.knownDartMasks.size(); ++k) {
    const cv::Mat& mask = round.knownDartMasks[k][camera];
    if (entries.is_null() || k >= entries.size()) {
      regions.push_back(mask);
      continue;
    }
    json entry = entries[k];
    if (entry.is_object() && entry.contains("association_points")) {
      const json& points = entry["association_points"];
      if (!points.is_object() || !points.contains(cameraIds[camera])) {
        // The evaluation did not see this dart in this camera.
        regions.push_back(cv::Mat::zeros(frameSize(round, greys, camera), CV_8UC1));
        continue;
      }
      entry["board_xy_nominal_mm"] = points[cameraIds[camera]];
    }
    regions.push_back(buildAssociationRegion(mask, cam.boardToImage, entry));
  }
  return regions;
}

}  // namespace tarv
