#include "tarv/views/tip_evidence.h"

#include <cmath>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

// A camera record whose board line is x = 10 and whose tip vote lies at (10, 20).
json record(bool abstain = false) {
  json vote = {{"abstention", abstain}, {"tip_valid", true}, {"point", {10.0, 20.0}},
               {"line", {1.0, 0.0, -10.0}}, {"error_mm", 0.25}, {"field", "S6"}};
  return {{"votes", json::array({vote})}, {"observations", json::array()}};
}

TEST(TipEvidence, LocalEvidenceNeedsTheLineAndFreshChangeNearThePoint) {
  // 2 px per mm, bull at (200, 200).
  const Homography h{2, 0, 200, 0, 2, 200, 0, 0, 1};
  cv::Mat change = cv::Mat::zeros(400, 400, CV_8UC1);
  change.at<uchar>(240, 222) = 255;  // board (11, 20)
  const json near = checkLocalTipEvidence(change, h, record(), {10.0, 20.0});
  EXPECT_TRUE(near["supported"].get<bool>());
  EXPECT_EQ(near["evidence"], "LOCAL_NEW_SUPPORT_AND_EDGES");
  EXPECT_DOUBLE_EQ(near["nearest_new_support_mm"].get<double>(), 1.0);

  const json offLine = checkLocalTipEvidence(change, h, record(), {14.0, 20.0});
  EXPECT_FALSE(offLine["supported"].get<bool>());
  EXPECT_DOUBLE_EQ(offLine["line_error_mm"].get<double>(), 4.0);

  const json noChange = checkLocalTipEvidence(cv::Mat::zeros(400, 400, CV_8UC1), h, record(), {10.0, 20.0});
  EXPECT_FALSE(noChange["supported"].get<bool>());
  EXPECT_TRUE(noChange["nearest_new_support_mm"].is_null());
  EXPECT_EQ(checkLocalTipEvidence(change, h, record(true), {10.0, 20.0})["independent_votes"], 0);
}

TEST(TipEvidence, CommonPointIsTheFootOnTheCamerasLine) {
  const json common = findCommonBoardPoint(record(), {13.0, -4.0});
  EXPECT_EQ(common["point"], json({10.0, -4.0}));
  EXPECT_DOUBLE_EQ(common["distance_mm"].get<double>(), 3.0);
  EXPECT_FALSE(findCommonBoardPoint(record(true), {0.0, 0.0})["on_line"].get<bool>());
}


// One rendered dart in the default rig's most frontal camera against the empty board: the
// images the one- and two-camera engines hand to the tip searches.
struct RenderedView {
  cv::Mat reference;  // colour empty board
  cv::Mat frame;
  cv::Mat fresh;      // grey change of the frame against the reference
  Homography h{};
  json axis;          // the shaft record of the fresh change
  scene::DartView truth;
  Point2 tipMm;
};

constexpr size_t kCamera = 2;

RenderedView renderView(const std::vector<scene::Dart>& before, const scene::Dart& dart,
                        const scene::Imaging& imaging = {}) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  scene::Scene scene;
  scene.darts = before;
  scene.imaging = imaging;
  RenderedView v;
  v.reference = renderer.render(scene).frames[kCamera];
  scene.darts.push_back(dart);
  const scene::SceneImages shot = renderer.render(scene);
  v.frame = shot.frames[kCamera];
  v.h = host::homographyOf(shot.truth.cameras[kCamera].board_to_image);
  v.fresh = nativeDifferenceMask(toGray(v.reference), toGray(v.frame));
  v.truth = shot.truth.darts.back().views[kCamera];
  v.tipMm = {shot.truth.darts.back().tip_mm.x, shot.truth.darts.back().tip_mm.y};
  ShaftView shaft;
  shaft.frame = v.frame;
  shaft.background = v.reference;
  shaft.boardToImage = v.h;
  shaft.normalPoint = shot.truth.cameras[kCamera].image_normal;
  shaft.changeMask = componentsTouching(dartChangeMask(colourDifference(v.frame, v.reference), kDartChangeLevel), v.fresh);
  v.axis = estimateShaftAxis(shaft);
  return v;
}

