// Refining starting cameras against the detected crossings and keeping the best.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

// Lens fits already run for the starts of one selection, by their exact inputs.
struct LensFitMemo;

// Rounds of matching (tolerance shrinking from 0.45 to 0.25 of the crossing spacing) and
// re-estimation: focal length, k1 and pose from 25 pairs on, focal length and pose from 12,
// the pose alone below; fewer than 6 pairs stop the rounds. Focal lengths from 0.3 to 6 image
// widths are accepted. A memo, when given, holds the lens fits of earlier starts.
CameraEstimate solveCamera(const CameraEstimate& start, const std::vector<cv::Point2d>& crossings,
                           cv::Point2d bull, int iterations, LensFitMemo* memo = nullptr);

// The solve keeps the optical centre at the image's centre, which a photograph cut to the
// board no longer has; the pinhole model then cannot follow the board's plane. This fits the
// focal length, the centre, k1 and the pose to the solved camera's matched crossings (at least
// 40) and keeps the result only when it explains them clearly better (RMS below 0.8 of the
// fixed centre's) with no fewer matches and the centre at most half the image beyond its
// edges (a crop may leave it outside the image); otherwise the solved
// camera is returned unchanged.
CameraEstimate refineOpticalCentre(const CameraEstimate& solved, const std::vector<cv::Point2d>& crossings,
                                   cv::Point2d bull);

// The fit behind refineOpticalCentre on given pairs (board points in mm, image points): first
// the centre at the start's focal length, then both together; none when the centre did not
// move or the result leaves the plausible range.
std::optional<CameraEstimate> fitWithFreeCentre(const CameraEstimate& start, const std::vector<cv::Point3f>& object,
                                                const std::vector<cv::Point2f>& image);

struct CameraSelection {
  bool found = false;
  MatchScore best{-1, 1e9};
  CameraEstimate camera;
  // Starts at the same focal length that match the same crossings ask for the same lens fit
  // (it recomputes the pose from the pairs): one in seven on photographs.
  std::shared_ptr<LensFitMemo> lensFits;
  // Set once the selection is no longer wanted: the starts not yet solved are left.
  const std::atomic<bool>* stop = nullptr;
};

// Solves each start and keeps the one with the most matches (then the smaller RMS; earlier
// wins ties). A start the matrix library cannot solve is skipped, not fatal to the rest.
void selectBestCamera(const std::vector<cv::Point2d>& crossings, cv::Point2d bull, CameraSelection& selection,
                      const std::vector<CameraEstimate>& starts);

}  // namespace tarv
