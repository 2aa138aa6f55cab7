#include "bench/bench_runner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "tarv/tarv.h"

namespace tarv::bench {
namespace {

int gRenderThreads = 1;
bool gTrace = false;
int gOffCamera = -1;
cv::Point2d gOffShift;
std::vector<int> gOnlyRounds;
std::string gDumpFolder;

void dumpFrames(const std::string& set, size_t round, size_t state, const std::vector<cv::Mat>& frames) {
  if (gDumpFolder.empty()) return;
  for (size_t c = 0; c < frames.size(); ++c) {
    char name[96];
    std::snprintf(name, sizeof name, "/%s-r%02zu-s%zu-c%zu.png", set.c_str(), round + 1, state, c + 1);
    cv::imwrite(gDumpFolder + name, frames[c]);
  }
}

using Frames = std::vector<cv::Mat>;

// Rendering may use every core; the timed calls run with OpenCV at one thread, as the
// library sets it, so the switch itself never falls inside a timed call.
struct RenderThreads {
  RenderThreads() { cv::setNumThreads(gRenderThreads); }
  ~RenderThreads() { cv::setNumThreads(1); }
};

bool imagingIsIdentity(const scene::Imaging& imaging) {
  return imaging.gain == 1.0 && imaging.offset == 0.0 && imaging.blur_sigma <= 0.0 &&
         imaging.noise_sigma <= 0.0 && imaging.jpeg_quality <= 0;
}

// The frames of one scene state for each send: a real sensor gives fresh noise every frame,
// a noiseless one the same picture again.
std::vector<Frames> stateFrames(const scene::Renderer& renderer, const scene::Scene& state,
                                const scene::Imaging& imaging, uint64_t seed, int sends,
                                scene::GroundTruth& truth) {
  RenderThreads threads;
  scene::SceneImages shot = renderer.render(state);
  truth = shot.truth;
  std::vector<Frames> result;
  if (imagingIsIdentity(imaging)) {
    result.assign(static_cast<size_t>(sends), shot.frames);
    return result;
  }
  const bool noisy = imaging.noise_sigma > 0.0;
  for (int s = 0; s < sends; ++s) {
    if (s > 0 && !noisy) {
      result.push_back(result.front());
      continue;
    }
    scene::Imaging frameImaging = imaging;
    frameImaging.noise_seed = seed + static_cast<uint64_t>(s);
    Frames frames;
    for (size_t c = 0; c < shot.frames.size(); ++c) {
      frames.push_back(scene::applyImaging(shot.frames[c], frameImaging, static_cast<int>(c)));
    }
    result.push_back(std::move(frames));
  }
  return result;
}

struct CallResult {
  json reply;
  double ms = 0.0;
};

// One engine, created and destroyed with the session; only tarv_call is timed.
class EngineSession {
 public:
  EngineSession() : engine_(tarv_create()) {
    if (engine_ == nullptr) throw std::runtime_error("ENGINE_NOT_CREATED");
  }
  ~EngineSession() { tarv_destroy(engine_); }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  CallResult call(const json& request) {
    const std::string text = request.dump();
    const auto start = std::chrono::steady_clock::now();
    const char* reply = tarv_call(engine_, text.c_str());
    const auto end = std::chrono::steady_clock::now();
    CallResult result;
    result.ms = std::chrono::duration<double, std::milli>(end - start).count();
    result.reply = host::parseReply(reply);
    return result;
  }

 private:
  void* engine_;
};

std::string pointText(const std::optional<cv::Point2d>& p) {
  if (!p) return "(    none     )";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "(%7.2f,%7.2f)", p->x, p->y);
  return buffer;
}

std::string dartLine(size_t round, size_t dart, const DartJudgement& j, const cv::Point2d& tip,
                     const std::string& lastStatus) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, "  round %3zu dart %zu: true %-4s %s  scored %-4s %s  new %zu  %s%s",
                round + 1, dart + 1, j.true_field.c_str(), pointText(tip).c_str(),
                j.new_entries > 0 ? j.scored_field.c_str() : "-", pointText(j.scored_tip).c_str(),
                j.new_entries, j.correct ? "ok" : j.new_entries == 0 ? "MISSED" : j.new_entries > 1 ? "EXTRA" : "WRONG",
                lastStatus.c_str());
  return buffer;
}

