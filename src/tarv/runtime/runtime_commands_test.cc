// The dispatcher, start validation and the run-state commands with a scripted engine in place
// of the real one, on file cameras that play the still reference images.
#include <atomic>
#include <chrono>
#include <memory>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/runtime/runtime.h"
#include "tarv/runtime/runtime_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

// The engine every test here talks to: it records the commands and answers with `answer`.
struct ScriptedEngine {
  std::mutex mutex;
  std::vector<json> requests;
  std::function<json(const json&)> answer;
  int created = 0;
  int destroyed = 0;
  std::string reply;
};

ScriptedEngine& scripted() {
  static ScriptedEngine engine;
  return engine;
}

void* scriptedCreate() {
  std::lock_guard<std::mutex> lock(scripted().mutex);
  ++scripted().created;
  return &scripted();
}

const char* scriptedCall(void*, const char* text) {
  ScriptedEngine& e = scripted();
  std::lock_guard<std::mutex> lock(e.mutex);
  const json request = json::parse(text);
  e.requests.push_back(request);
  e.reply = (e.answer ? e.answer(request) : json{{"status", "READY"}}).dump();
  return e.reply.c_str();
}

void scriptedDestroy(void*) {
  std::lock_guard<std::mutex> lock(scripted().mutex);
  ++scripted().destroyed;
}

const EngineTable kScriptedTable{&scriptedCreate, &scriptedCall, &scriptedDestroy};

json ready(const json& request) {
  const std::string c = request.value("command", "");
  if (c == "startup_check" || c == "restart_empty_check") return {{"status", "STARTUP_READY"}};
  return {{"status", "READY"}, {"entries", json::array()}};
}

class RuntimeCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(scripted().mutex);
    scripted().requests.clear();
    scripted().answer = ready;
    scripted().created = scripted().destroyed = 0;
  }

  // Still cameras: each reference image alone in a folder, played looped as a sequence of one.
  json stillConfig() const {
    const auto& videos = testing::oneDartVideos();
    static const json stills = [&videos] {
      json names = json::array();
      for (const char* letter : {"a", "b", "c"}) {
        const std::string name = testing::scratchFolder(std::string("still-") + letter) + "/still-1.png";
        std::filesystem::copy_file(videos.references[names.size()], name);
        names.push_back(name);
      }
      return names;
    }();
    json config = testing::startConfig(videos);
    config["devices"] = stills;
    return config;
  }

  json call(const json& request) { return json::parse(runtimeCall(rt, request.dump().c_str())); }

  std::vector<std::string> commandsSent() {
    std::lock_guard<std::mutex> lock(scripted().mutex);
    std::vector<std::string> out;
    for (const json& r : scripted().requests) out.push_back(r.value("command", ""));
    return out;
  }

  bool sent(const std::string& command) {
    const auto c = commandsSent();
    return std::find(c.begin(), c.end(), command) != c.end();
  }

  // Polls until the engine has been sent `command`, for at most seconds.
  bool pollUntilSent(const std::string& command, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      call({{"command", "poll"}});
      if (sent(command)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return false;
  }

  // Confirms the board empty into a fresh folder, polling until the cameras have new frames.
  json confirmEmpty(const std::string& name) {
    const std::string folder = testing::scratchFolder(name);
    json confirmed = json::object();
    for (int i = 0; i < 150; ++i) {
      call({{"command", "poll"}});
      confirmed = call({{"command", "confirm_empty"}, {"empty_confirmed", true}, {"folder", folder}});
      if (confirmed.value("status", "") != "WAIT_CAMERA_FRAMES") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return confirmed;
  }

  Runtime runtime{kScriptedTable};
  Runtime& rt = runtime;
};

TEST_F(RuntimeCommands, MalformedRequestsAndUnknownNames) {
  EXPECT_STREQ(tarv_runtime_call(nullptr, "{}"), "{\"error\":\"INVALID_RUNTIME\"}");
  void* real = tarv_runtime_create();
  EXPECT_STREQ(tarv_runtime_call(real, nullptr), "{\"error\":\"INVALID_RUNTIME\"}");
  tarv_runtime_destroy(real);
  tarv_runtime_destroy(nullptr);
  EXPECT_NE(json::parse(runtimeCall(rt, "[1,2]"))["error"].get<std::string>().find("304"), std::string::npos);
  EXPECT_NE(json::parse(runtimeCall(rt, "{}"))["error"].get<std::string>().find("403"), std::string::npos);
  EXPECT_EQ(call({{"command", "Poll"}}), json({{"error", "UNKNOWN_COMMAND"}}));
  EXPECT_EQ(call({{"command", "calibration_prepare_start"}}), json({{"error", "CALIBRATION_PREVIEW_REQUIRED"}}));
  EXPECT_EQ(call({{"command", "media_frames"}}), json({nullptr, nullptr, nullptr}));
  EXPECT_EQ(call({{"command", "stop"}}), json({{"status", "STOPPED"}}));
  EXPECT_EQ(call({{"command", "poll"}}), json({{"status", "STOPPED"}}));
}

TEST_F(RuntimeCommands, OptionsBeforeAStartAndRefusedSettleTimes) {
  EXPECT_NE(call({{"command", "options"}}).value("error", "").find("306"), std::string::npos);
  EXPECT_EQ(call({{"command", "options"}, {"settle_ms", 150}}), json({{"error", "INVALID_SETTLE_MS"}}));
  EXPECT_TRUE(rt.options.is_null());
  EXPECT_EQ(call({{"command", "options"}, {"dart_3d", false}, {"settle_ms", 100.7}}),
            json({{"dart_3d", false}, {"settle_ms", 100}}));
  EXPECT_DOUBLE_EQ(rt.settleSeconds.load(), 0.1);
  EXPECT_EQ(call({{"command", "options"}, {"dart_3d", "yes"}}), json({{"dart_3d", false}, {"settle_ms", 100}}));
}

TEST_F(RuntimeCommands, RefusedStartsOpenAndCreateNothing) {
  const json good = stillConfig();
  const auto refused = [&](json config, const std::string& code) {
    EXPECT_EQ(call({{"command", "start"}, {"config", config}}).value("error", ""), code) << config.dump();
    EXPECT_FALSE(rt.running);
    EXPECT_EQ(rt.engine, nullptr);
    EXPECT_EQ(rt.cameraOpened, (std::array<bool, 3>{}));
  };
  json c = good;
  c["width"] = 802;
  refused(c, "INVALID_CAPTURE_MODE");
  c = good;
  c["fps"] = 121;
  refused(c, "INVALID_CAPTURE_MODE");
  c = good;
  c["devices"].erase(2);
  refused(c, "THREE_CAMERAS_REQUIRED");
  c = good;
  c["lens_pipeline"] = "OPENCV_PINHOLE_V1";
  refused(c, "THREE_CAMERA_MODELS_REQUIRED");
  c["camera_models"] = {nullptr, nullptr, nullptr};
  refused(c, "INVALID_CAMERA_MODEL");
  c = good;
  c["board_radius_mm"] = 169.9;
  refused(c, "INVALID_BOARD_RADIUS");
  c = good;
  c["devices"][2] = c["devices"][0];
  refused(c, "DUPLICATE_CAMERA");
  c = good;
  c["references"][1] = "/nonexistent.png";
  refused(c, "REFERENCE_SIZE_MISMATCH");
  c = good;
  c["calibrations"][2] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 0}};
  refused(c, "INVALID_CALIBRATION");
  c = good;
  c["calibrations"][0] = {{1, 0}, {0, 1}};
  refused(c, "INVALID_CALIBRATION");
  EXPECT_EQ(scripted().created, 0);
}

// The capture mode and the settle time are whole numbers: nothing wraps, truncates or
// converts out of range on its way in.
TEST_F(RuntimeCommands, NumbersThatAreNoWholeNumbersInRangeAreRefused) {
  const json good = stillConfig();
  const auto refused = [&](const char* key, const json& value, const std::string& code) {
    json c = good;
    c[key] = value;
    EXPECT_EQ(call({{"command", "start"}, {"config", c}}).value("error", ""), code) << key << " " << value;
    EXPECT_FALSE(rt.running);
    EXPECT_EQ(rt.engine, nullptr);
    EXPECT_EQ(rt.cameraOpened, (std::array<bool, 3>{}));
  };
  refused("width", 4294968096ULL, "INVALID_CAPTURE_MODE");  // 800 + 2^32
  refused("fps", 4294967316ULL, "INVALID_CAPTURE_MODE");    // 20 + 2^32
  refused("width", 1e300, "INVALID_CAPTURE_MODE");
  refused("width", 800.7, "INVALID_CAPTURE_MODE");
  refused("height", -600, "INVALID_CAPTURE_MODE");
  refused("fps", true, "INVALID_CAPTURE_MODE");
  refused("backend", 1e300, "INVALID_CAPTURE_MODE");
  refused("settle_ms", 1e300, "INVALID_SETTLE_MS");
  refused("settle_ms", 100.5, "INVALID_SETTLE_MS");
  EXPECT_EQ(scripted().created, 0);

  json whole = good;
  whole["width"] = 800.0;
  whole["settle_ms"] = 100;
  ASSERT_EQ(call({{"command", "start"}, {"config", whole}}).value("status", ""), "CAPTURE_STARTED");
  EXPECT_EQ(rt.width, 800);
  EXPECT_DOUBLE_EQ(rt.settleSeconds.load(), 0.1);
  call({{"command", "stop"}});
}

