// Darts that the two-camera engine sees beside a wire, or faintly in one of its cameras:
// rendered throws on the default rig's first two cameras, each entered once, at its true point
// and with its true field.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/variants/variant_host_test_support.h"

namespace tarv {
namespace {

// A sensor with noise, a soft lens and JPEG frames: every frame its own noise.
scene::Imaging noisySensor(uint64_t seed) {
  scene::Imaging imaging;
  imaging.noise_sigma = 3.0;
  imaging.blur_sigma = 0.8;
  imaging.jpeg_quality = 90;
  imaging.noise_seed = seed;
  return imaging;
}

std::vector<cv::Mat> imaged(const scene::SceneImages& shot, const scene::Imaging& imaging) {
  std::vector<cv::Mat> frames;
  for (size_t c = 0; c < shot.frames.size(); ++c) {
    frames.push_back(scene::applyImaging(shot.frames[c], imaging, static_cast<int>(c)));
  }
  return frames;
}

class DuoWire : public ::testing::Test {
 protected:
  // With a noise seed, every frame carries noise: the reference that seed's, the four frames of
  // a throw the seeds that follow the throw's own.
  void arm(uint64_t noiseSeed = 0) {
    noisy_ = noiseSeed != 0;
    scene::SceneImages empty = scene::defaultEmptyBoard();
    if (noisy_) empty.frames = imaged(empty, noisySensor(noiseSeed));
    ASSERT_EQ(host.arm(empty).value("status", ""), "READY");
  }

  // The darts on the board sent four times 1/30 s apart; the entries of the last reply.
  json throwDarts(const std::vector<scene::Dart>& darts, uint64_t noiseSeed = 0) {
    shot = renderDarts(darts);
    json reply;
    for (uint64_t i = 0; i < 4; ++i) {
      scene::SceneImages sent = shot;
      if (noisy_) sent.frames = imaged(shot, noisySensor(noiseSeed + i));
      reply = host.detect(host.pick(sent), host.now() + 1.0 / 30.0);
    }
    return reply.value("entries", json::array());
  }

  // The last dart thrown is the last entry: within the distance of its true point, in its field.
  void expectLastDartEntered(const json& entries, size_t count, double withinMm) const {
    ASSERT_EQ(entries.size(), count) << entries.dump().substr(0, 600);
    const scene::DartTruth& truth = shot.truth.darts.back();
    const Point2 p = pointFromJson(entries.back()["board_xy_nominal_mm"]);
    EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), withinMm) << entries.back().dump().substr(0, 800);
    EXPECT_EQ(entries.back()["field"]["selected_field"], truth.field) << entries.back()["field"].dump().substr(0, 800);
  }

  VariantHost host{2};
  scene::SceneImages shot;
  bool noisy_ = false;
};

// The first camera's line ends a pixel past the point, across the 17/2 wire 0.7 mm away,
// and the crossing with it; all six tip searches of both cameras stay in the 17. Where they
// name one place but two fields, the searches name the side, and the next dart, thrown
// beside the board, is its own entry.
TEST_F(DuoWire, SearchesOfBothCamerasNameTheSideOfAWireTheLinesStraddle) {
  arm(7529204703677034156ULL);
  const scene::Dart first = dart({14.0689, 29.2538}, {-0.23215, 0.35447, -0.90579}, {40, 40, 215}, 2.54);
  expectLastDartEntered(throwDarts({first}, 5444383980416063993ULL), 1, 1.0);
  EXPECT_EQ(shot.truth.darts.back().field, "S17");
  const scene::Dart second = dart({-160.0368, 69.3204}, {0.00838, -0.06236, -0.99802}, {20, 120, 240}, 43.82);
  expectLastDartEntered(throwDarts({first, second}, 946322481602616375ULL), 2, 2.0);
}

// A dart just off the double of the 6: the first camera sees a grey point and a black barrel
// over the black surround and a blue flight before the wall, too few grey pixels to count on
// their own; the second camera sees it plainly. The first camera's colour search still finds
// it, and the two lines cross at its point.
TEST_F(DuoWire, ADartFaintInOneCameraIsPlacedByBoth) {
  arm();
  const scene::Dart a = dart({83.0082, -116.1978}, {-0.28781, 0.37464, -0.88137}, {150, 40, 130}, 75.94);
  const scene::Dart b = dart({54.5482, -162.8890}, {0.08286, -0.05794, -0.99488}, {205, 95, 20}, 89.24);
  const scene::Dart c = dart({170.8062, 14.1546}, {0.10869, -0.09475, -0.98955}, {205, 95, 20}, 51.30);
  throwDarts({a});
  throwDarts({a, b});
  const json entries = throwDarts({a, b, c});
  expectLastDartEntered(entries, 3, 1.0);
  EXPECT_EQ(shot.truth.darts.back().field, "MISS");
  EXPECT_EQ(entries.back()["method"], "TWO_VIEW_LINES");
}

}  // namespace
}  // namespace tarv