std::string statusText(const json& reply) {
  if (auto error = host::replyError(reply)) return " error " + *error;
  const auto status = reply.find("status");
  if (status == reply.end() || !status->is_string()) return "";
  std::string text = " last " + status->get<std::string>();
  const auto reason = reply.find("reason");
  if (reason != reply.end() && reason->is_string()) text += "/" + reason->get<std::string>();
  return text;
}

// One line per reply: status, reason and each camera's change figures.
size_t entryCount(const json& reply, size_t fallback);

std::string traceText(const json& reply) {
  std::string text = statusText(reply);
  const auto cameras = reply.find("cameras");
  if (cameras != reply.end() && cameras->is_object()) {
    for (auto it = cameras->begin(); it != cameras->end(); ++it) {
      const json& c = it.value();
      char buffer[160];
      std::snprintf(buffer, sizeof buffer, "  %s %.3f new %d rm %d dart %d/%d", it.key().c_str(),
                    c.value("changed_fraction", 0.0), c.value("new_pixels", 0), c.value("removed_pixels", 0),
                    c.value("dart_pixels", 0), c.value("max_dart_pixels", 0));
      text += buffer;
    }
  }
  if (reply.contains("light_change")) text += " light " + reply["light_change"].dump();
  if (reply.contains("agreement")) text += " agreement " + reply["agreement"].dump();
  if (reply.value("status", "") == "POSITION_UNRESOLVED" && reply.contains("decision")) {
    const json& d = reply["decision"];
    text += " decision " + d.value("point", json()).dump() + " " + d.value("method", json()).dump();
    if (reply.contains("view_checks")) text += " checks " + reply["view_checks"].dump();
  }
  return text;
}

size_t entryCount(const json& reply, size_t fallback) {
  const std::optional<json> entries = host::replyEntries(reply);
  return entries ? entries->size() : fallback;
}

// Sends one state kSendsPerState times; updates the entry count and the latest entries.
// Answers whether a reply left a dart undecided.
bool sendState(EngineSession& session, host::FrameClock& clock, const std::vector<Frames>& sends,
               const std::vector<size_t>& cameras, SetTally& tally, size_t& known, json& entries,
               json& lastReply, std::string& path) {
  bool unresolved = false;
  for (const Frames& frames : sends) {
    CallResult result = session.call(clock.detectRequest(host::framesOf(frames, cameras)));
    if (gTrace) std::fprintf(stderr, "    %s  entries %zu\n", traceText(result.reply).c_str(), entryCount(result.reply, 0));
    const std::optional<json> replyEntries = host::replyEntries(result.reply);
    const size_t after = replyEntries ? replyEntries->size() : known;
    tally.addCall(classifyCall(result.reply, known, after), result.ms, result.reply);
    if (replyEntries) entries = *replyEntries;
    unresolved = unresolved || isUnresolvedReply(result.reply);
    if (after > known) {
      path = decisionPath(result.reply);
      // The one- and two-camera engines name no path: their entry's method tells the rule.
      if (path == "(none)" && replyEntries && !replyEntries->empty() && replyEntries->back().is_object()) {
        path = replyEntries->back().value("method", path);
      }
    }
    known = after;
    lastReply = std::move(result.reply);
  }
  return unresolved;
}

// A round whose last reply still waits: nothing more would be scored until a takeout.
bool isLeftWaiting(const json& reply) {
  const std::string status = reply.is_object() ? reply.value("status", "") : "";
  return status == "WAIT" || status == "RECOVERY_WAIT" || status == "DECISION_REVIEW_REQUIRED" ||
         status == "POSITION_UNRESOLVED";
}

