#include "tarv/runtime/transient_views.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

std::vector<MotionSample> stretch(int n, double step = 0.02) {
  std::vector<MotionSample> samples(static_cast<size_t>(n));
  for (int j = 0; j < n; ++j) {
    MotionSample& s = samples[static_cast<size_t>(j)];
    s.captureTimes = {1.0 + step * j, 1.0 + step * j, 1.0 + step * j};
    s.sequences = {j + 1, j + 1, j + 1};
    for (cv::Mat& f : s.frames) f = cv::Mat(120, 160, CV_8UC3, cv::Scalar(90, 90, 90));
  }
  return samples;
}

void blob(MotionSample& s, int cameras, cv::Size size = {9, 9}) {
  for (int c = 0; c < cameras; ++c) {
    s.frames[static_cast<size_t>(c)] = s.frames[static_cast<size_t>(c)].clone();
    cv::rectangle(s.frames[static_cast<size_t>(c)], cv::Rect(cv::Point(70, 50), size),
                  cv::Scalar(250, 250, 250), cv::FILLED);
  }
}

TEST(TransientViews, ABlobSeenByTwoCamerasAndGoneAgainIsOneView) {
  auto samples = stretch(6);
  blob(samples[3], 2);
  const auto views = findTransientViews(samples, {}, 0.15);
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].sequences[0], 4);
  EXPECT_EQ(pickReportSequence(samples, views).size(), 3u);
}

TEST(TransientViews, TwoSamplesInARowMakeAPair) {
  auto samples = stretch(6);
  blob(samples[3], 3);
  blob(samples[4], 3);
  EXPECT_EQ(findTransientViews(samples, {}, 0.15).size(), 2u);
}

TEST(TransientViews, OneCameraHandsLongStretchesAndLastingChangesGiveNone) {
  auto one = stretch(6);
  blob(one[3], 1);
  EXPECT_TRUE(findTransientViews(one, {}, 0.15).empty());
  auto hand = stretch(6);
  blob(hand[3], 3);
  hand[2].handSeen = true;
  EXPECT_TRUE(findTransientViews(hand, {}, 0.15).empty());
  auto longer = stretch(6, 0.3);
  blob(longer[3], 3);
  EXPECT_TRUE(findTransientViews(longer, {}, 0.15).empty());
  auto lasting = stretch(6);
  for (int j = 3; j < 6; ++j) blob(lasting[static_cast<size_t>(j)], 3);
  EXPECT_TRUE(findTransientViews(lasting, {}, 0.15).empty());
  auto thin = stretch(6);
  blob(thin[3], 3, {7, 1});
  EXPECT_TRUE(findTransientViews(thin, {}, 0.15).empty());
}

TEST(TransientViews, OutsideTheRegionNothingCounts) {
  auto samples = stretch(6);
  blob(samples[3], 3);
  const cv::Mat region = cv::Mat::zeros(120, 160, CV_8UC1);
  EXPECT_TRUE(findTransientViews(samples, {region, region, region}, 0.15).empty());
}

TEST(ReportSequence, EvenlySpreadWithoutViews) {
  const auto samples = stretch(10, 0.01);
  const auto picked = pickReportSequence(samples, {});
  ASSERT_EQ(picked.size(), 6u);
  EXPECT_EQ(picked[1].sequences[0], 2);
  EXPECT_EQ(picked[5].sequences[0], 10);
  EXPECT_TRUE(pickReportSequence(stretch(2), {}).empty());
}

}  // namespace
}  // namespace tarv
