// Two cameras picked out of three-camera rigs whose cameras stand 30 to 60 degrees off the
// board normal: rendered rounds as a host sends them, each dart entered once, in its field and
// near its point.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/tarv.h"
#include "tarv/variants/variant_host_test_support.h"

namespace tarv {
namespace {

// A host with two of the rig's three cameras, sending each scene state four times 1/30 s
// apart; with a noise seed every frame carries the sensor's noise, blur and JPEG, the reference
// that seed's and the four frames of a state the seeds that follow the state's own.
class PairHost {
 public:
  PairHost(std::vector<scene::CameraSpec> rig, std::array<size_t, 2> pair)
      : renderer_(rig), pair_(pair), engine_(tarv_create()) {}
  ~PairHost() { tarv_destroy(engine_); }
  PairHost(const PairHost&) = delete;
  PairHost& operator=(const PairHost&) = delete;

  json arm(uint64_t noiseSeed = 0) {
    noisy_ = noiseSeed != 0;
    const std::vector<cv::Mat> frames = imaged(renderer_.render({}), noiseSeed);
    json calibrations = json::array();
    const scene::SceneImages empty = renderer_.render({});
    for (size_t i : pair_) {
      const cv::Matx33d& h = empty.truth.cameras[i].board_to_image;
      json rows = json::array();
      for (int r = 0; r < 3; ++r) rows.push_back({h(r, 0), h(r, 1), h(r, 2)});
      calibrations.push_back(rows);
    }
    return call({{"command", "arm"}, {"images", host::imageDescriptors(frames)}, {"calibrations", calibrations}});
  }

  // The darts on the board, sent four times; the last reply.
  json throwDarts(const std::vector<scene::Dart>& darts, uint64_t noiseSeed = 0) {
    scene::Scene s;
    s.darts = darts;
    shot = renderer_.render(s);
    json reply;
    for (uint64_t k = 0; k < 4; ++k) {
      const std::vector<cv::Mat> frames = imaged(shot, noiseSeed + k);
      now_ += 1.0 / 30.0;
      reply = call({{"command", "detect"},
                    {"images", host::imageDescriptors(frames)},
                    {"time", now_},
                    {"times", {now_, now_}},
                    {"epoch", 0}});
    }
    return reply;
  }

  scene::SceneImages shot;

 private:
  std::vector<cv::Mat> imaged(const scene::SceneImages& images, uint64_t noiseSeed) const {
    scene::Imaging imaging;
    if (noisy_) {
      imaging.noise_sigma = 3.0;
      imaging.blur_sigma = 0.8;
      imaging.jpeg_quality = 90;
      imaging.noise_seed = noiseSeed;
    }
    std::vector<cv::Mat> frames;
    for (size_t i : pair_) {
      frames.push_back(noisy_ ? scene::applyImaging(images.frames[i], imaging, static_cast<int>(i)) : images.frames[i]);
    }
    return frames;
  }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }

  scene::Renderer renderer_;
  std::array<size_t, 2> pair_;
  void* engine_;
  bool noisy_ = false;
  double now_ = 100.0;
};

// Every dart thrown so far has exactly one entry, in throw order, in its true field and within
// the distance of its true point.
void expectEntered(const json& reply, const scene::SceneImages& shot, double withinMm) {
  const json entries = reply.value("entries", json::array());
  ASSERT_EQ(entries.size(), shot.truth.darts.size()) << reply.dump().substr(0, 1500);
  for (size_t k = 0; k < entries.size(); ++k) {
    const scene::DartTruth& truth = shot.truth.darts[k];
    const Point2 p = pointFromJson(entries[k]["board_xy_nominal_mm"]);
    EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), withinMm)
        << "dart " << k + 1 << " " << entries[k]["method"] << " " << entries[k]["board_xy_nominal_mm"];
    EXPECT_EQ(entries[k]["field"]["selected_field"], truth.field) << "dart " << k + 1;
  }
}

// The third dart points at the first camera, which sees it end-on: a blob whose line and far
// end say nothing of the tip, 40 mm from it in the 11. The second camera sees its shaft in the
// 14. The blob's tip, which the second camera's line passes 40 mm away, is not entered; the
// shaft's is.
TEST(DuoRigs, ADartOneCameraSeesEndOnIsPlacedByTheCameraThatSeesItsShaft) {
  PairHost host(scene::defaultRig({1280, 720}), {0, 1});
  ASSERT_EQ(host.arm().value("status", ""), "READY");
  const scene::Dart a = dart({54.1347, 9.0904}, {0.03542, -0.03146, -0.99888}, {150, 40, 130}, 38.18);
  const scene::Dart b = dart({-20.3671, -157.2836}, {-0.17200, 0.21953, -0.96032}, {30, 205, 235}, 60.15);
  const scene::Dart c = dart({-122.0944, -55.3338}, {-0.43979, -0.22361, -0.86982}, {20, 120, 240}, 39.24);
  expectEntered(host.throwDarts({a}), host.shot, 2.0);
  expectEntered(host.throwDarts({a, b}), host.shot, 2.0);
  const json reply = host.throwDarts({a, b, c});
  expectEntered(reply, host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "S14");
}

