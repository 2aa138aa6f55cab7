#include "tarv/runtime/engine_bridge.h"

#include <cstdint>
#include <stdexcept>

#include "tarv/tarv.h"

namespace tarv {

const EngineTable& exportedEngine() {
  static const EngineTable table{&tarv_create, &tarv_call, &tarv_destroy};
  return table;
}

json engineImage(const cv::Mat& image) {
  if (!image.isContinuous()) throw std::runtime_error("INVALID_IMAGE_BUFFER");
  return {{"pointer", static_cast<uint64_t>(reinterpret_cast<uintptr_t>(image.data))},
          {"width", image.cols},
          {"height", image.rows},
          {"length", static_cast<uint64_t>(image.total() * image.elemSize())}};
}

json callEngine(const EngineTable& table, void* engine, const std::string& command,
                const std::vector<cv::Mat>& images, json request) {
  if (!request.is_object()) request = json::object();
  request["command"] = command;
  json list = json::array();
  for (const cv::Mat& image : images) list.push_back(engineImage(image));
  request["images"] = std::move(list);
  const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
  const char* reply = table.call(engine, text.c_str());
  if (!reply) throw std::runtime_error("INTERNAL_ERROR");
  json document = json::parse(reply);
  if (document.is_object() && document.contains("error")) {
    throw std::runtime_error(document.dump(-1, ' ', false, json::error_handler_t::replace));
  }
  return document;
}

}  // namespace tarv
