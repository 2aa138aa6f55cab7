#include "bench/scenarios.h"

#include <algorithm>
#include <cmath>
#include <utility>
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

// A dart radius_lo..radius_hi from the bull, on the rim's stretch in front of one of the
// rig's cameras (up to most of the way to the next), leaning toward that camera: flight and
// barrel fill much of its view, or of two cameras' views between them.
void nearCameraOnRim(scene::SceneRandom& rng, const std::vector<scene::CameraSpec>& rig, double radius_lo,
                     double radius_hi, scene::Dart& dart) {
  const scene::CameraSpec& camera = rig[rng.next() % rig.size()];
  const double angle = (camera.azimuth_deg + rng.uniform(-kLowRingStretchDeg, kLowRingStretchDeg)) * kPi / 180.0;
  const double radius = rng.uniform(radius_lo, radius_hi);
  dart.tip_mm = {radius * std::sin(angle), -radius * std::cos(angle)};
  // Draws from one generator are taken one by one: within one call the compiler would choose
  // their order and a seed would plan other throws with another compiler. The order kept is the
  // one the figures were measured with.
  const double turn = rng.uniform(-20.0, 20.0);
  dart.direction = scene::frontDirection(rng.uniform(15.0, 35.0), camera.azimuth_deg + turn);
}

// A throw on a low ring rig: uniform over the board, near the rim in front of a camera or a
// miss just beyond the double there.
scene::Dart lowRingDart(scene::SceneRandom& rng, const std::vector<scene::CameraSpec>& rig) {
  scene::Dart dart = scene::randomDart(rng, kThrowRadiusMm);
  const double kind = rng.uniform();
  if (kind < kLowRingRimShare) {
    nearCameraOnRim(rng, rig, kRimInnerMm, kLowRingRimOuterMm, dart);
  } else if (kind < kLowRingRimShare + kLowRingMissShare) {
    nearCameraOnRim(rng, rig, kLowRingMissInnerMm, kLowRingMissOuterMm, dart);
  }
  return dart;
}

// The throws of a round on a low ring rig that opens right in front of one camera (`front`):
// the opening dart near the rim or just beyond the double there, thrown as players throw (its
// flight anywhere up to 30 degrees off the normal, toward the camera too); a later dart lands
// behind it as that camera sees it, or anywhere.
scene::Dart lowRingFrontDart(scene::SceneRandom& rng, const scene::CameraSpec& front, const scene::Dart* earlier,
                             size_t count) {
  scene::Dart dart = scene::randomDart(rng, kThrowRadiusMm, kLowRingFrontTiltDeg);
  if (count == 0) {
    const double angle = (front.azimuth_deg + rng.uniform(-kLowRingFrontConeDeg, kLowRingFrontConeDeg)) * kPi / 180.0;
    const double radius = rng.next() % 2 == 0 ? rng.uniform(kLowRingFrontRimInnerMm, kLowRingRimOuterMm)
                                              : rng.uniform(kLowRingMissInnerMm, kLowRingMissOuterMm);
    dart.tip_mm = {radius * std::sin(angle), -radius * std::cos(angle)};
    // Half of them lean toward the camera, flight first into its view.
    if (rng.next() % 2 == 0) {
      const double turn = rng.uniform(-40.0, 40.0);
      dart.direction = scene::frontDirection(rng.uniform(10.0, kLowRingFrontTiltDeg), front.azimuth_deg + turn);
    }
    return dart;
  }
  if (rng.uniform() >= kLowRingFrontBehindShare) return dart;
  // Behind: from the opening dart on along the board-plane line from the camera's foot.
  const double a = front.azimuth_deg * kPi / 180.0;
  const double footDistance = front.distance_mm * std::sin(front.elevation_deg * kPi / 180.0);
  const cv::Point2d foot(footDistance * std::sin(a), -footDistance * std::cos(a));
  const cv::Point2d away = (earlier[0].tip_mm - foot) / cv::norm(earlier[0].tip_mm - foot);
  const cv::Point2d across(-away.y, away.x);
  for (;;) {
    const double sideways = rng.uniform(-8.0, 8.0);
    const double along = rng.uniform(kLowRingFrontBehindMinMm, kLowRingFrontBehindMaxMm);
    const cv::Point2d tip = earlier[0].tip_mm + along * away + sideways * across;
    bool clear = true;
    for (size_t k = 0; k < count && clear; ++k) clear = cv::norm(tip - earlier[k].tip_mm) >= kGroupMinMm;
    if (clear) {
      dart.tip_mm = tip;
      return dart;
    }
  }
}

