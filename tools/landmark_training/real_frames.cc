#include "landmark_training/real_frames.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include <opencv2/core.hpp>

#include "scene/board_texture.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"

namespace landmark_real {

namespace {

using json = nlohmann::json;
constexpr double kPi = 3.14159265358979323846;
constexpr int kRingPoints = 72;
constexpr int kDenseRingPoints = 720;

cv::Point2d pointOf(const json& value, const std::string& where) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number()) {
    throw std::runtime_error(where + ": not an [x, y] pair");
  }
  const cv::Point2d p(value[0].get<double>(), value[1].get<double>());
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) throw std::runtime_error(where + ": not finite");
  return p;
}

std::string textOf(const json& label, const char* key, const std::string& where, bool required) {
  const auto it = label.find(key);
  if (it == label.end()) {
    if (required) throw std::runtime_error(where + ": no \"" + key + "\"");
    return {};
  }
  if (!it->is_string()) throw std::runtime_error(where + ": \"" + key + "\" is no string");
  return it->get<std::string>();
}

// A point for each ring: none, one [x, y] for a single ring, or a list of them, one per ring.
std::vector<cv::Point2d> perRing(const json& entry, const char* key, size_t rings, const std::string& where) {
  const auto it = entry.find(key);
  if (it == entry.end()) return {};
  const std::string at = where + " " + key;
  if (it->is_array() && it->size() == 2 && (*it)[0].is_number()) {
    if (rings != 1) throw std::runtime_error(at + ": one point for " + std::to_string(rings) + " rings");
    return {pointOf(*it, at)};
  }
  if (!it->is_array() || it->size() != rings) throw std::runtime_error(at + ": not one point per ring");
  std::vector<cv::Point2d> out;
  for (const json& p : *it) out.push_back(pointOf(p, at));
  return out;
}

double toCurve(cv::Point2d p, const std::vector<cv::Point2d>& curve) {
  double best = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < curve.size(); ++i) {
    const cv::Point2d a = curve[i], b = curve[(i + 1) % curve.size()];
    const cv::Point2d ab = b - a;
    const double len2 = ab.dot(ab);
    const double t = len2 > 0.0 ? std::clamp((p - a).dot(ab) / len2, 0.0, 1.0) : 0.0;
    best = std::min(best, cv::norm(p - (a + t * ab)));
  }
  return best;
}

// The closed curve through the points, ten points between each two (Catmull-Rom): a ring of
// 72 points on a board 500 px across leaves its chords half a pixel inside the curve.
std::vector<cv::Point2d> densified(const std::vector<cv::Point2d>& ring) {
  const size_t n = ring.size();
  std::vector<cv::Point2d> out;
  for (size_t i = 0; i < n; ++i) {
    const cv::Point2d p0 = ring[(i + n - 1) % n], p1 = ring[i], p2 = ring[(i + 1) % n], p3 = ring[(i + 2) % n];
    for (int k = 0; k < 10; ++k) {
      const double t = k / 10.0, t2 = t * t, t3 = t2 * t;
      out.push_back(0.5 * (2.0 * p1 + (p2 - p0) * t + (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) * t2 +
                           (3.0 * p1 - p0 - 3.0 * p2 + p3) * t3));
    }
  }
  return out;
}

