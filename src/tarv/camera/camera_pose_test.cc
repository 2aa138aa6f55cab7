#include "tarv/camera/camera_pose.h"

#include <gtest/gtest.h>

#include "scene/camera_rig.h"

namespace tarv {
namespace {

Homography homographyOf(const cv::Matx33d& m) {
  Homography h;
  for (int i = 0; i < 9; ++i) h[i] = m.val[i];
  return h;
}

// The pose behind each rendered camera's homography: its centre, and board points off the
// face projected where the camera sees them; with the camera's K or with K estimated.
TEST(CameraPose, RenderedCamerasAreRecoveredFromTheirHomographies) {
  for (const scene::CameraSpec& cameraSpec : scene::defaultRig()) {
    const scene::Camera camera(cameraSpec);
    std::array<double, 9> k{};
    for (int i = 0; i < 9; ++i) k[i] = camera.K().val[i];
    for (const std::array<double, 9>& model : {k, std::array<double, 9>{}}) {
      const std::optional<CameraPose> pose =
          cameraPoseFromHomography(homographyOf(camera.boardToImage()), model, camera.imageSize());
      ASSERT_TRUE(pose.has_value());
      const cv::Point3d c = camera.centre();
      EXPECT_NEAR(pose->centre[0], c.x, 2.0);
      EXPECT_NEAR(pose->centre[1], c.y, 2.0);
      EXPECT_NEAR(pose->centre[2], c.z, 2.0);
      // The scene's board frame has z into the board: the cameras are at negative z.
      EXPECT_DOUBLE_EQ(pose->heightSign, -1.0);
      for (const cv::Point3d p : {cv::Point3d(0, 0, -40), cv::Point3d(80, -60, -25), cv::Point3d(-100, 30, 0)}) {
        const std::optional<cv::Point2d> seen = pose->project({p.x, p.y, p.z});
        ASSERT_TRUE(seen.has_value());
        const cv::Point2d truth = camera.project(p);
        EXPECT_NEAR(seen->x, truth.x, 0.5);
        EXPECT_NEAR(seen->y, truth.y, 0.5);
        EXPECT_NEAR(pose->heightOf({p.x, p.y, p.z}), -p.z, 1e-9);
      }
    }
  }
}

TEST(CameraPose, NoPoseWithoutAFiniteFocalLength) {
  const Homography flat = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(intrinsicsFromHomography(flat, {640, 480}).has_value());
  EXPECT_FALSE(cameraPoseFromHomography(flat, {}, {640, 480}).has_value());
}

}  // namespace
}  // namespace tarv
