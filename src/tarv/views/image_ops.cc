#include "tarv/views/image_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/process_switches.h"

namespace tarv {
namespace {

constexpr double kQuietDifference = 16.0;

// Median and median absolute deviation of an 8-bit image's pixels inside the region.
std::pair<double, double> medianAndMad(const cv::Mat& image, const cv::Mat& region) {
  const MaskedHistogram h = histogramInMask(image, region);
  const std::array<int, 256>& histogram = h.counts;
  const int count = h.total;
  if (count == 0) return {0.0, 0.0};
  const auto medianOf = [count](const int* h) {
    int seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += h[v];
      if (2 * seen >= count) return static_cast<double>(v);
    }
    return 255.0;
  };
  const double median = medianOf(histogram.data());
  int deviations[256] = {0};
  for (int v = 0; v < 256; ++v) deviations[static_cast<int>(std::abs(v - median))] += histogram[v];
  return {median, medianOf(deviations)};
}

// The 2x2 means of a colour row pair, 32 bytes at a time: the mean of two rounded pair means,
// less one where both roundings went up for an odd total (which is what rounding the sum of
// four gives). Returns how many bytes it did.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) int blockMeansWide(const uchar* a, const uchar* b, uchar* t, int n) {
  const __m256i one = _mm256_set1_epi8(1);
  int k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k + 3));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k + 3));
    const __m256i x = _mm256_avg_epu8(a0, a1), y = _mm256_avg_epu8(b0, b1);
    const __m256i odd = _mm256_or_si256(_mm256_xor_si256(a0, a1), _mm256_xor_si256(b0, b1));
    const __m256i down = _mm256_and_si256(_mm256_and_si256(odd, _mm256_xor_si256(x, y)), one);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + k), _mm256_sub_epi8(_mm256_avg_epu8(x, y), down));
  }
  return k;
}

// Every other pixel of a colour row, three at a time; returns how many it moved.
__attribute__((target("avx2"))) int evenPixelsWide(const uchar* t, uchar* o, int pixels) {
  const __m128i pick = _mm_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1);
  int x = 0;
  // Each store writes 16 bytes: the last three pixels are left to the caller.
  for (; x + 6 <= pixels; x += 3) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 6 * x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 3 * x), _mm_shuffle_epi8(v, pick));
  }
  return x;
}

// Asked once; every caller reads the same answer.
bool wideVectors() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return supported;
}
#else
int blockMeansWide(const uchar*, const uchar*, uchar*, int) { return 0; }
int evenPixelsWide(const uchar*, uchar*, int) { return 0; }
constexpr bool wideVectors() { return false; }
#endif

bool aboveQuiet(uchar a, uchar b) { return (a > b ? a - b : b - a) > kQuietDifference; }

// The first pixel in [from, to) whose two images differ by more than the quiet level, else
// `to`; and the last one, else `from - 1`. Sixteen pixels at a time where the processor has
// them (every x86-64 does).
#if defined(__x86_64__) && defined(__GNUC__)
int aboveQuietBits(const uchar* a, const uchar* b, int k) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
  const __m128i difference = _mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x));
  const __m128i excess = _mm_subs_epu8(difference, _mm_set1_epi8(static_cast<char>(kQuietDifference)));
  return ~_mm_movemask_epi8(_mm_cmpeq_epi8(excess, _mm_setzero_si128())) & 0xFFFF;
}

int firstAboveQuiet(const uchar* a, const uchar* b, int from, int to) {
  int k = from;
  for (; k + 16 <= to; k += 16) {
    if (const int bits = aboveQuietBits(a, b, k)) return k + __builtin_ctz(bits);
  }
  for (; k < to; ++k) {
    if (aboveQuiet(a[k], b[k])) return k;
  }
  return to;
}

