// Change masks against a reference: one-pixel shifts and light changes must not count, real
// objects must; the blob filter; the local contrast model's limits; a dart on a rendered board.
#include "tarv/recovery/change_masks.h"

#include <gtest/gtest.h>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// Smooth texture in about lo..hi: blurred noise, so that neighbouring pixels are close and
// the 3x3 range of the reference stays narrow.
cv::Mat smoothTexture(cv::Size size, int lo, int hi, uint64_t seed) {
  cv::Mat noise(size, CV_32F);
  cv::RNG(seed).fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
  cv::GaussianBlur(noise, noise, {0, 0}, 3.0);
  cv::Mat out;
  cv::normalize(noise, noise, lo, hi, cv::NORM_MINMAX);
  noise.convertTo(out, CV_8UC1);
  return out;
}

cv::Mat withPatch(const cv::Mat& image, cv::Rect patch, int delta) {
  cv::Mat out = image.clone();
  cv::add(out(patch), cv::Scalar(delta), out(patch));
  return out;
}

TEST(TolerantDifferenceMask, ShiftsAndIdenticalImagesDoNotCountObjectsDo) {
  cv::Mat edge = cv::Mat::zeros(60, 80, CV_8UC1);
  edge.colRange(40, 80).setTo(200);
  cv::Mat shifted = cv::Mat::zeros(60, 80, CV_8UC1);
  shifted.colRange(41, 80).setTo(200);
  const cv::Mat texture = smoothTexture({80, 60}, 40, 200, 1);
  struct Case {
    const char* name;
    cv::Mat reference, image;
    int level;
    int minSet, maxSet;
  };
  const std::vector<Case> cases = {
      {"edge moved by one pixel", edge, shifted, 24, 0, 0},
      {"edge moved back", shifted, edge, 24, 0, 0},
      {"identical at level 0", texture, texture, 0, 0, 0},
      {"brighter patch", texture, withPatch(texture, {20, 20, 10, 10}, 50), 24, 40, 100},
      {"darker patch", texture, withPatch(texture, {20, 20, 10, 10}, -50), 24, 40, 100},
      {"patch below the level", texture, withPatch(texture, {20, 20, 10, 10}, 20), 24, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat mask = tolerantDifferenceMask(c.reference, c.image, c.level);
    ASSERT_EQ(mask.size(), c.reference.size());
    EXPECT_GE(cv::countNonZero(mask), c.minSet);
    EXPECT_LE(cv::countNonZero(mask), c.maxSet);
  }
  // An edge moved by five pixels is a real change.
  cv::Mat wide = edge.clone();
  wide.colRange(35, 40).setTo(200);
  EXPECT_GT(cv::countNonZero(tolerantDifferenceMask(edge, wide, 24)), 0);
}

TEST(RemoveSmallComponents, KeepsOnlyComponentsAtTheMinimum) {
  cv::Mat mask = cv::Mat::zeros(40, 60, CV_8UC1);
  mask(cv::Rect(2, 2, 4, 6)).setTo(255);  // 24 pixels
  mask(cv::Rect(20, 2, 4, 6)).setTo(255);
  mask.at<uchar>(7, 23) = 0;                // 23 pixels
  mask(cv::Rect(40, 20, 1, 1)).setTo(255);  // a lone pixel
  // Diagonal neighbours join: two 12-pixel squares touching at a corner make 24.
  mask(cv::Rect(2, 20, 3, 4)).setTo(255);
  mask(cv::Rect(5, 24, 3, 4)).setTo(255);
  cv::Mat out = mask.clone();
  removeSmallComponents(out, 24);
  EXPECT_EQ(cv::countNonZero(out), 48);
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(2, 2, 4, 6))), 24);
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(20, 2, 4, 6))), 0);
  EXPECT_EQ(out.at<uchar>(20, 40), 0);

  // Only large components: left exactly as it was, values other than 255 included.
  cv::Mat soft = cv::Mat::zeros(20, 20, CV_8UC1);
  soft(cv::Rect(2, 2, 6, 6)).setTo(7);
  soft(cv::Rect(10, 10, 6, 6)).setTo(255);
  cv::Mat kept = soft.clone();
  removeSmallComponents(kept, 24);
  EXPECT_EQ(cv::norm(kept, soft, cv::NORM_INF), 0.0);
  // Once anything is cleared, the kept pixels are written as 255.
  soft.at<uchar>(0, 19) = 9;
  removeSmallComponents(soft, 24);
  EXPECT_EQ(soft.at<uchar>(3, 3), 255);
  EXPECT_EQ(soft.at<uchar>(0, 19), 0);

  cv::Mat empty;
  removeSmallComponents(empty, 24);
  EXPECT_TRUE(empty.empty());
}

