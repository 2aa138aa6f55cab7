#include "tarv/core/round.h"

#include <opencv2/core.hpp>

namespace tarv {

void beginTakeout(Round& round) {
  round.recovery = true;
  round.takeout = true;
  round.allowResume = false;
  round.recoveryTimer = -1.0;
  round.lastRecoveryReply = nullptr;
  round.heldEventRecord = nullptr;
}

void resetFrameHistory(Round& round) {
  round.frameHistory.clear();
  for (cv::Mat& frame : round.heldFrames) frame.release();
  round.historyRecord1 = nullptr;
  round.historyRecord2 = nullptr;
  round.historyTime = -1.0;
}

void forgetIncomingFrames(Round& round) { round.incomingFrames.clear(); }

std::vector<cv::Mat> intakeFrames(Round& round, const std::vector<cv::Mat>& frames) {
  if (&frames != &round.incomingFrames) round.incomingFrames = frames;
  std::vector<cv::Mat> result = round.incomingFrames;
  for (size_t i = 0; i < result.size(); ++i) {
    const cv::Mat& table = round.inputLut[i % 3];
    if (!table.empty() && result[i].type() == CV_8UC3) {
      cv::Mat mapped;
      cv::LUT(result[i], table, mapped);
      result[i] = mapped;
    }
  }
  return result;
}

}  // namespace tarv
