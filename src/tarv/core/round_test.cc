#include "tarv/core/round.h"

#include <gtest/gtest.h>

namespace tarv {
namespace {

TEST(RoundState, CopiesShareImagePixelsButNotMembers) {
  Round source;
  source.cameras[0].emptyReferenceColour = cv::Mat(4, 4, CV_8UC3, cv::Scalar(10, 20, 30));
  source.entries.push_back({{"id", 1}});
  Round copy = source;

  copy.cameras[0].emptyReferenceColour.at<cv::Vec3b>(0, 0) = cv::Vec3b(1, 2, 3);
  EXPECT_EQ(source.cameras[0].emptyReferenceColour.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));

  copy.cameras[0].emptyReferenceColour = cv::Mat(2, 2, CV_8UC3, cv::Scalar(0));
  EXPECT_EQ(source.cameras[0].emptyReferenceColour.rows, 4);

  copy.entries.push_back({{"id", 2}});
  EXPECT_EQ(source.entries.size(), 1u);
}

TEST(RoundState, CameraCopiesShareTheirSurroundMotion) {
  Camera camera;
  camera.surroundMotion = std::make_shared<SurroundMotion>();
  Camera copy = camera;
  copy.surroundMotion->time = 4.5;
  EXPECT_EQ(camera.surroundMotion->time, 4.5);
}

TEST(RoundState, ResetFrameHistoryOnAFreshRoundKeepsDefaults) {
  Round round;
  resetFrameHistory(round);
  EXPECT_TRUE(round.frameHistory.empty());
  EXPECT_TRUE(round.historyRecord1.is_null());
  EXPECT_EQ(round.historyTime, -1.0);

  round.frameHistory.push_back(cv::Mat(2, 2, CV_8UC1));
  round.heldFrames[1] = cv::Mat(2, 2, CV_8UC3);
  round.historyRecord2 = {{"a", 1}};
  round.historyTime = 3.0;
  resetFrameHistory(round);
  EXPECT_TRUE(round.frameHistory.empty());
  EXPECT_TRUE(round.heldFrames[1].empty());
  EXPECT_TRUE(round.historyRecord2.is_null());
  EXPECT_EQ(round.historyTime, -1.0);
}

TEST(RoundIntake, OwnedFramesAreSharedAndTablesApplyPerCamera) {
  const cv::Mat frame(3, 3, CV_8UC3, cv::Scalar(10, 10, 10));
  const cv::Mat grey(3, 3, CV_8UC1, cv::Scalar(10));
  Round round;
  cv::Mat table(1, 256, CV_8UC3);
  for (int i = 0; i < 256; ++i) table.at<cv::Vec3b>(0, i) = cv::Vec3b(255 - i, i, 7);
  round.inputLut[1] = table;

  const std::vector<cv::Mat> six{frame, frame, frame, frame, grey, frame};
  const std::vector<cv::Mat> mapped = intakeFrames(round, six);
  ASSERT_EQ(mapped.size(), 6u);
  EXPECT_EQ(round.incomingFrames[0].data, frame.data);  // owned pixels are not copied
  EXPECT_EQ(mapped[0].data, frame.data);
  EXPECT_EQ(mapped[1].at<cv::Vec3b>(0, 0), cv::Vec3b(245, 10, 7));
  EXPECT_EQ(mapped[4].data, grey.data);  // camera 1's table, but not a colour frame
  EXPECT_EQ(round.incomingFrames[1].at<cv::Vec3b>(0, 0), cv::Vec3b(10, 10, 10));

  // Giving the round its own list maps again without replacing it.
  const uchar* before = round.incomingFrames[1].data;
  const std::vector<cv::Mat> again = intakeFrames(round, round.incomingFrames);
  EXPECT_EQ(round.incomingFrames[1].data, before);
  EXPECT_EQ(again[1].at<cv::Vec3b>(0, 0), cv::Vec3b(245, 10, 7));
}

}  // namespace
}  // namespace tarv
