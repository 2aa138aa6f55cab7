// Real webcam frames through tarv_call: a three-camera rig armed with its frames before a dart,
// then sent its frames with the dart as a host sends them, the whole frame's light scaled by
// one factor.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/tarv.h"

namespace {

using json = nlohmann::json;

const std::string kFrames = TARV_REAL_FRAMES;
// Grains stamped on each camera's board beside a dart: six of 6x6 pixels, 50 levels off.
constexpr int kSpecks = 6;
constexpr int kSpeckStep = 50;

json descriptors(const std::vector<cv::Mat>& frames) {
  json images = json::array();
  for (const cv::Mat& f : frames) {
    images.push_back({{"pointer", reinterpret_cast<uintptr_t>(f.data)}, {"width", f.cols}, {"height", f.rows},
                      {"length", f.total() * 3}});
  }
  return images;
}

// Board-to-image rows from the outer double wire crossings 20/1, 6/10, 3/19, 11/14.
json calibrationFromCrossings(const json& points) {
  const double pi = 3.14159265358979323846;
  std::vector<cv::Point2f> board, image;
  for (int k = 0; k < 4; ++k) {
    const double a = (9.0 + 90.0 * k) * pi / 180.0;
    board.emplace_back(static_cast<float>(170.0 * std::sin(a)), static_cast<float>(-170.0 * std::cos(a)));
    image.emplace_back(points[k][0].get<float>(), points[k][1].get<float>());
  }
  const cv::Matx33d h(cv::getPerspectiveTransform(board, image));
  json rows = json::array();
  for (int r = 0; r < 3; ++r) rows.push_back({h(r, 0), h(r, 1), h(r, 2)});
  return rows;
}

struct Outcome {
  std::vector<std::string> entered;
  int leftToPlayer = 0;
};

// Each frame's light scaled by one factor, as an exposure step or a lamp would.
std::vector<cv::Mat> scaledLight(const std::vector<cv::Mat>& frames, double gain) {
  std::vector<cv::Mat> lit;
  for (const cv::Mat& f : frames) {
    cv::Mat g;
    f.convertTo(g, -1, gain, 0.0);
    lit.push_back(g);
  }
  return lit;
}

// The frames with the dart sent `calls` times at 30 a second, as a host polls an armed engine:
// the fields entered and the darts left to the player.
Outcome sendThrow(void* engine, const std::vector<cv::Mat>& frames, int calls) {
  Outcome o;
  double now = 100.0;
  for (int i = 0; i < calls; ++i) {
    now += 1.0 / 30.0;
    const json request = {{"command", "detect"}, {"images", descriptors(frames)}, {"times", {now, now, now}}, {"epoch", 0}};
    const json r = json::parse(tarv_call(engine, request.dump().c_str()));
    if (r.value("status", "") == "DART_CANDIDATE") o.entered.push_back(r["entries"].back()["field"].value("label", ""));
    if (r.value("reason", "") == "UNRESOLVED_DART_LEFT_TO_PLAYER") ++o.leftToPlayer;
  }
  return o;
}

class RealThrow : public ::testing::TestWithParam<double> {
 protected:
  void SetUp() override {
    std::ifstream in(kFrames + "/frames.json");
    ASSERT_TRUE(in.good());
    doc_ = json::parse(in);
    for (const char* camera : {"0", "2", "4"}) {
      before_.push_back(cv::imread(kFrames + "/1609431588_8e2aa1a7_before_" + camera + ".jpg"));
      after_.push_back(cv::imread(kFrames + "/1609431588_8e2aa1a7_after_" + camera + ".jpg"));
      ASSERT_FALSE(before_.back().empty());
      ASSERT_FALSE(after_.back().empty());
    }
    for (const json& points : doc_["crossings"]["points"]) calibrations_.push_back(calibrationFromCrossings(points));
    engine_ = tarv_create();
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }

  // Small specks stamped onto the board of each camera's frame with the dart, far from it: the
  // grains of a noisy sensor over dark beds, each too small to be a dart.
  void stampSpecks(std::vector<cv::Mat>& frames) {
    for (size_t c = 0; c < frames.size(); ++c) {
      const json& h = calibrations_[c];
      for (int k = 0; k < kSpecks; ++k) {
        const double a = (10.0 + 9.0 * k) * 3.14159265358979323846 / 180.0, r = 60.0 + 7.0 * k;
        const double x = r * std::sin(a), y = -r * std::cos(a);
        const double w = h[2][0].get<double>() * x + h[2][1].get<double>() * y + h[2][2].get<double>();
        const double u = (h[0][0].get<double>() * x + h[0][1].get<double>() * y + h[0][2].get<double>()) / w;
        const double v = (h[1][0].get<double>() * x + h[1][1].get<double>() * y + h[1][2].get<double>()) / w;
        const cv::Rect speck(static_cast<int>(u) - 3, static_cast<int>(v) - 3, 6, 6);
        cv::Mat patch = frames[c](speck & cv::Rect(0, 0, frames[c].cols, frames[c].rows));
        patch.forEach<cv::Vec3b>([](cv::Vec3b& p, const int*) {
          for (int ch = 0; ch < 3; ++ch) p[ch] = static_cast<uchar>(p[ch] > 127 ? p[ch] - kSpeckStep : p[ch] + kSpeckStep);
        });
      }
    }
  }

