#include "tarv/recovery/camera_realignment.h"

#include <memory>

#include <opencv2/imgproc.hpp>

#include "tarv/core/camera_worker_pool.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kThrottleSeconds = 0.5;
constexpr double kMovementLimitPx = 1.5;
constexpr double kResidualLimitPx = 1.5;

cv::Matx33d matrixOf(const Homography& h) { return cv::Matx33d(h.data()); }

Homography leftMultiply(const Homography& t, const Homography& h) {
  const cv::Matx33d m = matrixOf(t) * matrixOf(h);
  Homography out{};
  for (int i = 0; i < 9; ++i) out[i] = m.val[i];
  return out;
}

std::array<double, 3> leftMultiply(const Homography& t, const std::array<double, 3>& p) {
  const cv::Vec3d v = matrixOf(t) * cv::Vec3d(p[0], p[1], p[2]);
  return {v[0], v[1], v[2]};
}

// The current frame in the stored image's channel count, as the backdrop of a warp.
cv::Mat backdropFor(const cv::Mat& stored, const cv::Mat& frame, cv::Size size) {
  cv::Mat base;
  if (!frame.empty() && frame.size() == size && frame.depth() == stored.depth()) {
    if (frame.channels() == stored.channels()) {
      base = frame.clone();
    } else if (stored.channels() == 1 && frame.channels() == 3) {
      cv::cvtColor(frame, base, cv::COLOR_BGR2GRAY);
    } else if (stored.channels() == 3 && frame.channels() == 1) {
      cv::cvtColor(frame, base, cv::COLOR_GRAY2BGR);
    }
  }
  if (base.empty()) base = cv::Mat::zeros(size, stored.type());
  return base;
}

bool isThrottled(double last, double now) {
  return last >= 0.0 && now >= last && now - last < kThrottleSeconds;
}

// The evaluation keeps its masks at the analysis' reduced size: the move is scaled to it, so a
// settling dart is still compared with a mask of its own size after the camera moved.
cv::Mat warpReducedMask(const cv::Mat& mask, const Homography& t, cv::Size size) {
  if (mask.empty() || mask.size() == size || size.width <= 0) return warpMaskNearest(mask, t, size);
  const double s = static_cast<double>(mask.cols) / size.width;
  const cv::Matx33d scale(s, 0, 0, 0, s, 0, 0, 0, 1);
  const cv::Matx33d moved = scale * cv::Matx33d(matrixOf(t)) * scale.inv();
  Homography reduced{};
  for (int k = 0; k < 9; ++k) reduced[k] = moved.val[k];
  return warpMaskNearest(mask, reduced, mask.size());
}

void rebuildBoardFeatures(Camera& camera) {
  camera.features = BoardFeatures{};
  camera.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);
}

// What the round keeps about camera c beside the camera record, moved onto the new view or,
// where it stands for a picture that no longer exists, dropped.
void moveRoundState(Round& round, int c, const cv::Mat& frame, const Homography& t, cv::Size size) {
  for (ImageTriple& masks : round.knownDartMasks) masks[c] = warpMaskNearest(masks[c], t, size);
  round.scopeMasks[c] = warpMaskNearest(round.scopeMasks[c], t, size);
  round.evaluationMasks[c] = warpReducedMask(round.evaluationMasks[c], t, size);
  round.probeChangeMasks[c] = warpMaskNearest(round.probeChangeMasks[c], t, size);
  round.dartReferenceCopies[c] = warpImageOverFrame(round.dartReferenceCopies[c], frame, t, size);
  round.referenceChangeMaskCopies[c] = warpMaskNearest(round.referenceChangeMaskCopies[c], t, size);
  round.previousReferences[c] = warpImageOverFrame(round.previousReferences[c], frame, t, size);
  round.callStartFrames[c] = warpImageOverFrame(round.callStartFrames[c], frame, t, size);
  round.callStartGreys[c] = warpMaskNearest(round.callStartGreys[c], t, size);

  // Static-shift and stable-flow evidence was gathered on the old picture: it starts afresh.
  round.staticShiftMasks[c].release();
  round.staticShiftGreys[c].release();
  round.staticShiftTime = -1.0;
  round.stableFlowMasks[c].release();
  round.stableFlowGreys[c].release();
  round.stableFlowTime = -1.0;

  resetFrameHistory(round);
  round.pendingTransient = nullptr;
  round.pendingSince = -1.0;
  round.tipSampling = nullptr;
  for (cv::Mat& f : round.tipSamplingFrames) f.release();
  round.cameraSeries[c].clear();
}

}  // namespace

