#include "tarv/capture/motion_measures.h"

#include <algorithm>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tarv {

int32_t measureMotionPixels(const cv::Mat& a, const cv::Mat& b) {
  if (a.rows != b.rows || a.cols != b.cols) return -1;
  if (cv::norm(a, b, cv::NORM_INF) <= 16) return 0;
  cv::Mat d;
  cv::absdiff(a, b, d);
  cv::medianBlur(d, d, 5);
  cv::threshold(d, d, 16, 255, cv::THRESH_BINARY);
  const int rowBorder = std::min(d.rows, 8);
  const int colBorder = std::min(d.cols, 8);
  d.rowRange(0, rowBorder).setTo(0);
  d.rowRange(d.rows - rowBorder, d.rows).setTo(0);
  d.colRange(0, colBorder).setTo(0);
  d.colRange(d.cols - colBorder, d.cols).setTo(0);
  if (cv::countNonZero(d) < 24) return 0;
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(d, labels, stats, centroids, 8, CV_32S);
  int32_t area = 0;
  for (int i = 1; i < count; ++i) {
    const int blob = stats.at<int>(i, cv::CC_STAT_AREA);
    if (blob >= 24) area += blob;
  }
  return area;
}

cv::Mat buildMotionMask(const cv::Mat& previous, const cv::Mat& current, double min_area) {
  cv::Mat d;
  cv::absdiff(previous, current, d);
  cv::cvtColor(d, d, cv::COLOR_BGR2GRAY);
  const int border = std::min(d.rows, 5);
  d.rowRange(0, border).setTo(0);
  d.rowRange(d.rows - border, d.rows).setTo(0);
  cv::Mat mask;
  cv::medianBlur(d, mask, 3);
  cv::threshold(mask, mask, 16, 255, cv::THRESH_BINARY);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask.clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  for (std::size_t i = 0; i < contours.size(); ++i) {
    if (cv::contourArea(contours[i]) < min_area) {
      cv::drawContours(mask, contours, static_cast<int>(i), cv::Scalar(0), cv::FILLED, cv::LINE_8);
    }
  }
  return mask;
}

}  // namespace tarv