// The first dart lands near the rim, in front of neither camera of the pair: both see its
// barrel and flight out beyond the board and only its point's thin stroke on it. It is entered
// on its own frames, not left for the second dart to bring in later in that dart's place.
TEST(DuoRigs, AFirstDartMostlyBeyondTheBoardInBothViewsIsEnteredOnItsOwnFrames) {
  PairHost host(scene::defaultRig({1280, 720}), {0, 2});
  ASSERT_EQ(host.arm().value("status", ""), "READY");
  const scene::Dart a = dart({143.2468, -72.4155}, {-0.30046, -0.22629, -0.92656}, {20, 120, 240}, 17.55);
  const scene::Dart b = dart({-38.7743, 104.5156}, {-0.30029, 0.24626, -0.92151}, {40, 40, 215}, 49.94);
  expectEntered(host.throwDarts({a}), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "D13");
  expectEntered(host.throwDarts({a, b}), host.shot, 2.0);
}

// Noisy frames (a round's own noise seeds, the empty board sent first): a dart near the centre is seen by the first camera along its shaft; the second
// camera sees it nearly end-on and in some frames its axis gives no line at all. Having no line
// is no line passing far from the first camera's tip: the dart is entered, and the round's
// third dart is measured against a board whose second dart is entered, not left open.
TEST(DuoRigs, ADartWhoseOtherViewGivesNoLineIsEnteredAndTheRoundGoesOn) {
  PairHost host(scene::defaultRig({1280, 720}), {0, 1});
  ASSERT_EQ(host.arm(2887792353256699054ULL).value("status", ""), "READY");
  host.throwDarts({}, 10739062828140330721ULL);
  const scene::Dart a = dart({52.726999, -15.536919}, {0.119565, 0.000775, -0.992826}, {20, 120, 240}, 7.0726);
  const scene::Dart b = dart({-6.296983, 27.160032}, {-0.098475, 0.166855, -0.981051}, {40, 40, 215}, 34.9136);
  const scene::Dart c = dart({-45.180258, -83.408005}, {0.157698, 0.414022, -0.896503}, {205, 95, 20}, 67.9731);
  expectEntered(host.throwDarts({a}, 17641738701858305ULL), host.shot, 2.0);
  expectEntered(host.throwDarts({a, b}, 17285756968933794455ULL), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "S19");
  expectEntered(host.throwDarts({a, b, c}, 16720678559648445919ULL), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "S12");
}

// Seen from the first camera, far off to the side, the darts near the 2 and the 10 are thin
// strokes on the board with their barrels over the dark surround: the erosion that tells an
// empty board from noise wipes them, yet they are darts, and that camera's line is what pins
// them where the second camera alone sees a point on a wire. Each dart is entered in its
// place by both cameras; none is lost for the next dart to take its place.
TEST(DuoRigs, ThinDartsAFarCameraErodesAwayAreStillMeasuredByIt) {
  PairHost host(scene::defaultRig({1280, 720}), {0, 1});
  ASSERT_EQ(host.arm(101).value("status", ""), "READY");
  const scene::Dart a = dart({171.5422, 19.8206}, {-0.19164, -0.41565, -0.88911}, {40, 40, 215}, 76.64);
  const scene::Dart b = dart({69.4884, 133.6489}, {0.27489, -0.03069, -0.96099}, {150, 40, 130}, 57.15);
  const scene::Dart c = dart({113.7020, 38.3676}, {0.09475, -0.46715, -0.87909}, {150, 40, 130}, 83.41);
  expectEntered(host.throwDarts({a}, 200), host.shot, 2.0);
  const json two = host.throwDarts({a, b}, 300);
  expectEntered(two, host.shot, 2.0);
  const json three = host.throwDarts({a, b, c}, 400);
  expectEntered(three, host.shot, 2.0);
  const json entries = three.value("entries", json::array());
  ASSERT_EQ(entries.size(), 3u);
  for (size_t k = 1; k < entries.size(); ++k) {
    EXPECT_EQ(entries[k]["confidence"]["cameras"], 2) << "dart " << k + 1 << " " << entries[k]["method"];
  }
}

