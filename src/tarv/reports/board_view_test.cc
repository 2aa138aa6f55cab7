#include "tarv/reports/board_view.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

using testing::renderedRound;

const std::vector<double> kRadii{6.35, 15.9, 97.0, 107.0, 160.0, 170.0};
const cv::Vec3b kRed(40, 40, 230);
const cv::Vec3b kYellow(0, 210, 255);
const cv::Vec3b kGreen(60, 220, 60);

bool isBackground(const cv::Mat& view) {
  cv::Mat difference;
  cv::absdiff(view, kViewBackground, difference);
  return cv::countNonZero(difference.reshape(1)) == 0;
}

// The anti-aliased ring colour over whatever lies below it.
bool isRingColour(const cv::Vec3b& c) { return c[2] > 200 && c[0] < 100 && c[1] < 100; }

int countColour(const cv::Mat& image, cv::Point centre, int radius, const cv::Vec3b& colour) {
  int count = 0;
  for (int y = centre.y - radius; y <= centre.y + radius; ++y) {
    for (int x = centre.x - radius; x <= centre.x + radius; ++x) {
      if (x >= 0 && y >= 0 && x < image.cols && y < image.rows && image.at<cv::Vec3b>(y, x) == colour) {
        ++count;
      }
    }
  }
  return count;
}

// Pixels of the colour within 3 pixels of the segment.
int countAlong(const cv::Mat& image, cv::Point2d from, cv::Point2d to, const cv::Vec3b& colour) {
  cv::Mat band = cv::Mat::zeros(image.size(), CV_8UC1);
  cv::line(band, from, to, 255, 7);
  cv::Mat same;
  cv::inRange(image, cv::Scalar(colour), cv::Scalar(colour), same);
  return cv::countNonZero(same & band);
}

TEST(BoardView, EveryCameraShowsTheSameFrontViewOfTheBoard) {
  const auto& round = renderedRound();
  std::vector<cv::Mat> views;
  for (std::size_t i = 0; i < 3; ++i) {
    views.push_back(renderBoardView(round.empty[i], round.homography(i), 400, kRadii));
    testing::keepForViewing("tarv-board-view-cam" + std::to_string(i + 1) + ".png", views.back());
  }
  // One millimetre a pixel with the bull in the centre: the treble of the 20 straight above
  // it is red, the single 20 black, the single 1 next to it cream, the bull red, and the
  // treble of the 6 to its right green.
  for (const cv::Mat& view : views) {
    const cv::Vec3b treble20 = view.at<cv::Vec3b>(200 - 102, 200);
    EXPECT_GT(treble20[2], 2 * treble20[1]);
    const cv::Vec3b single20 = view.at<cv::Vec3b>(200 - 130, 200);
    EXPECT_LT(single20[2], 70);
    const cv::Vec3b single1 = view.at<cv::Vec3b>(200 - 123, 200 + 40);
    EXPECT_GT(single1[0], 120);
    EXPECT_GT(single1[2], 150);
    const cv::Vec3b bull = view.at<cv::Vec3b>(200, 201);
    EXPECT_GT(bull[2], 2 * bull[1]);
    const cv::Vec3b treble6 = view.at<cv::Vec3b>(200, 200 + 102);
    EXPECT_GT(treble6[1], 1.5 * treble6[2]);
    // Outside the board every camera sees nothing of the face, and the drawn rings lie on
    // the board's own circles.
    EXPECT_TRUE(isRingColour(view.at<cv::Vec3b>(200, 200 + 170)));
    EXPECT_TRUE(isRingColour(view.at<cv::Vec3b>(200 - 97, 200)));
  }
  // Away from the drawn lines the three views agree: the same board from the front.
  cv::Mat boardOnly = cv::Mat::zeros(400, 400, CV_8UC1);
  cv::circle(boardOnly, {200, 200}, 165, 255, cv::FILLED);
  cv::Mat a, b, difference;
  cv::cvtColor(views[0], a, cv::COLOR_BGR2GRAY);
  cv::cvtColor(views[2], b, cv::COLOR_BGR2GRAY);
  cv::absdiff(a, b, difference);
  EXPECT_LT(cv::mean(difference, boardOnly)[0], 12.0);
}

