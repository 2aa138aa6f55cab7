// Recognising evidence folders: the folder name, the closed list of file names, the manifest's
// schema. Nothing that fails these rules is ever counted or deleted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tarv {

extern const char* const kEvidenceSchema;  // "tarvenlox-round-evidence-v1"

// "tarv-" + run name + "-" + segment.
std::string evidenceFolderName(const std::string& runName, uint32_t segment);

// The whole file name is one of the files an evidence folder holds.
bool isEvidenceFileName(const std::filesystem::path& path);
// The whole name is "tarv-" and three decimal numbers joined by hyphens.
bool isEvidenceFolderName(const std::string& name);

enum class FolderKind {
  kForeign,     // not ours: never counted, never touched
  kEvidence,    // a complete evidence folder
  kUnfinished,  // ours, but its manifest is missing or was cut off while being written
};

// A real directory (not a link) with an evidence folder name that holds only regular files
// with evidence file names is ours: complete when manifest.json is a regular file whose
// "schema" is the evidence schema, unfinished when manifest.json is absent or is not a JSON
// document at all. Any other manifest, and anything that cannot be read, is foreign.
FolderKind classifyFolder(const std::filesystem::path& path) noexcept;
bool isEvidenceFolder(const std::filesystem::path& path) noexcept;

}  // namespace tarv
