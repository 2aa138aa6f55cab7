// The global exposure fit: exact fits and their bounds, robustness to a local object, the
// cases without evidence, and a change of light on a rendered board.
#include "tarv/recovery/exposure_fit.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// Texture whose levels are multiples of `step` in lo..hi, so that gains like 1.25 and 0.8
// map it to whole grey levels.
cv::Mat texture(int lo, int hi, int step, uint64_t seed = 7) {
  cv::Mat levels(240, 320, CV_32SC1);
  cv::RNG rng(seed);
  rng.fill(levels, cv::RNG::UNIFORM, lo / step, hi / step + 1);
  cv::Mat out;
  levels.convertTo(out, CV_8UC1, step);
  return out;
}

cv::Mat affine(const cv::Mat& image, double gain, double offset) {
  cv::Mat out;
  image.convertTo(out, CV_8UC1, gain, offset);
  return out;
}

double maxDifference(const cv::Mat& a, const cv::Mat& b) {
  return cv::norm(a, b, cv::NORM_INF);
}

TEST(ExposureFit, ExactGlobalChangesAndTheirBounds) {
  struct Case {
    const char* name;
    int lo, hi, step;
    double gain, offset;
    bool applied;
  };
  // Bounds are inclusive on the accepted side.
  const std::vector<Case> cases = {
      {"identical", 20, 220, 1, 1.0, 0.0, true},
      {"brighter by 10", 20, 220, 1, 1.0, 10.0, true},
      {"offset 25", 20, 210, 1, 1.0, 25.0, true},
      {"offset -25", 40, 230, 1, 1.0, -25.0, true},
      {"offset 26", 20, 210, 1, 1.0, 26.0, false},
      {"offset 30", 20, 200, 1, 1.0, 30.0, false},
      {"gain 1.25", 16, 192, 4, 1.25, 0.0, true},
      {"gain 0.8", 20, 240, 5, 0.8, 0.0, true},
      {"gain 1.3", 20, 180, 10, 1.3, 0.0, false},
      {"gain 0.7", 20, 240, 10, 0.7, 0.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat reference = texture(c.lo, c.hi, c.step);
    const cv::Mat current = affine(reference, c.gain, c.offset);
    const Exposure e = fitExposure(reference, current, cv::Mat(), false, 1000);
    EXPECT_EQ(e.applied, c.applied);
    EXPECT_EQ(e.report["applied"], c.applied);
    EXPECT_NEAR(e.report["gain"].get<double>(), c.gain, 1e-12);
    EXPECT_NEAR(e.report["offset"].get<double>(), c.offset, 1e-9);
    EXPECT_DOUBLE_EQ(e.report["residual_median"].get<double>(), 0.0);
    if (c.applied) {
      EXPECT_FALSE(e.report.contains("reason"));
      EXPECT_NE(e.image.data, current.data);
      EXPECT_EQ(maxDifference(e.image, reference), 0.0);
    } else {
      EXPECT_EQ(e.report["reason"], "NON_GLOBAL_OR_EXCESSIVE_CHANGE");
      EXPECT_EQ(e.image.data, current.data);  // the caller's own image comes back
    }
  }
}

TEST(ExposureFit, NoEvidenceGivesInsufficientContext) {
  const cv::Mat reference = texture(20, 220, 1);
  const cv::Mat flat(240, 320, CV_8UC1, cv::Scalar(100));
  cv::Mat outOfRange(240, 320, CV_8UC1);
  for (int y = 0; y < outOfRange.rows; ++y)
    for (int x = 0; x < outOfRange.cols; ++x) outOfRange.at<uchar>(y, x) = (x + y) % 2 ? 250 : 5;
  struct Case {
    const char* name;
    cv::Mat reference, current, mask;
    std::size_t minimum;
  };
  const std::vector<Case> cases = {
      {"every grid pixel clipped", reference, outOfRange, cv::Mat(), 1000},
      {"constant reference", flat, affine(flat, 1.0, 5.0), cv::Mat(), 1000},
      {"mask selects nothing", reference, reference, cv::Mat::zeros(240, 320, CV_8UC1), 1000},
      {"mask selects nothing, no minimum", reference, reference,
       cv::Mat::zeros(240, 320, CV_8UC1), 0},
      // 80 x 60 grid points, half of them in a 40-row band.
      {"fewer samples than the minimum", reference, reference,
       [] {
         cv::Mat m = cv::Mat::zeros(240, 320, CV_8UC1);
         m.rowRange(0, 40).setTo(255);
         return m;
       }(),
       801},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Exposure e = fitExposure(c.reference, c.current, c.mask, false, c.minimum);
    EXPECT_FALSE(e.applied);
    EXPECT_EQ(e.report, (json{{"applied", false}, {"reason", "INSUFFICIENT_CONTEXT"}}));
    EXPECT_EQ(e.image.data, c.current.data);
  }
  // The same band with exactly enough samples fits.
  cv::Mat band = cv::Mat::zeros(240, 320, CV_8UC1);
  band.rowRange(0, 40).setTo(255);
  EXPECT_TRUE(fitExposure(reference, reference, band, false, 800).applied);
}

// The smoothing is for the fit's samples only: the caller's images (the stored empty board
// among them) keep their pixels, and the correction is applied to the current image as given.
TEST(ExposureFit, SmoothingLeavesTheCallersImagesAsTheyWere) {
  const cv::Mat reference = texture(40, 200, 4);
  const cv::Mat current = affine(reference, 1.0, 8.0);
  const cv::Mat referenceBefore = reference.clone();
  const cv::Mat currentBefore = current.clone();
  for (int call = 0; call < 3; ++call) {
    const Exposure e = fitExposure(reference, current, cv::Mat(), true, 1000);
    ASSERT_TRUE(e.applied);
    EXPECT_EQ(cv::norm(reference, referenceBefore, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(current, currentBefore, cv::NORM_INF), 0.0);
    // The corrected image is the unsmoothed current image brought back by the offset.
    EXPECT_LE(cv::norm(e.image, reference, cv::NORM_INF), 1.0);
  }
}

TEST(ExposureFit, DifferentSizesFail) {
  const cv::Mat a = texture(20, 220, 1);
  cv::Mat b;
  cv::resize(a, b, {160, 120});
  try {
    fitExposure(a, b, cv::Mat(), false, 1000);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "CAMERA_RESOLUTION_CHANGED");
  }
}

TEST(ExposureFit, LocalObjectFallsOutOfTheFitAndStaysVisible) {
  const cv::Mat reference = texture(20, 220, 1);
  for (const bool smooth : {false, true}) {
    SCOPED_TRACE(smooth);
    cv::Mat current = affine(reference, 1.1, 6.0);
    const cv::Rect dart(100, 0, 32, 240);  // a tenth of the image
    current(dart).setTo(30);
    const Exposure e = fitExposure(reference, current, cv::Mat(), smooth, 1000);
    ASSERT_TRUE(e.applied) << e.report.dump();
    EXPECT_NEAR(e.report["gain"].get<double>(), 1.1, 0.01);
    EXPECT_NEAR(e.report["offset"].get<double>(), 6.0, 1.5);
    cv::Mat outside = cv::Mat::ones(reference.size(), CV_8UC1);
    outside(cv::Rect(dart.x - 3, 0, dart.width + 6, dart.height)).setTo(0);
    cv::Mat diff;
    cv::absdiff(e.image, reference, diff);
    EXPECT_LE(cv::norm(diff, cv::NORM_INF, outside), 2.0);
    EXPECT_GT(cv::mean(diff(dart))[0], 60.0);  // the object is still there
  }
}

TEST(ExposureFit, ScatterAboveTheMedianLimitIsRejected) {
  const cv::Mat reference = texture(40, 200, 1);
  cv::Mat noise(reference.size(), CV_16SC1);
  cv::RNG(3).fill(noise, cv::RNG::UNIFORM, -12, 13);
  cv::Mat current;
  cv::add(reference, noise, current, cv::noArray(), CV_8UC1);
  const Exposure e = fitExposure(reference, current, cv::Mat(), false, 1000);
  EXPECT_FALSE(e.applied);
  EXPECT_EQ(e.report["reason"], "NON_GLOBAL_OR_EXCESSIVE_CHANGE");
  EXPECT_GT(e.report["residual_median"].get<double>(), 3.0);
}

TEST(ExposureFit, RenderedBoardUnderOtherLight) {
  scene::Renderer renderer(scene::defaultRig());
  scene::Scene lit;
  lit.imaging.gain = 1.12;
  lit.imaging.offset = -8.0;
  lit.imaging.noise_sigma = 1.0;
  scene::SceneRandom rng(11);
  lit.darts.push_back(scene::randomDart(rng, 120.0));
  const scene::SceneImages empty = renderer.render(scene::Scene{});
  const scene::SceneImages shot = renderer.render(lit);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const cv::Mat reference = toGray(empty.frames[i]);
    const cv::Mat current = toGray(shot.frames[i]);
    Homography h;
    for (int k = 0; k < 9; ++k) h[k] = shot.truth.cameras[i].board_to_image.val[k];
    const cv::Mat board = buildBoardRegionMask(reference.size(), h, 175.0, 360);
    const Exposure e = fitExposure(reference, current, board, true, 1000);
    ASSERT_TRUE(e.applied) << e.report.dump();
    EXPECT_NEAR(e.report["gain"].get<double>(), 1.12, 0.03);
    cv::Mat before, after;
    cv::absdiff(current, reference, before);
    cv::absdiff(e.image, reference, after);
    EXPECT_LT(cv::mean(after, board)[0], cv::mean(before, board)[0] / 2.0);
  }
}

}  // namespace
}  // namespace tarv
