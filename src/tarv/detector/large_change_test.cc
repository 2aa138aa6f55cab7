// What a large change is: a dart close to one camera, a dart filling one camera's view, or
// something that is not a dart.
#include "tarv/detector/large_change.h"

#include <gtest/gtest.h>

namespace tarv {
namespace {

CameraFrameAnalysis analysis(double changedFraction, int dartPixels) {
  CameraFrameAnalysis a;
  a.changedFraction = changedFraction;
  a.dartPixels = dartPixels;
  a.minPixels = 80;
  a.maxDartPixels = 3000;
  a.dartMask = cv::Mat(10, 10, CV_8UC1, cv::Scalar(255));
  return a;
}

TEST(LargeChange, ADartFillingOneCamerasViewIsDecidedWithTheOthers) {
  std::array<CameraFrameAnalysis, 3> analyses{analysis(0.4, 90000), analysis(0.01, 900), analysis(0.01, 700)};
  LargeChange change = classifyLargeChange(analyses);
  EXPECT_TRUE(change.filledOneCamera());
  EXPECT_FALSE(change.closeDart());
  EXPECT_FALSE(change.notADart());
  setAsideFilledCamera(change, analyses);
  EXPECT_EQ(analyses[0].dartPixels, 0);
  EXPECT_EQ(cv::countNonZero(analyses[0].dartMask), 0);
  EXPECT_EQ(analyses[1].dartPixels, 900);

  // One other camera seeing the dart is enough.
  analyses = {analysis(0.01, 0), analysis(0.3, 90000), analysis(0.01, 500)};
  EXPECT_TRUE(classifyLargeChange(analyses).filledOneCamera());
}

TEST(LargeChange, TwoFilledViewsOrNothingElseSeenIsNotADart) {
  // A body in front of the board, or the light: two cameras' views changed.
  std::array<CameraFrameAnalysis, 3> analyses{analysis(0.4, 90000), analysis(0.3, 80000), analysis(0.01, 700)};
  EXPECT_TRUE(classifyLargeChange(analyses).notADart());
  // One view changed and no other camera sees anything: a hand at one lens.
  analyses = {analysis(0.4, 90000), analysis(0.01, 10), analysis(0.01, 0)};
  EXPECT_TRUE(classifyLargeChange(analyses).notADart());
  // One view changed while another sees more than one dart could cover.
  analyses = {analysis(0.4, 90000), analysis(0.02, 5000), analysis(0.01, 600)};
  const LargeChange change = classifyLargeChange(analyses);
  EXPECT_TRUE(change.notADart());
  setAsideFilledCamera(change, analyses);
  EXPECT_EQ(analyses[0].dartPixels, 90000) << "nothing is set aside when the change is not a dart";
}

TEST(LargeChange, ADartCloseToOneCameraStaysAsItWas) {
  std::array<CameraFrameAnalysis, 3> analyses{analysis(0.05, 5000), analysis(0.01, 900), analysis(0.01, 0)};
  const LargeChange change = classifyLargeChange(analyses);
  EXPECT_TRUE(change.closeDart());
  EXPECT_FALSE(change.filledOneCamera());
  EXPECT_FALSE(change.notADart());
}

TEST(LargeChange, AnOversizedChangeInOneCameraIsADartOnceItHoldsStill) {
  // A dart in the surround right in front of one camera: nothing else sees it.
  std::array<CameraFrameAnalysis, 3> analyses{analysis(0.02, 4300), analysis(0.01, 5), analysis(0.01, 0)};
  LargeChange change = classifyLargeChange(analyses);
  EXPECT_TRUE(change.oversizedInOneCamera());
  EXPECT_TRUE(change.notADart()) << "a hand reaching past the camera looks the same while it moves";
  change.stillInOneCamera = true;
  EXPECT_FALSE(change.notADart());

  // Still or not, a widespread change or a second oversized camera is no such dart.
  analyses = {analysis(0.4, 90000), analysis(0.02, 4300), analysis(0.01, 0)};
  change = classifyLargeChange(analyses);
  change.stillInOneCamera = true;
  EXPECT_FALSE(change.oversizedInOneCamera());
  EXPECT_TRUE(change.notADart());
  analyses = {analysis(0.02, 4300), analysis(0.02, 4100), analysis(0.01, 0)};
  change = classifyLargeChange(analyses);
  change.stillInOneCamera = true;
  EXPECT_TRUE(change.notADart());
}

TEST(LargeChange, AChangeBeyondADartInTwoCamerasIsADartOnceItHoldsStill) {
  // A dart near the rim between two cameras: more than a dart in both, a dart in the third.
  std::array<CameraFrameAnalysis, 3> analyses{analysis(0.02, 4300), analysis(0.01, 900), analysis(0.02, 5200)};
  LargeChange change = classifyLargeChange(analyses);
  EXPECT_TRUE(change.mayBeStillDart());
  EXPECT_TRUE(change.notADart()) << "a hand looks the same while it moves";
  change.heldStill = true;
  EXPECT_FALSE(change.notADart());
  // One view filled and another oversized: the filled one is set aside once it holds still.
  analyses = {analysis(0.4, 90000), analysis(0.02, 5000), analysis(0.01, 600)};
  change = classifyLargeChange(analyses);
  change.heldStill = true;
  EXPECT_FALSE(change.notADart());
  setAsideFilledCamera(change, analyses);
  EXPECT_EQ(analyses[0].dartPixels, 0);
  EXPECT_EQ(analyses[1].dartPixels, 5000);
  // Still or not: two filled views, or nothing seen as a dart, is no dart.
  for (const auto& views : {std::array<CameraFrameAnalysis, 3>{analysis(0.4, 90000), analysis(0.3, 80000), analysis(0.01, 700)},
                            std::array<CameraFrameAnalysis, 3>{analysis(0.02, 4300), analysis(0.02, 4100), analysis(0.01, 0)}}) {
    change = classifyLargeChange(views);
    change.heldStill = true;
    EXPECT_FALSE(change.mayBeStillDart());
    EXPECT_TRUE(change.notADart());
  }
}

}  // namespace
}  // namespace tarv
