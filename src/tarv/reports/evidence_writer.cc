#include "tarv/reports/evidence_writer.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "tarv/reports/evidence_folder.h"
#include "tarv/reports/json_member.h"
#include "tarv/reports/report_images.h"
#include "tarv/reports/storage_limit.h"

namespace tarv {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kEventsPerSegment = 48;
constexpr uint64_t kOverviewDiskLimit = 67108864;

std::optional<std::vector<uchar>> encode(const char* extension, const cv::Mat& image,
                                         const std::vector<int>& parameters) {
  std::vector<uchar> bytes;
  if (!cv::imencode(extension, image, bytes, parameters)) return std::nullopt;
  return bytes;
}

// The files written for one event or one folder opening, removed again when it fails.
class WrittenFiles {
 public:
  explicit WrittenFiles(EvidenceState& state) : state_(state) {}
  void add(const fs::path& path, uint64_t bytes) { files_.emplace_back(path, bytes); }
  void removeAll() noexcept {
    for (const auto& [path, bytes] : files_) {
      std::error_code error;
      if (fs::remove(path, error)) state_.segmentBytes -= std::min(state_.segmentBytes, bytes);
    }
    files_.clear();
  }

 private:
  EvidenceState& state_;
  std::vector<std::pair<fs::path, uint64_t>> files_;
};

// Writes an optional picture: a failure to draw, encode or write leaves it out.
std::optional<uint64_t> writePicture(EvidenceState& state, const fs::path& path,
                                     const std::function<cv::Mat()>& draw, int quality,
                                     cv::Mat& drawn) noexcept {
  try {
    drawn = draw();
    const auto bytes = encode(".jpg", drawn, {cv::IMWRITE_JPEG_QUALITY, quality});
    if (!bytes) return std::nullopt;
    if (!state.fileWriter(path, *bytes)) {
      std::error_code error;
      fs::remove(path, error);
      return std::nullopt;
    }
    state.segmentBytes += bytes->size();
    return bytes->size();
  } catch (...) {
    return std::nullopt;
  }
}

void openSegment(EvidenceState& state) {
  state.segmentNumber += 1;
  state.currentFolder.clear();
  state.segmentBytes = 0;
  state.eventsInSegment = 0;
  const fs::path folder = state.root / evidenceFolderName(state.runName, state.segmentNumber);
  // Someone else's folder: left alone, and the next event tries the next number.
  if (!fs::create_directory(folder)) throw std::runtime_error("REPORT_DIRECTORY_COLLISION");
  WrittenFiles written(state);
  try {
    json manifest = state.runDocument.is_object() ? state.runDocument : json::object();
    manifest["image_space"] = "RECTIFIED_CAPTURE";
    manifest["local_only"] = true;
    manifest["references"] =
        "Original arm references; later EMPTY_RESET events document baseline refreshes. Keep "
        "segments of a run together.";
    manifest["run"] = state.runName;
    manifest["schema"] = kEvidenceSchema;
    manifest["segment"] = state.segmentNumber;
    const fs::path manifestPath = folder / "manifest.json";
    written.add(manifestPath, writeJsonFile(state, manifestPath, manifest));
    // Three cameras; a fourth file name would make the folder unrecognisable.
    for (std::size_t i = 0; i < state.references.size() && i < 3; ++i) {
      const fs::path path = folder / ("reference-" + std::to_string(i + 1) + ".png");
      written.add(path, writeImageFile(state, path, state.references[i]));
    }
  } catch (...) {
    // A half-opened folder is closed and removed, so that the next event opens a complete
    // one and nothing is left that the storage limit would have to guess about.
    written.removeAll();
    std::error_code error;
    fs::remove(folder, error);
    throw;
  }
  state.currentFolder = folder;
}

uint64_t writeBytes(EvidenceState& state, const fs::path& path, const std::vector<uchar>& bytes,
                    const char* failure) {
  if (!state.fileWriter(path, bytes)) {
    std::error_code error;
    fs::remove(path, error);  // a cut-off file is no evidence
    throw std::runtime_error(failure);
  }
  state.segmentBytes += bytes.size();
  return bytes.size();
}

}  // namespace

uint64_t utcUnixMilliseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

