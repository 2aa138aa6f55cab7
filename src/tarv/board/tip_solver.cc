#include "tarv/board/tip_solver.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <opencv2/core.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarv/board/axis_candidate.h"
#include "tarv/board/axis_intersection.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"

namespace tarv {

namespace {

constexpr double kMaxPairCondition = 20.0;  // about 5.7 degrees between the two lines
constexpr double kMaxPairDistanceMm = 15.0;
constexpr double kFieldMarginMm = 2.0;
constexpr double kPairSigmaPx = 1.0;
constexpr double kMinPairUncertaintyMm = 1.0;
constexpr double kMaxGoodErrorMm = 1.5;
constexpr double kMaxGoodPixelError = 2.0;
constexpr double kRivalErrorMarginMm = 0.5;
constexpr double kSingleCameraUncertaintyMm = 2.0;

// Two near-parallel lines fix a point only across their direction; along it the cameras' own
// tips must place it, and the field must hold over all that the tips leave open.
constexpr double kParallelAgreementMm = 2.0;
constexpr double kParallelTipSpreadMm = 6.0;
constexpr double kParallelFieldStepMm = 0.25;

// Two cameras whose lines cross where both their tips lie outvote a third whose line and tip
// both miss that point: a camera whose calibration has drifted by a few pixels, which on a
// camera looking across the board is 10 to 20 mm along its view. Farther off, the third
// camera sees something else, and nothing is set aside.
constexpr double kPairTipAgreementMm = 3.0;
constexpr double kLargestPairUncertaintyMm = 4.0;
// Lines crossing at a small angle place their point loosely along them; where both cameras'
// own tips lie this close to the crossing, the tips place it there, up to twice the bar above.
constexpr double kTightPairTipsMm = 0.5;
// A third camera's tip misses the pair clearly at this many times the pair's own spread (or
// kTightPairTipsMm, if more).
constexpr double kClearMissRatio = 3.0;
constexpr double kSmallestOutlierMissMm = 2.0;
constexpr double kLargestOutlierLineMissMm = 20.0;
constexpr double kLargestOutlierTipMissMm = 25.0;

constexpr std::size_t kCameraPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};

std::size_t cameraIndexOf(const std::string& id) {
  const auto it = std::find(cameraIds.begin(), cameraIds.end(), id);
  if (it == cameraIds.end()) throw std::runtime_error("UNKNOWN_CAMERA_ID");
  return static_cast<std::size_t>(it - cameraIds.begin());
}

const json& axisOfVote(const json& view, const json& axisIndex) {
  return view.at("observations").at(axisIndex.get<std::size_t>());
}

// The usable tips of all cameras, most accurate first; equal errors keep camera-then-vote
// order.
json collectTipVotes(const std::array<json, 3>& views, double radiusMm) {
  json tips = json::array();
  for (std::size_t c = 0; c < 3; ++c) {
    for (const json& vote : views[c].at("votes")) {
      if (vote.at("abstention").get<bool>() || !vote.value("tip_valid", true)) continue;
      const Point2 p = pointFromJson(vote.at("point"));
      if (!(std::hypot(p.x, p.y) <= radiusMm)) continue;
      json tip = vote;
      tip["camera"] = cameraIds[c];
      tips.push_back(std::move(tip));
    }
  }
  std::stable_sort(tips.begin(), tips.end(), [](const json& a, const json& b) {
    return a.at("error_mm") < b.at("error_mm");
  });
  return tips;
}

bool hasTip(const json& vote) {
  // An absent abstention counts as abstaining here: a pair needs a tip it can trust.
  return !vote.value("abstention", true) && vote.value("tip_valid", true);
}

Line lineOfVote(const json& vote) {
  const json& l = vote.at("line");
  return Line{l[0].get<double>(), l[1].get<double>(), l[2].get<double>()};
}

// Where two vote lines cross, or nothing when they are too close to parallel for the
// crossing to mean anything.
std::optional<Point2> crossVoteLines(const Line& a, const Line& b) {
  const cv::Matx22d m(a[0], a[1], b[0], b[1]);
  cv::Vec2d w;
  cv::SVD::compute(m, w, cv::SVD::NO_UV);
  if (w[0] / std::max(w[1], 1e-30) > kMaxPairCondition) return std::nullopt;
  cv::Vec2d p;
  if (!cv::solve(m, cv::Vec2d(-a[2], -b[2]), p, cv::DECOMP_LU)) return std::nullopt;
  return Point2{p[0], p[1]};
}

// Board lines of the two axes behind an intersection, each from its own camera; nothing when
// either axis is degenerate.
std::optional<std::vector<IntersectionLine>> pairLines(const std::array<Homography, 3>& hs,
                                                       const std::array<std::size_t, 2>& cams,
                                                       const std::array<const json*, 2>& axes) {
  std::vector<IntersectionLine> lines;
  for (std::size_t k = 0; k < 2; ++k) {
    const std::optional<Line> board = transformImageLine(*axes[k], hs[cams[k]]);
    if (!board) return std::nullopt;
    lines.push_back({*board, *axes[k], hs[cams[k]], cameraIds[cams[k]]});
  }
  return lines;
}

json pairIntersections(const std::array<json, 3>& views, const std::array<Homography, 3>& hs,
                       double radiusMm) {
  json intersections = json::array();
  for (const auto& pair : kCameraPairs) {
    const std::array<std::size_t, 2> cams{pair[0], pair[1]};
    const json& viewA = views[cams[0]];
    const json& viewB = views[cams[1]];
    for (const json& a : viewA.at("votes")) {
      for (const json& b : viewB.at("votes")) {
        if (!isUsableAxisVote(a) || !isUsableAxisVote(b)) continue;
        const bool tipA = hasTip(a), tipB = hasTip(b);
        if (!tipA && !tipB) continue;
        const std::optional<Point2> p = crossVoteLines(lineOfVote(a), lineOfVote(b));
        if (!p) continue;
        const Point2 pa = pointFromJson(a.at("point"));
        const Point2 pb = pointFromJson(b.at("point"));
        const double dA = std::hypot(p->x - pa.x, p->y - pa.y);
        const double dB = std::hypot(p->x - pb.x, p->y - pb.y);
        if (!std::isfinite(p->x) || !std::isfinite(p->y) || !(std::hypot(p->x, p->y) <= radiusMm) ||
            !(dA <= kMaxPairDistanceMm) || !(dB <= kMaxPairDistanceMm))
          continue;

        const json& indexA = a.at("axis_index");
        const json& indexB = b.at("axis_index");
        const auto lines =
            pairLines(hs, cams, {&axisOfVote(viewA, indexA), &axisOfVote(viewB, indexB)});
        // A vote whose axis has no line is not a measurement of the axis.
        if (!lines) continue;
        const json covariance = estimateIntersectionCovariance(*lines, *p, kPairSigmaPx);

        json record = json::object();
        record["cameras"] = json::array({cameraIds[cams[0]], cameraIds[cams[1]]});
        record["indices"] = json::array({indexA, indexB});
        record["point"] = pointToJson(*p);
        record["field"] = classifyBoardPoint(*p, kFieldMarginMm).at("nominal_field");
        record["distances"] = json::array({dA, dB});
        record["tip_votes"] = json::array({tipA, tipB});
        record["uncertainty_mm"] = covariance.at("uncertainty_mm");
        intersections.push_back(std::move(record));
      }
    }
  }
  return intersections;
}

struct ReviewChoice {
  const json* tip = nullptr;
  const json* intersection = nullptr;
};

// The intersection a tip vote stands behind in a review pass, if it qualifies.
const json* chooseIntersection(const json& tip, const json& intersections, bool unanimous) {
  const json& camera = tip.at("camera");
  const json& axisIndex = tip.at("axis_index");
  const json& field = tip.at("field");
  std::size_t involving = 0;
  std::vector<const json*> agreeing;
  std::set<std::string> seen;
  for (const json& in : intersections) {
    const json& cams = in.at("cameras");
    const json& indices = in.at("indices");
    const bool involved = (cams.at(0) == camera && indices.at(0) == axisIndex) ||
                          (cams.at(1) == camera && indices.at(1) == axisIndex);
    if (!involved) continue;
    ++involving;
    seen.insert(cams.at(0).get<std::string>());
    seen.insert(cams.at(1).get<std::string>());
    if (in.at("field") == field) agreeing.push_back(&in);
  }
  if (agreeing.empty()) return nullptr;
  if (unanimous && (agreeing.size() != involving || seen.size() != cameraIds.size()))
    return nullptr;
  const json* best = agreeing.front();
  double bestKey = rankPairIntersection(*best);
  for (const json* in : agreeing) {
    const double key = rankPairIntersection(*in);
    if (key < bestKey) {
      best = in;
      bestKey = key;
    }
  }
  return best;
}

// The two-line uncertainty of a chosen intersection, recomputed from its axes.
json reviewUncertainty(const json& intersection, const std::array<json, 3>& views,
                       const std::array<Homography, 3>& hs) {
  std::array<std::size_t, 2> cams{};
  std::array<const json*, 2> axes{};
  for (std::size_t k = 0; k < 2; ++k) {
    cams[k] = cameraIndexOf(intersection.at("cameras").at(k).get<std::string>());
    axes[k] = &axisOfVote(views[cams[k]], intersection.at("indices").at(k));
  }
  const auto lines = pairLines(hs, cams, axes);
  if (!lines) return nullptr;
  const json covariance =
      estimateIntersectionCovariance(*lines, pointFromJson(intersection.at("point")), kPairSigmaPx);
  const json& u = covariance.at("uncertainty_mm");
  if (!u.is_number()) return nullptr;
  return std::max(kMinPairUncertaintyMm, u.get<double>());
}

std::optional<json> reviewPass(const json& tips, const json& intersections,
                               const std::array<json, 3>& views,
                               const std::array<Homography, 3>& hs, bool unanimous) {
  std::vector<ReviewChoice> collected;
  for (const json& tip : tips) {
    const json* in = chooseIntersection(tip, intersections, unanimous);
    if (in != nullptr) collected.push_back({&tip, in});
  }
  if (collected.empty()) return std::nullopt;
  const std::string field = collected.front().intersection->at("field").get<std::string>();
  for (const ReviewChoice& choice : collected) {
    // Votes that stand behind different fields are no majority.
    if (choice.intersection->at("field").get<std::string>() != field) return std::nullopt;
  }
  const ReviewChoice& first = collected.front();
  json result = json::object();
  result["method"] = unanimous ? "UNANIMOUS_CAM" : "CAM_PLUS_ONE";
  result["point"] = first.intersection->at("point");
  result["camera"] = first.tip->at("camera");
  result["intersections"] = intersections;
  result["uncertainty_mm"] = reviewUncertainty(*first.intersection, views, hs);
  result["uncertainty_source"] = "TWO_LINE_COVARIANCE_PLUS_1MM_FLOOR";
  return result;
}

// One camera's own tip, when it is accurate, unrivalled by an equally good vote for another
// field, and clear of the wires.
std::optional<json> bestSingleCamera(const json& tips, const json& intersections) {
  std::vector<const json*> good;
  for (const json& tip : tips) {
    if (isGoodSingleTip(tip.at("error_mm").get<double>(), tip.at("pixel_error").get<double>())) good.push_back(&tip);
  }
  if (good.empty()) return std::nullopt;
  const json& best = *good.front();
  const double bestError = best.at("error_mm").get<double>();
  for (std::size_t i = 1; i < good.size(); ++i) {
    const json& other = *good[i];
    if (other.at("error_mm").get<double>() <= bestError + kRivalErrorMarginMm &&
        other.at("field") != best.at("field"))
      return std::nullopt;
  }
  const json classification = classifyBoardPoint(pointFromJson(best.at("point")), kFieldMarginMm);
  if (classification.at("status") == "NEAR_BOUNDARY") return std::nullopt;
  json result = json::object();
  result["method"] = "BEST_CAM";
  result["point"] = best.at("point");
  result["camera"] = best.at("camera");
  result["intersections"] = intersections;
  result["uncertainty_mm"] = kSingleCameraUncertaintyMm;
  result["uncertainty_source"] = "NOMINAL_SINGLE_CAMERA_TIP";
  return result;
}

double signedDistance(const Line& l, Point2 p) { return l[0] * p.x + l[1] * p.y + l[2]; }

// The one field of every point of the line between along-coordinates lo and hi (measured
// from foot along direction), or nothing when the stretch reaches over a wire.
std::optional<std::string> fieldAlong(const Line& line, Point2 foot, Point2 direction, double lo,
                                      double hi) {
  std::optional<std::string> field;
  const double step = (hi - lo) / std::max(1.0, std::ceil((hi - lo) / kParallelFieldStepMm));
  for (double t = lo; t <= hi + 1e-9; t += step) {
    // The foot lies on the line up to rounding; the line's own offset keeps each sample on it.
    const Point2 p{foot.x + t * direction.x, foot.y + t * direction.y};
    const Point2 q{p.x - signedDistance(line, p) * line[0], p.y - signedDistance(line, p) * line[1]};
    const std::string here = classifyBoardPoint(q, 0.0).at("nominal_field").get<std::string>();
    if (field && *field != here) return std::nullopt;
    field = here;
  }
  return field;
}

// A pair of tip votes whose lines are too close to parallel to cross: the lines, each weighed
// by its own error, place the tip across their direction and the two tips along it. Stands
// only when both tips name the field that holds over the whole stretch the tips span (plus
// the field margin) on both lines and on their mean.
std::optional<json> nearParallelPair(const json& a, const json& b, const std::string& cameraA,
                                     const std::string& cameraB, double radiusMm) {
  if (!isUsableAxisVote(a) || !isUsableAxisVote(b) || !hasTip(a) || !hasTip(b)) return std::nullopt;
  if (a.at("field") != b.at("field")) return std::nullopt;
  Line la = lineOfVote(a), lb = lineOfVote(b);
  if (crossVoteLines(la, lb)) return std::nullopt;  // the crossing itself decides such pairs
  if (la[0] * lb[0] + la[1] * lb[1] < 0.0) lb = {-lb[0], -lb[1], -lb[2]};
  const double wa = 1.0 / std::pow(std::max(0.05, a.at("error_mm").get<double>()), 2);
  const double wb = 1.0 / std::pow(std::max(0.05, b.at("error_mm").get<double>()), 2);
  Line mean{wa * la[0] + wb * lb[0], wa * la[1] + wb * lb[1], wa * la[2] + wb * lb[2]};
  const double norm = std::hypot(mean[0], mean[1]);
  if (!(norm > 1e-9)) return std::nullopt;
  for (double& v : mean) v /= norm;

  const Point2 pa = pointFromJson(a.at("point"));
  const Point2 pb = pointFromJson(b.at("point"));
  const Point2 direction{-mean[1], mean[0]};
  const Point2 foot{-mean[2] * mean[0], -mean[2] * mean[1]};
  const double ta = (pa.x - foot.x) * direction.x + (pa.y - foot.y) * direction.y;
  const double tb = (pb.x - foot.x) * direction.x + (pb.y - foot.y) * direction.y;
  if (!(std::abs(ta - tb) <= kParallelTipSpreadMm)) return std::nullopt;
  const double t = (wa * ta + wb * tb) / (wa + wb);
  const Point2 p{foot.x + t * direction.x, foot.y + t * direction.y};
  if (!std::isfinite(p.x) || !std::isfinite(p.y) || !(std::hypot(p.x, p.y) <= radiusMm))
    return std::nullopt;
  if (!(std::abs(signedDistance(la, p)) <= kParallelAgreementMm) ||
      !(std::abs(signedDistance(lb, p)) <= kParallelAgreementMm))
    return std::nullopt;

  const double lo = std::min(ta, tb) - kFieldMarginMm;
  const double hi = std::max(ta, tb) + kFieldMarginMm;
  const std::string field = a.at("field").get<std::string>();
  for (const Line* line : {&mean, &la, &lb}) {
    const std::optional<std::string> held = fieldAlong(*line, foot, direction, lo, hi);
    if (!held || *held != field) return std::nullopt;
  }
  json record = json::object();
  record["cameras"] = json::array({cameraA, cameraB});
  record["indices"] = json::array({a.at("axis_index"), b.at("axis_index")});
  record["point"] = pointToJson(p);
  record["field"] = field;
  record["distances"] = json::array({std::hypot(p.x - pa.x, p.y - pa.y), std::hypot(p.x - pb.x, p.y - pb.y)});
  record["tip_votes"] = json::array({true, true});
  record["near_parallel"] = true;
  record["camera"] = a.at("error_mm").get<double>() <= b.at("error_mm").get<double>() ? cameraA : cameraB;
  // Along the lines only the tips place the point: half their spread beside the better tip's
  // own error; across them the lines are far sharper.
  record["uncertainty_mm"] =
      std::max(kMinPairUncertaintyMm, 0.5 * std::abs(ta - tb) +
                                          std::min(a.at("error_mm").get<double>(), b.at("error_mm").get<double>()));
  return record;
}

// The point where cameras a and b agree with their own tips, and how far the third camera's
// closest line and that line's tip miss it; nothing when the pair does not agree, the third
// camera sees no tip, or its line passes the point.
struct OutlierCase {
  json pair;
  std::size_t outlier = 0;
  double lineMissMm = 0.0;
  double tipMissMm = 0.0;
};

std::optional<OutlierCase> outlierAgainstPair(const std::array<json, 3>& views, const json& intersections,
                                              std::size_t a, std::size_t b, std::size_t c) {
  const json* pair = nullptr;
  for (const json& record : intersections) {
    if (record.at("cameras")[0] != cameraIds[a] || record.at("cameras")[1] != cameraIds[b]) continue;
    if (!record.at("tip_votes")[0].get<bool>() || !record.at("tip_votes")[1].get<bool>()) continue;
    const json& u = record.at("uncertainty_mm");
    const double tipsApart = std::max(record.at("distances")[0].get<double>(), record.at("distances")[1].get<double>());
    const double largest = tipsApart <= kTightPairTipsMm ? 2.0 * kLargestPairUncertaintyMm : kLargestPairUncertaintyMm;
    if (!u.is_number() || u.get<double>() > largest) continue;
    if (tipsApart > kPairTipAgreementMm) continue;
    if (pair == nullptr || rankPairIntersection(record) < rankPairIntersection(*pair)) pair = &record;
  }
  if (pair == nullptr) return std::nullopt;
  const Point2 p = pointFromJson(pair->at("point"));
  std::optional<OutlierCase> found;
  for (const json& vote : views[c].at("votes")) {
    if (!isUsableAxisVote(vote) || !hasTip(vote)) continue;
    const double lineMiss = std::abs(signedDistance(lineOfVote(vote), p));
    const Point2 t = pointFromJson(vote.at("point"));
    if (!found || lineMiss < found->lineMissMm) found = OutlierCase{*pair, c, lineMiss, std::hypot(t.x - p.x, t.y - p.y)};
  }
  if (!found) return std::nullopt;
  const double agreement =
      std::max(pair->at("distances")[0].get<double>(), pair->at("distances")[1].get<double>());
  const bool missesConsistently = found->lineMissMm >= kSmallestOutlierMissMm && found->lineMissMm > agreement &&
                                  found->lineMissMm <= kLargestOutlierLineMissMm &&
                                  found->tipMissMm >= kSmallestOutlierMissMm &&
                                  found->tipMissMm <= kLargestOutlierTipMissMm;
  if (!missesConsistently) return std::nullopt;
  return found;
}

}  // namespace

