#include "tarv/views/dart_pieces.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

int at(const cv::Mat& m, int x, int y) { return m.at<uchar>(y, x); }

// A dart from its tip at (100, 100) to the right, in two pieces (point and barrel, then the
// flight past a gap), and a second dart lower down.
cv::Mat twoDarts() {
  cv::Mat mask = cv::Mat::zeros(400, 500, CV_8UC1);
  cv::rectangle(mask, {100, 97}, {150, 103}, 255, cv::FILLED);   // point and barrel
  cv::rectangle(mask, {185, 85}, {230, 115}, 255, cv::FILLED);   // flight
  cv::rectangle(mask, {120, 297}, {170, 303}, 255, cv::FILLED);  // the other dart's barrel
  cv::rectangle(mask, {200, 285}, {240, 315}, 255, cv::FILLED);  // and flight
  return mask;
}

TEST(DartPieces, TheDartAtTheTipKeepsItsPiecesAndNotTheOtherDart) {
  const cv::Mat pieces = dartPiecesAt(twoDarts(), {100.0, 100.0}, 12.0, 300.0, 50.0);
  EXPECT_EQ(at(pieces, 120, 100), 255);
  EXPECT_EQ(at(pieces, 200, 100), 255);
  EXPECT_EQ(at(pieces, 140, 300), 0);
  EXPECT_EQ(at(pieces, 220, 300), 0);
  // From the other dart's tip it is the other way round.
  const cv::Mat other = dartPiecesAt(twoDarts(), {120.0, 300.0}, 12.0, 300.0, 50.0);
  EXPECT_EQ(at(other, 220, 300), 255);
  EXPECT_EQ(at(other, 200, 100), 0);
}

TEST(DartPieces, APieceBeyondTheGapIsAnotherObject) {
  cv::Mat mask = twoDarts();
  cv::rectangle(mask, {330, 95}, {360, 105}, 255, cv::FILLED);  // on the line, 100 px past the flight
  const cv::Mat pieces = dartPiecesAt(mask, {100.0, 100.0}, 12.0, 300.0, 50.0);
  EXPECT_EQ(at(pieces, 200, 100), 255);
  EXPECT_EQ(at(pieces, 345, 100), 0);
}

TEST(DartPieces, BadInputGivesNoPieces) {
  EXPECT_EQ(cv::countNonZero(dartPiecesAt(twoDarts(), {NAN, 100.0}, 12.0, 300.0, 50.0)), 0);
  EXPECT_EQ(cv::countNonZero(dartPiecesAt(cv::Mat(), {100.0, 100.0}, 12.0, 300.0, 50.0)), 0);
}

TEST(DartPieces, ARegionOnlyWhereMoreThanTheDartChanged) {
  // One board millimetre a pixel, the bull at (250, 200): the dart's tip at (-150, -100) mm.
  const Homography h{1.0, 0.0, 250.0, 0.0, 1.0, 200.0, 0.0, 0.0, 1.0};
  const cv::Mat region = enteredDartRegion(twoDarts(), h, {-150.0, -100.0}, 80);
  ASSERT_FALSE(region.empty());
  EXPECT_EQ(at(region, 200, 100), 255);
  EXPECT_EQ(at(region, 220, 300), 0);
  // The dart alone: the whole frame may be taken.
  cv::Mat alone = cv::Mat::zeros(400, 500, CV_8UC1);
  cv::rectangle(alone, {100, 97}, {150, 103}, 255, cv::FILLED);
  cv::rectangle(alone, {185, 85}, {230, 115}, 255, cv::FILLED);
  EXPECT_TRUE(enteredDartRegion(alone, h, {-150.0, -100.0}, 80).empty());
}

// The region is the dart's own pieces grown by two millimetres, pixel for pixel, also where
// the change runs to the frame's edge.
TEST(DartPieces, TheRegionIsTheDartsPiecesGrown) {
  const Homography h{1.0, 0.0, 250.0, 0.0, 1.0, 200.0, 0.0, 0.0, 1.0};
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5});
  cv::Mat atEdge = twoDarts();
  cv::rectangle(atEdge, {0, 98}, {100, 102}, 255, cv::FILLED);  // the point runs out of the frame
  cv::rectangle(atEdge, {0, 0}, {8, 3}, 255, cv::FILLED);       // a speck in the corner
  for (const cv::Mat& change : {twoDarts(), atEdge}) {
    const cv::Mat region = enteredDartRegion(change, h, {-150.0, -100.0}, 80);
    ASSERT_EQ(region.size(), change.size());
    cv::Mat expected;
    cv::dilate(dartPiecesAtBoardPoint(change, h, {-150.0, -100.0}), expected, kernel);
    cv::Mat differing;
    cv::compare(region, expected, differing, cv::CMP_NE);
    EXPECT_EQ(cv::countNonZero(differing), 0);
    EXPECT_EQ(at(region, 0, 100), change.data == atEdge.data ? 255 : 0);
  }
  // A point that does not project, or no change at all: no region.
  const Homography away{1.0, 0.0, 250.0, 0.0, 1.0, 200.0, 0.0, 0.0, 0.0};
  EXPECT_TRUE(enteredDartRegion(twoDarts(), away, {-150.0, -100.0}, 80).empty());
  EXPECT_TRUE(enteredDartRegion(cv::Mat::zeros(400, 500, CV_8UC1), h, {-150.0, -100.0}, 80).empty());
}

// A box the change lies in gives the region the whole frame gives; one that leaves part of
// the change out measures only what it holds.
TEST(DartPieces, TheRegionWithinABoxHoldingTheChange) {
  const Homography h{1.0, 0.0, 250.0, 0.0, 1.0, 200.0, 0.0, 0.0, 1.0};
  const cv::Mat change = twoDarts();
  const cv::Mat whole = enteredDartRegion(change, h, {-150.0, -100.0}, 80);
  for (const cv::Rect within : {cv::Rect(90, 80, 160, 240), cv::Rect(0, 0, 500, 400), cv::Rect(-20, -20, 600, 500)}) {
    const cv::Mat region = enteredDartRegion(change, h, {-150.0, -100.0}, 80, within);
    ASSERT_EQ(region.size(), whole.size());
    EXPECT_EQ(cv::countNonZero(region != whole), 0);
  }
  // The box holds the first dart alone: nothing else changed there, and the dart is all of it.
  EXPECT_TRUE(enteredDartRegion(change, h, {-150.0, -100.0}, 80, cv::Rect(90, 80, 150, 40)).empty());
  EXPECT_TRUE(enteredDartRegion(cv::Mat::zeros(400, 500, CV_8UC1), h, {-150.0, -100.0}, 80, cv::Rect(90, 80, 160, 240))
                  .empty());
}

TEST(DartPieces, CopiedInsideLeavesTheImageAlone) {
  const cv::Mat image(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat taken(4, 4, CV_8UC3, cv::Scalar(9, 9, 9));
  cv::Mat region = cv::Mat::zeros(4, 4, CV_8UC1);
  region.at<uchar>(1, 2) = 255;
  const cv::Mat out = copiedInside(image, taken, region);
  EXPECT_EQ(out.at<cv::Vec3b>(1, 2), cv::Vec3b(9, 9, 9));
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
  EXPECT_EQ(image.at<cv::Vec3b>(1, 2), cv::Vec3b(1, 2, 3));
}

}  // namespace
}  // namespace tarv
