// An engine armed on a rendered rig, fed darts one after another as a host feeds it.
#pragma once

#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/camera/camera_pose.h"
#include "tarv/tarv.h"

namespace tarv {

inline scene::Dart dartAlong(double x, double y, cv::Vec3d direction, cv::Scalar colour, double rollDeg = 0.0) {
  scene::Dart d;
  d.tip_mm = {x, y};
  d.direction = direction;
  d.flight_colour = colour;
  d.flight_roll_deg = rollDeg;
  return d;
}

class EngineOnRig : public ::testing::Test {
 protected:
  using json = nlohmann::json;

  explicit EngineOnRig(std::vector<scene::CameraSpec> rig) : renderer_(std::move(rig)) {}

  void SetUp() override {
    engine_ = tarv_create();
    const scene::SceneImages empty = renderer_.render({});
    ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }

  // Each dart lands in turn and each state is sent four times, as a host does; the last reply.
  json throwInTurn(const std::vector<scene::Dart>& darts) {
    scene::Scene s;
    json last;
    for (const scene::Dart& dart : darts) {
      s.darts.push_back(dart);
      shot_ = renderer_.render(s);
      for (int i = 0; i < 4; ++i) last = call(clock_.detectRequest(shot_.frames));
    }
    return last;
  }

  scene::Renderer renderer_;
  void* engine_ = nullptr;
  host::FrameClock clock_;
  scene::SceneImages shot_;
};

// The pose of a rendered rig camera, as the engine finds it from its homography and K.
inline CameraPose poseOf(const scene::Camera& camera) {
  Homography h;
  std::array<double, 9> k;
  for (int i = 0; i < 9; ++i) {
    h[i] = camera.boardToImage().val[i];
    k[i] = camera.K().val[i];
  }
  const std::optional<CameraPose> pose = cameraPoseFromHomography(h, k, camera.imageSize());
  EXPECT_TRUE(pose.has_value());
  return *pose;
}

}  // namespace tarv
