// The transient probe on rendered boards. Most cases give the probe a stand-in evaluation that
// reports the rendered dart the way the throw evaluation does, so the probe's own rules are
// tested whatever the evaluation decides; the last test runs the throw evaluation itself.
#include "tarv/engine/transient_probe.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/engine_values.h"
#include "tarv/engine/arming.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using Frames = std::vector<cv::Mat>;
const cv::Size kProbeSize(320, 180);

Frames resized(const Frames& frames, cv::Size size) {
  Frames out;
  for (const cv::Mat& f : frames) {
    out.emplace_back();
    cv::resize(f, out.back(), size, 0, 0, cv::INTER_AREA);
  }
  return out;
}

struct Boards {
  Frames dart;       // full size, 640 x 360
  Frames dartProbe;  // the same at probe size
  Round armed;
};

const Boards& boards() {
  static const Boards b = [] {
    const scene::Renderer renderer(scene::defaultRig(cv::Size(640, 360)));
    const scene::SceneImages empty = renderer.render(scene::Scene{});
    scene::Scene s;
    s.darts.push_back(
        {{40.0, -60.0}, scene::frontDirection(12.0, 200.0), scene::flightColours()[0], 15.0});
    Boards b{renderer.render(s).frames, {}, Round{}};
    b.dartProbe = resized(b.dart, kProbeSize);
    armRound(b.armed, host::armRequest(empty.truth, empty.frames), empty.frames);
    b.armed.lastCaptureTimes = {99.0, 99.0, 99.0};
    return b;
  }();
  return b;
}

json probeRequest(double t, double spread = 0.0) {
  return {{"command", "transient_probe"}, {"times", {t, t + spread, t}}, {"epoch", 0}};
}

// Reports the dart the way the throw evaluation does and records its masks in the probe round.
struct StandIn {
  json entry = {{"board_xy_nominal_mm", {40.0, -60.0}},
                {"method", "THREE_VIEW_LINES"},
                {"uncertainty_mm", 1.0}};
  std::array<bool, 3> supported{true, true, true};
  std::array<bool, 3> agrees{true, true, true};
  std::string status = "DART_CANDIDATE";
  int calls = 0;
  Round seen;            // the probe round as it was handed over
  ImageTriple produced;  // the dart's masks it recorded

  json operator()(Round& probe, const Frames& frames, double) {
    ++calls;
    seen = probe;
    if (status != "DART_CANDIDATE") return {{"status", status}};
    json checks, crosscheck = {{"agreeing_cameras", json::array()}};
    for (int i = 0; i < 3; ++i) {
      produced[i] = nativeDifferenceMask(probe.cameras[i].emptyReference, toGray(frames[i]));
      checks[cameraIds[i]] = {{"supported", supported[i]}};
      crosscheck["cameras"][cameraIds[i]]["detail"] = {{"tip_confirmed", true},
                                                       {"agrees", agrees[i]}};
      if (agrees[i]) crosscheck["agreeing_cameras"].push_back(cameraIds[i]);
    }
    probe.knownDartMasks.push_back(produced);
    probe.entries.push_back(entry);
    return {
        {"status", status}, {"entry", entry}, {"view_checks", checks}, {"crosscheck", crosscheck}};
  }
};

json probe(Round& round, StandIn& evaluation, const json& request, const Frames& frames) {
  return probeTransient(round, request, frames, std::ref(evaluation));
}

