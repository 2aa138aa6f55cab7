#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/tarv.h"

namespace {

// A camera that sees the board head-on at 2 pixels per millimetre, bull at (640, 360).
const std::vector<double> kH{2, 0, 640, 0, 2, 360, 0, 0, 1};

// The quarter-size RGB image of that camera with a red spot on the board point (50, -40) mm.
std::vector<uint8_t> quarterImageWithSpot() {
  cv::Mat rgb(180, 320, CV_8UC3, cv::Scalar(40, 40, 40));
  cv::circle(rgb, {160 + 25, 90 - 20}, 4, cv::Scalar(255, 0, 0), cv::FILLED);  // R first
  return {rgb.data, rgb.data + rgb.total() * 3};
}

std::vector<uint8_t> jpeg(const std::vector<uint8_t>& pixels, int width, int height, const double* h,
                          const double* k, const double* d, int32_t& result, uint64_t capacity = 1 << 20) {
  std::vector<uint8_t> out(1 << 20);
  result = tarv_image_jpeg_lens(pixels.data(), width, height, h, k, d, out.data(), capacity);
  out.resize(result > 0 ? result : 0);
  return out;
}

TEST(ImageJpeg, TheBoardViewShowsTheCallersRedWhereItIsOnTheBoard) {
  const std::vector<uint8_t> pixels = quarterImageWithSpot();
  std::vector<uint8_t> out(1 << 20);
  const int32_t n = tarv_image_jpeg(pixels.data(), 320, 180, kH.data(), out.data(), out.size());
  ASSERT_GT(n, 0);
  out.resize(n);
  const cv::Mat view = cv::imdecode(out, cv::IMREAD_COLOR);
  ASSERT_EQ(view.size(), cv::Size(480, 480));
  // 1.2 pixels per millimetre, bull in the centre.
  const cv::Vec3b spot = view.at<cv::Vec3b>(240 - 48, 240 + 60);
  EXPECT_GT(spot[2], 200);
  EXPECT_LT(spot[0], 60);
  EXPECT_LT(view.at<cv::Vec3b>(240 + 48, 240 - 60)[2], 80);
}

TEST(ImageJpeg, WithoutHTheImageAsItIsAndKOrDAloneIgnored) {
  const std::vector<uint8_t> pixels = quarterImageWithSpot();
  const std::vector<double> k{800, 0, 640, 0, 800, 360, 0, 0, 1};
  const std::vector<double> d{0.1, 0, 0, 0, 0};
  int32_t plain = 0, withK = 0, withD = 0, raw = 0;
  const auto a = jpeg(pixels, 320, 180, kH.data(), nullptr, nullptr, plain);
  EXPECT_EQ(jpeg(pixels, 320, 180, kH.data(), k.data(), nullptr, withK), a);
  EXPECT_EQ(jpeg(pixels, 320, 180, kH.data(), nullptr, d.data(), withD), a);
  const auto unwarped = jpeg(pixels, 320, 180, nullptr, k.data(), d.data(), raw);
  ASSERT_GT(raw, 0);
  const cv::Mat image = cv::imdecode(unwarped, cv::IMREAD_COLOR);
  EXPECT_EQ(image.size(), cv::Size(320, 180));
  EXPECT_GT(image.at<cv::Vec3b>(70, 185)[2], 200);  // R, G, B in, B, G, R out
  int32_t lens = 0;
  EXPECT_GT(jpeg(pixels, 320, 180, kH.data(), k.data(), d.data(), lens).size(), 0u);
}

TEST(ImageJpeg, BadArgumentsAndInvalidMatrices) {
  const std::vector<uint8_t> pixels(1025 * 769 * 3, 0);
  std::vector<uint8_t> out(1 << 20);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 1025, 100, nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 100, 769, nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 0, 10, nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(tarv_image_jpeg(nullptr, 10, 10, nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 10, 10, nullptr, nullptr, out.size()), -1);
  const std::vector<double> singular{1, 0, 0, 0, 1e-13, 0, 0, 0, 1};
  const std::vector<double> nan{1, 0, 0, 0, std::nan(""), 0, 0, 0, 1};
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 320, 180, singular.data(), out.data(), out.size()), -2);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 320, 180, nan.data(), out.data(), out.size()), -2);
  const std::vector<double> k{800, 0, 640, 0, 800, 360, 0, 0, 1};
  const std::vector<double> badD{0, std::nan(""), 0, 0, 0};
  EXPECT_EQ(tarv_image_jpeg_lens(pixels.data(), 320, 180, kH.data(), k.data(), badD.data(), out.data(),
                                 out.size()),
            -2);
  const int32_t n = tarv_image_jpeg(pixels.data(), 320, 180, kH.data(), out.data(), out.size());
  ASSERT_GT(n, 0);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 320, 180, kH.data(), out.data(), n - 1), -4);
  EXPECT_EQ(tarv_image_jpeg(pixels.data(), 320, 180, kH.data(), out.data(), n), n);
}

TEST(CaptureJpeg, RefusesBadRadiiAndAnswersMissingForACameraWithoutFrames) {
  std::vector<uint8_t> out(1 << 16);
  const double now = tarv_monotonic_seconds();
  EXPECT_EQ(tarv_capture_jpeg_lens(2, 1, 1280, 720, now, kH.data(), nullptr, nullptr, 199.9,
                                   out.data(), out.size()), -1);
  EXPECT_EQ(tarv_capture_jpeg_lens(2, 1, 1280, 720, now, kH.data(), nullptr, nullptr, 350.1,
                                   out.data(), out.size()), -1);
  EXPECT_EQ(tarv_capture_jpeg_lens(3, 1, 1280, 720, now, kH.data(), nullptr, nullptr, 250.0,
                                   out.data(), out.size()), -1);
  EXPECT_EQ(tarv_capture_jpeg_lens(2, 1, 1280, 720, now, kH.data(), nullptr, nullptr, 250.0,
                                   out.data(), out.size()), -6);
}

}  // namespace
