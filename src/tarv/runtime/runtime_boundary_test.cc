// What the runtime refuses at its door, through the exported functions, and the scratch
// folders of its tests.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarv/runtime/runtime_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

// `levels` arrays around a number, as request text (the JSON library would need as many
// levels of recursion to build or write it).
std::string nestedText(int levels) {
  return std::string(static_cast<size_t>(levels), '[') + "1" + std::string(static_cast<size_t>(levels), ']');
}

class RuntimeBoundary : public ::testing::Test {
 protected:
  void SetUp() override { rt_ = tarv_runtime_create(); ASSERT_NE(rt_, nullptr); }
  void TearDown() override { tarv_runtime_destroy(rt_); }
  json call(const std::string& text) { return json::parse(tarv_runtime_call(rt_, text.c_str())); }
  void* rt_ = nullptr;
};

TEST_F(RuntimeBoundary, RequestsNestedTooDeeplyAreRefusedBeforeAnythingCopiesThem) {
  const json tooDeep = {{"error", "REQUEST_TOO_DEEP"}};
  const std::string deep = nestedText(200000);
  for (const std::string command : {"start", "preview_start", "reset_begin"}) {
    EXPECT_EQ(call("{\"command\":\"" + command + "\",\"config\":{\"width\":" + deep + "}}"), tooDeep) << command;
  }
  const std::string deepish = nestedText(60000);
  for (const std::string key : {"ring_radii", "camera_models"}) {
    EXPECT_EQ(call("{\"command\":\"start\",\"config\":{\"" + key + "\":" + deepish + "}}"), tooDeep) << key;
  }
  // A shallow request is judged on its content; nothing was started meanwhile.
  const json shallow = call("{\"command\":\"start\",\"config\":{\"ring_radii\":" + nestedText(10) + "}}");
  EXPECT_NE(shallow, tooDeep);
  EXPECT_TRUE(shallow.contains("error"));
  EXPECT_EQ(call("{\"command\":\"status\"}").value("running", true), false);
}

TEST_F(RuntimeBoundary, RingRadiiThatAreNoListOfNumbersFailTheStart) {
  for (const json& radii : {json("7,17,97,107,160,170"), json::array(),
                            json::array({json::array({7, 17, 97, 107, 160, 170})})}) {
    json config = testing::startConfig(testing::oneDartVideos());
    config["ring_radii"] = radii;
    const json reply = call(json{{"command", "start"}, {"config", config}}.dump());
    EXPECT_NE(reply.value("error", "").find("INVALID_RING_RADII"), std::string::npos) << reply;
    EXPECT_EQ(call("{\"command\":\"status\"}").value("running", true), false);
  }
}

TEST(RuntimeScratch, AScratchDirectoryGoesWithItsContents) {
  std::string path;
  {
    testing::ScratchDirectory scratch(
        (std::filesystem::temp_directory_path() / "tarv-runtime-scratch-check").string());
    path = scratch.path();
    std::filesystem::create_directories(path + "/a/b");
    std::ofstream(path + "/a/b/file.bin") << "bytes";
    ASSERT_TRUE(std::filesystem::exists(path + "/a/b/file.bin"));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RuntimeScratch, ScratchFoldersLieInsideOneFolderOfThisProgram) {
  const std::filesystem::path first = testing::scratchFolder("scratch-one");
  const std::filesystem::path second = testing::scratchFolder("scratch-two");
  EXPECT_EQ(first.parent_path(), second.parent_path());
  EXPECT_EQ(first.parent_path().parent_path(), std::filesystem::temp_directory_path());
  EXPECT_TRUE(std::filesystem::is_directory(first));
}

}  // namespace
}  // namespace tarv
