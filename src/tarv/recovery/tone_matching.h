// Keeps each camera's frames comparable with its reference images when only the light has
// changed: a learned per-camera input table, and the renewal of the references after a
// change of light with the dart areas re-lit rather than replaced.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Whether the frame differs from the reference only by a global tone change. Returns the image
// the caller should use and sets matched only when a tone match was accepted; stores or clears
// the camera's input table. force skips the contrast shortcut and the saturation rule.
// Throws "INVALID_DETECTION_SCALE".
cv::Mat toneMatchToReference(Round& round, int camera, const cv::Mat& frame,
                             const cv::Mat& reference, const cv::Mat& extraMask, bool& matched,
                             bool force);

// Renews the references and background frames of all three cameras from the frames (as the
// caller holds them, table-mapped); sizeImages give the size of an empty dart mask.
void refreshCameraBackgrounds(Round& round, const std::vector<cv::Mat>& frames,
                              const std::vector<cv::Mat>& sizeImages);

// The camera's empty reference in the light of the frame: the frame itself, except where the
// darts stand and where the background frame differs from the empty reference, where the old
// empty reference is re-lit by what the light did around them (fitted locally, so a light
// that changed on one part of the board is carried there only).
cv::Mat emptyReferenceInNewLight(const Camera& camera, const cv::Mat& frame, const cv::Mat& dartMask);

// The old reference re-lit by the change from the last frame to the new frame, fitted in
// windows weighted by the mask; empty when the images do not fit together.
cv::Mat relightReference(const cv::Mat& oldReference, const cv::Mat& lastFrame,
                         const cv::Mat& newFrame, const cv::Mat& weightMask);

// The same by per-channel histogram matching; empty when the images do not fit together or a
// table cannot be built.
cv::Mat relightByHistogram(const cv::Mat& oldReference, const cv::Mat& lastFrame,
                           const cv::Mat& newFrame, const cv::Mat& mask);

// Unnormalised k x k box sum as a 32-bit float image, zeros beyond the border.
cv::Mat boxSum(const cv::Mat& image, int kernelSize);

}  // namespace tarv
