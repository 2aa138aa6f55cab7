#include <stdexcept>

#include "tarv/variants/duo_engine.h"
#include "tarv/variants/mono_engine.h"

namespace tarv {

// The one- and two-camera engines are not built yet; hosts get a clear code meanwhile.
json armMonoEngine(MonoEngine&, const json&, const cv::Mat&) {
  throw std::runtime_error("NOT_AVAILABLE");
}
json processMonoFrame(MonoEngine&, const json&, const cv::Mat&) {
  throw std::runtime_error("NOT_AVAILABLE");
}
json armDuoEngine(DuoEngine&, const json&, const std::vector<cv::Mat>&) {
  throw std::runtime_error("NOT_AVAILABLE");
}
json processDuoFrames(DuoEngine&, const json&, const std::vector<cv::Mat>&) {
  throw std::runtime_error("NOT_AVAILABLE");
}

std::vector<cv::Mat> collectPairFrames(const DuoEngine& engine, int which) {
  std::vector<cv::Mat> frames;
  for (const ImagePair& pair : engine.supportMasks) frames.push_back(pair.at(which));
  return frames;
}

}  // namespace tarv
