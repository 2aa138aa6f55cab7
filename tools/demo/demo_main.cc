// tarv_demo: a host that loads libtarv.so at run time and drives it only through its C
// interface. By default it renders three camera videos of a game (two rounds of three darts,
// a hand taking them out between), runs the library's runtime on them as file cameras,
// prints every throw and writes each throw's board view as throw-N.png beside the videos.
// With --engine it renders a built-in scene, arms the engine itself, throws three darts one
// after another and prints, per dart, the true field and tip beside the scored ones and the
// host event.
//
//   tarv_demo [--engine [--cameras 1|2|3] [--auto-calibrate]] [--calibrate] [--slow 1-9]
//             [--replies] [--folder DIR] [path/to/libtarv.so]
//
// --replies prints the status of every reply, and the whole reply when it is an error.
// --folder is where the videos, throw images and evidence go (default tarv_demo_run).
// --cameras (engine demo) scores with that many cameras of the rig (three by default; two are
// the first two, one the most frontal).
// --auto-calibrate (engine demo) arms with the homographies that "calibrate" finds in each
// camera's empty board (with a click on the 20, as a user gives it) instead of the true ones.
// --calibrate (runtime demo) first sets the three cameras up through the runtime on videos of
// the empty board: preview, reference capture, the automatic calibration with the landmark
// model beside the library, the click on the 20, the calibration result; the rounds are then
// scored with the calibrations it found.
// --slow (runtime demo) makes each moment of the game last that many times as long, for a
// library built with a sanitizer.
//
// Exit status: 0 when every dart was scored, 1 when a reply was an error or a calibration was
// not accepted, 2 when a dart was not scored, 3 when the library cannot be loaded.
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "host/calibration_check.h"
#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "host/wire_distance.h"
#include "runtime_demo.h"
#include "symbol_binding.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

#ifndef TARV_DEMO_LIBRARY
#define TARV_DEMO_LIBRARY "libtarv.so"
#endif

namespace sc = tarv::scene;
namespace host = tarv::host;
using json = nlohmann::json;

namespace {

constexpr int kSendsPerState = 4;
constexpr uint64_t kSeed = 7;
// The built-in darts land clear of the wires, in different fields, on the board.
constexpr double kDemoRadiusMm = 168.0;
constexpr double kDemoWireClearanceMm = 3.0;

struct Library {
  void* handle = nullptr;
  decltype(&tarv_abi_info) abiInfo = nullptr;
  decltype(&tarv_create) create = nullptr;
  decltype(&tarv_destroy) destroy = nullptr;
  decltype(&tarv_call) call = nullptr;
};

std::optional<Library> load(const char* path) {
  Library lib;
  lib.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib.handle == nullptr) {
    std::fprintf(stderr, "tarv_demo: cannot load %s: %s\n", path, dlerror());
    return std::nullopt;
  }
  const bool ok = bindSymbol(lib.handle, "tarv_abi_info", lib.abiInfo) &&
                  bindSymbol(lib.handle, "tarv_create", lib.create) &&
                  bindSymbol(lib.handle, "tarv_destroy", lib.destroy) &&
                  bindSymbol(lib.handle, "tarv_call", lib.call);
  if (!ok) return std::nullopt;
  return lib;
}

std::vector<sc::Dart> builtInDarts() {
  sc::SceneRandom rng(kSeed);
  std::vector<sc::Dart> darts;
  std::vector<std::string> fields;
  while (darts.size() < 3) {
    const sc::Dart dart = sc::randomDart(rng, kDemoRadiusMm);
    const std::string field = sc::fieldLabel(dart.tip_mm);
    bool repeated = false;
    for (const auto& f : fields) repeated = repeated || f == field;
    if (repeated || host::wireDistanceMm(dart.tip_mm) < kDemoWireClearanceMm) continue;
    darts.push_back(dart);
    fields.push_back(field);
  }
  return darts;
}

// The member `key` when the reply is an object that has it with the wanted type.
template <typename T>
std::optional<T> memberOf(const json& reply, const char* key) {
  if (!reply.is_object()) return std::nullopt;
  const auto it = reply.find(key);
  if (it == reply.end()) return std::nullopt;
  if constexpr (std::is_same_v<T, bool>) {
    if (!it->is_boolean()) return std::nullopt;
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!it->is_string()) return std::nullopt;
  }
  return it->get<T>();
}

