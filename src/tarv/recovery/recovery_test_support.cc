#include "tarv/recovery/recovery_test_support.h"

#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {

Round roundArmedOn(const scene::SceneImages& empty, std::optional<std::array<double, 3>> imageNormal) {
  Round round;
  for (int i = 0; i < 3; ++i) {
    Camera& camera = round.cameras[i];
    camera.emptyReferenceColour = empty.frames[i].clone();
    camera.backgroundFrame = camera.emptyReferenceColour;
    camera.emptyReference = toGray(camera.emptyReferenceColour);
    camera.dartReference = camera.emptyReference;
    camera.referenceChangeMask = cv::Mat::zeros(camera.emptyReference.size(), CV_8UC1);
    camera.boardToImage = host::homographyOf(empty.truth.cameras[i].board_to_image);
    if (imageNormal) camera.imageNormal = *imageNormal;
    camera.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);
    camera.surroundMotion = std::make_shared<SurroundMotion>();
  }
  return round;
}

cv::Mat patchTexture(cv::Size size, uint64_t seed) {
  cv::Mat patches(size.height / 32 + 1, size.width / 32 + 1, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(patches, cv::RNG::UNIFORM, 60, 221);
  cv::Mat image;
  cv::resize(patches, image, patches.size() * 32, 0, 0, cv::INTER_NEAREST);
  image = image(cv::Rect(cv::Point(0, 0), size)).clone();
  cv::GaussianBlur(image, image, cv::Size(0, 0), 1.0);
  return image;
}

}  // namespace tarv