// Rigs as teams mount them on a ring round the board: three cameras about 120 degrees apart,
// 330-380 mm from the bull and 70-120 mm in front of the board face, 1280x720 with a focal
// length of 640-720 px, aimed within 10 mm of the bull, mounted upright.
std::vector<std::vector<scene::CameraSpec>> lowRingRigs(cv::Size size) {
  scene::SceneRandom rng(0x10e5f1a6ULL);
  std::vector<std::vector<scene::CameraSpec>> rigs;
  for (int r = 0; r < kLowRingRigs; ++r) {
    std::vector<scene::CameraSpec> rig = scene::rigAtElevation(size, 75.0);
    const double turn = rng.uniform(-60.0, 60.0);
    for (scene::CameraSpec& camera : rig) {
      camera.azimuth_deg += turn + rng.uniform(-6.0, 6.0);
      camera.distance_mm = rng.uniform(330.0, 380.0);
      const double height = rng.uniform(70.0, 120.0);
      camera.elevation_deg = 90.0 - std::asin(height / camera.distance_mm) * 180.0 / kPi;
      camera.focal_px = rng.uniform(640.0, 720.0);
      const double aimAngle = rng.uniform(0.0, 2.0 * kPi);
      const double aimOff = 10.0 * std::sqrt(rng.uniform());
      camera.aim_mm = cv::Point2d(aimOff * std::cos(aimAngle), aimOff * std::sin(aimAngle));
      camera.roll_deg = scene::uprightRoll(camera);
    }
    rigs.push_back(std::move(rig));
  }
  return rigs;
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

// The same on a scene exposed as real cameras often are: white numbers, wires and the cream
// beds at the top of the 8-bit range, more sensor noise, stronger JPEG. The light factor is
// applied to the finished 8-bit frames, so at x1.15 the highlights clip and at x0.85 what was
// clipped comes down as a flat plateau. (No reflection: the renderer adds one over the darts
// too, which hides a dart in it as no real reflection does.)
ScenarioSet brightLightBeforeDart(std::string name, double gain) {
  ScenarioSet set = lightBeforeDart(std::move(name), gain, gain);
  set.imaging.gain = 1.2;
  set.imaging.offset = 8.0;
  set.imaging.noise_sigma = 3.0;
  set.imaging.jpeg_quality = 80;
  return set;
}

// A spot 10 to 30 mm across on the board: a glint (x1.25 to x1.6) or a small shadow (x0.6 to
// x0.8); faint, x1.1 to x1.25 or x0.8 to x0.9.
SoftSpot randomSpot(scene::SceneRandom& rng, bool faint = false) {
  SoftSpot spot;
  spot.centre_mm = scene::randomTip(rng, kGroupBoardRadiusMm);
  spot.diameter_mm = rng.uniform(10.0, 30.0);
  const bool lighter = rng.next() % 2 == 0;
  if (faint) {
    spot.gain = lighter ? rng.uniform(1.1, 1.25) : rng.uniform(0.8, 0.9);
  } else {
    spot.gain = lighter ? rng.uniform(1.25, 1.6) : rng.uniform(0.6, 0.8);
  }
  return spot;
}

cv::Vec3d rotatedAbout(const cv::Vec3d& v, const cv::Vec3d& axis, double angle) {
  // Rodrigues' rotation.
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return v * c + axis.cross(v) * s + axis * axis.dot(v) * (1.0 - c);
}

}  // namespace

