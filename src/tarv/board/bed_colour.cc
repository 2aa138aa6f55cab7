#include "tarv/board/bed_colour.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "tarv/core/engine_values.h"
#include "tarv/core/round.h"

namespace tarv {

namespace {

// Sectors whose singles are black and whose doubles and trebles are red.
constexpr std::array<int, 10> kDarkSectors{20, 18, 13, 10, 2, 3, 7, 8, 14, 12};

// Patch half-size at the tip: 5 x 5 pixels.
constexpr int kTipPatchHalf = 2;
// A dominant class needs this share of the patch to count as its colour.
constexpr double kDominantShare = 0.7;
// Farthest a camera's own tip observation may lie from the scored point and still be sampled.
constexpr double kObservationReachMm = 6.0;
// Share of the total weight the winning field needs.
constexpr double kWinningShare = 0.6;

// Thresholds on 8-bit HSV (hue 0..179). Order matters: a dark, faintly tinted pixel is black
// before it can be red or green, and a pale one is white before it can be green.
std::string colourOfHsv(int hue, int saturation, int value) {
  if (value < 75 && saturation < 110) return "black";
  if (saturation < 70 && value > 130) return "white";
  if (saturation > 80 && (hue < 12 || hue > 165)) return "red";
  if (saturation > 60 && hue >= 35 && hue <= 95) return "green";
  return "";
}

bool isDarkSector(int sector) {
  return std::find(kDarkSectors.begin(), kDarkSectors.end(), sector) != kDarkSectors.end();
}

// std::stoi with the messages the callers of expectedBedColour expect.
int parseSector(const std::string& text) {
  try {
    return std::stoi(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stoi argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stoi argument out of range");
  }
}

bool readFinitePoint(const json& value, Point2& out) {
  if (!value.is_array() || value.size() < 2 || !value[0].is_number() || !value[1].is_number()) {
    return false;
  }
  const Point2 p{value[0].get<double>(), value[1].get<double>()};
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
  out = p;
  return true;
}

// applyHomography that also refuses a pixel that is not finite (a malformed homography can
// give one with a finite w), so no NaN reaches a patch index or the record.
Point2 projectFinite(const Homography& h, Point2 point) {
  const Point2 pixel = applyHomography(h, point);
  if (!std::isfinite(pixel.x) || !std::isfinite(pixel.y)) {
    throw std::runtime_error("Projection at infinity");
  }
  return pixel;
}

// A tip observation that counts: not an abstention, with a board point and an image point.
// Records without "abstention", or whose points cannot be read, are passed over.
bool readObservation(const json& observation, Point2& boardPoint, Point2& imagePoint) {
  // The const operator[] of a non-object raises the JSON library's own type error.
  if (!observation.is_object()) static_cast<void>(observation["abstention"]);
  const auto abstention = observation.find("abstention");
  if (abstention == observation.end() || abstention->get<bool>()) return false;
  const auto point = observation.find("point");
  if (point == observation.end() || point->is_null()) return false;
  const auto image = observation.find("image_point");
  if (image == observation.end()) return false;
  return readFinitePoint(*point, boardPoint) && readFinitePoint(*image, imagePoint);
}

struct TipPixel {
  Point2 pixel;
  const char* source;
};

// The camera's own tip observation nearest the scored point when one is close enough,
// otherwise the scored point projected into the camera.
TipPixel tipPixel(const json& cameraObservation, Point2 point, const Homography& h) {
  const json* votes = nullptr;
  if (cameraObservation.is_object()) {
    const auto listed = cameraObservation.find("votes");
    if (listed != cameraObservation.end() && listed->is_array()) votes = &*listed;
  }
  bool found = false;
  double best = 0.0;
  Point2 bestPixel;
  if (votes != nullptr) {
    for (const json& observation : *votes) {
      Point2 boardPoint, imagePoint;
      if (!readObservation(observation, boardPoint, imagePoint)) continue;
      const double d = std::hypot(boardPoint.x - point.x, boardPoint.y - point.y);
      if (!(d <= kObservationReachMm)) continue;
      if (!found || d < best) {
        found = true;
        best = d;
        bestPixel = imagePoint;
      }
    }
  }
  if (found) return {bestPixel, "LINE_VOTE"};
  return {projectFinite(h, point), "PROJECTION"};
}

// Half the image distance between the projections of the points 1 mm either side of the
// scored point along its radius: the camera's pixels per millimetre there.
double radialPixelsPerMm(const Homography& h, Point2 point) {
  const double n = std::hypot(point.x, point.y);
  const Point2 u = n > 1e-6 ? Point2{point.x / n, point.y / n} : Point2{0.0, 1.0};
  const Point2 inner = projectFinite(h, {point.x - u.x, point.y - u.y});
  const Point2 outer = projectFinite(h, {point.x + u.x, point.y + u.y});
  const double weight = 0.5 * std::hypot(outer.x - inner.x, outer.y - inner.y);
  if (!std::isfinite(weight)) throw std::runtime_error("Projection at infinity");
  return weight;
}

bool isUsableImage(const cv::Mat& image) { return !image.empty() && image.type() == CV_8UC3; }

// The camera's record in the view checks says it confirmed a tip at the scored position.
bool confirmedByViewCheck(const json& viewChecks, const std::string& id) {
  const auto record = viewChecks.find(id);
  if (record == viewChecks.end() || !record->is_object()) return false;
  const auto supported = record->find("supported");
  return supported != record->end() && supported->is_boolean() && supported->get<bool>();
}

}  // namespace

std::string classifyPixelColour(const cv::Vec3b& bgr) {
  // OpenCV's own conversion, so that a patch converted whole classifies the same.
  const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(bgr[0], bgr[1], bgr[2]));
  cv::Mat hsv;
  cv::cvtColor(pixel, hsv, cv::COLOR_BGR2HSV);
  const cv::Vec3b c = hsv.at<cv::Vec3b>(0, 0);
  return colourOfHsv(c[0], c[1], c[2]);
}

std::string expectedBedColour(const std::string& label) {
  if (label == "BULL") return "red";
  if (label == "25") return "green";
  if (label == "MISS" || label.size() < 2) return "";
  const bool dark = isDarkSector(parseSector(label.substr(1)));
  if (label[0] == 'S') return dark ? "black" : "white";
  return dark ? "red" : "green";
}

BedColourSample sampleBedColour(const cv::Mat& image, double x, double y, int half) {
  BedColourSample sample;
  if (!isUsableImage(image) || half < 0) return sample;
  // Far beyond any image, and keeps the rounding below well defined.
  constexpr double kLimit = 1e9;
  if (!(std::abs(x) < kLimit) || !(std::abs(y) < kLimit)) return sample;
  const long long cx = std::llround(x);
  const long long cy = std::llround(y);
  if (cx < half || cy < half || cx >= image.cols - half || cy >= image.rows - half) {
    return sample;
  }
  const int side = 2 * half + 1;
  const cv::Rect patch(static_cast<int>(cx) - half, static_cast<int>(cy) - half, side, side);
  const cv::Mat bgr = image(patch);

  std::map<std::string, int> counts;  // ordered by name: ties go to the first alphabetically
  for (int row = 0; row < bgr.rows; ++row) {
    const cv::Vec3b* p = bgr.ptr<cv::Vec3b>(row);
    for (int col = 0; col < bgr.cols; ++col) {
      const std::string colour = classifyPixelColour(p[col]);
      ++counts[colour.empty() ? "none" : colour];
    }
  }
  auto dominant = counts.begin();
  for (auto it = counts.begin(); it != counts.end(); ++it) {
    if (it->second > dominant->second) dominant = it;
  }
  const int total = side * side;
  if (dominant->first != "none" && dominant->second >= kDominantShare * total) {
    sample.colour = dominant->first;
  }
  for (const auto& [name, count] : counts) sample.counts[name] = count;
  return sample;
}

void arbitrateBedColour(json& result, const json& classification, Point2 point,
                        const std::array<json, 3>& cameraObservations,
                        const std::array<Camera, 3>& cameras,
                        const std::array<Homography, 3>& homographies, const json& uncertainty,
                        const json& viewChecks) {
  // A failure part-way leaves only what was written before it, never an earlier record.
  result = json::object();
  std::vector<std::string> candidates;
  const json* wire = nullptr;
  if (classification.is_object()) {
    const auto listed = classification.find("candidates");
    if (listed != classification.end() && listed->is_array()) {
      for (const json& label : *listed) candidates.push_back(label.get<std::string>());
    }
    const auto w = classification.find("nearest_wire_mm");
    if (w != classification.end()) wire = &*w;
  }

  // Non-finite numbers carry no information and must not reach the record as NaN or
  // infinity: such an uncertainty counts as absent, such a wire distance as unknown.
  double u = 0.0;
  if (uncertainty.is_number() && std::isfinite(1.5 * uncertainty.get<double>())) {
    u = uncertainty.get<double>();
  }
  const double limit = std::max(1.5 * u, 1.5);
  const bool wireKnown = wire != nullptr && wire->is_number() && std::isfinite(wire->get<double>());

  result["applied"] = false;
  result["candidates"] = candidates;
  result["limit_mm"] = limit;
  result["cameras"] = json::object();
  result["selected"] = nullptr;
  result["wire_mm"] = wire == nullptr || (wire->is_number() && !wireKnown) ? json() : *wire;

  if (candidates.size() < 2 || !wireKnown || wire->get<double>() > limit) {
    result["reason"] = "NOT_AT_WIRE";
    return;
  }

  std::vector<std::string> expected;
  for (const std::string& label : candidates) {
    const std::string colour = expectedBedColour(label);
    if (colour.empty() || std::find(expected.begin(), expected.end(), colour) != expected.end()) {
      result["reason"] = "COLOUR_CANNOT_SEPARATE";
      return;
    }
    expected.push_back(colour);
  }

  std::vector<double> scores(candidates.size(), 0.0);
  double total = 0.0;
  int voters = 0;
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const std::string& id = cameraIds[i];
    if (viewChecks.is_object() && !confirmedByViewCheck(viewChecks, id)) {
      result["cameras"][id] = {{"excluded", true},
                               {"reason", "NO_CONFIRMED_TIP_AT_SCORED_POSITION"}};
      continue;
    }
    const cv::Mat& image = cameras[i].backgroundFrame;
    if (!isUsableImage(image)) continue;

    const TipPixel tip = tipPixel(cameraObservations[i], point, homographies[i]);
    const BedColourSample sample = sampleBedColour(image, tip.pixel.x, tip.pixel.y, kTipPatchHalf);
    const double weight = radialPixelsPerMm(homographies[i], point);
    result["cameras"][id] = {
        {"colour", sample.colour.empty() ? json() : json(sample.colour)},
        {"tip_px", pointToJson(tip.pixel)},
        {"source", tip.source},
        {"weight_px_per_mm", roundTo(weight, 2)},
        {"patch", sample.counts},
    };
    if (sample.colour.empty()) continue;
    const auto match = std::find(expected.begin(), expected.end(), sample.colour);
    if (match == expected.end()) continue;
    scores[static_cast<std::size_t>(match - expected.begin())] += weight;
    total += weight;
    ++voters;
  }

  json scoreRecord = json::object();
  json expectedRecord = json::object();
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    scoreRecord[candidates[k]] = roundTo(scores[k], 2);
    expectedRecord[candidates[k]] = expected[k];
  }
  result["scores"] = scoreRecord;
  result["expected"] = expectedRecord;
  result["voters"] = voters;

  if (!(total > 0.0)) {
    result["reason"] = "NO_COLOUR_READABLE";
    return;
  }
  std::size_t winner = 0;
  for (std::size_t k = 1; k < scores.size(); ++k) {
    if (scores[k] > scores[winner]) winner = k;
  }
  if (scores[winner] < kWinningShare * total) {
    result["reason"] = "COLOURS_DISAGREE";
    return;
  }
  result["applied"] = true;
  result["selected"] = candidates[winner];
  result["share"] = roundTo(scores[winner] / total, 3);
  result["reason"] = "BED_COLOUR_AT_TIP";
}

}  // namespace tarv
