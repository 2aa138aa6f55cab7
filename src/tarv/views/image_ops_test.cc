#include "tarv/views/image_ops.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/core/process_switches.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

cv::Mat greyWithSquare(int level, cv::Rect square, int squareLevel) {
  cv::Mat image(60, 80, CV_8UC1, cv::Scalar(level));
  image(square).setTo(squareLevel);
  return image;
}

// Emptying a stored mask must not empty the copies that share its pixels (a round's working
// copy, a reduced copy kept by pixel address): `cv::Mat::zeros` assigned to a mask of the
// same size would write zeros into those shared pixels.
TEST(FreshZeroMask, LeavesTheSharersOfTheOldMaskAlone) {
  cv::Mat stored(60, 80, CV_8UC1, cv::Scalar(255));
  const cv::Mat sharer = stored;
  stored = freshZeroMask(stored.size());
  EXPECT_EQ(cv::countNonZero(stored), 0);
  EXPECT_EQ(stored.size(), cv::Size(80, 60));
  EXPECT_EQ(stored.type(), CV_8UC1);
  EXPECT_NE(stored.data, sharer.data);
  EXPECT_EQ(cv::countNonZero(sharer), 60 * 80);
}

TEST(ChangeMask, SetWhereTheImagesDifferAfterTheMedian) {
  const cv::Mat before = greyWithSquare(100, {10, 10, 1, 1}, 100);
  const cv::Mat after = greyWithSquare(100, {20, 20, 12, 8}, 160);
  const cv::Mat mask = nativeDifferenceMask(before, after);
  // The median rounds each corner of the square off by three pixels.
  EXPECT_EQ(cv::countNonZero(mask), 12 * 8 - 4 * 3);
  EXPECT_EQ(mask.at<uchar>(24, 25), 255);

  // A single changed pixel is noise: the median removes it.
  EXPECT_EQ(cv::countNonZero(nativeDifferenceMask(before, greyWithSquare(100, {5, 5, 1, 1}, 250))), 0);
  // Differences of at most 16 are no change at all.
  EXPECT_EQ(cv::countNonZero(nativeDifferenceMask(before, greyWithSquare(116, {0, 0, 1, 1}, 116))), 0);
  EXPECT_THROW(nativeDifferenceMask(before, cv::Mat(61, 80, CV_8UC1)), std::runtime_error);
}

// The count of pixels above the level must give the median's mask exactly: on noise, on
// blobs near every edge and corner, and on a difference with nothing above the level.
TEST(ChangeMask, CountAboveTheLevelIsTheMediansMask) {
  cv::RNG rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    const cv::Size size(31 + 7 * trial, 23 + 5 * trial);
    cv::Mat difference(size, CV_8UC1, cv::Scalar(0));
    if (trial % 4 == 0) {
      rng.fill(difference, cv::RNG::UNIFORM, 0, 40);
    } else if (trial % 4 != 3) {
      for (int blob = 0; blob < 1 + trial % 5; ++blob) {
        // One draw at a time, so that every compiler makes the same trials.
        const int y = rng.uniform(0, size.height), x = rng.uniform(0, size.width);
        const int level = rng.uniform(10, 60);
        cv::circle(difference, {x, y}, rng.uniform(1, 9), cv::Scalar(level), cv::FILLED);
      }
      cv::Mat speckle(size, CV_8UC1);
      rng.fill(speckle, cv::RNG::UNIFORM, 0, 24);
      cv::max(difference, speckle, difference);
    } else {
      rng.fill(difference, cv::RNG::UNIFORM, 0, 17);
    }
    cv::Mat median;
    cv::medianBlur(difference, median, 5);
    const cv::Mat expected = thresholdBinary(median, 16.0);
    const cv::Mat counted = nativeDifferenceMask(cv::Mat::zeros(size, CV_8UC1), difference);
    ASSERT_EQ(counted.size(), size);
    ASSERT_EQ(counted.type(), CV_8UC1);
    EXPECT_EQ(cv::countNonZero(counted != expected), 0) << "trial " << trial;
  }
}

