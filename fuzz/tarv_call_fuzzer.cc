// Feeds arbitrary text to tarv_call on one long-lived engine. Image descriptors that pass the
// size checks get a real buffer of the size they claim, so a well-formed image is exercised
// without handing the engine a wild pointer (which no host may do).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarv/tarv.h"

namespace {

using json = nlohmann::json;

constexpr uint64_t kLargestBuffer = 4u << 20;

void giveImagesRealBuffers(json& request, std::vector<std::vector<uint8_t>>& buffers) {
  if (!request.is_object()) return;
  auto images = request.find("images");
  if (images == request.end() || !images->is_array()) return;
  for (json& image : *images) {
    if (!image.is_object()) continue;
    auto pointer = image.find("pointer");
    if (pointer == image.end() || !pointer->is_number() || *pointer == 0) continue;
    const auto length = image.find("length");
    uint64_t size = 0;
    if (length != image.end() && length->is_number_unsigned()) size = length->get<uint64_t>();
    if (size == 0 || size > kLargestBuffer) {
      *pointer = 0;  // rejected by the checks before any pixel is read
      continue;
    }
    buffers.emplace_back(size, static_cast<uint8_t>(size));
    *pointer = reinterpret_cast<uintptr_t>(buffers.back().data());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static void* engine = tarv_create();
  std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::vector<uint8_t>> buffers;
  json request = json::parse(text, nullptr, false);
  if (!request.is_discarded()) {
    giveImagesRealBuffers(request, buffers);
    if (!buffers.empty() || text.find("pointer") != std::string::npos) text = request.dump();
  }
  const char* reply = tarv_call(engine, text.c_str());
  if (reply == nullptr || json::parse(reply, nullptr, false).is_discarded()) std::abort();
  return 0;
}