int lastAboveQuiet(const uchar* a, const uchar* b, int from, int to) {
  int k = to;
  for (; k - 16 >= from; k -= 16) {
    if (const int bits = aboveQuietBits(a, b, k - 16)) return k - 16 + 31 - __builtin_clz(bits);
  }
  for (--k; k >= from; --k) {
    if (aboveQuiet(a[k], b[k])) return k;
  }
  return from - 1;
}
#else
int firstAboveQuiet(const uchar* a, const uchar* b, int from, int to) {
  for (int k = from; k < to; ++k) {
    if (aboveQuiet(a[k], b[k])) return k;
  }
  return to;
}

int lastAboveQuiet(const uchar* a, const uchar* b, int from, int to) {
  for (int k = to - 1; k >= from; --k) {
    if (aboveQuiet(a[k], b[k])) return k;
  }
  return from - 1;
}
#endif

// The box round the pixels whose two images (8-bit grey, one size) differ by more than the
// quiet level; empty when none does. A row is searched beside the columns the box already
// spans, and inside them only when nothing lies beside: each pixel is read about once.
cv::Rect aboveQuietBox(const cv::Mat& a, const cv::Mat& b) {
  int left = a.cols, right = -1, top = -1, bottom = -1;
  for (int y = 0; y < a.rows; ++y) {
    const uchar* p = a.ptr<uchar>(y);
    const uchar* q = b.ptr<uchar>(y);
    int first = 0, last = 0;
    if (right < 0) {
      first = firstAboveQuiet(p, q, 0, a.cols);
      if (first == a.cols) continue;
      last = lastAboveQuiet(p, q, first, a.cols);
    } else {
      first = firstAboveQuiet(p, q, 0, left);
      last = lastAboveQuiet(p, q, right + 1, a.cols);
      // Nothing beside the box: the row counts only with a pixel inside its columns.
      if (first == left && last == right && firstAboveQuiet(p, q, left, right + 1) > right) continue;
    }
    if (top < 0) top = y;
    bottom = y;
    left = std::min(left, first);
    right = std::max(right, last);
  }
  if (top < 0) return cv::Rect();
  return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

// 255 where more than half of the (2R+1)x(2R+1) window round a pixel is set (pixels 0 or 1,
// the image's edges replicated), else 0: where the window's median is set. Summed in bytes,
// which the compiler vectorises.
template <int R>
void setWhereMost(const cv::Mat& ones, cv::Mat& out) {
  constexpr int side = 2 * R + 1;
  constexpr int half = side * side / 2;
  const int rows = ones.rows, cols = ones.cols;
  std::vector<uchar> columns(static_cast<size_t>(cols) + 2 * R);
  uchar* c = columns.data() + R;
  const uchar* r[side];
  for (int y = 0; y < rows; ++y) {
    for (int k = 0; k < side; ++k) r[k] = ones.ptr<uchar>(std::clamp(y + k - R, 0, rows - 1));
    for (int x = 0; x < cols; ++x) {
      uchar sum = 0;
      for (int k = 0; k < side; ++k) sum = static_cast<uchar>(sum + r[k][x]);
      c[x] = sum;
    }
    for (int k = 1; k <= R; ++k) {
      c[-k] = c[0];
      c[cols - 1 + k] = c[cols - 1];
    }
    const uchar* t = columns.data();
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < cols; ++x) {
      uchar sum = 0;
      for (int k = 0; k < side; ++k) sum = static_cast<uchar>(sum + t[x + k]);
      o[x] = sum > half ? 255 : 0;
    }
  }
}

