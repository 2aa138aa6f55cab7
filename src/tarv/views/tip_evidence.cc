#include "tarv/views/tip_evidence.h"

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kLineSupportMm = 3.0;
constexpr double kChangeSupportMm = 6.0;

const json* firstVote(const json& record) {
  const auto votes = record.find("votes");
  if (votes == record.end() || !votes->is_array() || votes->empty()) return nullptr;
  const json& vote = (*votes)[0];
  return vote.value("abstention", true) ? nullptr : &vote;
}

bool readLine(const json& vote, double line[3]) {
  const auto l = vote.find("line");
  if (l == vote.end() || !l->is_array() || l->size() != 3) return false;
  for (int i = 0; i < 3; ++i) {
    if (!(*l)[i].is_number()) return false;
    line[i] = (*l)[i].get<double>();
  }
  return std::isfinite(line[0]) && std::isfinite(line[1]) && std::isfinite(line[2]) &&
         std::hypot(line[0], line[1]) > 0.5;
}

}  // namespace

json checkLocalTipEvidence(const cv::Mat& freshChange, const Homography& boardToImage,
                           const json& shaftRecord, Point2 pointMm) {
  json result = {{"supported", false}, {"evidence", "INSUFFICIENT_LOCAL_EVIDENCE"},
                 {"line_error_mm", nullptr}, {"nearest_new_support_mm", nullptr},
                 {"independent_votes", 0}};
  const json* vote = firstVote(shaftRecord);
  double line[3];
  if (vote == nullptr || !readLine(*vote, line)) return result;
  const double lineError = std::abs(line[0] * pointMm.x + line[1] * pointMm.y + line[2]);
  result["line_error_mm"] = roundToThousandths(lineError);
  result["independent_votes"] = 1;

  // The nearest changed pixel to the projected point, in board millimetres there.
  const Point2 centre = applyHomography(boardToImage, pointMm);
  const Point2 aside = applyHomography(boardToImage, {pointMm.x + 1.0, pointMm.y});
  const double pxPerMm = std::max(1e-6, std::hypot(aside.x - centre.x, aside.y - centre.y));
  const int reach = static_cast<int>(std::ceil(kChangeSupportMm * 2 * pxPerMm));
  const cv::Rect box = cv::Rect(static_cast<int>(centre.x) - reach, static_cast<int>(centre.y) - reach,
                                2 * reach + 1, 2 * reach + 1) &
                       cv::Rect(0, 0, freshChange.cols, freshChange.rows);
  double nearest = 1e300;
  for (int y = box.y; y < box.y + box.height; ++y) {
    const uchar* row = freshChange.ptr<uchar>(y);
    for (int x = box.x; x < box.x + box.width; ++x) {
      if (row[x]) nearest = std::min(nearest, std::hypot(x - centre.x, y - centre.y));
    }
  }
  if (nearest < 1e300) result["nearest_new_support_mm"] = roundToThousandths(nearest / pxPerMm);
  const bool supported = lineError <= kLineSupportMm && nearest / pxPerMm <= kChangeSupportMm;
  result["supported"] = supported;
  if (supported) result["evidence"] = "LOCAL_NEW_SUPPORT_AND_EDGES";
  return result;
}

json locateCameraCandidate(int changedPixels, double changedFraction, const json& shaftRecord,
                           double largestFraction) {
  const auto none = [](const char* status) {
    return json{{"status", status}, {"quality", 0.0}, {"kind", viewKinds[0]}};
  };
  if (changedPixels <= 0) return none("NO_EVENT_REGION");
  if (changedFraction > largestFraction) return none("EVENT_REGION_TOO_LARGE");
  const json* vote = firstVote(shaftRecord);
  if (vote == nullptr || !vote->value("tip_valid", false)) return none("NO_CAMERA_LOCAL_SEED");
  const double error = vote->value("error_mm", 1.0);
  return {{"status", "CANDIDATE"},
          {"quality", roundTo(1.0 / (1.0 + std::max(0.0, error)), 2)},
          {"field", vote->value("field", "MISS")},
          {"point", vote->at("point")},
          {"kind", viewKinds[0]}};
}

json findCommonBoardPoint(const json& shaftRecord, Point2 pointMm) {
  const json* vote = firstVote(shaftRecord);
  double line[3];
  if (vote == nullptr || !readLine(*vote, line)) return {{"on_line", false}};
  const double norm = std::hypot(line[0], line[1]);
  const double d = (line[0] * pointMm.x + line[1] * pointMm.y + line[2]) / norm;
  const Point2 foot{pointMm.x - d * line[0] / norm, pointMm.y - d * line[1] / norm};
  return {{"on_line", true},
          {"point", {roundToThousandths(foot.x), roundToThousandths(foot.y)}},
          {"distance_mm", roundToThousandths(std::abs(d))}};
}


}  // namespace tarv
