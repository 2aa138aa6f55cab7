// What the evaluation keeps of a change it watches: the frame history, the held frames and
// the history records; the flat light patch that is no dart; the motion round the board.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/detector/rig_engine_test_support.h"
#include "tarv/detector/watched_change.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

// The frames with the board's light raised by the gain inside a disc round a board point.
std::vector<cv::Mat> withLightPatch(const scene::SceneImages& shot, cv::Point2d centreMm, double radiusMm, double gain) {
  std::vector<cv::Mat> frames;
  for (size_t i = 0; i < shot.frames.size(); ++i) {
    // The board moved so that the disc's centre is its origin.
    const cv::Matx33d m =
        shot.truth.cameras[i].board_to_image * cv::Matx33d(1, 0, centreMm.x, 0, 1, centreMm.y, 0, 0, 1);
    Homography h;
    for (int k = 0; k < 9; ++k) h[k] = m.val[k];
    const cv::Mat disc = getBoardRegionMask(shot.frames[i].size(), h, radiusMm);
    cv::Mat frame = shot.frames[i].clone();
    cv::Mat brighter;
    shot.frames[i].convertTo(brighter, -1, gain, 0.0);
    brighter.copyTo(frame, disc);
    frames.push_back(frame);
  }
  return frames;
}

// A soft spot of light (gain above 1) or shadow on the board.
struct Patch {
  cv::Point2d centre;
  double diameter;
  double gain;
};

// An engine of its own, armed on the default empty board.
class ArmedEngine {
 public:
  ArmedEngine() : engine_(tarv_create()) {
    const scene::SceneImages& empty = scene::defaultEmptyBoard();
    armed_ = call(host::armRequest(empty.truth, empty.frames)).value("status", "") == "READY";
  }
  ~ArmedEngine() { tarv_destroy(engine_); }
  ArmedEngine(const ArmedEngine&) = delete;
  ArmedEngine& operator=(const ArmedEngine&) = delete;
  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  bool armed() const { return armed_; }

 private:
  void* engine_;
  bool armed_ = false;
};

class Watched : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tarv_create();
    const scene::SceneImages& empty = scene::defaultEmptyBoard();
    ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  }
  void TearDown() override { tarv_destroy(engine_); }
  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  Round& round() { return static_cast<Engine*>(engine_)->round; }

  void* engine_ = nullptr;
  host::FrameClock clock_;
};

TEST(WatchedChange, TheHistoryKeepsTheNewestTwoTripletsAndTwoRecords) {
  Round round;
  const std::vector<cv::Mat> frames(3, cv::Mat(8, 8, CV_8UC3, cv::Scalar(10, 20, 30)));
  const std::array<cv::Mat, 3> masks = {cv::Mat(8, 8, CV_8UC1, cv::Scalar(255)), cv::Mat(), cv::Mat::zeros(8, 8, CV_8UC1)};
  for (int call = 0; call < 3; ++call) {
    recordWatchedChange(round, frames, masks, {{"status", "SETTLING"}, {"reason", "R" + std::to_string(call)}},
                        1.0 + call);
  }
  EXPECT_EQ(round.frameHistory.size(), kFrameHistoryLimit);
  EXPECT_EQ(round.historyRecord1["reason"], "R2");
  EXPECT_EQ(round.historyRecord2["reason"], "R1");
  EXPECT_EQ(round.historyRecord1["pixels"]["CAM_1"], 64);
  EXPECT_DOUBLE_EQ(round.historyTime, 3.0);
  // The held frames are the round's own copies.
  EXPECT_NE(round.heldFrames[0].data, frames[0].data);
  resetFrameHistory(round);
  EXPECT_TRUE(round.frameHistory.empty());
  EXPECT_TRUE(round.historyRecord1.is_null());
}

std::array<LightPatchView, 3> viewsOf(const std::array<cv::Mat, 3>& frames, const std::array<cv::Mat, 3>& backgrounds,
                                      const std::array<cv::Mat, 3>& masks, const scene::GroundTruth& truth) {
  std::array<LightPatchView, 3> views;
  for (int i = 0; i < 3; ++i) {
    views[i] = lightPatchView(frames[i], backgrounds[i], masks[i], host::homographyOf(truth.cameras[i].board_to_image));
  }
  return views;
}

