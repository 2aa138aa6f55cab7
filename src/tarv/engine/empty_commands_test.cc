// The empty-board and startup commands through the exported functions.
#include "tarv/engine/empty_commands.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

class EmptyCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    renderer_ = &scene::defaultRenderer();
    empty_ = &scene::defaultEmptyBoard();
  }
  void SetUp() override { engine_ = tarv_create(); }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  void arm() {
    ASSERT_EQ(call(host::armRequest(empty_->truth, empty_->frames)).value("status", ""), "READY");
  }
  json command(const std::string& name, json times = nullptr, size_t images = 3) {
    const std::vector<cv::Mat> frames(empty_->frames.begin(), empty_->frames.begin() + images);
    json request = {{"command", name}, {"images", host::imageDescriptors(frames)}};
    if (!times.is_null()) request["times"] = times;
    return call(request);
  }
  json confirm(json times, size_t images = 3, json confirmed = true) {
    const std::vector<cv::Mat> frames(empty_->frames.begin(), empty_->frames.begin() + images);
    json request = {{"command", "confirm_empty"}, {"images", host::imageDescriptors(frames)},
                    {"times", times}};
    if (!confirmed.is_null()) request["empty_confirmed"] = confirmed;
    return call(request);
  }
  static json error(const std::string& code) { return json{{"error", code}}; }
  Engine& engine() { return *static_cast<Engine*>(engine_); }
  json dart() { return {{"id", 1}, {"field", {{"label", "S20"}}}}; }

  static const scene::Renderer* renderer_;
  static const scene::SceneImages* empty_;
  void* engine_ = nullptr;
};
const scene::Renderer* EmptyCommands::renderer_ = nullptr;
const scene::SceneImages* EmptyCommands::empty_ = nullptr;

TEST(CaptureTimes, FreshAndSynchronised) {
  EXPECT_TRUE(areSynchronised({10.0, 10.05, 10.1}));
  EXPECT_FALSE(areSynchronised({10.0, 10.05, 10.11}));
  EXPECT_TRUE(areFresh({1.0, 1.05, 1.08}, {-1.0, -1.0, -1.0}));
  EXPECT_FALSE(areFresh({1.0, 1.05, 1.08}, {0.5, 1.05, 0.5}));
  EXPECT_FALSE(areFresh({1.0, NAN, 1.08}, {-1.0, -1.0, -1.0}));
  EXPECT_EQ(readCaptureTimes({{"times", {1.0, 2.0, 3.0, 4.0}}}), (std::array<double, 3>{1.0, 2.0, 3.0}));
  EXPECT_THROW(readCaptureTimes({{"times", {1.0, 2.0}}}), json::exception);
  EXPECT_THROW(readCaptureTimes({{"times", {1.0, "2", 3.0}}}), json::exception);
}

