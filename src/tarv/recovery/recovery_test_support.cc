#include "tarv/recovery/recovery_test_support.h"

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

}  // namespace tarv
