#include "tarv/reports/evidence_folder.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <system_error>

#include <nlohmann/json.hpp>

namespace tarv {

namespace fs = std::filesystem;

const char* const kEvidenceSchema = "tarvenlox-round-evidence-v1";

namespace {

const std::regex& fileNamePattern() {
  static const std::regex pattern(
      "(manifest\\.json|reference-[123]\\.png|event-[0-9]+(\\.json|-3d\\.jpg|-view\\.jpg|"
      "-cam-[123]\\.png|-motion-[0-5]-cam-[123]\\.png))",
      std::regex::ECMAScript);
  return pattern;
}

const std::regex& folderNamePattern() {
  static const std::regex pattern("tarv-[0-9]+-[0-9]+-[0-9]+", std::regex::ECMAScript);
  return pattern;
}

enum class Manifest { kUnreadable, kOurs, kOther };

Manifest readManifest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Manifest::kOther;  // present but not ours to judge
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded()) return Manifest::kUnreadable;
  const bool ours = document.is_object() && document.contains("schema") &&
                    document["schema"].is_string() &&
                    document["schema"].get<std::string>() == kEvidenceSchema;
  return ours ? Manifest::kOurs : Manifest::kOther;
}

}  // namespace

std::string evidenceFolderName(const std::string& runName, uint32_t segment) {
  return "tarv-" + runName + "-" + std::to_string(segment);
}

bool isEvidenceFileName(const fs::path& path) {
  return std::regex_match(path.filename().string(), fileNamePattern());
}

bool isEvidenceFolderName(const std::string& name) {
  return std::regex_match(name, folderNamePattern());
}

FolderKind classifyFolder(const fs::path& path) noexcept {
  try {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::is_directory(status)) return FolderKind::kForeign;
    if (!isEvidenceFolderName(path.filename().string())) return FolderKind::kForeign;
    bool hasManifest = false;
    fs::directory_iterator entries(path, error);
    if (error) return FolderKind::kForeign;
    for (const fs::directory_entry& entry : entries) {
      const fs::file_status entryStatus = entry.symlink_status(error);
      if (error || !fs::is_regular_file(entryStatus) || !isEvidenceFileName(entry.path())) {
        return FolderKind::kForeign;
      }
      if (entry.path().filename() == "manifest.json") hasManifest = true;
    }
    if (!hasManifest) return FolderKind::kUnfinished;
    switch (readManifest(path / "manifest.json")) {
      case Manifest::kOurs: return FolderKind::kEvidence;
      case Manifest::kUnreadable: return FolderKind::kUnfinished;
      default: return FolderKind::kForeign;
    }
  } catch (...) {
    return FolderKind::kForeign;
  }
}

bool isEvidenceFolder(const fs::path& path) noexcept {
  return classifyFolder(path) == FolderKind::kEvidence;
}

}  // namespace tarv
