#include "tarv/detector/known_dart_change.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/views/association_points.h"

namespace tarv {
namespace {

// The analysis mask brought to the camera's size (each analysis pixel covers its whole block).
cv::Mat toCameraSize(const cv::Mat& mask, cv::Size size) {
  if (mask.empty()) return cv::Mat::zeros(size, CV_8UC1);
  if (mask.size() == size) return mask.clone();
  cv::Mat out;
  cv::resize(mask, out, size, 0.0, 0.0, cv::INTER_NEAREST);
  return out;
}

constexpr double kFarOutsideMm = 220.0;

// Only a dart this far out has marks that may be tolerated.
bool knowsFarOutsideDart(const Round& round) {
  if (round.knownDartMasks.empty() || !round.entries.is_array()) return false;
  for (const json& entry : round.entries) {
    if (!entry.is_object()) continue;
    const auto point = entry.find("board_xy_nominal_mm");
    if (point == entry.end() || !point->is_array() || point->size() < 2 || !(*point)[0].is_number() ||
        !(*point)[1].is_number()) {
      continue;
    }
    if (std::hypot((*point)[0].get<double>(), (*point)[1].get<double>()) > kFarOutsideMm) return true;
  }
  return false;
}

// The new and removed change of each camera at the camera's size.
std::array<cv::Mat, 3> buildChange(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses,
                                   KnownDartChange& result) {
  std::array<cv::Mat, 3> removed;
  for (int i = 0; i < 3; ++i) {
    const CameraFrameAnalysis& a = analyses[i];
    const cv::Size size = round.cameras[i].emptyReferenceColour.empty() ? a.frame.size()
                                                                       : round.cameras[i].emptyReferenceColour.size();
    removed[i] = toCameraSize(a.masks.removed, size);
    cv::Mat change = toCameraSize(a.masks.added, size);
    cv::bitwise_or(change, removed[i], change);
    result.change[i] = change;
  }
  result.built = true;
  return removed;
}

}  // namespace

KnownDartChange measureKnownDartChange(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses) {
  KnownDartChange result;
  for (int i = 0; i < 3; ++i) {
    result.removedPixels[i] = analyses[i].masks.removedPixels();
    result.removedFraction[i] = analyses[i].masks.stats.value("removed_fraction", 0.0);
  }
  if (!knowsFarOutsideDart(round)) return result;
  const std::array<cv::Mat, 3> removed = buildChange(round, analyses, result);
  result.tolerated = measureToleratedPixels(result.change, round.entries, round.knownDartMasks);
  std::array<bool, 3> cleared{false, false, false};
  for (const json& record : result.tolerated) {
    for (int i = 0; i < 3; ++i) cleared[i] = cleared[i] || record.value("camera", "") == cameraIds[i];
  }
  for (int i = 0; i < 3; ++i) {
    if (!cleared[i]) continue;
    // What is left of the removal once the tolerated marks are gone, back at the analysis scale.
    const CameraFrameAnalysis& a = analyses[i];
    cv::Mat kept;
    cv::bitwise_and(removed[i], result.change[i], kept);
    const double area = static_cast<double>(kept.total());
    const double share = area > 0.0 ? static_cast<double>(a.masks.removed.total()) / area : 1.0;
    result.removedPixels[i] = static_cast<int>(cv::countNonZero(kept) * share + 0.5);
    const int previous = a.masks.stats.value("previous_pixels", 0);
    result.removedFraction[i] = previous > 0 ? static_cast<double>(result.removedPixels[i]) / previous : 0.0;
  }
  return result;
}

bool knownDartViewsQuiet(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses,
                         KnownDartChange& change) {
  if (!change.built) {
    bool still = true;
    for (const CameraFrameAnalysis& a : analyses) still = still && a.masks.addedPixels() == 0 && a.masks.removedPixels() == 0;
    // Nothing changed anywhere: nothing on the board, nothing at a dart.
    if (still) return true;
    (void)buildChange(round, analyses, change);
  }
  try {
    return projectAssociationPoints(change.change, round.cameras, round.knownDartMasks, round.entries);
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace tarv
