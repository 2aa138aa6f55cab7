#include "tarv/views/components.h"

#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {

cv::Mat componentsTouching(const cv::Mat& mask, const cv::Mat& region) {
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8UC1);
  if (mask.empty() || region.size() != mask.size()) return out;
  // Every component lies inside the box round the set pixels: a dart's change is labelled
  // there, not over the whole frame.
  const cv::Rect box = maskBox(mask);
  if (box.area() == 0) return out;
  const cv::Mat inside = mask(box);
  const cv::Mat regionInside = region(box);
  cv::Mat labels;
  const int count = cv::connectedComponents(inside, labels, 8, CV_32S);
  std::vector<uchar> touching(count, 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* r = regionInside.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] > 0 && r[x]) touching[l[x]] = 1;
    }
  }
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y + box.y) + box.x;
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] > 0 && touching[l[x]]) o[x] = 255;
    }
  }
  return out;
}

cv::Mat componentsReaching(const cv::Mat& mask, const cv::Mat& region, int gapPx) {
  return piecesReaching(mask, componentsTouching(mask, region), gapPx);
}

cv::Mat piecesReaching(const cv::Mat& mask, const cv::Mat& keptPieces, int gapPx) {
  if (gapPx <= 0 || cv::countNonZero(keptPieces) == cv::countNonZero(mask)) return keptPieces;
  // Pieces closer than the gap grow into one: each grows by half the gap, within the box round
  // the change and room for that growth.
  const int grow = (gapPx + 1) / 2;
  const cv::Rect found = maskBox(mask);
  const cv::Rect box = cv::Rect(found.x - grow, found.y - grow, found.width + 2 * grow, found.height + 2 * grow) &
                       cv::Rect(0, 0, mask.cols, mask.rows);
  cv::Mat linked;
  cv::dilate(mask(box), linked, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * grow + 1, 2 * grow + 1)));
  // Only what was kept links to the region: a piece that merely grows into it does not.
  cv::Mat reached = componentsTouching(linked, keptPieces(box));
  cv::bitwise_and(reached, mask(box), reached);
  cv::Mat kept = keptPieces.clone();
  reached.copyTo(kept(box), reached);
  return kept;
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