// The round's end still shows a dart left undecided: on the decision window or in review.
bool keepsUnresolvedDart(const json& reply) {
  if (!reply.is_object()) return false;
  if (reply.value("status", "") == "DECISION_REVIEW_REQUIRED") return true;
  const auto window = reply.find("decision_window");
  if (window == reply.end() || !window->is_object()) return false;
  if (window->value("review_required", false)) return true;
  const auto kept = window->find("unresolved_darts");
  return kept != window->end() && kept->is_array() && !kept->empty();
}

// The frames with a soft spot on the board in every camera.
Frames withSpot(const Frames& frames, const scene::GroundTruth& truth, const SoftSpot& spot) {
  Frames out;
  for (size_t c = 0; c < frames.size(); ++c) {
    out.push_back(scene::withSoftSpot(frames[c], truth.cameras[c], spot.centre_mm, spot.diameter_mm, spot.gain));
  }
  return out;
}

// The sends of a state whose newest dart quivers as it lands, each camera `lag` frames late:
// a late camera still shows the frame before the state (`before`) until its own view arrives.
std::vector<Frames> quiverSends(const scene::Renderer& renderer, const scene::Scene& present,
                                const Quiver& quiver, const scene::Imaging& imaging, uint64_t seed,
                                const std::array<int, 3>& lag, const Frames& before, scene::GroundTruth& truth) {
  std::vector<Frames> moments;
  const scene::Dart resting = present.darts.back();
  for (int m = 0; m < kQuiverFrames + kSendsPerState; ++m) {
    scene::Scene moment = present;
    moment.darts.back().direction = quiveredDirection(resting, quiver, m);
    scene::GroundTruth seen;
    moments.push_back(stateFrames(renderer, moment, imaging, seed + 7919u * static_cast<uint64_t>(m), 1, seen).front());
    // The truth is the dart at rest.
    if (m + 1 == kQuiverFrames + kSendsPerState) truth = seen;
  }
  std::vector<Frames> sends;
  for (size_t n = 0; n < moments.size(); ++n) {
    Frames frames;
    for (size_t c = 0; c < moments[n].size(); ++c) {
      const int shown = static_cast<int>(n) - lag[c % lag.size()];
      frames.push_back(shown >= 0 ? moments[static_cast<size_t>(shown)][c] : before[c]);
    }
    sends.push_back(std::move(frames));
  }
  return sends;
}

scene::Scene dartsScene(const PlannedRound& round, size_t count) {
  scene::Scene state;
  state.darts.assign(round.darts.begin(), round.darts.begin() + static_cast<long>(count));
  return state;
}

}  // namespace

void setRenderThreads(int threads) { gRenderThreads = threads < 1 ? 1 : threads; }
void setOnlyRounds(std::vector<int> rounds) { gOnlyRounds = std::move(rounds); }
void setDumpFolder(std::string folder) { gDumpFolder = std::move(folder); }
void setTrace(bool on) { gTrace = on; }

void setOffCamera(int camera, cv::Point2d shiftPx) {
  gOffCamera = camera;
  gOffShift = shiftPx;
}

size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

std::vector<double> absdiffRunsMs(const Frames& frames, const Frames& references, int runs) {
  if (frames.size() != references.size() || runs < 1) throw std::invalid_argument("INVALID_FLOOR");
  Frames outputs;
  for (const cv::Mat& frame : frames) outputs.emplace_back(frame.size(), frame.type());
  // A few untimed runs first, so the floor is not the cost of a cold cache.
  constexpr int kWarmupRuns = 3;
  for (int r = 0; r < kWarmupRuns; ++r) {
    for (size_t i = 0; i < frames.size(); ++i) cv::absdiff(frames[i], references[i], outputs[i]);
  }
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames.size(); ++i) cv::absdiff(frames[i], references[i], outputs[i]);
    const auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  return times;
}

