// The runtime drives its engine through the same JSON text a host sends to tarv_call.
//
// The request carries the images as raw addresses ("pointer") that the engine reads in place.
// Such requests must only ever be built by code inside the calling process from its own
// buffers: a request text taken from outside (a file, a socket, a user) would let its author
// make the engine read any memory of the process.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

// The engine's C entry points; tests put a scripted engine in their place.
struct EngineTable {
  void* (*create)();
  const char* (*call)(void* engine, const char* request);
  void (*destroy)(void* engine);
};

// tarv_create, tarv_call and tarv_destroy.
const EngineTable& exportedEngine();

// {"pointer","width","height","length"} of a continuous image.
json engineImage(const cv::Mat& image);
// Sends command with the images' addresses and the request's other members; an "error" reply
// throws a runtime error whose message is the whole reply text.
json callEngine(const EngineTable& table, void* engine, const std::string& command,
                const std::vector<cv::Mat>& images, json request);

}  // namespace tarv
