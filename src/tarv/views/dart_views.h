// One camera's measurement of a new dart in four views: "normal" (the shaft search in the
// camera image), "front" (the change carried onto the board plane), "detail" (the steel
// point's edge at full resolution) and "detail_front" (the point's window on the board plane
// at a fine scale). Each view measures its own tip; their agreement is the evidence.
#pragma once

#include <nlohmann/json.hpp>

#include "tarv/views/shaft_axis.h"

namespace tarv {

using json = nlohmann::json;

struct DartViews {
  json shaftRecord;   // {"observations", "votes", "pixels"} for the tip solver
  json measurements;  // four ViewMeasurements in the order of viewKinds
};

// Measures the dart of the view in the four views. A view that cannot measure answers
// {"status": "ABSTAIN", "reason", "quality": 0, "kind"}; a measuring one
// {"status": "CANDIDATE", "quality" 0..1, "field", "point", "kind", "image_point"}.
DartViews measureDartViews(const ShaftView& view);
// The same with the view's change mask labelled already (labelChangePieces).
DartViews measureDartViews(const ShaftView& view, const ChangePieces& pieces);

// The part of a size x size board window (window pixels -> mask pixels by toCrop) that can
// see the mask's set pixels: a nearest-neighbour warp of the mask sets nothing outside it.
// The whole window when the mask's box does not lie wholly in front of the camera; empty
// when the mask has no set pixel or the window does not reach it.
cv::Rect windowPartOver(const cv::Mat& mask, const cv::Matx33d& toCrop, int size);

}  // namespace tarv
