// Every way the one-camera engine refuses to enter a rendered object as a dart, through the
// exported functions on the default rig's most frontal camera.
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/variants/variant_host_test_support.h"
#include "tarv/variants/variant_views.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

const scene::SceneImages& empty() { return scene::defaultEmptyBoard(); }

// Sends the state up to four times and answers the first reply that is not a weak sample
// waiting for its confirmation.
json decide(VariantHost& host, const std::vector<cv::Mat>& frames) {
  json reply;
  for (int i = 0; i < 4; ++i) {
    reply = host.detect(frames, host.now() + 1.0 / 30.0);
    if (reply.value("reason", "") != "SINGLE_VIEW_NEEDS_FRESH_CONFIRMATION" &&
        reply.value("status", "") != "READY") {
      return reply;
    }
  }
  return reply;
}
json decide(VariantHost& host, const scene::SceneImages& shot) { return decide(host, host.pick(shot)); }

int minPixelsOfTheCamera() {
  return variantMinPixels(host::homographyOf(empty().truth.cameras[2].board_to_image));
}

const scene::Dart kDart = dartAt(10.0, -103.0);

TEST(MonoRejections, AShaftShorterThanTheMinimumIsNoDart) {
  VariantHost host(1);
  ASSERT_EQ(host.arm(empty(), {{"shaft_min_mm", 400.0}})["status"], "READY");
  const json reply = decide(host, renderDarts({kDart}));
  EXPECT_EQ(reply["status"], "POSITION_UNRESOLVED");
  EXPECT_EQ(reply["reason"], "NO_DART_SHAFT") << reply.dump().substr(0, 400);
  EXPECT_GT(reply["shaft_mm"].get<double>(), 20.0);
  EXPECT_LT(reply["shaft_mm"].get<double>(), 400.0);
  EXPECT_TRUE(reply.contains("view_checks"));
  EXPECT_TRUE(reply["entries"].empty());
}

// Outside the double, where one view sees this dart's tip by its line alone: a weak single
// view, confirmed by the next frame, is not enough for a miss when misses need a strong line.
TEST(MonoRejections, AMissNeedsAStrongLineWhenTheHostAsksForIt) {
  const double a = 75.0 * CV_PI / 180.0;
  const scene::SceneImages shot = renderDarts({dartAt(177.0 * std::cos(a), 177.0 * std::sin(a), 14.0, 185.0)});
  VariantHost strict(1);
  ASSERT_EQ(strict.arm(empty(), {{"miss_requires_strong", true}})["status"], "READY");
  const json first = strict.detect(strict.pick(shot), 10.0);
  EXPECT_EQ(first["reason"], "SINGLE_VIEW_NEEDS_FRESH_CONFIRMATION") << first.dump().substr(0, 400);
  const json reply = strict.detect(strict.pick(shot), 10.03);
  EXPECT_EQ(reply["status"], "POSITION_UNRESOLVED");
  EXPECT_EQ(reply["reason"], "MISS_NEEDS_STRONG_LINE") << reply.dump().substr(0, 400);
  EXPECT_EQ(reply["decision"]["method"], "MONO_SINGLE_VIEW");
  EXPECT_TRUE(reply.contains("shaft_mm"));
  EXPECT_TRUE(reply["entries"].empty());
  // The same confirmed sample is a miss when the host does not ask for more.
  VariantHost plain(1);
  ASSERT_EQ(plain.arm(empty())["status"], "READY");
  plain.detect(plain.pick(shot), 10.0);
  const json entered = plain.detect(plain.pick(shot), 10.03);
  ASSERT_EQ(entered["status"], "DART_CANDIDATE") << entered.dump().substr(0, 400);
  EXPECT_EQ(entered["entry"]["field"]["selected_field"], "MISS");
  EXPECT_EQ(entered["entry"]["confidence"]["level"], "weak");
}

TEST(MonoRejections, ADartOnTheTipOfAnEnteredOneIsNotEnteredTwice) {
  VariantHost host(1);
  ASSERT_EQ(host.arm(empty())["status"], "READY");
  ASSERT_EQ(decide(host, renderDarts({kDart}))["status"], "DART_CANDIDATE");
  // A second dart in the first one's hole, leaning the other way.
  const json reply = decide(host, renderDarts({kDart, dartAt(10.5, -103.0, 15.0, 20.0)}));
  EXPECT_EQ(reply["status"], "POSITION_UNRESOLVED");
  EXPECT_EQ(reply["reason"], "NEAR_EXISTING_POINT") << reply.dump().substr(0, 600);
  EXPECT_EQ(reply["entries"].size(), 1u);
}

