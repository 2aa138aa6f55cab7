#include "tarv/reports/report_recorder.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "tarv/reports/json_member.h"
#include "tarv/reports/storage_limit.h"
#include "tarv/core/thread_name.h"

namespace tarv {

namespace {

constexpr std::size_t kQueueLimit = 64;
constexpr uint64_t kQueueBytes = 67108864;
constexpr uint64_t kReferenceBytes = 67108864;
constexpr std::size_t kMotionSetLimit = 6;

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

double coalescingWindow(const std::string& signature, const std::string& status) {
  if (status == "POSITION_UNRESOLVED" || status == "REMOVAL_PENDING" || status == "WAIT_DECISION") {
    return 0.5;
  }
  if (contains(signature, "RECOVERY_WAIT") || contains(signature, "EMPTY_PENDING") ||
      contains(signature, "SETTLING")) {
    return 5.0;
  }
  return 60.0;
}

// The failure's own text when it is one of the recorder's codes, else the fallback.
std::string reportCode(std::exception_ptr failure, const char* fallback) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    const std::string text = error.what();
    return text.rfind("REPORT_", 0) == 0 ? text : fallback;
  } catch (...) {
    return fallback;
  }
}

// Writing, encoding and deleting must never compete with capture and scoring.
void enterBackgroundMode() noexcept {
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
}

void reportThreadMain(ReportRecorder* recorder) {
  setThreadName("tarv-rundenberichte");
  enterBackgroundMode();
  runReportLoop(*recorder);
}

std::string runName(const std::filesystem::path& root) {
  const uint64_t now = utcUnixMilliseconds();
  // A clock set back between runs must not make this run order before older ones, or the
  // storage limit would delete it first.
  const uint64_t after = newestRunMilliseconds(root) + 1;
  const auto steady = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  return std::to_string(std::max(now, after)) + "-" + std::to_string(steady);
}

}  // namespace

ReportRecorder::ReportRecorder(uint64_t diskLimit, uint64_t pendingReserve, uint64_t segmentLimit) {
  if (diskLimit <= pendingReserve) throw std::invalid_argument("INVALID_REPORT_LIMIT");
  evidence_.limits = {diskLimit, pendingReserve, segmentLimit};
}

ReportRecorder::~ReportRecorder() { stopReportRecorder(*this); }

void startReportRecorder(ReportRecorder& recorder, const std::string& root, const json& runDocument,
                         const std::vector<cv::Mat>& references) noexcept {
  stopReportRecorder(recorder);
  if (root.empty()) {
    // Without a root nothing would ever write the queue: keep nothing for a writer.
    std::lock_guard<std::mutex> lock(recorder.mutex_);
    recorder.enabled_ = false;
    recorder.queue_.clear();
    recorder.pending_ = 0;
    recorder.pendingBytes_ = 0;
    return;
  }
  try {
    EvidenceState& evidence = recorder.evidence_;
    evidence.root = std::filesystem::path(root);
    evidence.runDocument = runDocument;
    uint64_t referenceBytes = 0;
    for (const cv::Mat& image : references) referenceBytes += imageBytes(image);
    if (referenceBytes > kReferenceBytes) throw std::runtime_error("REPORT_REFERENCE_MEMORY_LIMIT");
    evidence.references.clear();
    for (const cv::Mat& image : references) evidence.references.push_back(image.clone());
    evidence.runName = runName(evidence.root);
    evidence.currentFolder.clear();
    evidence.segmentBytes = 0;
    evidence.segmentNumber = 0;
    evidence.eventsInSegment = 0;
    evidence.previousImages.clear();
    evidence.lastCalibrations = nullptr;
    {
      std::lock_guard<std::mutex> lock(recorder.mutex_);
      recorder.saved_ = recorder.dropped_ = recorder.errors_ = recorder.coalesced_ = 0;
      recorder.imageDrops_ = recorder.motionDrops_ = recorder.metadataDrops_ = 0;
      recorder.unchangedImagesSkipped_ = 0;
      recorder.lastError_.clear();
      recorder.lastSignature_.clear();
      recorder.lastEventTime_ = -1e30;
      recorder.stop_ = false;
      recorder.enabled_ = true;
    }
    recorder.writer_ = std::thread(reportThreadMain, &recorder);
  } catch (...) {
    const std::string code = reportCode(std::current_exception(), "REPORT_START_FAILED");
    std::lock_guard<std::mutex> lock(recorder.mutex_);
    recorder.enabled_ = false;
    recorder.errors_ += 1;
    recorder.lastError_ = code;
    recorder.evidence_.references.clear();
  }
}

void stopReportRecorder(ReportRecorder& recorder) noexcept {
  {
    std::lock_guard<std::mutex> lock(recorder.mutex_);
    recorder.stop_ = true;
    // Events after a stop would otherwise wait for the next run and land in its folders.
    recorder.enabled_ = false;
  }
  recorder.wake_.notify_all();
  if (recorder.writer_.joinable() && recorder.writer_.get_id() != std::this_thread::get_id()) {
    try {
      recorder.writer_.join();
    } catch (...) {
    }
    recorder.evidence_.references.clear();
  }
}

