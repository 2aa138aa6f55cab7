// The turn from the widths of the printed numbers: the pattern of two-digit labels is the
// board's own, and a reading that does not separate it cleanly is not sure.
#include "tarv/autocal/number_ring.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace tarv {
namespace {

constexpr std::array<int, 20> kLabels{20, 1, 18, 4, 13, 6, 10, 15, 2, 17, 3, 19, 7, 16, 8, 11, 14, 9, 12, 5};

// Widths as a board turned by `truth` sectors shows them when measured upright under each of
// the ten even turns (the widths themselves do not depend much on the turn measured).
std::array<std::array<double, 20>, 10> widthsOfBoardTurnedBy(int truth) {
  std::array<double, 20> w;
  for (int p = 0; p < 20; ++p) w[static_cast<size_t>(p)] = kLabels[static_cast<size_t>(((p - truth) % 20 + 20) % 20)] >= 10 ? 25.0 : 12.0;
  std::array<std::array<double, 20>, 10> out;
  out.fill(w);
  return out;
}

TEST(NumberRing, TheTwoDigitPatternNamesTheTurn) {
  for (const int truth : {0, 2, 6, 18}) {
    const NumberRingReading r = turnFromNumberWidths(widthsOfBoardTurnedBy(truth));
    EXPECT_TRUE(r.sure) << truth;
    EXPECT_EQ(r.shift, truth);
    EXPECT_EQ(r.misread, 0);
    EXPECT_NEAR(r.marginMm, 13.0, 1e-9);
  }
}

TEST(NumberRing, OneMisreadNumberIsToleratedTwoAreNot) {
  auto widths = widthsOfBoardTurnedBy(4);
  for (auto& w : widths) w[1] = 25.0;  // the 9, at position 1 under this turn, read wide
  EXPECT_TRUE(turnFromNumberWidths(widths).sure);
  for (auto& w : widths) w[3] = 25.0;  // and the 5 beside it
  const NumberRingReading r = turnFromNumberWidths(widths);
  EXPECT_EQ(r.shift, 4);
  EXPECT_FALSE(r.sure);
  // Not sure, yet it still leads its turn: enough to gainsay another reading of the 20.
  EXPECT_TRUE(r.leads);
}

TEST(NumberRing, TooFewNumbersInViewAreNotSure) {
  auto widths = widthsOfBoardTurnedBy(0);
  for (auto& w : widths) {
    for (int p = 0; p < 7; ++p) w[static_cast<size_t>(p)] = std::numeric_limits<double>::quiet_NaN();
  }
  const NumberRingReading r = turnFromNumberWidths(widths);
  EXPECT_EQ(r.measured, 13);
  EXPECT_FALSE(r.readable);
  EXPECT_FALSE(r.sure);
  EXPECT_FALSE(r.leads);
}

TEST(NumberRing, NumbersAllOfOneWidthAreNotSure) {
  std::array<std::array<double, 20>, 10> widths;
  for (auto& w : widths) w.fill(18.0);
  EXPECT_FALSE(turnFromNumberWidths(widths).sure);
  EXPECT_FALSE(turnFromNumberWidths(widths).leads);
}

}  // namespace
}  // namespace tarv
