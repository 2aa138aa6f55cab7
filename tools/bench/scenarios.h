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
};

struct ScenarioSet {
  std::string name;
  std::vector<std::vector<scene::CameraSpec>> rigs;  // rounds take them in turn
  scene::Imaging imaging;  // its noise seed is replaced for every frame
  Placement placement = Placement::kUniform;
  int default_darts = 60;
};

// All sets in table order: clean, noise_blur, near_wire, beside_behind, steep_shallow,
// res_800x600, res_1920x1080.
const std::vector<ScenarioSet>& scenarioSets();
std::optional<ScenarioSet> findScenarioSet(const std::string& name);

struct PlannedRound {
  size_t rig = 0;
  std::array<scene::Dart, 3> darts;
};

// ceil(darts / 3) rounds of three darts; the same set, count and seed give the same rounds.
std::vector<PlannedRound> planRounds(const ScenarioSet& set, int darts, uint64_t seed);

// A seed of its own for every set, state and frame, derived from the run's seed.
uint64_t derivedSeed(uint64_t seed, const std::string& name, uint64_t a = 0, uint64_t b = 0);

constexpr double kThrowRadiusMm = 178.0;
constexpr double kNearWireMm = 2.0;
constexpr double kGroupMinMm = 6.0;   // two steel points cannot share a hole
constexpr double kGroupMaxMm = 15.0;

}  // namespace tarv::bench
