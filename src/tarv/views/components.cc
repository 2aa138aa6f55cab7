#include "tarv/views/components.h"

#include <vector>

#include <opencv2/imgproc.hpp>

namespace tarv {

cv::Mat componentsTouching(const cv::Mat& mask, const cv::Mat& region) {
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8UC1);
  if (mask.empty() || region.size() != mask.size() || cv::countNonZero(mask) == 0) return out;
  cv::Mat labels;
  const int count = cv::connectedComponents(mask, labels, 8, CV_32S);
  std::vector<uchar> touching(count, 0);
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* r = region.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (l[x] > 0 && r[x]) touching[l[x]] = 1;
    }
  }
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (l[x] > 0 && touching[l[x]]) o[x] = 255;
    }
  }
  return out;
}

cv::Mat isolateComponentsAtBoardPoint(const cv::Mat& mask, const Homography& boardToImage,
                                      Point2 pointMm, bool keepWhole) {
  Homography h = boardToImage;
  // The disc round the point is the board disc of a homography moved to the point.
  for (int r = 0; r < 3; ++r) h[r * 3 + 2] += h[r * 3] * pointMm.x + h[r * 3 + 1] * pointMm.y;
  const cv::Mat disc = getBoardRegionMask(mask.size(), h, 20.0);
  if (!keepWhole) {
    cv::Mat inside;
    cv::bitwise_and(mask, disc, inside);
    return componentsTouching(inside, disc);
  }
  return componentsTouching(mask, disc);
}

cv::Mat keepComponentsInBoardRegion(const cv::Mat& mask, const Homography& boardToImage,
                                    const cv::Mat& extraRegion, double radiusMm) {
  cv::Mat region = getBoardRegionMask(mask.size(), boardToImage, radiusMm);
  if (extraRegion.size() == region.size()) cv::bitwise_or(region, extraRegion, region);
  return componentsTouching(mask, region);
}

}  // namespace tarv