// The mask taken only round the pixels above the level must be the median's mask of the whole
// difference: with changes at every edge and corner, on rows of any length, on images that
// are windows of larger ones, and with nothing changed at all.
TEST(ChangeMask, DifferenceMaskIsTheMedianOfTheWholeDifference) {
  ASSERT_FALSE(processSwitches().adaptiveThreshold.load());
  cv::RNG rng(11);
  for (int trial = 0; trial < 60; ++trial) {
    const cv::Size size(17 + 13 * trial, 9 + 7 * trial);
    cv::Mat before(size.height + 6, size.width + 10, CV_8UC1);
    rng.fill(before, cv::RNG::UNIFORM, 60, 120);
    cv::Mat after = before.clone();
    cv::Mat noise(after.size(), CV_8UC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0, trial % 3 == 0 ? 20 : 8);
    cv::add(after, noise, after);
    for (int blob = 0; blob < trial % 4; ++blob) {
      const int y = rng.uniform(0, after.rows), x = rng.uniform(0, after.cols);
      const int level = rng.uniform(0, 255);
      cv::circle(after, {x, y}, rng.uniform(1, 12), cv::Scalar(level), cv::FILLED);
    }
    // Odd trials look at windows of the images, whose rows do not follow one another.
    const cv::Rect part = trial % 2 == 0 ? cv::Rect(0, 0, after.cols, after.rows) : cv::Rect(cv::Point(3, 2), size);
    cv::Mat difference, median;
    cv::absdiff(before(part), after(part), difference);
    cv::medianBlur(difference, median, 5);
    const cv::Mat expected = thresholdBinary(median, 16.0);
    const cv::Mat mask = nativeDifferenceMask(before(part), after(part));
    ASSERT_EQ(mask.size(), part.size());
    EXPECT_EQ(cv::countNonZero(mask != expected), 0) << "trial " << trial;
  }
  // A change in a single corner pixel and in the last pixel of a row.
  cv::Mat before(40, 37, CV_8UC1, cv::Scalar(50));
  cv::Mat after = before.clone();
  after(cv::Rect(34, 37, 3, 3)).setTo(200);
  after(cv::Rect(0, 0, 3, 3)).setTo(200);
  cv::Mat difference, median;
  cv::absdiff(before, after, difference);
  cv::medianBlur(difference, median, 5);
  EXPECT_EQ(cv::countNonZero(nativeDifferenceMask(before, after) != thresholdBinary(median, 16.0)), 0);
  EXPECT_GT(cv::countNonZero(nativeDifferenceMask(before, after)), 0);
}

// The counted median mask is the sorted median's, thresholded: at both apertures, at whole and
// fractional levels, on images of every small shape and on windows of larger ones.
TEST(ChangeMask, MedianAboveTheLevelCountedIsTheMediansMask) {
  cv::RNG rng(3);
  for (int trial = 0; trial < 60; ++trial) {
    const cv::Size size(trial < 10 ? 1 + trial : 7 + 11 * trial, trial < 10 ? 1 + (trial * 3) % 7 : 5 + 9 * (trial % 13));
    cv::Mat image(size.height + 4, size.width + 6, CV_8UC1);
    rng.fill(image, cv::RNG::UNIFORM, 0, trial % 2 == 0 ? 60 : 256);
    const cv::Mat part = trial % 3 == 0 ? image(cv::Rect(cv::Point(2, 1), size)) : image(cv::Rect(cv::Point(0, 0), size));
    const double level = trial % 4 == 0 ? 20.0 : 16.5 + trial % 7;
    for (int aperture : {3, 5}) {
      cv::Mat median;
      cv::medianBlur(part, median, aperture);
      const cv::Mat counted = medianAboveMask(part, level, aperture);
      ASSERT_EQ(counted.size(), part.size());
      EXPECT_EQ(cv::countNonZero(counted != thresholdBinary(median, level)), 0)
          << "trial " << trial << " aperture " << aperture;
    }
  }
}