// Darts whose points lie within a millimetre of a ring wire: both cameras' lines cross on the
// right side of it, while one camera's tip patch, a pixel or two off, reads the bed across
// the wire. That camera alone does not move the dart into the neighbouring field.
TEST(DuoRigs, OneCameraReadingTheBedAcrossAWireDoesNotOverruleBothLines) {
  PairHost host(scene::defaultRig({1280, 720}), {0, 1});
  ASSERT_EQ(host.arm(501).value("status", ""), "READY");
  const scene::Dart a = dart({81.6911, 108.6147}, {0.05800, 0.06550, -0.99617}, {40, 40, 215}, 77.69);
  const scene::Dart b = dart({-158.5670, 71.7458}, {0.33844, -0.15756, -0.92770}, {40, 40, 215}, 5.31);
  const scene::Dart c = dart({70.5869, -81.3601}, {-0.41415, 0.16714, -0.89473}, {30, 205, 235}, 85.31);
  expectEntered(host.throwDarts({a}, 600), host.shot, 2.0);
  expectEntered(host.throwDarts({a, b}, 700), host.shot, 2.0);
  expectEntered(host.throwDarts({a, b, c}, 800), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "S18");
}

// The second dart is seen wrong by both cameras (the first camera's tip 40 mm off, the second
// camera's blob end-on), so it stays undecided. The third dart then changes the second
// camera's view where its line passes the first camera's old tip: that old tip is no place of
// the third dart, and is not entered as one.
TEST(DuoRigs, AnUndecidedDartsWrongTipIsNotEnteredForTheNextDart) {
  std::vector<scene::CameraSpec> rig = scene::rigAtElevation({1280, 720}, 45.0);
  const double elevations[3] = {45.0, 60.0, 30.0};
  for (size_t i = 0; i < rig.size(); ++i) rig[i].elevation_deg = elevations[i];
  PairHost host(rig, {0, 2});
  ASSERT_EQ(host.arm().value("status", ""), "READY");
  const scene::Dart a = dart({-120.7965, -21.9149}, {-0.12389, 0.14806, -0.98119}, {205, 95, 20}, 11.37);
  const scene::Dart b = dart({-38.7446, 97.8947}, {-0.06789, 0.47830, -0.87557}, {60, 170, 40}, 64.16);
  const scene::Dart c = dart({7.6414, 167.2809}, {0.12482, -0.07187, -0.98957}, {40, 40, 215}, 40.79);
  expectEntered(host.throwDarts({a}), host.shot, 3.0);
  EXPECT_EQ(host.throwDarts({a, b}).value("status", ""), "POSITION_UNRESOLVED");
  const json reply = host.throwDarts({a, b, c});
  for (const json& entry : reply.value("entries", json::array())) {
    const Point2 p = pointFromJson(entry["board_xy_nominal_mm"]);
    const bool nearSome = std::any_of(host.shot.truth.darts.begin(), host.shot.truth.darts.end(), [&](const scene::DartTruth& t) {
      return std::hypot(p.x - t.tip_mm.x, p.y - t.tip_mm.y) < 5.0;
    });
    EXPECT_TRUE(nearSome) << entry["method"] << " " << entry["board_xy_nominal_mm"];
  }
}

// The first dart misses the board 7 mm beyond the rim; the second lands near the top, far
// from the first camera. Both views' changes erode to nothing, yet the first dart's change is
// all still there and the second's is added beside it: the board is not taken for empty, the
// round goes on with both darts and the second is entered on its own frames.
TEST(DuoRigs, ANewDartBesideThinDartsStillInPlaceEndsNoRound) {
  PairHost host(scene::defaultRig({1280, 720}), {0, 2});
  ASSERT_EQ(host.arm().value("status", ""), "READY");
  const scene::Dart a = dart({176.6974, 5.9181}, {0.13784, -0.03505, -0.98983}, {60, 170, 40}, 71.91);
  const scene::Dart b = dart({56.8058, -147.3616}, {-0.20222, -0.20549, -0.95754}, {30, 205, 235}, 84.77);
  expectEntered(host.throwDarts({a}), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "MISS");
  const json two = host.throwDarts({a, b});
  expectEntered(two, host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "S1");
  EXPECT_EQ(two.value("round", 0), 1) << two.dump().substr(0, 300);
}