// Every key of the configuration is read before the engine is made or a camera opened: a
// badly typed one fails the start with the runtime idle, and the next start is not blocked.
TEST_F(RuntimeCommands, ABadlyTypedKeyFailsTheStartBeforeAnythingRuns) {
  const json good = stillConfig();
  for (const char* key : {"report_folder", "surround_enabled", "lock_camera", "media_foundation", "fourcc"}) {
    json c = good;
    c[key] = key == std::string("surround_enabled") ? json("no") : json(7);
    const std::string error = call({{"command", "start"}, {"config", c}}).value("error", "");
    EXPECT_NE(error.find("type_error.302"), std::string::npos) << key << ": " << error;
    EXPECT_FALSE(rt.running);
    EXPECT_EQ(rt.engine, nullptr);
    EXPECT_EQ(rt.cameraOpened, (std::array<bool, 3>{}));
    EXPECT_EQ(scripted().created, 0) << key;
  }
  ASSERT_EQ(call({{"command", "start"}, {"config", good}}).value("status", ""), "CAPTURE_STARTED");
  call({{"command", "stop"}});

  json preview = good;
  preview["lock_camera"] = "yes";
  EXPECT_NE(call({{"command", "preview_start"}, {"config", preview}}).value("error", "").find("302"), std::string::npos);
  EXPECT_FALSE(rt.running);
  EXPECT_EQ(rt.cameraOpened, (std::array<bool, 3>{}));
}

TEST_F(RuntimeCommands, EngineErrorsAtArmingLeaveTheRuntimeIdle) {
  scripted().answer = [](const json& r) {
    return r.value("command", "") == "arm" ? json{{"error", "INVALID_RING_RADII"}} : json{{"status", "WARM"}};
  };
  const json reply = call({{"command", "start"}, {"config", stillConfig()}});
  EXPECT_EQ(reply.value("error", ""), "{\"error\":\"INVALID_RING_RADII\"}");
  EXPECT_FALSE(rt.running);
  EXPECT_EQ(scripted().created, scripted().destroyed);
}

TEST_F(RuntimeCommands, StartArmsTheEngineWithTheConfigurationAndStopsCleanly) {
  json config = stillConfig();
  config["miss_radius_mm"] = 200.0;
  const json started = call({{"command", "start"}, {"config", config}});
  ASSERT_EQ(started.value("status", ""), "CAPTURE_STARTED") << started.dump();
  EXPECT_EQ(started.size(), 4u);
  EXPECT_EQ(call({{"command", "start"}, {"config", config}}).value("error", ""),
            "ALREADY_RUNNING_STOP_EXPLICITLY");
  const json arm = scripted().requests.at(1);
  EXPECT_EQ(arm.value("command", ""), "arm");
  EXPECT_EQ(arm["images"].size(), 3u);
  EXPECT_DOUBLE_EQ(arm.value("miss_radius_mm", 0.0), 225.5);
  EXPECT_EQ(arm["ring_radii"].size(), 6u);
  EXPECT_TRUE(pollUntilSent("detect", 6.0));
  const json status = call({{"command", "status"}});
  EXPECT_TRUE(status.value("running", false));
  EXPECT_FALSE(status.value("startup_pending", true));
  EXPECT_EQ(status["cameras"].size(), 3u);
  EXPECT_GE(status["perf"].value("core_calls", 0), 1);
  const json frames = call({{"command", "media_frames"}});
  ASSERT_EQ(frames.size(), 3u);
  for (const json& frame : frames) {
    if (frame.is_object()) {
      EXPECT_GT(frame.value("number", 0), 0);  // null once 0.5 s old
    }
  }

  const json scope = call({{"command", "surround"}, {"enabled", false}});
  EXPECT_EQ(scope.value("scoring_scope", ""), "BOARD_ONLY");
  EXPECT_DOUBLE_EQ(scope.value("radius", 0.0), 225.5);
  EXPECT_TRUE(scripted().requests.back().value("ignore_surround", false));
  EXPECT_NE(call({{"command", "surround"}, {"enabled", "yes"}}).value("error", "").find("302"), std::string::npos);

  EXPECT_EQ(call({{"command", "stop"}}), json({{"status", "STOPPED"}}));
  EXPECT_EQ(scripted().created, scripted().destroyed);
  EXPECT_EQ(call({{"command", "stop"}}), json({{"status", "STOPPED"}}));
}

