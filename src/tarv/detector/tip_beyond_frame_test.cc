#include "tarv/detector/tip_beyond_frame.h"

#include <gtest/gtest.h>

namespace tarv {
namespace {

const std::array<cv::Size, 3> kSizes{cv::Size(1280, 720), cv::Size(1280, 720), cv::Size(1280, 720)};

// Board millimetres to pixels: pixel = (sx·x + ox, y + oy).
Homography affine(double sx, double ox, double oy) { return {sx, 0.0, ox, 0.0, 1.0, oy, 0.0, 0.0, 1.0}; }

// A camera's shaft record whose tip vote sits at the pixel, its axis running flight to tip
// along the direction.
json viewWithAxis(const Homography& h, cv::Point2d pixel, cv::Point2d direction) {
  const double det = h[0] * h[4];
  const Point2 board{(pixel.x - h[2]) * h[4] / det, (pixel.y - h[5]) * h[0] / det};
  return {{"observations", json::array({{{"axis_valid", true}, {"direction_xy", {direction.x, direction.y}}}})},
          {"votes", json::array({{{"abstention", false},
                                  {"axis_index", 0},
                                  {"axis_valid", true},
                                  {"tip_valid", true},
                                  {"pixel_error", 7.0},
                                  {"image_point", {pixel.x, pixel.y}},
                                  {"point", pointToJson(board)}}})}};
}

json noView() { return {{"observations", json::array()}, {"votes", json::array({{{"abstention", true}}})}}; }

TEST(TipBeyondFrame, ADartOutOfTheBottomFarOutIsAMiss) {
  const std::array<Homography, 3> hs{affine(1.0, 640.0, 360.0), affine(1.0, 640.0, 0.0), affine(1.0, 640.0, 360.0)};
  // Leaves camera 2's frame at the bottom 719 mm below the bull and heads further out.
  const std::array<json, 3> views{noView(), viewWithAxis(hs[1], {651.0, 719.0}, {-0.04, 0.999}), noView()};
  const json beyond = tipBeyondFrameEdge(views, hs, kSizes, 178.0);
  ASSERT_TRUE(beyond.is_object());
  EXPECT_EQ(beyond["camera"], "CAM_2");
  EXPECT_NEAR(beyond["point"][1].get<double>(), 719.0, 1e-6);
  EXPECT_GE(beyond["nearest_mm"].get<double>(), 178.0);
}

TEST(TipBeyondFrame, ATipInsideTheFrameIsTheSolversToJudge) {
  const std::array<Homography, 3> hs{affine(1.0, 640.0, 360.0), affine(1.0, 640.0, 0.0), affine(1.0, 640.0, 360.0)};
  const std::array<json, 3> views{noView(), viewWithAxis(hs[1], {651.0, 600.0}, {0.0, 1.0}), noView()};
  EXPECT_TRUE(tipBeyondFrameEdge(views, hs, kSizes, 178.0).is_null());
}

TEST(TipBeyondFrame, AnAxisThatTurnsBackIntoTheFrameLeavesNothing) {
  const std::array<Homography, 3> hs{affine(1.0, 640.0, 360.0), affine(1.0, 640.0, 0.0), affine(1.0, 640.0, 360.0)};
  const std::array<json, 3> views{noView(), viewWithAxis(hs[1], {651.0, 719.0}, {0.0, -1.0}), noView()};
  EXPECT_TRUE(tipBeyondFrameEdge(views, hs, kSizes, 178.0).is_null());
}

// Out of the right edge 233 mm from the bull, but the line beyond passes 100 mm from it: the
// tip may lie on the board.
TEST(TipBeyondFrame, ALineThatComesBackOverTheBoardLeavesNothing) {
  const std::array<Homography, 3> hs{affine(2.0, 1700.0, 360.0), affine(1.0, 640.0, 0.0), affine(1.0, 640.0, 360.0)};
  const std::array<json, 3> views{viewWithAxis(hs[0], {1279.0, 460.0}, {1.0, 0.0}), noView(), noView()};
  EXPECT_TRUE(tipBeyondFrameEdge(views, hs, kSizes, 178.0).is_null());
}

TEST(TipBeyondFrame, ASecondCameraWithAnAxisLeavesItToTheLines) {
  const std::array<Homography, 3> hs{affine(1.0, 640.0, 360.0), affine(1.0, 640.0, 0.0), affine(1.0, 640.0, 360.0)};
  const std::array<json, 3> views{viewWithAxis(hs[0], {700.0, 500.0}, {0.0, 1.0}),
                                  viewWithAxis(hs[1], {651.0, 719.0}, {0.0, 1.0}), noView()};
  EXPECT_TRUE(tipBeyondFrameEdge(views, hs, kSizes, 178.0).is_null());
}

}  // namespace
}  // namespace tarv
