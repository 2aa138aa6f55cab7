// Association regions, the quiet-views verdict and tolerated surround marks on a board seen
// straight on at half a pixel per millimetre (bull at pixel 400, 400).
#include "tarv/views/association_points.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

const cv::Size kSize(800, 800);
const Homography kHalfScale{0.5, 0, 400, 0, 0.5, 400, 0, 0, 1};

cv::Mat zeros() { return cv::Mat::zeros(kSize, CV_8UC1); }

cv::Mat rectMask(cv::Rect rect) {
  cv::Mat mask = zeros();
  mask(rect).setTo(255);
  return mask;
}

std::array<Camera, 3> cameras() {
  std::array<Camera, 3> result;
  for (Camera& camera : result) camera.boardToImage = kHalfScale;
  return result;
}

ImageTriple quiet() { return {zeros(), zeros(), zeros()}; }

TEST(AssociationRegion, KeepsTheBlobAtTheDartClippedToItsDisc) {
  // A dart at (100, 0) mm: pixel (450, 400); its 20 mm disc has a radius of 10 px.
  cv::Mat mask = rectMask({440, 396, 40, 8});    // reaches into the disc
  mask(cv::Rect(600, 600, 30, 30)).setTo(255);   // a larger blob elsewhere
  const json entry = {{"board_xy_nominal_mm", {100.0, 0.0}}};
  const cv::Mat region = buildAssociationRegion(mask, kHalfScale, entry);
  EXPECT_EQ(cv::countNonZero(region(cv::Rect(600, 600, 30, 30))), 0);
  EXPECT_EQ(region.at<uchar>(400, 455), 255);  // inside the disc
  EXPECT_EQ(region.at<uchar>(400, 470), 0);    // the blob's part beyond the disc
  EXPECT_GE(cv::countNonZero(region), 80);

  // Without a point, or with too little inside the disc, the whole mask stands.
  for (const json& other : {json::object(), json{{"board_xy_nominal_mm", nullptr}},
                            json{{"board_xy_nominal_mm", {-100.0, 0.0}}}}) {
    EXPECT_EQ(cv::countNonZero(buildAssociationRegion(mask, kHalfScale, other) != mask), 0) << other;
  }
  const Homography atInfinity{1, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_THROW(buildAssociationRegion(mask, atInfinity, entry), std::runtime_error);
}

struct QuietCase {
  const char* name;
  int changedOnBoard;
  bool expected;
};

TEST(ProjectAssociationPoints, BoardChangeLimit) {
  for (const QuietCase& c : {QuietCase{"none", 0, true}, QuietCase{"79", 79, true},
                             QuietCase{"80", 80, false}}) {
    ImageTriple masks = quiet();
    cv::Mat row = masks[1](cv::Rect(360, 400, 80, 1));
    row.colRange(0, c.changedOnBoard).setTo(255);
    EXPECT_EQ(projectAssociationPoints(masks, cameras(), {}, json::array()), c.expected) << c.name;
  }
}

TEST(ProjectAssociationPoints, WidespreadChangeWithoutEntriesFailsFirst) {
  ImageTriple masks = quiet();
  masks[2](cv::Rect(0, 0, 800, 130)).setTo(255);  // 16 % of the image, off the board
  EXPECT_FALSE(projectAssociationPoints(masks, cameras(), {}, json::array()));
  masks[2] = zeros();
  masks[2](cv::Rect(0, 0, 800, 110)).setTo(255);  // under 15 %
  EXPECT_TRUE(projectAssociationPoints(masks, cameras(), {}, json::array()));
}

TEST(ProjectAssociationPoints, OnBoardDartTouchedByChange) {
  // A 50-pixel dart region at 100 mm; the change overlaps its dilation by 4 or 5 pixels.
  const cv::Mat dart = rectMask({445, 395, 10, 5});
  const json entries = json::array({json::object()});
  for (int overlap : {4, 5}) {
    ImageTriple masks = quiet();
    masks[0](cv::Rect(456, 395, 1, overlap)).setTo(255);
    EXPECT_EQ(projectAssociationPoints(masks, cameras(), {{dart, zeros(), zeros()}}, entries),
              overlap < 5)
        << overlap;
  }
}

TEST(ProjectAssociationPoints, DartOutsideNeedsAStillSecondView) {
  // The entry says 175 mm; the masks lie in the surround beyond the dilated board.
  const json entries = json::array({{{"board_xy_nominal_mm", {175.0, 0.0}}, {"id", "d1"}}});
  const cv::Mat dart = rectMask({520, 390, 20, 20});
  const cv::Mat touching = rectMask({539, 390, 4, 20});
  ImageTriple change = quiet();
  change[0] = touching;

  EXPECT_FALSE(projectAssociationPoints(change, cameras(), {{dart, zeros(), zeros()}}, entries));
  EXPECT_TRUE(projectAssociationPoints(change, cameras(), {{dart, dart, zeros()}}, entries));
  ImageTriple both = change;
  both[1] = touching;
  EXPECT_FALSE(projectAssociationPoints(both, cameras(), {{dart, dart, zeros()}}, entries));

  // An on-board entry with the same masks: one touched view is enough to refuse.
  const json onBoard = json::array({{{"board_xy_nominal_mm", {100.0, 0.0}}}});
  EXPECT_FALSE(projectAssociationPoints(change, cameras(), {{dart, dart, zeros()}}, onBoard));
}

TEST(ProjectAssociationPoints, CameraLeftOutOfTheAssociationPointsIsNotConsulted) {
  const cv::Mat dart = rectMask({520, 390, 20, 20});
  ImageTriple change = quiet();
  change[1] = rectMask({539, 390, 4, 20});
  json entry = {{"board_xy_nominal_mm", {100.0, 0.0}},
                {"association_points", {{"CAM_1", {100.0, 0.0}}}}};
  EXPECT_TRUE(projectAssociationPoints(change, cameras(), {{dart, dart, dart}}, json::array({entry})));
  entry["association_points"]["CAM_2"] = {100.0, 0.0};
  EXPECT_FALSE(projectAssociationPoints(change, cameras(), {{dart, dart, dart}}, json::array({entry})));
}

TEST(MeasureToleratedPixels, ClearsSmallOverlapsWithFarDarts) {
  // A 1,000-pixel dart 230 mm out; overlaps of 150 and 200 pixels, and a 79-pixel mask.
  const cv::Mat dart = rectMask({100, 100, 40, 25});
  const json entries = json::array({{{"board_xy_nominal_mm", {230.0, 0.0}}, {"id", 7}}});
  const std::vector<ImageTriple> darts{{dart, zeros(), zeros()}};

  ImageTriple change = quiet();
  change[0](cv::Rect(100, 100, 25, 6)).setTo(255);  // 150 pixels
  change[0](cv::Rect(600, 600, 10, 10)).setTo(255); // elsewhere, kept
  const cv::Mat shared = change[0];
  const json records = measureToleratedPixels(change, entries, darts);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], (json{{"camera", "CAM_1"}, {"dart", 7}, {"tolerated_pixels", 150}}));
  EXPECT_EQ(cv::countNonZero(shared), 100);  // cleared in the shared pixels

  change = quiet();
  change[0](cv::Rect(100, 100, 25, 8)).setTo(255);  // 200 pixels: 0.2 of the mask
  EXPECT_TRUE(measureToleratedPixels(change, entries, darts).empty());
  EXPECT_EQ(cv::countNonZero(change[0]), 200);

  const std::vector<ImageTriple> small{{rectMask({100, 100, 79, 1}), zeros(), zeros()}};
  change = quiet();
  change[0](cv::Rect(100, 100, 5, 1)).setTo(255);
  EXPECT_TRUE(measureToleratedPixels(change, entries, small).empty());

  // Not far enough out, and an entry without an id.
  change = quiet();
  change[0](cv::Rect(100, 100, 25, 6)).setTo(255);
  EXPECT_TRUE(measureToleratedPixels(change, json::array({{{"board_xy_nominal_mm", {219.0, 0.0}}}}), darts).empty());
  const json anonymous = measureToleratedPixels(change, json::array({{{"board_xy_nominal_mm", {0.0, 221.0}}}}), darts);
  ASSERT_EQ(anonymous.size(), 1u);
  EXPECT_TRUE(anonymous[0]["dart"].is_null());
}

}  // namespace
}  // namespace tarv
