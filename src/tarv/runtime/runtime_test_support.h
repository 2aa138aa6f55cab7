// Rendered file cameras for the runtime's tests: videos written once per test program.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "scene/round_video.h"

namespace tarv::testing {

// One dart (T20) thrown on an empty board, 800x600 at 20 frames a second, looped by capture.
const scene::RoundVideos& oneDartVideos();
// A start configuration for those videos; reportFolder may be empty.
nlohmann::json startConfig(const scene::RoundVideos& videos, const std::string& reportFolder = "");
// A folder that exists, empty, for the object's lifetime and is removed with everything in
// it when the object goes.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(std::string path);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A fresh empty folder inside this test program's scratch directory (under the temporary
// directory, named after the process), which is removed when the program ends.
std::string scratchFolder(const std::string& name);
// Polls every 15 ms for up to seconds until the reply's result status is one of `wanted`;
// the reply found, or the last reply.
nlohmann::json pollUntil(void* runtime, const std::string& wanted, double seconds);

}  // namespace tarv::testing
