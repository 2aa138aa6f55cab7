#include "tarv/board/axis_candidate.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv {

namespace {

constexpr std::size_t kMinPoints = 80;
constexpr float kMinElongation = 1.6f;
constexpr float kSectionsPerPixel = 0.25f;  // one section every 4 px along the blob
constexpr std::size_t kMinSectionPoints = 3;
constexpr float kMaxNarrowWidthPx = 16.0f;
constexpr int kMaxSectionGap = 3;  // bridges up to two missing or wide sections
constexpr std::size_t kMinRunSections = 6;
constexpr float kMinSpanPx = 35.0f;
constexpr float kMaxResidualRmsPx = 3.0f;

struct Section {
  int number = 0;
  cv::Point2f centre;
};

using Run = std::vector<Section>;

struct PrincipalAxis {
  float ex = 0.0f;
  float ey = 0.0f;
  float elongation = 0.0f;
};

// The principal direction of the centred points and how much longer than wide they are.
PrincipalAxis principalAxis(const std::vector<cv::Point2f>& centred) {
  cv::Mat a(static_cast<int>(centred.size()), 2, CV_32F);
  for (std::size_t i = 0; i < centred.size(); ++i) {
    a.at<float>(static_cast<int>(i), 0) = centred[i].x;
    a.at<float>(static_cast<int>(i), 1) = centred[i].y;
  }
  cv::Mat w, u, vt;
  cv::SVD::compute(a, w, u, vt, cv::SVD::MODIFY_A);
  PrincipalAxis axis;
  axis.ex = vt.at<float>(0, 0);
  axis.ey = vt.at<float>(0, 1);
  axis.elongation = w.at<float>(0) / std::max(w.at<float>(1), 1e-6f);
  return axis;
}

// Point indices grouped by their 4 px section along the principal direction, in section
// order, together with each point's offset across it.
std::map<int, std::vector<std::size_t>> groupSections(const std::vector<cv::Point2f>& centred,
                                                      const PrincipalAxis& axis,
                                                      std::vector<float>& across) {
  std::vector<float> along(centred.size());
  across.assign(centred.size(), 0.0f);
  float alongMin = 0.0f;
  for (std::size_t i = 0; i < centred.size(); ++i) {
    along[i] = centred[i].x * axis.ex + centred[i].y * axis.ey;
    across[i] = -centred[i].x * axis.ey + centred[i].y * axis.ex;
    if (i == 0 || along[i] < alongMin) alongMin = along[i];
  }
  std::map<int, std::vector<std::size_t>> sections;
  for (std::size_t i = 0; i < centred.size(); ++i) {
    const int number = static_cast<int>(std::floor((along[i] - alongMin) * kSectionsPerPixel));
    sections[number].push_back(i);
  }
  return sections;
}

// Sections of at least three points no wider than a dart's shaft, with their median centre
// in image pixels; a flight or a blob of touching darts is wider and is left out.
std::vector<Section> narrowSections(const std::map<int, std::vector<std::size_t>>& sections,
                                    const std::vector<Point2>& pixels,
                                    const std::vector<float>& across) {
  std::vector<Section> narrow;
  for (const auto& [number, members] : sections) {
    if (members.size() < kMinSectionPoints) continue;
    float lo = across[members.front()];
    float hi = lo;
    std::vector<double> xs, ys;
    for (const std::size_t i : members) {
      lo = std::min(lo, across[i]);
      hi = std::max(hi, across[i]);
      xs.push_back(pixels[i].x);
      ys.push_back(pixels[i].y);
    }
    if (hi - lo > kMaxNarrowWidthPx) continue;
    narrow.push_back({number, cv::Point2f(static_cast<float>(percentile(xs, 50.0)),
                                          static_cast<float>(percentile(ys, 50.0)))});
  }
  return narrow;
}

std::vector<Run> splitRuns(const std::vector<Section>& narrow) {
  std::vector<Run> runs;
  for (const Section& s : narrow) {
    if (runs.empty() || s.number - runs.back().back().number > kMaxSectionGap) runs.emplace_back();
    runs.back().push_back(s);
  }
  return runs;
}

// The run reaching furthest along the blob; the earlier of equally long runs.
const Run* longestRun(const std::vector<Run>& runs) {
  const Run* best = nullptr;
  for (const Run& run : runs) {
    const int extent = run.back().number - run.front().number;
    if (best == nullptr || extent > best->back().number - best->front().number) best = &run;
  }
  return best;
}

json pixelJson(float x, float y) { return json::array({x, y}); }

}  // namespace