std::optional<json> setAsideOutlierCamera(const std::array<json, 3>& views, const json& solved, double radiusMm) {
  checkGeometryRadius(radiusMm);
  const std::string method = solved.value("method", "UNRESOLVED");
  const json intersections = solved.value("intersections", json::array());
  // Two cameras whose lines run nearly alongside each other never cross, yet their own tips
  // can place the dart along them.
  json pairs = intersections;
  for (const auto& pair : kCameraPairs) {
    bool crossed = false;
    for (const json& record : intersections) {
      crossed = crossed || (record.at("cameras")[0] == cameraIds[pair[0]] && record.at("cameras")[1] == cameraIds[pair[1]]);
    }
    if (crossed) continue;
    for (const json& a : views[pair[0]].at("votes")) {
      for (const json& b : views[pair[1]].at("votes")) {
        if (auto record = nearParallelPair(a, b, cameraIds[pair[0]], cameraIds[pair[1]], radiusMm))
          pairs.push_back(std::move(*record));
      }
    }
  }
  std::optional<OutlierCase> found;
  for (const auto& pair : kCameraPairs) {
    const std::size_t c = 3 - pair[0] - pair[1];
    std::optional<OutlierCase> candidate = outlierAgainstPair(views, pairs, pair[0], pair[1], c);
    if (!candidate) continue;
    if (found) return std::nullopt;  // two pairs each outvoting a third: no camera is the odd one
    found = std::move(candidate);
  }
  if (!found) return std::nullopt;
  const Point2 p = pointFromJson(found->pair.at("point"));
  const double uncertainty = std::max(kMinPairUncertaintyMm, found->pair.at("uncertainty_mm").get<double>());
  // Within the pair's own uncertainty of a wire the pair's point does not name the field on
  // its own: the camera is still set aside, and the field is left to what the pair's views say.
  const bool nearWire = classifyBoardPoint(p, uncertainty).at("status") == "NEAR_BOUNDARY";
  // A solver answer already at the pair's point stands as it is, unless it lies next to a
  // wire and the pair's own tips agree far more closely than the third camera's tip misses
  // them: there the millimetre the third line pulls the point by can cross the wire.
  const double pairApart = std::max(found->pair.at("distances")[0].get<double>(),
                                    found->pair.at("distances")[1].get<double>());
  const bool clearMiss = found->tipMissMm >= kClearMissRatio * std::max(pairApart, kTightPairTipsMm);
  if (method != "UNRESOLVED" && solved.contains("point") && !(nearWire && clearMiss)) {
    const Point2 q = pointFromJson(solved.at("point"));
    if (std::hypot(q.x - p.x, q.y - p.y) <= kPairTipAgreementMm) return std::nullopt;
  }
  const json& first = found->pair.at("cameras")[0];
  const json& second = found->pair.at("cameras")[1];
  const std::size_t ia = cameraIndexOf(first.get<std::string>());
  const std::size_t ib = cameraIndexOf(second.get<std::string>());
  const auto bestError = [&views](std::size_t camera, const json& axisIndex) {
    double best = 1e9;
    for (const json& vote : views[camera].at("votes")) {
      if (hasTip(vote) && vote.value("axis_index", json()) == axisIndex) best = std::min(best, vote.value("error_mm", 1e9));
    }
    return best;
  };
  const bool firstBetter =
      bestError(ia, found->pair.at("indices")[0]) <= bestError(ib, found->pair.at("indices")[1]);
  json result = json::object();
  result["method"] = "CAM_PLUS_ONE";
  result["point"] = found->pair.at("point");
  result["camera"] = firstBetter ? first : second;
  result["intersections"] = intersections;
  result["uncertainty_mm"] = uncertainty;
  result["uncertainty_source"] = "TWO_AGREEING_CAMERAS";
  result["set_aside"] = {{"camera", cameraIds[found->outlier]},
                         {"line_miss_mm", found->lineMissMm},
                         {"tip_miss_mm", found->tipMissMm},
                         {"replaced_method", method},
                         {"near_wire", nearWire}};
  return result;
}

