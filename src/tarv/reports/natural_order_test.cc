#include "tarv/reports/natural_order.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace tarv {
namespace {

TEST(NaturalOrder, FolderNumbersOrderByValue) {
  EXPECT_TRUE(compareNaturalOrder("tarv-900-5-9", "tarv-900-5-10"));
  EXPECT_FALSE(compareNaturalOrder("tarv-900-5-10", "tarv-900-5-9"));
  EXPECT_TRUE(compareNaturalOrder("tarv-999-1-1", "tarv-1000-1-1"));
  // Leading zeros do not change a number: the parts are equal and the next pair decides.
  EXPECT_TRUE(compareNaturalOrder("tarv-900-05-1", "tarv-900-5-2"));
  EXPECT_FALSE(compareNaturalOrder("tarv-900-05-2", "tarv-900-5-1"));
  EXPECT_FALSE(compareNaturalOrder("tarv-900-5-1", "tarv-900-5-1"));
}

TEST(NaturalOrder, ShorterTextsAndPartsFirst) {
  EXPECT_TRUE(compareNaturalOrder("tarv-1", "tarv-1-1"));
  EXPECT_FALSE(compareNaturalOrder("tarv-1-1", "tarv-1"));
  EXPECT_TRUE(compareNaturalOrder("b-1", "aa-1"));  // a shorter word part orders first too
  EXPECT_TRUE(compareNaturalOrder("", "a"));
  EXPECT_EQ(stripLeadingZeros("0007"), "7");
  EXPECT_EQ(stripLeadingZeros("000"), "0");
  EXPECT_EQ(stripLeadingZeros(""), "0");
}

TEST(NaturalOrder, SortsARunsFoldersOldestFirst) {
  std::vector<std::filesystem::path> folders{
      "/r/tarv-1700000000500-20-2", "/r/tarv-1700000000500-20-10", "/r/tarv-999999999999-5-1",
      "/r/tarv-1700000000500-3-1", "/r/tarv-1700000000500-20-1"};
  std::sort(folders.begin(), folders.end(), lessByFolderName);
  const std::vector<std::filesystem::path> expected{
      "/r/tarv-999999999999-5-1", "/r/tarv-1700000000500-3-1", "/r/tarv-1700000000500-20-1",
      "/r/tarv-1700000000500-20-2", "/r/tarv-1700000000500-20-10"};
  EXPECT_EQ(folders, expected);
}

}  // namespace
}  // namespace tarv
