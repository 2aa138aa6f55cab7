#include "tarv/recovery/change_masks.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "tarv/views/board_outline_mask.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {

namespace {

constexpr int kMinimumBlobArea = 24;

bool sameGreyShape(const cv::Mat& a, const cv::Mat& b) {
  return !a.empty() && a.size() == b.size() && a.type() == CV_8UC1 && b.type() == CV_8UC1;
}

// The 3x3 range of the reference: a frame pixel inside it may be the same scene moved by one
// pixel. The constant border of the morphology keeps the border out of the range.
void referenceRange(const cv::Mat& reference, cv::Mat& low, cv::Mat& high) {
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
  cv::erode(reference, low, kernel);
  cv::dilate(reference, high, kernel);
}

// Distance of the frame outside the range (darker below low, brighter above high), median
// filtered so that single-pixel noise does not count, and thresholded.
cv::Mat envelopeMask(const cv::Mat& low, const cv::Mat& high, const cv::Mat& forDarker,
                     const cv::Mat& forBrighter, int level) {
  cv::Mat darker, brighter, envelope;
  cv::subtract(low, forDarker, darker);
  cv::subtract(forBrighter, high, brighter);
  cv::max(darker, brighter, envelope);
  return thresholdBinary(medianBlurred(envelope, 5), level);
}

cv::Mat unnormalisedBoxSum(const cv::Mat& image, int size) {
  cv::Mat out;
  cv::boxFilter(image, out, CV_32F, {size, size}, {-1, -1}, false, cv::BORDER_CONSTANT);
  return out;
}

}  // namespace

cv::Mat tolerantDifferenceMask(const cv::Mat& reference, const cv::Mat& image, int level) {
  if (!sameGreyShape(reference, image)) return cv::Mat();
  cv::Mat low, high;
  referenceRange(reference, low, high);
  return envelopeMask(low, high, image, image, level);
}

void removeSmallComponents(cv::Mat& mask, int minimumArea) {
  if (mask.empty()) return;
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  std::vector<uchar> keep(static_cast<std::size_t>(std::max(count, 1)), 0);
  bool cleared = false;
  for (int label = 1; label < count; ++label) {
    const bool large = stats.at<int>(label, cv::CC_STAT_AREA) >= minimumArea;
    keep[label] = large ? 255 : 0;
    cleared = cleared || !large;
  }
  if (!cleared) return;
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) m[x] = keep[l[x]];
  }
}

