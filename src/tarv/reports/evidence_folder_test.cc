#include "tarv/reports/evidence_folder.h"

#include <fstream>

#include <gtest/gtest.h>

#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

fs::path makeFolder(const fs::path& root, const std::string& name, const std::string& schema) {
  const fs::path folder = root / name;
  fs::create_directory(folder);
  writeText(folder / "manifest.json", "{\"schema\": \"" + schema + "\", \"segment\": 1}");
  writeText(folder / "event-1.json", "{}");
  writeText(folder / "event-1-cam-2.png", "png");
  return folder;
}

TEST(EvidenceFileName, OnlyTheFilesAFolderHolds) {
  for (const char* name : {"manifest.json", "reference-3.png", "event-12.json", "event-1-3d.jpg",
                           "event-48-view.jpg", "event-2-cam-1.png", "event-7-motion-5-cam-3.png"}) {
    EXPECT_TRUE(isEvidenceFileName(fs::path("/x") / name)) << name;
  }
  for (const char* name : {"notes.txt", "reference-4.png", "event-.json", "event-1-cam-4.png",
                           "event-1-motion-6-cam-1.png", "event-1.json.bak", "xmanifest.json",
                           "event-1-3d.png", "manifest.json~"}) {
    EXPECT_FALSE(isEvidenceFileName(fs::path("/x") / name)) << name;
  }
  EXPECT_TRUE(isEvidenceFolderName("tarv-1700000000000-123456789-1"));
  EXPECT_FALSE(isEvidenceFolderName("tarv-17-1"));
  EXPECT_FALSE(isEvidenceFolderName("tarv-1-2-3-x"));
  EXPECT_FALSE(isEvidenceFolderName("old-tarv-1-2-3"));
}

TEST(EvidenceFolder, RecognisedOnlyWhenEverythingInItIsOurs) {
  testing::ScratchFolder root;
  const fs::path good = makeFolder(root.path(), "tarv-10-20-1", kEvidenceSchema);
  EXPECT_TRUE(isEvidenceFolder(good));
  EXPECT_EQ(classifyFolder(good), FolderKind::kEvidence);

  // A note somebody left, a subfolder, a link, another schema or another name: not ours.
  const fs::path withNote = makeFolder(root.path(), "tarv-10-20-2", kEvidenceSchema);
  writeText(withNote / "notes.txt", "keep");
  const fs::path withFolder = makeFolder(root.path(), "tarv-10-20-3", kEvidenceSchema);
  fs::create_directory(withFolder / "event-2.json");
  const fs::path withLink = makeFolder(root.path(), "tarv-10-20-4", kEvidenceSchema);
  fs::create_symlink(root.path() / "elsewhere.png", withLink / "event-1-cam-1.png");
  const fs::path otherSchema = makeFolder(root.path(), "tarv-10-20-5", "someone-else-v1");
  const fs::path otherName = makeFolder(root.path(), "backup-10-20-6", kEvidenceSchema);
  fs::create_directory_symlink(good, root.path() / "tarv-10-20-7");
  for (const fs::path& folder : {withNote, withFolder, withLink, otherSchema, otherName,
                                 root.path() / "tarv-10-20-7", root.path() / "tarv-10-20-8"}) {
    EXPECT_EQ(classifyFolder(folder), FolderKind::kForeign) << folder;
  }
}

TEST(EvidenceFolder, AManifestCutOffWhileWritingLeavesTheFolderOurs) {
  testing::ScratchFolder root;
  const fs::path cut = makeFolder(root.path(), "tarv-10-20-1", kEvidenceSchema);
  writeText(cut / "manifest.json", "{\"image_space\": \"RECTIFIED_CAPT");
  EXPECT_EQ(classifyFolder(cut), FolderKind::kUnfinished);
  EXPECT_FALSE(isEvidenceFolder(cut));
  const fs::path without = makeFolder(root.path(), "tarv-10-20-2", kEvidenceSchema);
  fs::remove(without / "manifest.json");
  EXPECT_EQ(classifyFolder(without), FolderKind::kUnfinished);
}

}  // namespace
}  // namespace tarv