TEST(MonoRejections, BeyondTheMissRadiusIsABouncerCandidate) {
  VariantHost host(1);
  ASSERT_EQ(host.arm(empty(), {{"miss_radius_mm", 170.0}})["status"], "READY");
  // Below the board, its body seen over the board's face.
  const json reply = decide(host, renderDarts({dartAt(0.0, 176.0, 10.0, 180.0)}));
  EXPECT_EQ(reply["status"], "BOUNCER_CANDIDATE");
  EXPECT_EQ(reply["reason"], "OUTSIDE_MISS_LIMIT") << reply.dump().substr(0, 400);
  EXPECT_EQ(reply["limit_mm"], 170.0);
  EXPECT_EQ(reply["bouncer"], json::object());
  EXPECT_GT(std::hypot(reply["point"][0].get<double>(), reply["point"][1].get<double>()), 170.0);
  EXPECT_TRUE(reply["entries"].empty());
}

TEST(MonoRejections, AChangeSmallerThanADartIsNoNewSupport) {
  VariantHost host(1);
  ASSERT_EQ(host.arm(empty())["status"], "READY");
  const int limit = minPixelsOfTheCamera();
  ASSERT_GT(limit, 140);
  // A dark fleck of about 110 pixels on the treble ring: more than any event needs, less
  // than a dart in this camera.
  cv::Mat frame = host.pick(empty())[0].clone();
  const auto& h = empty().truth.cameras[2].board_to_image;
  const cv::Vec3d p = h * cv::Vec3d(-40.0, 90.0, 1.0);
  cv::circle(frame, cv::Point(cvRound(p[0] / p[2]), cvRound(p[1] / p[2])), 6, cv::Scalar(20, 20, 20), cv::FILLED);
  const json reply = decide(host, std::vector<cv::Mat>{frame});
  EXPECT_EQ(reply["status"], "BOUNCER_CANDIDATE");
  EXPECT_EQ(reply["reason"], "INSUFFICIENT_NEW_SUPPORT") << reply.dump().substr(0, 400);
  EXPECT_TRUE(reply["bouncer"]["rejected"].get<bool>());
  EXPECT_EQ(reply["bouncer"]["min_pixels"], limit);
  EXPECT_GE(reply["bouncer"]["new"].get<int>(), 80);
  EXPECT_LT(reply["bouncer"]["new"].get<int>(), limit);
}

// A calibration that places every board point 2 mm further from the bull than it is: a tip
// 1.2 mm outside the treble ring's inner wire is scored as a single by the geometry, while
// the bed under the tip is the treble's red.
TEST(MonoRejections, TheBedColourAtThePreciseTipOverrulesTheGeometryAtAWire) {
  VariantHost host(1);
  const cv::Matx33d shift(1, 0, 0, 0, 1, -2.0, 0, 0, 1);
  const cv::Matx33d h = empty().truth.cameras[2].board_to_image * shift;
  json calibration = json::array();
  for (int r = 0; r < 3; ++r) calibration.push_back({h(r, 0), h(r, 1), h(r, 2)});
  ASSERT_EQ(host.arm(empty(), {{"calibration", calibration}})["status"], "READY");
  const scene::SceneImages shot = renderDarts({dartAt(0.0, -98.2, 10.0, 200.0)});
  ASSERT_EQ(shot.truth.darts[0].field, "T20");
  const json reply = decide(host, shot);
  ASSERT_EQ(reply["status"], "DART_CANDIDATE") << reply.dump().substr(0, 600);
  const json& field = reply["entry"]["field"];
  EXPECT_EQ(field["nominal_field"], "S20") << field.dump();
  EXPECT_EQ(field["selected_field"], "T20") << field.dump();
  EXPECT_EQ(field["selection"]["reason"], "BED_COLOUR_AT_TIP");
  EXPECT_EQ(field["selection"]["geometry_field"], "S20");
}

