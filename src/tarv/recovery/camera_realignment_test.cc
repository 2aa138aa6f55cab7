// Realignment of moved cameras: what the round keeps in a camera's image geometry follows the
// camera, nothing else changes, and copies of the round keep their pixels.
#include "tarv/recovery/camera_realignment.h"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/recovery/recovery_test_support.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

cv::Matx33d shiftBy(double dx, double dy) { return {1, 0, dx, 0, 1, dy, 0, 0, 1}; }

double distanceTo(const Homography& h, const cv::Matx33d& truth, Point2 p) {
  const Point2 a = applyHomography(h, p);
  const Point2 b = applyHomography(homographyOf(truth), p);
  return std::hypot(a.x - b.x, a.y - b.y);
}

class RealignCameras : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }

  static Round armedRound() { return roundArmedOn(*shot_, std::array<double, 3>{640.0, -900.0, 1.0}); }
  static scene::SceneImages* shot_;
};
scene::SceneImages* RealignCameras::shot_ = nullptr;

TEST_F(RealignCameras, OnlyAcceptedFlaggedCamerasMove) {
  Round round = armedRound();
  const Round before = round;
  const cv::Matx33d move = shiftBy(3.0, -1.0);
  std::vector<cv::Mat> frames = shot_->frames;
  cv::warpPerspective(shot_->frames[0], frames[0], move, frames[0].size(), cv::INTER_LINEAR,
                      cv::BORDER_REPLICATE);

  const std::array<json, 3> result = round.realignCameras({true, true, false}, frames, 10.0);
  ASSERT_EQ(result[0].value("accepted", false), true) << result[0].dump();
  EXPECT_EQ(result[1].value("reason", ""), "NO_MOVEMENT");
  EXPECT_TRUE(result[2].is_null());
  EXPECT_EQ(round.trackLossTime, (std::array<double, 3>{10.0, 10.0, -1.0}));

  const Camera& moved = round.cameras[0];
  for (const Point2& p : circlePoints(160.0, 8)) {
    EXPECT_LT(distanceTo(moved.boardToImage, move * shot_->truth.cameras[0].board_to_image, p), 0.5);
  }
  EXPECT_TRUE(moved.referencesRealigned);
  EXPECT_NE(moved.emptyReferenceColour.data, before.cameras[0].emptyReferenceColour.data);
  EXPECT_EQ(moved.backgroundFrame.data, moved.emptyReferenceColour.data);
  EXPECT_EQ(moved.dartReference.data, moved.emptyReference.data);
  EXPECT_NE(moved.surroundMotion, before.cameras[0].surroundMotion);

  // The realigned reference now matches the moved view where the board is.
  cv::Mat difference;
  cv::absdiff(moved.emptyReference, toGray(frames[0]), difference);
  EXPECT_LT(cv::mean(difference)[0], 2.0);

  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(round.cameras[i].boardToImage, before.cameras[i].boardToImage) << i;
    EXPECT_EQ(round.cameras[i].emptyReference.data, before.cameras[i].emptyReference.data) << i;
    EXPECT_FALSE(round.cameras[i].referencesRealigned) << i;
  }
}

TEST_F(RealignCameras, EachCameraIsMeasuredAtMostTwiceASecond) {
  Round round = armedRound();
  const std::vector<cv::Mat>& frames = shot_->frames;
  for (const json& r : round.realignCameras({false, false, false}, frames, 5.0)) EXPECT_TRUE(r.is_null());
  EXPECT_EQ(round.trackLossTime, (std::array<double, 3>{-1.0, -1.0, -1.0}));

  struct Step {
    double now;
    bool throttled;
    double storedAfter;
  };
  const Step steps[] = {
      {20.0, false, 20.0},  // first attempt
      {20.4, true, 20.0},   // too soon: the time stays
      {20.5, false, 20.5},  // exactly 0.5 s later
      {3.0, false, 3.0},    // a restarted clock is never throttled
  };
  for (const Step& s : steps) {
    const json r = round.realignCameras({false, true, false}, frames, s.now)[1];
    EXPECT_EQ(r.value("reason", "") == "THROTTLED", s.throttled) << s.now << " " << r.dump();
    EXPECT_EQ(r["accepted"], false) << s.now;
    EXPECT_EQ(round.trackLossTime[1], s.storedAfter) << s.now;
  }
}