cv::Mat buildLocalContrastChangeMask(const cv::Mat& reference, const cv::Mat& frame,
                                     const cv::Mat& region, int level) {
  if (!sameGreyShape(reference, frame) || region.size() != reference.size() ||
      region.type() != CV_8UC1) {
    return cv::Mat();
  }
  const cv::Rect regionBox = cv::boundingRect(region);
  if (regionBox.width < 1 || regionBox.height < 1) return cv::Mat();

  cv::Scalar meanR, sdR, meanF, sdF;
  cv::meanStdDev(reference, meanR, sdR, region);
  cv::meanStdDev(frame, meanF, sdF, region);
  if (!(sdF[0] >= 8.0) || !(sdR[0] >= 8.0)) return cv::Mat();

  // Neighbourhood size follows the image width: 24 pixels at 1280 wide.
  const int cell = std::max(8, static_cast<int>(std::lround(reference.cols * 24.0 / 1280.0)));
  const cv::Rect box = cv::Rect(regionBox.x - cell, regionBox.y - cell,
                                regionBox.width + 2 * cell, regionBox.height + 2 * cell) &
                       cv::Rect(0, 0, reference.cols, reference.rows);
  const int sub = std::clamp(cell / 6, 1, 4);
  const cv::Size grid((box.width + sub - 1) / sub, (box.height + sub - 1) / sub);
  cv::Mat count = cv::Mat::zeros(grid, CV_32F), sumR = count.clone(), sumF = count.clone(),
          sumRR = count.clone(), sumRF = count.clone();

  double totalCount = 0.0, totalRF = 0.0;
  for (int y = 0; y < box.height; ++y) {
    const uchar* r = reference.ptr<uchar>(box.y + y) + box.x;
    const uchar* f = frame.ptr<uchar>(box.y + y) + box.x;
    const uchar* m = region.ptr<uchar>(box.y + y) + box.x;
    const int gy = y / sub;
    for (int x = 0; x < box.width; ++x) {
      if (m[x] == 0) continue;
      const int gx = x / sub;
      const float rv = r[x], fv = f[x];
      count.at<float>(gy, gx) += 1.0f;
      sumR.at<float>(gy, gx) += rv;
      sumF.at<float>(gy, gx) += fv;
      sumRR.at<float>(gy, gx) += rv * rv;
      sumRF.at<float>(gy, gx) += rv * fv;
      totalCount += 1.0;
      totalRF += static_cast<double>(r[x]) * f[x];
    }
  }

  // A frame that does not follow the reference at all is another scene, not other light.
  const double correlation =
      (totalRF / std::max(totalCount, 1.0) - meanR[0] * meanF[0]) / (sdR[0] * sdF[0]);
  if (!(correlation >= 0.5)) return cv::Mat();

  const int k = std::max(1, static_cast<int>(std::lround(static_cast<double>(cell) / sub)));
  const int window = 2 * k + 1;
  cv::Mat n = unnormalisedBoxSum(count, window) + 0.001f;
  cv::Mat mR = unnormalisedBoxSum(sumR, window) / n;
  cv::Mat mF = unnormalisedBoxSum(sumF, window) / n;
  cv::Mat varR = unnormalisedBoxSum(sumRR, window) / n - mR.mul(mR);
  cv::Mat covRF = unnormalisedBoxSum(sumRF, window) / n - mR.mul(mF);
  cv::Mat a = covRF / (varR + 100.0f);
  cv::min(cv::max(a, 0.0f), 4.0f, a);
  cv::Mat b = mF - a.mul(mR);
  cv::Mat A = unnormalisedBoxSum(a.mul(count), window) / n;
  cv::Mat B = unnormalisedBoxSum(b.mul(count), window) / n;
  cv::resize(A, A, box.size(), 0, 0, cv::INTER_LINEAR);
  cv::resize(B, B, box.size(), 0, 0, cv::INTER_LINEAR);

  cv::Mat low, high;
  referenceRange(reference(box), low, high);
  const float s = static_cast<float>(std::clamp(sdF[0] / sdR[0], 0.5, 2.0));

  cv::Mat value(box.size(), CV_8UC1);
  for (int y = 0; y < box.height; ++y) {
    const uchar* f = frame.ptr<uchar>(box.y + y) + box.x;
    const uchar* lo = low.ptr<uchar>(y);
    const uchar* hi = high.ptr<uchar>(y);
    const float* ga = A.ptr<float>(y);
    const float* of = B.ptr<float>(y);
    uchar* v = value.ptr<uchar>(y);
    for (int x = 0; x < box.width; ++x) {
      const float predictedHigh = std::max(0.0f, hi[x] * ga[x] + of[x]);
      const float predictedLow = std::min(255.0f, lo[x] * ga[x] + of[x]);
      const float fv = f[x];
      const float d = std::max(fv - predictedHigh, predictedLow - fv);
      v[x] = cv::saturate_cast<uchar>(d / s);
    }
  }
  cv::Mat boxMask = thresholdBinary(medianBlurred(value, 5), level);
  cv::bitwise_and(boxMask, region(box), boxMask);

  cv::Mat result = cv::Mat::zeros(reference.size(), CV_8UC1);
  boxMask.copyTo(result(box));
  return result;
}

cv::Mat lutDifferenceMask(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& region,
                          int level) {
  if (frame.size() != reference.size()) return cv::Mat();
  cv::Mat table;
  if (!buildHistogramMatchingLut(frame, reference, region, table)) return cv::Mat();

  // Clipped highlights and clipped blacks of the frame say nothing about the level beyond the
  // clip: they are compared through the last unclipped entry.
  cv::Mat tableHigh = table.clone(), tableLow = table.clone();
  tableHigh.colRange(250, 256).setTo(table.at<uchar>(0, 249));
  tableLow.colRange(0, 6).setTo(table.at<uchar>(0, 6));
  cv::Mat mappedHigh, mappedLow;
  cv::LUT(frame, tableHigh, mappedHigh);
  cv::LUT(frame, tableLow, mappedLow);

  cv::Mat low, high;
  referenceRange(reference, low, high);
  cv::Mat diff = envelopeMask(low, high, mappedLow, mappedHigh, level);
  if (!region.empty()) cv::bitwise_and(diff, region, diff);
  removeSmallComponents(diff, kMinimumBlobArea);

  if (!region.empty() && cv::countNonZero(diff) > 0) {
    const cv::Mat confirm = buildLocalContrastChangeMask(reference, frame, region, level);
    if (!confirm.empty()) {
      cv::bitwise_and(diff, confirm, diff);
      removeSmallComponents(diff, kMinimumBlobArea);
    }
  }
  return diff;
}

cv::Mat emptyReferenceChangeMask(const std::vector<cv::Mat>& frames, const Round& round,
                                 int camera) {
  if (camera < 0 || camera >= 3 || static_cast<std::size_t>(camera) >= frames.size() ||
      frames[camera].empty()) {
    return cv::Mat();
  }
  const Camera& cam = round.cameras[camera];
  const cv::Mat frame = toGray(frames[camera]);
  // Fixed radius: the surround just outside the double ring belongs to the test whatever the
  // round's board radius.
  const cv::Mat boardMask = buildBoardRegionMask(frame.size(), cam.boardToImage, 175.0, 360);
  cv::Mat diff = lutDifferenceMask(cam.emptyReference, frame, boardMask, 24);
  if (diff.empty()) return diff;
  cv::bitwise_and(diff, boardMask, diff);
  return diff;
}

}  // namespace tarv