TEST(LocalContrastChangeMask, NotApplicableCases) {
  const cv::Size size(320, 240);
  const cv::Mat texture = smoothTexture(size, 40, 200, 2);
  const cv::Mat other = smoothTexture(size, 40, 200, 99);
  const cv::Mat flat(size, CV_8UC1, cv::Scalar(120));
  const cv::Mat all(size, CV_8UC1, cv::Scalar(255));
  const cv::Mat none = cv::Mat::zeros(size, CV_8UC1);
  cv::Mat inverted;
  cv::bitwise_not(texture, inverted);
  EXPECT_TRUE(buildLocalContrastChangeMask(flat, texture, all, 24).empty());
  EXPECT_TRUE(buildLocalContrastChangeMask(texture, flat, all, 24).empty());
  EXPECT_TRUE(buildLocalContrastChangeMask(texture, texture, none, 24).empty());
  EXPECT_TRUE(buildLocalContrastChangeMask(texture, other, all, 24).empty());
  EXPECT_TRUE(buildLocalContrastChangeMask(texture, inverted, all, 24).empty());
  EXPECT_TRUE(buildLocalContrastChangeMask(texture, texture(cv::Rect(0, 0, 100, 100)).clone(),
                                           all, 24).empty());
  const cv::Mat same = buildLocalContrastChangeMask(texture, texture, all, 24);
  ASSERT_EQ(same.size(), size);
  EXPECT_EQ(cv::countNonZero(same), 0);
}

TEST(LocalContrastChangeMask, UnevenLightIsExplainedObjectsAreNot) {
  for (const int width : {320, 640, 1280}) {
    SCOPED_TRACE(width);
    const cv::Size size(width, width * 9 / 16);
    const cv::Mat reference = smoothTexture(size, 50, 180, 3);
    // Light falling off from left to right by a half, plus a lift.
    cv::Mat gain(size, CV_32F);
    for (int x = 0; x < width; ++x) gain.col(x).setTo(1.3 - 0.5 * x / width);
    cv::Mat lit;
    reference.convertTo(lit, CV_32F);
    lit = lit.mul(gain) + 12.0f;
    lit.convertTo(lit, CV_8UC1);
    const cv::Rect object(width / 2, size.height / 3, width / 32 + 4, width / 32 + 4);
    const cv::Mat frame = withPatch(lit, object, 70);

    cv::Mat region = cv::Mat::zeros(size, CV_8UC1);
    const cv::Rect area(width / 8, size.height / 8, width * 3 / 4, size.height * 3 / 4);
    region(area).setTo(255);
    const cv::Mat mask = buildLocalContrastChangeMask(reference, frame, region, 24);
    ASSERT_EQ(mask.size(), size);
    cv::Mat outside;
    cv::bitwise_not(region, outside);
    EXPECT_EQ(cv::countNonZero(mask & outside), 0);
    cv::Mat grown = cv::Mat::zeros(size, CV_8UC1);
    grown(cv::Rect(object.x - 4, object.y - 4, object.width + 8, object.height + 8)).setTo(255);
    EXPECT_GT(cv::countNonZero(mask & grown), object.area() / 2);
    EXPECT_LT(cv::countNonZero(mask & ~grown), object.area() / 10);
    // The plain tolerant test sees the uneven light everywhere.
    EXPECT_GT(cv::countNonZero(tolerantDifferenceMask(reference, frame, 24) & region),
              area.area() / 20);
  }
}