TEST_F(EmptyCommands, EveryCommandRefusesAnUnarmedRound) {
  EXPECT_EQ(confirm({1.0, 1.0, 1.0}), error("EMPTY_BOARD_CONFIRMATION_REQUIRED"));
  EXPECT_EQ(command("restart_empty_begin", nullptr, 0), error("ENGINE_NOT_ARMED"));
  EXPECT_EQ(command("restart_empty_check", {1.0, 1.0, 1.0}), error("RESTART_PROOF_REQUIRED"));
  EXPECT_EQ(command("startup_check", {1.0, 1.0, 1.0}), error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION"));
  EXPECT_EQ(command("calibration_empty_check", {1.0, 1.0, 1.0}),
            error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION"));
}

TEST_F(EmptyCommands, ConfirmEmptyChecksItsRequest) {
  arm();
  struct Case {
    json reply;
    std::string code;
  };
  const std::vector<Case> cases = {
      {confirm({10.0, 10.0, 10.0}, 2), "EMPTY_BOARD_CONFIRMATION_REQUIRED"},
      {confirm({10.0, 10.0, 10.0}, 3, false), "EMPTY_BOARD_CONFIRMATION_REQUIRED"},
      {confirm({10.0, 10.0, 10.0}, 3, nullptr), "EMPTY_BOARD_CONFIRMATION_REQUIRED"},
      {confirm({10.0, 10.05, 10.11}), "UNSYNCED_CAMERAS"},
      {confirm({0.0, 0.0, 0.0}), "INVALID_CAPTURE_TIME"},
      {confirm({-1.0, 0.05, 0.05}), "INVALID_CAPTURE_TIME"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.reply, error(c.code));
  EXPECT_TRUE(confirm({10.0, 10.0}).contains("error"));  // too few times
  EXPECT_TRUE(engine().round.armed);
}

TEST_F(EmptyCommands, ConfirmEmptyReArmsOnTheCurrentFramesAndKeepsTheCalibration) {
  arm();
  const json calibrations = host::armRequest(empty_->truth, empty_->frames)["calibrations"];
  engine().round.eventNumber = 4;
  const auto normal = engine().round.cameras[1].imageNormal;

  const json ready = confirm({10.0, 10.05, 10.02});
  EXPECT_EQ(ready["status"], "STARTUP_READY");
  EXPECT_EQ(ready["round"], 1);
  EXPECT_EQ(ready["reason"], "USER_CONFIRMED_EMPTY");
  EXPECT_EQ(ready["calibration_preserved"], true);
  EXPECT_EQ(ready["entries"], json::array());
  EXPECT_TRUE(ready["engine_flags"].is_object());
  ASSERT_EQ(ready["calibrations"].size(), 3u);
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 9; ++k) {
      EXPECT_NEAR(ready["calibrations"][i][k / 3][k % 3].get<double>(),
                  calibrations[i][k / 3][k % 3].get<double>(), 1e-9);
    }
  }
  EXPECT_EQ(ready["tip_geometry"]["CAM_2"]["image_normal"], json({normal[0], normal[1], normal[2]}));
  const Round& round = engine().round;
  EXPECT_EQ(round.eventNumber, 4);
  EXPECT_EQ(round.lastFrameTime, 10.05);
  EXPECT_EQ(round.lastCaptureTimes[2], 10.02);
  EXPECT_EQ(engine().lastCheckTimes[1], 10.05);
  EXPECT_NE(round.cameras[0].emptyReferenceColour.data, empty_->frames[0].data);

  engine().round.entries.push_back(dart());
  const json reset = confirm({11.0, 11.0, 11.0});
  EXPECT_EQ(reset["status"], "EMPTY_RESET");
  EXPECT_EQ(reset["round"], 2);
  EXPECT_EQ(reset["entries"], json::array());
  EXPECT_TRUE(engine().round.entries.empty());

  engine().round.takeout = true;
  EXPECT_EQ(confirm({12.0, 12.0, 12.0})["round"], 3);
}

TEST_F(EmptyCommands, RestartIsProvenInTwoSteps) {
  arm();
  EXPECT_EQ(command("restart_empty_check", {5.0, 5.0, 5.0}), error("RESTART_PROOF_REQUIRED"));
  engine().round.entries.push_back(dart());
  const json begun = command("restart_empty_begin", nullptr, 0);
  EXPECT_EQ(begun["status"], "RESTART_EMPTY_PENDING");
  EXPECT_EQ(begun["round"], 1);
  EXPECT_EQ(begun["references_preserved"], true);
  EXPECT_EQ(begun["entries"].size(), 1u);
  ASSERT_TRUE(engine().restartSnapshot.has_value());
  EXPECT_TRUE(engine().restartSnapshot->round.entries.empty());
  EXPECT_EQ(engine().round.entries.size(), 1u);  // the round itself is untouched
  EXPECT_EQ(command("transient_probe"), error("RESTART_PROOF_PENDING"));

  EXPECT_EQ(command("restart_empty_check", {5.0, 5.0, 5.0}, 2), error("RESTART_PROOF_REQUIRED"));
  EXPECT_EQ(command("restart_empty_check", {5.0, 5.05, 5.2}), error("STARTUP_UNSYNCED_FRAMES"));
  EXPECT_EQ(engine().restartSnapshot->checkTimes[2], -1.0);
  const json checked = command("restart_empty_check", {6.0, 6.0, 6.0});
  ASSERT_FALSE(checked.contains("error")) << checked;
  EXPECT_EQ(checked["scoring"], false);
  EXPECT_TRUE(checked.contains("empty_check_status"));
  // One look at the board is no proof yet: the snapshot waits with the round untouched.
  EXPECT_EQ(checked["status"], "STARTUP_WAIT_EMPTY") << checked.dump().substr(0, 400);
  EXPECT_EQ(checked["round"], 1);
  EXPECT_EQ(checked["entries"].size(), 1u);
  EXPECT_EQ(engine().restartSnapshot->checkTimes[0], 6.0);
  EXPECT_EQ(command("restart_empty_check", {6.0, 6.0, 6.0}), error("STARTUP_REQUIRES_FRESH_FRAMES"));
  EXPECT_EQ(command("detect", {7.0, 7.0, 7.0}), error("RESTART_PROOF_PENDING"));
  arm();  // arming discards a waiting snapshot
  EXPECT_FALSE(engine().restartSnapshot.has_value());
}

TEST_F(EmptyCommands, StartupCheckWantsFreshSynchronisedFramesOfANewSession) {
  arm();
  const json first = command("startup_check", {1.0, 1.05, 1.08});
  ASSERT_FALSE(first.contains("error")) << first;
  const std::string status = first["status"];
  EXPECT_EQ(status, "STARTUP_WAIT_EMPTY") << first.dump().substr(0, 400);
  EXPECT_TRUE(first.contains("empty_check_status"));
  EXPECT_EQ(first["entries"], json::array());
  EXPECT_EQ(first["scoring"], false);
  EXPECT_TRUE(engine().round.incomingFrames.empty());

  EXPECT_EQ(command("startup_check", {1.0, 1.05, 1.08}), error("STARTUP_REQUIRES_FRESH_FRAMES"));
  EXPECT_EQ(command("startup_check", {2.0, 2.2, 2.0}), error("STARTUP_UNSYNCED_FRAMES"));
  EXPECT_EQ(engine().lastCheckTimes[0], 1.0);
  EXPECT_EQ(command("startup_check", {3.0, 3.0, 3.0}, 2), error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION"));

  engine().round.eventNumber = 1;
  EXPECT_EQ(command("startup_check", {4.0, 4.0, 4.0}), error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION"));
  engine().round.eventNumber = 0;
  engine().round.entries.push_back(dart());
  EXPECT_EQ(command("startup_check", {5.0, 5.0, 5.0}), error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION"));
  EXPECT_EQ(command("calibration_empty_check", {5.0, 5.0, 5.0}),
            error("STARTUP_CHECK_REQUIRES_NEW_EMPTY_SESSION"));
}

TEST_F(EmptyCommands, ChecksTakeAnyTimeNewerThanTheLastRightAfterArming) {
  // After arming the last check time is -1.0: -0.5 and then 0.0 are newer, so both are
  // judged; only a time that is not newer is refused.
  for (const std::string name : {"startup_check", "calibration_empty_check"}) {
    arm();
    const json first = command(name, {-0.5, -0.5, -0.5});
    EXPECT_FALSE(first.contains("error")) << name << first.dump().substr(0, 300);
    const json second = command(name, {0.0, 0.0, 0.0});
    EXPECT_FALSE(second.contains("error")) << name << second.dump().substr(0, 300);
    EXPECT_EQ(engine().lastCheckTimes[0], 0.0);
    EXPECT_EQ(command(name, {0.0, 0.0, 0.0}), error("STARTUP_REQUIRES_FRESH_FRAMES")) << name;
  }
  arm();
  ASSERT_EQ(command("restart_empty_begin", nullptr, 0).value("status", ""), "RESTART_EMPTY_PENDING");
  const json restart = command("restart_empty_check", {0.0, 0.0, 0.0});
  EXPECT_FALSE(restart.contains("error")) << restart.dump().substr(0, 300);
  // "confirm_empty" alone makes the current frames references and wants a positive time.
  EXPECT_EQ(confirm({0.0, 0.0, 0.0}), error("INVALID_CAPTURE_TIME"));
}

TEST_F(EmptyCommands, ATimeFarAheadOfTheClockIsRefusedAndNotStored) {
  arm();
  const double now = tarv_monotonic_seconds();
  const double milliseconds = now * 1000.0 + 1.0e6;  // a host that sent milliseconds
  EXPECT_EQ(command("startup_check", {milliseconds, milliseconds, milliseconds}), error("INVALID_CAPTURE_TIME"));
  EXPECT_EQ(engine().lastCheckTimes[0], -1.0);
  EXPECT_EQ(confirm({now + 61.0, now + 61.0, now + 61.0}), error("INVALID_CAPTURE_TIME"));
  // A real time afterwards is judged as if the bad one never came.
  const json real = command("startup_check", {now, now, now});
  EXPECT_FALSE(real.contains("error")) << real.dump().substr(0, 300);
  // Up to a minute ahead is still a capture time (clocks of hosts and cameras may differ).
  const json ahead = command("startup_check", {now + 30.0, now + 30.0, now + 30.0});
  EXPECT_FALSE(ahead.contains("error")) << ahead.dump().substr(0, 300);
}

TEST_F(EmptyCommands, ATimeInMillisecondsDoesNotStallTheRound) {
  arm();
  const double now = tarv_monotonic_seconds();
  const double milliseconds = now * 1000.0;
  EXPECT_EQ(command("detect", {milliseconds, milliseconds, milliseconds}), error("INVALID_CAPTURE_TIME"));
  EXPECT_EQ(engine().round.lastCaptureTimes[0], -1.0);
  const json real = command("detect", {now, now, now});
  EXPECT_FALSE(real.contains("error")) << real.dump().substr(0, 300);
  EXPECT_NE(real.value("reason", ""), "WAIT_FRESH_TRIPLET");
  EXPECT_EQ(engine().round.lastCaptureTimes[0], now);
  // The one- and two-camera rounds refuse it too, before anything else.
  EXPECT_EQ(call({{"command", "detect"}, {"images", host::imageDescriptors({empty_->frames[0]})},
                  {"time", milliseconds}}),
            error("INVALID_CAPTURE_TIME"));
  EXPECT_EQ(call({{"command", "detect"},
                  {"images", host::imageDescriptors({empty_->frames[0], empty_->frames[1]})},
                  {"times", {milliseconds, milliseconds}}}),
            error("INVALID_CAPTURE_TIME"));
}

TEST_F(EmptyCommands, AnEmptyBoardIsProvenReadyAndBecomesTheReference) {
  arm();
  json reply = json::object();
  for (int i = 0; i < 5 && reply.value("status", "") != "STARTUP_READY"; ++i) {
    const double t = 1.0 + 0.2 * i;
    reply = command("startup_check", {t, t, t});
    ASSERT_FALSE(reply.contains("error")) << reply;
  }
  EXPECT_EQ(reply["status"], "STARTUP_READY") << reply.dump().substr(0, 600);
  EXPECT_EQ(reply["empty_check_status"], "BACKGROUND_REFRESH");
  EXPECT_EQ(reply["reference_refreshed"], true);
  EXPECT_EQ(reply["calibrations"].size(), 3u);
  for (const cv::Mat& table : engine().round.inputLut) EXPECT_TRUE(table.empty());

  // The same empty board proves a restart of a round that held a dart: the round advances.
  engine().round.entries.push_back(dart());
  ASSERT_EQ(command("restart_empty_begin", nullptr, 0)["status"], "RESTART_EMPTY_PENDING");
  for (int i = 0; i < 5 && engine().restartSnapshot; ++i) {
    const double t = 5.0 + 0.2 * i;
    reply = command("restart_empty_check", {t, t, t});
    ASSERT_FALSE(reply.contains("error")) << reply;
  }
  EXPECT_EQ(reply["status"], "EMPTY_RESET") << reply.dump().substr(0, 600);
  EXPECT_EQ(reply["reason"], "RESTART_VERIFIED_EMPTY");
  EXPECT_EQ(reply["restart_reference_refreshed"], true);
  EXPECT_EQ(reply["round"], 2);
  EXPECT_EQ(reply["entries"], json::array());
  EXPECT_EQ(reply["state"], engine().round.state);
  EXPECT_FALSE(reply["state"].is_null());
}

TEST_F(EmptyCommands, CalibrationCheckReusesItsWorkingCopyWithinThreeQuartersOfASecond) {
  arm();
  engine().round.eventNumber = 2;  // allowed here, unlike for "startup_check"
  struct Step {
    double time;
    bool reused;
  };
  const json marker = {{"marker", true}};
  for (const Step& s : {Step{10.0, false}, Step{10.5, true}, Step{11.5, false}, Step{12.0, true}}) {
    const json reply = command("calibration_empty_check", {s.time, s.time, s.time});
    ASSERT_FALSE(reply.contains("error")) << reply;
    EXPECT_EQ(reply["entries"], json::array());
    EXPECT_EQ(reply["scoring"], false);
    ASSERT_TRUE(engine().calibrationCheckRound.has_value());
    Round& check = *engine().calibrationCheckRound;
    EXPECT_EQ(check.fallbackPoint == marker, s.reused) << s.time;
    EXPECT_TRUE(check.incomingFrames.empty());
    check.fallbackPoint = marker;
  }
  engine().round.eventNumber = 3;  // another event: a fresh copy
  command("calibration_empty_check", {12.2, 12.2, 12.2});
  EXPECT_NE(engine().calibrationCheckRound->fallbackPoint, marker);

  EXPECT_FALSE(confirm({13.0, 13.0, 13.0}).contains("error"));
  EXPECT_FALSE(engine().calibrationCheckRound.has_value());
}

}  // namespace
}  // namespace tarv
