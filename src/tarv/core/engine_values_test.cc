#include "tarv/core/engine_values.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tarv/core/process_switches.h"
#include "tarv/core/round.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

TEST(EngineValues, AdaptiveThresholdOnlyForTheExactTextOne) {
  const struct {
    const char* value;
    bool expected;
  } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true},
               {"11", false},    {"01", false}, {"1 ", false}, {"true", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(adaptiveThresholdFromEnvironment(c.value), c.expected)
        << (c.value ? c.value : "(unset)");
  }
}

TEST(EngineValues, DetectionScaleLimits) {
  for (double bad : {0.0, -5.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    try {
      DetectionScale scale(bad);
      FAIL() << "accepted " << bad;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "INVALID_DETECTION_SCALE");
    }
  }
  // Pixel limits never fall below the floor of a 720-line board.
  EXPECT_EQ(DetectionScale(1e-9).minPixels(), 80);
  // A huge scale saturates instead of overflowing the integer conversion.
  EXPECT_EQ(DetectionScale(1e300).minPixels(), std::numeric_limits<int>::max());
}

TEST(EngineValues, MinPixelsForCameraFromItsProjectedBoard) {
  Camera camera;
  // 3 px per mm: the 340 mm board is 1020 px high.
  camera.boardToImage = {3, 0, 640, 0, 3, 360, 0, 0, 1};
  EXPECT_EQ(minPixelsForCamera(camera), 113);
  camera.boardToImage = {0.1, 0, 640, 0, 0.1, 360, 0, 0, 1};
  EXPECT_EQ(minPixelsForCamera(camera), 80);
  camera.boardToImage = {};  // never calibrated
  EXPECT_THROW(minPixelsForCamera(camera), std::runtime_error);
}

TEST(EngineValues, MatrixJsonRoundTripAndErrors) {
  const Homography identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
  const json text = matrix3x3ToJson(identity);
  EXPECT_EQ(text.dump(), "[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]]");
  EXPECT_EQ(matrix3x3FromJson(json::parse(text.dump())), identity);
  EXPECT_EQ(matrix3x3FromJson(json::parse("[[1,2,3,9],[4,5,6],[7,8,-1]]")),
            (Homography{1, 2, 3, 4, 5, 6, 7, 8, -1}));
  EXPECT_THROW(matrix3x3FromJson(json::parse("[[1,2],[3,4,5],[6,7,8]]")), json::out_of_range);
  EXPECT_THROW(matrix3x3FromJson(json::parse("[[1,2,\"x\"],[3,4,5],[6,7,8]]")), json::type_error);
  EXPECT_THROW(matrix3x3FromJson(json::parse("{\"a\":1}")), json::type_error);
}

TEST(EngineValues, ClocksShareOneSteadySource) {
  const double ms = monotonicMilliseconds();
  const double s = tarv_monotonic_seconds();
  EXPECT_NEAR(s * 1000.0, ms, 100.0);
}

}  // namespace
}  // namespace tarv
