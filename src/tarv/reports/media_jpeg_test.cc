#include "tarv/reports/media_jpeg.h"

#include <cmath>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

using testing::renderedRound;

struct FakeSlot {
  cv::Mat frame;
  double received = 10.0;
  double now = 10.1;
  double receivedAfterCopy = 10.0;
  int copies = 0;

  CapturedFrameAccess access() {
    return {[this](uint32_t, int32_t sequence) { return sequence == 7 ? (copies ? receivedAfterCopy : received) : -1.0; },
            [this](uint32_t, int32_t sequence, uint8_t* dst, uint64_t size) -> int32_t {
              if (sequence != 7 || size != frame.total() * 3) return 0;
              std::memcpy(dst, frame.data, size);
              ++copies;
              return 1;
            },
            [this] { return now; }};
  }
};

std::vector<double> homographyValues(std::size_t camera) {
  const Homography h = renderedRound().homography(camera);
  return {h.begin(), h.end()};
}

int32_t capture(FakeSlot& slot, const double* H, const double* K, const double* D, double radius,
                std::vector<uchar>& out, double seconds = 10.0, uint64_t capacity = 4 << 20) {
  out.assign(4 << 20, 0);
  const int32_t n = captureJpegLens(slot.access(), 0, 7, slot.frame.cols, slot.frame.rows, seconds, H, K, D,
                                    radius, out.data(), capacity);
  out.resize(n > 0 ? n : 0);
  return n;
}

// The colour class of the front view at a board point, for a view of the given side and radius.
cv::Vec3b atBoardPoint(const cv::Mat& view, double x, double y, double radius) {
  const double scale = view.cols / (2.0 * radius);
  return view.at<cv::Vec3b>(static_cast<int>(std::lround(view.rows / 2.0 + y * scale)),
                            static_cast<int>(std::lround(view.cols / 2.0 + x * scale)));
}

bool isRed(const cv::Vec3b& c) { return c[2] > 120 && c[2] > 2 * c[1]; }
bool isGreen(const cv::Vec3b& c) { return c[1] > 90 && c[1] > 1.4 * c[2]; }

TEST(LensRecord, TheApp15SegmentFollowsTheStartOfImage) {
  FakeSlot slot;
  slot.frame = renderedRound().empty[0];
  const std::vector<double> h = homographyValues(0);
  std::vector<uchar> jpeg;
  ASSERT_GT(capture(slot, h.data(), nullptr, nullptr, 225.0, jpeg), 0);
  const std::string text = "TARV:{\"v\":1,\"radiusMm\":225.000000,\"doubleRadiusMm\":170}";
  ASSERT_EQ(text.size(), 55u);
  EXPECT_EQ(std::vector<uchar>(jpeg.begin(), jpeg.begin() + 6),
            (std::vector<uchar>{0xFF, 0xD8, 0xFF, 0xEF, 0x00, 0x39}));
  EXPECT_EQ(std::string(jpeg.begin() + 6, jpeg.begin() + 61), text);
  EXPECT_EQ(jpeg[61], 0xFF);  // the encoder's own segments follow unchanged

  const cv::Mat view = cv::imdecode(jpeg, cv::IMREAD_COLOR);
  testing::keepForViewing("tarv-media-capture-view.png", view);
  ASSERT_EQ(view.size(), cv::Size(960, 960));
  // The board seen from the front, centred, 225 mm to each edge.
  EXPECT_TRUE(isRed(atBoardPoint(view, 0, -102, 225)));    // treble 20
  EXPECT_TRUE(isGreen(atBoardPoint(view, 102, 0, 225)));   // treble 6
  EXPECT_TRUE(isRed(atBoardPoint(view, 0, 0, 225)));       // bull
  EXPECT_TRUE(isGreen(atBoardPoint(view, 0, 12, 225)));    // 25
}

