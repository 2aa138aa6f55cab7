// Two darts in one change, on rendered cameras: the change falls into groups, each fitted on
// its own.
#include "tarv/views/several_darts.h"

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

ChangeGroups fittedGroups(const ShaftView& view, const ChangePieces* pieces) {
  ChangeGroups groups = groupChangeUnfitted(view, pieces);
  fitGroupTips(view, groups);
  return groups;
}

// Each group's tip is the fit of that group alone, whether the change was labelled by the
// caller or not; two darts far apart make two groups in every camera.
TEST(GroupChange, EachGroupsTipIsItsOwnFit) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  scene::SceneRandom rng(23);
  int grouped = 0;
  for (int n = 0; n < 6; ++n) {
    scene::Scene scene;
    scene::Dart first = scene::randomDart(rng, 120.0);
    scene::Dart second = scene::randomDart(rng, 120.0);
    second.tip_mm = first.tip_mm + cv::Point2d(n % 2 == 0 ? 45.0 : -40.0, n % 3 == 0 ? 30.0 : -35.0);
    scene.darts = {first, second};
    const scene::SceneImages shot = renderer.render(scene);
    for (int camera = 0; camera < 3; ++camera) {
      ShaftView view;
      view.frame = shot.frames[camera];
      view.background = empty.frames[camera];
      view.changeMask = dartChangeMask(colourDifference(view.frame, view.background), kDartChangeLevel);
      view.boardToImage = host::homographyOf(shot.truth.cameras[camera].board_to_image);
      view.normalPoint = shot.truth.cameras[camera].image_normal;
      const ChangeGroups alone = fittedGroups(view, nullptr);
      const ChangePieces pieces = labelChangePieces(view.changeMask);
      const ChangeGroups labelled = fittedGroups(view, &pieces);
      ASSERT_EQ(alone.groups.size(), labelled.groups.size());
      ASSERT_EQ(alone.tips.size(), alone.groups.size());
      grouped += alone.groups.size() >= 2;
      for (size_t g = 0; g < alone.groups.size(); ++g) {
        EXPECT_EQ(cv::countNonZero(alone.groups[g] != labelled.groups[g]), 0);
        ShaftView one = view;
        one.changeMask = alone.groups[g];
        const std::optional<ShaftFit> fit = fitShaft(one);
        ASSERT_EQ(fit.has_value(), alone.tips[g].has_value()) << "dart " << n << " camera " << camera;
        ASSERT_EQ(fit.has_value(), labelled.tips[g].has_value());
        if (!fit) continue;
        const Point2 tip = imageToBoard(view.boardToImage, fit->tip);
        EXPECT_EQ(alone.tips[g]->x, tip.x);
        EXPECT_EQ(alone.tips[g]->y, tip.y);
        EXPECT_EQ(labelled.tips[g]->x, tip.x);
        EXPECT_EQ(labelled.tips[g]->y, tip.y);
      }
    }
  }
  EXPECT_GE(grouped, 12);
}

}  // namespace
}  // namespace tarv
