// The benchmark's seeded scenario sets: which rig, which imaging and where the three darts of
// each round land.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scene/scene.h"

namespace tarv::bench {

enum class Placement {
  kUniform,   // tips uniform over the disc of 178 mm, so a few miss the board
  kNearWire,  // uniform tips kept only when they lie within 2 mm of a wire
  kGrouped,   // the second and third dart within 15 mm of an earlier one, beside or behind it
  kRimFront,  // tips 140 to 200 mm from the bull within 25 degrees of a camera's direction
  kCloseRing, // uniform tips, and one in four into the surround in front of one of the cameras
  kLowRing,   // uniform tips, a third near the rim by a camera, a sixth just beyond the double there
  kLowRingFront,  // each round opens near the rim or just beyond the double right in front of
                  // a camera; later darts often land behind that dart as that camera sees it
};

// What else happens during a round.
enum class Disturbance {
  kNone,
  kFallout,      // one throw, before or between the others, is seen 1 to 10 frames and falls out
  kLightChange,  // from one frame on, the light changes by x0.8 to x1.25 (all cameras or one)
  kLightBeforeDart,  // the first dart lands with a light change against the empty reference
  kUnresolvedDart,   // one throw of each round is a dart no camera can place
  kFlash,       // between the throws, one or two frames of a glint, a small shadow or a flicker
  kQuiver,      // every dart quivers as it lands; each camera sees the board up to 3 frames late
  kLightPatch,  // after the first dart a soft patch of light or shadow appears and stays
};

// A soft spot of light (gain above 1) or shadow (below 1) on the board.
struct SoftSpot {
  cv::Point2d centre_mm;
  double diameter_mm = 20.0;
  double gain = 1.0;
};

// A flash between two throws: `frames` frames of a spot, or of the whole picture times
// `flicker` when that is not 1.
struct Flash {
  int frames = 0;
  SoftSpot spot;
  double flicker = 1.0;
};

// A dart's quiver as it lands: its direction swung about its tip by `amplitude_deg` round
// `axis`, dying away over `frames` frames.
struct Quiver {
  cv::Vec3d axis{1.0, 0.0, 0.0};
  double amplitude_deg = 0.0;
  double period_frames = 4.0;
  double phase = 0.0;
};
constexpr int kQuiverFrames = 9;  // about 0.3 s at 30 frames a second
constexpr int kMaxCameraLag = 3;

struct ScenarioSet {
  std::string name;
  std::vector<std::vector<scene::CameraSpec>> rigs;  // rounds take them in turn
  scene::Imaging imaging;  // its noise seed is replaced for every frame
  Placement placement = Placement::kUniform;
  Disturbance disturbance = Disturbance::kNone;
  // kLightBeforeDart: the gain is drawn from this range (both ends equal: that gain).
  double light_gain_low = 0.8;
  double light_gain_high = 1.25;
  // kLightPatch: a faint patch (x1.1 to x1.25 or x0.8 to x0.9) rather than a glint or a
  // shadow.
  bool faint_patch = false;
  int default_darts = 60;
};

// All sets in table order: clean, noise_blur, near_wire, beside_behind, steep_shallow,
// res_800x600, res_1920x1080, close_plane, rim_front, fallout, light_change, close_ring,
// near_wire_close, light_ref_x0.85, light_ref_x1.15, light_ref_range, light_ref_bright_x0.85,
// light_ref_bright_x1.15, unresolved, flash, quiver, light_patch, light_patch_faint, low_ring,
// low_ring_front, mixed_angles, mixed_angles_noise.
const std::vector<ScenarioSet>& scenarioSets();
std::optional<ScenarioSet> findScenarioSet(const std::string& name);

struct PlannedRound {
  size_t rig = 0;
  std::array<scene::Dart, 3> darts;
  // Fall-out: throw `fallen_throw` (0 or 1) is darts[fallen_throw], seen `fallen_frames`
  // frames and gone again; the other two throws stay.
  int fallen_throw = -1;
  int fallen_frames = 0;
  // Light change: from send `light_send` of state `light_state` on, frames are multiplied by
  // `light_gain`, in every camera or only in `light_camera`.
  int light_state = -1;
  int light_send = 0;
  double light_gain = 1.0;
  int light_camera = -1;
  // Unresolved dart: throw `unresolved_throw` is seen with its point and barrel hidden (a
  // dart stuck in another's flight, a hanger behind the wire), so no camera can place it.
  int unresolved_throw = -1;
  // Flashes: flashes[k] is sent after throw k (0 or 1) has been seen, before the next one.
  std::array<Flash, 2> flashes;
  // Quiver: each dart's quiver, and how many frames late each camera sees the board.
  std::array<Quiver, 3> quivers;
  std::array<int, 3> camera_lag{0, 0, 0};
  // Light patch: appears after the first dart and stays.
  std::optional<SoftSpot> patch;
};

// A dart's direction at frame `frame` of its quiver (kQuiverFrames and later: at rest).
cv::Vec3d quiveredDirection(const scene::Dart& dart, const Quiver& quiver, int frame);

// ceil(darts / 3) rounds of three darts; the same set, count and seed give the same rounds.
std::vector<PlannedRound> planRounds(const ScenarioSet& set, int darts, uint64_t seed);

// A seed of its own for every set, state and frame, derived from the run's seed.
uint64_t derivedSeed(uint64_t seed, const std::string& name, uint64_t a = 0, uint64_t b = 0);

constexpr double kThrowRadiusMm = 178.0;
constexpr double kNearWireMm = 2.0;
constexpr double kGroupMinMm = 6.0;   // two steel points cannot share a hole
constexpr double kGroupMaxMm = 15.0;
constexpr double kRimInnerMm = 140.0;
constexpr double kRimOuterMm = 200.0;
constexpr double kRimConeDeg = 25.0;
// Misses on a ring rig: this share of the throws, this far out in front of a camera.
constexpr double kSurroundShare = 0.25;
constexpr double kSurroundInnerMm = 172.0;
constexpr double kSurroundOuterMm = 238.0;
// Low ring rigs: what a rig mounted on a ring round the board sees, every round its own.
constexpr int kLowRingRigs = 30;
constexpr double kLowRingRimShare = 1.0 / 3.0;   // 140-168 mm, on the rim near a camera
constexpr double kLowRingMissShare = 1.0 / 6.0;  // 171-176 mm, just beyond the double there
constexpr double kLowRingRimOuterMm = 168.0;
constexpr double kLowRingStretchDeg = 80.0;      // either side of the camera's direction
constexpr double kLowRingMissInnerMm = 171.0;
constexpr double kLowRingMissOuterMm = 176.0;
// Low ring rigs, each round opened right in front of a camera: the opening dart's tip within
// this many degrees of that camera's direction round the board, half of them near the rim
// (kLowRingFrontRimInnerMm to kLowRingRimOuterMm), half just beyond the double; darts as
// thrown, up to kLowRingFrontTiltDeg off the board normal. A later dart lands behind it (on
// the board further along that camera's line of sight) this share of the time.
constexpr double kLowRingFrontConeDeg = 10.0;
constexpr double kLowRingFrontRimInnerMm = 150.0;
constexpr double kLowRingFrontTiltDeg = 30.0;
constexpr double kLowRingFrontBehindShare = 0.5;
constexpr double kLowRingFrontBehindMinMm = 15.0;
constexpr double kLowRingFrontBehindMaxMm = 70.0;

}  // namespace tarv::bench
