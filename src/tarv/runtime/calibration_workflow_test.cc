// The calibration commands as a host sends them: references from rendered still cameras, the
// automatic calibration (a scripted landmark network that sees what each rendered camera
// shows), the click on the 20, the four-point editor, the result started as a scoring run.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "scene/camera_rig.h"
#include "scene/scene.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/runtime/runtime.h"
#include "tarv/runtime/runtime_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

json call(void* runtime, const json& request) {
  return json::parse(tarv_runtime_call(runtime, request.dump().c_str()));
}

std::string resultStatus(const json& poll) {
  const json result = poll.value("result", json::object());
  return result.is_object() ? result.value("status", "") : "";
}

// The rendered cameras of the test videos, each with a network scripted to see it.
LandmarkModel scriptedModelFor(int camera) {
  static const scene::Renderer renderer(scene::defaultRig({800, 600}), 1);
  int crossings = 0;
  int anchors = 0;
  const auto values = testing::scriptedLandmarkOutput(renderer.cameras().at(camera), {}, &crossings, &anchors);
  return testing::constantModel({1, 26, anchors}, values);
}

void useModel(void* runtime, int camera) {
  static_cast<Runtime*>(runtime)->calibration.landmarkModel =
      std::make_unique<LandmarkModel>(scriptedModelFor(camera));
}

// Each reference image alone in a folder: a still camera of the empty board.
json stillDevices() {
  static const json devices = [] {
    json names = json::array();
    for (const char* letter : {"a", "b", "c"}) {
      const std::string name = testing::scratchFolder(std::string("cal-still-") + letter) + "/still-1.png";
      fs::copy_file(testing::oneDartVideos().references[names.size()], name);
      names.push_back(name);
    }
    return names;
  }();
  return devices;
}

std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

size_t filesStarting(const std::string& folder, const std::string& prefix) {
  size_t n = 0;
  for (const auto& entry : fs::directory_iterator(folder)) n += entry.path().filename().string().rfind(prefix, 0) == 0;
  return n;
}

