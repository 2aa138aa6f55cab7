// The one-camera engine through the exported functions, on rendered scenes.
#include <cmath>

#include <gtest/gtest.h>

#include "scene/scene.h"
#include "tarv/variants/variant_host_test_support.h"

namespace tarv {
namespace {

const scene::SceneImages& empty() { return scene::defaultEmptyBoard(); }

TEST(MonoEngine, ScoresARoundAndResetsAfterTheTakeout) {
  VariantHost host(1);
  const json armed = host.arm(empty());
  ASSERT_EQ(armed.value("status", ""), "READY") << armed.dump();
  std::vector<scene::Dart> darts = {dartAt(10.0, -103.0), dartAt(-60.0, 40.0, 20.0, 100.0), dartAt(70.0, 100.0, 8.0, 300.0)};
  for (size_t n = 1; n <= darts.size(); ++n) {
    const scene::SceneImages shot = renderDarts({darts.begin(), darts.begin() + n});
    for (int i = 0; i < 4; ++i) {
      const json r = host.detect(host.pick(shot), host.now() + 1.0 / 30.0);
      std::printf("%s %s %s\n", r.value("status", "").c_str(), r.value("reason", "").c_str(),
                  r.contains("entry") ? (r["entry"]["field"]["selected_field"].dump() + r["entry"]["board_xy_nominal_mm"].dump() + r["entry"]["method"].dump()+ r["entry"]["confidence"].dump()).c_str() : r.value("error", "").c_str());
    }
    std::printf("truth %s\n", shot.truth.darts.back().field.c_str());
  }
  const scene::SceneImages hand = renderDarts(darts, true);
  json r = host.settle(hand, true);
  std::printf("hand %s %s\n", r.value("status", "").c_str(), r.value("reason", "").c_str());
  for (int i = 0; i < 4; ++i) {
    r = host.detect(host.pick(empty()), host.now() + 1.0 / 30.0);
    std::printf("empty %s %s round %d\n", r.value("status", "").c_str(), r.value("reason", "").c_str(), r.value("round", 0));
  }
}

}  // namespace
}  // namespace tarv
