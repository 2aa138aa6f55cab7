#include "tarv/views/tip_evidence.h"

#include <gtest/gtest.h>

namespace tarv {
namespace {

// A camera record whose board line is x = 10 and whose tip vote lies at (10, 20).
json record(bool abstain = false) {
  json vote = {{"abstention", abstain}, {"tip_valid", true}, {"point", {10.0, 20.0}},
               {"line", {1.0, 0.0, -10.0}}, {"error_mm", 0.25}, {"field", "S6"}};
  return {{"votes", json::array({vote})}, {"observations", json::array()}};
}

TEST(TipEvidence, LocalEvidenceNeedsTheLineAndFreshChangeNearThePoint) {
  // 2 px per mm, bull at (200, 200).
  const Homography h{2, 0, 200, 0, 2, 200, 0, 0, 1};
  cv::Mat change = cv::Mat::zeros(400, 400, CV_8UC1);
  change.at<uchar>(240, 222) = 255;  // board (11, 20)
  const json near = checkLocalTipEvidence(change, h, record(), {10.0, 20.0});
  EXPECT_TRUE(near["supported"].get<bool>());
  EXPECT_EQ(near["evidence"], "LOCAL_NEW_SUPPORT_AND_EDGES");
  EXPECT_DOUBLE_EQ(near["nearest_new_support_mm"].get<double>(), 1.0);

  const json offLine = checkLocalTipEvidence(change, h, record(), {14.0, 20.0});
  EXPECT_FALSE(offLine["supported"].get<bool>());
  EXPECT_DOUBLE_EQ(offLine["line_error_mm"].get<double>(), 4.0);

  const json noChange = checkLocalTipEvidence(cv::Mat::zeros(400, 400, CV_8UC1), h, record(), {10.0, 20.0});
  EXPECT_FALSE(noChange["supported"].get<bool>());
  EXPECT_TRUE(noChange["nearest_new_support_mm"].is_null());
  EXPECT_EQ(checkLocalTipEvidence(change, h, record(true), {10.0, 20.0})["independent_votes"], 0);
}

TEST(TipEvidence, CommonPointIsTheFootOnTheCamerasLine) {
  const json common = findCommonBoardPoint(record(), {13.0, -4.0});
  EXPECT_EQ(common["point"], json({10.0, -4.0}));
  EXPECT_DOUBLE_EQ(common["distance_mm"].get<double>(), 3.0);
  EXPECT_FALSE(findCommonBoardPoint(record(true), {0.0, 0.0})["on_line"].get<bool>());
}

}  // namespace
}  // namespace tarv
