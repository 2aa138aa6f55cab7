// tarv_bench: scores rendered throws with the library and prints one table of outcomes plus
// call times against an absdiff floor and the engine's resident memory.
//
//   tarv_bench [--sets clean,noise_blur,...] [--darts N] [--seed S] [--quick]
//              [--memory-calls N] [--calibration-boards N] [--verbose] [--trace]
//              [--rounds a,b,...] [--dump DIR] [--calibration-labels DIR]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/bench_runner.h"
#include "bench/calibration_bench.h"
#include "bench/game_runner.h"
#include "bench/scenarios.h"
#include "bench/scoring.h"
#include "tarv/tarv.h"

namespace tb = tarv::bench;

namespace {

struct Options {
  std::vector<std::string> sets;
  int darts = 0;  // 0: each set's default
  unsigned long long seed = 20240601;
  int memory_calls = 1000;
  int game_rounds = 10;
  int calibration_boards = 12;  // per condition
  bool quick = false;
  bool verbose = false;
  bool fewer_cameras = true;  // the clean set again with two cameras and with one, the noisy one with two
  bool trace = false;
  bool fewer_only = false;  // only the rows with fewer cameras
  std::vector<int> rounds;  // only these rounds of each set (1-based)
  std::string dump;         // folder for the chosen rounds' frames
  std::string calibration_labels;  // folder for the calibration boards and their labels
  int off_camera = -1;      // the rig's camera (0-based) armed with a shifted homography
  cv::Point2d off_px{11.0, 10.0};
  // Camera pairs (indices into the rig) for the two-camera rows; with any, every chosen set
  // gets a two-camera row per pair and a one-camera row.
  std::vector<std::vector<size_t>> pairs;
};

constexpr int kQuickDarts = 6;
constexpr int kQuickMemoryCalls = 100;

void usage() {
  std::fprintf(stderr,
               "usage: tarv_bench [--sets a,b,...] [--darts N] [--seed S] [--quick]\n"
               "                  [--memory-calls N] [--calibration-boards N] [--verbose]\n"
               "                  [--calibration-labels DIR] (the calibration boards and their labels, for\n"
               "                  landmark_real calibrate)\n"
               "                  [--no-fewer-cameras] [--fewer-cameras-only]\n"
               "                  [--pairs 12,13,23] (two-camera rows with these cameras of the rig, one\n"
               "                  row per pair and chosen set, plus a one-camera row per chosen set)\n"
               "                  [--rounds a,b,...] (only these rounds of each set; --verbose lists each dart,\n"
               "                  --trace every reply) [--dump DIR] (the sent frames of those rounds as PNG)\n"
               "                  [--off-camera N] [--off-px DX,DY] (camera N of the rig, 1-3, armed with its\n"
               "                  homography shifted by DX,DY pixels, 11,10 unless given; scenes render true)\n"
               "  sets:");
  for (const auto& set : tb::scenarioSets()) std::fprintf(stderr, " %s", set.name.c_str());
  std::fprintf(stderr, "\n");
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--quick") {
      o.quick = true;
    } else if (arg == "--no-fewer-cameras") {
      o.fewer_cameras = false;
    } else if (arg == "--fewer-cameras-only") {
      o.fewer_only = true;
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--rounds") {
      const char* v = value();
      if (v == nullptr) return false;
      for (const std::string& item : splitList(v)) {
        const int n = std::atoi(item.c_str());
        if (n <= 0) return false;
        o.rounds.push_back(n);
      }
    } else if (arg == "--pairs") {
      const char* v = value();
      if (v == nullptr) return false;
      for (const std::string& item : splitList(v)) {
        if (item.size() != 2 || item[0] < '1' || item[0] > '3' || item[1] < '1' || item[1] > '3' ||
            item[0] == item[1]) {
          return false;
        }
        o.pairs.push_back({static_cast<size_t>(item[0] - '1'), static_cast<size_t>(item[1] - '1')});
      }
    } else if (arg == "--off-camera") {
      const char* v = value();
      if (v == nullptr || std::strlen(v) != 1 || v[0] < '1' || v[0] > '3') return false;
      o.off_camera = v[0] - '1';
    } else if (arg == "--off-px") {
      const char* v = value();
      if (v == nullptr) return false;
      const std::vector<std::string> items = splitList(v);
      if (items.size() != 2) return false;
      char* end = nullptr;
      const double dx = std::strtod(items[0].c_str(), &end);
      if (*end != '\0') return false;
      const double dy = std::strtod(items[1].c_str(), &end);
      if (*end != '\0' || !std::isfinite(dx) || !std::isfinite(dy)) return false;
      o.off_px = {dx, dy};
    } else if (arg == "--dump") {
      const char* v = value();
      if (v == nullptr) return false;
      o.dump = v;
    } else if (arg == "--calibration-labels") {
      const char* v = value();
      if (v == nullptr) return false;
      o.calibration_labels = v;
    } else if (arg == "--sets") {
      const char* v = value();
      if (v == nullptr) return false;
      o.sets = splitList(v);
    } else if (arg == "--darts" || arg == "--seed" || arg == "--memory-calls" || arg == "--game-rounds" ||
               arg == "--calibration-boards") {
      const char* v = value();
      if (v == nullptr) return false;
      char* end = nullptr;
      const unsigned long long n = std::strtoull(v, &end, 10);
      if (*v == '\0' || *end != '\0' || n > 1000000000ULL) return false;
      if (arg == "--darts") o.darts = static_cast<int>(n);
      if (arg == "--seed") o.seed = n;
      if (arg == "--memory-calls") o.memory_calls = static_cast<int>(n);
      if (arg == "--game-rounds") o.game_rounds = static_cast<int>(n);
      if (arg == "--calibration-boards") o.calibration_boards = static_cast<int>(n);
    } else {
      return false;
    }
  }
  if (o.quick) {
    if (o.darts == 0) o.darts = kQuickDarts;
    if (o.memory_calls > kQuickMemoryCalls) o.memory_calls = kQuickMemoryCalls;
    o.game_rounds = std::min(o.game_rounds, 2);
    o.calibration_boards = std::min(o.calibration_boards, 4);
  }
  if (o.sets.empty()) {
    for (const auto& set : tb::scenarioSets()) o.sets.push_back(set.name);
  }
  for (const std::string& name : o.sets) {
    if (!tb::findScenarioSet(name)) {
      std::fprintf(stderr, "unknown set: %s\n", name.c_str());
      return false;
    }
  }
  return true;
}

