// The two-camera engine through the exported functions, on rendered scenes of the first two
// cameras of the default rig.
#include <cmath>

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "scene/scene.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/engine.h"
#include "tarv/variants/variant_host_test_support.h"
#include "host/host_protocol.h"
#include "tarv/views/tip_evidence.h"

namespace tarv {
namespace {

const scene::SceneImages& empty() { return scene::defaultEmptyBoard(); }

std::string fieldOf(const json& entry) { return entry["field"]["selected_field"]; }

double tipErrorMm(const json& entry, const scene::DartTruth& truth) {
  const json& p = entry["board_xy_nominal_mm"];
  return std::hypot(p[0].get<double>() - truth.tip_mm.x, p[1].get<double>() - truth.tip_mm.y);
}

// Sends the shot until a dart is entered or the four frames of its state are used up.
json throwDart(VariantHost& host, const scene::SceneImages& shot) {
  json reply;
  for (int i = 0; i < 4; ++i) {
    reply = host.detect(host.pick(shot), host.now() + 1.0 / 30.0);
    if (reply.value("status", "") == "DART_CANDIDATE") return reply;
  }
  return reply;
}

class DuoRound : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(host.arm(empty()).value("status", ""), "READY"); }
  DuoEngine& engine() { return static_cast<Engine*>(host.engine())->duoEngine; }
  VariantHost host{2};
  const std::vector<scene::Dart> darts{dartAt(10.0, -103.0), dartAt(-60.0, 40.0, 20.0, 100.0),
                                       dartAt(70.0, 100.0, 8.0, 300.0)};
};

TEST_F(DuoRound, ThreeDartsTakeoutAndTheNextRound) {
  for (size_t n = 1; n <= darts.size(); ++n) {
    const scene::SceneImages shot = renderDarts({darts.begin(), darts.begin() + static_cast<long>(n)});
    const json reply = throwDart(host, shot);
    ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump();
    EXPECT_EQ(fieldOf(reply["entry"]), shot.truth.darts.back().field);
    EXPECT_LT(tipErrorMm(reply["entry"], shot.truth.darts.back()), 1.5);
    EXPECT_EQ(reply["entry"]["id"], n);
    EXPECT_EQ(reply["entries"].size(), n);
    EXPECT_EQ(reply["state"]["data"]["event"], "Throw detected");
    EXPECT_EQ(reply["executionBackend"], executionBackendName("_DUO"));
    EXPECT_EQ(host.settle(shot)["status"], n == 3 ? "ROUND_FULL" : "READY");
  }
  const json hand = host.settle(renderDarts(darts, true), true);
  EXPECT_TRUE(hand["engine_flags"]["takeout"].get<bool>());
  EXPECT_EQ(hand["entries"].size(), 3u);

  const json pending = host.detect(host.pick(empty()), host.now() + 1.0 / 30.0);
  EXPECT_EQ(pending["status"], "EMPTY_PENDING");
  const json reset = host.detect(host.pick(empty()), host.now() + 1.0 / 30.0);
  EXPECT_EQ(reset["status"], "EMPTY_RESET");
  EXPECT_EQ(reset["round"], 2);
  EXPECT_TRUE(reset["entries"].empty());
  EXPECT_FALSE(reset["engine_flags"]["takeout"].get<bool>());
  EXPECT_EQ(reset["state"]["data"]["event"], "Takeout finished");

  const scene::SceneImages next = renderDarts({dartAt(-40.0, -120.0, 15.0, 60.0)});
  const json reply = throwDart(host, next);
  ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump();
  EXPECT_EQ(fieldOf(reply["entry"]), next.truth.darts[0].field);
  EXPECT_EQ(reply["entry"]["round"], 2);
  EXPECT_EQ(reply["entry"]["id"], 1);
  EXPECT_EQ(reply["entry"]["event"], 4);
}