double absdiffFloorMs(const Frames& frames, const Frames& references, int runs) {
  return median(absdiffRunsMs(frames, references, runs));
}

SetRun runScenarioSet(const ScenarioSet& set, int darts, uint64_t seed, int cameraCount,
                      const std::vector<size_t>& pair) {
  SetRun run;
  const std::vector<PlannedRound> rounds = planRounds(set, darts, seed);
  std::vector<std::unique_ptr<scene::Renderer>> renderers;
  {
    RenderThreads threads;
    for (const auto& rig : set.rigs) renderers.push_back(std::make_unique<scene::Renderer>(rig));
  }
  run.image_size = set.rigs.front().front().image_size;
  EngineSession session;
  host::FrameClock clock;
  // The floor's runs are spread over the rounds, so they see the machine as the calls do.
  const int floorRunsPerRound =
      std::max(5, static_cast<int>((kFloorRuns + rounds.size() - 1) / std::max<size_t>(1, rounds.size())));
  std::vector<double> floorRuns;

  for (size_t r = 0; r < rounds.size(); ++r) {
    if (!gOnlyRounds.empty() &&
        std::find(gOnlyRounds.begin(), gOnlyRounds.end(), static_cast<int>(r) + 1) == gOnlyRounds.end()) {
      continue;
    }
    const PlannedRound& round = rounds[r];
    const scene::Renderer& renderer = *renderers[round.rig];
    const std::vector<size_t> cameras =
        cameraCount == 2 && pair.size() == 2 ? pair : host::camerasForCount(set.rigs[round.rig], cameraCount);
    scene::GroundTruth truth;
    const Frames references =
        stateFrames(renderer, {}, set.imaging, derivedSeed(seed, set.name, r, 100), 1, truth)
            .front();
    dumpFrames(set.name, r, 0, references);

    scene::GroundTruth armed = truth;
    if (gOffCamera >= 0 && static_cast<size_t>(gOffCamera) < armed.cameras.size()) {
      const cv::Matx33d shift(1.0, 0.0, gOffShift.x, 0.0, 1.0, gOffShift.y, 0.0, 0.0, 1.0);
      armed.cameras[static_cast<size_t>(gOffCamera)].board_to_image =
          shift * armed.cameras[static_cast<size_t>(gOffCamera)].board_to_image;
    }
    CallResult arm = session.call(host::armRequestFor(armed, references, cameras));
    run.tally.addCall(CallKind::kArm, arm.ms, arm.reply);
    size_t known = entryCount(arm.reply, 0);
    json entries = host::replyEntries(arm.reply).value_or(json::array());
    json lastReply = arm.reply;

    // The throws that stay, in order; a fallen throw is seen briefly before the next one.
    std::vector<scene::Dart> staying;
    for (size_t k = 0; k < round.darts.size(); ++k) {
      if (static_cast<int>(k) != round.fallen_throw) staying.push_back(round.darts[k]);
    }
    const auto lit = [&round](std::vector<Frames> sends, size_t state) {
      for (size_t s = 0; s < sends.size(); ++s) {
        if (static_cast<int>(state) < round.light_state ||
            (static_cast<int>(state) == round.light_state && static_cast<int>(s) < round.light_send)) {
          continue;
        }
        for (size_t c = 0; c < sends[s].size(); ++c) {
          if (round.light_camera >= 0 && static_cast<int>(c) != round.light_camera) continue;
          cv::Mat relit;
          sends[s][c].convertTo(relit, -1, round.light_gain);
          sends[s][c] = relit;
        }
      }
      return sends;
    };
    std::optional<DartJudgement> heldUnresolved;  // the round's unplaceable dart, when not entered
    std::vector<size_t> judgedEntry;  // per staying dart judged correct, its entry's index
    std::vector<std::string> judgedField;
    const bool quivering = set.disturbance == Disturbance::kQuiver;
    Frames lastSent = references;
    // Frames sent while nothing new landed: whatever they enter is extra.
    const auto sendUnchanged = [&](const std::vector<Frames>& frames, const std::string& what) {
      const size_t before = known;
      std::string unused;
      sendState(session, clock, frames, cameras, run.tally, known, entries, lastReply, unused);
      run.tally.addEntriesOnUnchangedFrames(known > before ? known - before : 0);
      run.lines.push_back("  round " + std::to_string(r + 1) + " " + what + ": new " + std::to_string(known - before) +
                          statusText(lastReply));
      if (gTrace) std::fprintf(stderr, "%s\n", run.lines.back().c_str());
      lastSent = frames.back();
    };
    bool faulty = false;  // a dart of the round not scored right: --verbose lists the round's darts
    for (size_t state = 0; state <= staying.size(); ++state) {
      scene::Scene present;
      present.darts.assign(staying.begin(), staying.begin() + static_cast<long>(state));
      const uint64_t stateSeed = derivedSeed(seed, set.name, r, state);
      std::vector<Frames> sends =
          quivering && state > 0
              ? quiverSends(renderer, present, round.quivers[state - 1], set.imaging, stateSeed, round.camera_lag,
                            lastSent, truth)
              : lit(stateFrames(renderer, present, set.imaging, stateSeed, kSendsPerState, truth), state);
      if (round.patch && state >= 2) {
        for (Frames& frames : sends) frames = withSpot(frames, truth, *round.patch);
      }
      lastSent = sends.back();
      if (state > 0) dumpFrames(set.name, r, state, sends.back());
      if (state == 1) {
        const std::vector<double> times = absdiffRunsMs(host::framesOf(sends.front(), cameras),
                                                        host::framesOf(references, cameras), floorRunsPerRound);
        floorRuns.insert(floorRuns.end(), times.begin(), times.end());
      }
      const size_t before = known;
      std::string path;
      const bool unresolved =
          sendState(session, clock, sends, cameras, run.tally, known, entries, lastReply, path);
      if (state == 0) {
        run.tally.addEntriesOnUnchangedFrames(known > before ? known - before : 0);
      } else {
        DartJudgement judgement = judgeDart(entries, before, truth.darts[state - 1]);
        judgement.unresolved = unresolved && judgement.new_entries == 0;
        if (static_cast<int>(state) - 1 == round.unresolved_throw && judgement.new_entries == 0) {
          // Judged at the round's end: left to the player only while it is still kept.
          heldUnresolved = judgement;
        } else {
          run.tally.addDart(judgement);
        }
        faulty = faulty || !judgement.correct;
        if (judgement.correct) {
          judgedEntry.push_back(before);
          judgedField.push_back(judgement.scored_field);
        }
        run.lines.push_back(dartLine(r, state - 1, judgement, truth.darts[state - 1].tip_mm,
                                     statusText(lastReply) + (path.empty() ? "" : " by " + path)));
        if (gTrace) std::fprintf(stderr, "%s\n", run.lines.back().c_str());
      }
      if (round.patch && state == 1) {
        // The patch appears with the first dart on the board and stays.
        std::vector<Frames> patched =
            stateFrames(renderer, present, set.imaging, derivedSeed(seed, set.name, r, 70), kSendsPerState, truth);
        for (Frames& frames : patched) frames = withSpot(frames, truth, *round.patch);
        sendUnchanged(patched, "light patch appears");
      }
      if (set.disturbance == Disturbance::kFlash && (state == 1 || state == 2)) {
        const Flash& flash = round.flashes[state - 1];
        std::vector<Frames> flashed(sends.begin(), sends.begin() + flash.frames);
        for (Frames& frames : flashed) {
          if (flash.flicker != 1.0) {
            for (cv::Mat& frame : frames) {
              cv::Mat flickered;
              frame.convertTo(flickered, -1, flash.flicker);
              frame = flickered;
            }
          } else {
            frames = withSpot(frames, truth, flash.spot);
          }
        }
        flashed.insert(flashed.end(), sends.begin(), sends.end());
        char what[160];
        std::snprintf(what, sizeof what, "flash %d frame(s) %s x%.2f at (%.1f, %.1f) %.1f mm", flash.frames,
                      flash.flicker != 1.0 ? "flicker" : "spot", flash.flicker != 1.0 ? flash.flicker : flash.spot.gain,
                      flash.spot.centre_mm.x, flash.spot.centre_mm.y, flash.spot.diameter_mm);
        sendUnchanged(flashed, what);
      }
      if (state == static_cast<size_t>(round.fallen_throw) && round.fallen_throw >= 0) {
        // Seen for a few frames, then gone; it must score nothing.
        scene::Scene withFallen = present;
        withFallen.darts.push_back(round.darts[static_cast<size_t>(round.fallen_throw)]);
        const std::vector<Frames> seen =
            stateFrames(renderer, withFallen, set.imaging, derivedSeed(seed, set.name, r, 50 + state),
                        round.fallen_frames, truth);
        const scene::DartTruth fallenTruth = truth.darts.back();
        const std::vector<Frames> gone =
            stateFrames(renderer, present, set.imaging, derivedSeed(seed, set.name, r, 60 + state),
                        kSendsPerState, truth);
        const size_t before = known;
        std::string fallenPath;
        sendState(session, clock, seen, cameras, run.tally, known, entries, lastReply, fallenPath);
        sendState(session, clock, gone, cameras, run.tally, known, entries, lastReply, fallenPath);
        DartJudgement fallen = judgeDart(entries, before, fallenTruth);
        fallen.true_field = "none";
        fallen.correct = true;
        for (size_t e = before; e < known && e < entries.size(); ++e) {
          fallen.correct = fallen.correct && host::entryField(entries[e]) == "MISS";
        }
        run.tally.addFallenDart(fallen);
        run.lines.push_back(dartLine(r, 9, fallen, fallenTruth.tip_mm, statusText(lastReply)) +
                            " fallen after " + std::to_string(round.fallen_frames) + " frames");
        if (gTrace) std::fprintf(stderr, "%s\n", run.lines.back().c_str());
      }
    }
    // A dart scored once must keep its field to the end of the round.
    for (size_t k = 0; k < judgedEntry.size(); ++k) {
      if (judgedEntry[k] >= entries.size() || host::entryField(entries[judgedEntry[k]]) != judgedField[k]) {
        run.tally.loseLater();
      }
    }
    if (round.light_state >= 0) {
      char buffer[128];
      std::snprintf(buffer, sizeof buffer, "  round %3zu light x%.3f from state %d send %d in %s", r + 1,
                    round.light_gain, round.light_state, round.light_send,
                    round.light_camera < 0 ? "every camera" : ("CAM_" + std::to_string(round.light_camera + 1)).c_str());
      run.lines.push_back(buffer);
    }
    if (faulty) {
      // Enough to render the round again: each dart and the noise seeds of the reference and
      // of each state's first send (the later sends take the seeds that follow), each dart's
      // quiver and the cameras' lags, the light patch.
      for (size_t k = 0; k < staying.size(); ++k) {
        const scene::Dart& d = staying[k];
        char buffer[320];
        std::snprintf(buffer, sizeof buffer,
                      "  round %3zu dart %zu: tip {%.4f, %.4f} direction {%.5f, %.5f, %.5f} flight {%.0f, %.0f, %.0f} "
                      "roll %.2f  seed %llu",
                      r + 1, k + 1, d.tip_mm.x, d.tip_mm.y, d.direction[0], d.direction[1], d.direction[2],
                      d.flight_colour[0], d.flight_colour[1], d.flight_colour[2], d.flight_roll_deg,
                      static_cast<unsigned long long>(derivedSeed(seed, set.name, r, k + 1)));
        run.lines.push_back(buffer);
      }
      run.lines.push_back("  round " + std::to_string(r + 1) + " rig " + std::to_string(round.rig) +
                          " reference seed " + std::to_string(derivedSeed(seed, set.name, r, 100)));
      if (quivering) {
        for (size_t k = 0; k < staying.size(); ++k) {
          const Quiver& q = round.quivers[k];
          char buffer[200];
          std::snprintf(buffer, sizeof buffer, "  round %3zu dart %zu quivers: axis {%.5f, %.5f, %.5f} %.3f deg period %.3f phase %.3f",
                        r + 1, k + 1, q.axis[0], q.axis[1], q.axis[2], q.amplitude_deg, q.period_frames, q.phase);
          run.lines.push_back(buffer);
        }
        run.lines.push_back("  round " + std::to_string(r + 1) + " camera lags " + std::to_string(round.camera_lag[0]) +
                            " " + std::to_string(round.camera_lag[1]) + " " + std::to_string(round.camera_lag[2]));
      }
      if (round.patch) {
        char buffer[160];
        std::snprintf(buffer, sizeof buffer, "  round %3zu patch at {%.2f, %.2f} %.1f mm x%.3f", r + 1,
                      round.patch->centre_mm.x, round.patch->centre_mm.y, round.patch->diameter_mm, round.patch->gain);
        run.lines.push_back(buffer);
      }
    }
    if (heldUnresolved) {
      heldUnresolved->unresolved = keepsUnresolvedDart(lastReply);
      run.tally.addDart(*heldUnresolved);
    }
    if (isLeftWaiting(lastReply)) ++run.tally.rounds_waiting;
    ++run.tally.rounds;
  }
  run.floor_ms = median(floorRuns);
  return run;
}