std::optional<json> placeTipAlongNearParallelLines(const std::array<json, 3>& views,
                                                   const json& solved, double radiusMm) {
  checkGeometryRadius(radiusMm);
  if (solved.value("method", "") != "UNRESOLVED") return std::nullopt;
  json intersections = solved.value("intersections", json::array());
  std::vector<json> found;
  for (const auto& pair : kCameraPairs) {
    for (const json& a : views[pair[0]].at("votes")) {
      for (const json& b : views[pair[1]].at("votes")) {
        if (auto record = nearParallelPair(a, b, cameraIds[pair[0]], cameraIds[pair[1]], radiusMm))
          found.push_back(std::move(*record));
      }
    }
  }
  if (found.empty()) return std::nullopt;
  const json* best = &found.front();
  for (const json& record : found) {
    if (record.at("field") != best->at("field")) return std::nullopt;
    if (record.at("uncertainty_mm").get<double>() < best->at("uncertainty_mm").get<double>()) best = &record;
  }
  json result = json::object();
  result["method"] = "CAM_PLUS_ONE";
  result["point"] = best->at("point");
  result["camera"] = best->at("camera");
  result["uncertainty_mm"] = best->at("uncertainty_mm");
  result["uncertainty_source"] = "NEAR_PARALLEL_LINES_ACROSS_TIPS_ALONG";
  for (json& record : found) intersections.push_back(std::move(record));
  result["intersections"] = std::move(intersections);
  return result;
}

