// Taking a calibration over to a new reference image of the same camera on rendered boards.
#include "tarv/recovery/calibration_transfer.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

cv::Mat shifted(const cv::Mat& image, double dx, double dy) {
  cv::Mat out;
  cv::warpAffine(image, out, cv::Matx23d(1, 0, dx, 0, 1, dy), image.size(), cv::INTER_LINEAR,
                 cv::BORDER_REPLICATE);
  return out;
}

std::string errorOf(const cv::Mat& oldReference, const cv::Mat& newReference, const Homography& h) {
  try {
    transferCalibrationToReference(oldReference, newReference, h);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

class CalibrationTransfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }
  static const cv::Mat& frame(int i) { return shot_->frames[i]; }
  static Homography h(int i) { return homographyOf(shot_->truth.cameras[i].board_to_image); }
  static scene::SceneImages* shot_;
};
scene::SceneImages* CalibrationTransfer::shot_ = nullptr;

TEST_F(CalibrationTransfer, FollowsASmallTranslation) {
  struct Case {
    const char* name;
    double dx, dy;
    double gain, offset;  // light of the new reference
  };
  const Case cases[] = {
      {"identical", 0.0, 0.0, 1.0, 0.0},
      {"shifted by (2, -1)", 2.0, -1.0, 1.0, 0.0},
      {"shifted by (-1.5, 2.5) under brighter light", -1.5, 2.5, 1.1, 12.0},
  };
  for (int camera = 0; camera < 3; ++camera) {
    for (const Case& c : cases) {
      cv::Mat newReference;
      shifted(frame(camera), c.dx, c.dy).convertTo(newReference, -1, c.gain, c.offset);
      const Homography moved = transferCalibrationToReference(frame(camera), newReference, h(camera));
      for (const Point2& p : circlePoints(150.0, 8)) {
        const Point2 before = applyHomography(h(camera), p);
        const Point2 after = applyHomography(moved, p);
        EXPECT_NEAR(after.x - before.x, c.dx, 0.1) << c.name << " camera " << camera;
        EXPECT_NEAR(after.y - before.y, c.dy, 0.1) << c.name << " camera " << camera;
      }
    }
  }
}

TEST_F(CalibrationTransfer, RejectionsCarryTheirCode) {
  cv::Mat larger;
  cv::resize(frame(0), larger, cv::Size(1920, 1080));
  const struct {
    const char* name;
    cv::Mat newReference;
    const char* code;
  } cases[] = {
      {"shifted by 5 px", shifted(frame(0), 5.0, 0.0), "CALIBRATION_TRANSFER_REJECTED"},
      {"flat image", cv::Mat(frame(0).size(), CV_8UC3, cv::Scalar(90, 90, 90)),
       "CALIBRATION_TRANSFER_REJECTED"},
      {"another camera's view", frame(1), "CALIBRATION_TRANSFER_REJECTED"},
      {"other resolution", larger, "CALIBRATION_REFERENCE_RESOLUTION_CHANGED"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(frame(0), c.newReference, h(0)), c.code) << c.name;
}

TEST_F(CalibrationTransfer, EccShiftOfTheReferences) {
  const cv::Mat grey = toGray(frame(2));
  const EccShift same = measureTranslationEcc(grey, grey);
  EXPECT_TRUE(same.ok);
  EXPECT_GT(same.correlation, 0.999);
  EXPECT_EQ(same.outlierFraction, 0.0);

  const EccShift moved = measureTranslationEcc(grey, shifted(grey, 1.0, -2.0));
  EXPECT_TRUE(moved.ok);
  EXPECT_NEAR(moved.dx, 1.0, 0.05);
  EXPECT_NEAR(moved.dy, -2.0, 0.05);

  for (const cv::Mat& unusable : {cv::Mat(grey.size(), CV_8UC1, cv::Scalar(128)), grey(cv::Rect(0, 0, 16, 16))}) {
    const EccShift none = measureTranslationEcc(unusable, unusable);
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.correlation, 0.0);
    EXPECT_EQ(none.outlierFraction, 1.0);
  }
}

TEST_F(CalibrationTransfer, BoardFeaturesConfirmOnlyTheRightTranslation) {
  const cv::Mat grey = toGray(frame(1));
  const cv::Mat moved = shifted(grey, 2.0, 1.0);
  EXPECT_TRUE(trackBoardFeatures(grey, moved, h(1), {2.0, 1.0}));
  EXPECT_FALSE(trackBoardFeatures(grey, moved, h(1), {0.0, 0.0}));
  const cv::Mat flat(grey.size(), CV_8UC1, cv::Scalar(128));
  EXPECT_FALSE(trackBoardFeatures(flat, flat, h(1), {0.0, 0.0})) << "no corners to track";
  EXPECT_FALSE(checkBoardStructure(grey, moved, h(1), {4.5, 0.0})) << "too far to be a nudge";
  EXPECT_FALSE(checkBoardStructure(grey, moved, h(1), {NAN, 0.0}));
}

// A noisy new reference has more than 3 % of outlying pixels after the ECC alignment, so the
// board's corners must confirm the translation: they do when the whole board moved together,
// and refuse it when part of the view moved 2 px further than the rest.
TEST_F(CalibrationTransfer, NoisyReferenceNeedsTheBoardStructure) {
  const struct {
    const char* name;
    double partExtraShift;
    const char* code;
  } cases[] = {
      {"rigid shift", 0.0, ""},
      {"part moved further", 2.0, "CALIBRATION_BOARD_STRUCTURE_REJECTED"},
  };
  for (const auto& c : cases) {
    cv::Mat base = shifted(frame(0), 1.0, 1.0);
    const cv::Rect part(0, 0, base.cols * 9 / 20, base.rows);
    shifted(frame(0), 1.0 + c.partExtraShift, 1.0)(part).copyTo(base(part));
    cv::Mat noise(base.size(), CV_16SC3);
    cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0.0, 20.0);
    cv::Mat noisy;
    base.convertTo(noisy, CV_16SC3);
    cv::add(noisy, noise, noisy);
    noisy.convertTo(noisy, CV_8UC3);

    const EccShift ecc = measureTranslationEcc(toGray(frame(0)), toGray(noisy));
    ASSERT_TRUE(ecc.ok) << c.name;
    ASSERT_GT(ecc.outlierFraction, 0.03) << c.name;
    EXPECT_EQ(errorOf(frame(0), noisy, h(0)), c.code) << c.name;
  }
}

}  // namespace
}  // namespace tarv
