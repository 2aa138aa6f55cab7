// The colour of the board bed under a dart's tip, and the choice between the fields next to a
// wire by the colour the cameras see there: singles alternate black and white, doubles and
// trebles red and green, so two fields on either side of a wire usually differ in colour.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <string>

#include "tarv/core/board_geometry.h"

namespace tarv {

class Camera;

// "black", "white", "red" or "green" for one BGR pixel (by its 8-bit HSV), "" for none.
std::string classifyPixelColour(const cv::Vec3b& bgr);

// The bed colour of a field label: singles of the dark sectors black, of the others white;
// their doubles and trebles red and green; "BULL" red, "25" green; "" for "MISS" and labels
// shorter than two characters. A label whose tail is not a number fails with
// "invalid stoi argument" (std::invalid_argument) or "stoi argument out of range"
// (std::out_of_range).
std::string expectedBedColour(const std::string& label);

struct BedColourSample {
  std::string colour;            // the dominant colour, "" when the patch is unreadable
  json counts = json::object();  // class name (or "none") -> pixel count; empty when off image
};

// The dominant colour of the (2·half + 1)² patch round the pixel (x, y) of an 8-bit BGR image.
// It needs at least 70 % of the patch; a patch that does not fit in the image, a non-finite
// point or an image that is not 8-bit 3-channel gives an empty colour with empty counts.
BedColourSample sampleBedColour(const cv::Mat& image, double x, double y, int half);

// Chooses between the candidate fields of a scored point near a wire by the bed colour that
// the cameras see at the tip, each camera weighted by its pixels per millimetre there, and
// writes the record ("applied", "selected", "reason", "cameras", "scores", ...) into result.
//   classification     "candidates" and "nearest_wire_mm" of the scored point
//   cameraObservations per camera {"votes": [{"abstention", "point", "image_point"}, ...]}
//   cameras            the reference colour image (backgroundFrame) of each camera is sampled
//   homographies       board-to-image per camera
//   uncertainty        the point's uncertainty in mm when it is a number
//   viewChecks         when an object, camera id -> {"supported": bool}; unsupported
//                      cameras are excluded
// Fails with "Projection at infinity" when the point or a step along its radius does not
// project to a finite pixel in a sampled camera, and with the JSON library's type errors for
// a candidate that is not a text, an observation that is not an object or an "abstention"
// that is not a boolean; result then holds what was written before.
void arbitrateBedColour(json& result, const json& classification, Point2 point,
                        const std::array<json, 3>& cameraObservations,
                        const std::array<Camera, 3>& cameras,
                        const std::array<Homography, 3>& homographies, const json& uncertainty,
                        const json& viewChecks);

}  // namespace tarv