TEST(LocalContrastChangeMask, DifferencesScaleWithTheContrastRatio) {
  const cv::Size size(640, 360);
  const cv::Mat reference = smoothTexture(size, 70, 170, 4);
  const cv::Mat all(size, CV_8UC1, cv::Scalar(255));
  const cv::Rect object(300, 150, 16, 16);
  struct Case {
    const char* name;
    double contrast;
    int delta;
    bool seen;
  };
  // The object is seen from a step of about 35 at equal contrast (the local fit takes up
  // part of it); with twice the contrast differences count half, so from about 70; a ratio
  // of three is clamped to two (unclamped, 80 would count as about 27 minus the fit's share).
  const std::vector<Case> cases = {
      {"same contrast, 40", 1.0, 40, true},
      {"same contrast, 20", 1.0, 20, false},
      {"double contrast, 50", 2.0, 50, false},
      {"double contrast, 80", 2.0, 80, true},
      {"triple contrast clamped to 2, 80", 3.0, 80, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cv::Mat frame;
    reference.convertTo(frame, CV_8UC1, c.contrast, 120.0 * (1.0 - c.contrast));
    frame = withPatch(frame, object, c.delta);
    const cv::Mat mask = buildLocalContrastChangeMask(reference, frame, all, 24);
    ASSERT_FALSE(mask.empty());
    const int inside = cv::countNonZero(mask(object));
    if (c.seen) {
      EXPECT_GT(inside, object.area() / 3);
    } else {
      EXPECT_EQ(inside, 0);
    }
    EXPECT_EQ(cv::countNonZero(mask) - inside, 0);
  }
}

TEST(LutDifferenceMask, ToneChangesAndClippedHighlightsDoNotCount) {
  const cv::Size size(320, 240);
  const cv::Mat reference = smoothTexture(size, 30, 250, 5);
  // A brighter exposure that clips everything the reference shows above about 196.
  cv::Mat clipped;
  reference.convertTo(clipped, CV_8UC1, 1.3, 0.0);
  // Without the clip rule the clipped pixels would be compared through the table's top entry.
  cv::Mat table;
  ASSERT_TRUE(buildHistogramMatchingLut(clipped, reference, cv::Mat(), table));
  cv::Mat naive;
  cv::LUT(clipped, table, naive);
  ASSERT_GT(cv::countNonZero(tolerantDifferenceMask(reference, naive, 24)), 500);
  EXPECT_EQ(cv::countNonZero(lutDifferenceMask(reference, clipped, cv::Mat(), 24)), 0);

  // An object under other light is found, inside the region only.
  const cv::Rect object(150, 100, 12, 12);
  cv::Mat dimmer;
  reference.convertTo(dimmer, CV_8UC1, 0.8, 5.0);
  const cv::Mat frame = withPatch(dimmer, object, -60);
  cv::Mat region = cv::Mat::zeros(size, CV_8UC1);
  region(cv::Rect(40, 40, 240, 160)).setTo(255);
  const cv::Mat mask = lutDifferenceMask(reference, frame, region, 24);
  ASSERT_EQ(mask.size(), size);
  EXPECT_GT(cv::countNonZero(mask(object)), object.area() / 2);
  cv::Mat elsewhere = mask.clone();
  elsewhere(cv::Rect(object.x - 3, object.y - 3, object.width + 6, object.height + 6)).setTo(0);
  EXPECT_EQ(cv::countNonZero(elsewhere), 0);

  EXPECT_TRUE(lutDifferenceMask(reference, frame(cv::Rect(0, 0, 100, 100)), region, 24).empty());
  // Too few samples for a table.
  cv::Mat tiny = cv::Mat::zeros(size, CV_8UC1);
  tiny(cv::Rect(0, 0, 20, 20)).setTo(255);
  EXPECT_TRUE(lutDifferenceMask(reference, frame, tiny, 24).empty());
}

TEST(LutDifferenceMask, SmallBlobsAreDropped) {
  const cv::Size size(320, 240);
  const cv::Mat reference = smoothTexture(size, 40, 200, 6);
  // After the 5x5 median a 5x5 patch keeps a 9-pixel core and a 9x9 patch a 49-pixel one.
  cv::Mat frame = withPatch(reference, {60, 60, 5, 5}, 80);
  frame = withPatch(frame, {200, 150, 9, 9}, 80);
  const cv::Mat mask = lutDifferenceMask(reference, frame, cv::Mat(), 24);
  EXPECT_EQ(cv::countNonZero(mask(cv::Rect(50, 50, 25, 25))), 0);
  EXPECT_GE(cv::countNonZero(mask(cv::Rect(195, 145, 20, 20))), 24);
}

using host::homographyOf;

double distanceToSegment(cv::Point2d p, cv::Point2d a, cv::Point2d b) {
  const cv::Point2d ab = b - a;
  const double t = std::clamp((p - a).dot(ab) / std::max(ab.dot(ab), 1e-9), 0.0, 1.0);
  return cv::norm(p - (a + t * ab));
}

TEST(EmptyReferenceChangeMask, FindsADartUnderOtherLightOnARenderedBoard) {
  const scene::Renderer renderer(scene::defaultRig());
  scene::Scene withDart;
  withDart.imaging.gain = 0.9;
  withDart.imaging.offset = 8.0;
  withDart.imaging.noise_sigma = 1.5;
  withDart.darts.push_back({{40.0, -60.0}, scene::frontDirection(15, 60)});
  scene::Scene dimmed = withDart;
  dimmed.darts.clear();
  const scene::SceneImages empty = renderer.render(scene::Scene{});
  const scene::SceneImages shot = renderer.render(withDart);
  const scene::SceneImages quiet = renderer.render(dimmed);

  Round round;
  std::vector<cv::Mat> frames, quietFrames;
  for (int i = 0; i < 3; ++i) {
    round.cameras[i].emptyReference = toGray(empty.frames[i]);
    round.cameras[i].boardToImage = homographyOf(shot.truth.cameras[i].board_to_image);
    frames.push_back(toGray(shot.frames[i]));
    quietFrames.push_back(toGray(quiet.frames[i]));
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const cv::Mat mask = emptyReferenceChangeMask(frames, round, i);
    ASSERT_EQ(mask.size(), frames[i].size());
    const scene::DartView& view = shot.truth.darts[0].views[i];
    int near = 0;
    std::vector<cv::Point> set;
    cv::findNonZero(mask, set);
    for (const cv::Point& p : set) near += distanceToSegment(p, view.tip_px, view.flight_px) < 60.0;
    EXPECT_GE(static_cast<int>(set.size()), 150);
    EXPECT_GE(near, static_cast<int>(set.size() * 0.95));
    EXPECT_LT(cv::countNonZero(emptyReferenceChangeMask(quietFrames, round, i)), 80);
  }
  EXPECT_TRUE(emptyReferenceChangeMask(frames, round, 3).empty());
  EXPECT_TRUE(emptyReferenceChangeMask({frames[0]}, round, 1).empty());
}

}  // namespace
}  // namespace tarv
