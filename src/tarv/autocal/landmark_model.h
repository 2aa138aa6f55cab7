// The board-landmark network with its fixed detection parameters, and its loading.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/dnn.hpp>

#include "tarv/autocal/model_container.h"

namespace tarv {

struct LandmarkModel {
  int32_t inputSize = 640;       // side of the square network input
  float scoreThreshold = 0.2f;   // best-class score a detection needs; also the NMS threshold
  float nmsThreshold = 0.7f;     // overlap (IoU) of the suppression
  cv::dnn::Net net;
  // The same network trained on boards without colour, for images without colour (grey and
  // infrared cameras, black-and-white prints); empty where its file is not there.
  cv::dnn::Net colourFreeNet;
};

// Reads the model file: a container ("TARVM1" and more than the magic) is opened with the key
// string, anything else is read as a plain ONNX model. Where the file for images without
// colour lies beside it (colourFreeModelPath), that is read the same way into colourFreeNet.
// Fails with "Modell nicht gefunden: " and the path, the container's messages, or the network
// reader's cv::Exception, for either file.
LandmarkModel loadBoardModel(const std::string& path, const std::string& keyString);
// The file of the network for images without colour beside a model file: its name with
// "_mono" before the extension ("models/tarv_board_mono.tarvm" beside "models/tarv_board.tarvm").
std::string colourFreeModelPath(const std::string& path);
// Builds the model's network from plain ONNX bytes on OpenCV's own CPU back end.
void netFromModelBytes(LandmarkModel& model, const Bytes& onnx);

// "models/tarv_board.tarvm" in the folder that holds this library.
std::string defaultBoardModelPath();

}  // namespace tarv