// The cameras' views judged as a patch of light, by either test or by the flat one alone.
bool lightPatchFromViews(const std::array<cv::Mat, 3>& frames, const std::array<cv::Mat, 3>& backgrounds,
                         const std::array<cv::Mat, 3>& masks, const scene::GroundTruth& truth) {
  return isLightPatch(viewsOf(frames, backgrounds, masks, truth));
}

bool isFlatLightPatch(const std::array<cv::Mat, 3>& frames, const std::array<cv::Mat, 3>& backgrounds,
                      const std::array<cv::Mat, 3>& masks, const scene::GroundTruth& truth) {
  std::array<LightPatchView, 3> views = viewsOf(frames, backgrounds, masks, truth);
  for (LightPatchView& view : views) view.soft = Flatness::kUnknown;
  return isLightPatch(views);
}

TEST(WatchedChange, ALightPatchIsFlatADartIsNot) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  const std::vector<cv::Mat> patched = withLightPatch(empty, {40.0, -60.0}, 14.0, 1.3);
  std::array<cv::Mat, 3> frames, backgrounds, masks;
  for (int i = 0; i < 3; ++i) {
    frames[i] = patched[i];
    backgrounds[i] = empty.frames[i];
    cv::Mat difference;
    cv::absdiff(frames[i], backgrounds[i], difference);
    cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
    masks[i] = difference > 16;
  }
  EXPECT_TRUE(isFlatLightPatch(frames, backgrounds, masks, empty.truth));
  EXPECT_TRUE(lightPatchFromViews(frames, backgrounds, masks, empty.truth));

  scene::Scene scene;
  scene.darts.push_back({{40.0, -60.0}, scene::frontDirection(15.0, 30.0)});
  const scene::SceneImages shot = scene::defaultRenderer().render(scene);
  for (int i = 0; i < 3; ++i) {
    frames[i] = shot.frames[i];
    cv::Mat difference;
    cv::absdiff(frames[i], backgrounds[i], difference);
    cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
    masks[i] = difference > 16;
  }
  EXPECT_FALSE(isFlatLightPatch(frames, backgrounds, masks, empty.truth));
  EXPECT_FALSE(lightPatchFromViews(frames, backgrounds, masks, empty.truth));
  EXPECT_FALSE(isFlatLightPatch(frames, backgrounds, {cv::Mat(), cv::Mat(), cv::Mat()}, empty.truth));
  EXPECT_FALSE(lightPatchFromViews(frames, backgrounds, {cv::Mat(), cv::Mat(), cv::Mat()}, empty.truth));
}

// A settling change fills the frame history, so a motion-bouncer review waits for it; a
// quiet board empties it again.
TEST_F(Watched, ASettlingDartIsWatchedUntilItIsDecided) {
  scene::Scene scene;
  scene.darts.push_back({{-60.0, 40.0}, scene::frontDirection(20.0, 60.0)});
  const scene::SceneImages shot = scene::defaultRenderer().render(scene);
  const json first = call(clock_.detectRequest(shot.frames));
  ASSERT_EQ(first.value("status", ""), "SETTLING");
  EXPECT_EQ(round().frameHistory.size(), 3u);
  EXPECT_EQ(round().historyRecord1["status"], "SETTLING");
  EXPECT_FALSE(round().heldFrames[0].empty());
  // A motion-bouncer review meanwhile waits for the decision.
  std::vector<cv::Mat> six = shot.frames;
  six.insert(six.end(), shot.frames.begin(), shot.frames.end());
  const double t = clock_.now();
  const json review = call({{"command", "motion_bouncer"}, {"images", host::imageDescriptors(six)},
                            {"times", {t - 0.2, t - 0.2, t - 0.2}}, {"current_times", {t, t, t}}});
  EXPECT_EQ(review.value("reason", ""), "DECISION_PENDING") << review.dump().substr(0, 300);
  ASSERT_EQ(call(clock_.detectRequest(shot.frames)).value("status", ""), "DART_CANDIDATE");
  EXPECT_TRUE(round().frameHistory.empty());
}