scene::Dart dartAt(double x, double y, double tiltDeg, double azimuthDeg) {
  scene::Dart dart;
  dart.tip_mm = {x, y};
  dart.direction = scene::frontDirection(tiltDeg, azimuthDeg);
  return dart;
}

double distanceMm(const json& point, Point2 p) {
  return std::hypot(point[0].get<double>() - p.x, point[1].get<double>() - p.y);
}

TEST(TipSearches, FourSearchesEachFindTheRenderedTip) {
  for (const scene::Dart& dart : {dartAt(10.0, -103.0, 12.0, 200.0), dartAt(-60.0, 40.0, 20.0, 100.0),
                                  dartAt(70.0, 100.0, 8.0, 300.0)}) {
    const RenderedView v = renderView({}, dart);
    ASSERT_FALSE(v.axis["votes"][0]["abstention"].get<bool>());
    const json candidates =
        locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, cv::Mat::zeros(v.frame.size(), CV_8UC1),
                              v.axis["votes"], CandidateFlags{});
    // A search either finds the tip or says that the dart's colour change goes on past its
    // end (the steel point on a dark bed is lost to the grey change and its edges).
    int found = 0;
    for (const char* search : {"colour", "frame", "fresh"}) {
      const json& c = candidates[search];
      EXPECT_EQ(c["kind"], search);
      if (c["status"] != "CANDIDATE") {
        EXPECT_EQ(c["status"], "SHORT_OF_THE_CHANGE") << search;
        continue;
      }
      ++found;
      EXPECT_GE(c["quality"].get<double>(), 0.5) << search;
      EXPECT_LT(distanceMm(c["point"], v.tipMm), 3.0) << search << " " << c.dump();
    }
    EXPECT_EQ(candidates["colour"]["status"], "CANDIDATE");
    EXPECT_GE(found, 1) << candidates.dump();
    // Without earlier darts where the fresh change lies, the fourth search would only repeat
    // the third.
    EXPECT_EQ(candidates["stored"]["status"], "NO_STORED_CHANGE");
  }
}

TEST(TipSearches, EachSearchIsCarriedOnToTheThinPoint) {
  // The change masks' smoothing trims the steel point; the searches follow the raw colour
  // change along their axis to its last pixel, so none stops short of the tip.
  for (const scene::Dart& dart : {dartAt(10.0, -103.0, 12.0, 200.0), dartAt(-60.0, 40.0, 20.0, 100.0),
                                  dartAt(70.0, 100.0, 8.0, 300.0), dartAt(-144.6, 69.0, 15.0, 40.0)}) {
    const RenderedView v = renderView({}, dart);
    ASSERT_FALSE(v.axis["votes"][0]["abstention"].get<bool>());
    const json candidates =
        locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, cv::Mat::zeros(v.frame.size(), CV_8UC1),
                              v.axis["votes"], CandidateFlags{});
    for (const char* search : {"colour", "frame", "fresh"}) {
      const json& c = candidates[search];
      ASSERT_EQ(c["status"], "CANDIDATE") << search << " " << c.dump();
      EXPECT_LT(distanceMm(c["point"], v.tipMm), 1.5) << search << " " << c.dump();
    }
  }
}

TEST(TipSearches, TheVoteOnlySaysWhichEndIsTheTip) {
  const RenderedView v = renderView({}, dartAt(10.0, -103.0, 12.0, 200.0));
  const cv::Mat none = cv::Mat::zeros(v.frame.size(), CV_8UC1);
  const json before = locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, none, v.axis["votes"], {});
  json moved = v.axis["votes"];
  moved[0]["image_point"] = {moved[0]["image_point"][0].get<double>() + 6.0,
                             moved[0]["image_point"][1].get<double>() - 4.0};
  const json after = locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, none, moved, {});
  EXPECT_EQ(before, after);
  // Seeded at the flight, every search takes the flight's end.
  moved[0]["image_point"] = {v.truth.flight_px.x, v.truth.flight_px.y};
  const json flight = locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, none, moved, {});
  for (const char* search : {"colour", "frame", "fresh"}) {
    if (flight[search]["status"] == "CANDIDATE") {
      EXPECT_GT(distanceMm(flight[search]["point"], v.tipMm), 20.0);
    }
  }
}

