#include "tarv/capture/jpeg_frames.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

using testing::jpegSample;

TEST(JpegFrames, EndOfACompleteJpegIsItsLength) {
  const std::vector<uint8_t> jpeg = jpegSample(64, 48, 10, 10);
  EXPECT_EQ(findJpegEnd(jpeg), jpeg.size());
}

TEST(JpegFrames, BytesAfterTheEndDoNotMoveIt) {
  const std::vector<uint8_t> jpeg = jpegSample(64, 48, 10, 10);
  std::vector<uint8_t> followed = jpeg;
  for (int i = 0; i < 5000; ++i) followed.push_back(static_cast<uint8_t>(i * 13));
  followed.push_back(0xFF);
  followed.push_back(0xD9);
  EXPECT_EQ(findJpegEnd(followed), jpeg.size());
}

TEST(JpegFrames, CutJpegHasNoEnd) {
  const std::vector<uint8_t> jpeg = jpegSample(64, 48, 10, 10);
  std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  EXPECT_EQ(findJpegEnd(cut), 0u);
  cut.resize(cut.size() + 300, 0);
  EXPECT_EQ(findJpegEnd(cut), 0u);
  EXPECT_EQ(findJpegEnd({0xFF, 0xD8}), 0u);
  EXPECT_EQ(findJpegEnd({0x00, 0xD8, 0xFF, 0xD9}), 0u);
}

TEST(JpegFrames, ZeroPaddingStaysAndGarbageIsCut) {
  const std::vector<uint8_t> jpeg = jpegSample(64, 48, 10, 10);
  std::vector<uint8_t> zero_padded = jpeg;
  zero_padded.resize(jpeg.size() + 100, 0);
  EXPECT_EQ(checkJpegFraming(zero_padded), JpegFraming::Intact);
  EXPECT_EQ(zero_padded.size(), jpeg.size() + 100);

  std::vector<uint8_t> garbage = jpeg;
  garbage.insert(garbage.end(), {1, 2, 3, 4, 5});
  EXPECT_EQ(checkJpegFraming(garbage), JpegFraming::Padded);
  EXPECT_EQ(garbage, jpeg);

  std::vector<uint8_t> no_start(jpeg.begin() + 2, jpeg.end());
  EXPECT_EQ(checkJpegFraming(no_start), JpegFraming::Truncated);
}

TEST(JpegFrames, FourccText) {
  EXPECT_EQ(fourccToText(fourccFromText("MJPG")), "MJPG");
  EXPECT_EQ(fourccToText(0), "UNKNOWN");
  EXPECT_EQ(fourccToText(static_cast<double>(0x0147504A)), "0x0147504A");
  EXPECT_EQ(fourccFromText("bad"), fourccFromText("MJPG"));
}

TEST(JpegFrames, FourccTextOfCodesWithTheTopBitSet) {
  EXPECT_EQ(fourccToText(static_cast<double>(0x8147504Du)), "0x8147504D");
  EXPECT_EQ(fourccToText(static_cast<double>(0xFFFFFFFFu)), "0xFFFFFFFF");
  EXPECT_EQ(fourccToText(-1.0), "0xFFFFFFFF");  // as a signed 32-bit property reads back
  EXPECT_EQ(fourccCode(static_cast<double>(0x8147504Du)), 0x8147504Du);
  EXPECT_EQ(fourccToText(std::nan("")), "UNKNOWN");
}

TEST(JpegFrames, SelfTestPasses) { EXPECT_EQ(selftestJpegEnd(), 1); }

}  // namespace
}  // namespace tarv
