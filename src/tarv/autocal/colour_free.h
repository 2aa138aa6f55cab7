// Whether an image carries colour or only brightness (a grey or infrared camera, a
// black-and-white, sepia or one-tinted photograph): the landmark detection reads such images
// with a network trained on boards without colour.
#pragma once

#include <opencv2/core.hpp>

namespace tarv {

// The share of the image's pixels whose colour lies off its one tint: each pixel's
// chromaticity (r and g over r + g + b) less the grey point, against the ray from the grey
// point along the principal direction of all of them. A pixel counts when it lies more than
// kOffTintChromaticity beside the ray, or that far from grey on the ray's other side. A grey
// image has every pixel on the grey point, a sepia or one-tinted one on the ray; a coloured
// board's red and green beds lie on two sides of grey. Pixels too dark to hold a colour are
// left out; an image with too few bright enough pixels to judge, or that is not 8-bit BGR,
// has the share 1.
double offTintShare(const cv::Mat& image);

// The chromaticity distance from the tint's ray that counts as another colour, and the share
// of such pixels that makes an image coloured. Rendered coloured boards, dim, tinted, LED-lit,
// washed out and small in the image, hold 0.004 or more, coloured photographs 0.02 or more; a
// sepia-toned photograph of a board 0.0005, a grey one nothing.
constexpr double kOffTintChromaticity = 0.07;
constexpr double kColourFreeShare = 0.0015;

// An 8-bit BGR image whose off-tint share is under kColourFreeShare.
bool isColourFree(const cv::Mat& image);

// The BGR image as a grey camera gives it (three equal channels), in a buffer of its own.
cv::Mat greyCopy(const cv::Mat& image);

}  // namespace tarv
