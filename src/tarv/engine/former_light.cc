#include "tarv/engine/former_light.h"

#include "tarv/core/board_geometry.h"
#include "tarv/core/json_fields.h"
#include "tarv/engine/frame_handler.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kFormerLightWindowS = 60.0;
constexpr double kImageChangeShare = 0.15;
constexpr double kBoardChangeShare = 0.3;
constexpr double kBoardRegionMm = 175.0;

bool matchesFormerReference(const Camera& camera, const cv::Mat& former, const cv::Mat& frame) {
  if (former.empty() || former.size() != frame.size()) return false;
  const cv::Mat changed = nativeDifferenceMask(toGray(former), toGray(frame));
  if (cv::countNonZero(changed) > kImageChangeShare * static_cast<double>(changed.total())) return false;
  const cv::Mat region = getBoardRegionMask(frame.size(), camera.boardToImage, kBoardRegionMm);
  cv::Mat onBoard;
  cv::bitwise_and(changed, region, onBoard);
  return cv::countNonZero(onBoard) <= kBoardChangeShare * cv::countNonZero(region);
}

}  // namespace

bool mayBeFormerLight(const Round& round, const json& evaluation, double now) {
  const double since = now - round.lastRebaseTime;
  return round.entries.empty() && textOf(evaluation, "status") == "WAIT" &&
         textOf(evaluation, "reason") == "LARGE_INTERACTION_OR_LIGHTING" && round.lastRebaseTime >= 0.0 &&
         since >= 0.0 && since < kFormerLightWindowS && allToneTablesEmpty(round.inputLut);
}

bool restoreFormerLight(Round& round, const std::vector<cv::Mat>& frames, double now) {
  for (int i = 0; i < 3; ++i) {
    if (!matchesFormerReference(round.cameras[i], round.previousReferences[i], frames[i])) return false;
  }
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    std::swap(c.emptyReferenceColour, round.previousReferences[i]);
    c.backgroundFrame = c.emptyReferenceColour;
    c.emptyReference = toGray(c.emptyReferenceColour);
    c.dartReference = c.emptyReference;
    c.referenceChangeMask = freshZeroMask(c.emptyReference.size());
    c.residualMask.release();
  }
  round.lastRebaseTime = now;
  return true;
}

}  // namespace tarv