TEST(ChangeMask, AdaptiveLevelRisesWithTheNoise) {
  cv::Mat noise(200, 200, CV_8UC1);
  cv::randu(noise, 0, 60);
  EXPECT_EQ(changeLevel(noise, cv::Mat(), false), 16.0);
  EXPECT_GT(changeLevel(noise, cv::Mat(), true), 40.0);
  EXPECT_EQ(changeLevel(cv::Mat::zeros(50, 50, CV_8UC1), cv::Mat(), true), 16.0);
}

TEST(ChangeMask, DirectMaskExportAndItsCodes) {
  const cv::Mat before = greyWithSquare(100, {0, 0, 1, 1}, 100);
  const cv::Mat after = greyWithSquare(100, {30, 30, 10, 10}, 40);
  std::vector<uint8_t> mask(80 * 60, 7);
  EXPECT_EQ(tarv_direct_mask(before.data, after.data, 80, 60, mask.data(), mask.size()), 100 - 4 * 3);
  EXPECT_EQ(mask[35 * 80 + 35], 255);
  EXPECT_EQ(mask[0], 0);
  EXPECT_EQ(tarv_direct_mask(nullptr, after.data, 80, 60, mask.data(), mask.size()), -1);
  EXPECT_EQ(tarv_direct_mask(before.data, after.data, 80, 60, nullptr, mask.size()), -1);
  EXPECT_EQ(tarv_direct_mask(before.data, after.data, 0, 60, mask.data(), mask.size()), -1);
  EXPECT_EQ(tarv_direct_mask(before.data, after.data, 8193, 1, mask.data(), 9000), -1);
  EXPECT_EQ(tarv_direct_mask(before.data, after.data, 80, 60, mask.data(), mask.size() - 1), -1);
}

TEST(MaskOps, DilationOfLargeMasksMatchesTheFullDilation) {
  cv::Mat mask = cv::Mat::zeros(300, 400, CV_8UC1);
  mask(cv::Rect(100, 120, 5, 30)).setTo(255);
  mask.at<uchar>(299, 399) = 255;  // a pixel in the corner
  for (const bool elliptic : {true, false}) {
    for (const int k : {3, 9, 41}) {
      cv::Mat full;
      cv::dilate(mask, full,
                 cv::getStructuringElement(elliptic ? cv::MORPH_ELLIPSE : cv::MORPH_RECT, {k, k}));
      EXPECT_EQ(cv::countNonZero(full != dilateMask(mask, k, elliptic)), 0) << k << elliptic;
    }
  }
  EXPECT_EQ(cv::countNonZero(dilateMask(cv::Mat::zeros(300, 400, CV_8UC1), 9, false)), 0);
}

// The elliptic kernels are dilated row by row: pixel for pixel what OpenCV's dilation gives, for
// strokes and specks at the borders of small and large masks.
TEST(MaskOps, EllipticDilationMatchesOpenCvPixelForPixel) {
  cv::RNG rng(11);
  for (int trial = 0; trial < 24; ++trial) {
    const cv::Size size = trial % 2 ? cv::Size(400, 300) : cv::Size(97 + trial, 61 + 2 * trial);
    cv::Mat whole = cv::Mat::zeros(size, CV_8UC1);
    for (int s = 0; s < 1 + trial % 3; ++s) {
      cv::line(whole, {rng.uniform(0, size.width), rng.uniform(0, size.height)},
               {rng.uniform(0, size.width), rng.uniform(0, size.height)}, 255, rng.uniform(1, 4));
    }
    whole.at<uchar>(0, rng.uniform(0, size.width)) = 255;
    whole.at<uchar>(rng.uniform(0, size.height), size.width - 1) = 7;
    for (const int k : {13, 14, 21, 31, 61}) {
      cv::Mat expected;
      cv::dilate(whole, expected, cv::getStructuringElement(cv::MORPH_ELLIPSE, {k, k}));
      ASSERT_EQ(cv::countNonZero(expected != dilateMask(whole, k, true)), 0) << trial << " k " << k;
    }
  }
}

