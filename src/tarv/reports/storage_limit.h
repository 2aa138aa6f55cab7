// Keeps the evidence under the report root within its byte budget, oldest folders first.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tarv {

struct StorageBudget {
  std::filesystem::path root;
  uint64_t diskLimit = 0;
  uint64_t pendingReserve = 0;
  std::filesystem::path currentFolder;  // never deleted
};

// Deletes the oldest evidence folders (natural order of their names) until the evidence in
// the root fits diskLimit - pendingReserve. Only folders the recorder made are counted and
// deleted, file by file and then the empty folder, never following a link; a folder that
// cannot be deleted is left and the next one tried. Throws "REPORT_STORAGE_LIMIT" when the
// budget cannot be met, and file system errors when the root cannot be listed.
void enforceReportStorageLimit(const StorageBudget& budget);

// The largest first number of the names of the recorder's folders in the root (0 when
// none), so that a new run can be named after every run already on disk.
uint64_t newestRunMilliseconds(const std::filesystem::path& root) noexcept;

}  // namespace tarv
