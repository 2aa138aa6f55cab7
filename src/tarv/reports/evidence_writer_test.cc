#include "tarv/reports/evidence_writer.h"

#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/reports/evidence_folder.h"
#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

namespace fs = std::filesystem;
using testing::renderedRound;

std::set<std::string> filesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

json readJson(const fs::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

std::vector<uchar> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A disk that fills up: the files the predicate names get only half their bytes.
FileWriter fullDiskFor(std::function<bool(const fs::path&)> full) {
  return [full](const fs::path& path, const std::vector<uchar>& bytes) {
    if (!full(path)) return writeFileBytes(path, bytes);
    writeFileBytes(path, std::vector<uchar>(bytes.begin(), bytes.begin() + bytes.size() / 2));
    return false;
  };
}

std::vector<cv::Mat> smallImages(int count) {
  std::vector<cv::Mat> images;
  for (int i = 0; i < count; ++i) images.emplace_back(12, 16, CV_8UC3, cv::Scalar(10 * i, 50, 90));
  return images;
}

MotionSample smallSample(int sequence) {
  MotionSample sample;
  sample.captureTimes = {1.0, 1.01, 1.02};
  sample.sequences = {sequence, sequence + 1, sequence + 2};
  sample.frames = {cv::Mat(6, 8, CV_8UC3, cv::Scalar(1)), cv::Mat(6, 8, CV_8UC3, cv::Scalar(2)),
                   cv::Mat(6, 8, CV_8UC3, cv::Scalar(3))};
  sample.handSeen = true;
  return sample;
}

class EvidenceWriterTest : public ::testing::Test {
 protected:
  EvidenceWriterTest() {
    state.root = root.path() / "reports";
    state.runName = "1700000000000-4242";
    state.runDocument = {{"engine_version", "0.55.79"}, {"schema", "older"}, {"segment", "x"}};
    state.references = smallImages(3);
  }
  ReportEvent event(json document, std::vector<cv::Mat> images = {},
                    std::vector<MotionSample> motion = {}) {
    ReportEvent e;
    e.document = std::move(document);
    e.images = std::move(images);
    e.motion = std::move(motion);
    return e;
  }
  void write(ReportEvent e) { writeRoundReport(state, e); }
  fs::path folder(int segment) const {
    return state.root / ("tarv-1700000000000-4242-" + std::to_string(segment));
  }

  testing::ScratchFolder root;
  EvidenceState state;
};

TEST_F(EvidenceWriterTest, ADartEventWithEveryPicture) {
  const auto& round = renderedRound();
  state.runDocument["calibrations"] = round.calibrations;
  state.references = round.empty;
  json result = round.dartResult();
  result["dart_3d"] = {{"overlay", {{"tilt_deg", 10.0}}}};
  write(event({{"status", "DETECTION"}, {"result", result}}, round.oneDart));
  write(event({{"status", "DETECTION"}, {"result", result}}, round.twoDarts,
              {smallSample(5), smallSample(9)}));

  EXPECT_EQ(filesIn(folder(1)),
            (std::set<std::string>{
                "manifest.json", "reference-1.png", "reference-2.png", "reference-3.png",
                "event-1.json", "event-1-cam-1.png", "event-1-cam-2.png", "event-1-cam-3.png",
                "event-1-3d.jpg", "event-1-view.jpg", "event-2.json", "event-2-cam-1.png",
                "event-2-cam-2.png", "event-2-cam-3.png", "event-2-3d.jpg", "event-2-view.jpg",
                "event-2-motion-0-cam-1.png", "event-2-motion-0-cam-2.png",
                "event-2-motion-0-cam-3.png", "event-2-motion-1-cam-1.png",
                "event-2-motion-1-cam-2.png", "event-2-motion-1-cam-3.png"}));
  EXPECT_TRUE(isEvidenceFolder(folder(1)));

  const json manifest = readJson(folder(1) / "manifest.json");
  EXPECT_EQ(manifest["schema"], "tarvenlox-round-evidence-v1");
  EXPECT_EQ(manifest["segment"], 1);
  EXPECT_EQ(manifest["run"], "1700000000000-4242");
  EXPECT_EQ(manifest["image_space"], "RECTIFIED_CAPTURE");
  EXPECT_EQ(manifest["local_only"], true);
  EXPECT_EQ(manifest["engine_version"], "0.55.79");
  EXPECT_EQ(manifest["calibrations"], round.calibrations);
  const std::string text(std::istreambuf_iterator<char>(std::ifstream(folder(1) / "manifest.json").rdbuf()), {});
  EXPECT_EQ(text.substr(0, 4), "{\n  ");
  EXPECT_NE(text.back(), '\n');

  const json second = readJson(folder(1) / "event-2.json");
  EXPECT_EQ(second["images"], json({"event-2-cam-1.png", "event-2-cam-2.png", "event-2-cam-3.png"}));
  EXPECT_EQ(second["image_3d"], "event-2-3d.jpg");
  EXPECT_EQ(second["image_view"], "event-2-view.jpg");
  ASSERT_EQ(second["motion_frames"].size(), 2u);
  EXPECT_EQ(second["motion_frames"][1],
            json({{"capture_times", {1.0, 1.01, 1.02}},
                  {"sequences", {9, 10, 11}},
                  {"hand_seen", true},
                  {"hand_confirmed", false},
                  {"images", {"event-2-motion-1-cam-1.png", "event-2-motion-1-cam-2.png",
                              "event-2-motion-1-cam-3.png"}},
                  {"image_space", "RECTIFIED_REDUCED_CAPTURE"}}));
  EXPECT_TRUE(second["utc_unix_ms_written"].is_number_unsigned());
  EXPECT_EQ(state.previousImages.size(), 3u);

  // The raw newest 3D view is the second event's picture, RGB rows after a 12-byte header.
  const std::vector<uchar> latest = readBytes(state.root / "latest-3d.rgb");
  ASSERT_EQ(latest.size(), 1313292u);
  EXPECT_EQ(std::vector<uchar>(latest.begin(), latest.begin() + 12),
            (std::vector<uchar>{'V', '3', 'D', '1', 0xA0, 0x05, 0, 0, 0x30, 0x01, 0, 0}));
  cv::Mat rgb(304, 1440, CV_8UC3, const_cast<uchar*>(latest.data() + 12));
  cv::Mat fromFile, difference;
  cv::cvtColor(rgb, fromFile, cv::COLOR_RGB2BGR);
  cv::absdiff(fromFile, cv::imread((folder(1) / "event-2-3d.jpg").string()), difference);
  EXPECT_LT(cv::mean(difference)[0], 3.0);
  EXPECT_FALSE(fs::exists(state.root / "latest-3d.tmp"));
}

TEST_F(EvidenceWriterTest, TheFortyNinthEventOpensTheNextSegment) {
  for (int i = 0; i < 49; ++i) write(event({{"status", "READY"}}));
  EXPECT_TRUE(fs::exists(folder(1) / "event-48.json"));
  EXPECT_FALSE(fs::exists(folder(1) / "event-49.json"));
  EXPECT_EQ(filesIn(folder(2)), (std::set<std::string>{"manifest.json", "reference-1.png", "reference-2.png",
                                                       "reference-3.png", "event-1.json"}));
  EXPECT_EQ(readJson(folder(2) / "manifest.json")["segment"], 2);
  const json first = readJson(folder(2) / "event-1.json");
  EXPECT_EQ(first["images"], json::array());
  EXPECT_EQ(first["motion_frames"], json::array());
  EXPECT_FALSE(first.contains("image_view"));
}

TEST_F(EvidenceWriterTest, AFullSegmentOpensTheNextEvenWithFewEvents) {
  state.limits.segmentLimit = 4000;
  cv::Mat noise(60, 60, CV_8UC3);  // noise does not compress: about 10 kB
  cv::randu(noise, 0, 255);
  write(event({{"status", "A"}}, smallImages(2)));
  write(event({{"status", "B"}}, {noise}));
  write(event({{"status", "C"}}));
  EXPECT_TRUE(fs::exists(folder(1) / "event-2.json"));
  EXPECT_TRUE(fs::exists(folder(2) / "event-1.json"));
}

// The manifest is cut off by a full disk: the folder would never be counted or written
// again, so it goes, and the next event opens a complete folder.
TEST_F(EvidenceWriterTest, AFailedOpeningLeavesNoFolderBehind) {
  state.fileWriter = fullDiskFor([](const fs::path& p) { return p.filename() == "manifest.json"; });
  try {
    write(event({{"status", "A"}}));
    FAIL() << "expected REPORT_WRITE_FAILED";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "REPORT_WRITE_FAILED");
  }
  EXPECT_FALSE(fs::exists(folder(1)));
  EXPECT_TRUE(state.currentFolder.empty());

  state.fileWriter = fullDiskFor([](const fs::path& p) { return p.filename() == "reference-2.png"; });
  EXPECT_THROW(write(event({{"status", "B"}})), std::runtime_error);
  EXPECT_FALSE(fs::exists(folder(2)));

  state.fileWriter = writeFileBytes;
  write(event({{"status", "C"}}));
  EXPECT_TRUE(isEvidenceFolder(folder(3)));
  EXPECT_EQ(readJson(folder(3) / "event-1.json")["status"], "C");
}