// The 5x5 median of the two images' absolute difference above the quiet level, taken only
// round the pixels above the level: the rest of the frame is read once and nothing else is made
// at its size but the answer.
cv::Mat quietChangeMask(const cv::Mat& previous, const cv::Mat& current) {
  cv::Mat mask = cv::Mat::zeros(current.size(), CV_8UC1);
  const cv::Rect found = aboveQuietBox(previous, current);
  if (found.area() == 0) return mask;
  // The 5x5 counts reach two pixels beyond the window. Replicating its edge gives what the
  // whole image holds there: inside the image the edge is two pixels clear of the box, with
  // nothing above the level, and elsewhere it is the image's own edge.
  const cv::Rect window =
      cv::Rect(found.x - 2, found.y - 2, found.width + 4, found.height + 4) & cv::Rect(0, 0, current.cols, current.rows);
  cv::Mat difference;
  cv::absdiff(previous(window), current(window), difference);
  cv::Mat above;
  cv::threshold(difference, above, kQuietDifference, 1, cv::THRESH_BINARY);
  cv::Mat inside = mask(window);
  setWhereMost<2>(above, inside);
  return mask;
}

}  // namespace

cv::Mat toGray(const cv::Mat& image) {
  if (image.channels() == 1) return image;
  cv::Mat grey;
  cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
  return grey;
}

cv::Mat freshZeroMask(cv::Size size) { return cv::Mat(size, CV_8UC1, cv::Scalar(0)); }

cv::Mat thresholdBinary(const cv::Mat& image, double level) {
  cv::Mat out;
  cv::threshold(image, out, level, 255, cv::THRESH_BINARY);
  return out;
}

cv::Mat medianBlurred(const cv::Mat& image, int aperture) {
  cv::Mat out;
  cv::medianBlur(image, out, aperture);
  return out;
}

cv::Mat& orMaskInPlace(cv::Mat& destination, const cv::Mat& source) {
  if (destination.empty()) {
    destination = source.clone();
  } else if (!source.empty()) {
    cv::bitwise_or(destination, source, destination);
  }
  return destination;
}

cv::Mat maskAnd(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat out;
  cv::bitwise_and(a, b, out);
  return out;
}

cv::Mat maskAndNot(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat out;
  cv::bitwise_and(a, ~b, out);
  return out;
}

cv::Mat cannyEdges(const cv::Mat& grey, double low, double high) {
  cv::Mat edges;
  cv::Canny(grey, edges, low, high, 3, false);
  return edges;
}

namespace {

uint64_t wordAt(const uchar* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Whether any of the 64 bytes from p is set: a mask's empty rows are read 64 bytes at a time.
bool anySetIn64(const uchar* p) {
  const auto load = [p](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)); };
  const __m128i v = _mm_or_si128(_mm_or_si128(load(0), load(16)), _mm_or_si128(load(32), load(48)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) != 0xFFFF;
}
#else
bool anySetIn64(const uchar* p) {
  for (int k = 0; k < 64; ++k) {
    if (p[k] != 0) return true;
  }
  return false;
}
#endif

// The first set byte of row[from, to), or to.
int firstSetByte(const uchar* row, int from, int to) {
  int x = from;
  for (; x + 64 <= to && !anySetIn64(row + x); x += 64) {
  }
  for (; x + 8 <= to; x += 8) {
    if (wordAt(row + x) != 0) break;
  }
  for (; x < to; ++x) {
    if (row[x] != 0) return x;
  }
  return to;
}

// The last set byte of row[from, to), or from - 1.
int lastSetByte(const uchar* row, int from, int to) {
  int x = to;
  for (; x - 64 >= from && !anySetIn64(row + x - 64); x -= 64) {
  }
  for (; x - 8 >= from; x -= 8) {
    if (wordAt(row + x - 8) != 0) break;
  }
  for (; x > from; --x) {
    if (row[x - 1] != 0) return x - 1;
  }
  return from - 1;
}

}  // namespace

