// Tiny ONNX networks for the tests: whatever the image, the output is a fixed tensor, so a
// test scripts the detections of the landmark network.
#pragma once

#include <vector>

#include "tarv/autocal/model_container.h"

namespace tarv::testing {

// A network with the input [1, 3, side, side] whose output has the given shape and holds
// `values` (row-major; their count must be the shape's product).
Bytes constantOutputOnnx(const std::vector<int64_t>& outputShape, const std::vector<float>& values,
                         int side = 640);

}  // namespace tarv::testing
