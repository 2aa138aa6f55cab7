// The confirmation of a recorded bounce on rendered boards: the probe's masks show the bounce
// dart, and the fresh frames must show it gone.
#include "tarv/engine/transient_confirmation.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/engine/arming.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using Frames = std::vector<cv::Mat>;
constexpr double kSeen = 100.0;
const cv::Size kProbeSize(320, 180);

struct Boards {
  Frames empty, bounce, existing, existingAndBounce, existingAndOther;
  Round armed;
};

const Boards& boards() {
  static const Boards b = [] {
    const scene::Renderer renderer(scene::defaultRig(cv::Size(640, 360)));
    const auto dart = [](cv::Point2d tip, double azimuth, int colour) {
      return scene::Dart{tip, scene::frontDirection(12.0, azimuth), scene::flightColours()[colour],
                         15.0};
    };
    const auto frames = [&](std::vector<scene::Dart> darts) {
      scene::Scene s;
      s.darts = darts;
      return renderer.render(s).frames;
    };
    const scene::Dart bounce = dart({40.0, -60.0}, 200.0, 0);
    const scene::Dart existing = dart({-70.0, 40.0}, 120.0, 1);
    const scene::SceneImages empty = renderer.render(scene::Scene{});
    Boards b{empty.frames,
             frames({bounce}),
             frames({existing}),
             frames({existing, bounce}),
             frames({existing, dart({70.0, 95.0}, 300.0, 2)}),
             Round{}};
    armRound(b.armed, host::armRequest(empty.truth, empty.frames), empty.frames);
    return b;
  }();
  return b;
}

// The round as the evaluation leaves it after entering the existing dart.
void enterExistingDart(Round& round) {
  ImageTriple masks;
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    c.backgroundFrame = boards().existing[i].clone();
    c.dartReference = toGray(c.backgroundFrame);
    c.referenceChangeMask = nativeDifferenceMask(c.emptyReference, c.dartReference);
    masks[i] = c.referenceChangeMask.clone();
  }
  round.knownDartMasks.push_back(masks);
  round.entries.push_back({{"id", 1}, {"event", 1}});
  round.eventNumber = 1;
}

// The round as an accepted, confirmed probe of the bounce at kSeen leaves it.
Round recorded(bool withExistingDart = false) {
  Round round = boards().armed;
  if (withExistingDart) enterExistingDart(round);
  const Frames& before = withExistingDart ? boards().existing : boards().empty;
  const Frames& shown = withExistingDart ? boards().existingAndBounce : boards().bounce;
  for (int i = 0; i < 3; ++i) {
    cv::Mat a, b;
    cv::resize(before[i], a, kProbeSize, 0, 0, cv::INTER_AREA);
    cv::resize(shown[i], b, kProbeSize, 0, 0, cv::INTER_AREA);
    round.probeChangeMasks[i] = nativeDifferenceMask(toGray(a), toGray(b));
  }
  round.pendingTransient = {
      {"epoch", 0},
      {"event", round.eventNumber},
      {"round", round.roundNumber},
      {"captured", kSeen},
      {"times", {kSeen, kSeen, kSeen}},
      {"entry", {{"board_xy_nominal_mm", {40.0, -60.0}}, {"method", "THREE_VIEW_LINES"}}},
      {"verified_cameras", {0, 1, 2}},
      {"confirmed", true},
      {"single_observation", false}};
  return round;
}

json freshRequest() {
  const double t = kSeen + 0.1;
  return {{"times", {t, t, t}}, {"epoch", 0}, {"confirm_transient", true}};
}

