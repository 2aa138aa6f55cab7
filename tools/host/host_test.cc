#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "host/wire_distance.h"

namespace tarv::host {
namespace {

constexpr double kPi = 3.14159265358979323846;

cv::Point2d polar(double r, double angle_deg) {
  const double a = angle_deg * kPi / 180.0;
  return {r * std::sin(a), -r * std::cos(a)};
}

TEST(WireDistance, RingsRadialWiresAndTheirEnds) {
  const struct {
    cv::Point2d point;
    double expected;
  } cases[] = {
      {{0.0, 0.0}, 7.0},                // the bull's own ring is the nearest wire
      {polar(7.5, 40.0), 0.5},          // just outside the bull ring
      {polar(102.0, 0.0), 5.0},         // mid treble in the 20: both treble rings 5 mm away
      {polar(130.0, 9.0), 0.0},         // on the radial wire between 20 and 1
      {polar(130.0, 10.0), 130.0 * std::sin(kPi / 180.0)},
      {polar(60.0, 351.0 - 2.0), 60.0 * std::sin(2.0 * kPi / 180.0)},
      {polar(171.5, 45.0), 1.5},        // beyond the double ring
      {polar(200.0, 9.0), 30.0},        // radial wires end at the double
      {polar(12.0, 9.0), 5.0},          // and start at the outer bull: the 17 ring is nearer
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(wireDistanceMm(c.point), c.expected, 1e-9) << c.point;
  }
}

// A point aimed inside a wire stands beside it on the side it was aimed at; one clear of every
// wire stays where it was.
TEST(WireDistance, APointInsideAWireIsTurnedAsideOntoItsOwnSide) {
  const struct {
    cv::Point2d point;
    cv::Point2d expected;
  } cases[] = {
      {polar(97.3, 40.0), polar(97.51, 40.0)},     // inside the treble's inner ring, aimed beyond
      {polar(106.9, 40.0), polar(106.49, 40.0)},   // inside its outer ring, aimed short
      {polar(170.2, 300.0), polar(170.51, 300.0)}, // inside the double's outer ring, aimed beyond
      {polar(102.0, 0.0), polar(102.0, 0.0)},      // mid treble: clear
  };
  for (const auto& c : cases) {
    const cv::Point2d stood = clearOfWireMetal(c.point);
    EXPECT_NEAR(stood.x, c.expected.x, 1e-6) << c.point;
    EXPECT_NEAR(stood.y, c.expected.y, 1e-6) << c.point;
  }
  // On a radial wire's near side, and where a radial wire meets a ring: clear of both metals.
  for (const cv::Point2d p : {polar(130.0, 9.1), polar(130.0, 8.9), polar(107.1, 9.05), polar(16.9, 26.9)}) {
    const cv::Point2d stood = clearOfWireMetal(p);
    EXPECT_GE(wireDistanceMm(stood), 0.5) << p;
    EXPECT_LT(cv::norm(stood - p), 1.0) << p;
  }
  EXPECT_GT(clearOfWireMetal(polar(130.0, 9.1)).x, polar(130.0, 9.0).x);
}

TEST(ReplyReading, ErrorsAndUnreadableReplies) {
  EXPECT_EQ(replyError(parseReply(nullptr)), "NULL_REPLY");
  EXPECT_EQ(replyError(parseReply("{\"status\":")), "UNPARSEABLE_REPLY");
  EXPECT_EQ(replyError(parseReply("{\"error\":\"NOT_AVAILABLE\"}")), "NOT_AVAILABLE");
  EXPECT_FALSE(replyError(parseReply("{\"status\":\"READY\"}")));
  EXPECT_FALSE(replyEntries(parseReply("{\"entries\":{}}")));
  EXPECT_EQ(replyEntries(parseReply("{\"entries\":[{},{}]}"))->size(), 2u);
}

TEST(ReplyReading, FieldLabelFallsBackInOrder) {
  const struct {
    const char* entry;
    const char* field;
  } cases[] = {
      {R"({"field":{"selected_field":"T20","nominal_field":"S20"}})", "T20"},
      {R"({"field":{"selected_field":null,"nominal_field":"S20"}})", "S20"},
      {R"({"field":{},"selected_field":"D3"})", "D3"},
      {R"({"nominal_field":"25"})", "25"},
      {R"({"field":"BULL"})", "BULL"},
      {R"({"field":7})", ""},
      {R"([])", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(entryField(json::parse(c.entry)), c.field) << c.entry;
}

TEST(ReplyReading, BoardPointNeedsTwoNumbers) {
  EXPECT_EQ(entryPoint(json::parse(R"({"board_xy_nominal_mm":[1.5,-2]})")), cv::Point2d(1.5, -2.0));
  EXPECT_FALSE(entryPoint(json::parse(R"({"board_xy_nominal_mm":[1.5]})")));
  EXPECT_FALSE(entryPoint(json::parse(R"({"board_xy_nominal_mm":["1",2]})")));
  EXPECT_FALSE(entryPoint(json::parse(R"({"board_xy_nominal_mm":null})")));
}

TEST(ReplyReading, HostEventLine) {
  const json event = json::parse(R"({"type":"state","data":{"event":"Throw detected",
      "status":"Throw","numThrows":2,"throws":[{"segment":{"name":"T20"}},{"segment":{}}]}})");
  EXPECT_EQ(hostEventText(event), "Throw detected [Throw, 2 throws: T20 ?]");
  EXPECT_EQ(hostEventText(json::parse(R"({"type":"state","data":{"event":"Started",
      "status":"Throw","numThrows":0,"throws":[]}})")),
            "Started [Throw, 0 throws]");
  EXPECT_EQ(hostEventText(nullptr), "-");
}

TEST(FrameClock, EveryCallAdvancesOneFrame) {
  const std::vector<cv::Mat> frames(3, cv::Mat(4, 6, CV_8UC3, cv::Scalar::all(0)));
  FrameClock clock(10.0);
  const json first = clock.detectRequest(frames);
  const json second = clock.detectRequest(frames, true);
  EXPECT_NEAR(second["times"][0].get<double>() - first["times"][0].get<double>(), 1.0 / 30.0, 1e-12);
  EXPECT_FALSE(first.contains("hand_seen"));
  EXPECT_TRUE(second["hand_seen"].get<bool>());
  EXPECT_EQ(first["images"][2]["length"], 72);
}

}  // namespace
}  // namespace tarv::host
