// The motion-bouncer review on rendered boards: half-size transient views of a dart that is
// gone again from the current full-size frames, as the runtime sends them.
#include "tarv/engine/motion_bouncer.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/engine/arming.h"
#include "tarv/engine/transient_confirmation.h"
#include "tarv/engine/transient_probe.h"
#include "tarv/tarv.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using Frames = std::vector<cv::Mat>;
constexpr double kT = 200.0;  // newest transient time
const cv::Size kFullSize(1280, 720);
const cv::Size kViewSize(640, 360);

Frames resized(const Frames& frames, cv::Size size) {
  Frames out;
  for (const cv::Mat& f : frames) {
    out.emplace_back();
    cv::resize(f, out.back(), size, 0, 0, cv::INTER_AREA);
  }
  return out;
}

struct Boards {
  scene::SceneImages empty;
  Frames bounce, existing, views, plainViews;
  Round armed;
};

const Boards& boards() {
  static const Boards b = [] {
    const scene::Renderer renderer(scene::defaultRig(kFullSize));
    const auto frames = [&](cv::Point2d tip, double azimuth) {
      scene::Scene s;
      s.darts.push_back(
          {tip, scene::frontDirection(12.0, azimuth), scene::flightColours()[0], 15.0});
      return renderer.render(s).frames;
    };
    Boards b{renderer.render(scene::Scene{}),
             frames({40.0, -60.0}, 200.0),
             frames({-70.0, 40.0}, 120.0),
             {},
             {},
             Round{}};
    b.views = resized(b.bounce, kViewSize);
    b.plainViews = resized(b.empty.frames, kViewSize);
    armRound(b.armed, host::armRequest(b.empty.truth, b.empty.frames), b.empty.frames);
    return b;
  }();
  return b;
}

Frames bounceImages() {
  Frames images = boards().views;
  images.insert(images.end(), boards().empty.frames.begin(), boards().empty.frames.end());
  return images;
}

json reviewRequest(double transient = kT, double current = kT + 0.4) {
  return {{"times", {transient - 0.01, transient, transient}},
          {"current_times", {current, current, current}}};
}

Homography viewHomography(int i) {
  return scaleHomography(boards().armed.cameras[i].boardToImage, 0.5, 0.5);
}

// Pixels under the mask set to the contrary brightness, so that they always differ.
void markContrary(cv::Mat& frame, const cv::Mat& mask) {
  const cv::Mat grey = toGray(frame);
  frame.setTo(cv::Scalar::all(255), mask & (grey < 128));
  frame.setTo(cv::Scalar::all(0), mask & (grey >= 128));
}

// A thin mark along a board segment.
void drawStroke(cv::Mat& view, const Homography& h, Point2 from, Point2 to) {
  const Point2 a = applyHomography(h, from);
  const Point2 b = applyHomography(h, to);
  cv::Mat mask = cv::Mat::zeros(view.size(), CV_8UC1);
  cv::line(mask, cv::Point2d(a.x, a.y), cv::Point2d(b.x, b.y), cv::Scalar(255), 4);
  markContrary(view, mask);
}

