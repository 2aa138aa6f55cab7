// Unresolved darts kept on the round's decision window: a later dart entered beside one does
// not erase it; the dart itself placed later, a quiet board or a seen hand end it.
#include "tarv/engine/unresolved_darts.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

class UnresolvedDarts : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tarv_create();
    const scene::SceneImages empty = scene::defaultRenderer().render(scene::Scene{});
    const json reply = json::parse(tarv_call(engine_, host::armRequest(empty.truth, empty.frames).dump().c_str()));
    ASSERT_FALSE(reply.contains("error")) << reply.dump();
  }
  void TearDown() override { tarv_destroy(engine_); }
  Round& round() { return static_cast<Engine*>(engine_)->round; }

  // The evaluation's reduced change masks: a blob round the board point in every camera.
  void changeAt(Point2 board) {
    for (int i = 0; i < 3; ++i) {
      const Camera& c = round().cameras[i];
      cv::Mat mask = cv::Mat::zeros(c.emptyReference.rows / 2, c.emptyReference.cols / 2, CV_8UC1);
      const Point2 p = applyHomography(c.boardToImage, board);
      cv::circle(mask, cv::Point(static_cast<int>(p.x / 2), static_cast<int>(p.y / 2)), 6, cv::Scalar(255), -1);
      round().evaluationMasks[i] = mask;
    }
  }
  static json unresolvedAt(const json& point) {
    return {{"status", "POSITION_UNRESOLVED"}, {"decision", {{"point", point}, {"field", nullptr}}}};
  }
  static json enteredAt(double x, double y) {
    return {{"status", "DART_CANDIDATE"}, {"entry", {{"board_xy_nominal_mm", {x, y}}}}};
  }

  void* engine_ = nullptr;
};

TEST_F(UnresolvedDarts, ALaterDartBesideItDoesNotEraseIt) {
  changeAt({40.0, -70.0});
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.0);
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.1);  // the same dart again
  ASSERT_EQ(round().unresolvedDarts.size(), 1u);
  EXPECT_DOUBLE_EQ(round().unresolvedDarts[0].record["since"].get<double>(), 10.0);

  followUnresolvedDarts(round(), enteredAt(-90.0, 30.0), false, 10.5);
  ASSERT_TRUE(holdsUnresolvedDarts(round()));
  EXPECT_TRUE(round().unresolvedDarts[0].record["absorbed"].get<bool>());
  // Taken into the background with the entered dart, it stays through quiet frames.
  followUnresolvedDarts(round(), {{"status", "READY"}, {"unchanged", true}}, false, 10.7);
  EXPECT_TRUE(holdsUnresolvedDarts(round()));
  EXPECT_EQ(unresolvedDartsJson(round()).size(), 1u);
}

TEST_F(UnresolvedDarts, PlacingTheDartItselfSettlesIt) {
  changeAt({40.0, -70.0});
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.0);
  // No point was known: the entered point inside its change in the cameras is that dart.
  followUnresolvedDarts(round(), enteredAt(40.5, -69.5), false, 10.2);
  EXPECT_FALSE(holdsUnresolvedDarts(round()));

  changeAt({-20.0, 100.0});
  followUnresolvedDarts(round(), unresolvedAt(json::array({-20.0, 100.0})), false, 11.0);
  changeAt({80.0, 80.0});  // the entry's own change elsewhere does not matter: the point does
  followUnresolvedDarts(round(), enteredAt(-28.0, 106.0), false, 11.2);
  EXPECT_FALSE(holdsUnresolvedDarts(round()));
}

TEST_F(UnresolvedDarts, AChangeThatGrewByASecondDartIsARecordOfItsOwn) {
  changeAt({40.0, -70.0});
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.0);
  const ImageTriple first = round().evaluationMasks;
  changeAt({-90.0, 30.0});
  for (int i = 0; i < 3; ++i) cv::bitwise_or(round().evaluationMasks[i], first[i], round().evaluationMasks[i]);
  for (int i = 0; i < 3; ++i) {
    cv::Mat grown;
    cv::dilate(round().evaluationMasks[i], grown, cv::Mat(), {-1, -1}, 12);
    round().evaluationMasks[i] = grown;
  }
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.3);
  EXPECT_EQ(round().unresolvedDarts.size(), 2u);
}

TEST_F(UnresolvedDarts, AVanishedChangeAQuietBoardOrASeenHandEndsIt) {
  changeAt({40.0, -70.0});
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.0);
  followUnresolvedDarts(round(), {{"status", "READY"}, {"unchanged", true}}, false, 10.2);
  EXPECT_FALSE(holdsUnresolvedDarts(round()));

  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 11.0);
  followUnresolvedDarts(round(), enteredAt(-90.0, 30.0), false, 11.2);
  ASSERT_TRUE(holdsUnresolvedDarts(round()));
  followUnresolvedDarts(round(), {{"status", "READY"}}, true, 11.4);
  EXPECT_FALSE(holdsUnresolvedDarts(round()));

  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 12.0);
  followUnresolvedDarts(round(), {{"status", "EMPTY_RESET"}}, false, 12.2);
  EXPECT_FALSE(holdsUnresolvedDarts(round()));
}

TEST_F(UnresolvedDarts, EntryTestsRefuseWhatTheyCannotRead) {
  EXPECT_FALSE(entryPlacesUnresolvedDart(round(), 0, json::array({1.0, 2.0})));
  changeAt({40.0, -70.0});
  followUnresolvedDarts(round(), unresolvedAt(nullptr), false, 10.0);
  EXPECT_FALSE(entryPlacesUnresolvedDart(round(), 0, "x"));
  EXPECT_FALSE(entryPlacesUnresolvedDart(round(), 5, json::array({40.0, -70.0})));
  EXPECT_TRUE(entryPlacesUnresolvedDart(round(), 0, json::array({40.0, -70.0})));
}

}  // namespace
}  // namespace tarv