// A small round whose camera 0 holds recognisable content in every stored image.
Round syntheticRound(const cv::Size size) {
  Round round;
  Camera& c = round.cameras[0];
  cv::Mat colour(size, CV_8UC3);
  cv::randu(colour, 40, 220);
  c.emptyReferenceColour = colour;
  c.backgroundFrame = colour;
  c.emptyReference = toGray(colour);
  c.dartReference = c.emptyReference;
  c.residualMask = cv::Mat(size, CV_8UC1, cv::Scalar(255));
  c.boardToImage = {0.5, 0, 60, 0, 0.5, 40, 0, 0, 1};
  c.imageNormal = {60.0, -100.0, 1.0};
  c.surroundMotion = std::make_shared<SurroundMotion>();
  c.record = json{{"kept", 1}};
  cv::Mat dot = cv::Mat::zeros(size, CV_8UC1);
  dot.at<uchar>(20, 20) = 255;
  round.knownDartMasks = {{dot, cv::Mat(), cv::Mat()}, {cv::Mat(), dot.clone(), cv::Mat()}};
  round.evaluationMasks[0] = dot.clone();
  round.scopeMasks[0] = dot.clone();
  round.referenceChangeMaskCopies[0] = dot.clone();
  round.dartReferenceCopies[0] = c.emptyReference.clone();
  round.previousReferences[0] = colour.clone();
  round.stableFlowMasks[0] = dot.clone();
  round.stableFlowGreys[0] = c.emptyReference.clone();
  round.staticShiftMasks[0] = dot.clone();
  round.stableFlowTime = 3.0;
  round.staticShiftTime = 4.0;
  round.pendingTransient = json{{"epoch", 1}};
  round.pendingSince = 2.0;
  round.frameHistory.push_back(colour);
  return round;
}

TEST(ApplyCameraRealignment, MovesEveryStoredImageAndKeepsCopiesIntact) {
  const cv::Size size(120, 90);
  Round round = syntheticRound(size);
  const Round copy = round;
  const cv::Mat originalPixels = round.cameras[0].emptyReferenceColour.clone();
  cv::Mat frame(size, CV_8UC3, cv::Scalar(7, 7, 7));
  const Homography t = homographyOf(shiftBy(10.0, 0.0));

  applyCameraRealignment(round, 0, frame, t);
  const Camera& c = round.cameras[0];

  // The stored picture moved right by 10 px; what came from outside shows the current frame.
  EXPECT_EQ(c.emptyReferenceColour.at<cv::Vec3b>(30, 40), originalPixels.at<cv::Vec3b>(30, 30));
  EXPECT_EQ(c.emptyReferenceColour.at<cv::Vec3b>(30, 5), cv::Vec3b(7, 7, 7));
  EXPECT_EQ(c.backgroundFrame.data, c.emptyReferenceColour.data);
  EXPECT_EQ(c.dartReference.data, c.emptyReference.data);
  EXPECT_EQ(c.emptyReference.size(), size);
  EXPECT_EQ(c.referenceChangeMask.size(), size) << "an empty change mask becomes a zero mask";
  EXPECT_EQ(cv::countNonZero(c.referenceChangeMask), 0);
  EXPECT_TRUE(c.residualMask.empty());
  EXPECT_EQ(c.boardToImage, (Homography{0.5, 0, 70, 0, 0.5, 40, 0, 0, 1}));
  EXPECT_EQ(c.imageNormal, (std::array<double, 3>{70.0, -100.0, 1.0}));
  EXPECT_EQ(c.record, json::object());
  EXPECT_TRUE(c.referencesRealigned);

  // Masks kept in camera geometry follow; empty ones stay empty; other cameras stay.
  for (const cv::Mat& m : {round.knownDartMasks[0][0], round.evaluationMasks[0], round.scopeMasks[0],
                           round.referenceChangeMaskCopies[0]}) {
    EXPECT_EQ(m.at<uchar>(20, 30), 255);
    EXPECT_EQ(cv::countNonZero(m), 1);
  }
  EXPECT_TRUE(round.knownDartMasks[1][0].empty());
  EXPECT_EQ(round.knownDartMasks[1][1].at<uchar>(20, 20), 255);
  EXPECT_EQ(round.dartReferenceCopies[0].at<uchar>(30, 40), c.emptyReference.at<uchar>(30, 40));
  EXPECT_EQ(round.previousReferences[0].at<cv::Vec3b>(30, 40), originalPixels.at<cv::Vec3b>(30, 30));

  // Evidence gathered on the old picture starts afresh.
  EXPECT_TRUE(round.stableFlowMasks[0].empty());
  EXPECT_TRUE(round.stableFlowGreys[0].empty());
  EXPECT_TRUE(round.staticShiftMasks[0].empty());
  EXPECT_EQ(round.stableFlowTime, -1.0);
  EXPECT_EQ(round.staticShiftTime, -1.0);
  EXPECT_TRUE(round.pendingTransient.is_null());
  EXPECT_EQ(round.pendingSince, -1.0);
  EXPECT_TRUE(round.frameHistory.empty());

  // The copy taken before still shows the old geometry in its own pixels.
  EXPECT_EQ(cv::norm(copy.cameras[0].emptyReferenceColour, originalPixels, cv::NORM_INF), 0.0);
  EXPECT_EQ(copy.knownDartMasks[0][0].at<uchar>(20, 20), 255);
  EXPECT_EQ(copy.stableFlowMasks[0].at<uchar>(20, 20), 255);
  EXPECT_EQ(copy.cameras[0].boardToImage[2], 60.0);
}

