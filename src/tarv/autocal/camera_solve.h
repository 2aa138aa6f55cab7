// Refining starting cameras against the detected crossings and keeping the best.
#pragma once

#include <vector>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

// Rounds of matching (tolerance shrinking from 0.45 to 0.25 of the crossing spacing) and
// re-estimation: focal length, k1 and pose from 25 pairs on, focal length and pose from 12,
// the pose alone below; fewer than 6 pairs stop the rounds.
CameraEstimate solveCamera(const CameraEstimate& start, const std::vector<cv::Point2d>& crossings,
                           cv::Point2d bull, int iterations);

struct CameraSelection {
  bool found = false;
  MatchScore best{-1, 1e9};
  CameraEstimate camera;
};

// Solves each start and keeps the one with the most matches (then the smaller RMS; earlier
// wins ties). A start the matrix library cannot solve is skipped, not fatal to the rest.
void selectBestCamera(const std::vector<cv::Point2d>& crossings, cv::Point2d bull, CameraSelection& selection,
                      const std::vector<CameraEstimate>& starts);

}  // namespace tarv
