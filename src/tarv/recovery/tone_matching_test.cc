// Tone matching of a camera's frames to its references, the learned input table, the re-lit
// references and the background refresh, on synthetic and rendered boards.
#include "tarv/recovery/tone_matching.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

// Half a pixel per millimetre round the centre of a 400 x 400 image: the 175 mm circle
// covers about 24,000 pixels.
const Homography kSmallBoard{0.5, 0, 200, 0, 0.5, 200, 0, 0, 1};

cv::Mat smoothChannel(cv::Size size, int lo, int hi, uint64_t seed) {
  cv::Mat noise(size, CV_32F);
  cv::RNG(seed).fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
  cv::GaussianBlur(noise, noise, {0, 0}, 3.0);
  cv::normalize(noise, noise, lo, hi, cv::NORM_MINMAX);
  cv::Mat out;
  noise.convertTo(out, CV_8UC1);
  return out;
}

cv::Mat colourTexture(int lo = 30, int hi = 230) {
  const cv::Size size(400, 400);
  cv::Mat out;
  cv::merge(std::vector<cv::Mat>{smoothChannel(size, lo, hi, 1), smoothChannel(size, lo, hi, 2),
                                 smoothChannel(size, lo, hi, 3)},
            out);
  return out;
}

cv::Mat scaled(const cv::Mat& image, double gain, double offset) {
  cv::Mat out;
  image.convertTo(out, -1, gain, offset);
  return out;
}

Round syntheticRound() {
  Round round;
  for (Camera& c : round.cameras) c.boardToImage = kSmallBoard;
  return round;
}

const cv::Mat& presetTable() {
  static const cv::Mat table(1, 256, CV_8UC3, cv::Scalar(1, 2, 3));
  return table;
}

