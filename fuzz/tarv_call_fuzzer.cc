// Feeds arbitrary text to tarv_call on an engine armed with a rendered board (320x180, three
// cameras), a fresh one for every input that parses, so that a finding reproduces from its
// input alone. Arming is done once; every input gets a new engine holding a private copy of
// that armed round. Text that is not JSON changes no engine and goes to the armed one as is.
//
// Image descriptors that pass the size checks get a real buffer of the size they claim, so
// no wild pointer reaches the engine (which no host may do). A descriptor of the rendered size
// gets a copy of one of the rendered frames instead, chosen by its pointer value: 0..2 the
// empty board, 3..5 one dart, 6..8 two darts, 9..11 a hand; so a mutated detect reaches the
// whole round with real pictures. Every request that parses is sent as the harness re-wrote
// it, whatever its text looked like (escaped keys included).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "host/host_protocol.h"
#include "process_values.h"
#include "scene/camera_rig.h"
#include "scene/scene.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace {

using json = nlohmann::json;

constexpr uint64_t kLargestBuffer = 4u << 20;
constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr uint64_t kFrameBytes = uint64_t{kWidth} * kHeight * 3;

struct Rendered {
  std::vector<cv::Mat> frames;
  std::string arm;
  void* armed = nullptr;  // the engine armed once with frames 0..2
};

void addScene(const tarv::scene::Renderer& renderer, const tarv::scene::Scene& scene,
              std::vector<cv::Mat>& frames) {
  for (const cv::Mat& frame : renderer.render(scene).frames) frames.push_back(frame.clone());
}

Rendered render() {
  using namespace tarv::scene;
  const Renderer renderer(defaultRig({kWidth, kHeight}));
  Rendered r;
  const SceneImages empty = renderer.render(Scene{});
  for (const cv::Mat& frame : empty.frames) r.frames.push_back(frame.clone());
  Scene one;
  one.darts.push_back({{0.0, -103.0}, frontDirection(10, 200)});
  addScene(renderer, one, r.frames);
  Scene two = one;
  two.darts.push_back({{40.0, 60.0}, frontDirection(-20, 190)});
  addScene(renderer, two, r.frames);
  Scene hand = two;
  hand.hand = Hand{};
  addScene(renderer, hand, r.frames);
  // The arm request points at the kept copies, which live as long as the process.
  const std::vector<cv::Mat> references(r.frames.begin(), r.frames.begin() + 3);
  r.arm = tarv::host::armRequest(empty.truth, references).dump();
  r.armed = tarv_create();
  const json reply = json::parse(tarv_call(r.armed, r.arm.c_str()), nullptr, false);
  if (reply.value("status", "") != "READY") std::abort();
  return r;
}

// The armed round with pixels of its own: the engine writes into its images in place.
tarv::Round privateCopy(const tarv::Round& armed) {
  tarv::Round r = armed;
  for (tarv::Camera& c : r.cameras) {
    const bool backgroundShared = c.backgroundFrame.data == c.emptyReferenceColour.data;
    const bool dartShared = c.dartReference.data == c.emptyReference.data;
    c.emptyReferenceColour = c.emptyReferenceColour.clone();
    c.backgroundFrame = backgroundShared ? c.emptyReferenceColour : c.backgroundFrame.clone();
    c.emptyReference = c.emptyReference.clone();
    c.dartReference = dartShared ? c.emptyReference : c.dartReference.clone();
    c.referenceChangeMask = c.referenceChangeMask.clone();
    c.residualMask = c.residualMask.clone();
    c.features.grey = c.features.grey.clone();
    auto motion = std::make_shared<tarv::SurroundMotion>(*c.surroundMotion);
    for (cv::Mat& image : motion->images) image = image.clone();
    c.surroundMotion = motion;
    c.reducedReferences = {};
  }
  return r;
}

const Rendered& rendered() {
  static const Rendered r = render();
  return r;
}

bool hasRenderedSize(const json& image) {
  const auto number = [&image](const char* key, uint64_t expected) {
    const auto it = image.find(key);
    return it != image.end() && it->is_number_unsigned() && it->get<uint64_t>() == expected;
  };
  return number("width", kWidth) && number("height", kHeight) && number("length", kFrameBytes);
}

void giveImagesRealBuffers(json& request, std::vector<std::vector<uint8_t>>& buffers) {
  if (!request.is_object()) return;
  auto images = request.find("images");
  if (images == request.end() || !images->is_array()) return;
  buffers.reserve(images->size());
  for (json& image : *images) {
    if (!image.is_object()) continue;
    auto pointer = image.find("pointer");
    if (pointer == image.end() || !pointer->is_number() || *pointer == 0) continue;
    if (hasRenderedSize(image)) {
      const std::vector<cv::Mat>& frames = rendered().frames;
      const uint64_t choice = pointer->is_number_unsigned() ? pointer->get<uint64_t>() : 0;
      const cv::Mat& frame = frames[choice % frames.size()];
      buffers.emplace_back(frame.data, frame.data + kFrameBytes);
    } else {
      const auto length = image.find("length");
      uint64_t size = 0;
      if (length != image.end() && length->is_number_unsigned()) size = length->get<uint64_t>();
      if (size == 0 || size > kLargestBuffer) {
        *pointer = 0;  // rejected by the checks before any pixel is read
        continue;
      }
      buffers.emplace_back(size, static_cast<uint8_t>(size));
    }
    *pointer = reinterpret_cast<uintptr_t>(buffers.back().data());
  }
}

bool isRoundReply(const json& reply) {
  return reply.is_object() && !reply.contains("error") && reply.contains("status") &&
         (reply.contains("engine_flags") || reply.contains("round") || reply.contains("entries"));
}

// How many inputs parsed and how many reached the armed round, printed every 2^16 inputs
// and at a normal exit.
struct Counts {
  uint64_t inputs = 0;
  uint64_t parsed = 0;
  uint64_t reachedArmedRound = 0;
  void print() const {
    std::fprintf(stderr, "tarv_call_fuzzer: %llu inputs, %llu parsed, %llu reached the armed round\n",
                 static_cast<unsigned long long>(inputs), static_cast<unsigned long long>(parsed),
                 static_cast<unsigned long long>(reachedArmedRound));
  }
  ~Counts() { print(); }
};
Counts counts;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ++counts.inputs;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::vector<uint8_t>> buffers;
  json request = json::parse(text, nullptr, false);
  if (!request.is_discarded()) {
    ++counts.parsed;
    giveImagesRealBuffers(request, buffers);
    text = request.dump();
  }

  tarv::fuzz::resetProcessValues();
  const Rendered& r = rendered();
  void* engine = r.armed;
  if (!request.is_discarded()) {
    engine = tarv_create();
    if (engine == nullptr) std::abort();
    static_cast<tarv::Engine*>(engine)->round =
        privateCopy(static_cast<const tarv::Engine*>(r.armed)->round);
  }
  const char* reply = tarv_call(engine, text.c_str());
  const json parsedReply = reply == nullptr ? json(nullptr) : json::parse(reply, nullptr, false);
  if (reply == nullptr || parsedReply.is_discarded()) std::abort();
  if (isRoundReply(parsedReply)) ++counts.reachedArmedRound;
  if (engine != r.armed) tarv_destroy(engine);
  if (counts.inputs % 65536 == 0) counts.print();
  return 0;
}