TEST(TransientProbe, RefusesPlainlyWhatItMayNotProbe) {
  using Change = std::function<void(Round&, json&, Frames&)>;
  const std::pair<const char*, Change> cases[] = {
      {"hand seen", [](Round&, json& q, Frames&) { q["hand_seen"] = true; }},
      {"round full",
       [](Round& r, json&, Frames&) {
         r.entries = {{}, {}, {}};
       }},
      {"not armed", [](Round& r, json&, Frames&) { r.armed = false; }},
      {"takeout", [](Round& r, json&, Frames&) { r.takeout = true; }},
      {"recovery", [](Round& r, json&, Frames&) { r.recovery = true; }},
      {"six images", [](Round&, json&, Frames& f) { f = {f[0], f[1], f[2], f[0], f[1], f[2]}; }},
      {"spread 0.07 s", [](Round&, json& q, Frames&) { q["times"][1] = 100.07; }},
      {"spread 0.12 s, 0.1 s frames",
       [](Round&, json& q, Frames&) {
         q["times"][1] = 100.12;
         q["frame_interval"] = 0.1;
       }},
      {"not after the last frames",
       [](Round& r, json&, Frames&) { r.lastCaptureTimes[2] = 100.0; }},
      {"at time 0, not after the last frames",
       [](Round& r, json& q, Frames&) {
         q["times"] = {0.0, 0.0, 0.0};
         r.lastCaptureTimes = {0.0, 0.0, 0.0};
       }},
      {"before the clock's start, not after the last frames",
       [](Round& r, json& q, Frames&) {
         q["times"] = {-0.5, -0.5, -0.5};
         r.lastCaptureTimes = {-0.5, -0.5, -0.5};
       }},
      {"wider than 640",
       [](Round&, json&, Frames& f) {
         f = resized(f, {1280, 720});
       }},
      {"narrower than 160",
       [](Round&, json&, Frames& f) {
         f = resized(f, {150, 84});
       }},
      {"other aspect ratio",
       [](Round&, json&, Frames& f) {
         f = resized(f, {320, 200});
       }},
      {"light changed",
       [](Round&, json&, Frames& f) {
         for (cv::Mat& m : f) m = cv::Mat(m * 0.6);
       }},
  };
  for (const auto& [name, change] : cases) {
    Round round = boards().armed;
    round.pendingTransient = {{"confirmed", false}};
    StandIn evaluation;
    json request = probeRequest(100.0);
    Frames frames = boards().dartProbe;
    change(round, request, frames);
    EXPECT_EQ(probe(round, evaluation, request, frames), json({{"status", "TRANSIENT_REJECTED"}}))
        << name;
    EXPECT_TRUE(round.pendingTransient.is_null()) << name;
    EXPECT_EQ(evaluation.calls, 0) << name;
  }
}

TEST(TransientProbe, EvaluatesAProbeRoundOfItsOwnAtTheFrameScale) {
  for (const auto& [spread, interval] : {std::pair{0.05, 0.0}, {0.1, 0.1}}) {
    Round round = boards().armed;
    round.boardOnlyScope = true;
    round.entries.push_back({{"id", 1}});
    StandIn evaluation;
    json request = probeRequest(100.0, spread);
    if (interval > 0.0) request["frame_interval"] = interval;
    EXPECT_EQ(probe(round, evaluation, request, boards().dartProbe)["status"], "TRANSIENT_PENDING");
    const Round& seen = evaluation.seen;
    EXPECT_TRUE(seen.armed && seen.probe && seen.boardOnlyScope && seen.entries.empty());
    for (int i = 0; i < 3; ++i) {
      const Camera& c = seen.cameras[i];
      EXPECT_EQ(c.backgroundFrame.size(), kProbeSize);
      EXPECT_NE(c.backgroundFrame.data, round.cameras[i].backgroundFrame.data);  // own pixels
      EXPECT_EQ(cv::countNonZero(c.referenceChangeMask), 0);
      const Point2 full = applyHomography(round.cameras[i].boardToImage, {30.0, 40.0});
      const Point2 half = applyHomography(c.boardToImage, {30.0, 40.0});
      EXPECT_NEAR(half.x, full.x / 2, 1e-9);
      EXPECT_NEAR(half.y, full.y / 2, 1e-9);
      EXPECT_GE(c.features.points.size(), 20u);
    }
  }
}

