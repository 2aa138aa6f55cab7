// The two pictures that summarise an evidence event for a reviewer, 1440 pixels wide with a
// column per camera under a one-line text strip.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

// What the overview compares an event with, kept by the evidence writer.
struct OverviewContext {
  const std::vector<cv::Mat>& previousImages;  // the last event with three images
  const std::vector<cv::Mat>& references;      // arm references
  const json& lastCalibrations;                // the last three calibrations a result carried
  const json& runDocument;
};

// The scored field of a dart candidate's last entry, else "".
std::string fieldText(const json& result);

// 1440 x 574: per camera the change view (what moved since the previous event red, since the
// arm yellow, the new dart's blob green) and the front view of the board with the round's
// darts. Throws the JSON library's errors for members of the wrong type.
cv::Mat drawReportOverlay(const OverviewContext& context, const std::vector<cv::Mat>& images,
                          const json& result);

// 1440 x 304: per camera its frame with the dart's axis from result "dart_3d" "overlay"
// and the tip's height above the board. Throws like drawReportOverlay.
cv::Mat draw3dView(const std::vector<cv::Mat>& images, const json& result);

}  // namespace tarv
