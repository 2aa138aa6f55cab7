#include "tarv/board/host_event.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

namespace tarv {
namespace {

const double kPi = 3.141592653589793;

json entry(const std::string& label, double x, double y) {
  return {{"field", {{"selected_field", label}}}, {"board_xy_nominal_mm", {x, y}}};
}

json entries(int count) {
  json list = json::array();
  for (int i = 0; i < count; ++i) list.push_back(entry("S" + std::to_string(i + 1), 0, -60));
  return list;
}

// The point at the given board angle (0 at the 20, clockwise) and radius.
json pointAt(double degrees, double radius) {
  const double a = degrees * kPi / 180.0;
  return {radius * std::sin(a), -radius * std::cos(a)};
}

json onlyThrow(const json& entryValue) {
  json event = buildHostEvent({{"status", "DART_CANDIDATE"}, {"entries", json::array({entryValue})}});
  return event["data"]["throws"].at(0);
}

TEST(HostEvent, StatusSelectsTheEvent) {
  struct Case {
    json reply;
    const char* dataStatus;  // nullptr: no event
    const char* event;
  };
  const Case cases[] = {
      {{{"status", "DART_CANDIDATE"}, {"entries", entries(2)}}, "Throw", "Throw detected"},
      {{{"status", "DART_CANDIDATE"}, {"entries", entries(3)}}, "Takeout", "Throw detected"},
      {{{"status", "DART_REFINED"}, {"entries", entries(1)}}, "Throw", "Throw detected"},
      {{{"status", "DART_REFINED"}, {"entries", entries(3)}}, "Takeout", "Throw detected"},
      {{{"status", "EMPTY_RESET"}, {"entries", entries(3)}}, "Throw", "Takeout finished"},
      {{{"status", "RECOVERY_RESUMED"}, {"entries", entries(1)}}, "Throw",
       "Board recheck finished"},
      {{{"status", "DART_REMOVED"}, {"entries", entries(2)}}, "Takeout in progress",
       "Takeout started"},
      {{{"status", "READY"}, {"armed", true}}, "Throw", "Started"},
      {{{"status", "READY"}, {"armed", false}}, nullptr, nullptr},
      {{{"status", "READY"}}, nullptr, nullptr},
      {{{"status", "READY"}, {"armed", "true"}}, nullptr, nullptr},
      {{{"status", "SETTLING"}, {"armed", true}}, nullptr, nullptr},
      {{{"status", "WAIT"}, {"entries", entries(1)}}, nullptr, nullptr},
      {{{"status", "dart_candidate"}}, nullptr, nullptr},
      {{{"status", ""}}, nullptr, nullptr},
      {{{"status", 3}}, nullptr, nullptr},
      {{{"entries", entries(1)}}, nullptr, nullptr},
      {json::array(), nullptr, nullptr},
      {nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.dump());
    json event = buildHostEvent(c.reply);
    if (c.dataStatus == nullptr) {
      EXPECT_TRUE(event.is_null());
      continue;
    }
    const std::size_t count = c.reply.value("entries", json::array()).size();
    EXPECT_EQ(event["type"], "state");
    EXPECT_EQ(event["data"]["status"], c.dataStatus);
    EXPECT_EQ(event["data"]["event"], c.event);
    EXPECT_TRUE(event["data"]["numThrows"].is_number_unsigned());
    EXPECT_EQ(event["data"]["numThrows"], count);
    EXPECT_EQ(event["data"]["throws"].size(), count);
  }
}

TEST(HostEvent, EmptyResetWithoutEntries) {
  json event = buildHostEvent({{"status", "EMPTY_RESET"}, {"entries", json::array()}});
  EXPECT_EQ(event.dump(),
            R"({"data":{"event":"Takeout finished","numThrows":0,"status":"Throw","throws":[]},)"
            R"("type":"state"})");
}

TEST(HostEvent, SerialisedThrowListsMembersInKeyOrder) {
  json dart = entry("T20", 0, -85);
  dart["bouncer"] = true;
  json event = buildHostEvent({{"status", "DART_CANDIDATE"}, {"entries", json::array({dart})}});
  EXPECT_EQ(event.dump(),
            R"({"data":{"event":"Throw detected","numThrows":1,"status":"Throw","throws":[)"
            R"({"bounceout":false,"bouncer":true,"coords":{"x":0.0,"y":0.5},"falseTakeout":false,)"
            R"("method":null,"segment":{"bed":"Triple","multiplier":3,"name":"T20","number":20}}]},)"
            R"("type":"state"})");
}

TEST(HostEvent, SegmentOfEachLabel) {
  struct Case {
    const char* name;
    json field;
    json point;
    json segment;
  };
  const Case cases[] = {
      {"treble", {{"selected_field", "T20"}}, {0, -100},
       {{"name", "T20"}, {"number", 20}, {"multiplier", 3}, {"bed", "Triple"}}},
      {"double", {{"selected_field", "D16"}}, {0, 165},
       {{"name", "D16"}, {"number", 16}, {"multiplier", 2}, {"bed", "Double"}}},
      {"inner single", {{"selected_field", "S20"}}, {0, -60},
       {{"name", "S20"}, {"number", 20}, {"multiplier", 1}, {"bed", "SingleInner"}}},
      {"outer single", {{"selected_field", "S20"}}, {0, -130},
       {{"name", "S20"}, {"number", 20}, {"multiplier", 1}, {"bed", "SingleOuter"}}},
      {"single on the treble edge", {{"selected_field", "S20"}}, {0, -97},
       {{"name", "S20"}, {"number", 20}, {"multiplier", 1}, {"bed", "SingleOuter"}}},
      {"single by the record's own radii",
       {{"selected_field", "S6"}, {"ring_radii_mm", {7, 17, 120, 130, 160, 170}}}, {110, 0},
       {{"name", "S6"}, {"number", 6}, {"multiplier", 1}, {"bed", "SingleInner"}}},
      {"three radii are enough", {{"selected_field", "S6"}, {"ring_radii_mm", {7, 17, 50}}},
       {60, 0}, {{"name", "S6"}, {"number", 6}, {"multiplier", 1}, {"bed", "SingleOuter"}}},
      {"bull", {{"selected_field", "BULL"}}, {0, 3},
       {{"name", "D25"}, {"number", 25}, {"multiplier", 2}, {"bed", "Bullseye"}}},
      {"outer bull", {{"selected_field", "25"}}, {10, 0},
       {{"name", "25"}, {"number", 25}, {"multiplier", 1}, {"bed", "Single"}}},
      {"other first letter counts as treble", {{"selected_field", "X7"}}, {0, 0},
       {{"name", "X7"}, {"number", 7}, {"multiplier", 3}, {"bed", "Triple"}}},
      {"leading zero", {{"selected_field", "T07"}}, {0, 0},
       {{"name", "T07"}, {"number", 7}, {"multiplier", 3}, {"bed", "Triple"}}},
      {"nominal field without a selection", {{"nominal_field", "D5"}}, {0, 0},
       {{"name", "D5"}, {"number", 5}, {"multiplier", 2}, {"bed", "Double"}}},
      {"selection wins over nominal", {{"selected_field", "S1"}, {"nominal_field", "D5"}},
       {0, 0}, {{"name", "S1"}, {"number", 1}, {"multiplier", 1}, {"bed", "SingleInner"}}},
      {"null selection falls back", {{"selected_field", nullptr}, {"nominal_field", "D5"}},
       {0, 0}, {{"name", "D5"}, {"number", 5}, {"multiplier", 2}, {"bed", "Double"}}},
      {"no label", json::object(), {0, 0},
       {{"name", ""}, {"number", 0}, {"multiplier", 0}, {"bed", nullptr}}},
      {"one-character label", {{"selected_field", "S"}}, {0, 0},
       {{"name", "S"}, {"number", 0}, {"multiplier", 0}, {"bed", nullptr}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json dart = onlyThrow({{"field", c.field}, {"board_xy_nominal_mm", c.point}});
    EXPECT_EQ(dart["segment"], c.segment);
    EXPECT_TRUE(dart["segment"]["number"].is_number_integer());
    EXPECT_TRUE(dart["segment"]["multiplier"].is_number_integer());
  }
}

TEST(HostEvent, MissNamesTheSectorOfThePoint) {
  struct Case {
    json point;
    int sector;
  };
  const Case cases[] = {
      {{0, -200}, 20},
      {{200, 0}, 6},
      {{0, 200}, 3},
      {{-200, 0}, 11},
      {pointAt(9.0, 200), 1},        // on the wire: the next sector clockwise
      {pointAt(8.99, 200), 20},
      {pointAt(350.99, 200), 5},
      {pointAt(351.0, 200), 20},     // the 20 again, across the top
      {pointAt(36.0, 180), 18},
      {pointAt(234.0, 300), 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point.dump());
    json dart = onlyThrow({{"field", {{"nominal_field", "MISS"}}},
                                 {"board_xy_nominal_mm", c.point}});
    EXPECT_EQ(dart["segment"], json({{"name", "M" + std::to_string(c.sector)},
                                     {"number", c.sector},
                                     {"multiplier", 0},
                                     {"bed", "Outside"}}));
  }
}

TEST(HostEvent, CoordinatesAreFractionsOf170WithYTowardsTheTwenty) {
  struct Case {
    json field;
    json point;
    double x;
    double y;
  };
  const Case cases[] = {
      {{{"selected_field", "T20"}}, {0, -100}, 0.0, 100.0 / 170.0},
      {{{"selected_field", "S6"}}, {85, 17}, 0.5, -0.1},
      // The divisor does not follow the record's ring radii.
      {{{"selected_field", "D6"}, {"ring_radii_mm", {6, 16, 90, 100, 150, 160}}}, {155, 0}, 155.0 / 170.0,
       0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point.dump());
    json coords = onlyThrow({{"field", c.field}, {"board_xy_nominal_mm", c.point}})["coords"];
    EXPECT_DOUBLE_EQ(coords["x"].get<double>(), c.x);
    EXPECT_DOUBLE_EQ(coords["y"].get<double>(), c.y);
  }
}

TEST(HostEvent, ThrowFlagsDefaultToFalse) {
  struct Case {
    const char* name;
    json values;  // merged into the entry
    bool bouncer, bounceout, falseTakeout;
  };
  const Case cases[] = {
      {"absent", json::object(), false, false, false},
      {"bouncer", {{"bouncer", true}}, true, false, false},
      {"bounceout", {{"bounceout", true}, {"bouncer", false}}, false, true, false},
      {"false takeout", {{"falseTakeout", true}}, false, false, true},
      {"not booleans", {{"bouncer", 1}, {"bounceout", "true"}, {"falseTakeout", nullptr}}, false,
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json dart = entry("S1", 0, -60);
    dart.update(c.values);
    json thrown = onlyThrow(dart);
    EXPECT_EQ(thrown["bouncer"], c.bouncer);
    EXPECT_EQ(thrown["bounceout"], c.bounceout);
    EXPECT_EQ(thrown["falseTakeout"], c.falseTakeout);
    EXPECT_TRUE(thrown.contains("method"));
    EXPECT_TRUE(thrown["method"].is_null());
  }
}

TEST(HostEvent, MalformedEntriesGiveNeutralThrows) {
  struct Case {
    const char* name;
    json entryValue;
    const char* segmentName;
    double x, y;
  };
  const Case cases[] = {
      {"no field", {{"board_xy_nominal_mm", {17, -34}}}, "", 0.1, 0.2},
      {"field not an object", {{"field", "T20"}, {"board_xy_nominal_mm", {17, -34}}}, "", 0.1,
       0.2},
      {"no point", {{"field", {{"selected_field", "T20"}}}}, "T20", 0.0, 0.0},
      {"point of one number", {{"field", {{"selected_field", "BULL"}}}, {"board_xy_nominal_mm", {1}}},
       "BULL", 0.0, 0.0},
      {"point with text", {{"field", {{"selected_field", "MISS"}}},
                           {"board_xy_nominal_mm", json::array({"0", -200})}},
       "MISS", 0.0, 0.0},
      {"point not an array", {{"field", {{"selected_field", "S1"}}},
                              {"board_xy_nominal_mm", {{"x", 1}, {"y", 2}}}},
       "S1", 0.0, 0.0},
      {"two ring radii", {{"field", {{"selected_field", "S20"}, {"ring_radii_mm", {7, 17}}}},
                          {"board_xy_nominal_mm", {17, -34}}},
       "S20", 0.1, 0.2},
      {"ring radii with text", {{"field", {{"selected_field", "T20"}, {"ring_radii_mm", {7, 17, "97"}}}},
                                {"board_xy_nominal_mm", {17, -34}}},
       "T20", 0.1, 0.2},
      {"ring radii not an array", {{"field", {{"selected_field", "D3"}, {"ring_radii_mm", 97}}},
                                   {"board_xy_nominal_mm", {17, -34}}},
       "D3", 0.1, 0.2},
      {"tail not a number", entry("Sxx", 17, -34), "Sxx", 0.1, 0.2},
      {"tail with trailing text", entry("T20a", 17, -34), "T20a", 0.1, 0.2},
      {"tail with a space", entry("D 5", 17, -34), "D 5", 0.1, 0.2},
      {"tail beyond an integer", entry("T99999999999", 17, -34), "T99999999999", 0.1, 0.2},
      {"entry not an object", 42, "", 0.0, 0.0},
      {"null entry", nullptr, "", 0.0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json thrown;
    ASSERT_NO_THROW(thrown = onlyThrow(c.entryValue));
    EXPECT_EQ(thrown["segment"], json({{"name", c.segmentName},
                                       {"number", 0},
                                       {"multiplier", 0},
                                       {"bed", nullptr}}));
    EXPECT_DOUBLE_EQ(thrown["coords"]["x"].get<double>(), c.x);
    EXPECT_DOUBLE_EQ(thrown["coords"]["y"].get<double>(), c.y);
    EXPECT_EQ(thrown["bouncer"], false);
    EXPECT_TRUE(thrown["method"].is_null());
  }
}

TEST(HostEvent, OneMalformedEntryLeavesTheOthersScored) {
  json reply = {{"status", "DART_CANDIDATE"},
                      {"entries", {entry("T20", 0, -100), {{"bouncer", true}}, entry("D1", 0, 0)}}};
  json event;
  ASSERT_NO_THROW(event = buildHostEvent(reply));
  json& throws = event["data"]["throws"];
  EXPECT_EQ(event["data"]["status"], "Takeout");
  EXPECT_EQ(throws[0]["segment"]["multiplier"], 3);
  EXPECT_EQ(throws[1]["segment"]["name"], "");
  EXPECT_EQ(throws[1]["bouncer"], true);
  EXPECT_EQ(throws[2]["segment"]["bed"], "Double");
}

TEST(HostEvent, EntriesThatAreNotAnArrayCountAsEmpty) {
  for (const json& value : {json(nullptr), json("S1"), json({{"0", entry("S1", 0, 0)}})}) {
    SCOPED_TRACE(value.dump());
    json event = buildHostEvent({{"status", "DART_CANDIDATE"}, {"entries", value}});
    EXPECT_EQ(event["data"]["status"], "Throw");
    EXPECT_EQ(event["data"]["numThrows"], 0);
    EXPECT_EQ(event["data"]["throws"], json::array());
  }
}

}  // namespace
}  // namespace tarv
