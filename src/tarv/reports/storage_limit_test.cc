#include "tarv/reports/storage_limit.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "tarv/reports/evidence_folder.h"
#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1048576;

// An evidence folder whose camera image is a sparse file of the given size.
fs::path makeEvidence(const fs::path& root, const std::string& name, uint64_t bytes) {
  const fs::path folder = root / name;
  fs::create_directory(folder);
  std::ofstream(folder / "manifest.json") << "{\"schema\": \"" << kEvidenceSchema << "\"}";
  std::ofstream(folder / "event-1-cam-1.png").close();
  fs::resize_file(folder / "event-1-cam-1.png", bytes - fs::file_size(folder / "manifest.json"));
  return folder;
}

// The runtime's limits: 368 MiB for written evidence.
StorageBudget runtimeBudget(const fs::path& root, const fs::path& current = {}) {
  return {root, 512 * kMiB, 144 * kMiB, current};
}

TEST(StorageLimit, OldestFolderGoesFirstInNaturalOrder) {
  testing::ScratchFolder root;
  // Named so that a byte-wise sort would pick the wrong folder first.
  const fs::path f1 = makeEvidence(root.path(), "tarv-999-7-1", 80 * kMiB);
  const fs::path f2 = makeEvidence(root.path(), "tarv-1000-7-2", 80 * kMiB);
  const fs::path f3 = makeEvidence(root.path(), "tarv-1000-7-10", 80 * kMiB);
  const fs::path f4 = makeEvidence(root.path(), "tarv-1000-8-1", 80 * kMiB);
  const fs::path f5 = makeEvidence(root.path(), "tarv-1000-8-2", 80 * kMiB);
  enforceReportStorageLimit(runtimeBudget(root.path()));
  EXPECT_FALSE(fs::exists(f1));
  for (const fs::path& kept : {f2, f3, f4, f5}) EXPECT_TRUE(fs::exists(kept)) << kept;

  makeEvidence(root.path(), "tarv-1000-8-3", 80 * kMiB);  // 400 MiB again
  enforceReportStorageLimit(runtimeBudget(root.path()));
  EXPECT_FALSE(fs::exists(f2));
  EXPECT_TRUE(fs::exists(f3));
}

TEST(StorageLimit, WhatIsNotOursIsNeitherCountedNorTouched) {
  testing::ScratchFolder root;
  const fs::path old = makeEvidence(root.path(), "tarv-1-1-1", 100 * kMiB);
  const fs::path noted = makeEvidence(root.path(), "tarv-1-1-2", 300 * kMiB);
  std::ofstream(noted / "notes.txt") << "the final of 2026";
  const fs::path outside = makeEvidence(root.path(), "elsewhere", 300 * kMiB);
  fs::rename(outside, root.path() / ".." / (root.path().filename().string() + "-outside"));
  const fs::path outsideNow = root.path() / ".." / (root.path().filename().string() + "-outside");
  fs::create_directory_symlink(outsideNow, root.path() / "tarv-0-0-1");
  std::ofstream(root.path() / "latest-3d.rgb").close();
  fs::resize_file(root.path() / "latest-3d.rgb", 300 * kMiB);

  // Only the 100 MiB folder counts: within the budget, nothing goes.
  enforceReportStorageLimit(runtimeBudget(root.path()));
  EXPECT_TRUE(fs::exists(old));
  EXPECT_TRUE(fs::exists(noted / "event-1-cam-1.png"));
  EXPECT_TRUE(fs::exists(outsideNow / "manifest.json"));
  EXPECT_TRUE(fs::exists(root.path() / "latest-3d.rgb"));
  fs::remove_all(outsideNow);
}

TEST(StorageLimit, TheCurrentFolderStaysEvenOverTheBudget) {
  testing::ScratchFolder root;
  const fs::path current = makeEvidence(root.path(), "tarv-1-1-1", 400 * kMiB);
  try {
    enforceReportStorageLimit(runtimeBudget(root.path(), current));
    FAIL() << "expected REPORT_STORAGE_LIMIT";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "REPORT_STORAGE_LIMIT");
  }
  EXPECT_TRUE(fs::exists(current / "event-1-cam-1.png"));
}

// A folder named like ours is touched only with a manifest of ours: without one, with one that
// is no JSON, or empty, it may be the user's, and it is neither counted nor deleted.
TEST(StorageLimit, FoldersWithoutAManifestOfOursAreNeitherCountedNorDeleted) {
  testing::ScratchFolder root;
  const fs::path cut = makeEvidence(root.path(), "tarv-1-1-1", 200 * kMiB);
  fs::remove(cut / "manifest.json");
  const fs::path broken = makeEvidence(root.path(), "tarv-1-1-2", 200 * kMiB);
  std::ofstream(broken / "manifest.json", std::ios::trunc) << "{\"schema\": \"tarvenlox-ro";
  const fs::path empty = root.path() / "tarv-1-2-3";
  fs::create_directory(empty);
  const fs::path kept = makeEvidence(root.path(), "tarv-2-1-1", 200 * kMiB);
  // Only the one evidence folder counts, 200 MiB: within the budget.
  enforceReportStorageLimit(runtimeBudget(root.path()));
  for (const fs::path& folder : {cut, broken, empty, kept}) EXPECT_TRUE(fs::exists(folder)) << folder;

  // Over the budget with evidence folders, only they go.
  const fs::path second = makeEvidence(root.path(), "tarv-3-1-1", 200 * kMiB);
  enforceReportStorageLimit(runtimeBudget(root.path()));
  EXPECT_FALSE(fs::exists(kept));
  for (const fs::path& folder : {cut, broken, empty, second}) EXPECT_TRUE(fs::exists(folder)) << folder;
}

// A folder the system will not let go of is passed over; the next one is deleted instead and
// the event goes on.
TEST(StorageLimit, AFolderThatCannotBeDeletedDoesNotBlockTheNext) {
  testing::ScratchFolder root;
  const fs::path stuck = makeEvidence(root.path(), "tarv-1-1-1", 100 * kMiB);
  const fs::path next = makeEvidence(root.path(), "tarv-2-1-1", 200 * kMiB);
  makeEvidence(root.path(), "tarv-3-1-1", 100 * kMiB);
  const std::string pinned = (stuck / "event-1-cam-1.png").string();
  if (std::system(("chattr +i '" + pinned + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "the file system cannot pin a file";
  }
  EXPECT_NO_THROW(enforceReportStorageLimit(runtimeBudget(root.path())));
  EXPECT_TRUE(fs::exists(stuck / "event-1-cam-1.png"));
  EXPECT_FALSE(fs::exists(next));
  // Only the stuck folder and the newest are left, 200 MiB.
  EXPECT_NO_THROW(enforceReportStorageLimit(runtimeBudget(root.path())));
  std::system(("chattr -i '" + pinned + "'").c_str());
}

TEST(StorageLimit, NewestRunOnDiskIsFoundForTheNextRunsName) {
  testing::ScratchFolder root;
  EXPECT_EQ(newestRunMilliseconds(root.path()), 0u);
  EXPECT_EQ(newestRunMilliseconds(root.path() / "missing"), 0u);
  makeEvidence(root.path(), "tarv-1700000000900-5-1", kMiB);
  makeEvidence(root.path(), "tarv-1700000000100-5-1", kMiB);
  const fs::path foreign = makeEvidence(root.path(), "tarv-1900000000000-5-1", kMiB);
  std::ofstream(foreign / "notes.txt") << "not ours";
  EXPECT_EQ(newestRunMilliseconds(root.path()), 1700000000900u);
}

}  // namespace
}  // namespace tarv