// A user reset scores nothing until the user confirms the empty board; that confirmation
// ends it, and the status says so.
TEST_F(RuntimeCommands, AUserResetScoresAgainOnceTheUserConfirmsTheEmptyBoard) {
  ASSERT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("status", ""), "CAPTURE_STARTED");
  EXPECT_EQ(call({{"command", "reset_begin"}, {"config", stillConfig()}}).value("error", ""),
            "EMPTY_BOARD_CONFIRMATION_REQUIRED");
  EXPECT_TRUE(rt.running);
  const json reset = call({{"command", "reset_begin"}, {"empty_confirmed", true}, {"config", stillConfig()}});
  ASSERT_EQ(reset, json({{"status", "RESETTING"}, {"calibration_preserved", true}}));
  json status = call({{"command", "status"}});
  EXPECT_TRUE(status.value("reset_pending", false));
  EXPECT_FALSE(status.value("startup_pending", true));
  EXPECT_EQ(status["last_result"].value("status", ""), "RESETTING");
  scripted().requests.clear();
  json polled = json::object();
  for (int i = 0; i < 200 && polled.value("status", "") != "RESETTING"; ++i) {
    polled = call({{"command", "poll"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  EXPECT_EQ(polled, json({{"status", "RESETTING"}}));
  for (int i = 0; i < 10; ++i) call({{"command", "poll"}});
  EXPECT_TRUE(commandsSent().empty());

  const json confirmed = confirmEmpty("reset-confirm");
  ASSERT_EQ(confirmed.value("status", ""), "EMPTY_CONFIRMED") << confirmed.dump();
  status = call({{"command", "status"}});
  EXPECT_FALSE(status.value("reset_pending", true));
  EXPECT_TRUE(status.value("running", false));
  EXPECT_TRUE(pollUntilSent("detect", 6.0));
  EXPECT_FALSE(sent("startup_check"));
  call({{"command", "stop"}});
}

// An evidence folder of the given size (a sparse camera image), with or without its manifest.
std::filesystem::path evidenceFolder(const std::filesystem::path& root, const std::string& name, uint64_t bytes,
                                     bool manifest) {
  const std::filesystem::path folder = root / name;
  std::filesystem::create_directories(folder);
  if (manifest) std::ofstream(folder / "manifest.json") << R"({"schema": "tarvenlox-round-evidence-v1"})";
  std::ofstream(folder / "event-1-cam-1.png").close();
  std::filesystem::resize_file(folder / "event-1-cam-1.png", bytes);
  return folder;
}

// A report root the user also keeps other things in: a run over the storage limit deletes
// the old evidence folder and nothing else, even what is named like evidence.
TEST_F(RuntimeCommands, TheStorageLimitDeletesOnlyEvidenceFolders) {
  namespace fs = std::filesystem;
  const fs::path reports = testing::scratchFolder("limit-root");
  const fs::path old = evidenceFolder(reports, "tarv-1-1-1", 400ULL << 20, true);
  const fs::path empty = reports / "tarv-0-0-1";
  fs::create_directories(empty);
  const fs::path unmarked = evidenceFolder(reports, "tarv-0-0-2", 300ULL << 20, false);
  fs::create_directories(reports / "holiday");
  std::ofstream(reports / "holiday" / "notes.txt") << "ours";

  json config = stillConfig();
  config["report_folder"] = reports.string();
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  ASSERT_TRUE(pollUntilSent("detect", 6.0));
  call({{"command", "stop"}});
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(empty));
  EXPECT_TRUE(fs::exists(unmarked / "event-1-cam-1.png"));
  EXPECT_TRUE(fs::exists(reports / "holiday" / "notes.txt"));
  size_t written = 0;
  for (const auto& entry : fs::directory_iterator(reports)) written += fs::exists(entry.path() / "event-1.json");
  EXPECT_GE(written, 1u);
}

TEST_F(RuntimeCommands, AResetWithABadConfigurationEndsIdle) {
  ASSERT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("status", ""), "CAPTURE_STARTED");
  json bad = stillConfig();
  bad["fps"] = 4;
  EXPECT_EQ(call({{"command", "reset_begin"}, {"empty_confirmed", true}, {"config", bad}}).value("error", ""),
            "INVALID_CAPTURE_MODE");
  EXPECT_FALSE(rt.running);
  EXPECT_EQ(scripted().created, scripted().destroyed);
}

TEST_F(RuntimeCommands, OnlyThreeValidCalibrationsFromTheStartCheckReplaceTheConfigured) {
  const json config = stillConfig();
  scripted().answer = [](const json& r) {
    if (r.value("command", "") == "startup_check") {
      return json{{"status", "STARTUP_READY"},
                  {"calibrations", {{{1, 0, 0}, {0, 1, 0}}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 7}}};
    }
    return ready(r);
  };
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  ASSERT_TRUE(pollUntilSent("detect", 6.0));
  EXPECT_EQ(rt.options["calibrations"], config["calibrations"]);
  call({{"command", "stop"}});

  json moved = config["calibrations"];
  moved[0][0][2] = moved[0][0][2].get<double>() + 3.0;
  scripted().answer = [moved](const json& r) {
    if (r.value("command", "") == "startup_check") return json{{"status", "STARTUP_READY"}, {"calibrations", moved}};
    return ready(r);
  };
  scripted().requests.clear();
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  ASSERT_TRUE(pollUntilSent("detect", 6.0));
  EXPECT_EQ(rt.options["calibrations"], moved);
  call({{"command", "stop"}});
}

// Re-arming on the confirmed empty board may carry a calibration onto the new references: the
// runtime then draws and reports what the engine scores with, not its start copy.
TEST_F(RuntimeCommands, ACalibrationCarriedByTheEmptyConfirmationReplacesTheRuntimesCopy) {
  const json config = stillConfig();
  json moved = config["calibrations"];
  moved[2][1][2] = moved[2][1][2].get<double>() - 4.0;
  scripted().answer = [moved](const json& r) {
    if (r.value("command", "") == "confirm_empty") {
      return json{{"status", "STARTUP_READY"}, {"calibrations", moved}, {"calibration_preserved", false}};
    }
    return ready(r);
  };
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  ASSERT_TRUE(pollUntilSent("detect", 6.0));
  const json confirmed = confirmEmpty("carried-confirm");
  ASSERT_EQ(confirmed.value("status", ""), "EMPTY_CONFIRMED") << confirmed.dump();
  EXPECT_FALSE(confirmed.value("calibration_preserved", true));
  EXPECT_EQ(rt.options["calibrations"], moved);
  {
    std::lock_guard<std::mutex> lock(rt.previewMutex);
    EXPECT_EQ(rt.published.calibrations, moved);
  }
  call({{"command", "stop"}});
}

TEST_F(RuntimeCommands, ACameraThreadThatCannotBeMadeFailsTheStartWithoutAbort) {
  int made = 0;
  rt.startThread = [&made](std::function<void()> body) {
    if (++made == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  EXPECT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("error", ""), "CAMERA_OPEN_FAILED_1");
  EXPECT_FALSE(rt.running);
  EXPECT_EQ(rt.cameraOpened, (std::array<bool, 3>{}));
  EXPECT_EQ(scripted().created, scripted().destroyed);
  rt.startThread = startPlainThread;
  EXPECT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("status", ""), "CAPTURE_STARTED");
  call({{"command", "stop"}});
}

TEST_F(RuntimeCommands, AMotionHistoryThatCannotStartFailsTheStartAndLeavesNothingRunning) {
  int made = 0;
  rt.startThread = [&made](std::function<void()> body) {
    if (++made == 4) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  EXPECT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("error", ""), "MOTION_HISTORY_UNAVAILABLE");
  EXPECT_FALSE(call({{"command", "status"}}).value("running", true));
  EXPECT_EQ(scripted().created, scripted().destroyed);
  EXPECT_EQ(rt.cameraOpened, (std::array<bool, 3>{}));
}

TEST_F(RuntimeCommands, ASecondRuntimeCannotTakeTheCamerasOfARunningOne) {
  const json config = stillConfig();
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  {
    Runtime second(kScriptedTable);
    const json reply = json::parse(runtimeCall(second, json({{"command", "start"}, {"config", config}}).dump().c_str()));
    EXPECT_EQ(reply.value("error", ""), "CAMERA_IN_USE_0");
    EXPECT_FALSE(second.running);
  }  // its destruction must not close the first runtime's cameras either
  scripted().requests.clear();
  EXPECT_TRUE(pollUntilSent("detect", 6.0));
  const json health = json::parse(tarv_capture_health(0));
  EXPECT_TRUE(health.value("running", false)) << health.dump();
  call({{"command", "stop"}});
}

TEST_F(RuntimeCommands, PreviewStartAndRestart) {
  json preview = stillConfig();
  preview.erase("calibrations");
  preview["devices"].erase(1);
  EXPECT_EQ(call({{"command", "preview_start"}, {"config", preview}}).value("error", ""), "INVALID_CAPTURE_MODE");
  preview = stillConfig();
  preview.erase("calibrations");
  ASSERT_EQ(call({{"command", "preview_start"}, {"config", preview}}),
            json({{"status", "PREVIEW_STARTED"}, {"scoring", false}}));
  EXPECT_EQ(call({{"command", "restart"}}).value("error", ""), "ACTIVE_BOARD_REQUIRED_FOR_RESTART");
  json reply = json::object();
  for (int i = 0; i < 200 && reply.value("status", "") != "PREVIEW_ONLY"; ++i) {
    reply = call({{"command", "poll"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  EXPECT_EQ(reply.value("status", ""), "PREVIEW_ONLY");
  std::vector<uint8_t> board(240 * 240 * 3);
  EXPECT_EQ(tarv_runtime_board_preview(&rt, 0, 240, board.data(), board.size()), -2);
  call({{"command", "stop"}});
  EXPECT_EQ(scripted().created, 0);

  ASSERT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("status", ""), "CAPTURE_STARTED");
  ASSERT_TRUE(pollUntilSent("detect", 6.0));
  const json restarted = call({{"command", "restart"}});
  EXPECT_EQ(restarted.value("status", ""), "CAPTURE_RESTARTED") << restarted.dump();
  scripted().requests.clear();
  EXPECT_TRUE(pollUntilSent("restart_empty_check", 6.0));
  call({{"command", "stop"}});
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

TEST_F(RuntimeCommands, PreviewsOfARunningBoard) {
  std::vector<uint8_t> quarter(200 * 150 * 3), full(800 * 600 * 3), board(240 * 240 * 3);
  EXPECT_EQ(tarv_runtime_preview(&rt, 0, quarter.data(), quarter.size()), -2);
  ASSERT_EQ(call({{"command", "start"}, {"config", stillConfig()}}).value("status", ""), "CAPTURE_STARTED");
  ASSERT_TRUE(pollUntilSent("detect", 6.0));
  call({{"command", "poll"}});
  EXPECT_EQ(tarv_runtime_preview(&rt, 3, quarter.data(), quarter.size()), -1);
  EXPECT_EQ(tarv_runtime_preview(&rt, 0, quarter.data(), quarter.size() - 3), -2);
  EXPECT_EQ(tarv_runtime_preview(&rt, 0, quarter.data(), quarter.size()), 1);
  EXPECT_EQ(tarv_runtime_full_preview(&rt, 1, full.data(), full.size()), 1);
  // The full preview is the camera's frame in R, G, B order.
  const cv::Mat reference = cv::imread(testing::oneDartVideos().references[1]);
  cv::Mat rgb;
  cv::cvtColor(reference, rgb, cv::COLOR_BGR2RGB);
  EXPECT_EQ(cv::norm(rgb, cv::Mat(600, 800, CV_8UC3, full.data()), cv::NORM_INF), 0.0);
  EXPECT_EQ(tarv_runtime_scaled_preview(&rt, 0, 1281, 10, full.data(), 1281 * 10 * 3), -1);
  EXPECT_EQ(tarv_runtime_scaled_preview(&rt, 0, 801, 10, full.data(), 801 * 10 * 3), -2);
  EXPECT_EQ(tarv_runtime_scaled_preview(&rt, 0, 400, 300, full.data(), 400 * 300 * 3), 1);
  EXPECT_EQ(tarv_runtime_board_preview(&rt, 0, 119, board.data(), 119 * 119 * 3), -1);
  ASSERT_EQ(tarv_runtime_board_preview(&rt, 2, 240, board.data(), board.size()), 1);
  // Seen from the front: the bull (red inside green) lies at the centre of the view.
  const cv::Vec3b bull = cv::Mat(240, 240, CV_8UC3, board.data()).at<cv::Vec3b>(120, 120);
  EXPECT_GT(bull[0], 120);  // red first
  EXPECT_LT(bull[1], 100);
  call({{"command", "stop"}});
  EXPECT_EQ(tarv_runtime_full_preview(&rt, 1, full.data(), full.size()), -2);
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

size_t threadCount() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

// Threads end a little after the calls that stop them return (a camera worker leaves its
// device on its own time), and a loaded machine stretches that: wait a bounded while.
size_t threadCountSettledTo(size_t baseline) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  size_t n = threadCount();
  while (n > baseline && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    n = threadCount();
  }
  return n;
}

TEST_F(RuntimeCommands, CyclesWithPreviewReadersOnOtherThreadsEndWithTheThreadsTheyBegan) {
  const json config = stillConfig();
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  call({{"command", "stop"}});
  const size_t baseline = threadCount();

  std::atomic<bool> done{false};
  std::atomic<int> delivered{0};
  const auto reader = [&](uint32_t camera) {
    std::vector<uint8_t> quarter(200 * 150 * 3), scaled(320 * 240 * 3), board(160 * 160 * 3),
        full(800 * 600 * 3);
    while (!done.load()) {
      delivered += tarv_runtime_preview(&rt, camera, quarter.data(), quarter.size()) == 1;
      tarv_runtime_scaled_preview(&rt, camera, 320, 240, scaled.data(), scaled.size());
      tarv_runtime_board_preview(&rt, camera, 160, board.data(), board.size());
      tarv_runtime_full_preview(&rt, camera, full.data(), full.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  std::thread first(reader, 0), second(reader, 2);
  const std::string reports = testing::scratchFolder("cycles");
  json withReports = config;
  withReports["report_folder"] = reports;
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(call({{"command", "start"}, {"config", cycle % 5 == 0 ? withReports : config}}).value("status", ""), "CAPTURE_STARTED");
    for (int i = 0; i < 6; ++i) {
      call({{"command", "poll"}});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (cycle % 5 == 0) call({{"command", "surround"}, {"enabled", cycle % 2 == 0}});
    ASSERT_EQ(call({{"command", "stop"}}).value("status", ""), "STOPPED");
  }
  done = true;
  first.join();
  second.join();
  EXPECT_GT(delivered.load(), 0);
  EXPECT_EQ(scripted().created, scripted().destroyed);
  EXPECT_EQ(threadCountSettledTo(baseline), baseline);
}

TEST_F(RuntimeCommands, DestroyedWhileTheRecorderIsWriting) {
  json config = stillConfig();
  // The image library starts its own worker threads on first use and keeps them.
  ASSERT_EQ(call({{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  call({{"command", "stop"}});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t baseline = threadCount();
  const std::string reports = testing::scratchFolder("busy");
  config["report_folder"] = reports;
  auto busy = std::make_unique<Runtime>(kScriptedTable);
  ASSERT_EQ(json::parse(runtimeCall(*busy, json({{"command", "start"}, {"config", config}}).dump().c_str()))
                .value("status", ""),
            "CAPTURE_STARTED");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (busy->coreCalls < 3 && std::chrono::steady_clock::now() < end) {
    runtimeCall(*busy, "{\"command\":\"poll\"}");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(busy->coreCalls, 3);
  busy.reset();
  EXPECT_EQ(threadCountSettledTo(baseline), baseline);
  EXPECT_EQ(scripted().created, scripted().destroyed);
  size_t events = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(reports)) {
    events += entry.path().filename().string().rfind("event-", 0) == 0;
  }
  EXPECT_GE(events, 4u);  // the start and the detections, all written before the end
}

}  // namespace
}  // namespace tarv
