// Two darts that land between two frames the two-camera engine sees (a host whose calls come
// far apart): both are entered with their true fields, each once.
#include <cmath>

#include <gtest/gtest.h>

#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/variants/variant_host_test_support.h"

namespace tarv {
namespace {

class VariantTwoDarts : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { ASSERT_EQ(host.arm(scene::defaultEmptyBoard()).value("status", ""), "READY"); }

  std::vector<json> send(const std::vector<scene::Dart>& darts, int times) {
    shot = renderDarts(darts);
    std::vector<json> replies;
    for (int i = 0; i < times; ++i) replies.push_back(host.detect(host.pick(shot), host.now() + 1.0 / 30.0));
    return replies;
  }

  // How often each dart of the last scene was entered; every entry must lie within 3 mm of a
  // true dart and carry its field.
  std::vector<int> entriesPerDart(const json& entries) const {
    std::vector<int> matched(shot.truth.darts.size(), 0);
    for (const json& entry : entries) {
      const Point2 p = pointFromJson(entry["board_xy_nominal_mm"]);
      bool found = false;
      for (size_t k = 0; k < shot.truth.darts.size(); ++k) {
        const scene::DartTruth& dart = shot.truth.darts[k];
        if (std::hypot(p.x - dart.tip_mm.x, p.y - dart.tip_mm.y) > 3.0) continue;
        found = true;
        ++matched[k];
        EXPECT_EQ(entry["field"]["selected_field"], dart.field);
      }
      EXPECT_TRUE(found) << entry.dump().substr(0, 300);
    }
    return matched;
  }

  // Every dart of the last scene entered once with its true field, and nothing else.
  void expectEachDartOnce(const json& entries) const {
    ASSERT_EQ(entries.size(), shot.truth.darts.size()) << entries.dump().substr(0, 600);
    for (int m : entriesPerDart(entries)) EXPECT_EQ(m, 1);
  }

  VariantHost host{GetParam()};
  scene::SceneImages shot;
};

TEST_P(VariantTwoDarts, TwoDartsApartAreBothEntered) {
  const std::vector<json> replies = send({dartAt(10.0, -103.0), dartAt(-60.0, 40.0, 20.0, 100.0)}, 8);
  expectEachDartOnce(replies.back()["entries"]);
}

// 23 mm apart, their pieces mingle: whatever is entered is a true dart with its true field,
// each once.
TEST_P(VariantTwoDarts, DartsCloseTogetherAreNeverEnteredWrongOrTwice) {
  const std::vector<json> replies = send({dartAt(10.0, -103.0), dartAt(32.0, -95.0, 15.0, 160.0)}, 8);
  for (int m : entriesPerDart(replies.back()["entries"])) EXPECT_LE(m, 1);
}

TEST_P(VariantTwoDarts, AThirdDartAfterTwoAtOnceIsEnteredToo) {
  const scene::Dart a = dartAt(10.0, -103.0);
  const scene::Dart b = dartAt(-60.0, 40.0, 20.0, 100.0);
  // The host looked only twice before the third dart landed.
  send({a, b}, 2);
  const std::vector<json> replies = send({a, b, dartAt(70.0, 100.0, 8.0, 300.0)}, 8);
  expectEachDartOnce(replies.back()["entries"]);
}

INSTANTIATE_TEST_SUITE_P(Cameras, VariantTwoDarts, ::testing::Values(2),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace tarv
