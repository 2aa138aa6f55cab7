#include "tarv/autocal/colour_free.h"

#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/landmark_test_scene.h"

namespace tarv {
namespace {

cv::Mat renderedBoard() {
  static const cv::Mat image = testing::scriptedCamera(testing::landmarkTestCameraSpec()).image;
  return image.clone();
}

cv::Mat turnedGrey(const cv::Mat& image) {
  cv::Mat grey, out;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, out, cv::COLOR_GRAY2BGR);
  return out;
}

// Every channel scaled (B, G, R), as a tinted light or a toned print does.
cv::Mat tinted(const cv::Mat& image, cv::Scalar gain) {
  std::vector<cv::Mat> ch;
  cv::split(image, ch);
  for (int c = 0; c < 3; ++c) ch[c].convertTo(ch[c], CV_8U, gain[c]);
  cv::Mat out;
  cv::merge(ch, out);
  return out;
}

TEST(ColourFree, ARenderedBoardIsColouredInDimWarmAndColdLight) {
  const cv::Mat board = renderedBoard();
  for (const cv::Scalar& light : {cv::Scalar(1, 1, 1), cv::Scalar(0.35, 0.35, 0.35), cv::Scalar(0.55, 0.85, 1.25),
                                  cv::Scalar(1.25, 0.95, 0.7), cv::Scalar(0.4, 0.3, 0.25)}) {
    const cv::Mat image = tinted(board, light);
    EXPECT_GE(offTintShare(image), 3.0 * kColourFreeShare) << light;
    EXPECT_FALSE(isColourFree(image)) << light;
  }
}

TEST(ColourFree, TheSameBoardGreySepiaOrToneTintedIsColourFree) {
  const cv::Mat grey = turnedGrey(renderedBoard());
  EXPECT_EQ(offTintShare(grey), 0.0);
  EXPECT_TRUE(isColourFree(grey));
  for (const cv::Scalar& tone : {cv::Scalar(0.66, 0.86, 1.0), cv::Scalar(1.0, 0.93, 0.85), cv::Scalar(0.5, 0.5, 0.5)}) {
    EXPECT_TRUE(isColourFree(tinted(grey, tone))) << tone;
  }
}

TEST(ColourFree, AnImageTooDarkToJudgeOrNotBgrIsTakenAsColoured) {
  EXPECT_FALSE(isColourFree(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(20))));
  EXPECT_FALSE(isColourFree(cv::Mat(480, 640, CV_8UC1, cv::Scalar::all(128))));
  EXPECT_FALSE(isColourFree(cv::Mat()));
  EXPECT_TRUE(isColourFree(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128))));
}

}  // namespace
}  // namespace tarv
