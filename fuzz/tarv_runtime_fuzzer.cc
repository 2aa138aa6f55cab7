// Feeds command sequences to tarv_runtime_call, a fresh runtime for every input, so that a
// finding reproduces from its input alone (as far as the cameras' timing allows). An input is
// one request or a JSON array of up to sixteen, sent in order and followed by "stop"; text
// that is not JSON is sent once as it is. {"fuzz_sleep_ms": n} lets the file cameras deliver
// frames between requests (at most 1 s in all for an input).
//
// Everything runs inside a scratch folder holding rendered file cameras (three 320x240 videos
// of one dart, their references and calibrations: cam-N.avi, reference-N.png,
// calibrations.json). Every string of a request is confined to that folder: a string with a
// path separator keeps only its last part, "." and ".." become "x" and digits alone (a camera
// index) get a letter before them, so no request reaches a real device or a file outside.
// What a request writes there is removed after the input, and the cameras' files are put back
// where one overwrote them. TARV_FUZZ_PRINT=1 prints each request and the start of its reply.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "process_values.h"
#include "scene/round_video.h"
#include "tarv/tarv.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr size_t kMostRequests = 16;
constexpr int kLongestSleepMs = 1000;

struct Scratch {
  fs::path folder;
  fs::path pristine;                       // the cameras' files as written
  std::map<std::string, uintmax_t> sizes;  // name -> size of each such file
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

std::string confined(const std::string& text) {
  const size_t cut = text.find_last_of("/\\");
  std::string last = cut == std::string::npos ? text : text.substr(cut + 1);
  if (last == "." || last == ".." || (cut != std::string::npos && last.empty())) last = "x";
  // A device named by digits alone is a camera index.
  if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos) last = "d" + last;
  return last;
}

void confine(json& value) {
  if (value.is_string()) {
    value = confined(value.get<std::string>());
  } else if (value.is_structured()) {
    for (json& item : value) confine(item);
  }
}

// Removes what the input wrote and restores any camera file it replaced.
void tidy() {
  const Scratch& s = scratch();
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(s.folder, error)) {
    const std::string name = entry.path().filename().string();
    const auto kept = s.sizes.find(name);
    if (kept == s.sizes.end()) {
      fs::remove_all(entry.path(), error);
    } else if (!entry.is_regular_file(error) || entry.file_size(error) != kept->second) {
      fs::remove_all(entry.path(), error);
      fs::copy_file(s.pristine / name, entry.path(), error);
    }
  }
  for (const auto& [name, size] : s.sizes) {
    if (!fs::exists(s.folder / name, error)) fs::copy_file(s.pristine / name, s.folder / name, error);
  }
}

// Scratch folders of fuzzers that are gone (one that crashed leaves its folder behind).
void removeStaleScratch() {
  std::error_code error;
  const std::string prefix = "tarv-runtime-fuzz-";
  for (const fs::directory_entry& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), error);
  }
}

void prepare() {
  removeStaleScratch();
  Scratch& s = scratch();
  s.folder = fs::temp_directory_path() / ("tarv-runtime-fuzz-" + std::to_string(getpid()));
  s.pristine = s.folder.string() + "-pristine";
  fs::remove_all(s.folder);
  fs::remove_all(s.pristine);
  fs::create_directories(s.pristine);
  tarv::scene::RoundVideoScript script;
  script.size = {320, 240};
  script.empty_seconds = 1.0;
  script.dart_seconds = 1.5;
  script.rounds.push_back({tarv::scene::demoScript().rounds[0][0]});
  const tarv::scene::RoundVideos videos = tarv::scene::writeRoundVideos(s.pristine.string(), script);
  std::ofstream(s.pristine / "calibrations.json") << videos.calibrations.dump();
  fs::copy(s.pristine, s.folder);
  for (const fs::directory_entry& entry : fs::directory_iterator(s.pristine)) {
    s.sizes[entry.path().filename().string()] = entry.file_size();
  }
  if (chdir(s.folder.c_str()) != 0) std::abort();
  std::atexit([] {
    std::error_code error;
    fs::remove_all(scratch().folder, error);
    fs::remove_all(scratch().pristine, error);
  });
}

void expectJson(const char* reply) {
  if (reply == nullptr || json::parse(reply, nullptr, false).is_discarded()) {
    std::fprintf(stderr, "reply is not JSON: %s\n", reply ? reply : "(null)");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Prepared with the first input, not at start-up: a process that only oversees the fuzzing
  // jobs (-jobs) keeps its own working folder, where their logs go.
  static const bool prepared = (prepare(), true);
  (void)prepared;
  tarv::fuzz::resetProcessValues();
  const std::string text(reinterpret_cast<const char*>(data), size);
  json input = json::parse(text, nullptr, false);
  void* runtime = tarv_runtime_create();
  if (runtime == nullptr) std::abort();
  if (input.is_discarded()) {
    // Not JSON: it cannot name a file, and the runtime must refuse it whole.
    expectJson(tarv_runtime_call(runtime, text.c_str()));
  } else {
    if (!input.is_array()) input = json::array({input});
    size_t sent = 0;
    int slept = 0;
    for (json& request : input) {
      if (request.is_object() && request.size() == 1 && request.contains("fuzz_sleep_ms") &&
          request["fuzz_sleep_ms"].is_number_integer()) {
        const int ms = std::clamp(request["fuzz_sleep_ms"].get<int>(), 0, kLongestSleepMs - slept);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        slept += ms;
        continue;
      }
      if (sent++ == kMostRequests) break;
      confine(request);
      const char* reply = tarv_runtime_call(runtime, request.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
      if (std::getenv("TARV_FUZZ_PRINT")) std::fprintf(stderr, "%.60s -> %.300s\n", request.dump().c_str(), reply);
      expectJson(reply);
    }
  }
  expectJson(tarv_runtime_call(runtime, R"({"command":"stop"})"));
  tarv_runtime_destroy(runtime);
  tidy();
  return 0;
}