  Outcome throwWithLight(double gain, bool specks = false) {
    const json armed = call({{"command", "arm"}, {"images", descriptors(before_)}, {"calibrations", calibrations_}});
    EXPECT_EQ(armed.value("status", ""), "READY") << armed.dump();
    std::vector<cv::Mat> lit = scaledLight(after_, gain);
    if (specks) stampSpecks(lit);
    return sendThrow(engine_, lit, 12);
  }

  // Each camera's count of the dart's changed pixels on the first frame with the dart.
  std::vector<int> dartPixelsWithLight(double gain) {
    call({{"command", "arm"}, {"images", descriptors(before_)}, {"calibrations", calibrations_}});
    const std::vector<cv::Mat> lit = scaledLight(after_, gain);
    const json r = call({{"command", "detect"}, {"images", descriptors(lit)}, {"times", {100.0, 100.0, 100.0}}, {"epoch", 0}});
    std::vector<int> pixels;
    for (const char* id : {"CAM_1", "CAM_2", "CAM_3"}) pixels.push_back(r["cameras"][id].value("dart_pixels", -1));
    return pixels;
  }

  json doc_;
  std::vector<cv::Mat> before_, after_;
  json calibrations_ = json::array();
  void* engine_ = nullptr;
};

// A camera close to the dart sees its flight large beside the point the others place; that
// rest of its change is the same dart, and with a light step on the frame a faint edge in a
// second camera beside it is no second dart either: one dart lands, one is entered.
TEST_P(RealThrow, OneDartEnteredAndNoneLeftThatNoCameraSawLand) {
  const Outcome o = throwWithLight(GetParam());
  ASSERT_EQ(o.entered.size(), 1u);
  EXPECT_EQ(o.entered[0], doc_["throw"]["truth"].get<std::string>());
  EXPECT_EQ(o.leftToPlayer, 0);
}

// A brighter light raises the sensor's noise with the picture: after the references are
// re-lit to it, the dart's change is measured against a level raised with the light, so the
// dark beds' noise does not grow into the dart's change in any camera.
TEST_F(RealThrow, ABrighterLightLeavesEachCamerasDartChangeAsInTheLightOfTheEmptyBoard) {
  const std::vector<int> same = dartPixelsWithLight(1.0);
  tarv_destroy(engine_);
  engine_ = tarv_create();
  const std::vector<int> brighter = dartPixelsWithLight(1.15);
  for (int i = 0; i < 3; ++i) {
    ASSERT_GT(same[i], 0) << "camera " << i;
    EXPECT_LT(brighter[i], same[i] * 5 / 4) << "camera " << i << ": " << brighter[i] << " against " << same[i];
  }
}

// Grains of a noisy sensor beside the dart are each too small to be a dart, however many: the
// dart is entered and the board with it taken whole, so the grains never come back as a
// second dart left to the player.
TEST_P(RealThrow, GrainsBesideTheDartAreNoSecondDart) {
  const Outcome o = throwWithLight(GetParam(), true);
  ASSERT_EQ(o.entered.size(), 1u);
  EXPECT_EQ(o.entered[0], doc_["throw"]["truth"].get<std::string>());
  EXPECT_EQ(o.leftToPlayer, 0);
}

INSTANTIATE_TEST_SUITE_P(LightFactors, RealThrow, ::testing::Values(1.0, 0.85, 1.15));

// A dart the cameras place apart, brighter light than the empty board: the cameras agree on
// no tip, and after a while it is entered on its stable field alone. One noisy camera's view
// of it lies away from the entered point and stays beside it, and nothing lands after: that
// change is the entered dart's, never a second dart handed to the player.
TEST(RealUndecidedThrow, WhatAStableFieldEntryLeavesBesideItIsNoSecondDart) {
  std::ifstream in(kFrames + "/frames.json");
  ASSERT_TRUE(in.good());
  const json doc = json::parse(in)["undecided_throw"];
  const std::string name = doc["name"].get<std::string>();
  std::vector<cv::Mat> before, after;
  json calibrations = json::array();
  for (const char* camera : {"0", "2", "4"}) {
    before.push_back(cv::imread(kFrames + "/" + name + "_before_" + camera + ".jpg"));
    after.push_back(cv::imread(kFrames + "/" + name + "_after_" + camera + ".jpg"));
    ASSERT_FALSE(before.back().empty() || after.back().empty());
  }
  for (const json& points : doc["crossings"]) calibrations.push_back(calibrationFromCrossings(points));
  void* engine = tarv_create();
  const json request = {{"command", "arm"}, {"images", descriptors(before)}, {"calibrations", calibrations}};
  ASSERT_EQ(json::parse(tarv_call(engine, request.dump().c_str())).value("status", ""), "READY");
  const Outcome o = sendThrow(engine, scaledLight(after, 1.15), 40);
  const int entered = static_cast<int>(o.entered.size()), leftToPlayer = o.leftToPlayer;
  tarv_destroy(engine);
  // One dart landed: entered, or left to the player, once.
  EXPECT_EQ(entered + leftToPlayer, 1) << entered << " entered, " << leftToPlayer << " left to the player";
}

}  // namespace