// A flat patch of light on the board is no dart: the reply says so and nothing is entered.
TEST_F(Watched, AFlatLightPatchIsNotADart) {
  const std::vector<cv::Mat> frames = withLightPatch(scene::defaultEmptyBoard(), {40.0, -60.0}, 14.0, 1.35);
  int patches = 0;
  for (int i = 0; i < 6; ++i) {
    const json reply = call(clock_.detectRequest(frames));
    SCOPED_TRACE(reply.dump().substr(0, 300));
    EXPECT_NE(reply.value("status", ""), "DART_CANDIDATE");
    EXPECT_TRUE(reply["entries"].empty());
    patches += reply.value("reason", "") == "LIGHT_PATCH_NOT_A_DART";
  }
  EXPECT_GE(patches, 1);
}

// A soft patch of light or shadow that appears after the first dart and stays (a sunbeam, a
// person's shadow, a lamp's reflection) is never entered, whatever the field chain makes of it,
// and the darts after it keep their fields.
TEST(WatchedChange, ASoftPatchThatStaysIsNeverEntered) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const Patch patches[] = {{{0.0, -130.0}, 20.0, 1.5}, {{-80.0, 60.0}, 28.0, 1.3}, {{90.0, 20.0}, 15.0, 0.65},
                           {{30.0, 140.0}, 25.0, 1.6}, {{-120.0, -70.0}, 12.0, 0.75}};
  std::vector<scene::Dart> darts(3);
  darts[0].tip_mm = {-40.0, -60.0};
  darts[1].tip_mm = {60.0, 80.0};
  darts[2].tip_mm = {110.0, -40.0};
  darts[0].direction = scene::frontDirection(12.0, 200.0);
  darts[1].direction = scene::frontDirection(15.0, 100.0);
  darts[2].direction = scene::frontDirection(10.0, 300.0);
  for (const Patch& patch : patches) {
    SCOPED_TRACE(patch.centre);
    ArmedEngine engine;
    ASSERT_TRUE(engine.armed());
    const auto call = [&engine](const json& request) { return engine.call(request); };
    host::FrameClock clock;
    scene::Scene board;
    json last;
    for (size_t k = 0; k < darts.size(); ++k) {
      board.darts.push_back(darts[k]);
      const scene::SceneImages shot = renderer.render(board);
      std::vector<cv::Mat> frames = shot.frames;
      if (k >= 1) {
        for (size_t i = 0; i < frames.size(); ++i) {
          frames[i] = scene::withSoftSpot(frames[i], shot.truth.cameras[i], patch.centre, patch.diameter, patch.gain);
        }
      }
      for (int i = 0; i < 4; ++i) last = call(clock.detectRequest(frames));
      if (k == 0) {
        // The patch appears with the first dart on the board and stays.
        std::vector<cv::Mat> lit;
        for (size_t i = 0; i < frames.size(); ++i) {
          lit.push_back(scene::withSoftSpot(frames[i], shot.truth.cameras[i], patch.centre, patch.diameter, patch.gain));
        }
        for (int i = 0; i < 8; ++i) last = call(clock.detectRequest(lit));
        EXPECT_EQ(last["entries"].size(), 1u) << last.value("status", "") << " " << last["entries"].dump();
      }
    }
    ASSERT_EQ(last["entries"].size(), 3u) << last["entries"].dump();
    const scene::GroundTruth truth = renderer.truth(board);
    for (size_t k = 0; k < darts.size(); ++k) EXPECT_EQ(host::entryField(last["entries"][k]), truth.darts[k].field) << k;
  }
}