TEST(ToneMatchToReference, ContrastDecidesBetweenRawFrameTableAndNothing) {
  const cv::Mat reference = colourTexture();
  struct Case {
    const char* name;
    cv::Mat frame;
    bool force;
    bool matched;
    bool sameFrame;  // the caller's own frame comes back
    int table;       // 0 cleared, 1 kept as it was, 2 a new table
  };
  const std::vector<Case> cases = {
      {"the reference itself", reference.clone(), false, false, true, 0},
      {"half contrast", scaled(reference, 0.5, 0.0), false, true, false, 2},
      {"half contrast, forced", scaled(reference, 0.5, 0.0), true, true, false, 2},
      {"contrast 0.3", scaled(reference, 0.3, 40.0), false, false, true, 1},
      {"contrast 0.3, forced", scaled(reference, 0.3, 40.0), true, false, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Round round = syntheticRound();
    round.inputLut[1] = presetTable();
    bool matched = !c.matched;
    const cv::Mat out = toneMatchToReference(round, 1, c.frame, reference, cv::Mat(), matched, c.force);
    EXPECT_EQ(matched, c.matched);
    EXPECT_EQ(out.data == c.frame.data, c.sameFrame);
    switch (c.table) {
      case 0: EXPECT_TRUE(round.inputLut[1].empty()); break;
      case 1: EXPECT_EQ(round.inputLut[1].data, presetTable().data); break;
      default:
        ASSERT_EQ(round.inputLut[1].type(), CV_8UC3);
        ASSERT_EQ(round.inputLut[1].size(), cv::Size(256, 1));
        cv::Mat viaTable;
        cv::LUT(c.frame, round.inputLut[1], viaTable);
        EXPECT_EQ(cv::norm(viaTable, out, cv::NORM_INF), 0.0);
        EXPECT_LT(cv::norm(out, reference, cv::NORM_L1) / out.total() / 3, 2.0);
    }
    EXPECT_TRUE(round.inputLut[0].empty());
  }
}

TEST(ToneMatchToReference, LearnsFromTheRawIncomingFrame) {
  const cv::Mat reference = colourTexture();
  Round round = syntheticRound();
  const cv::Mat raw = scaled(reference, 0.5, 0.0);
  round.incomingFrames = {cv::Mat(), raw};
  // The caller's frame already went through an old table: the match starts from the raw one.
  const cv::Mat mapped = scaled(reference, 0.55, 3.0);
  bool matched = false;
  const cv::Mat out = toneMatchToReference(round, 1, mapped, reference, cv::Mat(), matched, false);
  ASSERT_TRUE(matched);
  cv::Mat viaTable;
  cv::LUT(raw, round.inputLut[1], viaTable);
  EXPECT_EQ(cv::norm(viaTable, out, cv::NORM_INF), 0.0);

  // With contrast adequate the raw frame itself comes back.
  round.incomingFrames = {cv::Mat(), reference.clone()};
  const cv::Mat plain = toneMatchToReference(round, 1, scaled(reference, 1.0, 2.0), reference,
                                             cv::Mat(), matched, false);
  EXPECT_EQ(plain.data, round.incomingFrames[1].data);
  EXPECT_FALSE(matched);
}

TEST(ToneMatchToReference, FramesThatCannotBeMatchedComeBackUntouched) {
  const cv::Mat reference = colourTexture();
  const cv::Mat half = scaled(reference, 0.5, 0.0);
  cv::Mat grey = toGray(half);
  cv::Mat small;
  cv::resize(half, small, {200, 200});
  // A real object: changed pixels above the camera's limit of 80.
  cv::Mat object = scaled(reference, 0.4, 20.0);
  cv::rectangle(object, {180, 180, 12, 12}, cv::Scalar::all(250), cv::FILLED);

  struct Case {
    const char* name;
    cv::Mat frame, reference;
    bool force;
  };
  const std::vector<Case> cases = {
      {"grey frame", grey, toGray(reference), false},
      {"reference of another size", half, [&] { cv::Mat r; cv::resize(reference, r, {200, 200}); return r; }(), false},
      {"frame of another size", small, reference, true},
      {"an object is left after matching", object, reference, false},
      {"an object is left after matching, forced", object, reference, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Round round = syntheticRound();
    round.inputLut[2] = presetTable();
    bool matched = true;
    const cv::Mat out = toneMatchToReference(round, 2, c.frame, c.reference, cv::Mat(), matched, c.force);
    EXPECT_FALSE(matched);
    EXPECT_EQ(out.data, c.frame.data);
    EXPECT_EQ(round.inputLut[2].data, presetTable().data);
  }
  // Without the object the same frame is matched.
  Round round = syntheticRound();
  bool matched = false;
  toneMatchToReference(round, 2, scaled(reference, 0.4, 20.0), reference, cv::Mat(), matched, false);
  EXPECT_TRUE(matched);
}

TEST(ToneMatchToReference, TooSmallABoardRegionIsNoEvidence) {
  const cv::Mat reference = colourTexture();
  const cv::Mat board = buildBoardRegionMask(reference.size(), kSmallBoard, 175.0, 360);
  std::vector<cv::Point> inside;
  cv::findNonZero(board, inside);
  for (const int pixels : {1999, 2000}) {
    SCOPED_TRACE(pixels);
    cv::Mat extra = cv::Mat::zeros(reference.size(), CV_8UC1);
    for (int i = 0; i < pixels; ++i) extra.at<uchar>(inside[i]) = 255;
    extra.row(0).setTo(255);  // outside the board: does not count
    Round round = syntheticRound();
    round.inputLut[0] = presetTable();
    bool matched = false;
    const cv::Mat frame = reference.clone();
    const cv::Mat out = toneMatchToReference(round, 0, frame, reference, extra, matched, false);
    // From 2000 pixels on the contrast is judged (adequate here), which clears the table.
    EXPECT_EQ(round.inputLut[0].empty(), pixels == 2000);
    EXPECT_EQ(out.data, frame.data);
  }
}

TEST(ToneMatchToReference, SaturatedReferenceAgainstABrightSourceIsNotMatched) {
  const cv::Mat texture = colourTexture(40, 230);
  const cv::Mat board = buildBoardRegionMask(texture.size(), kSmallBoard, 175.0, 360);
  const int boardPixels = cv::countNonZero(board);
  // Reference: about 8 % of the board clipped white. Source: lower contrast, bright level
  // near 200, about 1 % clipped.
  cv::Mat reference = texture.clone();
  const int refRows = boardPixels * 8 / 100 / 175;
  reference(cv::Rect(112, 200 - refRows / 2, 175, refRows)).setTo(cv::Scalar::all(255));
  cv::Mat source = scaled(texture, 0.7, 45.0);
  source(cv::Rect(150, 120, 24, boardPixels / 100 / 24)).setTo(cv::Scalar::all(255));
  Round round = syntheticRound();
  round.inputLut[0] = presetTable();
  bool matched = true;
  cv::Mat out = toneMatchToReference(round, 0, source, reference, cv::Mat(), matched, false);
  EXPECT_FALSE(matched);
  EXPECT_EQ(out.data, source.data);
  EXPECT_EQ(round.inputLut[0].data, presetTable().data);
  // Without the clipped reference the same source is matched.
  out = toneMatchToReference(round, 0, scaled(texture, 0.7, 45.0), texture, cv::Mat(), matched, false);
  EXPECT_TRUE(matched);
}

TEST(BoxSum, UnnormalisedWithZerosBeyondTheBorder) {
  const cv::Mat ones = cv::Mat::ones(4, 5, CV_8UC1);
  const cv::Mat s = boxSum(ones, 3);
  ASSERT_EQ(s.type(), CV_32F);
  EXPECT_FLOAT_EQ(s.at<float>(1, 1), 9.0f);
  EXPECT_FLOAT_EQ(s.at<float>(0, 0), 4.0f);
  EXPECT_FLOAT_EQ(s.at<float>(0, 2), 6.0f);
  EXPECT_FLOAT_EQ(s.at<float>(3, 4), 4.0f);
}

// Rendered boards shared by the relighting and refresh tests.
class RenderedBoards : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    renderer_ = new scene::Renderer(scene::defaultRig());
    dart_.tip_mm = {30.0, -50.0};
    dart_.direction = scene::frontDirection(10, 120);
  }
  static void TearDownTestSuite() { delete renderer_; }

  static scene::SceneImages render(std::vector<scene::Dart> darts, double gain, double offset) {
    scene::Scene s;
    s.darts = std::move(darts);
    s.imaging.gain = gain;
    s.imaging.offset = offset;
    return renderer_->render(s);
  }
  // A round armed on the empty board whose dart reference holds the first dart.
  static Round roundWithDart(const scene::SceneImages& empty, const scene::SceneImages& withDart) {
    Round round;
    ImageTriple dartMasks;
    for (int i = 0; i < 3; ++i) {
      Camera& c = round.cameras[i];
      c.boardToImage = homographyOf(empty.truth.cameras[i].board_to_image);
      c.emptyReferenceColour = empty.frames[i].clone();
      c.emptyReference = toGray(c.emptyReferenceColour);
      c.backgroundFrame = withDart.frames[i].clone();
      c.dartReference = toGray(c.backgroundFrame);
      c.referenceChangeMask = nativeDifferenceMask(c.emptyReference, c.dartReference);
      dartMasks[i] = c.referenceChangeMask.clone();
    }
    round.knownDartMasks.push_back(dartMasks);
    return round;
  }
  static double meanDifference(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    cv::Mat d;
    cv::absdiff(toGray(a), toGray(b), d);
    return cv::mean(d, mask)[0];
  }

  static scene::Renderer* renderer_;
  static scene::Dart dart_;
};
scene::Renderer* RenderedBoards::renderer_ = nullptr;
scene::Dart RenderedBoards::dart_;