TEST(MotionBouncer, EntersABounceSeenInTwoViewsAsAMissOnce) {
  Round round = boards().armed;
  round.pendingTransient = {{"confirmed", false}};
  round.cameras[0].surroundMotion = nullptr;  // no motion record: no motion
  round.cameras[1].surroundMotion = std::make_shared<SurroundMotion>();
  round.cameras[1].surroundMotion->images[4] = cv::Mat(kFullSize, CV_8UC1, cv::Scalar(255));
  const json reply = reviewMotionBouncer(round, reviewRequest(), bounceImages());

  ASSERT_EQ(reply["status"], "DART_CANDIDATE") << reply.dump();
  EXPECT_EQ(reply["reason"], "DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT");
  const json& entry = reply["entry"];
  EXPECT_EQ(entry["id"], 1u);
  EXPECT_EQ(entry["event"], 1);
  EXPECT_EQ(entry["method"], "MOTION_BOUNCER");
  EXPECT_EQ(entry["field"]["label"], "MISS");
  EXPECT_EQ(entry["bouncer"], true);
  EXPECT_TRUE(entry["score"].is_null() && entry["uncertainty_mm"].is_null());
  const Point2 point = pointFromJson(entry["board_xy_nominal_mm"]);
  EXPECT_NEAR(point.x, 40.0, 3.0);
  EXPECT_NEAR(point.y, -60.0, 3.0);
  EXPECT_EQ(reply["transient_geometry"]["cameras"], entry["bouncer_views"]);
  EXPECT_EQ(reply["entries"], json::array({entry}));
  EXPECT_EQ(reply["decision_window"]["active"], false);
  // A success is never reported through a nested rejection.
  EXPECT_EQ(reply["motion_bouncer"]["status"], "DART_CANDIDATE");
  EXPECT_EQ(reply["motion_bouncer"]["transient_views"].size(), 3u);
  EXPECT_EQ(reply["state"]["data"]["event"], "Throw detected");
  EXPECT_EQ(reply["state"]["data"]["throws"][0]["segment"]["name"], "M18");
  EXPECT_EQ(reply["snapshot"], reply["state"]);

  EXPECT_EQ(round.entries, reply["entries"]);
  EXPECT_EQ(round.eventNumber, 1);
  EXPECT_EQ(round.state, reply["state"]);
  EXPECT_TRUE(round.pendingTransient.is_null());
  ASSERT_EQ(round.knownDartMasks.size(), 1u);
  EXPECT_EQ(round.knownDartMasks[0][0].size(), kFullSize);
  EXPECT_EQ(cv::countNonZero(round.knownDartMasks[0][0]), 0);

  // The same request again, and a later view of the same bounce before the settled frames.
  for (const json& request : {reviewRequest(), reviewRequest(kT + 0.2, kT + 0.5)}) {
    EXPECT_EQ(reviewMotionBouncer(round, request, bounceImages())["reason"], "ALREADY_COUNTED");
  }
  EXPECT_EQ(round.entries.size(), 1u);
}