cv::Mat reducedMask(const cv::Mat& mask, cv::Size size) {
  if (mask.size() == size) return mask;
  const bool halved = mask.type() == CV_8UC1 && mask.cols == 2 * size.width && mask.rows == 2 * size.height;
  if (!halved) {
    cv::Mat reduced;
    cv::resize(mask, reduced, size, 0, 0, cv::INTER_AREA);
    return thresholdBinary(reduced, 0);
  }
  cv::Mat out = freshZeroMask(size);
  const cv::Rect box = maskBox(mask);
  if (box.area() == 0) return out;
  // Widened to even edges so that its blocks are the whole image's blocks.
  const int x0 = box.x & ~1, y0 = box.y & ~1;
  const int x1 = (box.x + box.width + 1) & ~1, y1 = (box.y + box.height + 1) & ~1;
  cv::Mat part;
  cv::resize(mask(cv::Rect(x0, y0, x1 - x0, y1 - y0)), part, cv::Size((x1 - x0) / 2, (y1 - y0) / 2), 0, 0,
             cv::INTER_AREA);
  thresholdBinary(part, 0).copyTo(out(cv::Rect(x0 / 2, y0 / 2, part.cols, part.rows)));
  return out;
}

int largestPiecePixels(const cv::Mat& mask) {
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  int largest = 0;
  for (int i = 1; i < count; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
  return largest;
}

cv::Rect maskBox(const cv::Mat& mask) {
  if (mask.empty() || mask.type() != CV_8UC1) return cv::boundingRect(mask);
  int top = -1, bottom = -1, left = mask.cols, right = -1;
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    const int first = firstSetByte(row, 0, mask.cols);
    if (first == mask.cols) continue;
    if (top < 0) top = y;
    bottom = y;
    left = std::min(left, first);
    // Only a set byte right of those already seen can widen the box.
    const int from = std::max(right + 1, first);
    right = std::max(right, lastSetByte(row, from, mask.cols));
  }
  if (top < 0) return cv::Rect();
  return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

namespace {

// along(y, x) = max(along(y, x), mask(y, x + offset)) wherever x + offset lies in the row.
void widenAlongRows(const cv::Mat& mask, cv::Mat& along, int offset) {
  const int from = std::max(0, -offset), to = std::min(mask.cols, mask.cols - offset);
  if (from >= to) return;
  cv::Mat target = along.colRange(from, to);
  cv::max(target, mask.colRange(from + offset, to + offset), target);
}

// OpenCV dilates by an elliptic kernel one pass per set kernel element: nearly 700 for the
// kernel of a dart's swing. Each row of the ellipse is one run of columns and holds the runs of
// the rows further out: the maximum along the shortest run, widened column by column to each
// longer one and taken into the rows that have it, costs a pass per column and per row.
// Outside the image counts as unset, as in cv::dilate.
cv::Mat dilateByEllipseRows(const cv::Mat& mask, const cv::Mat& kernel) {
  std::vector<std::pair<int, int>> runs;  // per kernel row its first and last set column
  std::vector<int> rows;                  // the kernel's set rows, shortest run first
  for (int ky = 0; ky < kernel.rows; ++ky) {
    const uchar* row = kernel.ptr<uchar>(ky);
    int first = 0, last = kernel.cols - 1;
    while (first < kernel.cols && row[first] == 0) ++first;
    while (last >= first && row[last] == 0) --last;
    runs.emplace_back(first, last);
    if (first <= last) rows.push_back(ky);
  }
  std::stable_sort(rows.begin(), rows.end(), [&runs](int a, int b) {
    return runs[a].second - runs[a].first < runs[b].second - runs[b].first;
  });
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8UC1);
  const int ax = kernel.cols / 2, ay = kernel.rows / 2;
  cv::Mat along = cv::Mat::zeros(mask.size(), CV_8UC1);
  int first = ax + 1, last = ax;  // the run `along` holds: none yet
  for (const int ky : rows) {
    const auto [runFirst, runLast] = runs[ky];
    if (first > last) {
      first = last = runFirst;
      widenAlongRows(mask, along, first - ax);
    }
    while (first > runFirst) widenAlongRows(mask, along, --first - ax);
    while (last < runLast) widenAlongRows(mask, along, ++last - ax);
    // Output row y takes row y + ky - ay of the maximum along the run.
    const int shift = ky - ay;
    const int from = std::max(0, -shift), to = std::min(mask.rows, mask.rows - shift);
    if (from >= to) continue;
    cv::Mat target = out.rowRange(from, to);
    cv::max(target, along.rowRange(from + shift, to + shift), target);
  }
  return out;
}

}  // namespace