// The fresh change goes on beyond the measured tip (a fleck just past the point): the tip may
// lie on the dart's body, so the bed there says nothing and the geometric field stays.
TEST(MonoRejections, ATipWhoseChangeGoesOnKeepsItsGeometricField) {
  const scene::SceneImages shot = renderDarts({kDart});
  const scene::DartView& seen = shot.truth.darts[0].views[2];
  cv::Mat fresh = nativeDifferenceMask(toGray(empty().frames[2]), toGray(shot.frames[2]));
  const cv::Rect box = cv::boundingRect(fresh);
  const cv::Point2d centre(box.x + box.width / 2.0, box.y + box.height / 2.0);
  const cv::Point2d d = (seen.tip_px - centre) / cv::norm(seen.tip_px - centre);
  const Point2 tipMm{shot.truth.darts[0].tip_mm.x, shot.truth.darts[0].tip_mm.y};
  const json vote = {{"abstention", false}, {"point", {tipMm.x, tipMm.y}}, {"pixel_error", 0.5},
                     {"image_point", {seen.tip_px.x, seen.tip_px.y}},
                     {"box", {box.x, box.y, box.width, box.height}}};
  const TipChecks clean = checkTipVotes(json::array({vote}), tipMm, fresh);
  EXPECT_TRUE(clean.precise);
  EXPECT_FALSE(clean.onDartBody);
  cv::line(fresh, seen.tip_px + 3.0 * d, seen.tip_px + 12.0 * d, cv::Scalar(255), 2);
  EXPECT_TRUE(checkTipVotes(json::array({vote}), tipMm, fresh).onDartBody);
  // A tip taken on the shaft a little above the point lies on the body.
  json middle = vote;
  const cv::Point2d half = seen.tip_px + 0.08 * (seen.flight_px - seen.tip_px);
  middle["image_point"] = {half.x, half.y};
  const cv::Mat plain = nativeDifferenceMask(toGray(empty().frames[2]), toGray(shot.frames[2]));
  EXPECT_TRUE(checkTipVotes(json::array({middle}), tipMm, plain).onDartBody);
}

// A hand in front of the board is never entered as a dart: the host says so, or, when it
// does not, the change is larger than any dart can be.
TEST(MonoRejections, AHandIsNoDartWithOrWithoutTheHostsWord) {
  VariantHost host(1);
  ASSERT_EQ(host.arm(empty())["status"], "READY");
  // The hand pulling the first dart of a round, the dart still in its hole.
  const scene::SceneImages hand = renderDarts({kDart}, true);
  const json reported = host.detect(host.pick(hand), 10.0, true);
  EXPECT_EQ(reported["status"], "WAIT");
  EXPECT_EQ(reported["reason"], "HAND_SEEN") << reported.dump().substr(0, 300);
  for (int i = 0; i < 4; ++i) {
    const json unreported = host.detect(host.pick(hand), 10.03 * (i + 2));
    EXPECT_NE(unreported["status"], "DART_CANDIDATE") << unreported.dump().substr(0, 300);
    EXPECT_TRUE(unreported["entries"].empty());
  }
}

// Each dart of a round is measured by the line and by its own searches: no search restates
// the line's tip, and the entry counts what agreed.
TEST(MonoRejections, EverySearchIsAMeasurementOfItsOwn) {
  VariantHost host(1);
  ASSERT_EQ(host.arm(empty())["status"], "READY");
  const std::vector<scene::Dart> darts{kDart, dartAt(-60.0, 40.0, 20.0, 100.0), dartAt(70.0, 100.0, 8.0, 300.0)};
  for (size_t n = 1; n <= darts.size(); ++n) {
    const json reply = decide(host, renderDarts({darts.begin(), darts.begin() + static_cast<long>(n)}));
    ASSERT_EQ(reply["status"], "DART_CANDIDATE") << reply.dump().substr(0, 300);
    const json& camera = reply["diagnostics"]["CAM_1"];
    const json& vote = camera["votes"][0];
    int found = 0;
    for (const char* search : {"colour", "frame", "fresh", "stored"}) {
      ASSERT_TRUE(camera["candidates"].contains(search)) << search;
      const json& c = camera["candidates"][search];
      if (c["status"] != "CANDIDATE") continue;
      EXPECT_NE(c["point"], vote["point"]) << search;
      found += c["quality"].get<double>() >= 0.5;  // what the election counts
    }
    const json& confidence = reply["entry"]["confidence"];
    EXPECT_EQ(confidence["of"].get<int>(), 1 + found) << camera["candidates"].dump();
    EXPECT_LE(confidence["eyes"].get<int>(), confidence["of"].get<int>());
    EXPECT_EQ(confidence["policy"], "ONE_CAMERA_FOUR_SEARCHES_PLUS_LINE; WEAK_NEEDS_FRESH_SAMPLE");
    // A strong entry of two members stands on the local check, which needs new edges.
    if (confidence["eyes"] == 2 && confidence["level"] == "strong") {
      EXPECT_TRUE(reply["view_checks"]["CAM_1"]["supported"].get<bool>());
      EXPECT_GE(reply["view_checks"]["CAM_1"]["new_edge_pixels"].get<int>(), 4);
    }
  }
}

}  // namespace
}  // namespace tarv
