// What both the one- and the two-camera engine must do through the exported functions:
// takeouts that cannot stall, kept frames that must fit, misses beyond 200 mm, new light,
// confirmations in time order and engines working at once.
#include <algorithm>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/views/tip_evidence.h"
#include "tarv/variants/variant_host_test_support.h"

namespace tarv {
namespace {

const scene::SceneImages& empty() { return scene::defaultEmptyBoard(); }

std::string fieldOf(const json& entry) { return entry["field"]["selected_field"]; }

// Sends the state up to four times, stopping at the first reply of the status.
json sendUntil(VariantHost& host, const scene::SceneImages& shot, const std::string& status, bool hand = false) {
  json reply;
  for (int i = 0; i < 4; ++i) {
    reply = host.detect(host.pick(shot), host.now() + 1.0 / 30.0, hand);
    if (reply.value("status", "") == status) return reply;
  }
  return reply;
}

class VariantRound : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { ASSERT_EQ(host.arm(empty()).value("status", ""), "READY"); }
  json enter(const scene::SceneImages& shot) {
    const json reply = sendUntil(host, shot, "DART_CANDIDATE");
    EXPECT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump().substr(0, 400);
    return reply;
  }
  VariantHost host{GetParam()};
  const scene::Dart a = dartAt(10.0, -103.0);
  const scene::Dart b = dartAt(-60.0, 40.0, 20.0, 100.0);
  const scene::Dart c = dartAt(70.0, 100.0, 8.0, 300.0);
};

TEST_P(VariantRound, ADartThrownDuringATakeoutEndsTheRoundAndScores) {
  enter(renderDarts({a}));
  host.settle(renderDarts({a}, true), true);  // the takeout begins
  // The dart is pulled and the next one thrown before the board was seen empty.
  const scene::SceneImages next = renderDarts({c});
  const json reset = sendUntil(host, next, "EMPTY_RESET");
  EXPECT_EQ(reset.value("status", ""), "EMPTY_RESET") << reset.dump().substr(0, 300);
  EXPECT_EQ(reset["round"], 2);
  const json reply = enter(next);
  EXPECT_EQ(fieldOf(reply["entry"]), next.truth.darts[0].field);
  EXPECT_EQ(reply["entry"]["round"], 2);
}

TEST_P(VariantRound, OneDartPulledIsRemovedOnlyByALaterFrame) {
  enter(renderDarts({a}));
  enter(renderDarts({a, b}));
  const std::vector<cv::Mat> frames = host.pick(renderDarts({b}));
  const double t = host.now() + 0.1;
  EXPECT_EQ(host.detect(frames, t)["status"], "REMOVAL_PENDING");
  // A frame taken before the one that saw the dart missing never confirms it.
  EXPECT_EQ(host.detect(frames, t - 0.05)["status"], "REMOVAL_PENDING");
  const json removed = host.detect(frames, t + 0.05);
  EXPECT_EQ(removed["status"], "DART_REMOVED");
  ASSERT_EQ(removed["entries"].size(), 1u);
  EXPECT_EQ(removed["entries"][0]["id"], 1);
  EXPECT_EQ(removed["entries"][0]["event"], 2);
  EXPECT_TRUE(removed["engine_flags"]["takeout"].get<bool>());
  // The next dart follows the remaining one.
  const json next = enter(renderDarts({b, c}));
  EXPECT_EQ(next["entry"]["id"], 2);
  EXPECT_EQ(next["entry"]["event"], 3);
}

TEST_P(VariantRound, AMissBeyondTwoHundredMillimetresIsEnteredAndKeepsTheRound) {
  const scene::SceneImages miss = renderDarts({GetParam() == 1 ? dartAt(-120.0, 175.0, 10.0, 180.0) : dartAt(150.0, -150.0, 10.0, 180.0)});  // 212 mm out
  const json reply = enter(miss);
  EXPECT_EQ(fieldOf(reply["entry"]), "MISS");
  for (int i = 0; i < 4; ++i) {
    const json again = host.detect(host.pick(miss), host.now() + 1.0 / 30.0);
    EXPECT_NE(again["status"], "EMPTY_PENDING");
    EXPECT_EQ(again["entries"].size(), 1u);
  }
}

TEST_P(VariantRound, NewLightIsTakenOnceItStandsStillAndDartsScoreInIt) {
  enter(renderDarts({a}));
  scene::Imaging light;
  light.offset = 45.0;
  const scene::SceneImages lit = renderDarts({a}, false, light);
  EXPECT_EQ(host.detect(host.pick(lit), host.now() + 0.1)["reason"], "LARGE_INTERACTION_OR_LIGHTING");
  json reply = json::object();
  for (int i = 0; i < 12 && reply.value("status", "") != "BACKGROUND_REFRESH"; ++i) {
    reply = host.detect(host.pick(lit), host.now() + 0.25);
  }
  EXPECT_EQ(reply.value("status", ""), "BACKGROUND_REFRESH");
  const scene::SceneImages second = renderDarts({a, b}, false, light);
  const json entered = enter(second);
  EXPECT_EQ(fieldOf(entered["entry"]), second.truth.darts[1].field);
  // The takeout in the new light ends the round as usual.
  host.settle(renderDarts({a, b}, true, light), true);
  EXPECT_EQ(sendUntil(host, renderDarts({}, false, light), "EMPTY_RESET")["status"], "EMPTY_RESET");
}

// A dart that lands while new light settles is something on the board, not light: it is not
// taken into the references with the light, and it is entered once the light is.
TEST_P(VariantRound, ADartLandingWhileNewLightSettlesIsEntered) {
  enter(renderDarts({a}));
  scene::Imaging light;
  light.offset = 45.0;
  EXPECT_EQ(host.detect(host.pick(renderDarts({a}, false, light)), host.now() + 0.1)["reason"],
            "LARGE_INTERACTION_OR_LIGHTING");
  host.detect(host.pick(renderDarts({a}, false, light)), host.now() + 0.5);
  const scene::SceneImages second = renderDarts({a, b}, false, light);
  json reply = json::object();
  json entry;
  for (int i = 0; i < 20 && entry.is_null(); ++i) {
    reply = host.detect(host.pick(second), host.now() + 0.25);
    if (reply.contains("entry")) entry = reply["entry"];
  }
  ASSERT_FALSE(entry.is_null()) << reply.dump().substr(0, 400);
  EXPECT_EQ(fieldOf(entry), second.truth.darts[1].field);
  EXPECT_EQ(reply["entries"].size(), 2u);
}

// A shadow that stays on the left part of the board (a person standing beside it): the
// light at board x below -10 mm falls to the factor, over a soft edge 30 mm wide.
scene::SceneImages shadowed(scene::SceneImages shot, double factor) {
  cv::Mat board(801, 801, CV_32F);
  for (int x = 0; x < board.cols; ++x) {
    const double t = std::clamp((x - 400.0 + 10.0) / 30.0, 0.0, 1.0);
    board.col(x).setTo(factor + (1.0 - factor) * t);
  }
  const cv::Matx33d toBoard(1, 0, -400, 0, 1, -400, 0, 0, 1);
  for (size_t i = 0; i < shot.frames.size(); ++i) {
    cv::Mat light;
    cv::warpPerspective(board, light, cv::Mat(shot.truth.cameras[i].board_to_image * toBoard),
                        shot.frames[i].size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::Mat lit;
    shot.frames[i].convertTo(lit, CV_32FC3);
    cv::Mat light3;
    cv::merge(std::vector<cv::Mat>{light, light, light}, light3);
    lit = lit.mul(light3);
    lit.convertTo(shot.frames[i], CV_8UC3);
  }
  return shot;
}

TEST_P(VariantRound, AShadowThatStaysOnPartOfTheBoardLosesNoDart) {
  enter(renderDarts({a}));
  const scene::SceneImages shade = shadowed(renderDarts({a}), 0.6);
  const json waiting = host.detect(host.pick(shade), host.now() + 0.1);
  ASSERT_EQ(waiting.value("status", ""), "WAIT");
  // The host sees what the engine waits for.
  EXPECT_EQ(waiting.value("light_change", json::object()).value("reason", ""), "LIGHT_CHANGE_SETTLING");
  json reply = json::object();
  for (int i = 0; i < 12 && reply.value("status", "") != "BACKGROUND_REFRESH"; ++i) {
    reply = host.detect(host.pick(shade), host.now() + 0.25);
  }
  ASSERT_EQ(reply.value("status", ""), "BACKGROUND_REFRESH");
  // A dart in the shadow scores at once; so does the takeout and the next round's dart.
  const scene::SceneImages second = shadowed(renderDarts({a, b}), 0.6);
  EXPECT_EQ(fieldOf(enter(second)["entry"]), second.truth.darts[1].field);
  host.settle(shadowed(renderDarts({a, b}, true), 0.6), true);
  const json reset = sendUntil(host, shadowed(renderDarts({}), 0.6), "EMPTY_RESET");
  EXPECT_EQ(reset.value("status", ""), "EMPTY_RESET") << reset.dump().substr(0, 300);
  const scene::SceneImages next = shadowed(renderDarts({c}), 0.6);
  const json entered = enter(next);
  EXPECT_EQ(entered["round"], 2);
  ASSERT_TRUE(entered.contains("entry"));
  EXPECT_EQ(fieldOf(entered["entry"]), next.truth.darts[0].field);
}

// A miss stuck in the surround outside the scoring area stays when the takeout clears the
// board: the board looks empty and the round ends, but the empty board stays the one the
// engine knows. The miss pulled later leaves no dart-shaped hole that the next dart's search
// could take for the dart.
TEST_P(VariantRound, AMissLeftInTheSurroundAtATakeoutNeverBecomesTheEmptyBoard) {
  const double angle = (GetParam() == 1 ? 250.0 : 235.0) * CV_PI / 180.0;
  const double radius = GetParam() == 1 ? 205.0 : 215.0;
  const scene::Dart miss = dartAt(std::sin(angle) * radius, -std::cos(angle) * radius, 10.0, 180.0);
  enter(renderDarts({a}));
  enter(renderDarts({a, miss}));
  host.settle(renderDarts({a, miss}, true), true);
  const json reset = sendUntil(host, renderDarts({miss}), "EMPTY_RESET");
  ASSERT_EQ(reset.value("status", ""), "EMPTY_RESET") << reset.dump().substr(0, 300);
  host.settle(renderDarts({miss}, true), true);
  host.settle(renderDarts({}));
  const json entered = enter(renderDarts({dartAt(-124.0, 40.0, 12.0, 250.0)}));
  ASSERT_TRUE(entered.contains("entry"));
  EXPECT_EQ(fieldOf(entered["entry"]), "S8");
}

INSTANTIATE_TEST_SUITE_P(Cameras, VariantRound, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? std::string("OneCamera") : std::string("TwoCameras");
                         });

// Frames kept for a future empty reference before an arm never become references of the
// new arming: here they are of another size, which would fail every later frame.
TEST(VariantKeptFrames, FramesFromBeforeAnArmAreNotInstalled) {
  for (int cameras : {1, 2}) {
    SCOPED_TRACE(cameras);
    VariantHost host(cameras);
    const auto smaller = [](const std::vector<cv::Mat>& frames) {
      std::vector<cv::Mat> out;
      for (const cv::Mat& f : frames) {
        cv::Mat small;
        cv::resize(f, small, cv::Size(), 0.75, 0.75, cv::INTER_AREA);
        out.push_back(small);
      }
      return out;
    };
    json calibrations = host.calibrations();
    const auto scaleRows = [](json& m) {
      for (int c = 0; c < 3; ++c) {
        m[0][c] = m[0][c].get<double>() * 0.75;
        m[1][c] = m[1][c].get<double>() * 0.75;
      }
    };
    if (cameras == 1) {
      scaleRows(calibrations);
    } else {
      for (json& m : calibrations) scaleRows(m);
    }
    const std::vector<cv::Mat> references = smaller(host.pick(empty()));
    json arm = {{"command", "arm"}, {"images", host::imageDescriptors(references)}};
    arm[cameras == 1 ? "calibration" : "calibrations"] = calibrations;
    const json armed = host.call(arm);
    ASSERT_EQ(armed.value("status", ""), "READY") << armed.dump().substr(0, 300);
    const scene::Dart before = cameras == 1 ? dartAt(-60.0, 40.0, 20.0, 100.0) : dartAt(10.0, -103.0);
    const std::vector<cv::Mat> dart = smaller(host.pick(renderDarts({before})));
    json reply = json::object();
    for (int i = 0; i < 4 && reply.value("status", "") != "DART_CANDIDATE"; ++i) {
      reply = host.detect(dart, host.now() + 1.0 / 30.0);
    }
    ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump().substr(0, 300);
    ASSERT_EQ(reply["entries"].size(), 1u) << reply.dump().substr(0, 300);
    const json pend = host.detect(smaller(host.pick(empty())), host.now() + 0.03);
    ASSERT_EQ(pend["status"], "EMPTY_PENDING") << pend.dump().substr(0, 400);

    ASSERT_EQ(host.arm(empty()).value("status", ""), "READY");
    const scene::Dart first = dartAt(10.0, -103.0);
    ASSERT_EQ(sendUntil(host, renderDarts({first}), "DART_CANDIDATE")["status"], "DART_CANDIDATE");
    const scene::SceneImages next = renderDarts({dartAt(70.0, 100.0, 8.0, 300.0)});
    const json reset = sendUntil(host, next, "EMPTY_RESET");
    EXPECT_EQ(reset.value("reason", ""), "ALL_DARTS_GONE_NEW_OBJECT_PRESENT_OLD_REFERENCE");
    const json after = sendUntil(host, next, "DART_CANDIDATE");
    EXPECT_EQ(after.value("status", ""), "DART_CANDIDATE") << after.dump().substr(0, 300);
  }
}

// The tip mode belongs to each evaluation: engines of different modes work at once without
// touching a process-wide switch, and each reads its own mode.
TEST(VariantTipMode, EnginesOfDifferentModesScoreAtOnce) {
  const std::vector<scene::Dart> darts = {dartAt(10.0, -103.0), dartAt(-60.0, 40.0, 20.0, 100.0)};
  std::vector<scene::SceneImages> shots;
  for (size_t n = 1; n <= darts.size(); ++n) shots.push_back(renderDarts({darts.begin(), darts.begin() + n}));
  const auto play = [&](int cameras, int tipMode, std::vector<json>* replies) {
    VariantHost host(cameras);
    host.arm(empty(), {{"tip_mode", tipMode}});
    for (const auto& shot : shots) replies->push_back(sendUntil(host, shot, "DART_CANDIDATE"));
  };
  std::vector<json> mono, duoPlain, duoLean;
  std::thread t1(play, 1, 0, &mono);
  std::thread t2(play, 2, 0, &duoPlain);
  std::thread t3(play, 2, 1, &duoLean);
  t1.join();
  t2.join();
  t3.join();
  for (size_t i = 0; i < shots.size(); ++i) {
    for (const std::vector<json>* replies : {&mono, &duoPlain, &duoLean}) {
      ASSERT_EQ((*replies)[i].value("status", ""), "DART_CANDIDATE");
      EXPECT_EQ(fieldOf((*replies)[i]["entry"]), shots[i].truth.darts[i].field);
    }
    EXPECT_FALSE(mono[i]["diagnostics"]["CAM_1"]["candidates"]["direction_mm"].is_null());
    EXPECT_TRUE(duoPlain[i]["diagnostics"]["CAM_1"]["candidates"]["direction_mm"].is_null());
    EXPECT_FALSE(duoLean[i]["diagnostics"]["CAM_1"]["candidates"]["direction_mm"].is_null());
  }
}

}  // namespace
}  // namespace tarv
