#include "tarv/autocal/landmark_model.h"

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tarv {

namespace {

Bytes modelBytes(const std::string& path, const std::string& keyString) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Modell nicht gefunden: " + path);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("Modell nicht gefunden: " + path);
  if (looksLikeModelContainer(bytes)) bytes = openModelContainer(bytes, keyString);
  return bytes;
}

cv::dnn::Net netFromBytes(const Bytes& onnx) {
  cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  return net;
}

}  // namespace

LandmarkModel loadBoardModel(const std::string& path, const std::string& keyString) {
  LandmarkModel model;
  netFromModelBytes(model, modelBytes(path, keyString));
  // Without the second file every image is read by the one network, as before there was one.
  const std::string mono = colourFreeModelPath(path);
  std::error_code error;
  if (std::filesystem::exists(mono, error)) model.colourFreeNet = netFromBytes(modelBytes(mono, keyString));
  return model;
}

void netFromModelBytes(LandmarkModel& model, const Bytes& onnx) { model.net = netFromBytes(onnx); }

std::string colourFreeModelPath(const std::string& path) {
  const std::filesystem::path p(path);
  return (p.parent_path() / (p.stem().string() + "_mono" + p.extension().string())).string();
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