// Polls the preview until the snapshot finds a quiet board.
json snapshotWhenQuiet(void* rt, const std::string& folder) {
  json reply;
  for (int i = 0; i < 200; ++i) {
    call(rt, {{"command", "poll"}});
    reply = call(rt, {{"command", "calibration_snapshot"}, {"folder", folder}});
    if (reply.value("status", "") == "CALIBRATION_FROZEN") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  return reply;
}

json savedConfig(const std::string& folderOfReferences = "") {
  const auto& videos = testing::oneDartVideos();
  json config = testing::startConfig(videos);
  if (!folderOfReferences.empty()) {
    for (int i = 0; i < 3; ++i) {
      config["references"][i] = folderOfReferences + "/CAM_" + std::to_string(i + 1) + ".png";
    }
  }
  return config;
}

TEST(CalibrationWorkflow, WholeSetUpOnRenderedCamerasScoresADart) {
  const auto& videos = testing::oneDartVideos();
  const std::string folder = testing::scratchFolder("setup");
  void* rt = tarv_runtime_create();
  json preview = testing::startConfig(videos);
  preview["devices"] = stillDevices();
  ASSERT_EQ(call(rt, {{"command", "preview_start"}, {"config", preview}}).value("status", ""), "PREVIEW_STARTED");

  const json frozen = snapshotWhenQuiet(rt, folder);
  ASSERT_EQ(frozen.value("status", ""), "CALIBRATION_FROZEN") << frozen.dump();
  EXPECT_EQ(frozen["references"][2].get<std::string>(), (fs::path(folder) / "CAM_3.png").string());
  EXPECT_EQ(frozen.value("width", 0), 800);

  for (int camera = 0; camera < 3; ++camera) {
    useModel(rt, camera);
    const json automatic = call(rt, {{"command", "calibrate"}, {"camera", camera}});
    ASSERT_TRUE(automatic["calibration"].value("geometry_valid", false)) << automatic.dump().substr(0, 600);
    EXPECT_EQ(fs::path(automatic["calibration"].value("overlay", "")).filename().string().rfind(
                  "overlay-" + std::to_string(camera) + "-", 0),
              0u);
    EXPECT_TRUE(fs::exists(automatic["calibration"].value("overlay", "")));

    // The user clicks on the 20 where the calibration itself puts it.
    const json twenty = automatic["calibration"]["twenty_px"];
    const json clicked = call(rt, {{"command", "calibrate"},
                                   {"camera", camera},
                                   {"x", twenty[0].get<double>() / 800.0},
                                   {"y", twenty[1].get<double>() / 600.0}});
    ASSERT_TRUE(clicked["calibration"].value("accepted", false)) << clicked.dump().substr(0, 600);
  }

  // Camera 2 is drawn again by four points: the proposed ones, reviewed and committed.
  const json begun = call(rt, {{"command", "manual_calibration"}, {"action", "begin"}, {"camera", 1}});
  ASSERT_TRUE(begun.contains("points")) << begun.dump();
  EXPECT_TRUE(begun.value("lens_preserved", false));
  EXPECT_EQ(call(rt, {{"command", "calibration_result"}}).value("error", ""),
            "Manuelle Änderungen zuerst übernehmen oder verwerfen");
  const json previewed = call(rt, {{"command", "manual_calibration"}, {"action", "preview"}, {"points", begun["points"]}});
  ASSERT_TRUE(previewed["calibration"].value("accepted", false)) << previewed.dump().substr(0, 600);
  EXPECT_EQ(call(rt, {{"command", "manual_calibration"}, {"action", "commit"}}).value("error", ""),
            "Spinne zuerst prüfen und bestätigen");
  const json committed = call(rt, {{"command", "manual_calibration"}, {"action", "commit"}, {"reviewed", true}});
  EXPECT_EQ(committed["calibration"].value("method", ""), "MANUAL_FOUR_POINTS");

  const json result = call(rt, {{"command", "calibration_result"}});
  ASSERT_TRUE(result.contains("calibrations")) << result.dump().substr(0, 600);
  EXPECT_EQ(result.value("lens_pipeline", ""), "OPENCV_LENS_HOMOGRAPHY_V1");
  EXPECT_FALSE(result.value("automatic_safe", true));
  EXPECT_EQ(call(rt, {{"command", "stop"}}).value("status", ""), "STOPPED");

  json start = testing::startConfig(videos);
  start["calibrations"] = result["calibrations"];
  start["camera_models"] = result["camera_models"];
  start["lens_pipeline"] = result["lens_pipeline"];
  start["references"] = frozen["references"];
  const json started = call(rt, {{"command", "start"}, {"config", start}});
  ASSERT_EQ(started.value("status", ""), "CAPTURE_STARTED") << started.dump();
  const json ready = testing::pollUntil(rt, "STARTUP_READY", 6.0);
  ASSERT_EQ(resultStatus(ready), "STARTUP_READY") << ready.dump().substr(0, 1000);
  const json thrown = testing::pollUntil(rt, "DART_CANDIDATE", 8.0);
  ASSERT_EQ(thrown["result"].value("status", ""), "DART_CANDIDATE") << thrown.dump().substr(0, 2000);
  EXPECT_EQ(thrown["result"]["state"]["data"]["throws"][0]["segment"].value("name", ""), "T20");
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, SnapshotRefusalsAndTheirMessages) {
  void* rt = tarv_runtime_create();
  static_cast<Runtime*>(rt)->calibration.editorCamera = 1;
  EXPECT_EQ(call(rt, {{"command", "calibration_snapshot"}, {"folder", "x"}}).value("error", ""),
            "WAIT_FOR_THREE_QUIET_CAMERA_FRAMES");
  EXPECT_EQ(static_cast<Runtime*>(rt)->calibration.editorCamera, -1);
  EXPECT_EQ(call(rt, {{"command", "quick_snapshot"}, {"folder", "x"}}).value("error", ""),
            "EMPTY_BOARD_CONFIRMATION_REQUIRED");
  EXPECT_EQ(call(rt, {{"command", "quick_snapshot"}, {"folder", "x"}, {"empty_confirmed", true}}).value("error", ""),
            "Schnellkalibrierung benötigt ein gestartetes Board");
  EXPECT_EQ(call(rt, {{"command", "calibrate"}, {"camera", 0}}).value("error", ""), "CALIBRATION_SNAPSHOT_REQUIRED");
  EXPECT_EQ(call(rt, {{"command", "calibrate"}, {"camera", 1e30}}).value("error", ""), "CALIBRATION_SNAPSHOT_REQUIRED");
  EXPECT_EQ(call(rt, {{"command", "manual_calibration"}, {"action", "preview"}}).value("error", ""),
            "Manuellen Editor zuerst öffnen");
  EXPECT_EQ(call(rt, {{"command", "calibration_result"}}).value("error", ""), "CALIBRATION_PREVIEW_REQUIRED");
  // Without "folder" the snapshots fail on the missing text itself, before any check or file.
  for (const char* command : {"calibration_snapshot", "quick_snapshot"}) {
    const std::string error = call(rt, {{"command", command}, {"empty_confirmed", true}}).value("error", "");
    EXPECT_NE(error.find("type_error.302"), std::string::npos) << command << ": " << error;
  }

  Runtime& runtime = *static_cast<Runtime*>(rt);
  runtime.running = runtime.setupOnly = true;
  runtime.spread = 0.0125;
  runtime.motionFractions = {0.0004, 0.0031, 0.0};
  runtime.quietFrames = 2;
  runtime.relaxedQuietFrames = 7;
  EXPECT_EQ(call(rt, {{"command", "calibration_snapshot"}, {"folder", "x"}}).value("error", ""),
            "WAIT_FOR_THREE_QUIET_CAMERA_FRAMES spread_ms=12 motion_permille=0.4,3.1,0.0");
  runtime.running = runtime.setupOnly = false;
  tarv_runtime_destroy(rt);
}

// A reference in which the calibration finds nothing to fit to (a network that reports a
// board the image no longer shows, as a blurred board's edges vanish) is answered with the
// record and its reason, and the record is kept, never an error reply.
TEST(CalibrationWorkflow, ACalibrationThatFindsNoEdgesAnswersItsRecord) {
  void* rt = tarv_runtime_create();
  Runtime& runtime = *static_cast<Runtime*>(rt);
  runtime.running = runtime.setupOnly = true;
  runtime.width = 800;
  runtime.height = 600;
  runtime.calibration.folder = testing::scratchFolder("cal-no-edges");
  for (cv::Mat& frame : runtime.calibration.frozen) frame = cv::Mat(600, 800, CV_8UC3, cv::Scalar(90, 100, 110));
  useModel(rt, 0);
  const json reply = call(rt, {{"command", "calibrate"}, {"camera", 0}});
  ASSERT_FALSE(reply.contains("error")) << reply.dump();
  EXPECT_FALSE(reply["calibration"].value("accepted", true));
  EXPECT_TRUE(reply["calibration"]["report"].contains("reason"));
  EXPECT_EQ(runtime.calibration.records[0], reply["calibration"]);
  runtime.running = runtime.setupOnly = false;
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, ModelCheckPassesTheLoadersMessageOn) {
  void* rt = tarv_runtime_create();
  static_cast<Runtime*>(rt)->calibration.modelPath = "/no/such/board.tarvm";
  EXPECT_EQ(call(rt, {{"command", "calibration_model_check"}}),
            json({{"error", "Modell nicht gefunden: /no/such/board.tarvm"}}));
  tarv_runtime_destroy(rt);
}

// A saved calibration loaded for editing, without cameras.
void* savedEditor(const std::string& folder, const json& config) {
  void* rt = tarv_runtime_create();
  const json reply = call(rt, {{"command", "calibration_edit_saved"}, {"config", config}, {"folder", folder}});
  EXPECT_EQ(reply, json({{"status", "SAVED_CALIBRATION_EDITING"}, {"scoring", false}}));
  return rt;
}

TEST(CalibrationWorkflow, SavedCalibrationEditsWithoutCamerasAndKeepsFewOverlays) {
  const std::string folder = testing::scratchFolder("saved-edit");
  // The host's own files, named like overlays, are not the runtime's to delete.
  for (const char* name : {"overlay-0-5.png", "manual-2-7.png"}) std::ofstream(folder + "/" + name) << "host";
  void* rt = savedEditor(folder, savedConfig());
  const json result = call(rt, {{"command", "calibration_result"}});
  EXPECT_EQ(result["calibrations"], testing::oneDartVideos().calibrations);
  EXPECT_EQ(result["camera_models"], json({nullptr, nullptr, nullptr}));

  const json begun = call(rt, {{"command", "manual_calibration"}, {"action", "begin"}, {"camera", 2}});
  EXPECT_EQ(begun.value("raw", ""), (fs::path(folder) / "CAM_3.png").string());
  EXPECT_EQ(call(rt, {{"command", "calibrate"}, {"camera", 2}}).value("error", ""), "Manuellen Editor zuerst schließen");
  for (int i = 0; i < 5; ++i) {
    const json previewed =
        call(rt, {{"command", "manual_calibration"}, {"action", "preview"}, {"points", begun["points"]}});
    ASSERT_TRUE(fs::exists(previewed["calibration"].value("overlay", ""))) << previewed.dump().substr(0, 400);
  }
  EXPECT_EQ(filesStarting(folder, "manual-2-"), 3u);  // two kept and the host's
  EXPECT_EQ(call(rt, {{"command", "manual_calibration"}, {"action", "cancelled"}}).value("error", ""),
            "UNKNOWN_MANUAL_ACTION");
  EXPECT_EQ(call(rt, {{"command", "manual_calibration"}, {"action", "cancel"}}), json({{"cancelled", true}}));

  for (int i = 0; i < 4; ++i) {
    const json clicked = call(rt, {{"command", "calibrate"}, {"camera", 0}, {"x", 0.5}, {"y", 0.3}});
    ASSERT_TRUE(clicked.contains("calibration")) << clicked.dump().substr(0, 400);
  }
  EXPECT_EQ(filesStarting(folder, "overlay-0-"), 3u);
  EXPECT_EQ(bytesOf(folder + "/overlay-0-5.png"), "host");
  EXPECT_EQ(bytesOf(folder + "/manual-2-7.png"), "host");

  // A committed four-point calibration keeps its overlay however many previews follow.
  const json again = call(rt, {{"command", "manual_calibration"}, {"action", "begin"}, {"camera", 2}});
  call(rt, {{"command", "manual_calibration"}, {"action", "preview"}, {"points", again["points"]}});
  const json committed = call(rt, {{"command", "manual_calibration"}, {"action", "commit"}, {"reviewed", true}});
  const std::string kept = committed["calibration"].value("overlay", "");
  ASSERT_TRUE(fs::exists(kept)) << committed.dump().substr(0, 400);
  call(rt, {{"command", "manual_calibration"}, {"action", "begin"}, {"camera", 2}});
  for (int i = 0; i < 4; ++i) call(rt, {{"command", "manual_calibration"}, {"action", "preview"}, {"points", again["points"]}});
  call(rt, {{"command", "manual_calibration"}, {"action", "cancel"}});
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_EQ(call(rt, {{"command", "calibration_result"}})["reports"][2].value("overlay", ""), kept);
  EXPECT_EQ(call(rt, {{"command", "calibrate"}, {"camera", 0}, {"x", 1.0001}, {"y", 0.0}}).value("error", ""),
            "INVALID_CALIBRATION_CLICK");

  // The saved editor's view of a stored calibration, as a host shows it beside the editor.
  const std::string view = folder + "/view.png";
  const json viewed = call(rt, {{"command", "calibration_view"},
                                {"reference", folder + "/CAM_1.png"},
                                {"calibration", testing::oneDartVideos().calibrations[0]},
                                {"output", view}});
  EXPECT_EQ(viewed.value("status", ""), "CALIBRATION_VIEW_WRITTEN") << viewed.dump();
  EXPECT_FALSE(cv::imread(view).empty());
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, FailedReferenceWriteLeavesTheEarlierSetWhole) {
  const std::string folder = testing::scratchFolder("saved-set");
  void* first = savedEditor(folder, savedConfig());
  tarv_runtime_destroy(first);
  std::array<std::string, 3> before;
  for (int i = 0; i < 3; ++i) before[i] = bytesOf(folder + "/CAM_" + std::to_string(i + 1) + ".png");

  // Other references of the same size, and the second one cannot be written.
  const std::string others = testing::scratchFolder("saved-set-others");
  json config = savedConfig();
  for (int i = 0; i < 3; ++i) {
    cv::Mat image = cv::imread(config["references"][i].get<std::string>());
    image.setTo(cv::Scalar(20 * i, 40, 60));
    const std::string path = others + "/r" + std::to_string(i) + ".png";
    cv::imwrite(path, image);
    config["references"][i] = path;
  }
  fs::create_directories(folder + "/.CAM_2.writing.png/blocked");
  void* rt = tarv_runtime_create();
  EXPECT_EQ(call(rt, {{"command", "calibration_edit_saved"}, {"config", config}, {"folder", folder}}).value("error", ""),
            "CALIBRATION_SAVE_FAILED");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bytesOf(folder + "/CAM_" + std::to_string(i + 1) + ".png"), before[i]);
  EXPECT_FALSE(fs::exists(folder + "/.CAM_1.writing.png"));
  EXPECT_EQ(call(rt, {{"command", "status"}}).value("running", true), false);

  // All three written, and the second cannot take its place: the first goes back to what it was.
  fs::remove_all(folder + "/.CAM_2.writing.png");
  fs::remove(folder + "/CAM_2.png");
  fs::create_directories(folder + "/CAM_2.png/blocked");
  EXPECT_EQ(call(rt, {{"command", "calibration_edit_saved"}, {"config", config}, {"folder", folder}}).value("error", ""),
            "CALIBRATION_SAVE_FAILED");
  EXPECT_TRUE(bytesOf(folder + "/CAM_1.png") == before[0]);
  EXPECT_TRUE(bytesOf(folder + "/CAM_3.png") == before[2]);
  EXPECT_EQ(filesStarting(folder, "."), 0u);
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, AnOverlayHandedOutInAResultOutlivesLaterCalibrations) {
  const std::string folder = testing::scratchFolder("handed-out");
  void* rt = savedEditor(folder, savedConfig());
  const json clicked = call(rt, {{"command", "calibrate"}, {"camera", 0}, {"x", 0.5}, {"y", 0.3}});
  const std::string held = clicked["calibration"].value("overlay", "");
  ASSERT_TRUE(fs::exists(held)) << clicked.dump().substr(0, 400);
  const json result = call(rt, {{"command", "calibration_result"}});
  ASSERT_EQ(result["reports"][0].value("overlay", ""), held) << result.dump().substr(0, 400);

  // The user calibrates the camera again and again; the host still shows the saved result.
  for (int i = 0; i < 4; ++i) call(rt, {{"command", "calibrate"}, {"camera", 0}, {"x", 0.5}, {"y", 0.3}});
  EXPECT_TRUE(fs::exists(held));
  EXPECT_EQ(filesStarting(folder, "overlay-0-"), 3u);  // the held one and the two newest
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, SavedConfigurationLimits) {
  json config = savedConfig();
  config["width"] = 4097;
  void* rt = tarv_runtime_create();
  EXPECT_EQ(call(rt, {{"command", "calibration_edit_saved"}, {"config", config}, {"folder", "unused"}}).value("error", ""),
            "INVALID_SAVED_IMAGE_SIZE");
  for (const json& height : {json(119), json(4294967896ULL), json(600.5), json(1e300)}) {
    config = savedConfig();
    config["height"] = height;
    EXPECT_EQ(call(rt, {{"command", "calibration_edit_saved"}, {"config", config}, {"folder", "unused"}}).value("error", ""),
              "INVALID_SAVED_IMAGE_SIZE")
        << height;
  }
  // The largest size passes the size check and meets the references' own size.
  config = savedConfig();
  config["width"] = 4096;
  config["height"] = 3072;
  EXPECT_EQ(call(rt, {{"command", "calibration_edit_saved"},
                      {"config", config},
                      {"folder", testing::scratchFolder("saved-largest")}})
                .value("error", ""),
            "REFERENCE_SIZE_MISMATCH");
  config = savedConfig();
  config["calibrations"][1] = json::array({json::array({0, 0, 0}), json::array({0, 0, 0}), json::array({0, 0, 1})});
  EXPECT_EQ(call(rt, {{"command", "calibration_edit_saved"},
                      {"config", config},
                      {"folder", testing::scratchFolder("saved-limits")}})
                .value("error", ""),
            "INVALID_CALIBRATION");
  tarv_runtime_destroy(rt);
}

