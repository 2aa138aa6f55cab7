// Pixel operations on grey images and 8-bit masks (255 = set) shared by every image test.
#pragma once

#include <array>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

// One camera's change masks of a frame against a previous (stored) mask.
struct Masks {
  cv::Mat previous;    // binarised previous mask
  cv::Mat current;     // binarised current mask
  cv::Mat added;       // current outside the previous grown by the tolerance ("new")
  cv::Mat removed;     // previous outside the current grown by the tolerance
  cv::Mat stationary;  // set in both
  json stats;          // "previous_pixels", "current_pixels", "new_pixels", "removed_pixels",
                       // "stationary_pixels", "removed_fraction", "retained_fraction",
                       // "tolerance_px"
  int addedPixels() const { return stats.value("new_pixels", 0); }
  int removedPixels() const { return stats.value("removed_pixels", 0); }
};

// BGR to grey for colour images; a single-channel image is returned as is (shared pixels).
cv::Mat toGray(const cv::Mat& image);
// The colour image at half its size, each pixel the rounded mean of a 2x2 block: what
// cv::resize with INTER_AREA gives at a factor of one half, pixel for pixel, at a fraction of
// its cost on three channels. Other types and odd sizes go through cv::resize.
cv::Mat halvedByArea(const cv::Mat& image);
// An all-zero 8-bit mask with pixels of its own. Assigning `cv::Mat::zeros` to a mask that
// already has this size and type zeroes its pixels in place, and with them every shallow copy
// (the round's working copy, the reduced copies the analysis keeps by pixel address).
cv::Mat freshZeroMask(cv::Size size);
// 255 where the pixel is above the level.
cv::Mat thresholdBinary(const cv::Mat& image, double level);
cv::Mat medianBlurred(const cv::Mat& image, int aperture);
cv::Mat& orMaskInPlace(cv::Mat& destination, const cv::Mat& source);
// Set where both masks are set; set where a is and b is not.
cv::Mat maskAnd(const cv::Mat& a, const cv::Mat& b);
cv::Mat maskAndNot(const cv::Mat& a, const cv::Mat& b);
// Canny edges with a 3x3 aperture and the L1 gradient.
cv::Mat cannyEdges(const cv::Mat& grey, double low, double high);
// The box round a mask's set pixels, as cv::boundingRect gives it (an empty box for a mask
// with none), read eight bytes at a time: a dart's change is a few rows of a large frame, and
// the empty rows cost a word compare each rather than a look at every pixel.
cv::Rect maskBox(const cv::Mat& mask);
// The largest 8-connected piece of a mask, in pixels.
int largestPiecePixels(const cv::Mat& mask);
// A mask brought to a smaller size: set where cv::resize with INTER_AREA leaves anything of
// it; a mask already at the size is its own (shared pixels). At an exact halving only the box round its pixels is reduced (each reduced pixel comes
// from its own 2x2 block), so a dart's mask costs its box rather than the frame.
cv::Mat reducedMask(const cv::Mat& mask, cv::Size size);
// Elliptic or square kernel of size k; large images are only dilated round their set pixels.
cv::Mat dilateMask(const cv::Mat& mask, int kernelSize, bool elliptic);

// Level of the change mask: 16, or with the adaptive switch max(16, median + 4·MAD) of the
// absolute difference (inside region when one is given).
double changeLevel(const cv::Mat& absoluteDifference, const cv::Mat& region, bool adaptive);

// How many of an 8-bit one-channel image's pixels hold each value, counted inside the mask (of
// the image's size; every pixel when it is empty), and how many were counted.
struct MaskedHistogram {
  std::array<int, 256> counts{};
  int total = 0;
};
MaskedHistogram histogramInMask(const cv::Mat& image, const cv::Mat& mask);
// 255 where the image's 3x3 or 5x5 median (edges replicated) is above the level, else 0:
// thresholdBinary of medianBlurred, counted rather than sorted for 8-bit grey images.
cv::Mat medianAboveMask(const cv::Mat& image, double level, int aperture);
// Changed pixels of two grey images of one size: absolute difference, 5x5 median, level.
// All zero when no difference exceeds 16. Fails with "Camera resolution changed".
cv::Mat nativeDifferenceMask(const cv::Mat& previous, const cv::Mat& current,
                             const cv::Mat& region = cv::Mat());

// New, removed and stationary pixels of current against previous, tolerating a shift of
// tolerancePx.
Masks compareMasks(const cv::Mat& previous, const cv::Mat& current, int tolerancePx);

// compareMasks(mask, mask, tolerancePx) without its dilations: a mask against itself adds and
// removes nothing, and all of it stays.
Masks sameMasks(const cv::Mat& mask, int tolerancePx);

}  // namespace tarv
