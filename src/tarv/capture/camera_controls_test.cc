#include "tarv/capture/camera_controls.h"

#include <gtest/gtest.h>

#include "tarv/capture/capture_test_support.h"

namespace tarv {
namespace {

using testing::FakeControls;

class SwitchGuard {
 public:
  SwitchGuard(int exposure, int wb) {
    exposureLockSwitch() = exposure;
    whiteBalanceLockSwitch() = wb;
  }
  ~SwitchGuard() {
    exposureLockSwitch() = 0;
    whiteBalanceLockSwitch() = 0;
  }
};

TEST(CameraControls, StartRestoresAutomaticControls) {
  SwitchGuard off(0, 0);
  FakeControls c;
  c.exposure.reading = {120, false};
  c.focus.reading = {40, false};
  c.white_balance.reading = {4000, false};
  EXPECT_EQ(startCameraControls(&c), "exposure=auto(restored) focus=auto(restored) wb=auto(restored)");
  EXPECT_EQ(startCameraControls(&c), "exposure=auto wb=auto");
}

TEST(CameraControls, WithoutControlsEverythingIsNotAvailable) {
  SwitchGuard on(1, 1);
  EXPECT_EQ(startCameraControls(nullptr), "exposure=n/a wb=n/a");
  FakeControls c;
  c.exposure.present = false;
  EXPECT_EQ(lockCameraControls(&c, false), "exposure=n/a focus=manual(30) wb=auto");
}

TEST(CameraControls, FailedSetsShowInTheText) {
  SwitchGuard on(1, 1);
  FakeControls c;
  c.exposure.reading = {77, false};
  c.exposure.set_fails = true;
  c.white_balance.set_fails = true;
  EXPECT_EQ(restoreAutoCameraControls(&c), "exposure=manual(77, auto failed)");
  EXPECT_EQ(whiteBalanceControlText(&c, true), "wb=auto(lock failed)");
  c.white_balance.reading = {5000, false};
  EXPECT_EQ(whiteBalanceControlText(&c, false), "wb=manual(5000, auto failed)");
}

TEST(CameraControls, StartWithTheLockSwitchOnLeavesExposureAutomatic) {
  // Locking at the start would freeze the first, unsettled exposure of the stream.
  SwitchGuard on(1, 1);
  FakeControls c;
  const std::string text = startCameraControls(&c);
  EXPECT_EQ(text, "exposure=auto wb=auto");
  EXPECT_TRUE(c.exposure.reading.automatic);
  EXPECT_TRUE(c.focus.reading.automatic);
  EXPECT_TRUE(c.log.empty());
}

TEST(CameraControls, SteadyPictureLocksAfterTwoSeconds) {
  SwitchGuard on(1, 1);
  FakeControls c;
  ExposureSettler settler(true, 0);
  std::string text;
  int frame = 0;
  for (double t = 40; t <= 3000 && text.empty(); t += 40) text = settleExposure(settler, &c, t, 120, ++frame);
  EXPECT_EQ(text, "exposure=manual(-6) focus=manual(30) wb=manual(4600) level=120");
  EXPECT_TRUE(settler.locked());
  EXPECT_FALSE(c.exposure.reading.automatic);
}

TEST(CameraControls, DarkPictureNeverLocksAndGivesUp) {
  SwitchGuard on(1, 0);
  FakeControls c;
  ExposureSettler settler(true, 0);
  std::string last;
  int frame = 0;
  for (double t = 40; t <= 20000; t += 40) {
    const std::string text = settleExposure(settler, &c, t, 30, ++frame);
    if (!text.empty()) last = text;
  }
  EXPECT_EQ(last, "exposure=auto(not settled, level=30)");
  EXPECT_TRUE(c.log.empty());
}

TEST(CameraControls, LockedPictureTooDarkReturnsToAutomatic) {
  SwitchGuard on(1, 0);
  FakeControls c;
  ExposureSettler settler(true, 0);
  int frame = 0;
  double t = 40;
  for (; t <= 3000; t += 40) settleExposure(settler, &c, t, 100, ++frame);
  ASSERT_TRUE(settler.locked());
  std::string text;
  for (; t <= 8000 && text.empty(); t += 40) text = settleExposure(settler, &c, t, 10, ++frame);
  EXPECT_EQ(text.rfind("exposure=auto(too dark after lock) exposure=auto(restored)", 0), 0u);
  EXPECT_FALSE(settler.locked());
}

TEST(CameraControls, SwitchOffNeverSettles) {
  ExposureSettler settler(false, 0);
  FakeControls c;
  for (double t = 40; t <= 20000; t += 40) EXPECT_EQ(settleExposure(settler, &c, t, 100, 1000), "");
}

}  // namespace
}  // namespace tarv
