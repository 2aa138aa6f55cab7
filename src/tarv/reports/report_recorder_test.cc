#include "tarv/reports/report_recorder.h"

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tarv/reports/evidence_folder.h"
#include "tarv/reports/natural_order.h"
#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1048576;

// Holds every file write until opened; then writes, or fails like a full disk.
class WriteGate {
 public:
  FileWriter writer() {
    return [this](const fs::path& path, const std::vector<uchar>& bytes) {
      std::unique_lock<std::mutex> lock(mutex_);
      arrived_ = true;
      opened_.notify_all();
      opened_.wait(lock, [this] { return open_; });
      return diskFull_ ? false : writeFileBytes(path, bytes);
    };
  }
  // Returns once the writer thread waits at the gate.
  void awaitWriter() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return arrived_; });
  }
  void open(bool diskFull = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    diskFull_ = diskFull;
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  bool arrived_ = false;
  bool diskFull_ = false;
};

std::vector<fs::path> foldersIn(const fs::path& root) {
  std::vector<fs::path> folders;
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.is_directory()) folders.push_back(entry.path());
  }
  std::sort(folders.begin(), folders.end(), lessByFolderName);
  return folders;
}

json readJson(const fs::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

std::vector<cv::Mat> images(int rows, int cols) {
  return {cv::Mat(rows, cols, CV_8UC3, cv::Scalar(1, 2, 3)), cv::Mat(rows, cols, CV_8UC3, cv::Scalar(4, 5, 6)),
          cv::Mat(rows, cols, CV_8UC3, cv::Scalar(7, 8, 9))};
}

MotionSample sample() {
  MotionSample s;
  s.sequences = {1, 1, 1};
  s.frames = {cv::Mat(4, 4, CV_8UC3, cv::Scalar(1)), cv::Mat(4, 4, CV_8UC3, cv::Scalar(1)),
              cv::Mat(4, 4, CV_8UC3, cv::Scalar(1))};
  return s;
}

json result(const std::string& status, const std::string& reason = "") {
  return {{"status", "DETECTION"}, {"result", {{"status", status}, {"reason", reason}}}};
}

class RecorderTest : public ::testing::Test {
 protected:
  void start() { startReportRecorder(recorder, root.path().string(), {{"run", 1}}, images(8, 8)); }
  json stats() { return buildReportStatistics(recorder); }

  testing::ScratchFolder root;
  ReportRecorder recorder{536870912, 150994944, 67108864};
};

TEST(ReportRecorderLimits, TheReserveMustBeSmallerThanTheDiskLimit) {
  EXPECT_THROW(ReportRecorder(100, 100, 10), std::invalid_argument);
  ReportRecorder recorder(536870912, 150994944, 67108864);
  const json stats = buildReportStatistics(recorder);
  EXPECT_EQ(stats["disk_limit_mb"], 512);
  EXPECT_EQ(stats["enabled"], false);
  EXPECT_EQ(stats["local_only"], true);
  EXPECT_EQ(stats.size(), 14u);
}

TEST_F(RecorderTest, RepeatedResultsAreMergedWithinTheirWindow) {
  start();
  enqueueReportEvent(recorder, result("READY"), images(8, 8), 100.0, {sample()});
  enqueueReportEvent(recorder, result("READY"), images(8, 8), 110.0, {});
  EXPECT_EQ(stats()["coalesced"], 1);
  enqueueReportEvent(recorder, result("READY"), images(8, 8), 161.0, {sample()});
  enqueueReportEvent(recorder, result("SETTLING"), {}, 200.0, {});
  enqueueReportEvent(recorder, result("SETTLING"), {}, 204.9, {});
  enqueueReportEvent(recorder, result("SETTLING"), {}, 205.0, {});
  enqueueReportEvent(recorder, result("WAIT_DECISION"), {}, 300.0, {});
  enqueueReportEvent(recorder, result("WAIT_DECISION"), {}, 300.4, {});
  enqueueReportEvent(recorder, result("WAIT_DECISION"), {}, 300.5, {});
  stopReportRecorder(recorder);
  const json s = stats();
  EXPECT_EQ(s["coalesced"], 3);
  EXPECT_EQ(s["saved"], 6);
  EXPECT_EQ(s["unchanged_images_skipped"], 2);
  EXPECT_EQ(s["motion_drops"], 2);
  EXPECT_EQ(s["pending"], 0);

  const fs::path folder = foldersIn(root.path()).at(0);
  const json second = readJson(folder / "event-2.json");
  EXPECT_EQ(second["images_omitted_unchanged_status"], true);
  EXPECT_EQ(second["motion_omitted_due_to_backpressure"], true);
  EXPECT_EQ(second["images"], json::array());
  EXPECT_EQ(second["monotonic_seconds"], 161.0);
  EXPECT_EQ(second["recorder_dropped"], 0);
  EXPECT_FALSE(fs::exists(folder / "event-2-cam-1.png"));
}

// Only a repeat of the last event is merged: an event that comes back after another one is
// news again, and every change of the gate's status is written.
TEST_F(RecorderTest, OnlyRepeatsOfTheLastEventAreMerged) {
  start();
  enqueueReportEvent(recorder, result("BOUNCER_CANDIDATE"), {}, 100.0, {});
  enqueueReportEvent(recorder, result("BOUNCER_CANDIDATE"), {}, 100.5, {});
  enqueueReportEvent(recorder, result("READY"), {}, 101.0, {});
  enqueueReportEvent(recorder, result("BOUNCER_CANDIDATE"), {}, 102.0, {});
  enqueueReportEvent(recorder, {{"status", "HAND"}, {"gate", {{"n", 1}}}}, {}, 103.0, {});
  enqueueReportEvent(recorder, {{"status", "HAND"}, {"gate", {{"n", 2}}}}, {}, 103.5, {});
  enqueueReportEvent(recorder, {{"status", "MOVING"}, {"gate", {{"n", 3}}}}, {}, 104.0, {});
  enqueueReportEvent(recorder, {{"status", "HAND"}, {"gate", {{"n", 4}}}}, {}, 105.0, {});
  stopReportRecorder(recorder);
  const json s = stats();
  EXPECT_EQ(s["coalesced"], 2);
  EXPECT_EQ(s["saved"], 6);
  const fs::path folder = foldersIn(root.path()).at(0);
  std::vector<std::string> statuses;
  for (int n = 1; n <= 6; ++n) {
    const json event = readJson(folder / ("event-" + std::to_string(n) + ".json"));
    statuses.push_back(event.contains("gate") ? event.value("status", "")
                                              : event["result"].value("status", ""));
  }
  EXPECT_EQ(statuses, std::vector<std::string>({"BOUNCER_CANDIDATE", "READY", "BOUNCER_CANDIDATE", "HAND",
                                                "MOVING", "HAND"}));
}

TEST_F(RecorderTest, AFullQueueRefusesAndStopWritesEveryQueuedEvent) {
  WriteGate gate;
  recorder.setFileWriter(gate.writer());
  start();
  for (int i = 0; i < 65; ++i) {
    enqueueReportEvent(recorder, result("S" + std::to_string(i)), images(4, 4), 1.0, {});
  }
  json s = stats();
  EXPECT_EQ(s["pending"], 64);
  EXPECT_EQ(s["dropped"], 1);
  EXPECT_EQ(s["metadata_drops"], 1);
  EXPECT_EQ(s["pending_bytes"], 64 * 3 * 48);

  std::thread stopper([&] { stopReportRecorder(recorder); });
  gate.open();
  stopper.join();
  s = stats();
  EXPECT_EQ(s["saved"], 64);
  EXPECT_EQ(s["pending"], 0);
  EXPECT_EQ(s["pending_bytes"], 0);
  const fs::path second = foldersIn(root.path()).at(1);
  for (int n = 1; n <= 16; ++n) {
    for (int c = 1; c <= 3; ++c) {
      EXPECT_TRUE(fs::exists(second / ("event-" + std::to_string(n) + "-cam-" + std::to_string(c) + ".png")));
    }
    EXPECT_TRUE(fs::exists(second / ("event-" + std::to_string(n) + ".json")));
  }
}

TEST_F(RecorderTest, ImagesAndMotionGiveWayWhenTheQueueMemoryIsFull) {
  WriteGate gate;
  recorder.setFileWriter(gate.writer());
  start();
  const auto bytes = [](uint64_t count) { return cv::Mat(static_cast<int>(count), 1, CV_8UC1, cv::Scalar(0)); };
  const std::vector<cv::Mat> big{bytes(60 * kMiB)};
  enqueueReportEvent(recorder, result("A"), big, 1.0, {});
  EXPECT_EQ(stats()["pending_bytes"], 60 * kMiB);
  const std::vector<cv::Mat> six{bytes(6 * kMiB)};
  enqueueReportEvent(recorder, result("B"), six, 2.0, {sample()});
  json s = stats();
  EXPECT_EQ(s["dropped"], 1);
  EXPECT_EQ(s["image_drops"], 1);
  EXPECT_EQ(s["motion_drops"], 1);
  EXPECT_EQ(s["pending_bytes"], 60 * kMiB);
  // Room for the images but not for the motion sets.
  const std::vector<cv::Mat> four{bytes(4 * kMiB)};
  MotionSample large = sample();
  large.frames[0] = cv::Mat(static_cast<int>(kMiB), 1, CV_8UC3, cv::Scalar(0));
  enqueueReportEvent(recorder, result("C"), four, 3.0, {large});
  s = stats();
  EXPECT_EQ(s["motion_drops"], 2);
  EXPECT_EQ(s["pending_bytes"], 64 * kMiB);
  gate.open(/*diskFull=*/true);
  stopReportRecorder(recorder);
  s = stats();
  EXPECT_EQ(s["errors"], 3);
  EXPECT_EQ(s["pending_bytes"], 0);
}

// Events after a stop used to wait for the next run and land in its folders; a start without
// a root kept up to 64 of them with nobody to write them.
TEST_F(RecorderTest, AfterAStopNothingIsQueued) {
  start();
  enqueueReportEvent(recorder, result("A"), {}, 1.0, {});
  stopReportRecorder(recorder);
  EXPECT_EQ(stats()["enabled"], false);
  for (int i = 0; i < 70; ++i) enqueueReportEvent(recorder, result("L" + std::to_string(i)), {}, 2.0, {});
  EXPECT_EQ(stats()["pending"], 0);

  startReportRecorder(recorder, "", {}, {});
  EXPECT_EQ(stats()["enabled"], false);
  enqueueReportEvent(recorder, result("B"), {}, 3.0, {});
  EXPECT_EQ(stats()["pending"], 0);

  testing::ScratchFolder second;
  startReportRecorder(recorder, second.path().string(), {}, {});
  enqueueReportEvent(recorder, result("C"), {}, 4.0, {});
  stopReportRecorder(recorder);
  const fs::path folder = foldersIn(second.path()).at(0);
  EXPECT_EQ(readJson(folder / "event-1.json")["result"]["status"], "C");
  EXPECT_FALSE(fs::exists(folder / "event-2.json"));
}

TEST_F(RecorderTest, ReferencesOverSixtyFourMebibytesFailTheStart) {
  startReportRecorder(recorder, root.path().string(), {}, {cv::Mat(1, 67108865, CV_8UC1, cv::Scalar(0))});
  const json s = stats();
  EXPECT_EQ(s["enabled"], false);
  EXPECT_EQ(s["errors"], 1);
  EXPECT_EQ(s["last_error"], "REPORT_REFERENCE_MEMORY_LIMIT");
}

TEST_F(RecorderTest, AFullDiskIsCountedAndTheNextEventGetsAValidFolder) {
  bool full = true;
  std::mutex mutex;
  recorder.setFileWriter([&](const fs::path& path, const std::vector<uchar>& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    if (full && path.filename() == "event-1.json") {
      writeFileBytes(path, std::vector<uchar>(bytes.begin(), bytes.begin() + 3));
      return false;
    }
    return writeFileBytes(path, bytes);
  });
  start();
  enqueueReportEvent(recorder, result("A"), images(8, 8), 1.0, {});
  stopReportRecorder(recorder);
  EXPECT_EQ(stats()["errors"], 1);
  EXPECT_EQ(stats()["last_error"], "REPORT_WRITE_FAILED");
  {
    std::lock_guard<std::mutex> lock(mutex);
    full = false;
  }
  start();
  enqueueReportEvent(recorder, result("B"), images(8, 8), 2.0, {});
  stopReportRecorder(recorder);
  EXPECT_EQ(stats()["saved"], 1);
  for (const fs::path& folder : foldersIn(root.path())) {
    EXPECT_TRUE(isEvidenceFolder(folder)) << folder;
    EXPECT_FALSE(fs::exists(folder / "event-1-cam-1.png") && !fs::exists(folder / "event-1.json"));
  }
}

// A clock set back between runs must not make the newest run look oldest to the storage limit.
TEST_F(RecorderTest, ARunAfterTheClockWasSetBackStillOrdersLast) {
  const fs::path future = root.path() / "tarv-4102444800000-1-1";  // the year 2100
  fs::create_directory(future);
  std::ofstream(future / "manifest.json") << "{\"schema\": \"" << kEvidenceSchema << "\"}";
  start();
  enqueueReportEvent(recorder, result("A"), {}, 1.0, {});
  stopReportRecorder(recorder);
  const std::vector<fs::path> folders = foldersIn(root.path());
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0], future);
  EXPECT_TRUE(fs::exists(folders[1] / "event-1.json"));
}

TEST_F(RecorderTest, TheWriterThreadIsNamed) {
  WriteGate gate;
  recorder.setFileWriter(gate.writer());
  start();
  enqueueReportEvent(recorder, result("A"), {}, 1.0, {});
  gate.awaitWriter();
  std::set<std::string> names;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    names.insert(name);
  }
  gate.open();
  stopReportRecorder(recorder);
  EXPECT_EQ(names.count("tarv-rundenberi"), 1u);
}

}  // namespace
}  // namespace tarv