TEST(TransientProbe, RejectsWhatTheEvidenceDoesNotCarry) {
  using Change = std::function<void(StandIn&, Round&)>;
  const std::tuple<const char*, Change, const char*> cases[] = {
      {"no dart candidate", [](StandIn& e, Round&) { e.status = "SETTLING"; },
       "TRANSIENT_GEOMETRY_NOT_PROVEN"},
      {"one supported view",
       [](StandIn& e, Round&) {
         e.supported = {false, true, false};
       },
       "TRANSIENT_CONTACTS_INSUFFICIENT"},
      {"only on the darts already there",
       [](StandIn&, Round& r) {
         for (int i = 0; i < 3; ++i) {
           Camera& c = r.cameras[i];
           c.referenceChangeMask = nativeDifferenceMask(c.emptyReference, toGray(boards().dart[i]));
         }
       },
       "TRANSIENT_OVERLAPS_EXISTING_DART"},
      {"one agreeing camera",
       [](StandIn& e, Round&) {
         e.agrees = {true, false, false};
       },
       "TRANSIENT_LOCAL_EVIDENCE_INSUFFICIENT"},
      {"agreeing where unsupported",
       [](StandIn& e, Round&) {
         e.supported = {true, true, false}, e.agrees = {false, true, true};
       },
       "TRANSIENT_LOCAL_EVIDENCE_INSUFFICIENT"},
  };
  for (const auto& [name, change, reason] : cases) {
    Round round = boards().armed;
    round.pendingTransient = {{"confirmed", true}};
    StandIn evaluation;
    change(evaluation, round);
    const json reply = probe(round, evaluation, probeRequest(100.0), boards().dartProbe);
    EXPECT_EQ(reply["status"], "TRANSIENT_REJECTED") << name;
    EXPECT_EQ(reply.value("reason", ""), reason) << name;
    EXPECT_TRUE(round.pendingTransient.is_null()) << name;
    if (reply.contains("observation")) {
      EXPECT_EQ(reply["observation"]["status"], "SETTLING");
    }
    if (reply.contains("supported")) {
      EXPECT_EQ(reply["supported"],
                std::count(evaluation.supported.begin(), evaluation.supported.end(), true));
      EXPECT_TRUE(reply["crosscheck"].contains("agreeing_cameras"));
    }
  }
}

TEST(TransientProbe, RecordsAnObservationAndConfirmsItWithAMatchingOne) {
  const struct {
    const char* name;
    double after;
    double shiftMm;
    int epoch;
    std::array<bool, 3> agrees;
    bool confirmed;
  } cases[] = {
      {"same dart 0.1 s later", 0.1, 0.0, 0, {true, true, true}, true},
      {"4.9 mm away", 0.1, 4.9, 0, {true, true, true}, true},
      {"two of the same cameras", 0.1, 0.0, 0, {true, false, true}, true},
      {"0.2 s later", 0.2, 0.0, 0, {true, true, true}, false},
      {"6 mm away", 0.1, 6.0, 0, {true, true, true}, false},
      {"another epoch", 0.1, 0.0, 1, {true, true, true}, false},
  };
  for (const auto& c : cases) {
    Round round = boards().armed;
    StandIn evaluation;
    const json first = probe(round, evaluation, probeRequest(100.0, 0.02), boards().dartProbe);
    ASSERT_EQ(first, json({{"status", "TRANSIENT_PENDING"}, {"positive_observations", 1}}));
    EXPECT_EQ(round.pendingTransient, json({{"epoch", 0},
                                            {"event", 0},
                                            {"round", 1},
                                            {"captured", 100.02},
                                            {"times", {100.0, 100.02, 100.0}},
                                            {"entry", evaluation.entry},
                                            {"verified_cameras", {0, 1, 2}},
                                            {"confirmed", false},
                                            {"single_observation", false}}));
    for (int i = 0; i < 3; ++i) {  // clones of the dart's masks
      EXPECT_EQ(cv::countNonZero(round.probeChangeMasks[i] != evaluation.produced[i]), 0);
      EXPECT_NE(round.probeChangeMasks[i].data, evaluation.produced[i].data);
    }

    evaluation.entry["board_xy_nominal_mm"] = {40.0 + c.shiftMm, -60.0};
    evaluation.agrees = c.agrees;
    json request = probeRequest(100.02 + c.after);
    request["epoch"] = c.epoch;
    const json reply = probe(round, evaluation, request, boards().dartProbe);
    EXPECT_EQ(reply["status"], c.confirmed ? "TRANSIENT_CONFIRMED" : "TRANSIENT_PENDING") << c.name;
    EXPECT_EQ(reply["positive_observations"], c.confirmed ? 2 : 1) << c.name;
    EXPECT_EQ(round.pendingTransient["confirmed"], c.confirmed) << c.name;  // replaced either way
    EXPECT_TRUE(round.entries.empty());
  }
}

