#include "tarv/autocal/landmark_model.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/onnx_test_model.h"

namespace tarv {
namespace {

std::string writeTemp(const std::string& name, const Bytes& bytes) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("tarv-" + std::to_string(::getpid()) + "-" + name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

cv::Mat forwardGrey(cv::dnn::Net& net) {
  const cv::Mat blob = cv::dnn::blobFromImage(cv::Mat(640, 640, CV_8UC3, cv::Scalar::all(114)),
                                              1.0 / 255.0, cv::Size(640, 640), cv::Scalar(), true, false);
  net.setInput(blob);
  return net.forward();
}

cv::Mat forwardGrey(LandmarkModel& model) { return forwardGrey(model.net); }

// A folder of the test's own, so that no other file lies beside its model.
std::filesystem::path freshFolder(const std::string& name) {
  const auto folder = std::filesystem::temp_directory_path() / ("tarv-" + std::to_string(::getpid()) + "-" + name);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

template <class F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(LandmarkModel, PlainOnnxLoadsWithoutTheKeyAndKeepsTheFixedParameters) {
  const std::vector<float> values{1, 2, 3, 4, 5, 6};
  const std::string path = writeTemp("plain.onnx", testing::constantOutputOnnx({1, 2, 3}, values));
  LandmarkModel model = loadBoardModel(path, "");
  std::filesystem::remove(path);
  EXPECT_EQ(model.inputSize, 640);
  EXPECT_FLOAT_EQ(model.scoreThreshold, 0.2f);
  EXPECT_FLOAT_EQ(model.nmsThreshold, 0.7f);
  const cv::Mat out = forwardGrey(model);
  ASSERT_EQ(out.dims, 3);
  EXPECT_EQ(out.size[1], 2);
  EXPECT_EQ(out.size[2], 3);
  EXPECT_FLOAT_EQ(out.ptr<float>()[4], 5.0f);
}

TEST(LandmarkModel, ContainerOpensWithTheKeyString) {
  const Bytes onnx = testing::constantOutputOnnx({1, 1, 2}, {7, 8});
  const std::string path =
      writeTemp("sealed.tarvm", sealModelContainer(onnx, buildModelKeyString(), {9, 8, 7}));
  LandmarkModel model = loadBoardModel(path, buildModelKeyString());
  EXPECT_FLOAT_EQ(forwardGrey(model).ptr<float>()[1], 8.0f);
  try {
    loadBoardModel(path, "another key");
    ADD_FAILURE() << "opened under another key";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Modell-Schluessel falsch oder Datei beschaedigt");
  }
  std::filesystem::remove(path);
}

TEST(LandmarkModel, SixByteMagicGoesToTheOnnxReader) {
  const std::string path = writeTemp("magic.tarvm", Bytes(kModelMagic, kModelMagic + 6));
  EXPECT_THROW(loadBoardModel(path, buildModelKeyString()), cv::Exception);
  std::filesystem::remove(path);
}

TEST(LandmarkModel, ShortFilesWithTheMagicAreBrokenContainers) {
  Bytes bytes(kModelMagic, kModelMagic + 6);
  bytes.resize(30, 0);
  const std::string path = writeTemp("short.tarvm", bytes);
  try {
    loadBoardModel(path, buildModelKeyString());
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "kein TARV-Modell");
  }
  std::filesystem::remove(path);
}

TEST(LandmarkModel, MissingFileNamesThePathVerbatim) {
  const std::string path = "/nonexistent dir/ä model.tarvm";
  try {
    loadBoardModel(path, "");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Modell nicht gefunden: " + path);
  }
}

TEST(LandmarkModel, TheNetworkForImagesWithoutColourIsReadFromBesideTheModelWhereItIsThere) {
  const auto folder = freshFolder("mono-beside");
  const std::string main = (folder / "tarv_board.tarvm").string();
  EXPECT_EQ(colourFreeModelPath(main), (folder / "tarv_board_mono.tarvm").string());
  writeFile(main, testing::constantOutputOnnx({1, 1, 2}, {7, 8}));
  EXPECT_TRUE(loadBoardModel(main, buildModelKeyString()).colourFreeNet.empty());
  writeFile(colourFreeModelPath(main),
            sealModelContainer(testing::constantOutputOnnx({1, 1, 2}, {5, 6}), buildModelKeyString(), {1, 2, 3}));
  LandmarkModel model = loadBoardModel(main, buildModelKeyString());
  ASSERT_FALSE(model.colourFreeNet.empty());
  EXPECT_FLOAT_EQ(forwardGrey(model.net).ptr<float>()[1], 8.0f);
  EXPECT_FLOAT_EQ(forwardGrey(model.colourFreeNet).ptr<float>()[1], 6.0f);
  std::filesystem::remove_all(folder);
}

TEST(LandmarkModel, ABrokenFileForImagesWithoutColourFailsTheLoadAsABrokenModelDoes) {
  const auto folder = freshFolder("mono-broken");
  const std::string main = (folder / "tarv_board.tarvm").string();
  writeFile(main, testing::constantOutputOnnx({1, 1, 2}, {7, 8}));
  Bytes shortContainer(kModelMagic, kModelMagic + 6);
  shortContainer.resize(30, 0);
  writeFile(colourFreeModelPath(main), shortContainer);
  EXPECT_EQ(errorOf([&] { loadBoardModel(main, buildModelKeyString()); }), "kein TARV-Modell");
  writeFile(colourFreeModelPath(main), sealModelContainer(testing::constantOutputOnnx({1, 1, 2}, {5, 6}), "another key", {1}));
  EXPECT_EQ(errorOf([&] { loadBoardModel(main, buildModelKeyString()); }), "Modell-Schluessel falsch oder Datei beschaedigt");
  writeFile(colourFreeModelPath(main), Bytes(kModelMagic, kModelMagic + 6));
  EXPECT_THROW(loadBoardModel(main, buildModelKeyString()), cv::Exception);
  std::filesystem::remove_all(folder);
}

// The main network finds nothing and the one for images without colour what the camera shows:
// the grey image is solved on the board, the coloured one is read by the main network as before.
TEST(LandmarkModel, AGreyCameraIsSolvedByTheNetworkForImagesWithoutColour) {
  const testing::ScriptedCamera cam = testing::scriptedCamera(testing::landmarkTestCameraSpec());
  const auto folder = freshFolder("mono-solve");
  const std::string main = (folder / "tarv_board.tarvm").string();
  writeFile(main, testing::constantOutputOnnx({1, 26, 1}, std::vector<float>(26, 0.0f)));
  writeFile(colourFreeModelPath(main), cam.onnx);
  LandmarkModel model = loadBoardModel(main, "");
  std::filesystem::remove_all(folder);
  cv::Mat grey;
  cv::cvtColor(cam.image, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
  const LandmarkSolution s = detectBoardLandmarks(model, grey);
  EXPECT_TRUE(s.colourFree);
  ASSERT_TRUE(s.ok) << s.reason;
  EXPECT_LT(s.grade, 2);
  EXPECT_LT(testing::solutionRingErrorPx(cam, s), 1.0);
  // A sepia print is read as grey; the caller's image stays as it was.
  std::vector<cv::Mat> ch;
  cv::split(grey, ch);
  ch[0] *= 0.66;
  ch[1] *= 0.86;
  cv::Mat sepia, before;
  cv::merge(ch, sepia);
  sepia.copyTo(before);
  EXPECT_TRUE(detectBoardLandmarks(model, sepia).colourFree);
  EXPECT_EQ(cv::norm(sepia, before, cv::NORM_INF), 0.0);
  const LandmarkSolution coloured = detectBoardLandmarks(model, cam.image);
  EXPECT_FALSE(coloured.colourFree);
  EXPECT_FALSE(coloured.ok);
  EXPECT_EQ(coloured.crossingsDetected, 0);
}

TEST(LandmarkModel, DefaultPathLiesInTheModelsFolderBesideTheCode) {
  const std::filesystem::path p = defaultBoardModelPath();
  EXPECT_EQ(p.filename(), "tarv_board.tarvm");
  EXPECT_EQ(p.parent_path().filename(), "models");
  EXPECT_TRUE(std::filesystem::exists(p.parent_path().parent_path()));
}

}  // namespace
}  // namespace tarv
