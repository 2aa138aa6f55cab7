// The object behind tarv_runtime_*: it owns three cameras' run state, its own engine (reached
// only through the engine's C interface), the motion history and state, the report recorder,
// the options and the text of the last reply. One host thread sends commands; other host
// threads may read previews at the same time (runtime_preview.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/camera/camera_model.h"
#include "tarv/reports/report_recorder.h"
#include "tarv/runtime/calibration_workflow.h"
#include "tarv/runtime/engine_bridge.h"
#include "tarv/runtime/motion_history.h"
#include "tarv/runtime/motion_state.h"
#include "tarv/runtime/poll_timing.h"

namespace tarv {

using json = nlohmann::json;

// What the preview exports may read, published whole under a lock by the command thread after
// every command, so a preview never sees a half-replaced option, lens map or image.
struct PreviewView {
  bool running = false;
  int32_t width = 0;
  int32_t height = 0;
  std::array<int32_t, 3> frameNumbers{};
  std::array<double, 3> frameTimes{};
  std::array<cv::Mat, 3> previews;  // quarter-size BGR, owned by this view
  bool hasOptions = false;
  json calibrations;
  json ringRadii;
  std::array<std::shared_ptr<const LensMaps>, 3> lens;
};

struct Runtime {
  explicit Runtime(const EngineTable& engineTable = exportedEngine());
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  const EngineTable* engines;
  ThreadStarter startThread = startPlainThread;
  void* engine = nullptr;

  bool running = false;
  bool settled = false;
  bool handFlag = false;
  bool setupOnly = false;
  bool startupPending = false;
  bool restartCheck = false;
  bool resetPending = false;
  bool savedCalibrationEditing = false;
  json confirmedCalibration = json::object();
  CalibrationWorkflow calibration;
  double confirmedUntil = -1.0;

  std::array<std::shared_ptr<const LensMaps>, 3> lensMaps;
  int32_t width = 0;
  int32_t height = 0;
  int32_t fps = 0;

  int32_t quietFrames = 0;
  int32_t relaxedQuietFrames = 0;
  int32_t epoch = 0;
  int32_t startupPolls = 0;
  double spread = 0.0;
  std::array<double, 3> motionFractions{};
  int32_t coreCalls = 0;
  int32_t idleChecks = 0;
  int32_t idleChanged = 0;
  double coreMs = 0.0;
  double perfStart = 0.0;

  std::atomic<double> frameRate{30.0};
  std::atomic<double> settleSeconds{0.2};
  FrameRateEstimator estimator;

  std::array<int32_t, 3> frameNumbers{};
  std::array<int32_t, 3> previousFrameNumbers{};
  std::array<double, 3> frameTimes{};
  std::array<double, 3> detectionHeights{};
  std::array<int32_t, 3> motionPixels{};
  std::array<bool, 3> cameraOpened{};

  std::array<cv::Mat, 3> previewImages;
  std::array<cv::Mat, 3> previewMasks;
  std::array<cv::Mat, 3> boardMasks;
  std::array<cv::Mat, 3> watchMasks;
  std::array<cv::Mat, 3> surroundMasks;
  std::array<cv::Mat, 3> idleReferences;

  double lastDetectTime = -1e30;
  double lastIdleCheck = -1e30;
  double lastActivityTime = -1e30;
  double waitStart = -1.0;
  bool idleUnchanged = false;
  double historyWindowEnd = -1e30;
  double historyWindowStart = -1e30;

  MotionHistory history;
  MotionState motion;
  ReportRecorder recorder{536870912ULL, 150994944ULL, 67108864ULL};

  json options;
  json lastResult = json::object();
  json pendingResult = json::object();
  std::string reply;

  std::mutex previewMutex;
  PreviewView published;
};

// One command; the reply text stays valid until the next call on this runtime.
const char* runtimeCall(Runtime& runtime, const char* request);
// Runs one command and returns its reply document (errors as {"error": message}).
json dispatchRuntimeCommand(Runtime& runtime, const json& request);

json startRuntime(Runtime& runtime, const json& config);
// The keys of a start configuration that a prepared saved-calibration start is compared by:
// the fourteen keys, each the configuration's value or null.
json startConfigSignature(const json& config);
json startPreview(Runtime& runtime, const json& config);
json restartCapture(Runtime& runtime);
json beginUserReset(Runtime& runtime, const json& request);
void stopRuntime(Runtime& runtime) noexcept;
json pollRuntime(Runtime& runtime);
json buildScoringScope(const Runtime& runtime);
json updateSurroundConfig(Runtime& runtime, const json& request);

// Opens the three cameras at once; throws prefix + index when one cannot be opened, and
// "CAMERA_IN_USE_" + index, leaving that camera alone, when another owner holds it.
void openCameras(Runtime& runtime, const json& config, const std::string& prefix);
// Starts the motion-history thread on the runtime's cameras.
void startMotionRecording(Runtime& runtime);
// Copies what the preview exports read into the published view.
void publishPreviewView(Runtime& runtime);

// The 3x3 matrix of a calibration entry; nothing unless it is 3 rows of 3 finite numbers
// with |det| >= 1e-12.
bool readCalibration(const json& value, Homography& out);
// Three valid calibrations in an engine reply (a realigned camera, a calibration carried onto
// new references) replace the ones every later review and preview draws with and the runtime
// reports; false, and nothing replaced, unless there are three valid matrices. The motion
// regions drawn at the start stay: the motion thread reads them unlocked.
bool takeEngineCalibrations(Runtime& rt, const json& reply);
// Same size, same type and not one pixel value apart.
bool sameImage(const cv::Mat& a, const cv::Mat& b);

}  // namespace tarv
