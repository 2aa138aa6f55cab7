// Light changes and knocked cameras through the exported functions: the round waits, the
// recovery or the realignment takes the board's new look, and darts thrown afterwards score.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;
using Change = std::function<cv::Mat(const cv::Mat&, int camera)>;

class CameraMotion : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tarv_create();
    renderer_ = std::make_unique<scene::Renderer>(scene::defaultRig());
    const scene::SceneImages empty = renderer_->render(scene::Scene{});
    truth_ = empty.truth;
    ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }

  std::vector<json> send(const scene::Scene& scene, const Change& change, int times) {
    const scene::SceneImages shot = renderer_->render(scene);
    std::vector<cv::Mat> frames;
    for (int c = 0; c < 3; ++c) frames.push_back(change(shot.frames[c], c));
    std::vector<json> replies;
    for (int i = 0; i < times; ++i) replies.push_back(call(clock_.detectRequest(frames)));
    return replies;
  }

  // Shows the changed empty board for three seconds, then throws three darts and checks
  // that each is entered once with its true field.
  void expectScoringAfter(const Change& change) {
    for (const json& reply : send(scene::Scene{}, change, 90)) {
      ASSERT_FALSE(reply.contains("error")) << reply.dump();
      EXPECT_TRUE(reply["entries"].empty()) << reply.dump().substr(0, 300);
    }
    scene::SceneRandom rng(17);
    scene::Scene scene;
    for (size_t dart = 1; dart <= 3; ++dart) {
      scene.darts.push_back(scene::randomDart(rng, 160.0));
      const json last = send(scene, change, 4).back();
      ASSERT_EQ(last["entries"].size(), dart) << last.dump().substr(0, 400);
      EXPECT_EQ(last["entries"].back()["selected_field"], renderer_->truth(scene).darts.back().field);
    }
  }

  void* engine_ = nullptr;
  std::unique_ptr<scene::Renderer> renderer_;
  scene::GroundTruth truth_;
  host::FrameClock clock_;
};

cv::Mat moved(const cv::Mat& frame, const cv::Mat& transform) {
  cv::Mat out;
  cv::warpAffine(frame, out, transform, frame.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

TEST_F(CameraMotion, BrighterLightIsTakenNotScored) {
  expectScoringAfter([](const cv::Mat& f, int) {
    cv::Mat out;
    f.convertTo(out, -1, 1.0, 20);
    return out;
  });
}

TEST_F(CameraMotion, MoreGainIsTakenNotScored) {
  expectScoringAfter([](const cv::Mat& f, int) {
    cv::Mat out;
    f.convertTo(out, -1, 1.15, 0);
    return out;
  });
}

TEST_F(CameraMotion, ACameraShiftedByThreePixelsIsRealigned) {
  const json first = send(scene::Scene{}, [](const cv::Mat& f, int c) {
    return c == 1 ? moved(f, cv::Mat(cv::Matx23d(1, 0, 3, 0, 1, 0))) : f.clone();
  }, 1)[0];
  EXPECT_EQ(first["reason"], "CAMERA_REALIGNED");
  EXPECT_TRUE(first["camera_realigned"].contains("CAM_2"));
  expectScoringAfter([](const cv::Mat& f, int c) {
    return c == 1 ? moved(f, cv::Mat(cv::Matx23d(1, 0, 3, 0, 1, 0))) : f.clone();
  });
}

TEST_F(CameraMotion, ACameraTurnedHalfADegreeAboutTheBullStillScores) {
  const cv::Matx33d& h = truth_.cameras[0].board_to_image;
  const cv::Point2f bull(static_cast<float>(h(0, 2) / h(2, 2)), static_cast<float>(h(1, 2) / h(2, 2)));
  const cv::Mat turn = cv::getRotationMatrix2D(bull, 0.5, 1.0);
  expectScoringAfter([&turn](const cv::Mat& f, int c) { return c == 0 ? moved(f, turn) : f.clone(); });
}

TEST_F(CameraMotion, ACameraMovedBeyondTheLimitsIsRefusedWithItsReason) {
  const json reply = send(scene::Scene{}, [](const cv::Mat& f, int c) {
    return c == 2 ? moved(f, cv::getRotationMatrix2D(cv::Point2f(640, 360), 20.0, 1.0)) : f.clone();
  }, 1)[0];
  EXPECT_EQ(reply["status"], "WAIT");
  EXPECT_EQ(reply["reason"], "CAMERA_MOVED");
  ASSERT_TRUE(reply["camera_refused"].contains("CAM_3")) << reply.dump().substr(0, 400);
  EXPECT_FALSE(reply["camera_refused"]["CAM_3"].value("reason", "").empty());
  EXPECT_TRUE(reply["entries"].empty());
}

TEST_F(CameraMotion, ALightChangeDuringATakeoutDoesNotLoseTheDartStillInTheBoard) {
  const Change same = [](const cv::Mat& f, int) { return f.clone(); };
  const Change brighter = [](const cv::Mat& f, int) {
    cv::Mat out;
    f.convertTo(out, -1, 1.0, 20);
    return out;
  };
  scene::SceneRandom rng(23);
  scene::Scene scene;
  for (int dart = 0; dart < 3; ++dart) {
    scene.darts.push_back(scene::randomDart(rng, 150.0));
    send(scene, same, 4);
  }
  scene::Scene withHand = scene;
  withHand.hand = scene::Hand{};
  const scene::SceneImages hand = renderer_->render(withHand);
  for (int i = 0; i < 4; ++i) call(clock_.detectRequest(hand.frames, true));

  // Two darts are out, one stays; the light changes meanwhile.
  scene::Scene oneLeft;
  oneLeft.darts.push_back(scene.darts[1]);
  for (const json& reply : send(oneLeft, brighter, 120)) {
    const std::string status = reply.value("status", "");
    EXPECT_NE(status, "EMPTY_RESET") << reply.dump().substr(0, 300);
    EXPECT_NE(status, "BACKGROUND_REFRESH");
    EXPECT_EQ(reply.value("round", 0), 1);
  }
}

}  // namespace
}  // namespace tarv