// Rendered dart strokes, specks at the row ends the scan reads 64, 8 and 1 bytes at a time, and
// a view into a larger mask: the box is the one OpenCV finds.
TEST(MaskOps, MaskBoxIsTheBoundingRectOfTheSetPixels) {
  cv::RNG rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    cv::Mat whole = cv::Mat::zeros(61 + trial % 13, (trial % 2 ? 83 : 261) + trial % 29, CV_8UC1);
    const int strokes = trial % 4;
    for (int s = 0; s < strokes; ++s) {
      const int width = rng.uniform(1, 4);
      const int toX = rng.uniform(0, whole.cols), toY = rng.uniform(0, whole.rows);
      const cv::Point to(toX, toY);
      cv::line(whole, {rng.uniform(0, whole.cols), rng.uniform(0, whole.rows)}, to, 255, width);
    }
    if (trial % 5 == 1) whole.at<uchar>(rng.uniform(0, whole.rows), whole.cols - 1) = 1;
    if (trial % 7 == 2) whole.at<uchar>(rng.uniform(0, whole.rows), 0) = 9;
    const cv::Mat view = whole(cv::Rect(trial % 5, trial % 3, whole.cols - 7, whole.rows - 4));
    for (const cv::Mat& mask : {whole, view}) {
      EXPECT_EQ(maskBox(mask), cv::boundingRect(mask)) << trial;
    }
  }
  EXPECT_EQ(maskBox(cv::Mat()), cv::Rect());
  EXPECT_EQ(maskBox(cv::Mat::zeros(8, 40, CV_8UC1)), cv::Rect());
}

// Reduced round the mask's box or over the whole mask, the same pixels: strokes at odd and
// even edges, touching the border, and sizes that do not halve exactly.
TEST(MaskOps, ReducedMaskIsTheAreaResizeOfTheWholeMask) {
  const auto wholeResize = [](const cv::Mat& mask, cv::Size size) {
    cv::Mat reduced;
    cv::resize(mask, reduced, size, 0, 0, cv::INTER_AREA);
    return thresholdBinary(reduced, 0);
  };
  cv::RNG rng(11);
  for (int trial = 0; trial < 120; ++trial) {
    const bool halves = trial % 4 != 3;
    cv::Mat mask = cv::Mat::zeros(60 + (halves ? 2 * (trial % 5) : 1), 80 + (halves ? 0 : 3), CV_8UC1);
    for (int s = 0; s < trial % 3; ++s) {
      const int width = rng.uniform(1, 3);
      const int toX = rng.uniform(0, mask.cols), toY = rng.uniform(0, mask.rows);
      const cv::Point to(toX, toY);
      cv::line(mask, {rng.uniform(0, mask.cols), rng.uniform(0, mask.rows)}, to, 255, width);
    }
    if (trial % 5 == 1) mask.at<uchar>(mask.rows - 1, rng.uniform(0, mask.cols)) = 255;
    if (trial % 7 == 2) mask.at<uchar>(rng.uniform(0, mask.rows), 0) = 255;
    const cv::Size size(mask.cols / 2, mask.rows / 2);
    const cv::Mat expected = wholeResize(mask, size);
    const cv::Mat reduced = reducedMask(mask, size);
    ASSERT_EQ(reduced.size(), size) << trial;
    EXPECT_EQ(cv::countNonZero(reduced != expected), 0) << trial;
  }
}