// Polls while repeating the confirmation until it is no longer waiting.
json confirmWhenFramesArrive(void* rt, const std::string& folder) {
  json reply;
  for (int i = 0; i < 150; ++i) {
    call(rt, {{"command", "poll"}});
    reply = call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}});
    if (reply.value("status", "") != "WAIT_CAMERA_FRAMES") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return reply;
}

void pollAWhile(void* rt) {
  for (int i = 0; i < 10; ++i) {
    call(rt, {{"command", "poll"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

// A scoring run of the still cameras, ready for the empty confirmation.
void startStills(void* rt) {
  json config = testing::startConfig(testing::oneDartVideos());
  config["devices"] = stillDevices();
  ASSERT_EQ(call(rt, {{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  const json ready = testing::pollUntil(rt, "STARTUP_READY", 6.0);
  ASSERT_EQ(resultStatus(ready), "STARTUP_READY") << ready.dump().substr(0, 1000);
}

// Polls while repeating the quick snapshot until it has taken the references.
json quickSnapshotWhenFramesArrive(void* rt, const std::string& folder) {
  json frozen = json::object();
  for (int i = 0; i < 150 && frozen.value("status", "") != "CALIBRATION_FROZEN"; ++i) {
    call(rt, {{"command", "poll"}});
    frozen = call(rt, {{"command", "quick_snapshot"}, {"folder", folder}, {"empty_confirmed", true}});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return frozen;
}

TEST(CalibrationWorkflow, AStopForgetsTheLastSessionsReadinessAndConfirmation) {
  void* rt = tarv_runtime_create();
  json preview = testing::startConfig(testing::oneDartVideos());
  preview["devices"] = stillDevices();
  ASSERT_EQ(call(rt, {{"command", "preview_start"}, {"config", preview}}).value("status", ""), "PREVIEW_STARTED");
  pollAWhile(rt);
  call(rt, {{"command", "stop"}});
  ASSERT_EQ(call(rt, {{"command", "preview_start"}, {"config", preview}}).value("status", ""), "PREVIEW_STARTED");
  // Nothing measured yet in this session.
  EXPECT_EQ(call(rt, {{"command", "calibration_snapshot"}, {"folder", testing::scratchFolder("unmeasured")}})
                .value("error", ""),
            "WAIT_FOR_THREE_QUIET_CAMERA_FRAMES spread_ms=-1000 motion_permille=-1000.0,-1000.0,-1000.0");
  call(rt, {{"command", "stop"}});

  // A confirmation armed before the stop does not complete on the first request after it.
  const std::string folder = testing::scratchFolder("confirm-stopped");
  startStills(rt);
  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}}),
            json({{"status", "WAIT_CAMERA_FRAMES"}}));
  call(rt, {{"command", "stop"}});
  startStills(rt);
  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}}),
            json({{"status", "WAIT_CAMERA_FRAMES"}}));
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, AUserResetClosesTheManualEditor) {
  void* rt = savedEditor(testing::scratchFolder("reset-editor"), savedConfig());
  const json begun = call(rt, {{"command", "manual_calibration"}, {"action", "begin"}, {"camera", 0}});
  const json previewed = call(rt, {{"command", "manual_calibration"}, {"action", "preview"}, {"points", begun["points"]}});
  ASSERT_TRUE(previewed["calibration"].value("accepted", false)) << previewed.dump().substr(0, 400);

  json config = testing::startConfig(testing::oneDartVideos());
  config["devices"] = stillDevices();
  ASSERT_EQ(call(rt, {{"command", "reset_begin"}, {"empty_confirmed", true}, {"config", config}}).value("status", ""),
            "RESETTING");
  EXPECT_EQ(call(rt, {{"command", "calibrate"}, {"camera", 0}}).value("error", ""), "CALIBRATION_SNAPSHOT_REQUIRED");

  // New references: the editor of the old ones has nothing to commit onto them.
  const std::string quick = testing::scratchFolder("reset-quick");
  const json frozen = quickSnapshotWhenFramesArrive(rt, quick);
  ASSERT_EQ(frozen.value("status", ""), "CALIBRATION_FROZEN") << frozen.dump();
  EXPECT_EQ(call(rt, {{"command", "manual_calibration"}, {"action", "commit"}, {"reviewed", true}}).value("error", ""),
            "Manuellen Editor zuerst öffnen");
  useModel(rt, 0);
  EXPECT_TRUE(call(rt, {{"command", "calibrate"}, {"camera", 0}}).contains("calibration"));
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, EmptyConfirmationStartsAfreshAfterCompletionAndAfterFailure) {
  const std::string folder = testing::scratchFolder("confirm");
  void* rt = tarv_runtime_create();
  startStills(rt);

  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"folder", folder}}).value("error", ""),
            "EMPTY_BOARD_CONFIRMATION_REQUIRED");
  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}}),
            json({{"status", "WAIT_CAMERA_FRAMES"}}));
  EXPECT_EQ(confirmWhenFramesArrive(rt, folder), json({{"status", "EMPTY_CONFIRMED"}, {"calibration_preserved", true}}));
  EXPECT_TRUE(fs::exists(folder + "/CAM_3.png"));
  EXPECT_FALSE(call(rt, {{"command", "status"}}).value("setup_only", true));

  // The next confirmation into the same folder, with new frames at hand, waits for frames
  // newer than itself instead of reusing the finished one.
  pollAWhile(rt);
  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}}),
            json({{"status", "WAIT_CAMERA_FRAMES"}}));

  // One that ran out of time fails once; the user's next try starts afresh.
  static_cast<Runtime*>(rt)->calibration.emptyRequestTime -= 9.0;
  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}}).value("error", ""),
            "NO_FRESH_FRAMES_FOR_EMPTY_CONFIRMATION");
  EXPECT_EQ(call(rt, {{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}}),
            json({{"status", "WAIT_CAMERA_FRAMES"}}));
  EXPECT_EQ(confirmWhenFramesArrive(rt, folder).value("status", ""), "EMPTY_CONFIRMED");

  // The quick snapshot leaves scoring for the calibration commands.
  const std::string quick = testing::scratchFolder("quick");
  const json frozen = quickSnapshotWhenFramesArrive(rt, quick);
  ASSERT_EQ(frozen.value("status", ""), "CALIBRATION_FROZEN") << frozen.dump();
  EXPECT_EQ(frozen.value("empty_confirmation", ""), "USER");
  EXPECT_TRUE(call(rt, {{"command", "status"}}).value("setup_only", false));
  EXPECT_EQ(call(rt, {{"command", "calibration_result"}}).value("error", ""), "THREE_ACCEPTED_CALIBRATIONS_REQUIRED");
  EXPECT_EQ(call(rt, {{"command", "quick_snapshot"}, {"folder", quick}, {"empty_confirmed", true}}).value("error", ""),
            "Schnellkalibrierung benötigt ein gestartetes Board");
  tarv_runtime_destroy(rt);
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

