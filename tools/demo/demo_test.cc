// The main job's verdict: each true dart counts once, so a dart scored twice or a tip far from
// every dart fails the run.
#include <gtest/gtest.h>

#include "runtime_demo.h"

namespace {

TEST(DemoVerdict, EachTrueDartIsMatchedOnce) {
  const std::vector<cv::Point2d> truths = {{0.0, -102.0}, {38.0, -118.0}, {-6.0, 11.0}};
  std::vector<bool> matched(truths.size(), false);
  DemoMatch first = matchTrueDart(truths, matched, {0.5, -101.5});
  EXPECT_EQ(first.index, 0);
  EXPECT_FALSE(first.repeated);
  // The first dart again (a looped video): the same true dart, now repeated.
  DemoMatch again = matchTrueDart(truths, matched, {0.2, -102.3});
  EXPECT_EQ(again.index, 0);
  EXPECT_TRUE(again.repeated);
  // A tip far from every dart matches none.
  EXPECT_EQ(matchTrueDart(truths, matched, {120.0, 120.0}).index, -1);
  EXPECT_EQ(std::count(matched.begin(), matched.end(), false), 2);
}

}  // namespace