TEST(MotionBouncer, RejectsWithAReasonAndLeavesTheRoundAlone) {
  using Change = std::function<void(Round&, json&, Frames&)>;
  const std::tuple<const char*, Change, const char*> cases[] = {
      {"five images", [](Round&, json&, Frames& f) { f.pop_back(); }, "INVALID_INPUT"},
      {"not armed", [](Round& r, json&, Frames&) { r.armed = false; }, "INVALID_INPUT"},
      {"round full",
       [](Round& r, json&, Frames&) {
         r.entries = {{}, {}, {}};
       },
       "STATE_NOT_ELIGIBLE"},
      {"hand seen", [](Round&, json& q, Frames&) { q["hand_seen"] = true; }, "STATE_NOT_ELIGIBLE"},
      {"takeout", [](Round& r, json&, Frames&) { r.takeout = true; }, "STATE_NOT_ELIGIBLE"},
      {"review required", [](Round& r, json&, Frames&) { r.reviewRequired = true; },
       "STATE_NOT_ELIGIBLE"},
      {"frame history",
       [](Round& r, json&, Frames&) { r.frameHistory.emplace_back(2, 2, CV_8UC1); },
       "DECISION_PENDING"},
      {"carried record",
       [](Round& r, json&, Frames&) {
         r.heldEventRecord = {{"n", 1}};
       },
       "DECISION_PENDING"},
      {"window open", [](Round& r, json&, Frames&) { r.decisionWindowStart = 0.0; },
       "DECISION_PENDING"},
      {"views 0.07 s apart", [](Round&, json& q, Frames&) { q["times"][0] = kT - 0.07; },
       "TRANSIENT_UNSYNCED"},
      {"counted already", [](Round& r, json&, Frames&) { r.bouncerReviewTime = kT; },
       "ALREADY_COUNTED"},
      {"current 2 s later", [](Round&, json& q, Frames&) { q = reviewRequest(kT, kT + 2); },
       "STALE_TRANSIENT"},
      {"current not after", [](Round&, json& q, Frames&) { q = reviewRequest(kT, kT); },
       "STALE_TRANSIENT"},
      {"current at half size",
       [](Round&, json&, Frames& f) { f[4] = resized({f[4]}, kViewSize)[0]; },
       "RESOLUTION_CHANGED"},
      {"camera moved",
       [](Round&, json&, Frames& f) {
         cv::Mat moved;
         cv::warpAffine(f[3], moved, cv::Matx23d(1, 0, 6, 0, 1, 4), f[3].size(), cv::INTER_LINEAR,
                        cv::BORDER_REPLICATE);
         f[3] = moved;
       },
       "CAMERA_GUARD"},
      {"dart still there", [](Round&, json&, Frames& f) { f[5] = boards().bounce[2]; },
       "NEW_OBJECT_REMAINS"},
      {"about 100 px left in two cameras",  // under the new-object limit, over the settled one
       [](Round&, json&, Frames& f) {
         for (int i : {0, 1}) {
           const Point2 c = applyHomography(boards().armed.cameras[i].boardToImage, {-30.0, 100.0});
           cv::Mat mask = cv::Mat::zeros(kFullSize, CV_8UC1);
           mask(cv::Rect(static_cast<int>(c.x) - 5, static_cast<int>(c.y) - 5, 11, 11)) = 255;
           f[3 + i] = f[3 + i].clone();
           markContrary(f[3 + i], mask);
         }
       },
       "BOARD_NOT_SETTLED"},
      {"a view 1920 px wide",
       [](Round&, json&, Frames& f) {
         f[1] = resized({f[1]}, {1920, 1080})[0];
       },
       "INVALID_TRANSIENT_SIZE"},
      {"a view scaled 0.5 x 0.52",
       [](Round&, json&, Frames& f) {
         f[0] = resized({f[0]}, {640, 374})[0];
       },
       "INVALID_TRANSIENT_SCALE"},
      {"a view darkened", [](Round&, json&, Frames& f) { f[2] = cv::Mat(f[2] * 0.5); },
       "GLOBAL_CHANGE"},
      {"a stroke in one view",
       [](Round&, json&, Frames& f) {
         f[1] = boards().plainViews[1], f[2] = boards().plainViews[2];
       },
       "TRANSIENT_NOT_IN_TWO_VIEWS"},
      {"nearly parallel strokes",
       [](Round&, json&, Frames& f) {
         for (int i = 0; i < 3; ++i) f[i] = boards().plainViews[i].clone();
         drawStroke(f[0], viewHomography(0), {20.0, -50.0}, {60.0, -50.0});
         drawStroke(f[1], viewHomography(1), {20.0, -58.0}, {60.0, -56.0});
       },
       "TRANSIENT_GEOMETRY_INCONSISTENT"},
  };
  for (const auto& [name, change, reason] : cases) {
    Round round = boards().armed;
    json request = reviewRequest();
    Frames images = bounceImages();
    change(round, request, images);
    const Round before = round;
    const json reply = reviewMotionBouncer(round, request, images);
    EXPECT_EQ(reply["status"], "MOTION_BOUNCER_REJECTED") << name;
    EXPECT_EQ(reply.value("reason", ""), reason) << name << " " << reply.dump();
    EXPECT_EQ(round.entries, before.entries) << name;
    EXPECT_EQ(round.state, before.state) << name;
    EXPECT_EQ(round.bouncerReviewTime, before.bouncerReviewTime) << name;
    EXPECT_TRUE(round.knownDartMasks.empty()) << name;
    if (std::string(reason) == "TRANSIENT_NOT_IN_TWO_VIEWS") {
      EXPECT_TRUE(reply["transient_views"]["CAM_1"].is_object());
      EXPECT_TRUE(reply["transient_views"]["CAM_2"].is_null());
      EXPECT_EQ(reply["after"]["CAM_3"]["remaining_pixels"], 0);
    }
  }
}

TEST(MotionBouncer, ADartAlreadyInTheBoardMustStayPut) {
  Round round = boards().armed;
  ImageTriple masks;
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    c.backgroundFrame = boards().existing[i].clone();
    c.dartReference = toGray(c.backgroundFrame);
    c.referenceChangeMask = nativeDifferenceMask(c.emptyReference, c.dartReference);
    masks[i] = c.referenceChangeMask.clone();
  }
  round.knownDartMasks.push_back(masks);
  round.entries.push_back({{"id", 1}});
  // The current frames have lost the dart as well as the bounce.
  EXPECT_EQ(reviewMotionBouncer(round, reviewRequest(), bounceImages())["reason"],
            "EXISTING_DART_CHANGED");
}