TEST(LensRecord, TheLensIsTakenOutWithKAndD) {
  std::vector<scene::CameraSpec> rig = scene::defaultRig();
  rig[0].k1 = -0.18;
  const scene::Renderer renderer(rig);
  const scene::SceneImages shot = renderer.render({});
  const scene::CameraTruth& truth = shot.truth.cameras[0];
  std::vector<double> h(truth.board_to_image.val, truth.board_to_image.val + 9);
  std::vector<double> k(truth.K.val, truth.K.val + 9);
  const std::vector<double> d{-0.18, 0, 0, 0, 0};
  FakeSlot slot;
  slot.frame = shot.frames[0];
  std::vector<uchar> jpeg;
  ASSERT_GT(capture(slot, h.data(), k.data(), d.data(), 200.0, jpeg), 0);
  const cv::Mat view = cv::imdecode(jpeg, cv::IMREAD_COLOR);
  testing::keepForViewing("tarv-media-capture-lens.png", view);
  // Near the edge of the board the distortion moves the image by many millimetres; with the
  // lens taken out the double ring lies where it belongs all round.
  for (int k20 = 0; k20 < 20; ++k20) {
    const double a = k20 * 18.0 * M_PI / 180.0;
    const cv::Vec3b c = atBoardPoint(view, 165 * std::sin(a), -165 * std::cos(a), 200);
    EXPECT_TRUE(k20 % 2 ? isGreen(c) : isRed(c)) << k20;
  }
}

TEST(CaptureJpeg, RefusesStaleReplacedOrBadRequests) {
  FakeSlot slot;
  slot.frame = cv::Mat(90, 160, CV_8UC3, cv::Scalar(1, 2, 3));
  const std::vector<double> h = homographyValues(0);
  const std::vector<double> k{900, 0, 80, 0, 900, 45, 0, 0, 1};
  const std::vector<double> d{0, 0, 0, 0, 0};
  std::vector<uchar> jpeg;
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, 199.9, jpeg), -1);
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, 350.1, jpeg), -1);
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, std::nan(""), jpeg), -1);
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, 225, jpeg, 0.0), -6);
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, 225, jpeg, 9.9), -6);  // not this frame
  slot.now = 10.6;
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, 225, jpeg), -6);  // 0.6 s old
  slot.now = 10.1;
  slot.receivedAfterCopy = 10.05;
  EXPECT_EQ(capture(slot, h.data(), nullptr, nullptr, 225, jpeg), -6);  // replaced while copying
  slot.receivedAfterCopy = 10.0;
  slot.copies = 0;
  EXPECT_EQ(capture(slot, h.data(), k.data(), nullptr, 225, jpeg), -5);  // K without D

  // K and D without H: the frame as it is, no lens record.
  const int32_t n = capture(slot, nullptr, k.data(), d.data(), 225, jpeg);
  ASSERT_GT(n, 0);
  EXPECT_NE(jpeg[3], 0xEF);
  EXPECT_EQ(cv::imdecode(jpeg, cv::IMREAD_COLOR).size(), cv::Size(160, 90));
  EXPECT_EQ(capture(slot, nullptr, nullptr, nullptr, 225, jpeg, 10.0, n - 1), -4);
  EXPECT_EQ(capture(slot, nullptr, nullptr, nullptr, 225, jpeg, 10.0, n), n);

  const std::vector<double> singular{1, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(capture(slot, singular.data(), nullptr, nullptr, 225, jpeg), -5);
}

TEST(CaptureJpeg, WideFramesAreReducedToNineHundredSixtyPixels) {
  const cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(9, 9, 9));
  const cv::Mat reduced = prepareMediaImage(frame, 0, nullptr, nullptr, nullptr, 960, 225);
  EXPECT_EQ(reduced.size(), cv::Size(960, 540));
}

// The maps are about 7 MB per camera; kept per thread they grew with every host thread.
TEST(CaptureJpeg, AllThreadsShareOneSetOfMapsPerCamera) {
  const cv::Mat frame = renderedRound().empty[1];
  const std::vector<double> h = homographyValues(1);
  const cv::Mat first = prepareMediaImage(frame, 1, h.data(), nullptr, nullptr, 480, 210);
  const uint64_t builds = mediaMapBuildCount();
  std::vector<std::thread> threads;
  std::vector<cv::Mat> views(6);
  for (std::size_t i = 0; i < views.size(); ++i) {
    threads.emplace_back([&, i] { views[i] = prepareMediaImage(frame, 1, h.data(), nullptr, nullptr, 480, 210); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mediaMapBuildCount(), builds);
  for (const cv::Mat& view : views) EXPECT_EQ(cv::norm(view, first, cv::NORM_INF), 0.0);
  prepareMediaImage(frame, 1, h.data(), nullptr, nullptr, 480, 211);  // another radius
  EXPECT_EQ(mediaMapBuildCount(), builds + 1);
}

}  // namespace
}  // namespace tarv
