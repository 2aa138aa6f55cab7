// A ring band (the treble or double bed between its two wires) located as a whole on the image
// gradient, where it is too few pixels deep to show its two wires apart.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include <opencv2/core.hpp>

namespace tarv {

// A ring band (the treble or double bed between its two wires) seen from a low angle is a few
// pixels deep: the blurred gradients of its inner and outer edges overlap, and the strongest
// gradient across the outer edge is drawn towards the inner one where the two steps go the same
// way (a light single bed inside the darker band, the black surround beyond it) and pushed off
// it where they go opposite ways; a wire too thin to show apart, bright against the dark side
// of the edge, pulls it outward as well. At true cameras 10 to 20 degrees above the board the
// double ring's edges lay 0.5 px outside it on average, and the fit left them 0.72 px off the
// ring (0.1 to 0.2 px at 30 to 60 degrees). So a band is located as a whole: the gradient
// across it modelled as its four wire sides (projected through the camera, so their spacing is
// the image's) under one blur, each side's step a free amplitude except the wires' own, shared
// between both wires (one band, one metal), and the band's shift along the normal the one that
// best explains the samples (the fit then 0.33 px off).
constexpr double kBandWireMm = 1.0;
// Bands deeper than this show their wires apart, each edge where it is (photographs and
// renders of boards filling a 1080p frame stay below it).
constexpr double kMaxModelledBandPx = 24.0;

// The band's shift along n from c within +-reach (px), or none where the model explains the
// samples poorly, its best shift lies at the end of the search (the band beyond it) or no
// gradient within reach of the outer edge is as strong as an edge of the board (minResponse).
// sides: the wires' sides (inner wire in, out, outer wire in, out) along n from c.
std::optional<double> locateBand(const cv::Mat& gx, const cv::Mat& gy, cv::Size size, cv::Point2d c, cv::Point2d n,
                                 const std::array<double, 4>& sides, double reach, double minResponse, bool& beyond);

}  // namespace tarv