// A faint patch that stays (a shadow or a sunbeam whose core alone passes a dart's change
// level, a few per cent darker or lighter, in a camera's sensor noise) is never entered either,
// and the darts after it keep their fields.
TEST(WatchedChange, AFaintPatchThatStaysIsNeverEntered) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const Patch patches[] = {{{-83.18, -104.34}, 27.6, 0.668}, {{41.5, -126.0}, 28.0, 0.82}, {{-20.0, 60.0}, 30.0, 1.2}};
  const std::vector<scene::Dart> darts = {
      dartAlong(57.2159, -129.7905, cv::normalize(cv::Vec3d(-0.14454, 0.10964, -0.98341)), {40, 40, 215}, 83.05),
      dartAlong(74.5925, -129.1395, cv::normalize(cv::Vec3d(-0.29061, 0.01361, -0.95674)), {205, 95, 20}, 36.67),
      dartAlong(-142.7077, 51.7066, cv::normalize(cv::Vec3d(-0.32339, 0.32457, -0.88886)), {40, 40, 215}, 67.06)};
  scene::Imaging sensor;
  sensor.noise_sigma = 2.0;
  for (const Patch& patch : patches) {
    SCOPED_TRACE(patch.centre);
    ArmedEngine engine;
    ASSERT_TRUE(engine.armed());
    host::FrameClock clock;
    uint64_t noiseSeed = 1;
    // Each send a frame of its own, fresh sensor noise on it.
    const auto send = [&](const scene::SceneImages& shot, bool lit, int sends) {
      json last;
      for (int n = 0; n < sends; ++n) {
        std::vector<cv::Mat> frames;
        for (size_t i = 0; i < shot.frames.size(); ++i) {
          cv::Mat frame = shot.frames[i];
          if (lit) frame = scene::withSoftSpot(frame, shot.truth.cameras[i], patch.centre, patch.diameter, patch.gain);
          sensor.noise_seed = noiseSeed++;
          frames.push_back(scene::applyImaging(frame, sensor, static_cast<int>(i)));
        }
        last = engine.call(clock.detectRequest(frames));
      }
      return last;
    };
    scene::Scene board;
    json last;
    for (size_t k = 0; k < darts.size(); ++k) {
      board.darts.push_back(darts[k]);
      const scene::SceneImages shot = renderer.render(board);
      last = send(shot, k >= 1, 4);
      if (k == 0) {
        // The patch appears with the first dart on the board and stays.
        // Nothing of it is a dart: none entered, none left to the player.
        for (int n = 0; n < 8; ++n) {
          last = send(shot, true, 1);
          const std::string status = last.value("status", "");
          EXPECT_TRUE(status != "DART_CANDIDATE" && status != "POSITION_UNRESOLVED")
              << status << "/" << last.value("reason", "");
          EXPECT_FALSE(last["decision_window"].contains("unresolved_darts")) << last["decision_window"].dump();
        }
        EXPECT_EQ(last["entries"].size(), 1u) << last.value("status", "") << " " << last["entries"].dump();
      }
    }
    ASSERT_EQ(last["entries"].size(), 3u) << last["entries"].dump();
    const scene::GroundTruth truth = renderer.truth(board);
    for (size_t k = 0; k < darts.size(); ++k) EXPECT_EQ(host::entryField(last["entries"][k]), truth.darts[k].field) << k;
  }
}

// Something moving beyond the board is recorded as the camera's motion round the board;
// what changes on the board is not.
TEST_F(Watched, MotionRoundTheBoardIsRecorded) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  (void)call(clock_.detectRequest(empty.frames));
  std::vector<cv::Mat> moved;
  for (const cv::Mat& f : empty.frames) {
    cv::Mat m = f.clone();
    cv::rectangle(m, cv::Rect(2, 2, 60, 60), cv::Scalar(255, 255, 255), cv::FILLED);
    moved.push_back(m);
  }
  (void)call(clock_.detectRequest(moved));
  for (int i = 0; i < 3; ++i) {
    const SurroundMotion& motion = *round().cameras[i].surroundMotion;
    ASSERT_FALSE(motion.images[4].empty());
    EXPECT_GT(cv::countNonZero(motion.images[4]), 100) << i;
    EXPECT_GE(motion.time, 0.0);
  }
}

}  // namespace
}  // namespace tarv