TEST_F(RenderedBoards, RelightReferenceFollowsTheNewLight) {
  const scene::SceneImages empty = render({}, 1.0, 0.0);
  const scene::SceneImages last = render({dart_}, 1.0, 0.0);
  const scene::SceneImages next = render({dart_}, 0.75, 12.0);
  const scene::SceneImages truth = render({}, 0.75, 12.0);
  const cv::Mat old = empty.frames[0];
  const cv::Mat board = buildBoardRegionMask(old.size(), homographyOf(empty.truth.cameras[0].board_to_image), 170.0, 360);
  cv::Mat weight;
  cv::bitwise_not(dilateMask(nativeDifferenceMask(toGray(old), toGray(last.frames[0])), 9, false), weight);

  const cv::Mat relit = relightReference(old, last.frames[0], next.frames[0], weight);
  ASSERT_EQ(relit.size(), old.size());
  ASSERT_EQ(relit.type(), old.type());
  EXPECT_GT(meanDifference(old, truth.frames[0], board), 8.0);
  EXPECT_LT(meanDifference(relit, truth.frames[0], board), 3.0);
  const cv::Mat byHistogram = relightByHistogram(old, last.frames[0], next.frames[0], weight);
  ASSERT_FALSE(byHistogram.empty());
  EXPECT_LT(meanDifference(byHistogram, truth.frames[0], board), 4.0);

  // No support anywhere and no histogram: the old reference comes back.
  const cv::Mat none = cv::Mat::zeros(old.size(), CV_8UC1);
  EXPECT_EQ(cv::norm(relightReference(old, last.frames[0], next.frames[0], none), old, cv::NORM_INF), 0.0);

  cv::Mat smaller, grey = toGray(next.frames[0]);
  cv::resize(last.frames[0], smaller, {640, 360});
  EXPECT_TRUE(relightReference(old, smaller, next.frames[0], weight).empty());
  EXPECT_TRUE(relightReference(old, last.frames[0], grey, weight).empty());
  EXPECT_TRUE(relightByHistogram(old, smaller, next.frames[0], weight).empty());
  EXPECT_TRUE(relightByHistogram(old, last.frames[0], next.frames[0], none).empty());
}

