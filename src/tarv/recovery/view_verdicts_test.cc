// Per-dart view verdicts on a synthetic 640 x 480 view: an empty-board reference of flat grey
// patches and a dart reference with a dark shaft added.
#include "tarv/recovery/view_verdicts.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/recovery/recovery_test_support.h"
#include "tarv/views/board_features.h"

namespace tarv {
namespace {

const cv::Rect kShaft(300, 200, 8, 60);

cv::Mat maskOf(cv::Rect rect) {
  cv::Mat mask = cv::Mat::zeros(480, 640, CV_8UC1);
  mask(rect).setTo(255);
  return mask;
}

class Verdicts : public ::testing::Test {
 protected:
  Verdicts() {
    camera.emptyReference = patchTexture({640, 480}, 9);
    camera.dartReference = camera.emptyReference.clone();
    camera.dartReference(kShaft).setTo(10);
    camera.boardToImage = {1, 0, 320, 0, 1, 240, 0, 0, 1};
  }
  bool judge(const cv::Mat& mask, const cv::Mat& frame, const cv::Mat& change = cv::Mat()) {
    return judgeViewVerdict(camera, mask, cv::Mat(), frame, cv::Mat(), cv::Mat(), change, detail);
  }
  Camera camera;
  json detail;
};

TEST_F(Verdicts, TooSmallARegionIsNoView) {
  const cv::Mat& frame = camera.emptyReference;
  EXPECT_FALSE(judge(maskOf({10, 10, 79, 1}), frame));
  EXPECT_EQ(detail, (json{{"support", 79}, {"verdict", "NO_VIEW"}}));
  EXPECT_FALSE(judge(maskOf({10, 10, 80, 1}), frame));
  EXPECT_EQ(detail["verdict"], "UNCHANGED");
  EXPECT_EQ(detail["changed"], 0);
}

TEST_F(Verdicts, ChangeNeededGrowsWithSupport) {
  // Equal references: no own pixels, so only the change mask decides.
  camera.dartReference = camera.emptyReference;
  struct Case {
    int support;
    int need;
  };
  for (const Case& c : {Case{1000, 80}, Case{300, 30}, Case{100, 24}}) {
    const cv::Mat mask = maskOf({100, 100, c.support / 10, 10});
    for (int changed : {c.need - 1, c.need}) {
      cv::Mat change = cv::Mat::zeros(480, 640, CV_8UC1);
      for (int i = 0; i < changed; ++i) change.at<uchar>(100 + i % 10, 100 + i / 10) = 255;
      EXPECT_EQ(judge(mask, camera.emptyReference, change), changed >= c.need) << c.support;
      EXPECT_EQ(detail["verdict"], changed >= c.need ? "CHANGED" : "UNCHANGED");
      EXPECT_EQ(detail["own"], 0);
      EXPECT_FALSE(detail.contains("distance_dart"));
    }
  }
}

TEST_F(Verdicts, OwnPixelsBelowFortyEndTheJudgement) {
  camera.dartReference = camera.emptyReference.clone();
  camera.dartReference(cv::Rect(300, 200, 1, 39)).setTo(0);
  judge(maskOf(kShaft), camera.emptyReference);
  EXPECT_EQ(detail["own"], 39);
  EXPECT_FALSE(detail.contains("distance_dart"));
  camera.dartReference(cv::Rect(300, 200, 1, 40)).setTo(0);
  judge(maskOf(kShaft), camera.emptyReference);
  EXPECT_EQ(detail["own"], 40);
  EXPECT_TRUE(detail.contains("distance_dart"));
}

TEST_F(Verdicts, FrameLooksLikeOneOfTheReferences) {
  const cv::Mat mask = maskOf(kShaft);
  EXPECT_FALSE(judge(mask, camera.emptyReference));
  EXPECT_EQ(detail["verdict"], "EMPTY_VIEW");
  EXPECT_LT(detail["distance_empty"].get<double>(), 1.0);
  EXPECT_GT(detail["distance_dart"].get<double>(), 40.0);
  EXPECT_EQ(detail["dart_pixels"], 0);

  // Under other light the exposure fit round the dart still finds it.
  cv::Mat darker;
  camera.dartReference.convertTo(darker, -1, 0.7, 5);
  EXPECT_TRUE(judge(mask, darker));
  EXPECT_EQ(detail["verdict"], "DART_VIEW");
  EXPECT_EQ(detail["own"], 8 * 60);
}

TEST_F(Verdicts, DistanceNeedsAFitOrAMatchedFrame) {
  DistanceContext context;
  context.box = cv::Rect(0, 0, 50, 50);
  context.frameBox = cv::Mat(50, 50, CV_8UC1, cv::Scalar(120));  // flat: no fit
  context.surround = cv::Mat(50, 50, CV_8UC1, cv::Scalar(255));
  context.kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
  context.own = maskOf({10, 10, 10, 10})(context.box).clone();
  const cv::Mat reference = camera.emptyReference(context.box).clone();
  cv::Mat difference;
  EXPECT_EQ(measureReferenceDistance(context, reference, cv::Mat(), difference), -1.0);
  const cv::Mat matched = camera.emptyReference.clone();
  EXPECT_EQ(measureReferenceDistance(context, reference, matched, difference), 0.0);
}

class VerdictRound : public Verdicts {
 protected:
  VerdictCache cacheFor(const cv::Mat& frame) {
    for (Camera& c : round.cameras) c = camera;
    round.knownDartMasks = {{maskOf(kShaft), maskOf(kShaft), maskOf(kShaft)}};
    return VerdictCache(VerdictInputs{&round, {frame, frame, frame}, {1}});
  }
  Round round;
};

TEST_F(VerdictRound, GoneDartIsProvenGone) {
  VerdictCache gone = cacheFor(camera.emptyReference);
  EXPECT_TRUE(gone.provesKnownDartsGone());
  json lookedUp;
  EXPECT_FALSE(gone.lookupVerdict(0, 2, lookedUp));
  EXPECT_EQ(lookedUp["verdict"], "EMPTY_VIEW");
  EXPECT_FALSE(gone.lookupVerdict(1, 0, lookedUp));
  EXPECT_TRUE(lookedUp.is_null());

  VerdictCache present = cacheFor(camera.dartReference);
  EXPECT_TRUE(present.lookupVerdict(0, 1, lookedUp));
  EXPECT_FALSE(present.provesKnownDartsGone());
}

TEST_F(VerdictRound, InvisibleOrNoDartsProveNothing) {
  VerdictCache none(VerdictInputs{&round, {camera.emptyReference, camera.emptyReference, camera.emptyReference}, {}});
  EXPECT_FALSE(none.provesKnownDartsGone());

  VerdictCache hidden = cacheFor(camera.emptyReference);
  for (ImageTriple& masks : round.knownDartMasks) masks = {maskOf({0, 0, 79, 1}), cv::Mat(), cv::Mat()};
  EXPECT_FALSE(hidden.provesKnownDartsGone());
}

TEST_F(VerdictRound, FixedCameraCheckWithExposureFallback) {
  for (Camera& c : round.cameras) {
    c = camera;
    c.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);
  }
  const cv::Mat& same = camera.emptyReference;
  const json fixed = checkCameraFixedWithExposure(round, {same, same, same}, 0);
  EXPECT_TRUE(fixed["ok"].get<bool>());
  EXPECT_FALSE(fixed.contains("exposure_corrected"));

  cv::Mat moved;
  cv::warpAffine(same, moved, cv::Matx23d(1, 0, 6, 0, 1, 0), same.size(), cv::INTER_LINEAR,
                 cv::BORDER_REPLICATE);
  moved.convertTo(moved, -1, 0.5, 0);
  const json failed = checkCameraFixedWithExposure(round, {moved, moved, moved}, 1);
  EXPECT_FALSE(failed["ok"].get<bool>());
  EXPECT_FALSE(failed.contains("exposure_corrected"));
}

}  // namespace
}  // namespace tarv