uint64_t writeJsonFile(EvidenceState& state, const fs::path& path, const json& document) {
  const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
  return writeBytes(state, path, std::vector<uchar>(text.begin(), text.end()), "REPORT_WRITE_FAILED");
}

uint64_t writeImageFile(EvidenceState& state, const fs::path& path, const cv::Mat& image) {
  const auto bytes = encode(".png", image, {cv::IMWRITE_PNG_COMPRESSION, 1});
  if (!bytes) throw std::runtime_error("REPORT_IMAGE_WRITE_FAILED");
  return writeBytes(state, path, *bytes, "REPORT_IMAGE_WRITE_FAILED");
}

void writeRoundReport(EvidenceState& state, ReportEvent& event) {
  fs::create_directories(state.root);
  enforceReportStorageLimit(
      {state.root, state.limits.diskLimit, state.limits.pendingReserve, state.currentFolder});
  if (state.currentFolder.empty() || state.eventsInSegment >= kEventsPerSegment ||
      state.segmentBytes >= state.limits.segmentLimit) {
    openSegment(state);
  }
  state.eventsInSegment += 1;
  const std::string base = "event-" + std::to_string(state.eventsInSegment);
  const fs::path folder = state.currentFolder;
  json& document = event.document;
  WrittenFiles written(state);
  try {
    document["images"] = json::array();
    for (std::size_t i = 0; i < event.images.size(); ++i) {
      const std::string name = base + "-cam-" + std::to_string(i + 1) + ".png";
      written.add(folder / name, writeImageFile(state, folder / name, event.images[i]));
      document["images"].push_back(name);
    }

    const json& result = member(document, "result");
    const std::string status = textMember(result, "status");
    const std::string reason = textMember(result, "reason");
    const bool threeImages = event.images.size() == 3;
    if (threeImages && member(result, "dart_3d").is_object() &&
        member(result, "dart_3d").contains("overlay") &&
        (status == "DART_CANDIDATE" || reason == "DART_3D_TIP_ABOVE_BOARD" ||
         reason == "SINGLE_VIEW_TIP_INSIDE_CHANGE")) {
      const std::string name = base + "-3d.jpg";
      cv::Mat view;
      const auto bytes = writePicture(
          state, folder / name, [&] { return draw3dView(event.images, result); }, 85, view);
      if (bytes) {
        written.add(folder / name, *bytes);
        document["image_3d"] = name;
        writeLatest3dView(state.root, view, state.fileWriter);
      }
    }

    const json& calibrations = member(result, "calibrations");
    if (calibrations.is_array() && calibrations.size() == 3) state.lastCalibrations = calibrations;

    if (threeImages) {
      if (state.limits.diskLimit >= kOverviewDiskLimit) {
        const std::string name = base + "-view.jpg";
        const OverviewContext context{state.previousImages, state.references,
                                      state.lastCalibrations, state.runDocument};
        cv::Mat view;
        const auto bytes = writePicture(
            state, folder / name, [&] { return drawReportOverlay(context, event.images, result); },
            82, view);
        if (bytes) {
          written.add(folder / name, *bytes);
          document["image_view"] = name;
        }
      }
      state.previousImages = event.images;
    }

    document["motion_frames"] = json::array();
    for (std::size_t k = 0; k < event.motion.size() && k < 6; ++k) {
      const MotionSample& sample = event.motion[k];
      json names = json::array();
      for (int c = 0; c < 3; ++c) {
        const std::string name =
            base + "-motion-" + std::to_string(k) + "-cam-" + std::to_string(c + 1) + ".png";
        written.add(folder / name, writeImageFile(state, folder / name, sample.frames[c]));
        names.push_back(name);
      }
      document["motion_frames"].push_back(
          {{"capture_times", sample.captureTimes},
           {"sequences", sample.sequences},
           {"hand_seen", sample.handSeen},
           {"hand_confirmed", sample.handConfirmed},
           {"images", names},
           {"image_space", "RECTIFIED_REDUCED_CAPTURE"}});
    }

    document["utc_unix_ms_written"] = utcUnixMilliseconds();
    writeJsonFile(state, folder / (base + ".json"), document);
  } catch (...) {
    // Images without their event document would be evidence nobody can read.
    written.removeAll();
    throw;
  }
}

}  // namespace tarv