MemoryRun measureMemory(const std::string& setName, int calls, uint64_t seed) {
  MemoryRun run;
  const ScenarioSet set = *findScenarioSet(setName);
  run.set = setName;
  const cv::Size size = set.rigs.front().front().image_size;
  run.size = std::to_string(size.width) + "x" + std::to_string(size.height);
  constexpr size_t kDistinctRounds = 2;
  const std::vector<PlannedRound> rounds = planRounds(set, 3 * kDistinctRounds, seed);
  const scene::Renderer renderer = [&] {
    RenderThreads threads;
    return scene::Renderer(set.rigs.front());
  }();

  // Everything is rendered before the first measurement, so only the engine grows after it.
  struct Prepared {
    scene::GroundTruth truth;
    Frames references;
    std::vector<Frames> states;
  };
  std::vector<Prepared> prepared(rounds.size());
  for (size_t r = 0; r < rounds.size(); ++r) {
    prepared[r].references =
        stateFrames(renderer, {}, set.imaging, 0, 1, prepared[r].truth).front();
    for (size_t state = 0; state <= rounds[r].darts.size(); ++state) {
      scene::GroundTruth truth;
      prepared[r].states.push_back(
          stateFrames(renderer, dartsScene(rounds[r], state), set.imaging, 0, 1, truth).front());
    }
  }

  const size_t before = residentBytes();
  EngineSession session;
  host::FrameClock clock;
  const auto count = [&run](const CallResult& result) {
    ++run.calls;
    if (host::replyError(result.reply)) ++run.error_replies;
  };
  for (size_t r = 0; run.calls < calls; ++r) {
    const Prepared& round = prepared[r % prepared.size()];
    count(session.call(host::armRequest(round.truth, round.references)));
    ++run.rounds;
    if (r == 0) run.after_arm_mb = (static_cast<double>(residentBytes()) - before) / 1048576.0;
    if (r == 1) run.after_first_round_mb = (static_cast<double>(residentBytes()) - before) / 1048576.0;
    for (const Frames& frames : round.states) {
      for (int s = 0; s < kSendsPerState && run.calls < calls; ++s) {
        count(session.call(clock.detectRequest(frames)));
      }
    }
  }
  run.after_calls_mb = (static_cast<double>(residentBytes()) - before) / 1048576.0;
  return run;
}

}  // namespace tarv::bench
