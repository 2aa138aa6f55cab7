#include "tarv/runtime/runtime_test_support.h"

#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

#include <unistd.h>

#include "tarv/tarv.h"

namespace tarv::testing {

ScratchDirectory::ScratchDirectory(std::string path) : path_(std::move(path)) {
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string scratchFolder(const std::string& name) {
  // Built at the first use, so it outlives every static that holds one of its folders.
  static const ScratchDirectory root(
      (std::filesystem::temp_directory_path() / ("tarv-runtime-" + std::to_string(::getpid()))).string());
  const std::filesystem::path path = std::filesystem::path(root.path()) / name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.string();
}

const scene::RoundVideos& oneDartVideos() {
  static const scene::RoundVideos videos = [] {
    scene::RoundVideoScript script;
    script.empty_seconds = 1.5;
    script.dart_seconds = 2.5;
    script.rounds.push_back({scene::demoScript().rounds[0][0]});
    return scene::writeRoundVideos(scratchFolder("videos"), script);
  }();
  return videos;
}

nlohmann::json startConfig(const scene::RoundVideos& videos, const std::string& reportFolder) {
  return {{"width", 800},          {"height", 600},
          {"fps", 20},             {"devices", videos.videos},
          {"references", videos.references},
          {"calibrations", videos.calibrations},
          {"report_folder", reportFolder}};
}

nlohmann::json pollUntil(void* runtime, const std::string& wanted, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  nlohmann::json reply;
  while (std::chrono::steady_clock::now() < end) {
    reply = nlohmann::json::parse(tarv_runtime_call(runtime, R"({"command":"poll"})"));
    if (reply.value("status", "") == "DETECTION" && reply["result"].value("status", "") == wanted) {
      return reply;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  return reply;
}

}  // namespace tarv::testing