std::string statusText(const json& reply) {
  if (const auto error = host::replyError(reply)) return "error " + *error;
  std::string text = memberOf<std::string>(reply, "status").value_or("?");
  if (const auto reason = memberOf<std::string>(reply, "reason")) text += "/" + *reason;
  return text;
}

class Host {
 public:
  Host(const Library& lib, void* engine, bool printReplies)
      : lib_(lib), engine_(engine), printReplies_(printReplies) {}

  // Sends a request; prints and counts an error reply.
  json send(const json& request, const char* what) {
    const json reply = host::parseReply(lib_.call(engine_, request.dump().c_str()));
    if (const auto error = host::replyError(reply)) {
      std::printf("  %s: error %s\n", what, error->c_str());
      ++errors_;
    }
    if (printReplies_) {
      const auto entries = host::replyEntries(reply);
      std::printf("    %s -> %s, %zu entries%s\n", what, statusText(reply).c_str(),
                  entries ? entries->size() : 0, memberOf<bool>(reply, "unchanged").value_or(false) ? ", unchanged" : "");
    }
    return reply;
  }
  int errors() const { return errors_; }

 private:
  const Library& lib_;
  void* engine_;
  bool printReplies_;
  int errors_ = 0;
};

std::string pointText(std::optional<cv::Point2d> p) {
  if (!p) return "(  none  ,  none  )";
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "(%7.2f, %7.2f)", p->x, p->y);
  return buffer;
}

// The board-to-image homography of every camera from "calibrate" on its empty board; none
// when a camera's fit is not accepted.
std::optional<std::vector<cv::Matx33d>> autoCalibrate(Host& client, const sc::Renderer& renderer,
                                                      const sc::SceneImages& empty) {
  std::vector<cv::Matx33d> calibrations;
  for (size_t i = 0; i < empty.frames.size(); ++i) {
    const sc::Camera& camera = renderer.cameras()[i];
    const json reply = client.send(host::calibrateRequest(empty.frames[i], host::twentyClick(camera)), "calibrate");
    const auto h = host::fittedHomography(reply);
    if (!h || !memberOf<bool>(reply, "accepted").value_or(false)) {
      std::printf("calibrate %s: not accepted: %s\n", camera.cameraSpec().id.c_str(), reply.dump().c_str());
      return std::nullopt;
    }
    const host::RingError e = host::ringError(*h, camera);
    std::printf("calibrate %s: %s, %s, 170 mm ring off by %.2f px mean, %.2f px max, bull %.2f px\n",
                camera.cameraSpec().id.c_str(), memberOf<std::string>(reply, "method").value_or("?").c_str(),
                memberOf<std::string>(reply, "orientation_source").value_or("?").c_str(), e.meanPx, e.maxPx, e.bullPx);
    calibrations.push_back(*h);
  }
  return calibrations;
}