TEST(TransientProbe, ASinglePreciseObservationConfirmsWhenAllowed) {
  const std::tuple<const char*, double, bool, bool> cases[] = {
      {"THREE_VIEW_LINES", 2.5, true, true},   {"CAM_PLUS_ONE", 3.0, true, true},
      {"THREE_VIEW_LINES", 3.5, true, false},  {"BEST_VIEW", 1.0, true, false},
      {"THREE_VIEW_LINES", 2.5, false, false},
  };
  for (const auto& [method, uncertainty, allowed, confirmed] : cases) {
    Round round = boards().armed;
    StandIn evaluation;
    evaluation.entry["method"] = method;
    evaluation.entry["uncertainty_mm"] = uncertainty;
    json request = probeRequest(100.0);
    request["single_observation"] = allowed;
    const json reply = probe(round, evaluation, request, boards().dartProbe);
    EXPECT_EQ(reply["status"], confirmed ? "TRANSIENT_CONFIRMED" : "TRANSIENT_PENDING")
        << method << uncertainty;
    EXPECT_EQ(reply["positive_observations"], 1);
    EXPECT_EQ(round.pendingTransient["single_observation"], confirmed);
  }
}

TEST(TransientProbe, AMalformedEarlierRecordFailsWithoutChangingTheRound) {
  Round round = boards().armed;
  round.pendingTransient = {{"epoch", 0},
                            {"event", 0},
                            {"round", 1},
                            {"captured", 99.95},
                            {"times", {99.95, 99.95, 99.95}},
                            {"entry", {{"board_xy_nominal_mm", {40, -60}}}}};
  const json record = round.pendingTransient;
  round.probeChangeMasks[0] = cv::Mat::ones(kProbeSize, CV_8UC1);
  const uchar* masks = round.probeChangeMasks[0].data;
  StandIn evaluation;
  EXPECT_THROW(probe(round, evaluation, probeRequest(100.0), boards().dartProbe), json::exception);
  EXPECT_EQ(round.pendingTransient, record);
  EXPECT_EQ(round.probeChangeMasks[0].data, masks);
}

// The throw evaluation must decide a probe round on its single triplet.
TEST(TransientProbe, FindsARenderedDartWithTheThrowEvaluation) {
  Round round = boards().armed;
  const json first = probeTransient(round, probeRequest(100.0), boards().dart);
  ASSERT_EQ(first["status"], "TRANSIENT_PENDING") << first.dump();
  EXPECT_EQ(probeTransient(round, probeRequest(100.05), boards().dart)["status"],
            "TRANSIENT_CONFIRMED");
  const Point2 tip = pointFromJson(round.pendingTransient["entry"]["board_xy_nominal_mm"]);
  EXPECT_NEAR(tip.x, 40.0, 3.0);
  EXPECT_NEAR(tip.y, -60.0, 3.0);
}

}  // namespace
}  // namespace tarv
