// Rendered rounds and scratch folders shared by the report tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/scene.h"
#include "tarv/core/board_geometry.h"

namespace tarv::testing {

using json = nlohmann::json;

// The default rig's empty board, then one dart in the treble 20, then a second dart.
struct RenderedRound {
  std::vector<cv::Mat> empty;
  std::vector<cv::Mat> oneDart;
  std::vector<cv::Mat> twoDarts;
  scene::GroundTruth truth;        // of twoDarts
  json calibrations;               // the three board-to-image homographies
  Homography homography(std::size_t camera) const;
  // A "DART_CANDIDATE" result for the second dart, with both darts as entries.
  json dartResult() const;
};
const RenderedRound& renderedRound();

// A fresh folder under the system's temporary folder, removed with its content on
// destruction.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes the picture as PNG to the temporary directory for a person to look at, only when
// TARV_KEEP_TEST_IMAGES is "1".
void keepForViewing(const std::string& name, const cv::Mat& image);

}  // namespace tarv::testing
