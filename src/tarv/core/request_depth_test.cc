#include "tarv/core/request_depth.h"

#include <string>

#include <gtest/gtest.h>

namespace tarv {
namespace {

std::string nested(int levels, const std::string& inner = "1") {
  std::string text;
  for (int i = 0; i < levels; ++i) text += i % 2 ? "{\"a\":" : "[";
  text += inner;
  for (int i = levels - 1; i >= 0; --i) text += i % 2 ? "}" : "]";
  return text;
}

TEST(RequestDepth, CountsBracketsUpToTheLimit) {
  EXPECT_FALSE(nestedDeeperThan("{}", 1));
  EXPECT_FALSE(nestedDeeperThan(nested(64).c_str(), 64));
  EXPECT_TRUE(nestedDeeperThan(nested(65).c_str(), 64));
  EXPECT_FALSE(nestedDeeperThan("1", 0));
  EXPECT_FALSE(nestedDeeperThan(nullptr, 0));
}

TEST(RequestDepth, SiblingsDoNotAddUp) {
  std::string text = "[";
  for (int i = 0; i < 1000; ++i) text += i ? ",[1]" : "[1]";
  text += "]";
  EXPECT_FALSE(nestedDeeperThan(text.c_str(), 2));
}

TEST(RequestDepth, BracketsInsideStringsDoNotCount) {
  const std::string deepText(10000, '[');
  EXPECT_FALSE(nestedDeeperThan(("{\"a\":\"" + deepText + "\"}").c_str(), 1));
  // An escaped quote does not end the string; an escaped backslash before a quote does.
  EXPECT_FALSE(nestedDeeperThan(("[\"\\\"" + deepText + "\"]").c_str(), 1));
  EXPECT_TRUE(nestedDeeperThan("[\"\\\\\",[[1]]]", 2));
}

TEST(RequestDepth, SurvivesVeryDeepTexts) {
  EXPECT_TRUE(nestedDeeperThan(nested(200000).c_str(), kMaxRequestDepth));
  EXPECT_TRUE(nestedDeeperThan(std::string(1000000, '[').c_str(), kMaxRequestDepth));
}

}  // namespace
}  // namespace tarv
