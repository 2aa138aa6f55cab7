#include "bench/scenarios.h"

#include <cmath>
#include <stdexcept>

#include "host/wire_distance.h"

namespace tarv::bench {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Grouped darts stay on the board, so the group itself is what is measured.
constexpr double kGroupAnchorRadiusMm = 150.0;
constexpr double kGroupBoardRadiusMm = 168.0;
// A dart thrown into a group flies nearly as its neighbour did.
constexpr double kGroupDirectionSpread = 0.12;

ScenarioSet makeSet(std::string name, std::vector<std::vector<scene::CameraSpec>> rigs,
                    Placement placement, int darts) {
  ScenarioSet set;
  set.name = std::move(name);
  set.rigs = std::move(rigs);
  set.placement = placement;
  set.default_darts = darts;
  return set;
}

scene::Dart nearWireDart(scene::SceneRandom& rng) {
  for (;;) {
    scene::Dart dart = scene::randomDart(rng, kThrowRadiusMm);
    if (host::wireDistanceMm(dart.tip_mm) < kNearWireMm) return dart;
  }
}

// A dart beside or behind earlier[anchor], never closer than kGroupMinMm to any earlier one.
scene::Dart groupedDart(scene::SceneRandom& rng, const scene::Dart* earlier, size_t count) {
  const scene::Dart& anchor = earlier[rng.next() % count];
  scene::Dart dart = scene::randomDart(rng, kThrowRadiusMm);
  for (;;) {
    const double distance = rng.uniform(kGroupMinMm, kGroupMaxMm);
    const double angle = rng.uniform(0.0, 2.0 * kPi);
    const cv::Point2d tip =
        host::clearOfWireMetal(anchor.tip_mm + distance * cv::Point2d(std::cos(angle), std::sin(angle)));
    bool clear = std::hypot(tip.x, tip.y) <= kGroupBoardRadiusMm;
    for (size_t k = 0; k < count && clear; ++k) {
      clear = cv::norm(tip - earlier[k].tip_mm) >= kGroupMinMm;
    }
    if (clear) {
      dart.tip_mm = tip;
      break;
    }
  }
  // Both terms point out of the board, so the sum does too.
  dart.direction = cv::normalize(anchor.direction +
                                 kGroupDirectionSpread * scene::randomDartDirection(rng, 90.0));
  return dart;
}

// A tip near the rim in front of one of the rig's cameras, where the dart fills that camera's
// view.
scene::Dart rimFrontDart(scene::SceneRandom& rng, const std::vector<scene::CameraSpec>& rig) {
  scene::Dart dart = scene::randomDart(rng, kThrowRadiusMm);
  const scene::CameraSpec& camera = rig[rng.next() % rig.size()];
  const double angle = (camera.azimuth_deg + rng.uniform(-kRimConeDeg, kRimConeDeg)) * kPi / 180.0;
  const double radius = rng.uniform(kRimInnerMm, kRimOuterMm);
  dart.tip_mm = {radius * std::sin(angle), -radius * std::cos(angle)};
  return dart;
}

// A throw on a ring rig: uniform over the board, or a miss into the surround in front of one of
// the cameras, where the dart fills that camera's view.
scene::Dart closeRingDart(scene::SceneRandom& rng, const std::vector<scene::CameraSpec>& rig) {
  scene::Dart dart = scene::randomDart(rng, kThrowRadiusMm);
  if (rng.uniform() >= kSurroundShare) return dart;
  const scene::CameraSpec& camera = rig[rng.next() % rig.size()];
  const double angle = (camera.azimuth_deg + rng.uniform(-kRimConeDeg, kRimConeDeg)) * kPi / 180.0;
  const double radius = rng.uniform(kSurroundInnerMm, kSurroundOuterMm);
  dart.tip_mm = {radius * std::sin(angle), -radius * std::cos(angle)};
  return dart;
}

// Cameras 78 to 119 mm in front of the board, 15 degrees above its plane, in three turns.
std::vector<std::vector<scene::CameraSpec>> ringRigs(cv::Size size) {
  return {scene::rigCloseToPlane(size, 300.0), scene::rigCloseToPlane(size, 370.0, 20.0),
          scene::rigCloseToPlane(size, 460.0, -15.0)};
}

// Every camera at its own angle off the board normal, 30 to 60 degrees, in three turns: each
// pair of the rig has one steep and one shallow camera in one of them.
std::vector<std::vector<scene::CameraSpec>> mixedAngleRigs(cv::Size size) {
  const double elevations[3][3] = {{30.0, 45.0, 60.0}, {60.0, 30.0, 45.0}, {45.0, 60.0, 30.0}};
  std::vector<std::vector<scene::CameraSpec>> rigs;
  for (const auto& turn : elevations) {
    std::vector<scene::CameraSpec> rig = scene::rigAtElevation(size, 45.0);
    for (size_t i = 0; i < rig.size(); ++i) rig[i].elevation_deg = turn[i];
    rigs.push_back(rig);
  }
  return rigs;
}

ScenarioSet lightBeforeDart(std::string name, double low, double high) {
  ScenarioSet set = makeSet(std::move(name), {scene::defaultRig({1280, 720})}, Placement::kUniform, 60);
  set.imaging.noise_sigma = 2.0;
  set.imaging.jpeg_quality = 90;
  set.disturbance = Disturbance::kLightBeforeDart;
  set.light_gain_low = low;
  set.light_gain_high = high;
  return set;
}

}  // namespace