void enqueueReportEvent(ReportRecorder& recorder, json event, const std::vector<cv::Mat>& images,
                        double time, const std::vector<MotionSample>& motion) noexcept {
  std::lock_guard<std::mutex> lock(recorder.mutex_);
  if (!recorder.enabled_) return;
  try {
    const json& result = member(event, "result");
    const std::string topStatus = textMember(event, "status");
    const std::string status = textMember(result, "status", topStatus);
    const json& entries = member(result, "entries");
    const std::string signature =
        topStatus + status + textMember(result, "reason") +
        (entries.is_null() ? json::array() : entries).dump(-1, ' ', false, json::error_handler_t::replace);
    // Only a repeat of the last event is merged: the same result after another one is news.
    if (signature == recorder.lastSignature_ &&
        time - recorder.lastEventTime_ < coalescingWindow(signature, status)) {
      recorder.coalesced_ += 1;
      return;
    }

    uint64_t imageTotal = 0;
    for (const cv::Mat& image : images) imageTotal += imageBytes(image);
    uint64_t motionTotal = 0;
    for (std::size_t k = 0; k < motion.size() && k < kMotionSetLimit; ++k) {
      motionTotal += motionSampleBytes(motion[k]);
    }
    if (recorder.pending_ >= kQueueLimit) {
      recorder.dropped_ += 1;
      recorder.metadataDrops_ += 1;
      return;
    }

    bool keepImages = true;
    bool keepMotion = true;
    uint64_t estimate = 0;
    if (status == "READY" || status == "ROUND_FULL") {
      keepImages = keepMotion = false;
      recorder.unchangedImagesSkipped_ += 1;
      event["images_omitted_unchanged_status"] = true;
    } else {
      const uint64_t room = kQueueBytes - std::min(kQueueBytes, recorder.pendingBytes_);
      if (imageTotal > room) {
        keepImages = keepMotion = false;
        recorder.dropped_ += 1;
        recorder.imageDrops_ += 1;
        event["images_omitted_due_to_backpressure"] = true;
      } else if (motionTotal > room - imageTotal) {
        keepMotion = false;
        estimate = imageTotal;
      } else {
        estimate = imageTotal + motionTotal;
      }
    }
    if (!keepMotion && !motion.empty()) {
      recorder.motionDrops_ += 1;
      event["motion_omitted_due_to_backpressure"] = true;
    }
    event["monotonic_seconds"] = time;
    event["utc_unix_ms_observed"] = utcUnixMilliseconds();
    event["recorder_dropped"] = recorder.dropped_;
    event["recorder_errors"] = recorder.errors_;

    ReportEvent queued;
    queued.document = std::move(event);
    queued.estimate = estimate;
    if (keepImages) {
      for (const cv::Mat& image : images) queued.images.push_back(image.clone());
    }
    if (keepMotion) {
      for (std::size_t k = 0; k < motion.size() && k < kMotionSetLimit; ++k) {
        queued.motion.push_back(cloneMotionSample(motion[k]));
      }
    }
    recorder.queue_.push_back(std::move(queued));
    recorder.pendingBytes_ += estimate;
    recorder.pending_ += 1;
    recorder.lastSignature_ = signature;
    recorder.lastEventTime_ = time;
  } catch (...) {
    recorder.errors_ += 1;
    recorder.lastError_ = "REPORT_ENQUEUE_FAILED";
    return;
  }
  recorder.wake_.notify_one();
}

void runReportLoop(ReportRecorder& recorder) {
  while (true) {
    ReportEvent event;
    {
      std::unique_lock<std::mutex> lock(recorder.mutex_);
      recorder.wake_.wait(lock, [&] { return recorder.stop_ || !recorder.queue_.empty(); });
      if (recorder.queue_.empty()) return;
      event = std::move(recorder.queue_.front());
      recorder.queue_.pop_front();
    }
    std::string failure;
    try {
      writeRoundReport(recorder.evidence_, event);
    } catch (...) {
      failure = reportCode(std::current_exception(), "REPORT_IO_OR_IMAGE_ERROR");
    }
    {
      std::lock_guard<std::mutex> lock(recorder.mutex_);
      recorder.pendingBytes_ -= std::min(recorder.pendingBytes_, event.estimate);
      recorder.pending_ -= std::min<uint64_t>(recorder.pending_, 1);
      if (failure.empty()) {
        recorder.saved_ += 1;
      } else {
        recorder.errors_ += 1;
        recorder.lastError_ = failure;
      }
    }
    recorder.wake_.notify_all();
  }
}

json buildReportStatistics(ReportRecorder& recorder) {
  std::lock_guard<std::mutex> lock(recorder.mutex_);
  return {{"coalesced", recorder.coalesced_},
          {"disk_limit_mb", recorder.evidence_.limits.diskLimit / 1048576},
          {"dropped", recorder.dropped_},
          {"enabled", recorder.enabled_},
          {"errors", recorder.errors_},
          {"image_drops", recorder.imageDrops_},
          {"last_error", recorder.lastError_},
          {"local_only", true},
          {"metadata_drops", recorder.metadataDrops_},
          {"motion_drops", recorder.motionDrops_},
          {"pending", recorder.pending_},
          {"pending_bytes", recorder.pendingBytes_},
          {"saved", recorder.saved_},
          {"unchanged_images_skipped", recorder.unchangedImagesSkipped_}};
}

}  // namespace tarv