TEST(ApplyCameraRealignment, SeparateBackgroundIsWarpedOnItsOwn) {
  const cv::Size size(120, 90);
  Round round = syntheticRound(size);
  Camera& c = round.cameras[0];
  c.backgroundFrame = cv::Mat(size, CV_8UC3, cv::Scalar(100, 150, 200));
  c.dartReference = toGray(c.backgroundFrame);
  c.referenceChangeMask = round.scopeMasks[0].clone();
  const cv::Mat frame(size, CV_8UC3, cv::Scalar(0, 0, 0));

  applyCameraRealignment(round, 0, frame, homographyOf(shiftBy(-5.0, 3.0)));
  EXPECT_NE(c.backgroundFrame.data, c.emptyReferenceColour.data);
  EXPECT_NE(c.dartReference.data, c.emptyReference.data);
  EXPECT_EQ(c.backgroundFrame.at<cv::Vec3b>(40, 40), cv::Vec3b(100, 150, 200));
  EXPECT_EQ(c.backgroundFrame.at<cv::Vec3b>(1, 60), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(c.referenceChangeMask.at<uchar>(23, 15), 255);
}

TEST(RebaseCameraReferences, BackgroundBecomesTheEmptyReference) {
  Round round = syntheticRound(cv::Size(120, 90));
  Camera& c = round.cameras[0];
  c.backgroundFrame = c.emptyReferenceColour.clone();
  c.dartReference = toGray(c.backgroundFrame);
  c.referencesRealigned = true;
  const auto motion = c.surroundMotion;

  rebaseCameraReferences(round, 0, homographyOf(shiftBy(0.5, -0.25)));
  EXPECT_EQ(c.emptyReferenceColour.data, c.backgroundFrame.data);
  EXPECT_EQ(c.emptyReference.data, c.dartReference.data);
  EXPECT_EQ(cv::countNonZero(c.referenceChangeMask), 0);
  EXPECT_EQ(c.referenceChangeMask.size(), c.emptyReference.size());
  EXPECT_DOUBLE_EQ(c.boardToImage[2], 60.5);
  EXPECT_DOUBLE_EQ(c.boardToImage[5], 39.75);
  EXPECT_FALSE(c.referencesRealigned);
  EXPECT_NE(c.surroundMotion, motion);
}

TEST(ApplyCameraRealignment, TheEvaluationsReducedMasksStayReduced) {
  // The throw evaluation keeps its settling masks at half size: a moved camera must not turn
  // them into full-size masks that no later triplet can agree with.
  const cv::Size size(120, 90);
  Round round = syntheticRound(size);
  cv::Mat reduced = cv::Mat::zeros(size / 2, CV_8UC1);
  reduced(cv::Rect(20, 10, 4, 4)).setTo(255);
  round.evaluationMasks[0] = reduced;
  cv::Mat frame(size, CV_8UC3, cv::Scalar(7, 7, 7));
  applyCameraRealignment(round, 0, frame, homographyOf(shiftBy(10.0, 0.0)));
  const cv::Mat& moved = round.evaluationMasks[0];
  ASSERT_EQ(moved.size(), size / 2);
  // Ten pixels of the camera are five of the reduced mask.
  EXPECT_EQ(cv::countNonZero(moved(cv::Rect(25, 10, 4, 4))), 16);
  EXPECT_EQ(cv::countNonZero(moved), 16);
}

}  // namespace
}  // namespace tarv