uint64_t derivedSeed(uint64_t seed, const std::string& name, uint64_t a, uint64_t b) {
  // FNV-1a over the name, then the counters mixed in: the same on every platform.
  uint64_t h = 1469598103934665603ULL ^ seed;
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ULL;
  scene::SceneRandom mixer(h ^ (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xC2B2AE3D27D4EB4FULL));
  return mixer.next();
}

const std::vector<ScenarioSet>& scenarioSets() {
  static const std::vector<ScenarioSet> sets = [] {
    const cv::Size hd(1280, 720);
    std::vector<ScenarioSet> s;
    s.push_back(makeSet("clean", {scene::defaultRig(hd)}, Placement::kUniform, 150));
    ScenarioSet noisy = makeSet("noise_blur", {scene::defaultRig(hd)}, Placement::kUniform, 150);
    noisy.imaging.noise_sigma = 3.0;
    noisy.imaging.blur_sigma = 0.8;
    noisy.imaging.jpeg_quality = 90;
    s.push_back(noisy);
    s.push_back(makeSet("near_wire", {scene::defaultRig(hd)}, Placement::kNearWire, 60));
    s.push_back(makeSet("beside_behind", {scene::defaultRig(hd)}, Placement::kGrouped, 60));
    s.push_back(makeSet("steep_shallow",
                        {scene::rigAtElevation(hd, 30.0), scene::rigAtElevation(hd, 60.0)},
                        Placement::kUniform, 60));
    s.push_back(makeSet("res_800x600", {scene::defaultRig({800, 600})}, Placement::kUniform, 60));
    s.push_back(
        makeSet("res_1920x1080", {scene::defaultRig({1920, 1080})}, Placement::kUniform, 60));
    // 15 degrees above the plane: 300 mm from the bull is 78 mm in front of the board, 440 mm
    // is 114 mm.
    s.push_back(makeSet("close_plane", {scene::rigCloseToPlane(hd, 300.0), scene::rigCloseToPlane(hd, 440.0, 20.0)},
                        Placement::kUniform, 90));
    s.push_back(makeSet("rim_front", {scene::defaultRig(hd)}, Placement::kRimFront, 90));
    ScenarioSet fallout = makeSet("fallout", {scene::defaultRig(hd)}, Placement::kUniform, 60);
    fallout.imaging.noise_sigma = 2.0;
    fallout.disturbance = Disturbance::kFallout;
    s.push_back(fallout);
    ScenarioSet light = makeSet("light_change", {scene::defaultRig(hd)}, Placement::kUniform, 90);
    light.imaging.noise_sigma = 2.0;
    light.disturbance = Disturbance::kLightChange;
    s.push_back(light);
    s.push_back(makeSet("close_ring", ringRigs(hd), Placement::kCloseRing, 90));
    s.push_back(makeSet("near_wire_angles", {scene::rigAtElevation(hd, 30.0), scene::rigAtElevation(hd, 60.0)},
                        Placement::kNearWire, 60));
    s.push_back(lightBeforeDart("light_ref_x0.85", 0.85, 0.85));
    s.push_back(lightBeforeDart("light_ref_x1.15", 1.15, 1.15));
    s.push_back(lightBeforeDart("light_ref_range", 0.8, 1.25));
    ScenarioSet unresolved = makeSet("unresolved", {scene::defaultRig(hd)}, Placement::kUniform, 60);
    unresolved.imaging.noise_sigma = 2.0;
    unresolved.disturbance = Disturbance::kUnresolvedDart;
    s.push_back(unresolved);
    s.push_back(makeSet("mixed_angles", mixedAngleRigs(hd), Placement::kUniform, 90));
    ScenarioSet mixedNoisy = makeSet("mixed_angles_noise", mixedAngleRigs(hd), Placement::kUniform, 90);
    mixedNoisy.imaging = noisy.imaging;
    s.push_back(mixedNoisy);
    return s;
  }();
  return sets;
}

