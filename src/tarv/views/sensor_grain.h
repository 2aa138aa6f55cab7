// How much a camera's sensor and encoder scatter a pixel from one capture of a still board to
// the next, measured once on the difference of a frame against the camera's references, and
// the dart change level that this scatter asks for.
#pragma once

#include <opencv2/core.hpp>

namespace tarv {

// The grain of the difference of two colour images of one size inside the region (the whole
// image when the region is empty): the median over the region of the largest channel's
// high-passed difference, scaled to the spread of white noise. A frame-wide light step
// changes the difference smoothly and a dart covers a small share of the region, so neither
// moves it; capture noise and compression blocks that differ between captures do.
double differenceGrain(const cv::Mat& frame, const cv::Mat& reference, const cv::Mat& region);

// The dart change level a camera of this grain needs: on webcams the level that leaves their
// still frames' difference out of the dart mask (median + 4 MAD of the colour difference) is
// about this many times the grain. Never below the fixed dart level, so that a camera of
// ordinary noise keeps exactly the fixed level.
double grainChangeLevel(double grain, double fixedLevel);

}  // namespace tarv