int run(const Library& lib, bool printReplies, int cameraCount, bool autoCalibration) {
  std::printf("tarv_demo: abi %s\n", lib.abiInfo());
  void* engine = lib.create();
  if (engine == nullptr) {
    std::printf("tarv_demo: tarv_create failed\n");
    return 1;
  }
  Host client(lib, engine, printReplies);
  const std::vector<sc::CameraSpec> rig = sc::defaultRig({1280, 720});
  const sc::Renderer renderer(rig);
  const std::vector<size_t> cameras = host::camerasForCount(rig, cameraCount);
  sc::Scene scene;
  const sc::SceneImages empty = renderer.render(scene);
  sc::GroundTruth truth = empty.truth;
  if (autoCalibration) {
    const auto calibrations = autoCalibrate(client, renderer, empty);
    if (!calibrations) {
      lib.destroy(engine);
      return 1;
    }
    for (size_t i = 0; i < truth.cameras.size(); ++i) truth.cameras[i].board_to_image = (*calibrations)[i];
  }
  const json armed = client.send(host::armRequestFor(truth, empty.frames, cameras), "arm");
  std::printf("arm (%zu camera%s): %s\n", cameras.size(), cameras.size() == 1 ? "" : "s", statusText(armed).c_str());

  host::FrameClock clock;
  size_t known = host::replyEntries(armed).value_or(json::array()).size();
  json entries = json::array();
  const auto sendState = [&](const std::vector<cv::Mat>& frames, json& state, json& last) {
    for (int s = 0; s < kSendsPerState; ++s) {
      last = client.send(clock.detectRequest(host::framesOf(frames, cameras)), "detect");
      if (auto e = host::replyEntries(last)) {
        entries = *e;
        known = entries.size();
      }
      const auto st = last.find("state");
      if (st != last.end() && !st->is_null()) state = *st;
    }
  };

  json state, last;
  sendState(empty.frames, state, last);
  if (known > 0) std::printf("  empty board: %zu unexpected entries\n", known);

  int unscored = 0;
  const std::vector<sc::Dart> darts = builtInDarts();
  for (size_t d = 0; d < darts.size(); ++d) {
    scene.darts.push_back(darts[d]);
    const sc::SceneImages shot = renderer.render(scene);
    const sc::DartTruth& truth = shot.truth.darts[d];
    const size_t before = known;
    state = nullptr;
    sendState(shot.frames, state, last);
    if (state.is_null()) state = memberOf<json>(last, "snapshot").value_or(json());

    std::string scored = "-";
    std::optional<cv::Point2d> tip;
    std::string verdict = "NOT SCORED";
    if (known > before) {
      const json& entry = entries[before];
      scored = host::entryField(entry);
      tip = host::entryPoint(entry);
      verdict = scored == truth.field ? "ok" : "WRONG FIELD";
      if (known > before + 1) verdict += " +" + std::to_string(known - before - 1) + " extra";
    } else {
      ++unscored;
    }
    char error[32] = "";
    if (tip) std::snprintf(error, sizeof error, " err %.2f mm", cv::norm(*tip - truth.tip_mm));
    std::printf("dart %zu: true %-4s %s | scored %-4s %s%s | %s | event: %s | last: %s\n", d + 1,
                truth.field.c_str(), pointText(truth.tip_mm).c_str(), scored.c_str(),
                pointText(tip).c_str(), error, verdict.c_str(),
                host::hostEventText(state).c_str(), statusText(last).c_str());
  }
  lib.destroy(engine);
  if (client.errors() > 0) return 1;
  return unscored > 0 ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = TARV_DEMO_LIBRARY;
  bool printReplies = false;
  int cameraCount = 3;
  bool autoCalibration = false;
  bool engineOnly = false;
  bool calibrate = false;
  int slow = 1;
  std::string folder = "tarv_demo_run";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--replies") {
      printReplies = true;
    } else if (arg == "--engine") {
      engineOnly = true;
    } else if (arg == "--folder" && i + 1 < argc) {
      folder = argv[++i];
    } else if (arg == "--cameras" && i + 1 < argc && std::string(argv[i + 1]).size() == 1 &&
               argv[i + 1][0] >= '1' && argv[i + 1][0] <= '3') {
      cameraCount = argv[++i][0] - '0';
      engineOnly = true;
    } else if (arg == "--slow" && i + 1 < argc && std::string(argv[i + 1]).size() == 1 &&
               argv[i + 1][0] >= '1' && argv[i + 1][0] <= '9') {
      slow = argv[++i][0] - '0';
    } else if (arg == "--calibrate") {
      calibrate = true;
    } else if (arg == "--auto-calibrate") {
      autoCalibration = true;
      engineOnly = true;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr,
                   "usage: tarv_demo [--engine [--cameras 1|2|3] [--auto-calibrate]] [--calibrate] [--slow 1-9] "
                   "[--replies] [--folder DIR] [path/to/libtarv.so]\n");
      return 3;
    } else {
      path = argv[i];
    }
  }
  const std::optional<Library> lib = load(path);
  if (!lib) return 3;
  try {
    return engineOnly ? run(*lib, printReplies, cameraCount, autoCalibration)
                      : runRuntimeDemo(lib->handle, folder, printReplies, calibrate, slow);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarv_demo: %s\n", e.what());
    return 1;
  }
}