// One dart after a long empty board, so that a set-up previewing these videos freezes its
// references from the empty board, and a start afterwards sees the dart land.
const scene::RoundVideos& lateDartVideos() {
  static const scene::RoundVideos videos = [] {
    scene::RoundVideoScript script;
    script.empty_seconds = 5.0;
    script.dart_seconds = 3.0;
    script.rounds.push_back({scene::demoScript().rounds[0][0]});
    return scene::writeRoundVideos(testing::scratchFolder("late-videos"), script);
  }();
  return videos;
}

// Preview, references, each camera calibrated by four points and the result: a set-up as
// the host saves it. Returns the saved start configuration.
json calibratedSetUp(void* rt, const std::string& folder) {
  const json preview = testing::startConfig(lateDartVideos());
  EXPECT_EQ(call(rt, {{"command", "preview_start"}, {"config", preview}}).value("status", ""), "PREVIEW_STARTED");
  const json frozen = snapshotWhenQuiet(rt, folder);
  EXPECT_EQ(frozen.value("status", ""), "CALIBRATION_FROZEN") << frozen.dump();
  for (int camera = 0; camera < 3; ++camera) {
    useModel(rt, camera);
    const json automatic = call(rt, {{"command", "calibrate"}, {"camera", camera}});
    EXPECT_TRUE(automatic["calibration"].value("geometry_valid", false)) << automatic.dump().substr(0, 600);
    const json begun = call(rt, {{"command", "manual_calibration"}, {"action", "begin"}, {"camera", camera}});
    call(rt, {{"command", "manual_calibration"}, {"action", "preview"}, {"points", begun["points"]}});
    const json committed = call(rt, {{"command", "manual_calibration"}, {"action", "commit"}, {"reviewed", true}});
    EXPECT_EQ(committed["calibration"].value("method", ""), "MANUAL_FOUR_POINTS") << committed.dump().substr(0, 600);
  }
  const json result = call(rt, {{"command", "calibration_result"}});
  EXPECT_EQ(result.value("folder", ""), folder) << result.dump().substr(0, 600);
  json saved = preview;
  saved["calibrations"] = result["calibrations"];
  saved["camera_models"] = result["camera_models"];
  saved["lens_pipeline"] = result["lens_pipeline"];
  saved["references"] = frozen["references"];
  return saved;
}

