// What comes and goes between throws: a dart that bounced out is one announced MISS, counted
// once whichever path saw it; a glint or a small shadow for a frame or two enters nothing; a
// dart that quivers about its point as it lands is entered once, with its field.
#include <cmath>

#include <gtest/gtest.h>

#include "host/reply_reading.h"
#include "scene/scene.h"
#include "tarv/detector/rig_engine_test_support.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class ComeAndGone : public EngineOnRig {
 protected:
  ComeAndGone() : EngineOnRig(scene::defaultRig()) {}

  json send(const std::vector<cv::Mat>& frames, int sends) {
    json last;
    for (int i = 0; i < sends; ++i) last = call(clock_.detectRequest(frames));
    return last;
  }
  std::vector<cv::Mat> render(const scene::Scene& s) { return renderer_.render(s).frames; }
  // The frames with a soft spot of light (gain above 1) or shadow on the board.
  std::vector<cv::Mat> spotted(const scene::Scene& s, cv::Point2d centre, double diameter, double gain) {
    const scene::SceneImages shot = renderer_.render(s);
    std::vector<cv::Mat> frames;
    for (size_t i = 0; i < shot.frames.size(); ++i) {
      frames.push_back(scene::withSoftSpot(shot.frames[i], shot.truth.cameras[i], centre, diameter, gain));
    }
    return frames;
  }
  std::string trueField(const scene::Scene& s, size_t dart) { return renderer_.truth(s).darts[dart].field; }
};

scene::Dart dartAt(double x, double y, double tilt = 12.0, double azimuth = 200.0) {
  scene::Dart d;
  d.tip_mm = {x, y};
  d.direction = scene::frontDirection(tilt, azimuth);
  return d;
}

TEST_F(ComeAndGone, AGlintOrASmallShadowBetweenThrowsEntersNothing) {
  scene::Scene board;
  board.darts.push_back(dartAt(-60.0, 40.0));
  ASSERT_EQ(send(render(board), 4)["entries"].size(), 1u);
  // A watch glinting for one frame, a phone's shadow for two.
  send(spotted(board, {45.0, -70.0}, 20.0, 1.5), 1);
  send(render(board), 4);
  send(spotted(board, {-20.0, 110.0}, 25.0, 0.65), 2);
  json last = send(render(board), 4);
  EXPECT_EQ(last["entries"].size(), 1u) << last["entries"].dump();
  board.darts.push_back(dartAt(70.0, 60.0, 15.0, 120.0));
  last = send(render(board), 4);
  ASSERT_EQ(last["entries"].size(), 2u);
  EXPECT_EQ(host::entryField(last["entries"][1]), trueField(board, 1));
}

TEST_F(ComeAndGone, ABounceOutIsAnnouncedAndCountedOnce) {
  scene::Scene empty;
  scene::Scene flash;
  flash.darts.push_back(dartAt(-50.0, 70.0, 20.0, 300.0));
  send(render(empty), 2);
  const std::vector<cv::Mat> seen = render(flash);
  send(seen, 1);
  const double seenAt = clock_.now();
  const json gone = send(render(empty), 1);
  ASSERT_EQ(gone.value("status", ""), "BOUNCER_CANDIDATE");
  ASSERT_EQ(gone["entries"].size(), 1u);
  // The host hears of the throw.
  ASSERT_TRUE(gone["state"].is_object()) << gone["state"].dump();
  EXPECT_EQ(gone["state"]["data"]["numThrows"], 1);
  const std::vector<cv::Mat> board = render(empty);
  send(board, 4);
  // A review of the same frames finds the bounce counted.
  std::vector<cv::Mat> six = seen;
  six.insert(six.end(), board.begin(), board.end());
  const json review = call({{"command", "motion_bouncer"},
                            {"images", host::imageDescriptors(six)},
                            {"times", {seenAt, seenAt, seenAt}},
                            {"current_times", {clock_.now(), clock_.now(), clock_.now()}}});
  EXPECT_EQ(review.value("reason", ""), "ALREADY_COUNTED") << review.dump().substr(0, 300);
  EXPECT_EQ(send(board, 1)["entries"].size(), 1u);
}

// A dart's flight swings about its point as it lands, dying away within 0.3 s; one camera sees
// every frame two frames late.
TEST_F(ComeAndGone, AQuiveringDartIsEnteredOnceWithItsField) {
  const std::vector<scene::Dart> darts = {dartAt(-44.0, -140.0, 15.0, 60.0), dartAt(75.0, -60.0, 10.0, 250.0),
                                          dartAt(-100.0, 25.0, 20.0, 160.0)};
  constexpr int kFrames = 9;
  constexpr int kLag = 2;
  scene::Scene board;
  std::vector<cv::Mat> before = render(board);
  for (size_t k = 0; k < darts.size(); ++k) {
    const cv::Vec3d d = darts[k].direction;
    const cv::Vec3d axis = cv::normalize(d.cross(cv::Vec3d(0.0, 0.0, 1.0)));
    std::vector<std::vector<cv::Mat>> moments;
    for (int m = 0; m < kFrames + 4; ++m) {
      // Rodrigues' rotation about the axis through the tip.
      const double angle = m < kFrames ? 8.0 * std::exp(-3.0 * m / kFrames) * std::cos(M_PI * m / 2.0) * M_PI / 180.0 : 0.0;
      scene::Scene s = board;
      scene::Dart swung = darts[k];
      swung.direction = cv::normalize(d * std::cos(angle) + axis.cross(d) * std::sin(angle) +
                                      axis * axis.dot(d) * (1.0 - std::cos(angle)));
      s.darts.push_back(swung);
      moments.push_back(render(s));
    }
    json last;
    for (size_t n = 0; n < moments.size(); ++n) {
      std::vector<cv::Mat> frames = moments[n];
      frames[2] = n >= kLag ? moments[n - kLag][2] : before[2];
      last = send(frames, 1);
    }
    board.darts.push_back(darts[k]);
    before = moments.back();
    ASSERT_EQ(last["entries"].size(), k + 1) << "dart " << k << " " << last["entries"].dump();
    EXPECT_EQ(host::entryField(last["entries"][k]), trueField(board, k)) << "dart " << k;
  }
}

}  // namespace
}  // namespace tarv