cv::Vec3d quiveredDirection(const scene::Dart& dart, const Quiver& quiver, int frame) {
  if (frame >= kQuiverFrames || quiver.amplitude_deg == 0.0) return dart.direction;
  // Dies away to a few per cent of its swing by the last frame.
  const double envelope = std::exp(-3.0 * frame / kQuiverFrames);
  const double angle =
      quiver.amplitude_deg * envelope * std::cos(2.0 * kPi * frame / quiver.period_frames + quiver.phase) * kPi / 180.0;
  return cv::normalize(rotatedAbout(dart.direction, quiver.axis, angle));
}

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
    s.push_back(brightLightBeforeDart("light_ref_bright_x0.85", 0.85));
    s.push_back(brightLightBeforeDart("light_ref_bright_x1.15", 1.15));
    ScenarioSet unresolved = makeSet("unresolved", {scene::defaultRig(hd)}, Placement::kUniform, 60);
    unresolved.imaging.noise_sigma = 2.0;
    unresolved.disturbance = Disturbance::kUnresolvedDart;
    s.push_back(unresolved);
    for (const auto& [name, kind] : {std::pair<const char*, Disturbance>{"flash", Disturbance::kFlash},
                                     {"quiver", Disturbance::kQuiver},
                                     {"light_patch", Disturbance::kLightPatch}}) {
      ScenarioSet set = makeSet(name, {scene::defaultRig(hd)}, Placement::kUniform, 60);
      set.imaging.noise_sigma = 2.0;
      set.disturbance = kind;
      s.push_back(set);
    }
    ScenarioSet faintPatch = makeSet("light_patch_faint", {scene::defaultRig(hd)}, Placement::kUniform, 60);
    faintPatch.imaging.noise_sigma = 2.0;
    faintPatch.disturbance = Disturbance::kLightPatch;
    faintPatch.faint_patch = true;
    s.push_back(faintPatch);
    s.push_back(makeSet("low_ring", lowRingRigs(hd), Placement::kLowRing, 90));
    ScenarioSet lowRingFront = makeSet("low_ring_front", lowRingRigs(hd), Placement::kLowRingFront, 90);
    // A real camera's noise and compression.
    lowRingFront.imaging.noise_sigma = 2.0;
    lowRingFront.imaging.jpeg_quality = 90;
    s.push_back(lowRingFront);
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
        case Placement::kLowRing:
          round.darts[k] = lowRingDart(rng, set.rigs[round.rig]);
          break;
        case Placement::kLowRingFront:
          // The rounds open in front of each camera in turn.
          round.darts[k] = lowRingFrontDart(rng, set.rigs[round.rig][r % set.rigs[round.rig].size()],
                                            round.darts.data(), k);
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
    } else if (set.disturbance == Disturbance::kFlash) {
      for (Flash& flash : round.flashes) {
        flash.frames = 1 + static_cast<int>(rng.next() % 2);
        flash.spot = randomSpot(rng);
        // One flash in four is a flicker of the whole picture.
        if (rng.next() % 4 == 0) flash.flicker = rng.next() % 2 == 0 ? rng.uniform(1.1, 1.2) : rng.uniform(0.8, 0.9);
      }
    } else if (set.disturbance == Disturbance::kQuiver) {
      for (size_t k = 0; k < round.quivers.size(); ++k) {
        Quiver& q = round.quivers[k];
        // Any axis across the dart: the flight swings about the tip.
        const cv::Vec3d d = round.darts[k].direction;
        const cv::Vec3d helper = std::abs(d[0]) < 0.9 ? cv::Vec3d(1.0, 0.0, 0.0) : cv::Vec3d(0.0, 1.0, 0.0);
        const cv::Vec3d u = cv::normalize(d.cross(helper));
        const cv::Vec3d v = d.cross(u);
        const double turn = rng.uniform(0.0, 2.0 * kPi);
        q.axis = cv::normalize(u * std::cos(turn) + v * std::sin(turn));
        q.amplitude_deg = rng.uniform(3.0, 8.0);
        q.period_frames = rng.uniform(2.5, 6.0);
        q.phase = rng.uniform(0.0, 2.0 * kPi);
      }
      for (int& lag : round.camera_lag) lag = static_cast<int>(rng.next() % (kMaxCameraLag + 1));
      // The lags are relative: the earliest camera sees each state at once.
      const int earliest = std::min({round.camera_lag[0], round.camera_lag[1], round.camera_lag[2]});
      for (int& lag : round.camera_lag) lag -= earliest;
    } else if (set.disturbance == Disturbance::kLightPatch) {
      round.patch = randomSpot(rng, set.faint_patch);
    }
  }
  return rounds;
}

}  // namespace tarv::bench