// The judgement given the calibration's board -> image and image -> board maps.
Placement place(const std::function<tarv::Point2(double, double)>& toImage,
                const std::function<tarv::Point2(tarv::Point2)>& toBoard, const RealLabel& label) {
  Placement out;
  out.geometry = true;
  std::vector<cv::Point2d> ring;
  for (int i = 0; i < kDenseRingPoints; ++i) {
    const double a = i * 2.0 * kPi / kDenseRingPoints;
    const tarv::Point2 p = toImage(label.ringMm * std::cos(a), label.ringMm * std::sin(a));
    ring.emplace_back(p.x, p.y);
  }
  out.ringPx = std::numeric_limits<double>::infinity();
  size_t board = 0;
  for (size_t i = 0; i < label.rings.size(); ++i) {
    const double d = curveDistance(ring, densified(label.rings[i]));
    if (d < out.ringPx) out.ringPx = d, board = i;
  }
  if (!label.bulls.empty()) {
    const tarv::Point2 b = toImage(0.0, 0.0);
    out.bullPx = cv::norm(cv::Point2d(b.x, b.y) - label.bulls[board]);
  }
  if (!label.twenties.empty()) {
    const tarv::Point2 q = toBoard({label.twenties[board].x, label.twenties[board].y});
    out.twentyRight = std::isfinite(q.x) && std::isfinite(q.y) && tarv::sectorOfPoint(q) == 20;
  }
  out.board = board;
  if (!std::isfinite(out.ringPx) || !std::isfinite(out.bullPx)) out.ringPx = out.bullPx = std::nan("");
  return out;
}

// Where a user taps the 20: the middle of its outer single field, on the 20's radial line.
constexpr double kTapMm = 135.0;

// A frame labelled with training landmarks ([class, x, y, ...]: 0 the bull, 2 the printed 20 at
// the renderer's number radius) has its bull there and its tap kTapMm out along the 20's radial
// line. A line keeps
// its cross-ratio through the camera, so the bull, the labelled ring where the line meets it
// and the printed 20 place the 135 mm point.
void placeFromLandmarks(const json& marks, RealLabel& l) {
  std::optional<cv::Point2d> bull, number;
  for (const json& m : marks) {
    if (!m.is_array() || m.size() < 3 || !m[0].is_number() || !m[1].is_number() || !m[2].is_number()) continue;
    const cv::Point2d p(m[1].get<double>(), m[2].get<double>());
    if (m[0].get<int>() == 0) bull = p;
    if (m[0].get<int>() == 2) number = p;
  }
  if (!bull) return;
  if (l.bulls.empty()) l.bulls = {*bull};
  if (!number || !l.twenties.empty()) return;
  const cv::Point2d dir = *number - *bull;
  const double far = cv::norm(dir);
  if (far < 1.0) return;
  // The labelled ring's point nearest the line, on the number's side.
  double ringT = 0.0, best = std::numeric_limits<double>::infinity();
  for (const cv::Point2d& q : densified(l.rings[0])) {
    const double t = (q - *bull).dot(dir) / far;
    const double across = std::abs((q - *bull).cross(dir)) / far;
    if (t > 0.0 && across < best) best = across, ringT = t;
  }
  if (!(ringT > 0.0 && ringT < far)) return;
  // Image distance t = a·s / (c·s + 1) along the line for board radius s.
  const double r = l.ringMm, n = tarv::scene::kNumberRadius, s = kTapMm;
  const double c = (n * ringT / r - far) / (n * (far - ringT));
  const double a = ringT * (c * r + 1.0) / r;
  l.twenties = {*bull + dir * (a * s / (c * s + 1.0) / far)};
}

}  // namespace

std::optional<cv::Point2d> RealLabel::click(size_t board) const {
  if (twenties.empty()) return std::nullopt;
  return twenties[board < twenties.size() ? board : 0];
}

double Placement::offPx() const {
  if (!geometry) return std::nan("");
  if (!twentyRight) return std::numeric_limits<double>::infinity();
  return std::max(ringPx, bullPx);
}