TEST_F(EvidenceWriterTest, AFailedEventLeavesNoImageWithoutItsDocument) {
  write(event({{"status", "A"}}, smallImages(3)));
  state.fileWriter =
      fullDiskFor([](const fs::path& p) { return p.filename() == "event-2-motion-0-cam-2.png"; });
  try {
    write(event({{"status", "B"}}, smallImages(3), {smallSample(1)}));
    FAIL() << "expected REPORT_IMAGE_WRITE_FAILED";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "REPORT_IMAGE_WRITE_FAILED");
  }
  state.fileWriter = fullDiskFor([](const fs::path& p) { return p.filename() == "event-3.json"; });
  EXPECT_THROW(write(event({{"status", "C"}}, smallImages(3))), std::runtime_error);

  state.fileWriter = writeFileBytes;
  write(event({{"status", "D"}}, smallImages(3)));
  for (const std::string& name : filesIn(folder(1))) {
    EXPECT_TRUE(name.rfind("event-2", 0) != 0 && name.rfind("event-3", 0) != 0) << name;
  }
  EXPECT_EQ(readJson(folder(1) / "event-4.json")["status"], "D");  // failed events keep their numbers
  EXPECT_TRUE(isEvidenceFolder(folder(1)));
}

// A result the pictures cannot be drawn from loses the pictures, never the event.
TEST_F(EvidenceWriterTest, APictureThatCannotBeDrawnIsLeftOut) {
  json result{{"status", "DART_CANDIDATE"},
              {"entries", {{{"board_xy_nominal_mm", {0.0, -103.0}}}}},
              {"calibrations", {1, 2, 3}},
              {"working_scale", "half"},
              {"dart_3d", {{"overlay", {{"tilt_deg", 5.0}}}}}};
  write(event({{"result", result}}, smallImages(3)));
  const json written = readJson(folder(1) / "event-1.json");
  EXPECT_FALSE(written.contains("image_3d"));
  EXPECT_FALSE(written.contains("image_view"));
  EXPECT_EQ(written["images"].size(), 3u);
  EXPECT_FALSE(fs::exists(folder(1) / "event-1-3d.jpg"));
  EXPECT_FALSE(fs::exists(state.root / "latest-3d.rgb"));
}