cv::Mat dilateMask(const cv::Mat& mask, int kernelSize, bool elliptic) {
  const int k = std::max(1, kernelSize);
  const cv::Mat kernel =
      cv::getStructuringElement(elliptic ? cv::MORPH_ELLIPSE : cv::MORPH_RECT, cv::Size(k, k));
  // Small kernels cost OpenCV less than the passes by rows. A view into a larger mask is
  // dilated as OpenCV does it, with the set pixels round the view.
  const bool byRows = elliptic && k >= 13 && mask.type() == CV_8UC1 && !mask.isSubmatrix();
  if (mask.total() < 65536) {
    if (byRows) return dilateByEllipseRows(mask, kernel);
    cv::Mat out;
    cv::dilate(mask, out, kernel);
    return out;
  }
  // Dilation only reaches half a kernel beyond the set pixels.
  cv::Mat out = cv::Mat::zeros(mask.size(), mask.type());
  const cv::Rect box = maskBox(mask);
  if (box.area() == 0) return out;
  const int half = k / 2 + 1;
  const cv::Rect grown = cv::Rect(box.x - half, box.y - half, box.width + 2 * half,
                                  box.height + 2 * half) &
                         cv::Rect(0, 0, mask.cols, mask.rows);
  if (byRows) {
    // Everything round the grown box is unset: the part needs nothing beyond it.
    dilateByEllipseRows(mask(grown), kernel).copyTo(out(grown));
    return out;
  }
  cv::Mat part;
  cv::dilate(mask(grown), part, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  part.copyTo(out(grown));
  return out;
}

MaskedHistogram histogramInMask(const cv::Mat& image, const cv::Mat& mask) {
  MaskedHistogram h;
  for (int y = 0; y < image.rows; ++y) {
    const uchar* row = image.ptr<uchar>(y);
    const uchar* inside = mask.empty() ? nullptr : mask.ptr<uchar>(y);
    for (int x = 0; x < image.cols; ++x) {
      if (inside && !inside[x]) continue;
      ++h.counts[row[x]];
      ++h.total;
    }
  }
  return h;
}

double changeLevel(const cv::Mat& absoluteDifference, const cv::Mat& region, bool adaptive) {
  if (!adaptive) return kQuietDifference;
  const auto [median, mad] = medianAndMad(absoluteDifference, region);
  return std::max(kQuietDifference, median + 4.0 * mad);
}

cv::Mat nativeDifferenceMask(const cv::Mat& previous, const cv::Mat& current,
                             const cv::Mat& region) {
  if (previous.size() != current.size() || previous.type() != current.type() ||
      previous.type() != CV_8UC1) {
    throw std::runtime_error("Camera resolution changed");
  }
  if (!processSwitches().adaptiveThreshold) return quietChangeMask(previous, current);
  cv::Mat difference;
  cv::absdiff(previous, current, difference);
  double largest = 0.0;
  cv::minMaxLoc(difference, nullptr, &largest);
  if (largest <= kQuietDifference) return cv::Mat::zeros(current.size(), CV_8UC1);
  cv::medianBlur(difference, difference, 5);
  const double level = changeLevel(difference, region, true);
  return thresholdBinary(difference, level);
}

cv::Mat medianAboveMask(const cv::Mat& image, double level, int aperture) {
  cv::Mat mask;
  if (image.type() != CV_8UC1 || (aperture != 3 && aperture != 5) || image.empty()) {
    cv::medianBlur(image, mask, aperture);
    return thresholdBinary(mask, level);
  }
  // A median is above the level exactly where more than half of its window is.
  cv::Mat above;
  cv::threshold(image, above, level, 1, cv::THRESH_BINARY);
  mask.create(image.size(), CV_8UC1);
  if (aperture == 3) {
    setWhereMost<1>(above, mask);
  } else {
    setWhereMost<2>(above, mask);
  }
  return mask;
}

Masks compareMasks(const cv::Mat& previous, const cv::Mat& current, int tolerancePx) {
  Masks m;
  m.current = thresholdBinary(current, 0);
  m.previous = previous.empty() ? cv::Mat::zeros(current.size(), CV_8UC1)
                                : thresholdBinary(previous, 0);
  if (m.previous.size() != m.current.size()) throw std::runtime_error("Camera resolution changed");
  const int kernel = 2 * std::max(0, tolerancePx) + 1;
  cv::bitwise_and(m.current, ~dilateMask(m.previous, kernel, false), m.added);
  cv::bitwise_and(m.previous, ~dilateMask(m.current, kernel, false), m.removed);
  cv::bitwise_and(m.previous, m.current, m.stationary);
  const int previousPixels = cv::countNonZero(m.previous);
  const int removedPixels = cv::countNonZero(m.removed);
  const double removedFraction =
      previousPixels > 0 ? static_cast<double>(removedPixels) / previousPixels : 0.0;
  m.stats = {{"previous_pixels", previousPixels},
             {"current_pixels", cv::countNonZero(m.current)},
             {"new_pixels", cv::countNonZero(m.added)},
             {"removed_pixels", removedPixels},
             {"stationary_pixels", cv::countNonZero(m.stationary)},
             {"removed_fraction", roundToThousandths(removedFraction)},
             {"retained_fraction", roundToThousandths(previousPixels > 0 ? 1.0 - removedFraction : 1.0)},
             {"tolerance_px", tolerancePx}};
  return m;
}

Masks sameMasks(const cv::Mat& mask, int tolerancePx) {
  Masks m;
  m.current = thresholdBinary(mask, 0);
  // Buffers of their own, as compareMasks gives: a caller may change one in place.
  m.previous = m.current.clone();
  m.stationary = m.current.clone();
  m.added = cv::Mat::zeros(m.current.size(), CV_8UC1);
  m.removed = cv::Mat::zeros(m.current.size(), CV_8UC1);
  const int pixels = cv::countNonZero(m.current);
  m.stats = {{"previous_pixels", pixels},
             {"current_pixels", pixels},
             {"new_pixels", 0},
             {"removed_pixels", 0},
             {"stationary_pixels", pixels},
             {"removed_fraction", roundToThousandths(0.0)},
             {"retained_fraction", roundToThousandths(1.0)},
             {"tolerance_px", tolerancePx}};
  return m;
}

cv::Mat halvedByArea(const cv::Mat& image) {
  if (image.type() != CV_8UC3 || image.cols % 2 != 0 || image.rows % 2 != 0 || image.empty()) {
    cv::Mat out;
    if (!image.empty()) cv::resize(image, out, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    return out;
  }
  constexpr int cn = 3;
  cv::Mat out(image.rows / 2, image.cols / 2, CV_8UC3);
  const int bytes = image.cols * cn;
  // Every byte's rounded 2x2 mean with the pixel to its right; the even pixels' ones are the
  // result. Spare bytes let the last pixels be moved in whole vectors.
  std::vector<uchar> sums(bytes + 16);
  const bool wide = wideVectors();
  for (int y = 0; y < out.rows; ++y) {
    const uchar* a = image.ptr<uchar>(2 * y);
    const uchar* b = image.ptr<uchar>(2 * y + 1);
    uchar* t = sums.data();
    int k = wide ? blockMeansWide(a, b, t, bytes - cn) : 0;
    for (; k < bytes - cn; ++k) t[k] = static_cast<uchar>((a[k] + a[k + cn] + b[k] + b[k + cn] + 2) >> 2);
    uchar* o = out.ptr<uchar>(y);
    int x = wide ? evenPixelsWide(t, o, out.cols) : 0;
    for (; x < out.cols; ++x) std::memcpy(o + cn * x, t + 2 * cn * x, cn);
  }
  return out;
}

}  // namespace tarv