std::string number(double value, const char* format) {
  if (!std::isfinite(value)) return "-";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

void printRow(const std::string& name, const tb::SetTally& t) {
  std::printf("%-18s %6d %9s %7d %10d %6d %6d %7d %8s %8s %8s %8d %7s\n", name.c_str(), t.darts,
              number(t.correctPercent(), "%.1f").c_str(), t.missed, t.unresolved, t.extra, t.wrong_field,
              t.error_replies, number(tb::median(t.tip_errors_mm), "%.2f").c_str(),
              number(tb::mean(t.tip_errors_mm), "%.3f").c_str(),
              number(tb::quantile(t.tip_errors_mm, 0.95), "%.2f").c_str(), t.rounds_waiting,
              t.fallen > 0 ? (std::to_string(t.fallen_scored) + "/" + std::to_string(t.fallen)).c_str() : "-");
}

void printPaths(const std::string& name, const tb::SetTally& t) {
  std::printf("%-18s", name.c_str());
  for (const auto& [path, n] : t.paths) {
    std::printf(" %s %d (%.1f%%)", path.c_str(), n, t.darts > 0 ? 100.0 * n / t.darts : 0.0);
  }
  std::printf("  foreign methods %d\n", t.foreign_methods);
}

void printTiming(const std::string& name, const tb::SetRun& run) {
  const auto cell = [&run](tb::CallKind kind) {
    const auto it = run.tally.call_ms.find(kind);
    if (it == run.tally.call_ms.end() || it->second.empty()) return std::string("      -                ");
    const double ms = tb::median(it->second);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%7.2f %7s %5zu", ms,
                  number(run.floor_ms > 0.0 ? ms / run.floor_ms : NAN, "%.1fx").c_str(),
                  it->second.size());
    return std::string(buffer);
  };
  std::printf("%-18s %9s %8.3f  %s  %s  %s  %s\n", name.c_str(),
              (std::to_string(run.image_size.width) + "x" + std::to_string(run.image_size.height)).c_str(),
              run.floor_ms, cell(tb::CallKind::kUnchanged).c_str(), cell(tb::CallKind::kDeciding).c_str(),
              cell(tb::CallKind::kOther).c_str(), cell(tb::CallKind::kArm).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    usage();
    return 2;
  }
  try {
    tb::setRenderThreads(cv::getNumThreads());
    tb::setTrace(options.trace);
    tb::setOffCamera(options.off_camera, options.off_px);
    tb::setOnlyRounds(options.rounds);
    tb::setDumpFolder(options.dump);
    std::printf("tarv_bench  abi %s  seed %llu%s\n", tarv_abi_info(), options.seed,
                options.quick ? "  (quick)" : "");

    // First, while the process is fresh, so other sets' allocations do not blur it.
    std::vector<tb::MemoryRun> memory;
    if (options.memory_calls > 0) {
      for (const char* set : {"res_1920x1080", "clean"}) {
        memory.push_back(tb::measureMemory(set, options.memory_calls, options.seed));
      }
    }

    std::vector<std::pair<std::string, tb::SetRun>> runs;
    for (const std::string& name : options.sets) {
      if (options.fewer_only) break;
      const tb::ScenarioSet set = *tb::findScenarioSet(name);
      const int darts = options.darts > 0 ? options.darts : set.default_darts;
      std::fprintf(stderr, "running %s (%d darts)...\n", name.c_str(), darts);
      runs.emplace_back(name, tb::runScenarioSet(set, darts, options.seed));
      if (options.verbose) {
        std::printf("%s\n", runs.back().first.c_str());
        for (const std::string& line : runs.back().second.lines) std::printf("%s\n", line.c_str());
      }
    }
    // The one- and two-camera engines on the clean set: two cameras are the rig's first two,
    // one camera its most frontal; the noisy set again with two cameras.
    const auto chosen = [&options](const char* set) {
      return std::find(options.sets.begin(), options.sets.end(), set) != options.sets.end();
    };
    struct FewerRow {
      std::string set;
      int cameras;
      std::vector<size_t> pair;
    };
    std::vector<FewerRow> fewer;
    if (options.pairs.empty()) {
      fewer = {{"clean", 2, {}}, {"clean", 1, {}}, {"noise_blur", 2, {}}};
    } else {
      for (const std::string& setName : options.sets) {
        for (const std::vector<size_t>& pair : options.pairs) fewer.push_back({setName, 2, pair});
        fewer.push_back({setName, 1, {}});
      }
    }
    for (const FewerRow& row : fewer) {
      if (!options.fewer_cameras || !chosen(row.set.c_str())) continue;
      const tb::ScenarioSet set = *tb::findScenarioSet(row.set);
      const int darts = options.darts > 0 ? options.darts : set.default_darts;
      std::string name = row.set + "_" + std::to_string(row.cameras) + "cam";
      if (!row.pair.empty()) name += "_" + std::to_string(row.pair[0] + 1) + std::to_string(row.pair[1] + 1);
      std::fprintf(stderr, "running %s (%d darts)...\n", name.c_str(), darts);
      runs.emplace_back(name, tb::runScenarioSet(set, darts, options.seed, row.cameras, row.pair));
      if (options.verbose) {
        std::printf("%s\n", runs.back().first.c_str());
        for (const std::string& line : runs.back().second.lines) std::printf("%s\n", line.c_str());
      }
    }

    std::printf("\n%-18s %6s %9s %7s %10s %6s %6s %7s %8s %8s %8s %8s %7s\n", "set", "darts", "correct%", "missed",
                "unresolved", "extra", "wrong", "errors", "tip_med", "tip_mean", "tip_p95", "waiting", "fallen");
    tb::SetTally total;
    int totalParts = 0;
    for (const auto& [name, run] : runs) {
      printRow(name, run.tally);
      if (name == "clean" || name == "noise_blur") {
        total.merge(run.tally);
        ++totalParts;
      }
    }
    if (totalParts == 2) printRow("clean+noise_blur", total);
    std::printf("(correct: exactly one new entry with the true field; missed: no new entry; extra: "
                "entries beyond one per dart or on unchanged frames; wrong: one entry, wrong field; "
                "errors: error replies; tip error in mm over darts with one new entry; unresolved: no entry, "
                "the engine said it could not decide: the player types it in; waiting: rounds whose last "
                "reply still waits; fallen: fall-outs that scored a field / fall-outs)\n");

    std::printf("\ndecision paths: deciding replies per path (share of the set's darts); entries whose "
                "method the tip solver does not name\n");
    for (const auto& [name, run] : runs) printPaths(name, run.tally);

    std::printf("\ntiming: median tarv_call ms, ratio to the floor (median of 50 runs of cv::absdiff "
                "of the frames sent (three, or the row's cameras) against their references, one thread), "
                "calls\n");
    std::printf("%-18s %9s %8s  %-23s  %-23s  %-23s  %-23s\n", "set", "size", "floor_ms",
                "unchanged", "deciding", "other", "arm");
    for (const auto& [name, run] : runs) printTiming(name, run);

    if (options.game_rounds > 0) {
      std::printf("\ngames on one armed engine (a hand takes the darts out, the board is proven empty, the "
                  "next round starts; bumped: before every round one camera moves 3 px more)\n");
      std::printf("%-18s %7s %10s %6s %9s %7s %6s %14s\n", "game", "rounds", "completed", "darts",
                  "correct%", "missed", "wrong", "false_entries");
      for (const bool bumped : {false, true}) {
        std::fprintf(stderr, "running game %s...\n", bumped ? "bumped_camera" : "takeout_next_round");
        const tb::GameRun game = tb::runGame(bumped, options.game_rounds, options.seed);
        const tb::SetTally& t = game.tally;
        std::printf("%-18s %7d %10d %6d %9.1f %7d %6d %14d\n", bumped ? "bumped_camera" : "takeout_next_round",
                    game.rounds, game.rounds_completed, t.darts,
                    t.darts > 0 ? 100.0 * t.correct / t.darts : 0.0, t.missed, t.wrong_field,
                    game.false_entries + t.extra);
      }
    }

    if (options.calibration_boards > 0) {
      std::fprintf(stderr, "running calibration...\n");
      const auto rows = tb::runCalibrationBench(options.calibration_boards, options.seed, cv::getNumThreads(),
                                                 options.calibration_labels);
      std::printf("\ncalibrate: one rendered camera per board, 960x720 and 1920x1080 in turn, 0 to 55 degrees off "
                  "the normal, a click on the 20; ring: the fitted 170 mm ring against the camera's own view of "
                  "it where the camera sees it, px of the full image (wrong: accepted with the ring over 2.5 px or "
                  "the bull over 1 px off)\n");
      std::printf("%-18s %7s %9s %6s %10s %13s %12s %12s %11s\n", "calibrate", "boards", "accepted", "wrong",
                  "within_1px", "ring_mean_px", "ring_max_px", "bull_max_px", "ms_per_fit");
      for (const tb::CalibrationRow& r : rows) {
        std::printf("%-18s %7d %9d %6d %10d %13.2f %12.2f %12.2f %11.1f\n", r.condition.c_str(), r.boards,
                    r.accepted, r.wrong_accepted, r.within_1px, r.ring_mean_px, r.ring_max_px, r.bull_max_px,
                    r.ms_per_fit);
      }
    }

    bool anyErrors = false;
    for (const auto& [name, run] : runs) {
      if (run.tally.error_codes.empty()) continue;
      anyErrors = true;
      std::printf("errors in %s:", name.c_str());
      for (const auto& [code, n] : run.tally.error_codes) std::printf(" %s x%d", code.c_str(), n);
      std::printf("\n");
    }

    if (!memory.empty()) {
      std::printf("\nmemory: resident size minus before tarv_create, MB (rounds re-armed each)\n");
      std::printf("%-18s %9s %10s %12s %12s %8s\n", "set", "size", "after_arm", "after_round1",
                  "after_calls", "calls");
      for (const tb::MemoryRun& m : memory) {
        std::printf("%-18s %9s %10.1f %12.1f %12.1f %8d%s\n", m.set.c_str(), m.size.c_str(), m.after_arm_mb,
                    m.after_first_round_mb, m.after_calls_mb, m.calls,
                    m.error_replies > 0 ? (" [" + std::to_string(m.error_replies) + " error replies]").c_str()
                                        : "");
      }
    }
    return anyErrors ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarv_bench: %s\n", e.what());
    return 3;
  }
}