TEST_F(EvidenceWriterTest, AFailed3dPictureKeepsThePreviousLatestView) {
  json result{{"status", "DART_CANDIDATE"}, {"dart_3d", {{"overlay", json::object()}}}};
  write(event({{"result", result}}, smallImages(3)));
  const std::vector<uchar> before = readBytes(state.root / "latest-3d.rgb");
  ASSERT_EQ(before.size(), 1313292u);
  state.fileWriter = fullDiskFor([](const fs::path& p) { return p.filename() == "event-2-3d.jpg"; });
  result["reason"] = "SOMETHING";
  write(event({{"result", result}}, {cv::Mat(30, 40, CV_8UC3, cv::Scalar(200, 0, 0)),
                                     cv::Mat(30, 40, CV_8UC3), cv::Mat(30, 40, CV_8UC3)}));
  EXPECT_EQ(readBytes(state.root / "latest-3d.rgb"), before);
  EXPECT_FALSE(readJson(folder(1) / "event-2.json").contains("image_3d"));
  EXPECT_FALSE(fs::exists(folder(1) / "event-2-3d.jpg"));
}

TEST_F(EvidenceWriterTest, SomeoneElsesFolderOfTheSameNameIsLeftAlone) {
  fs::create_directories(folder(1));
  std::ofstream(folder(1) / "mine.txt") << "keep";
  EXPECT_THROW(write(event({{"status", "A"}})), std::runtime_error);
  write(event({{"status", "B"}}));
  EXPECT_EQ(filesIn(folder(1)), std::set<std::string>{"mine.txt"});
  EXPECT_TRUE(isEvidenceFolder(folder(2)));
}

TEST_F(EvidenceWriterTest, BelowSixtyFourMebibytesNoOverviewButTheImagesAreRemembered) {
  state.limits.diskLimit = 67108863;
  state.limits.pendingReserve = 1;
  write(event({{"status", "A"}}, smallImages(3)));
  EXPECT_FALSE(fs::exists(folder(1) / "event-1-view.jpg"));
  EXPECT_EQ(state.previousImages.size(), 3u);
  state.limits.diskLimit = 67108864;
  write(event({{"status", "A"}}, smallImages(3)));
  EXPECT_TRUE(fs::exists(folder(1) / "event-2-view.jpg"));
  write(event({{"status", "A"}}, smallImages(2)));  // two images: no overview
  EXPECT_FALSE(fs::exists(folder(1) / "event-3-view.jpg"));
}

}  // namespace
}  // namespace tarv
