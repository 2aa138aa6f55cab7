#include "tarv/recovery/exposure_fit.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "tarv/core/board_geometry.h"
#include "tarv/views/image_ops.h"

namespace tarv {

namespace {

struct Pair {
  double r;
  double c;
};

struct LineFit {
  bool valid = false;
  double gain = 0.0;
  double offset = 0.0;
  std::vector<double> residuals;
};

constexpr int kGridStep = 4;
constexpr int kLowestLevel = 13;
constexpr int kHighestLevel = 242;

bool usableLevel(int v) { return v >= kLowestLevel && v <= kHighestLevel; }

// Clipped or nearly black pixels say nothing about a linear response, so only mid-range
// pairs are sampled.
std::vector<Pair> samplePairs(const cv::Mat& reference, const cv::Mat& current,
                              const cv::Mat& mask) {
  std::vector<Pair> pairs;
  if (!mask.empty() && mask.size() != reference.size()) return pairs;
  for (int y = 0; y < reference.rows; y += kGridStep) {
    const uchar* rr = reference.ptr<uchar>(y);
    const uchar* cr = current.ptr<uchar>(y);
    const uchar* mr = mask.empty() ? nullptr : mask.ptr<uchar>(y);
    for (int x = 0; x < reference.cols; x += kGridStep) {
      if (mr != nullptr && mr[x] == 0) continue;
      if (!usableLevel(rr[x]) || !usableLevel(cr[x])) continue;
      pairs.push_back(Pair{static_cast<double>(rr[x]), static_cast<double>(cr[x])});
    }
  }
  return pairs;
}

// The prediction is formed in single precision, the difference in double.
double residualOf(const Pair& p, double gain, double offset) {
  const float predicted =
      static_cast<float>(p.r) * static_cast<float>(gain) + static_cast<float>(offset);
  return std::abs(p.c - static_cast<double>(predicted));
}

// Least squares over the inliers, then residuals of every pair. A pass never drops a pair
// for good: each one re-judges all of them against the new line.
LineFit fitPass(const std::vector<Pair>& pairs, const std::vector<char>& inlier) {
  double n = 0.0, sr = 0.0, sc = 0.0, srr = 0.0, src = 0.0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (!inlier[i]) continue;
    const Pair& p = pairs[i];
    n += 1.0;
    sr += p.r;
    sc += p.c;
    srr += p.r * p.r;
    src += p.r * p.c;
  }
  LineFit fit;
  const double det = n * srr - sr * sr;
  if (!(std::abs(det) >= 1e-9) || !(n > 0.0)) return fit;
  fit.gain = (n * src - sc * sr) / det;
  fit.offset = (sc - fit.gain * sr) / n;
  fit.residuals.reserve(pairs.size());
  for (const Pair& p : pairs) fit.residuals.push_back(residualOf(p, fit.gain, fit.offset));
  fit.valid = true;
  return fit;
}

Exposure untouched(const cv::Mat& current, json report) {
  Exposure e;
  e.image = current;
  e.report = std::move(report);
  e.applied = false;
  return e;
}

Exposure insufficientContext(const cv::Mat& current) {
  return untouched(current, json{{"applied", false}, {"reason", "INSUFFICIENT_CONTEXT"}});
}

cv::Mat correctedImage(const cv::Mat& current, double gain, double offset) {
  cv::Mat table(1, 256, CV_8UC1);
  const float g = static_cast<float>(gain);
  const float o = static_cast<float>(offset);
  for (int v = 0; v < 256; ++v) {
    const float level = std::clamp((static_cast<float>(v) - o) / g, 0.0f, 255.0f);
    table.at<uchar>(0, v) = static_cast<uchar>(level);
  }
  cv::Mat out;
  cv::LUT(current, table, out);
  return out;
}

}  // namespace

Exposure fitExposure(const cv::Mat& reference, const cv::Mat& current, const cv::Mat& mask,
                     bool smooth, std::size_t minimumSamples) {
  if (reference.cols != current.cols || reference.rows != current.rows) {
    throw std::runtime_error("CAMERA_RESOLUTION_CHANGED");
  }
  const cv::Mat referenceGrey = toGray(reference);
  const cv::Mat currentGrey = toGray(current);
  if (referenceGrey.type() != CV_8UC1 || currentGrey.type() != CV_8UC1) {
    return insufficientContext(currentGrey);
  }

  // toGray hands a grey image back with its own pixels: the blur must write into new images,
  // never into the caller's reference or frame (a blur in place would soften the stored empty
  // board a little more at every call).
  cv::Mat sampledReference = referenceGrey;
  cv::Mat sampledCurrent = currentGrey;
  if (smooth && !referenceGrey.empty()) {
    sampledReference = cv::Mat();
    sampledCurrent = cv::Mat();
    cv::GaussianBlur(referenceGrey, sampledReference, cv::Size(5, 5), 0.0);
    cv::GaussianBlur(currentGrey, sampledCurrent, cv::Size(5, 5), 0.0);
  }

  // Any non-zero mask value allows a sample, whatever the mask's channels or depth.
  cv::Mat allowed = mask;
  if (!mask.empty() && mask.type() != CV_8UC1) allowed = toGray(mask) != 0;
  const std::vector<Pair> pairs = samplePairs(sampledReference, sampledCurrent, allowed);
  if (pairs.size() < minimumSamples) return insufficientContext(currentGrey);

  std::vector<char> inlier(pairs.size(), 1);
  LineFit fit;
  for (int pass = 0; pass < 3; ++pass) {
    fit = fitPass(pairs, inlier);
    if (!fit.valid) return insufficientContext(currentGrey);
    const double threshold = std::max(percentile(fit.residuals, 80.0), 3.0);
    for (std::size_t i = 0; i < pairs.size(); ++i) inlier[i] = fit.residuals[i] <= threshold;
  }

  const double median = percentile(fit.residuals, 50.0);
  json report{{"applied", false},
              {"gain", fit.gain},
              {"offset", fit.offset},
              {"residual_median", median},
              {"reason", "NON_GLOBAL_OR_EXCESSIVE_CHANGE"}};
  const double medianLimit = smooth ? 4.0 : 3.0;
  // Written as acceptance so that a NaN anywhere rejects.
  const bool accepted = fit.gain >= 0.8 && fit.gain <= 1.25 && std::abs(fit.offset) <= 25.0 &&
                        median <= medianLimit;
  if (!accepted) return untouched(currentGrey, std::move(report));

  report["applied"] = true;
  report.erase("reason");
  Exposure e;
  e.image = correctedImage(currentGrey, fit.gain, fit.offset);
  e.report = std::move(report);
  e.applied = true;
  return e;
}

}  // namespace tarv