TEST_F(RenderedBoards, RefreshWithoutDartsTakesTheRawFrameAsEmptyReference) {
  const scene::SceneImages empty = render({}, 1.0, 0.0);
  const scene::SceneImages now = render({}, 1.05, 4.0);
  Round round = roundWithDart(empty, empty);
  round.knownDartMasks.clear();
  for (Camera& c : round.cameras) c.referenceChangeMask.release();
  round.stableFlowTime = 12.0;
  round.staticShiftTime = 11.0;
  round.frameHistory.push_back(empty.frames[0]);

  // The frames arrive in a host's buffers: nothing kept may point into them.
  std::vector<std::vector<uchar>> host(3);
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 3; ++i) {
    const cv::Mat& f = now.frames[i];
    host[i].assign(f.datastart, f.dataend);
    frames.emplace_back(f.rows, f.cols, f.type(), host[i].data());
  }
  round.incomingFrames = frames;
  refreshCameraBackgrounds(round, frames, frames);
  for (auto& buffer : host) std::fill(buffer.begin(), buffer.end(), 0);

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Camera& c = round.cameras[i];
    EXPECT_EQ(cv::norm(c.emptyReferenceColour, now.frames[i], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(c.backgroundFrame, now.frames[i], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(c.emptyReference, toGray(now.frames[i]), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(c.dartReference, toGray(now.frames[i]), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::countNonZero(c.referenceChangeMask), 0);
    EXPECT_TRUE(c.residualMask.empty());
    EXPECT_GE(c.features.points.size(), 20u);
    EXPECT_NE(c.dartReference.data, c.backgroundFrame.data);
    EXPECT_EQ(cv::norm(round.dartReferenceCopies[i], c.dartReference, cv::NORM_INF), 0.0);
    EXPECT_NE(round.dartReferenceCopies[i].data, c.dartReference.data);
    EXPECT_EQ(round.referenceChangeMaskCopies[i].size(), c.referenceChangeMask.size());
    EXPECT_TRUE(round.inputLut[i].empty());
  }
  EXPECT_EQ(round.stableFlowTime, -1.0);
  EXPECT_EQ(round.staticShiftTime, -1.0);
  EXPECT_TRUE(round.frameHistory.empty());
}

TEST_F(RenderedBoards, RefreshKeepsDartAreasReLitWhenTheMatchFails) {
  const scene::SceneImages empty = render({}, 1.0, 0.0);
  const scene::SceneImages withDart = render({dart_}, 1.0, 0.0);
  // The light dropped and something new sits on the board: no tone match explains that.
  scene::SceneImages now = render({dart_}, 0.8, 6.0);
  const scene::SceneImages emptyNow = render({}, 0.8, 6.0);
  for (int i = 0; i < 3; ++i) {
    const Point2 p = applyHomography(homographyOf(now.truth.cameras[i].board_to_image), {10.0, 110.0});
    cv::circle(now.frames[i], {cvRound(p.x), cvRound(p.y)}, 25, cv::Scalar(0, 200, 255), cv::FILLED);
  }
  Round round = roundWithDart(empty, withDart);
  round.boardOnlyScope = true;
  for (int i = 0; i < 3; ++i) round.scopeMasks[i] = cv::Mat(now.frames[i].size(), CV_8UC1, cv::Scalar(255));
  refreshCameraBackgrounds(round, now.frames, now.frames);

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Camera& c = round.cameras[i];
    const cv::Mat dartArea = round.knownDartMasks[0][i];
    ASSERT_GT(cv::countNonZero(dartArea), 200);
    // The new object stands well clear of the dart, so the re-lighting round the dart learns
    // only from the board.
    const Point2 p = applyHomography(c.boardToImage, {10.0, 110.0});
    cv::Mat objectArea = cv::Mat::zeros(dartArea.size(), CV_8UC1);
    cv::circle(objectArea, {cvRound(p.x), cvRound(p.y)}, 25 + 100, cv::Scalar(255), cv::FILLED);
    ASSERT_EQ(cv::countNonZero(objectArea & dartArea), 0);
    // Where the first dart stands the new empty reference is the empty board under the new
    // light, not the dart of the frame.
    const double relitError = meanDifference(c.emptyReferenceColour, emptyNow.frames[i], dartArea);
    const double oldError = meanDifference(empty.frames[i], emptyNow.frames[i], dartArea);
    EXPECT_LT(relitError, 3.0);
    EXPECT_GT(oldError, 8.0);
    EXPECT_GT(meanDifference(now.frames[i], emptyNow.frames[i], dartArea), 20.0);
    // Away from both darts it is the frame.
    cv::Mat away;
    cv::bitwise_not(dilateMask(nativeDifferenceMask(toGray(emptyNow.frames[i]), toGray(now.frames[i])), 41, false), away);
    EXPECT_LT(meanDifference(c.emptyReferenceColour, now.frames[i], away), 0.5);
    EXPECT_EQ(cv::norm(c.backgroundFrame, now.frames[i], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::countNonZero(round.scopeMasks[i]), 0);
    EXPECT_EQ(round.scopeMasks[i].size(), now.frames[i].size());
  }
}

TEST_F(RenderedBoards, RefreshAfterAPureLightChangeKeepsTheReferences) {
  const scene::SceneImages empty = render({}, 1.0, 0.0);
  const scene::SceneImages withDart = render({dart_}, 1.0, 0.0);
  const scene::SceneImages now = render({dart_}, 0.7, 10.0);
  Round round = roundWithDart(empty, withDart);
  const ImageTriple before{round.cameras[0].emptyReferenceColour, round.cameras[1].emptyReferenceColour,
                           round.cameras[2].emptyReferenceColour};
  refreshCameraBackgrounds(round, now.frames, now.frames);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Camera& c = round.cameras[i];
    EXPECT_EQ(c.emptyReferenceColour.data, before[i].data);
    ASSERT_FALSE(round.inputLut[i].empty());
    // The background is the frame brought back to the old light.
    const cv::Mat board = buildBoardRegionMask(c.backgroundFrame.size(), c.boardToImage, 170.0, 360);
    EXPECT_LT(meanDifference(c.backgroundFrame, withDart.frames[i], board), 3.0);
    EXPECT_GT(cv::countNonZero(c.referenceChangeMask & round.knownDartMasks[0][i]), 50);
  }
}

}  // namespace
}  // namespace tarv