cv::Mat warpImageOverFrame(const cv::Mat& stored, const cv::Mat& frame, const Homography& transform,
                           cv::Size size) {
  if (stored.empty()) return cv::Mat();
  cv::Mat out = backdropFor(stored, frame, size);
  cv::warpPerspective(stored, out, cv::Mat(matrixOf(transform)), size, cv::INTER_LINEAR,
                      cv::BORDER_TRANSPARENT);
  return out;
}

cv::Mat warpMaskNearest(const cv::Mat& mask, const Homography& transform, cv::Size size) {
  if (mask.empty()) return cv::Mat();
  cv::Mat out;
  cv::warpPerspective(mask, out, cv::Mat(matrixOf(transform)), size, cv::INTER_NEAREST,
                      cv::BORDER_CONSTANT, cv::Scalar(0));
  return out;
}

void applyCameraRealignment(Round& round, int c, const cv::Mat& frame, const Homography& transform) {
  Camera& camera = round.cameras.at(c);
  const cv::Size size = camera.emptyReference.size();

  const bool shared = !camera.backgroundFrame.empty() &&
                      camera.backgroundFrame.data == camera.emptyReferenceColour.data;
  camera.emptyReferenceColour = warpImageOverFrame(camera.emptyReferenceColour, frame, transform, size);
  camera.backgroundFrame = shared ? camera.emptyReferenceColour
                                  : warpImageOverFrame(camera.backgroundFrame, frame, transform, size);
  // toGray shares a grey image's pixels; the references must not share the colour image's.
  camera.emptyReference = camera.emptyReferenceColour.channels() > 1
                              ? toGray(camera.emptyReferenceColour)
                              : camera.emptyReferenceColour.clone();
  if (shared) {
    camera.dartReference = camera.emptyReference;
  } else {
    camera.dartReference = camera.backgroundFrame.channels() > 1 ? toGray(camera.backgroundFrame)
                                                                 : camera.backgroundFrame.clone();
  }
  camera.referenceChangeMask = warpMaskNearest(camera.referenceChangeMask, transform, size);
  if (camera.referenceChangeMask.empty()) camera.referenceChangeMask = cv::Mat::zeros(size, CV_8UC1);
  camera.residualMask.release();
  camera.reducedReferences = {};

  camera.boardToImage = leftMultiply(transform, camera.boardToImage);
  camera.imageNormal = leftMultiply(transform, camera.imageNormal);
  rebuildBoardFeatures(camera);

  camera.surroundMotion = std::make_shared<SurroundMotion>();
  camera.record = json::object();
  camera.referencesRealigned = true;

  moveRoundState(round, c, frame, transform, size);
}

void rebaseCameraReferences(Round& round, int c, const Homography& transform) {
  Camera& camera = round.cameras.at(c);
  camera.boardToImage = leftMultiply(transform, camera.boardToImage);
  camera.imageNormal = leftMultiply(transform, camera.imageNormal);
  camera.emptyReferenceColour = camera.backgroundFrame;
  camera.emptyReference = camera.dartReference;
  camera.referenceChangeMask = freshZeroMask(camera.emptyReference.size());
  rebuildBoardFeatures(camera);
  camera.surroundMotion = std::make_shared<SurroundMotion>();
  camera.referencesRealigned = false;
  round.cameraSeries[c].clear();
}

std::array<json, 3> Round::realignCameras(const std::array<bool, 3>& flags,
                                          const std::vector<cv::Mat>& frames, double now) {
  std::array<json, 3> result{};
  std::array<bool, 3> measure{false, false, false};
  for (int c = 0; c < 3; ++c) {
    if (!flags[c]) continue;
    if (isThrottled(trackLossTime[c], now)) {
      result[c] = json{{"accepted", false}, {"reason", "THROTTLED"}};
      continue;
    }
    trackLossTime[c] = now;
    measure[c] = true;
  }
  if (!measure[0] && !measure[1] && !measure[2]) return result;

  auto realignJob = [this, &measure, &frames](int c) {
    RealignmentMeasured measured;
    if (!measure[c]) return measured;
    measured.accepted = measureRealignment(cameras[c], frames.at(c), measured.transform,
                                           measured.report, kMovementLimitPx, kResidualLimitPx);
    return measured;
  };
  const std::array<RealignmentMeasured, 3> records = runOnCameraWorkers(realignJob);

  for (int c = 0; c < 3; ++c) {
    if (!measure[c]) continue;
    if (records[c].accepted) applyCameraRealignment(*this, c, frames.at(c), records[c].transform);
    result[c] = records[c].report;
  }
  return result;
}

}  // namespace tarv