void changeOnePixel(const std::string& path, int delta) {
  cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
  image.at<cv::Vec3b>(300, 400)[1] = static_cast<uint8_t>(image.at<cv::Vec3b>(300, 400)[1] + delta);
  cv::imwrite(path, image);
}

json prepare(void* rt, const json& config) {
  return call(rt, {{"command", "calibration_prepare_start"}, {"config", config}});
}

TEST(CalibrationWorkflow, AConfirmedSavedCalibrationStartsFrozenAndScores) {
  const std::string folder = testing::scratchFolder("frozen");
  void* rt = tarv_runtime_create();
  const json saved = calibratedSetUp(rt, folder);
  ASSERT_TRUE(saved.contains("calibrations")) << saved.dump().substr(0, 600);

  // What does not belong to this set-up is refused, and nothing stays confirmed.
  json other = saved;
  other["calibrations"][1][0][2] = other["calibrations"][1][0][2].get<double>() + 1.0;
  EXPECT_EQ(prepare(rt, other).value("error", ""), "SAVED_CALIBRATION_MISMATCH: calibrations");
  other = saved;
  other["lens_pipeline"] = "OPENCV_PINHOLE_V1";
  EXPECT_EQ(prepare(rt, other).value("error", ""), "SAVED_CALIBRATION_MISMATCH: lens_pipeline");
  other = saved;
  other["fps"] = 25;
  EXPECT_EQ(prepare(rt, other).value("error", ""), "SAVED_CAMERAS_MISMATCH");
  other = saved;
  other["references"][2] = folder + "/CAM_4.png";
  EXPECT_EQ(prepare(rt, other).value("error", ""), "SAVED_REFERENCE_MISMATCH");
  other = saved;
  other.erase("devices");
  EXPECT_NE(prepare(rt, other).value("error", "").find("out_of_range.403"), std::string::npos);
  changeOnePixel(folder + "/CAM_2.png", 1);
  EXPECT_EQ(prepare(rt, saved).value("error", ""), "SAVED_REFERENCE_CHANGED");
  changeOnePixel(folder + "/CAM_2.png", -1);
  EXPECT_TRUE(static_cast<Runtime*>(rt)->confirmedCalibration.empty());

  // Backslashes where the folder has slashes name the same file.
  json backslashed = saved;
  std::string windows = backslashed["references"][0].get<std::string>();
  std::replace(windows.begin(), windows.end(), '/', '\\');
  backslashed["references"][0] = windows;
  EXPECT_EQ(prepare(rt, backslashed), json({{"status", "CONFIRMED_CALIBRATION_START_PREPARED"}}));
  EXPECT_EQ(prepare(rt, saved), json({{"status", "CONFIRMED_CALIBRATION_START_PREPARED"}}));
  EXPECT_EQ(call(rt, {{"command", "stop"}, {"preserve_confirmed_calibration", true}}).value("status", ""), "STOPPED");

  const json started = call(rt, {{"command", "start"}, {"config", saved}});
  EXPECT_EQ(started, json({{"status", "CAPTURE_STARTED"},
                           {"reference_source", "USER_CONFIRMED_FROZEN_REFERENCE"},
                           {"startup_check_required", false},
                           {"live_calibration_registration", "JUST_CALIBRATED"}}));
  EXPECT_FALSE(call(rt, {{"command", "status"}}).value("startup_pending", true));
  const json thrown = testing::pollUntil(rt, "DART_CANDIDATE", 15.0);
  ASSERT_EQ(resultStatus(thrown), "DART_CANDIDATE") << thrown.dump().substr(0, 2000);
  EXPECT_EQ(thrown["result"]["state"]["data"]["throws"][0]["segment"].value("name", ""), "T20");

  // A new set-up session starts without the old one's calibrations and references.
  call(rt, {{"command", "stop"}});
  ASSERT_EQ(call(rt, {{"command", "preview_start"}, {"config", testing::startConfig(lateDartVideos())}}).value("status", ""),
            "PREVIEW_STARTED");
  EXPECT_EQ(call(rt, {{"command", "calibration_result"}}).value("error", ""), "THREE_ACCEPTED_CALIBRATIONS_REQUIRED");
  EXPECT_TRUE(static_cast<Runtime*>(rt)->calibration.folder.empty());
  EXPECT_EQ(call(rt, {{"command", "calibrate"}, {"camera", 0}}).value("error", ""), "CALIBRATION_SNAPSHOT_REQUIRED");
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, AReferenceChangedAfterTheConfirmationFailsTheFrozenStart) {
  const std::string folder = testing::scratchFolder("frozen-changed");
  void* rt = tarv_runtime_create();
  const json saved = calibratedSetUp(rt, folder);
  ASSERT_EQ(prepare(rt, saved), json({{"status", "CONFIRMED_CALIBRATION_START_PREPARED"}}));
  call(rt, {{"command", "stop"}, {"preserve_confirmed_calibration", true}});
  changeOnePixel(folder + "/CAM_3.png", 1);
  EXPECT_EQ(call(rt, {{"command", "start"}, {"config", saved}}).value("error", ""), "SAVED_REFERENCE_CHANGED");
  const json status = call(rt, {{"command", "status"}});
  EXPECT_FALSE(status.value("running", true));
  EXPECT_EQ(static_cast<Runtime*>(rt)->engine, nullptr);

  // The failed start consumed the confirmation: the next start checks the board itself.
  const json started = call(rt, {{"command", "start"}, {"config", saved}});
  EXPECT_EQ(started.value("status", ""), "CAPTURE_STARTED") << started.dump();
  EXPECT_EQ(started.value("reference_source", ""), "SAVED_EMPTY_REFERENCE_NOT_CURRENT_CAMERA");
  EXPECT_TRUE(started.value("startup_check_required", false));
  call(rt, {{"command", "stop"}});

  // A plain stop forgets a confirmation, and one that expired is not honoured.
  Runtime& runtime = *static_cast<Runtime*>(rt);
  runtime.confirmedCalibration = startConfigSignature(saved);
  runtime.confirmedUntil = tarv_monotonic_seconds() - 1.0;
  EXPECT_TRUE(call(rt, {{"command", "start"}, {"config", saved}}).value("startup_check_required", false));
  EXPECT_TRUE(runtime.confirmedCalibration.empty());
  tarv_runtime_destroy(rt);
}

TEST(CalibrationWorkflow, ASavedEditorCannotPrepareAFrozenStart) {
  const std::string folder = testing::scratchFolder("saved-prepare");
  void* rt = savedEditor(folder, savedConfig());
  EXPECT_EQ(prepare(rt, savedConfig(folder)).value("error", ""), "SAVED_EDIT_REQUIRES_NORMAL_START_CHECK");
  tarv_runtime_destroy(rt);
}

}  // namespace
}  // namespace tarv
