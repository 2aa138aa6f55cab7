#include "tarv/autocal/landmark_model.h"

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tarv {

LandmarkModel loadBoardModel(const std::string& path, const std::string& keyString) {
  LandmarkModel model;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Modell nicht gefunden: " + path);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("Modell nicht gefunden: " + path);
  if (looksLikeModelContainer(bytes)) bytes = openModelContainer(bytes, keyString);
  netFromModelBytes(model, bytes);
  return model;
}

void netFromModelBytes(LandmarkModel& model, const Bytes& onnx) {
  model.net = cv::dnn::readNetFromONNX(onnx);
  model.net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  model.net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
}

std::string defaultBoardModelPath() {
  Dl_info info{};
  std::filesystem::path folder;
  if (dladdr(reinterpret_cast<const void*>(&defaultBoardModelPath), &info) != 0 && info.dli_fname) {
    folder = std::filesystem::path(info.dli_fname).parent_path();
  }
  return (folder / "models" / "tarv_board.tarvm").string();
}

}  // namespace tarv