// Two darts of one colour, the second lying along the first in the second camera's view: over
// the first dart the second one's barrel looks like the barrel it covers, so its fresh change
// there vanishes and ends some 70 mm short of its point. The tip goes on over the first dart's
// stored change to the point's change beyond it.
TEST_F(DuoRound, ATipRunningOverAnEarlierDartIsFoundBeyondIt) {
  const double dx = -1.5, dy = 0.7;  // the second tip 1 mm inside the treble 17, clear of the wire
  scene::Dart first;
  first.tip_mm = {85.2113 + dx, 68.1144 + dy};
  first.direction = {-0.321211, 0.113831, -0.940141};
  first.flight_colour = {60, 170, 40};
  first.flight_roll_deg = 13.6;
  scene::Dart second;
  second.tip_mm = {46.6940 + dx, 92.0056 + dy};
  second.direction = {-0.048150, 0.115259, -0.992168};
  second.flight_colour = {60, 170, 40};
  second.flight_roll_deg = 57.2;

  const scene::SceneImages one = renderDarts({first});
  ASSERT_EQ(throwDart(host, one).value("status", ""), "DART_CANDIDATE");
  host.settle(one);
  const scene::SceneImages two = renderDarts({first, second});
  const scene::DartTruth& truth = two.truth.darts.back();
  const json reply = throwDart(host, two);
  ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump();
  const json& vote = reply["diagnostics"]["CAM_2"]["votes"][0];
  const double voteError = std::hypot(vote["point"][0].get<double>() - truth.tip_mm.x,
                                      vote["point"][1].get<double>() - truth.tip_mm.y);
  const json& stored = reply["diagnostics"]["CAM_2"]["candidates"]["stored"];
  const double storedError = std::hypot(stored["point"][0].get<double>() - truth.tip_mm.x,
                                        stored["point"][1].get<double>() - truth.tip_mm.y);
  // Without the walk over the first dart both stop near (0, 146), in the single 3.
  EXPECT_LT(voteError, 12.0);
  EXPECT_LT(storedError, 6.0);
  EXPECT_EQ(stored["field"], truth.field);
  EXPECT_EQ(reply["decision"]["method"], "TWO_VIEW_LINES");
  EXPECT_LT(tipErrorMm(reply["entry"], truth), 1.5);
  EXPECT_EQ(fieldOf(reply["entry"]), truth.field);
}

TEST_F(DuoRound, UnchangedFramesRepeatNoEventAndCarryTheCommonKeys) {
  const json first = host.detect(host.pick(empty()), 10.0);
  EXPECT_EQ(first["status"], "READY");
  EXPECT_TRUE(first["unchanged"].get<bool>());
  const json second = host.detect(host.pick(empty()), 10.03);
  EXPECT_TRUE(second["state"].is_null());
  EXPECT_EQ(second["snapshot"], first["snapshot"]);
  for (const char* key : {"entries", "snapshot", "round", "engine_flags", "processMs", "executionBackend"}) {
    EXPECT_TRUE(second.contains(key)) << key;
  }
}

TEST_F(DuoRound, BrighterFramesAreMatchedAndADartInThemScores) {
  scene::Imaging brighter;
  brighter.gain = 1.15;
  EXPECT_EQ(host.detect(host.pick(renderDarts({}, false, brighter)), 10.0)["status"], "READY");
  const scene::SceneImages shot = renderDarts({darts[0]}, false, brighter);
  const json reply = throwDart(host, shot);
  ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump();
  EXPECT_EQ(fieldOf(reply["entry"]), shot.truth.darts[0].field);
}

TEST_F(DuoRound, AHandStartsATakeoutOnlyWhenDartsAreInTheRound) {
  const scene::SceneImages hand = renderDarts({}, true);
  EXPECT_FALSE(host.detect(host.pick(hand), 10.0, true)["engine_flags"]["takeout"].get<bool>());
  ASSERT_EQ(throwDart(host, renderDarts({darts[0]}))["status"], "DART_CANDIDATE");
  const scene::SceneImages handOverDart = renderDarts({darts[0]}, true);
  const json seen = host.detect(host.pick(handOverDart), host.now() + 0.03, true);
  EXPECT_TRUE(seen["engine_flags"]["takeout"].get<bool>());
  EXPECT_EQ(seen["reason"], "HAND_SEEN");
  // No hand reported any more, the hand still in view: the takeout stays latched until the
  // board is unchanged again, and the hand is never entered as a dart.
  const json unreported = host.detect(host.pick(handOverDart), host.now() + 0.03);
  EXPECT_TRUE(unreported["engine_flags"]["takeout"].get<bool>());
  EXPECT_EQ(unreported["entries"].size(), 1u) << unreported.dump().substr(0, 300);
  const json quiet = host.detect(host.pick(renderDarts({darts[0]})), host.now() + 0.03);
  EXPECT_TRUE(quiet["unchanged"].get<bool>());
  EXPECT_FALSE(quiet["engine_flags"]["takeout"].get<bool>());
}