// Noisy frames. The first dart stays undecided: the second camera sees it wrong, each
// camera's line passes far from the other's tip. Its change stays new, and the next darts
// land beside it: measured with it, each camera took a different dart, so neither the second
// nor the third was ever entered. Each view's change apart from the undecided dart's is
// measured alone, and the second and third darts are entered in their places.
TEST(DuoRigs, DartsLandingBesideAnUndecidedDartAreMeasuredApartFromIt) {
  std::vector<scene::CameraSpec> rig = scene::rigAtElevation({1280, 720}, 45.0);
  const double elevations[3] = {30.0, 45.0, 60.0};
  for (size_t i = 0; i < rig.size(); ++i) rig[i].elevation_deg = elevations[i];
  PairHost host(rig, {0, 1});
  ASSERT_EQ(host.arm(3235617538947645223ULL).value("status", ""), "READY");
  const scene::Dart a = dart({80.1605, -119.6510}, {0.38507, -0.23389, -0.89276}, {40, 40, 215}, 65.32);
  const scene::Dart b = dart({43.7838, 42.6146}, {0.40970, -0.18721, -0.89280}, {150, 40, 130}, 4.65);
  const scene::Dart c = dart({144.6742, 61.0874}, {-0.11869, -0.16855, -0.97852}, {60, 170, 40}, 67.72);
  EXPECT_EQ(host.throwDarts({a}, 2771624281984357812ULL).value("status", ""), "POSITION_UNRESOLVED");
  const auto enteredNear = [&](const json& reply, size_t dart) {
    const scene::DartTruth& truth = host.shot.truth.darts[dart];
    for (const json& entry : reply.value("entries", json::array())) {
      const Point2 p = pointFromJson(entry["board_xy_nominal_mm"]);
      if (std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y) < 2.0 && entry["field"]["selected_field"] == truth.field) {
        return true;
      }
    }
    return false;
  };
  const json two = host.throwDarts({a, b}, 8599216499431876129ULL);
  EXPECT_TRUE(enteredNear(two, 1)) << two.value("entries", json::array()).dump();
  const json three = host.throwDarts({a, b, c}, 9354657333936583711ULL);
  EXPECT_TRUE(enteredNear(three, 1));
  EXPECT_TRUE(enteredNear(three, 2)) << three.value("entries", json::array()).dump();
  EXPECT_EQ(three.value("entries", json::array()).size(), 2u);
}

// Noisy frames. The second dart stands 1.7 mm inside the triple's outer wire. The first
// camera sees its tip wrong, 40 mm up its shaft; the second camera's searches stop 2.5 mm
// short of the tip, across the wire, and the first camera's line passes 4 mm from that
// point. The tip lies on both lines: the second camera's point goes along its own line to
// where the first camera's line crosses it, and the dart is entered in the triple.
TEST(DuoRigs, OneCamerasPointGoesAlongItsLineToTheOtherCamerasLine) {
  std::vector<scene::CameraSpec> rig = scene::rigAtElevation({1280, 720}, 45.0);
  const double elevations[3] = {45.0, 60.0, 30.0};
  for (size_t i = 0; i < rig.size(); ++i) rig[i].elevation_deg = elevations[i];
  PairHost host(rig, {0, 1});
  ASSERT_EQ(host.arm(10459245469472576301ULL).value("status", ""), "READY");
  const scene::Dart a = dart({-120.7965, -21.9149}, {-0.12389, 0.14806, -0.98119}, {205, 95, 20}, 11.37);
  const scene::Dart b = dart({-38.7446, 97.8947}, {-0.06789, 0.47830, -0.87557}, {60, 170, 40}, 64.16);
  expectEntered(host.throwDarts({a}, 2858730575315220613ULL), host.shot, 2.0);
  const json two = host.throwDarts({a, b}, 8915987187353746443ULL);
  expectEntered(two, host.shot, 2.5);
  EXPECT_EQ(host.shot.truth.darts.back().field, "T19");
}

// The second dart stands 2 mm inside the double's outer wire. The first camera's line and
// all its searches place it there; the second camera's searches stop 5 mm short, in the
// single, and its line ends beyond the board, yet that line runs within a millimetre of the
// first camera's point and 5 mm from its own. The other camera's line witnesses the first
// camera: the dart is entered on its own frames in the double, not left undecided for its
// change to mix into the third dart's and be entered in that dart's place.
TEST(DuoRigs, TheOtherCamerasLineDecidesBetweenTwoCamerasThatNameDifferentFields) {
  PairHost host(scene::defaultRig({1280, 720}), {1, 2});
  ASSERT_EQ(host.arm().value("status", ""), "READY");
  const scene::Dart a = dart({-16.7052, 132.7236}, {-0.01860, 0.02246, -0.99957}, {20, 120, 240}, 46.76);
  const scene::Dart b = dart({16.2758, -163.3070}, {-0.22326, 0.31360, -0.92293}, {30, 205, 235}, 26.78);
  const scene::Dart c = dart({-116.2596, -99.4318}, {0.12778, 0.26437, -0.95592}, {60, 170, 40}, 37.49);
  expectEntered(host.throwDarts({a}), host.shot, 2.0);
  expectEntered(host.throwDarts({a, b}), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "D20");
  expectEntered(host.throwDarts({a, b, c}), host.shot, 2.0);
  EXPECT_EQ(host.shot.truth.darts.back().field, "S9");
}

}  // namespace
}  // namespace tarv