json fitAxisCandidate(const std::vector<Point2>& pixels) {
  if (pixels.size() < kMinPoints) return nullptr;
  double sumX = 0.0, sumY = 0.0;
  for (const Point2& p : pixels) {
    // A component's pixels are always finite; anything else cannot be a dart.
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return nullptr;
    sumX += p.x;
    sumY += p.y;
  }
  // The mean is summed in double: thousands of pixel coordinates overflow a float's mantissa.
  const float meanX = static_cast<float>(sumX / static_cast<double>(pixels.size()));
  const float meanY = static_cast<float>(sumY / static_cast<double>(pixels.size()));
  std::vector<cv::Point2f> centred;
  centred.reserve(pixels.size());
  for (const Point2& p : pixels)
    centred.emplace_back(static_cast<float>(p.x) - meanX, static_cast<float>(p.y) - meanY);

  const PrincipalAxis axis = principalAxis(centred);
  if (!(axis.elongation >= kMinElongation)) return nullptr;

  std::vector<float> across;
  const auto sections = groupSections(centred, axis, across);
  const std::vector<Run> runs = splitRuns(narrowSections(sections, pixels, across));
  const Run* run = longestRun(runs);
  if (run == nullptr || run->size() < kMinRunSections) return nullptr;

  std::vector<cv::Point2f> centres;
  for (const Section& s : *run) centres.push_back(s.centre);
  cv::Vec4f fitted;
  cv::fitLine(centres, fitted, cv::DIST_HUBER, 0, 0.01, 0.01);
  float vx = fitted[0], vy = fitted[1];
  const float x0 = fitted[2], y0 = fitted[3];
  if (vy < 0.0f || (vy == 0.0f && vx < 0.0f)) {
    vx = -vx;
    vy = -vy;
  }

  float tmin = 0.0f, tmax = 0.0f, sumE2 = 0.0f;
  for (std::size_t i = 0; i < centres.size(); ++i) {
    const float dx = centres[i].x - x0, dy = centres[i].y - y0;
    const float t = vx * dx + vy * dy;
    const float e = -vy * dx + vx * dy;
    if (i == 0 || t < tmin) tmin = t;
    if (i == 0 || t > tmax) tmax = t;
    sumE2 += e * e;
  }
  const float span = tmax - tmin;
  const float rms = std::sqrt(sumE2 / static_cast<float>(centres.size()));
  if (!(span >= kMinSpanPx) || !(rms <= kMaxResidualRmsPx)) return nullptr;

  json candidate = json::object();
  candidate["status"] = "AXIS_CANDIDATE";
  candidate["origin_px"] = pixelJson(x0, y0);
  candidate["direction_xy"] = pixelJson(vx, vy);
  candidate["support_endpoints_px"] = json::array(
      {pixelJson(x0 + vx * tmin, y0 + vy * tmin), pixelJson(x0 + vx * tmax, y0 + vy * tmax)});
  candidate["support_span_px"] = span;
  candidate["center_residual_rms_px"] = rms;
  candidate["narrow_sections"] = run->size();
  candidate["component_elongation"] = axis.elongation;
  candidate["direction_resolved"] = false;
  // The fit residual says how straight the blob is, not how well the axis is known.
  candidate["tip"] = nullptr;
  candidate["score"] = nullptr;
  candidate["position_uncertainty_mm"] = nullptr;
  candidate["angular_uncertainty_deg"] = nullptr;
  candidate["warning"] = "FIT_RESIDUAL_IS_NOT_MEASUREMENT_UNCERTAINTY";
  return candidate;
}

bool isUsableAxisVote(const json& vote) {
  if (!vote.is_object()) return false;
  const bool abstains = vote.value("abstention", true);
  if (!vote.value("axis_valid", !abstains)) return false;
  const auto line = vote.find("line");
  if (line == vote.end() || !line->is_array() || line->size() != 3) return false;
  for (const json& element : *line) {
    if (!element.is_number() || !std::isfinite(element.get<double>())) return false;
  }
  return std::hypot((*line)[0].get<double>(), (*line)[1].get<double>()) > 1e-9;
}

double rankPairIntersection(const json& intersection) {
  const auto u = intersection.find("uncertainty_mm");
  const double uncertainty = (u != intersection.end() && u->is_number()) ? u->get<double>() : 1e6;
  const json& distances = intersection.at("distances");
  return uncertainty + distances.at(0).get<double>() + distances.at(1).get<double>();
}

}  // namespace tarv
