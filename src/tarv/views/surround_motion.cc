#include "tarv/views/surround_motion.h"

#include <opencv2/imgproc.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {

void recordSurroundMotion(SurroundMotion& motion, const cv::Mat& frame, const Homography& boardToImage,
                          double now) {
  if (frame.empty()) return;
  cv::Mat grey = toGray(frame);
  // The record outlives the call: never a header on the caller's pixels.
  if (grey.data == frame.data) grey = grey.clone();
  cv::Mat& previous = motion.images[0];
  const bool continues = !previous.empty() && previous.size() == grey.size() && previous.type() == grey.type() &&
                         motion.time >= 0.0 && now > motion.time && now - motion.time <= kSurroundMotionGapS;
  cv::Mat moved;
  if (continues) {
    moved = nativeDifferenceMask(previous, grey);
    moved.setTo(0, sharedBoardRegionMask(grey.size(), boardToImage, kSurroundRadiusMm));
  } else {
    moved = freshZeroMask(grey.size());
  }
  for (int i = 1; i <= 3; ++i) {
    if (!continues || motion.images[i].size() != grey.size()) motion.images[i] = freshZeroMask(grey.size());
  }
  motion.images[3] = motion.images[2];
  motion.images[2] = motion.images[1];
  motion.images[1] = moved;
  cv::Mat recent;
  cv::bitwise_or(moved, motion.images[2], recent);
  cv::bitwise_or(recent, motion.images[3], recent);
  motion.images[4] = recent;
  previous = grey;
  motion.time = now;
}

}  // namespace tarv
