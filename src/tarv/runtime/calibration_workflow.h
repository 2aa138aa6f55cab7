// What the calibration commands keep between calls: the frozen reference frames, the
// per-camera calibration records, the folder they are written into, the manual editor and
// the user's pending empty-board confirmation.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/landmark_model.h"

namespace tarv {

struct CalibrationWorkflow {
  std::array<cv::Mat, 3> frozen;
  nlohmann::json records = nlohmann::json::array({nullptr, nullptr, nullptr});
  std::string folder;
  bool automaticSafe = false;
  std::array<double, 3> lastQuickTimes{-1.0, -1.0, -1.0};
  // The overlay images this runtime wrote, oldest first: the only files it ever deletes.
  // One handed out in a calibration result leaves the list: the host may hold it for good.
  std::vector<std::string> overlaysWritten;

  int32_t editorCamera = -1;
  nlohmann::json editorBase;
  nlohmann::json editorPending;

  std::unique_ptr<LandmarkModel> landmarkModel;
  std::string modelPath;  // empty: the file beside the library

  std::string pendingEmptyFolder;
  double emptyRequestTime = 0.0;
};

inline void closeCalibrationEditor(CalibrationWorkflow& w) {
  w.editorCamera = -1;
  w.editorPending = nullptr;
}

}  // namespace tarv