std::optional<ScenarioSet> findScenarioSet(const std::string& name) {
  for (const ScenarioSet& set : scenarioSets()) {
    if (set.name == name) return set;
  }
  return std::nullopt;
}

std::vector<PlannedRound> planRounds(const ScenarioSet& set, int darts, uint64_t seed) {
  if (darts < 0 || set.rigs.empty()) throw std::invalid_argument("INVALID_PLAN");
  scene::SceneRandom rng(derivedSeed(seed, set.name));
  std::vector<PlannedRound> rounds((darts + 2) / 3);
  for (size_t r = 0; r < rounds.size(); ++r) {
    PlannedRound& round = rounds[r];
    round.rig = r % set.rigs.size();
    for (size_t k = 0; k < round.darts.size(); ++k) {
      switch (set.placement) {
        case Placement::kUniform:
          round.darts[k] = scene::randomDart(rng, kThrowRadiusMm);
          break;
        case Placement::kNearWire:
          round.darts[k] = nearWireDart(rng);
          break;
        case Placement::kRimFront:
          round.darts[k] = rimFrontDart(rng, set.rigs[round.rig]);
          break;
        case Placement::kCloseRing:
          round.darts[k] = closeRingDart(rng, set.rigs[round.rig]);
          break;
        case Placement::kGrouped:
          if (k == 0) {
            round.darts[k] = scene::randomDart(rng, kGroupAnchorRadiusMm);
          } else {
            round.darts[k] = groupedDart(rng, round.darts.data(), k);
          }
          break;
      }
      // Where a real point stands: not inside a wire, where the true field would be a toss.
      round.darts[k].tip_mm = host::clearOfWireMetal(round.darts[k].tip_mm);
    }
    if (set.disturbance == Disturbance::kFallout) {
      round.fallen_throw = static_cast<int>(rng.next() % 2);
      round.fallen_frames = 1 + static_cast<int>(rng.next() % 10);
    } else if (set.disturbance == Disturbance::kLightChange) {
      round.light_state = static_cast<int>(rng.next() % 4);
      // Half of the changes come with the frame on which a dart lands.
      round.light_send = rng.next() % 2 == 0 ? 0 : 1 + static_cast<int>(rng.next() % 3);
      const double gain = rng.uniform(0.8, 1.25);
      round.light_gain = std::abs(gain - 1.0) < 0.05 ? (gain < 1.0 ? 0.85 : 1.15) : gain;
      round.light_camera = rng.next() % 2 == 0 ? -1 : static_cast<int>(rng.next() % 3);
    } else if (set.disturbance == Disturbance::kLightBeforeDart) {
      // The empty board is seen in the reference's light; the first dart lands in the new one.
      round.light_state = 1;
      round.light_send = 0;
      round.light_gain = rng.uniform(set.light_gain_low, set.light_gain_high);
      round.light_camera = -1;
    } else if (set.disturbance == Disturbance::kUnresolvedDart) {
      round.unresolved_throw = static_cast<int>(rng.next() % 3);
      round.darts[static_cast<size_t>(round.unresolved_throw)].point_hidden = true;
    }
  }
  return rounds;
}

}  // namespace tarv::bench
