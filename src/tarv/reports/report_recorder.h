// The local, size-bounded record of what the runtime decided: results with their camera
// images and motion frame sets are queued cheaply on the runtime's thread and written into
// evidence folders by the "tarv-rundenberichte" thread. Nothing is ever sent anywhere.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/reports/evidence_writer.h"
#include "tarv/reports/report_event.h"

namespace tarv {

class ReportRecorder {
 public:
  // Fails with "INVALID_REPORT_LIMIT" unless diskLimit > pendingReserve.
  ReportRecorder(uint64_t diskLimit, uint64_t pendingReserve, uint64_t segmentLimit);
  ~ReportRecorder();
  ReportRecorder(const ReportRecorder&) = delete;
  ReportRecorder& operator=(const ReportRecorder&) = delete;

  // Replaces how files reach the disk; only while no writer thread runs (tests).
  void setFileWriter(FileWriter writer) { evidence_.fileWriter = std::move(writer); }

 private:
  friend void startReportRecorder(ReportRecorder&, const std::string&, const json&,
                                  const std::vector<cv::Mat>&) noexcept;
  friend void stopReportRecorder(ReportRecorder&) noexcept;
  friend void enqueueReportEvent(ReportRecorder&, json, const std::vector<cv::Mat>&, double,
                                 const std::vector<MotionSample>&) noexcept;
  friend json buildReportStatistics(ReportRecorder&);
  friend void runReportLoop(ReportRecorder&);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread writer_;
  std::deque<ReportEvent> queue_;
  bool stop_ = false;
  bool enabled_ = false;
  uint64_t pendingBytes_ = 0;
  uint64_t pending_ = 0;
  uint64_t saved_ = 0;
  uint64_t dropped_ = 0;
  uint64_t errors_ = 0;
  uint64_t coalesced_ = 0;
  std::string lastError_;
  std::string lastSignature_;      // of the last queued event
  double lastEventTime_ = -1e30;  // monotonic seconds of the last queued event
  uint64_t imageDrops_ = 0;
  uint64_t motionDrops_ = 0;
  uint64_t metadataDrops_ = 0;
  uint64_t unchangedImagesSkipped_ = 0;

  // Written only by start and stop while no writer thread runs; the writer's own otherwise.
  EvidenceState evidence_;
};

// Stops a running writer, then starts a run into the root folder: an empty root leaves the
// recorder disabled. Failures are counted under "REPORT_" codes, never thrown.
void startReportRecorder(ReportRecorder& recorder, const std::string& root,
                         const json& runDocument, const std::vector<cv::Mat>& references) noexcept;
// Refuses further events, writes every queued one, joins the writer thread.
void stopReportRecorder(ReportRecorder& recorder) noexcept;
// Queues a result with copies of its images and motion frame sets, merging repeats and
// thinning what the queue's memory cannot hold. time: monotonic seconds of the result.
void enqueueReportEvent(ReportRecorder& recorder, json event, const std::vector<cv::Mat>& images,
                        double time, const std::vector<MotionSample>& motion) noexcept;
json buildReportStatistics(ReportRecorder& recorder);

// The writer thread's loop: writes queued events until stopped and drained.
void runReportLoop(ReportRecorder& recorder);

}  // namespace tarv
