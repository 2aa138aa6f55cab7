// The projected board circle: geometry of the fill, rounding of the vertices, projections at
// infinity and the outline on a rendered camera.
#include "tarv/views/board_outline_mask.h"

#include <gtest/gtest.h>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

#include "scene/scene.h"
#include "host/host_protocol.h"

namespace tarv {
namespace {

const Homography kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

using host::homographyOf;

std::string failureOf(const Homography& h, double radius) {
  try {
    buildBoardRegionMask({64, 48}, h, radius, 360);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(BoardOutlineMask, IdentityGivesQuarterDiscAtOrigin) {
  const cv::Mat mask = buildBoardRegionMask({40, 30}, kIdentity, 10.0, 360);
  ASSERT_EQ(mask.type(), CV_8UC1);
  ASSERT_EQ(mask.size(), cv::Size(40, 30));
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      const double d = std::hypot(x, y);
      if (d <= 9.3) {
        EXPECT_EQ(mask.at<uchar>(y, x), 255) << x << "," << y;
      }
      if (d >= 10.7) {
        EXPECT_EQ(mask.at<uchar>(y, x), 0) << x << "," << y;
      }
      const uchar v = mask.at<uchar>(y, x);
      EXPECT_TRUE(v == 0 || v == 255);
    }
  }
  // About a quarter of pi·100, plus the boundary pixels that an integer fill includes.
  const int area = cv::countNonZero(mask);
  EXPECT_GT(area, 78);
  EXPECT_LT(area, 110);
}

TEST(BoardOutlineMask, HalfPixelVerticesRoundToEven) {
  // A diamond of radius 4 round (10.5, 10.5): every vertex coordinate ends in .5.
  const Homography shift{1, 0, 10.5, 0, 1, 10.5, 0, 0, 1};
  const cv::Mat mask = buildBoardRegionMask({24, 24}, shift, 4.0, 4);
  EXPECT_EQ(mask.at<uchar>(10, 14), 255);  // (14.5, 10.5) -> (14, 10)
  EXPECT_EQ(mask.at<uchar>(10, 6), 255);   // (6.5, 10.5) -> (6, 10)
  EXPECT_EQ(mask.at<uchar>(11, 15), 0);    // away from zero would reach (15, 11)
  EXPECT_EQ(mask.at<uchar>(15, 11), 0);
  EXPECT_EQ(mask.at<uchar>(10, 10), 255);
}

TEST(BoardOutlineMask, ProjectionAtInfinityThrows) {
  // w = 0.1·x + 1 vanishes at the circle point (-10, 0).
  EXPECT_EQ(failureOf({1, 0, 0, 0, 1, 0, 0.1, 0, 1}, 10.0), "Projection at infinity");
  EXPECT_EQ(failureOf({1, 0, 0, 0, 1, 0, 0, 0, 0}, 10.0), "Projection at infinity");
  EXPECT_EQ(failureOf({1, 0, 0, 0, 1, 0, 0, 0, NAN}, 10.0), "Projection at infinity");
  EXPECT_EQ(failureOf({NAN, 0, 0, 0, 1, 0, 0, 0, 1}, 10.0), "Projection at infinity");
  EXPECT_EQ(failureOf(kIdentity, 10.0), "");
}

TEST(BoardOutlineMask, FarOffOrDegenerateCirclesStayDefined) {
  // A circle far larger than the image covers all of it; one far away covers none of it.
  EXPECT_EQ(cv::countNonZero(buildBoardRegionMask({32, 16}, kIdentity, 1e12, 360)), 32 * 16);
  const Homography far{1, 0, 1e7, 0, 1, 0, 0, 0, 1};
  EXPECT_EQ(cv::countNonZero(buildBoardRegionMask({32, 16}, far, 10.0, 360)), 0);
  EXPECT_EQ(cv::countNonZero(buildBoardRegionMask({32, 16}, kIdentity, 10.0, 2)), 0);
  EXPECT_TRUE(buildBoardRegionMask({0, 0}, kIdentity, 10.0, 360).empty());
}

TEST(BoardOutlineMask, FollowsTheRenderedBoardOutline) {
  const scene::Renderer renderer(scene::defaultRig());
  const scene::GroundTruth truth = renderer.truth(scene::Scene{});
  for (const scene::CameraTruth& camera : truth.cameras) {
    const Homography h = homographyOf(camera.board_to_image);
    const cv::Mat mask = buildBoardRegionMask(camera.image_size, h, 170.0, 360);
    for (int deg = 0; deg < 360; deg += 15) {
      const double t = deg * M_PI / 180.0;
      const Point2 inside = applyHomography(h, {160.0 * std::cos(t), 160.0 * std::sin(t)});
      const Point2 outside = applyHomography(h, {180.0 * std::cos(t), 180.0 * std::sin(t)});
      EXPECT_EQ(mask.at<uchar>(cvRound(inside.y), cvRound(inside.x)), 255) << camera.id << deg;
      const cv::Point o(cvRound(outside.x), cvRound(outside.y));
      if (cv::Rect({0, 0}, camera.image_size).contains(o)) {
        EXPECT_EQ(mask.at<uchar>(o), 0) << camera.id << deg;
      }
    }
    // The 180-point outline of the board helpers and this one agree to a thin rim.
    const cv::Mat coarse = getBoardRegionMask(camera.image_size, h, 170.0);
    cv::Mat differ;
    cv::bitwise_xor(mask, coarse, differ);
    EXPECT_LT(cv::countNonZero(differ), cv::countNonZero(mask) / 200) << camera.id;
  }
}

}  // namespace
}  // namespace tarv
