#include "tarv/autocal/landmark_output.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv {

LandmarkDetections decodeLandmarkOutput(const cv::Mat& output, double scale, float scoreThreshold,
                                        float nmsThreshold) {
  if (output.dims != 3 || output.type() != CV_32F || output.size[0] != 1 || output.size[1] < 5 ||
      !output.isContinuous()) {
    throw std::runtime_error("LANDMARK_OUTPUT_INVALID");
  }
  const int rows = output.size[1], n = output.size[2];
  const float* data = output.ptr<float>();
  std::vector<cv::Rect2d> boxes;
  std::vector<float> scores;
  std::vector<int> classes;
  std::vector<cv::Point2d> centres;
  for (int j = 0; j < n; ++j) {
    int best = 0;
    float bestScore = data[4 * n + j];
    for (int c = 1; c < rows - 4; ++c) {
      if (data[(4 + c) * n + j] > bestScore) {
        bestScore = data[(4 + c) * n + j];
        best = c;
      }
    }
    if (!(bestScore >= scoreThreshold)) continue;
    const double cx = data[j] / scale, cy = data[n + j] / scale, w = data[2 * n + j] / scale, h = data[3 * n + j] / scale;
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(w) || !std::isfinite(h)) continue;
    boxes.emplace_back(cx - w / 2.0, cy - h / 2.0, w, h);
    scores.push_back(bestScore);
    classes.push_back(best);
    centres.emplace_back(cx, cy);
  }
  LandmarkDetections kept;
  if (boxes.empty()) return kept;
  // Suppression within each class: boxes of different classes are moved apart so far that
  // they never overlap.
  double extent = 1.0;
  for (const cv::Rect2d& b : boxes) extent = std::max({extent, std::abs(b.x) + std::abs(b.width), std::abs(b.y) + std::abs(b.height)});
  std::vector<cv::Rect2d> shifted = boxes;
  for (size_t i = 0; i < shifted.size(); ++i) {
    shifted[i].x += 4.0 * extent * classes[i];
    shifted[i].y += 4.0 * extent * classes[i];
  }
  std::vector<int> indices;
  cv::dnn::NMSBoxes(shifted, scores, scoreThreshold, nmsThreshold, indices, 1.0f, 0);
  for (int i : indices) {
    kept.centres.push_back(centres[i]);
    kept.classes.push_back(classes[i]);
    kept.scores.push_back(scores[i]);
  }
  return kept;
}

LandmarkDetections runLandmarkNetwork(LandmarkModel& model, const cv::Mat& image, bool colourFree) {
  cv::dnn::Net& net = colourFree && !model.colourFreeNet.empty() ? model.colourFreeNet : model.net;
  const int S = model.inputSize;
  const double s = static_cast<double>(S) / std::max(image.cols, image.rows);
  // A very narrow image must still keep a pixel in each direction.
  const int w = std::clamp(static_cast<int>(std::lround(image.cols * s)), 1, S);
  const int h = std::clamp(static_cast<int>(std::lround(image.rows * s)), 1, S);
  cv::Mat canvas(S, S, CV_8UC3, cv::Scalar::all(114));
  cv::Mat resized;
  cv::resize(image, resized, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  resized.copyTo(canvas(cv::Rect(0, 0, w, h)));
  const cv::Mat blob = cv::dnn::blobFromImage(canvas, 0.00392156862745098, cv::Size(S, S), cv::Scalar(), true, false, CV_32F);
  net.setInput(blob);
  const cv::Mat output = net.forward();
  return decodeLandmarkOutput(output, s, model.scoreThreshold, model.nmsThreshold);
}

std::vector<cv::Point2d> keptCrossings(const LandmarkDetections& kept) {
  std::vector<cv::Point2d> crossings;
  for (size_t j = 0; j < kept.classes.size(); ++j) {
    if (kept.classes[j] == 1 && kept.scores[j] > 0.25f) crossings.push_back(kept.centres[j]);
  }
  return crossings;
}

}  // namespace tarv
