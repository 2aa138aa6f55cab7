#include "tarv/reports/storage_limit.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "tarv/reports/evidence_folder.h"
#include "tarv/reports/natural_order.h"

namespace tarv {

namespace fs = std::filesystem;

namespace {

// Only a complete evidence folder (its name, its files and a manifest of the evidence schema)
// is counted or deleted: a report root may hold the user's own folders, even ones named like
// ours, and a folder without a readable manifest of ours is not known to be ours.
bool isOurs(const fs::path& folder) { return isEvidenceFolder(folder); }

// Sum of the folder's file sizes; the folder holds only regular files.
uint64_t folderBytes(const fs::path& folder) {
  uint64_t total = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    total += entry.file_size();
  }
  return total;
}

// Removes the folder's files one by one and then the empty folder; stops at the first entry
// that is not one of our plain files. True when the folder is gone.
bool deleteFolder(const fs::path& folder) noexcept {
  try {
    std::error_code error;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (!fs::is_regular_file(entry.symlink_status()) || !isEvidenceFileName(entry.path())) {
        return false;
      }
      files.push_back(entry.path());
    }
    for (const fs::path& file : files) {
      if (!fs::remove(file, error) && error) return false;
    }
    return fs::remove(folder, error) && !error;
  } catch (...) {
    return false;
  }
}

}  // namespace

void enforceReportStorageLimit(const StorageBudget& budget) {
  const uint64_t allowed =
      budget.diskLimit > budget.pendingReserve ? budget.diskLimit - budget.pendingReserve : 0;
  struct Folder {
    fs::path path;
    uint64_t bytes;
  };
  std::vector<Folder> folders;
  uint64_t total = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(budget.root)) {
    if (!isOurs(entry.path())) continue;
    uint64_t bytes = 0;
    try {
      bytes = folderBytes(entry.path());
    } catch (const fs::filesystem_error&) {
      continue;  // vanished or unreadable while sizing: judged again by the next event
    }
    folders.push_back({entry.path(), bytes});
    total += bytes;
  }
  std::sort(folders.begin(), folders.end(),
            [](const Folder& a, const Folder& b) { return lessByFolderName(a.path, b.path); });
  for (const Folder& folder : folders) {
    if (total <= allowed) break;
    if (!budget.currentFolder.empty() && folder.path == budget.currentFolder) continue;
    if (!isOurs(folder.path)) continue;
    if (deleteFolder(folder.path)) total -= folder.bytes;
  }
  if (total > allowed) throw std::runtime_error("REPORT_STORAGE_LIMIT");
}

uint64_t newestRunMilliseconds(const fs::path& root) noexcept {
  uint64_t newest = 0;
  try {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, error)) {
      const std::string name = entry.path().filename().string();
      // Naming only: any folder named like ours keeps a new run's name clear of it.
      if (!isEvidenceFolderName(name) || classifyFolder(entry.path()) == FolderKind::kForeign) continue;
      const std::string digits = name.substr(5, name.find('-', 5) - 5);
      if (digits.size() > 18) continue;  // beyond any clock; would not fit the count
      newest = std::max<uint64_t>(newest, std::stoull(digits));
    }
  } catch (...) {
  }
  return newest;
}

}  // namespace tarv
