#include "tarv/autocal/landmark_model.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

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

cv::Mat forwardGrey(LandmarkModel& model) {
  const cv::Mat blob = cv::dnn::blobFromImage(cv::Mat(640, 640, CV_8UC3, cv::Scalar::all(114)),
                                              1.0 / 255.0, cv::Size(640, 640), cv::Scalar(), true, false);
  model.net.setInput(blob);
  return model.net.forward();
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

TEST(LandmarkModel, DefaultPathLiesInTheModelsFolderBesideTheCode) {
  const std::filesystem::path p = defaultBoardModelPath();
  EXPECT_EQ(p.filename(), "tarv_board.tarvm");
  EXPECT_EQ(p.parent_path().filename(), "models");
  EXPECT_TRUE(std::filesystem::exists(p.parent_path().parent_path()));
}

}  // namespace
}  // namespace tarv