TEST(TransientConfirmation, EntersAMissBouncerWhenTheObjectIsGoneEverywhere) {
  for (const bool single : {false, true}) {
    Round round = recorded();
    round.pendingTransient["single_observation"] = single;
    round.pendingCandidate = {{"point", {1.0, 2.0}}};
    const json answer = confirmTransient(round, freshRequest(), boards().empty);
    ASSERT_FALSE(answer.is_null());
    EXPECT_EQ(answer["status"], "DART_CANDIDATE");
    EXPECT_EQ(answer["reason"], "OBSERVED_DART_DISAPPEARED_WITHOUT_HAND");
    const json& entry = answer["entry"];
    EXPECT_EQ(entry["id"], 1u);
    EXPECT_EQ(entry["event"], 1);
    EXPECT_EQ(entry["field"]["selected_field"], "MISS");
    EXPECT_EQ(entry["method"], "TEMPORAL_THREE_CAMERA_BOUNCER");
    EXPECT_EQ(entry["bouncer"], true);
    EXPECT_EQ(entry["bouncer_positive_observations"], single ? 1 : 2);
    EXPECT_EQ(entry["bouncer_verified_cameras"], json({0, 1, 2}));
    EXPECT_EQ(entry["board_xy_nominal_mm"], json({40.0, -60.0}));

    EXPECT_EQ(round.entries, json::array({entry}));
    EXPECT_EQ(round.eventNumber, 1);
    ASSERT_EQ(round.knownDartMasks.size(), 1u);
    EXPECT_EQ(round.knownDartMasks[0][2].size(), cv::Size(640, 360));
    EXPECT_EQ(cv::countNonZero(round.knownDartMasks[0][2]), 0);
    EXPECT_TRUE(round.pendingTransient.is_null());
    EXPECT_TRUE(round.pendingCandidate.is_null());
    EXPECT_DOUBLE_EQ(round.bouncerReviewTime, kSeen + 0.1);
  }
}

TEST(TransientConfirmation, RefusesWithoutLookingWhenTheRecordOrRoundDoesNotApply) {
  const struct {
    const char* name;
    void (*change)(Round&, json&);
  } cases[] = {
      {"no confirm_transient", [](Round&, json& q) { q.erase("confirm_transient"); }},
      {"hand seen", [](Round&, json& q) { q["hand_seen"] = true; }},
      {"not confirmed", [](Round& r, json&) { r.pendingTransient["confirmed"] = false; }},
      {"no record (a record serves one call)",
       [](Round& r, json&) { r.pendingTransient = nullptr; }},
      {"other epoch", [](Round&, json& q) { q["epoch"] = 1; }},
      {"other event", [](Round& r, json&) { r.pendingTransient["event"] = 5; }},
      {"other round", [](Round& r, json&) { r.pendingTransient["round"] = 2; }},
      {"0.8 s later",
       [](Round&, json& q) {
         q["times"] = {100.8, 100.8, 100.8};
       }},
      {"review required", [](Round& r, json&) { r.reviewRequired = true; }},
      {"window 3 s old", [](Round& r, json&) { r.decisionWindowStart = 97.1; }},
      {"recovery", [](Round& r, json&) { r.recovery = true; }},
      {"takeout", [](Round& r, json&) { r.takeout = true; }},
      {"round full",
       [](Round& r, json&) {
         r.entries = {{{"id", 1}}, {{"id", 2}}, {{"id", 3}}};
       }},
      {"bounce already counted", [](Round& r, json&) { r.bouncerReviewTime = kSeen; }},
  };
  const Round armed = recorded();
  for (const auto& c : cases) {
    Round round = armed;
    json request = freshRequest();
    c.change(round, request);
    const json entries = round.entries;
    // Empty images would fail every check: a refusal here must not look at them.
    EXPECT_TRUE(confirmTransient(round, request, Frames(3)).is_null()) << c.name;
    EXPECT_TRUE(round.pendingTransient.is_null()) << c.name;
    EXPECT_EQ(round.entries, entries) << c.name;
    EXPECT_TRUE(round.knownDartMasks.empty()) << c.name;
  }
}