std::vector<RealLabel> readRealLabels(const json& labels) {
  if (!labels.is_array()) throw std::runtime_error("labels: not a JSON array");
  std::vector<RealLabel> out;
  for (size_t i = 0; i < labels.size(); ++i) {
    const json& entry = labels[i];
    const std::string where = "label " + std::to_string(i);
    if (!entry.is_object()) throw std::runtime_error(where + ": not an object");
    RealLabel l;
    l.file = textOf(entry, "file", where, true);
    l.repo = textOf(entry, "repo", where, true);
    l.path = textOf(entry, "path", where, false);
    l.commit = textOf(entry, "commit", where, false);
    l.split = textOf(entry, "split", where, false);
    l.note = textOf(entry, "note", where, false);
    const auto rings = entry.find("rings");
    if (rings == entry.end() || !rings->is_array() || rings->empty()) throw std::runtime_error(where + ": no \"rings\"");
    for (size_t r = 0; r < rings->size(); ++r) {
      const json& ring = (*rings)[r];
      const std::string at = where + " ring " + std::to_string(r);
      if (!ring.is_array() || ring.size() != kRingPoints) {
        throw std::runtime_error(at + ": not " + std::to_string(kRingPoints) + " points");
      }
      std::vector<cv::Point2d> points;
      for (const json& p : ring) points.push_back(pointOf(p, at));
      l.rings.push_back(std::move(points));
    }
    if (const auto it = entry.find("ring_mm"); it != entry.end()) {
      if (!it->is_number() || !(it->get<double>() > 0.0 && it->get<double>() < 200.0)) {
        throw std::runtime_error(where + ": \"ring_mm\" out of range");
      }
      l.ringMm = it->get<double>();
    }
    l.bulls = perRing(entry, "bull_px", l.rings.size(), where);
    l.twenties = perRing(entry, "twenty_px", l.rings.size(), where);
    // A frame labelled from a checked camera names its bull and 20 through that camera.
    if (const auto h = entry.find("board_to_image"); h != entry.end() && l.rings.size() == 1) {
      const tarv::Homography boardToImage = tarv::matrix3x3FromJson(*h);
      const auto image = [&](double x, double y) {
        const tarv::Point2 p = tarv::applyHomography(boardToImage, {x, y});
        return cv::Point2d(p.x, p.y);
      };
      if (l.bulls.empty()) l.bulls = {image(0.0, 0.0)};
      if (l.twenties.empty()) l.twenties = {image(0.0, -kTapMm)};
    } else if (const auto marks = entry.find("landmarks"); marks != entry.end() && l.rings.size() == 1) {
      placeFromLandmarks(*marks, l);
    }
    out.push_back(std::move(l));
  }
  return out;
}

double curveDistance(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b) {
  double sum = 0.0;
  for (const cv::Point2d& p : a) sum += toCurve(p, b);
  for (const cv::Point2d& p : b) sum += toCurve(p, a);
  return sum / static_cast<double>(a.size() + b.size());
}

Placement placeRecord(const tarv::CalibrationRecord& record, const RealLabel& label) {
  if (!record.is_object() || !record.value("geometry_valid", false) || !record.contains("board_to_image") ||
      record["board_to_image"].is_null()) {
    return {};
  }
  try {
    return place([&record](double x, double y) { return tarv::boardToImage(record, x, y); },
                 [&record](tarv::Point2 p) { return tarv::imageToBoard(record, p); }, label);
  } catch (const std::exception&) {
    // A ring through the horizon: a geometry, but none that lies on the image.
    Placement p;
    p.geometry = true;
    p.ringPx = p.bullPx = std::numeric_limits<double>::infinity();
    return p;
  }
}

Placement placeHomography(const tarv::Homography& boardToImage, const RealLabel& label) {
  const cv::Matx33d inverse = cv::Matx33d(boardToImage.data()).inv();
  tarv::Homography back{};
  for (int i = 0; i < 9; ++i) back[i] = inverse.val[i];
  try {
    return place([&boardToImage](double x, double y) { return tarv::applyHomography(boardToImage, {x, y}); },
                 [&back](tarv::Point2 p) { return tarv::applyHomography(back, p); }, label);
  } catch (const std::exception&) {
    Placement p;
    p.geometry = true;
    p.ringPx = p.bullPx = std::numeric_limits<double>::infinity();
    return p;
  }
}

}  // namespace landmark_real