TEST(BoardView, AnUnusableHomographyGivesThePlainBackground) {
  const auto& round = renderedRound();
  Homography nan = round.homography(0);
  nan[4] = std::numeric_limits<double>::quiet_NaN();
  const Homography singular{1e-13, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_TRUE(isBackground(renderBoardView(cv::Mat(), round.homography(0), 270, kRadii)));
  EXPECT_TRUE(isBackground(renderBoardView(round.empty[0], nan, 270, kRadii)));
  EXPECT_TRUE(isBackground(renderBoardView(round.empty[0], singular, 270, kRadii)));
}

TEST(BoardView, WithoutRingsOnlyTheWiresFromSixteenToTheEdgeAreDrawn) {
  cv::Mat target = cv::Mat::zeros(400, 400, CV_8UC3);
  drawBoardRingsAndWires(target, {1, 0, 200, 0, 1, 200, 0, 0, 1}, cv::Scalar(60, 60, 255), {});
  const double a = 9.0 * M_PI / 180.0;
  const auto wireNear = [&](double r) {
    const cv::Point p(static_cast<int>(std::lround(200 + r * std::cos(a))),
                      static_cast<int>(std::lround(200 + r * std::sin(a))));
    bool found = false;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) found |= isRingColour(target.at<cv::Vec3b>(p + cv::Point(dx, dy)));
    }
    return found;
  };
  EXPECT_TRUE(wireNear(17.0));
  EXPECT_TRUE(wireNear(100.0));
  EXPECT_TRUE(wireNear(169.0));
  EXPECT_FALSE(wireNear(12.0));
  EXPECT_FALSE(wireNear(174.0));
  EXPECT_EQ(target.at<cv::Vec3b>(200, 200 + 100), cv::Vec3b(0, 0, 0));  // no ring at 100 mm

  // A transform that sends the board to infinity draws nothing and never converts a
  // non-finite value to a pixel.
  cv::Mat untouched = cv::Mat::zeros(100, 100, CV_8UC3);
  drawBoardRingsAndWires(untouched, {1, 0, 0, 0, 1, 0, 0, 0, 0}, cv::Scalar(60, 60, 255), kRadii);
  drawBoardRingsAndWires(untouched, {1e300, 0, 0, 0, 1e300, 0, 0, 0, 1e-300}, cv::Scalar(60, 60, 255),
                         kRadii);
  EXPECT_EQ(cv::countNonZero(untouched.reshape(1)), 0);
}

TEST(ChangeOverlay, NewDartGreenEarlierDartYellow) {
  const auto& round = renderedRound();
  for (std::size_t i = 0; i < 3; ++i) {
    const scene::DartView& earlier = round.truth.darts[0].views[i];
    const scene::DartView& added = round.truth.darts[1].views[i];
    if (!earlier.tip_visible || !added.tip_visible) continue;
    const cv::Mat overlay = renderChangeOverlay(round.twoDarts[i], round.oneDart[i], round.empty[i],
                                                added.tip_px.x, added.tip_px.y);
    testing::keepForViewing("tarv-change-overlay-cam" + std::to_string(i + 1) + ".png", overlay);
    // The new dart's change falls apart where its black shaft crosses a black bed: the
    // piece at its tip is green, the rest of it red.
    const cv::Point addedTip = added.tip_px;
    EXPECT_GT(countColour(overlay, addedTip, 12, kGreen), 10) << i;
    EXPECT_EQ(countColour(overlay, addedTip, 12, kYellow), 0) << i;
    EXPECT_GT(countAlong(overlay, earlier.tip_px, earlier.flight_px, kYellow), 20) << i;
    EXPECT_EQ(countAlong(overlay, earlier.tip_px, earlier.flight_px, kGreen), 0) << i;

    // Without a point the new dart is only red; a point at infinity is no point.
    for (const double x : {-1.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
      const cv::Mat plain = renderChangeOverlay(round.twoDarts[i], round.oneDart[i], round.empty[i], x, 5.0);
      EXPECT_EQ(countColour(plain, addedTip, 12, kGreen), 0);
      EXPECT_GT(countColour(plain, addedTip, 12, kRed), 10);
    }
  }
}

TEST(ChangeOverlay, ComparisonOfAnotherSizeMarksNothing) {
  const auto& round = renderedRound();
  const cv::Mat overlay =
      renderChangeOverlay(round.twoDarts[0], cv::Mat(10, 10, CV_8UC3), cv::Mat(), 100, 100);
  cv::Mat grey;
  cv::cvtColor(round.twoDarts[0], grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
  grey.convertTo(grey, -1, 0.6);
  cv::Mat difference;
  cv::absdiff(overlay, grey, difference);
  EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0);
}

}  // namespace
}  // namespace tarv
