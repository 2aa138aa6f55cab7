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

// A dart's flight swings about its point as it lands, dying away within 0.3 s.
struct Quiver {
  scene::Dart dart;
  cv::Vec3d axis;
  double amplitudeDeg, periodFrames, phase;
};

scene::Dart quiverDart(double x, double y, cv::Vec3d direction, cv::Scalar colour, double roll) {
  return dartAlong(x, y, cv::normalize(direction), colour, roll);
}

class ComeAndGone : public EngineOnRig {
 protected:
  explicit ComeAndGone(std::vector<scene::CameraSpec> rig = scene::defaultRig()) : EngineOnRig(std::move(rig)) {}

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
  void throwQuivering(const std::vector<Quiver>& quivers, const std::array<int, 3>& lag);
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

// A small glint across the wire between a black and a pale bed lights the pale side only:
// the change is a piece of a round spot, no rounder than a dart's streak in the box round it,
// and it is no more a dart than a whole spot is.
TEST_F(ComeAndGone, AGlintAcrossAWireEntersNothing) {
  scene::Scene board;
  board.darts.push_back(dartAlong(49.5483, -90.5587, {0.01956, 0.11702, -0.99294}, {30, 205, 235}, 67.85));
  send(render(board), 4);
  // 3 mm off the wire between the 2 and the 17, 138 mm from the bull.
  send(spotted(board, {65.32, 121.60}, 13.4, 1.6), 2);
  json last = send(render(board), 4);
  ASSERT_EQ(last["entries"].size(), 1u) << last["entries"].dump().substr(0, 400);
  board.darts.push_back(dartAlong(-121.3889, -126.6786, {-0.22253, 0.05211, -0.97353}, {40, 40, 215}, 51.76));
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

// Each dart quivers as it lands, camera c seeing every frame lag[c] frames late (the frame
// before the dart until then); each must be entered once, with its field, and nothing else.
void ComeAndGone::throwQuivering(const std::vector<Quiver>& quivers, const std::array<int, 3>& lag) {
  // A round of its own on a freshly armed engine.
  TearDown();
  SetUp();
  constexpr int kFrames = 9;
  scene::Imaging sensor;
  sensor.noise_sigma = 2.0;
  scene::Scene board;
  std::vector<cv::Mat> before = render(board);
  for (size_t k = 0; k < quivers.size(); ++k) {
    const Quiver& q = quivers[k];
    const cv::Vec3d d = q.dart.direction;
    const cv::Vec3d axis = cv::normalize(q.axis);
    std::vector<std::vector<cv::Mat>> moments;
    for (int m = 0; m < kFrames + 4; ++m) {
      const double angle = m < kFrames ? q.amplitudeDeg * std::exp(-3.0 * m / kFrames) *
                                             std::cos(2.0 * M_PI * m / q.periodFrames + q.phase) * M_PI / 180.0
                                       : 0.0;
      scene::Scene s = board;
      scene::Dart swung = q.dart;
      // Rodrigues' rotation about the axis through the tip.
      swung.direction = cv::normalize(d * std::cos(angle) + axis.cross(d) * std::sin(angle) +
                                      axis * axis.dot(d) * (1.0 - std::cos(angle)));
      s.darts.push_back(swung);
      std::vector<cv::Mat> frames = render(s);
      sensor.noise_seed = 1000 * k + static_cast<uint64_t>(m);
      for (size_t c = 0; c < frames.size(); ++c) frames[c] = scene::applyImaging(frames[c], sensor, static_cast<int>(c));
      moments.push_back(frames);
    }
    json last;
    for (size_t n = 0; n < moments.size(); ++n) {
      std::vector<cv::Mat> frames(3);
      for (int c = 0; c < 3; ++c) frames[c] = static_cast<int>(n) >= lag[c] ? moments[n - lag[c]][c] : before[c];
      last = send(frames, 1);
    }
    board.darts.push_back(q.dart);
    before = moments.back();
    ASSERT_EQ(last["entries"].size(), k + 1) << "dart " << k << " " << last["entries"].dump();
    EXPECT_EQ(host::entryField(last["entries"][k]), trueField(board, k)) << "dart " << k;
  }
}

TEST_F(ComeAndGone, AQuiveringDartIsEnteredOnceWithItsField) {
  throwQuivering({{quiverDart(76.79, -126.25, {-0.26437, 0.01119, -0.96436}, {20, 120, 240}, 84.23),
                   {-0.06710, 0.99730, 0.02997}, 3.223, 5.490, 5.501},
                  {quiverDart(-151.06, -86.74, {0.09293, 0.16935, -0.98116}, {60, 170, 40}, 42.94),
                   {0.36148, 0.91245, 0.19173}, 3.587, 2.538, 3.903},
                  {quiverDart(161.19, 7.95, {-0.00570, -0.44330, -0.89636}, {205, 95, 20}, 51.05),
                   {0.06420, 0.89436, -0.44272}, 5.612, 3.931, 4.815}},
                 {3, 2, 0});
}

// A camera two frames late still shows the board without the dart when the other two enter
// it in mid-swing: the dart stands on, its point where it was entered, and is no bounce-out.
TEST_F(ComeAndGone, AQuiveringDartALateCameraHasNotSeenYetStaysEntered) {
  throwQuivering({{quiverDart(-163.4938, -18.8818, {-0.00516, -0.04480, -0.99898}, {30, 205, 235}, 53.12),
                   {-0.25859, -0.96496, 0.04461}, 7.995, 4.456, 2.196},
                  {quiverDart(-0.3753, 119.3021, {0.10297, -0.28326, -0.95350}, {60, 170, 40}, 5.64),
                   {-0.80112, -0.59180, 0.08930}, 6.272, 4.880, 3.506},
                  {quiverDart(-17.7722, 107.4007, {-0.37929, -0.20546, -0.90218}, {30, 205, 235}, 41.58),
                   {-0.30599, -0.89232, 0.33186}, 5.649, 5.998, 0.086}},
                 {0, 2, 0});
}

// The view of a camera three frames late is the dart entered, never a second dart, and the
// dart entered in mid-swing stays when the swing carries its flight away.
TEST_F(ComeAndGone, AQuiveringDartsLateViewAndSwingAreNoSecondDart) {
  throwQuivering({{quiverDart(-44.1905, -144.7070, {-0.26652, -0.35519, -0.89599}, {205, 95, 20}, 30.89),
                   {-0.78798, 0.61562, -0.00965}, 7.463, 5.819, 2.807},
                  {quiverDart(-105.19, 24.7975, {-0.33977, 0.08724, -0.93646}, {20, 120, 240}, 56.16),
                   {0.44521, -0.86215, -0.24185}, 7.601, 4.430, 3.759},
                  {quiverDart(146.1776, -55.6110, {0.29976, -0.17317, -0.93817}, {20, 120, 240}, 53.48),
                   {0.72759, -0.59456, 0.34222}, 3.195, 3.513, 0.537}},
                 {3, 1, 0});
}

// Cameras 78 mm in front of the board see it at a grazing angle: there a round glint draws a
// stroke in every view as long as a dart's, and the strokes cross where it shone.
class ComeAndGoneAtAGrazingAngle : public ComeAndGone {
 protected:
  ComeAndGoneAtAGrazingAngle() : ComeAndGone(scene::rigCloseToPlane({1280, 720}, 300.0)) {}
};

TEST_F(ComeAndGoneAtAGrazingAngle, AGlintIsNoBouncerWhileABounceOutStillIs) {
  scene::Scene board;
  board.darts.push_back(dartAt(-40.0, -48.0));
  ASSERT_EQ(send(render(board), 4)["entries"].size(), 1u);
  json last;
  for (int frames : {1, 2}) {
    send(spotted(board, {50.0, 0.0}, 21.0, 1.42), frames);
    last = send(render(board), 4);
    EXPECT_EQ(last["entries"].size(), 1u) << frames << " frame(s): " << last["entries"].dump().substr(0, 400);
  }
  scene::Scene bouncing = board;
  bouncing.darts.push_back(dartAt(-60.0, 40.0, 20.0, 300.0));
  send(render(bouncing), 1);
  last = send(render(board), 1);
  EXPECT_EQ(last.value("status", ""), "BOUNCER_CANDIDATE");
  ASSERT_EQ(last["entries"].size(), 2u) << last["entries"].dump().substr(0, 400);
  EXPECT_EQ(host::entryField(last["entries"][1]), "MISS");
  // The next dart takes the third place, with its field.
  board.darts.push_back(dartAt(-100.0, 20.0));
  last = send(render(board), 4);
  ASSERT_EQ(last["entries"].size(), 3u);
  EXPECT_EQ(host::entryField(last["entries"][2]), trueField(board, 1));
}

}  // namespace
}  // namespace tarv