json reconstructTipFromViews(const std::array<json, 3>& views,
                             const std::array<Homography, 3>& homographies, double radiusMm) {
  checkGeometryRadius(radiusMm);
  json geometry = intersectAxesOnBoard(views, homographies, radiusMm);
  const json tips = collectTipVotes(views, radiusMm);
  const json intersections = pairIntersections(views, homographies, radiusMm);

  if (geometry.at("status") == "BOARD_PLANE_INTERSECTION_HYPOTHESIS") {
    json result = json::object();
    result["method"] = "THREE_VIEW_LINES";
    result["point"] = geometry.at("selected").at("board_xy_nominal_mm");
    result["geometry"] = std::move(geometry);
    result["intersections"] = intersections;
    return result;
  }
  for (const bool unanimous : {true, false}) {
    if (auto result = reviewPass(tips, intersections, views, homographies, unanimous))
      return *result;
  }
  if (auto result = bestSingleCamera(tips, intersections)) return *result;

  json result = json::object();
  result["method"] = "UNRESOLVED";
  result["geometry"] = std::move(geometry);
  result["intersections"] = intersections;
  return result;
}

bool isGoodSingleTip(double errorMm, double pixelError) {
  return errorMm <= kMaxGoodErrorMm && pixelError <= kMaxGoodPixelError;
}

}  // namespace tarv
