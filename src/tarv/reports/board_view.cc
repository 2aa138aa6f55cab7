#include "tarv/reports/board_view.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace tarv {

const cv::Scalar kViewBackground(18, 16, 12);

namespace {

const cv::Scalar kRingColour(60, 60, 255);
constexpr double kPi = 3.14159265358979323846;
// Far beyond any image the library draws on, and far inside int.
constexpr double kPixelLimit = 1.0e6;

cv::Matx33d toMatx(const Homography& h) {
  return cv::Matx33d(h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]);
}

bool mapPoint(const Homography& h, double x, double y, cv::Point& pixel) {
  const double w = h[6] * x + h[7] * y + h[8];
  if (!std::isfinite(w) || w == 0.0) return false;
  return toPixel((h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w, pixel);
}

}  // namespace

bool toPixel(double x, double y, cv::Point& pixel) {
  if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > kPixelLimit ||
      std::fabs(y) > kPixelLimit) {
    return false;
  }
  pixel = cv::Point(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)));
  return true;
}

void drawBoardRingsAndWires(cv::Mat& target, const Homography& boardToTarget,
                            const cv::Scalar& colour, const std::vector<double>& ringRadiiMm) {
  for (const double r : ringRadiiMm) {
    std::vector<cv::Point> ring;
    ring.reserve(180);
    for (int i = 0; i < 180; ++i) {
      const double a = i * 2.0 * kPi / 180.0;
      cv::Point p;
      if (!mapPoint(boardToTarget, r * std::cos(a), r * std::sin(a), p)) {
        ring.clear();
        break;
      }
      ring.push_back(p);
    }
    if (!ring.empty()) cv::polylines(target, ring, true, colour, 1, cv::LINE_AA);
  }
  const double inner = ringRadiiMm.size() >= 2 ? ringRadiiMm[1] : 16.0;
  const double outer = ringRadiiMm.empty() ? 170.0 : ringRadiiMm.back();
  for (int k = 0; k < 20; ++k) {
    const double a = (9.0 + 18.0 * k) * kPi / 180.0;
    cv::Point from, to;
    if (mapPoint(boardToTarget, inner * std::cos(a), inner * std::sin(a), from) &&
        mapPoint(boardToTarget, outer * std::cos(a), outer * std::sin(a), to)) {
      cv::line(target, from, to, colour, 1, cv::LINE_AA);
    }
  }
}

cv::Mat renderBoardView(const cv::Mat& image, const Homography& boardToImage, int side,
                        const std::vector<double>& ringRadiiMm) {
  cv::Mat view(side, side, CV_8UC3, kViewBackground);
  if (image.empty()) return view;
  if (!std::all_of(boardToImage.begin(), boardToImage.end(),
                   [](double v) { return std::isfinite(v); })) {
    return view;
  }
  const cv::Matx33d h = toMatx(boardToImage);
  const double det = cv::determinant(h);
  if (!std::isfinite(det) || std::fabs(det) < 1e-12) return view;
  const double s = side / 400.0;
  const double c = side * 0.5;
  const cv::Matx33d v(s, 0, c, 0, s, c, 0, 0, 1);
  const cv::Matx33d inverse = h.inv(cv::DECOMP_LU);
  cv::warpPerspective(image, view, cv::Mat(v * inverse), view.size(), cv::INTER_LINEAR,
                      cv::BORDER_CONSTANT, kViewBackground);
  drawBoardRingsAndWires(view, {s, 0, c, 0, s, c, 0, 0, 1}, kRingColour, ringRadiiMm);
  return view;
}

cv::Mat frameDifferenceMask(const cv::Mat& currentBgr, const cv::Mat& currentGrey,
                            const cv::Mat& comparisonBgr) {
  if (comparisonBgr.empty() || comparisonBgr.size() != currentBgr.size()) {
    return cv::Mat::zeros(currentBgr.size(), CV_8UC1);
  }
  cv::Mat grey, difference, mask;
  cv::cvtColor(comparisonBgr, grey, cv::COLOR_BGR2GRAY);
  cv::absdiff(grey, currentGrey, difference);
  cv::medianBlur(difference, difference, 5);
  cv::threshold(difference, mask, 24, 255, cv::THRESH_BINARY);
  return mask;
}

cv::Mat renderChangeOverlay(const cv::Mat& frame, const cv::Mat& first, const cv::Mat& second,
                            double x, double y) {
  cv::Mat grey, out;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, out, cv::COLOR_GRAY2BGR);
  out.convertTo(out, -1, 0.6);
  const cv::Mat a = frameDifferenceMask(frame, grey, first);
  const cv::Mat b = frameDifferenceMask(frame, grey, second);

  cv::Mat selection = cv::Mat::zeros(frame.size(), CV_8UC1);
  cv::Point point;
  if (x >= 0.0 && y >= 0.0 && toPixel(std::trunc(x), std::trunc(y), point)) {
    cv::Mat labels;
    cv::connectedComponents(a, labels, 8, CV_32S);
    const int r = std::max(frame.rows / 60, 6);
    const cv::Rect square =
        cv::Rect(point.x - r, point.y - r, 2 * r + 1, 2 * r + 1) & cv::Rect(0, 0, frame.cols, frame.rows);
    std::vector<int> chosen;
    for (int row = square.y; row < square.y + square.height; ++row) {
      const int* line = labels.ptr<int>(row);
      for (int col = square.x; col < square.x + square.width; ++col) {
        if (line[col] != 0) chosen.push_back(line[col]);
      }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    for (int row = 0; row < labels.rows && !chosen.empty(); ++row) {
      const int* line = labels.ptr<int>(row);
      uchar* selected = selection.ptr<uchar>(row);
      for (int col = 0; col < labels.cols; ++col) {
        if (line[col] != 0 && std::binary_search(chosen.begin(), chosen.end(), line[col])) {
          selected[col] = 255;
        }
      }
    }
  }
  out.setTo(cv::Scalar(0, 210, 255), b & ~a);
  out.setTo(cv::Scalar(40, 40, 230), a & ~selection);
  out.setTo(cv::Scalar(60, 220, 60), selection);
  return out;
}

}  // namespace tarv