TEST_F(DuoRound, AChangedResolutionIsAnErrorAndTheEngineStaysArmed) {
  cv::Mat small;
  cv::resize(empty().frames[0], small, cv::Size(640, 360));
  EXPECT_EQ(host.detect({small, small}, 10.0).value("error", ""), "CAMERA_RESOLUTION_CHANGED");
  EXPECT_EQ(host.detect(host.pick(empty()), 10.03)["status"], "READY");
}

// An epoch that is no whole 32-bit number is bad input for every engine, not a conversion to an
// int (undefined behaviour); the engine goes on with the next good frame.
TEST(VariantEpoch, AnEpochThatIsNoWholeNumberInRangeIsRefused) {
  for (const int cameras : {1, 2}) {
    VariantHost host(cameras);
    ASSERT_EQ(host.arm(empty())["status"], "READY");
    for (const json& epoch : {json(1e300), json(2.5), json(-1e10)}) {
      json request = {{"command", "detect"},
                      {"images", host::imageDescriptors(host.pick(empty()))},
                      {"time", 5.0},
                      {"times", json::array({5.0, 5.0})},
                      {"epoch", epoch}};
      EXPECT_EQ(host.call(request).value("error", ""), "INVALID_EPOCH") << cameras << " " << epoch;
    }
    EXPECT_EQ(host.detect(host.pick(empty()), 6.0)["status"], "READY") << cameras;
  }
}

TEST(DuoArm, BeforeArmingAndAfterAFailedArmTheEngineIsNotArmed) {
  VariantHost host(2);
  EXPECT_EQ(host.detect(host.pick(empty()), 1.0).value("error", ""), "ENGINE_NOT_ARMED");
  const cv::Mat plain(720, 1280, CV_8UC3, cv::Scalar(90, 90, 90));
  json request = {{"command", "arm"},
                  {"images", json::array({host::imageDescriptor(empty().frames[0]), host::imageDescriptor(plain)})},
                  {"calibrations", host.calibrations()}};
  EXPECT_EQ(host.call(request).value("error", ""), "CAMERA_REFERENCE_FEATURES_INSUFFICIENT: CAM_2");
  EXPECT_EQ(host.detect(host.pick(empty()), 1.1).value("error", ""), "ENGINE_NOT_ARMED");
  const json armed = host.arm(empty());
  EXPECT_EQ(armed["status"], "READY");
  EXPECT_EQ(armed["state"], armed["snapshot"]);
  EXPECT_EQ(armed["executionBackend"], executionBackendName("_DUO"));
  EXPECT_EQ(armed["calibrations"].size(), 2u);
}

// The radii every engine path shares change only when an arm succeeds.
TEST(DuoArm, AFailedArmLeavesTheSharedRadiiAsTheyWere) {
  VariantHost host(2);
  const json radii = {6.5, 16.0, 98.0, 108.0, 161.0, 171.0};
  ASSERT_EQ(host.arm(empty(), {{"miss_radius_mm", 300.0}, {"ring_radii", radii}})["status"], "READY");
  EXPECT_EQ(missRadiusMm(), 300.0);
  EXPECT_EQ(ringRadii()[5], 171.0);
  json broken = {{"miss_radius_mm", 200.0}, {"calibrations", {host.calibrations()[0]}}};
  EXPECT_TRUE(host.arm(empty(), broken).contains("error"));
  const cv::Mat plain(720, 1280, CV_8UC3, cv::Scalar(90, 90, 90));
  json featureless = {{"command", "arm"},
                      {"images", json::array({host::imageDescriptor(plain), host::imageDescriptor(plain)})},
                      {"calibrations", host.calibrations()},
                      {"miss_radius_mm", 200.0}};
  EXPECT_TRUE(host.call(featureless).contains("error"));
  EXPECT_EQ(missRadiusMm(), 300.0);
  EXPECT_EQ(ringRadii()[5], 171.0);
  ASSERT_EQ(host.arm(empty())["status"], "READY");  // no radii: the defaults for every path
  EXPECT_EQ(missRadiusMm(), 240.0);
  EXPECT_EQ(ringRadii(), BoardLayout::kDefaultRingRadii);
}

}  // namespace
}  // namespace tarv
