#include "tarv/engine/decision_window.h"

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core/version.hpp>

#include "tarv/core/process_switches.h"

namespace tarv {
namespace {

json entriesOf(int count) {
  json entries = json::array();
  for (int i = 0; i < count; ++i) entries.push_back({{"field", {{"selected_field", "S1"}}}});
  return entries;
}

Round windowRound(double start, double pendingSince, int entryCount) {
  Round round;
  round.decisionWindowStart = start;
  round.pendingSince = pendingSince;
  round.entries = entriesOf(entryCount);
  round.pendingCandidate = {{"field", "T20"}};
  round.pendingConfirmation = {{"wait", true}};
  return round;
}

std::string codeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(DecisionWindow, ReviewBeginsAtTheDeadlineUnlessAnEmptyRoundIsInItsGrace) {
  struct Case {
    const char* name;
    double start;
    double pendingSince;
    int entries;
    double now;
    bool review;
  };
  const Case cases[] = {
      {"just before the deadline", 10.0, -1.0, 0, 12.99, false},
      {"at the deadline", 10.0, -1.0, 0, 13.0, true},
      {"long after the deadline", 10.0, -1.0, 2, 500.0, true},
      {"empty round inside the grace", 10.0, 11.0, 0, 13.2, false},
      {"empty round after the grace", 10.0, 11.0, 0, 13.5, true},
      {"entries ignore the pending time", 10.0, 11.0, 1, 13.0, true},
      {"pending time in the future", 10.0, 14.0, 0, 13.5, true},
      {"closed window", -1.0, -1.0, 0, 1000.0, false},
      {"closed window with a pending candidate", -1.0, 11.0, 0, 1000.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Round round = windowRound(c.start, c.pendingSince, c.entries);
    json reply = checkDecisionWindow(round, c.now);

    EXPECT_EQ(reply["status"], c.review ? "DECISION_REVIEW_REQUIRED" : "WAIT_DECISION");
    EXPECT_EQ(reply["reason"], "NO_RELIABLE_SCORE_WITHIN_THREE_SECONDS");
    EXPECT_EQ(round.reviewRequired, c.review);
    EXPECT_EQ(round.pendingCandidate.is_null(), c.review);
    EXPECT_EQ(round.pendingConfirmation.is_null(), c.review);
    EXPECT_EQ(round.decisionWindowStart, c.start);

    json& window = reply["decision_window"];
    EXPECT_EQ(window["active"], c.start >= 0.0 && !c.review);
    EXPECT_EQ(window["started"], c.start);
    EXPECT_DOUBLE_EQ(window["deadline"].get<double>(), c.start >= 0.0 ? c.start + 3.0 : -1.0);
    EXPECT_EQ(window["review_required"], c.review);
  }
}

TEST(DecisionWindow, ReviewStaysOnceStarted) {
  Round round = windowRound(10.0, -1.0, 0);
  checkDecisionWindow(round, 13.5);
  round.pendingCandidate = {{"field", "S5"}};

  // Even a time inside the window again, or a closed window, keeps the review.
  EXPECT_EQ(checkDecisionWindow(round, 11.0)["status"], "DECISION_REVIEW_REQUIRED");
  round.decisionWindowStart = -1.0;
  json reply = checkDecisionWindow(round, 11.0);
  EXPECT_EQ(reply["status"], "DECISION_REVIEW_REQUIRED");
  EXPECT_EQ(reply["decision_window"]["active"], false);
  // Without a new expiry nothing is cleared a second time.
  EXPECT_FALSE(round.pendingCandidate.is_null());
}

TEST(DecisionWindow, ReplyCarriesTheRoundAndItsLastHostEvent) {
  Round round = windowRound(10.0, -1.0, 2);
  round.roundNumber = 7;
  round.state = {{"type", "state"}, {"data", {{"event", "Throw detected"}}}};

  json reply = checkDecisionWindow(round, 11.0);
  EXPECT_EQ(reply["entries"], round.entries);
  EXPECT_EQ(reply["round"], 7);
  EXPECT_TRUE(reply["state"].is_null());
  EXPECT_EQ(reply["snapshot"], round.state);
  EXPECT_EQ(reply["engine_flags"], buildEngineFlags(round));
  EXPECT_EQ(reply.size(), 8u);
}

TEST(DecisionWindow, NonFiniteTimeFailsAndChangesNothing) {
  for (double now : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(now);
    Round round = windowRound(10.0, -1.0, 0);
    EXPECT_EQ(codeOf([&] { checkDecisionWindow(round, now); }), "INVALID_DECISION_TIME");
    EXPECT_FALSE(round.reviewRequired);
    EXPECT_FALSE(round.pendingCandidate.is_null());
  }
}

TEST(PendingWindow, OpenOnlyForAnEmptyRoundWithinTheGrace) {
  struct Case {
    const char* name;
    json entries;
    double pendingSince;
    double now;
    bool open;
  };
  const Case cases[] = {
      {"empty array, at the pending time", json::array(), 11.0, 11.0, true},
      {"null entries count as empty", nullptr, 11.0, 12.0, true},
      {"just inside the grace", json::array(), 11.0, 13.49, true},
      {"exactly at the end of the grace", json::array(), 11.0, 13.5, false},
      {"before the pending time", json::array(), 11.0, 10.9, false},
      {"no pending time", json::array(), -1.0, 0.5, false},
      {"pending time zero counts", json::array(), 0.0, 1.0, true},
      {"one entry", entriesOf(1), 11.0, 12.0, false},
      {"not-a-number time", json::array(), 11.0, std::nan(""), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Round round;
    round.entries = c.entries;
    round.pendingSince = c.pendingSince;
    EXPECT_EQ(isPendingWindowOpen(round, c.now), c.open);
  }
}

TEST(EngineFlags, DefaultsOfAFreshRound) {
  json flags = buildEngineFlags(Round{});
  const std::string backend = "CPP_WINDOWS_OPENCV_" + std::to_string(CV_VERSION_MAJOR) + "." +
                              std::to_string(CV_VERSION_MINOR);
  EXPECT_EQ(flags, json({{"recovery", false},
                         {"takeout", false},
                         {"unresolved", false},
                         {"allow_resume", true},
                         {"dart_3d", processSwitches().dart3d.load()},
                         {"input_tone", {false, false, false}},
                         {"backend", backend}}));
}

TEST(EngineFlags, EachFlagReportsItsOwnMember) {
  struct Case {
    const char* key;
    bool Round::*member;
    bool value;
  };
  const Case cases[] = {{"recovery", &Round::recovery, true},
                        {"takeout", &Round::takeout, true},
                        {"unresolved", &Round::unresolved, true},
                        {"allow_resume", &Round::allowResume, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    Round round;
    round.*c.member = c.value;
    json flags = buildEngineFlags(round);
    for (const Case& other : cases) {
      const bool expected = other.member == c.member ? c.value : Round{}.*other.member;
      EXPECT_EQ(flags[other.key], expected) << other.key;
    }
  }
}

TEST(EngineFlags, InputToneFollowsEachCameraTable) {
  Round round;
  round.inputLut[1] = cv::Mat(1, 256, CV_8UC3, cv::Scalar::all(0));
  EXPECT_EQ(buildEngineFlags(round)["input_tone"], json({false, true, false}));
}

TEST(EngineFlags, Dart3dFollowsTheProcessSwitch) {
  const bool saved = processSwitches().dart3d.load();
  for (bool value : {false, true}) {
    processSwitches().dart3d = value;
    EXPECT_EQ(buildEngineFlags(Round{})["dart_3d"], value);
  }
  processSwitches().dart3d = saved;
}

}  // namespace
}  // namespace tarv