TEST(TipSearches, NoRegionTooLargeAndNoSeed) {
  const RenderedView v = renderView({}, dartAt(10.0, -103.0, 12.0, 200.0));
  const cv::Mat none = cv::Mat::zeros(v.frame.size(), CV_8UC1);
  const auto statuses = [](const json& c) {
    std::set<std::string> s;
    for (const char* search : {"colour", "frame", "fresh", "stored"}) s.insert(c[search]["status"].get<std::string>());
    return s;
  };
  EXPECT_EQ(statuses(locateCameraCandidate(v.reference, v.frame, none, v.h, none, v.axis["votes"], {})),
            std::set<std::string>{"NO_EVENT_REGION"});
  CandidateFlags large;
  large.changedFraction = 0.16;
  EXPECT_EQ(statuses(locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, none, v.axis["votes"], large)),
            std::set<std::string>{"EVENT_REGION_TOO_LARGE"});
  const json abstaining = json::array({{{"abstention", true}}});
  EXPECT_EQ(statuses(locateCameraCandidate(v.reference, v.frame, v.fresh, v.h, none, abstaining, {})),
            std::set<std::string>{"NO_CAMERA_LOCAL_SEED"});
}

TEST(TipSearches, TheStoredSearchCompletesATipOverAnEarlierDart) {
  // The new dart lands just beside the first one; where it crosses the first dart's change
  // the fresh change has a hole that the stored search fills from the colour change.
  const scene::Dart first = dartAt(20.0, -60.0, 10.0, 180.0);
  const RenderedView earlier = renderView({}, first);
  const RenderedView v = renderView({first}, dartAt(24.0, -57.0, 20.0, 20.0));
  const cv::Mat stored = earlier.fresh;
  const Masks masks = compareMasks(stored, nativeDifferenceMask(toGray(earlier.reference), toGray(v.frame)), 3);
  const json c = locateCameraCandidate(v.reference, v.frame, masks.added, v.h, stored, v.axis["votes"], {});
  ASSERT_EQ(c["stored"]["status"], "CANDIDATE") << c.dump();
  EXPECT_LT(distanceMm(c["stored"]["point"], v.tipMm), 4.0) << c.dump();
}

TEST(TipSearches, LocalEvidenceNeedsTheLineTheChangeAndNewEdges) {
  const RenderedView v = renderView({}, dartAt(10.0, -103.0, 12.0, 200.0));
  const json& observations = v.axis["observations"];
  const json atTip = checkLocalTipEvidence(v.reference, v.frame, v.fresh, v.h, observations, v.tipMm);
  EXPECT_TRUE(atTip["supported"].get<bool>()) << atTip.dump();
  EXPECT_EQ(atTip["evidence"], "LOCAL_NEW_SUPPORT_AND_EDGES");
  EXPECT_GE(atTip["new_edge_pixels"].get<int>(), 4);
  EXPECT_LT(atTip["line_error_mm"].get<double>(), 1.0);
  EXPECT_EQ(atTip["independent_votes"], 1);

  // 8 mm across the shaft: off the line.
  const json across = checkLocalTipEvidence(v.reference, v.frame, v.fresh, v.h, observations,
                                            {v.tipMm.x + 8.0, v.tipMm.y});
  EXPECT_FALSE(across["supported"].get<bool>());
  EXPECT_EQ(across["evidence"], "INSUFFICIENT_LOCAL_EVIDENCE");

  // A patch of light on the board where the dart's line ends: fresh change and a line, but no
  // outline of a dart.
  scene::Imaging glare;
  glare.glare = scene::Glare{v.truth.tip_px, 10.0, 60.0};
  scene::Scene lit;
  lit.imaging = glare;
  const cv::Mat patch = scene::defaultRenderer().render(lit).frames[kCamera];
  const cv::Mat patchChange = nativeDifferenceMask(toGray(v.reference), toGray(patch));
  ASSERT_GT(cv::countNonZero(patchChange), 0);
  const json light = checkLocalTipEvidence(v.reference, patch, patchChange, v.h, observations, v.tipMm);
  EXPECT_FALSE(light["supported"].get<bool>()) << light.dump();
  EXPECT_LT(light["new_edge_pixels"].get<int>(), 4);
  EXPECT_LT(light["nearest_new_support_mm"].get<double>(), 6.0);
}

}  // namespace
}  // namespace tarv