TEST(MotionBouncer, IsTheEngineCommandForSixImages) {
  void* engine = tarv_create();
  const auto call = [engine](const json& request) {
    return json::parse(tarv_call(engine, request.dump().c_str()));
  };
  ASSERT_EQ(call(host::armRequest(boards().empty.truth, boards().empty.frames))["status"], "READY");
  json request = reviewRequest();
  request["command"] = "motion_bouncer";
  request["images"] = host::imageDescriptors(bounceImages());
  EXPECT_EQ(call(request)["status"], "DART_CANDIDATE");
  EXPECT_EQ(call(request)["reason"], "ALREADY_COUNTED");
  tarv_destroy(engine);
}

TEST(MotionBouncer, ATimeFarAheadOfTheClockIsRefusedBeforeTheReviewKeepsIt) {
  void* engine = tarv_create();
  const auto call = [engine](const json& request) {
    return json::parse(tarv_call(engine, request.dump().c_str()));
  };
  ASSERT_EQ(call(host::armRequest(boards().empty.truth, boards().empty.frames))["status"], "READY");
  const double milliseconds = tarv_monotonic_seconds() * 1000.0;
  json request = reviewRequest(milliseconds, milliseconds + 0.4);
  request["command"] = "motion_bouncer";
  request["images"] = host::imageDescriptors(bounceImages());
  EXPECT_EQ(call(request), json({{"error", "INVALID_CAPTURE_TIME"}}));
  request.update(reviewRequest());
  EXPECT_EQ(call(request)["status"], "DART_CANDIDATE");
  tarv_destroy(engine);
}

TEST(MotionBouncer, RemainingPixelLimitAndReplyReason) {
  EXPECT_EQ(remainingPixelLimit(DetectionScale(400.0)), 160);
  EXPECT_EQ(remainingPixelLimit(DetectionScale(399.9)), 159);
  EXPECT_EQ(remainingPixelLimit(DetectionScale(1.0)), 1);
  json reply = {{"status", "MOTION_BOUNCER_REJECTED"}};
  json copy = setReplyReason(reply, "GLOBAL_CHANGE");
  copy["reason"] = "OTHER";
  EXPECT_EQ(reply["reason"], "GLOBAL_CHANGE");
}

// One bounce that both the transient confirmation and the review see gives one entry,
// whichever of the two comes first.
Round probedBounce(Round round, double seen = kT) {
  for (int i = 0; i < 3; ++i) {
    round.probeChangeMasks[i] =
        nativeDifferenceMask(toGray(boards().plainViews[i]), toGray(boards().views[i]));
  }
  round.pendingTransient = {{"epoch", 0},
                            {"event", round.eventNumber},
                            {"round", round.roundNumber},
                            {"captured", seen},
                            {"times", {seen, seen, seen}},
                            {"entry", {{"board_xy_nominal_mm", {40.0, -60.0}}}},
                            {"verified_cameras", {0, 1, 2}},
                            {"confirmed", true}};
  return round;
}

json confirmRequest(double t) {
  return {{"times", {t, t, t}}, {"epoch", 0}, {"confirm_transient", true}};
}

TEST(OneBounceOneEntry, TheReviewRefusesABounceTheConfirmationEntered) {
  Round round = probedBounce(boards().armed);
  ASSERT_FALSE(confirmTransient(round, confirmRequest(kT + 0.1), boards().empty.frames).is_null());
  for (const double seen : {kT, kT + 0.05}) {  // views up to the last frame that showed it
    EXPECT_EQ(reviewMotionBouncer(round, reviewRequest(seen), bounceImages())["reason"],
              "ALREADY_COUNTED");
  }
  EXPECT_EQ(round.entries.size(), 1u);
}

TEST(OneBounceOneEntry, TheConfirmationRefusesABounceTheReviewEntered) {
  Round round = probedBounce(boards().armed);
  ASSERT_EQ(reviewMotionBouncer(round, reviewRequest(), bounceImages())["status"],
            "DART_CANDIDATE");
  EXPECT_TRUE(round.pendingTransient.is_null());
  EXPECT_TRUE(confirmTransient(round, confirmRequest(kT + 0.5), boards().empty.frames).is_null());
  // A probe of the same bounce recorded after the review carries the new event number.
  round = probedBounce(round, kT + 0.1);
  EXPECT_TRUE(confirmTransient(round, confirmRequest(kT + 0.5), boards().empty.frames).is_null());
  EXPECT_EQ(round.entries.size(), 1u);
}

}  // namespace
}  // namespace tarv
