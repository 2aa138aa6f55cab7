// Writes queued report events into the evidence folders of a run: each folder is a segment
// with a manifest, the arm references and up to 48 events.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/reports/latest_view_file.h"
#include "tarv/reports/report_event.h"

namespace tarv {

struct ReportLimits {
  uint64_t diskLimit = 536870912;
  uint64_t pendingReserve = 150994944;
  uint64_t segmentLimit = 67108864;
};

// The run and folder state the writer thread owns while it runs.
struct EvidenceState {
  ReportLimits limits;
  std::filesystem::path root;
  std::string runName;
  json runDocument;
  std::vector<cv::Mat> references;

  std::filesystem::path currentFolder;  // empty when no folder is open
  uint64_t segmentBytes = 0;
  uint32_t segmentNumber = 0;
  uint32_t eventsInSegment = 0;
  std::vector<cv::Mat> previousImages;
  json lastCalibrations;

  FileWriter fileWriter = writeFileBytes;
};

// Writes one event: its camera images, 3D view and overview when it has them, its motion
// frame sets and finally "event-N.json". Throws a "REPORT_" code or another error on
// failure; the files of a failed event are removed again so that no image is left without
// its document, and a folder whose opening failed is closed and removed.
void writeRoundReport(EvidenceState& state, ReportEvent& event);

// JSON with an indent of 2, keys in order, no trailing newline; "REPORT_WRITE_FAILED".
// Both add the file's size to the segment bytes and return it; a file that could not be
// written whole is removed.
uint64_t writeJsonFile(EvidenceState& state, const std::filesystem::path& path, const json& document);
// PNG with compression level 1; "REPORT_IMAGE_WRITE_FAILED".
uint64_t writeImageFile(EvidenceState& state, const std::filesystem::path& path, const cv::Mat& image);

uint64_t utcUnixMilliseconds();

}  // namespace tarv