TEST(MaskOps, CompareMasksToleratesSmallShifts) {
  cv::Mat previous = cv::Mat::zeros(50, 50, CV_8UC1);
  previous(cv::Rect(10, 10, 10, 10)).setTo(255);
  cv::Mat current = cv::Mat::zeros(50, 50, CV_8UC1);
  current(cv::Rect(12, 10, 10, 10)).setTo(200);  // moved 2 px, any non-zero counts
  current(cv::Rect(40, 40, 4, 4)).setTo(1);
  const Masks m = compareMasks(previous, current, 3);
  EXPECT_EQ(m.stats["new_pixels"], 16);
  EXPECT_EQ(m.stats["removed_pixels"], 0);
  EXPECT_EQ(m.stats["stationary_pixels"], 80);
  EXPECT_EQ(m.stats["retained_fraction"], 1.0);
  const Masks gone = compareMasks(previous, cv::Mat::zeros(50, 50, CV_8UC1), 3);
  EXPECT_EQ(gone.removedPixels(), 100);
  EXPECT_EQ(gone.stats["removed_fraction"], 1.0);
}

// The shortcut for an unchanged frame must give what comparing the mask with itself gives,
// stats and masks alike, including for an empty mask and one on a large image.
TEST(MaskOps, SameMasksMatchesComparingAMaskWithItself) {
  cv::Mat mask = cv::Mat::zeros(300, 400, CV_8UC1);
  cv::ellipse(mask, cv::Point(200, 150), cv::Size(60, 12), 30.0, 0.0, 360.0, cv::Scalar(180), cv::FILLED);
  mask(cv::Rect(5, 5, 3, 3)).setTo(1);
  for (const cv::Mat& m : {mask, cv::Mat(cv::Mat::zeros(40, 50, CV_8UC1))}) {
    const Masks expected = compareMasks(m, m, 2);
    const Masks same = sameMasks(m, 2);
    EXPECT_EQ(same.stats, expected.stats);
    for (const auto& [got, want] : {std::pair{same.current, expected.current}, std::pair{same.previous, expected.previous},
                                    std::pair{same.added, expected.added}, std::pair{same.removed, expected.removed},
                                    std::pair{same.stationary, expected.stationary}}) {
      ASSERT_EQ(got.size(), want.size());
      EXPECT_EQ(cv::countNonZero(got != want), 0);
    }
  }
  // Its masks are its own: changing one leaves the others and the input as they were.
  Masks same = sameMasks(mask, 2);
  same.current.setTo(0);
  EXPECT_GT(cv::countNonZero(same.previous), 0);
  EXPECT_GT(cv::countNonZero(same.stationary), 0);
  EXPECT_GT(cv::countNonZero(mask), 0);
}

// The reduced frames every call analyses must be the ones cv::resize made, to the last grey
// level: on noise (every rounding case), on ROIs of a larger image and on the sizes cameras send.
TEST(HalvedByArea, PixelForPixelWhatTheAreaResizeGives) {
  cv::RNG rng(11);
  for (const cv::Size size : {cv::Size(800, 600), cv::Size(1280, 720), cv::Size(1920, 1080), cv::Size(34, 18),
                              cv::Size(2, 2), cv::Size(802, 602)}) {
    cv::Mat image(size, CV_8UC3);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    cv::Mat expected;
    cv::resize(image, expected, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    const cv::Mat halved = halvedByArea(image);
    ASSERT_EQ(halved.size(), expected.size()) << size;
    ASSERT_EQ(halved.type(), expected.type());
    EXPECT_EQ(cv::norm(halved, expected, cv::NORM_INF), 0.0) << size;
  }
  cv::Mat large(120, 160, CV_8UC3);
  rng.fill(large, cv::RNG::UNIFORM, 0, 256);
  const cv::Mat roi = large(cv::Rect(6, 4, 96, 70));
  cv::Mat expected;
  cv::resize(roi, expected, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
  EXPECT_EQ(cv::norm(halvedByArea(roi), expected, cv::NORM_INF), 0.0);
  // Odd sizes and grey images take the resize itself.
  for (const cv::Mat& other : {cv::Mat(cv::Mat::zeros(31, 20, CV_8UC3)), cv::Mat(cv::Mat::zeros(30, 20, CV_8UC1))}) {
    cv::resize(other, expected, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    EXPECT_EQ(halvedByArea(other).size(), expected.size());
  }
  EXPECT_TRUE(halvedByArea(cv::Mat()).empty());
}

}  // namespace
}  // namespace tarv