TEST(TransientConfirmation, EveryCameraMustSeeTheObjectGoneAndNothingNew) {
  const Frames& gone = boards().empty;
  const struct {
    const char* name;
    Frames fresh;
    json verified;
    bool entered;
  } cases[] = {
      {"gone everywhere", gone, {0, 1, 2}, true},
      {"still in one camera", {boards().bounce[0], gone[1], gone[2]}, {0, 1, 2}, false},
      {"another dart arrived", boards().existingAndOther, {0, 1, 2}, false},
      {"two verified cameras suffice", gone, {0, 2}, true},
      {"one verified camera is not enough", gone, {1}, false},
  };
  for (const auto& c : cases) {
    Round round = recorded();
    round.pendingTransient["verified_cameras"] = c.verified;
    EXPECT_EQ(!confirmTransient(round, freshRequest(), c.fresh).is_null(), c.entered) << c.name;
    EXPECT_EQ(round.entries.size(), c.entered ? 1u : 0u) << c.name;
  }
  // Verified by cameras 0 and 1, but camera 1 never saw it: only camera 0 counts.
  Round unseen = recorded();
  unseen.pendingTransient["verified_cameras"] = {0, 1};
  unseen.probeChangeMasks[1] = cv::Mat::zeros(kProbeSize, CV_8UC1);
  EXPECT_TRUE(confirmTransient(unseen, freshRequest(), gone).is_null());
  // Camera 1's fresh frame is not newer than its transient frame.
  Round early = recorded();
  early.pendingTransient["times"] = {kSeen, kSeen + 0.2, kSeen};
  EXPECT_TRUE(confirmTransient(early, freshRequest(), gone).is_null());
}

TEST(TransientConfirmation, ASmallRemnantOnTheTransientAreaMeansTheObjectIsStillThere) {
  // A 20 x 10 transient at probe size of which a 12 x 8 px patch (6 x 4 at probe size) is
  // still changed: too little to be new change, but more than a tenth of the transient.
  for (const bool remnant : {false, true}) {
    Round round = recorded();
    const Point2 c = applyHomography(round.cameras[0].boardToImage, {40.0, -60.0});
    cv::Mat transient = cv::Mat::zeros(kProbeSize, CV_8UC1);
    transient(cv::Rect(static_cast<int>(c.x / 2) - 10, static_cast<int>(c.y / 2) - 5, 20, 10)) =
        255;
    round.probeChangeMasks[0] = transient;
    Frames fresh = {boards().empty[0].clone(), boards().empty[1], boards().empty[2]};
    if (remnant) {
      const cv::Rect patch(static_cast<int>(c.x) - 6, static_cast<int>(c.y) - 4, 12, 8);
      const bool dark = cv::mean(toGray(fresh[0](patch)))[0] < 128.0;
      fresh[0](patch).setTo(cv::Scalar::all(dark ? 255 : 0));
    }
    EXPECT_EQ(confirmTransient(round, freshRequest(), fresh).is_null(), remnant);
  }
}

TEST(TransientConfirmation, DartsAlreadyInTheBoardMustStillBeThere) {
  for (const bool stillThere : {true, false}) {
    Round round = recorded(true);
    const json answer =
        confirmTransient(round, freshRequest(), stillThere ? boards().existing : boards().empty);
    ASSERT_EQ(!answer.is_null(), stillThere);
    if (stillThere) {
      EXPECT_EQ(answer["entry"]["id"], 2u);
    }
  }
}

TEST(TransientConfirmation, AFailingImageCheckLeavesTheRoundAsItWas) {
  Round round = recorded();
  round.cameras[1].boardToImage = Homography{};  // every board point projects to infinity
  const json record = round.pendingTransient;
  EXPECT_THROW(confirmTransient(round, freshRequest(), boards().empty), std::runtime_error);
  EXPECT_EQ(round.pendingTransient, record);
  EXPECT_TRUE(round.entries.empty());
}

}  // namespace
}  // namespace tarv
