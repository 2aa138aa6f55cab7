#include "tarv/engine/unresolved_darts.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/json_fields.h"

namespace tarv {
namespace {

// An entered dart this close to an unresolved dart's point is that dart.
constexpr double kSameDartMm = 15.0;
// The entered point may fall this far (reduced pixels) outside the unresolved dart's change.
constexpr int kMaskMarginPx = 4;
// Two unresolved answers are the same dart when their changes overlap this much.
constexpr double kSameChangeShare = 0.5;

bool hasPixels(const cv::Mat& m) { return !m.empty() && cv::countNonZero(m) > 0; }

bool isPoint(const json& p) { return p.is_array() && p.size() >= 2 && p[0].is_number() && p[1].is_number(); }

// Share of a's pixels inside b; 0 when either is empty or the sizes differ.
double shareInside(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return 0.0;
  const int total = cv::countNonZero(a);
  if (total == 0) return 0.0;
  cv::Mat both;
  cv::bitwise_and(a, b, both);
  return static_cast<double>(cv::countNonZero(both)) / total;
}

// The evaluation's change of this triplet is the change of the record's dart: each lies mostly
// inside the other in some camera (a change that grew by a second dart is another record).
bool sameChange(const ImageTriple& a, const ImageTriple& b) {
  for (int i = 0; i < 3; ++i) {
    if (hasPixels(a[i]) && hasPixels(b[i]) && std::min(shareInside(a[i], b[i]), shareInside(b[i], a[i])) >= kSameChangeShare) {
      return true;
    }
  }
  return false;
}

ImageTriple cloneMasks(const ImageTriple& masks) {
  ImageTriple copy;
  for (int i = 0; i < 3; ++i) copy[i] = masks[i].empty() ? cv::Mat() : masks[i].clone();
  return copy;
}

void noteUnresolved(Round& round, const json& result, double now) {
  const json decision = result.value("decision", json::object());
  const json point = decision.is_object() ? decision.value("point", json()) : json();
  const json field = decision.is_object() ? decision.value("field", json()) : json();
  for (UnresolvedDart& dart : round.unresolvedDarts) {
    if (dart.record.value("absorbed", false) || !sameChange(dart.masks, round.evaluationMasks)) continue;
    dart.record["last"] = now;
    if (isPoint(point)) dart.record["point"] = point;
    if (!field.is_null()) dart.record["field"] = field;
    dart.masks = cloneMasks(round.evaluationMasks);
    return;
  }
  UnresolvedDart dart;
  dart.record = {{"since", now}, {"last", now}, {"point", isPoint(point) ? point : json(nullptr)},
                 {"field", field}, {"absorbed", false}};
  dart.masks = cloneMasks(round.evaluationMasks);
  round.unresolvedDarts.push_back(std::move(dart));
}

// A dart was entered: the records it placed are settled; the others went into the working
// background with the frame and are kept as absorbed.
void noteEntered(Round& round, const json& entry) {
  const json point = entry.is_object() ? entry.value("board_xy_nominal_mm", json()) : json();
  std::vector<UnresolvedDart> kept;
  for (size_t k = 0; k < round.unresolvedDarts.size(); ++k) {
    if (isPoint(point) && entryPlacesUnresolvedDart(round, k, point)) continue;
    UnresolvedDart dart = round.unresolvedDarts[k];
    dart.record["absorbed"] = true;
    kept.push_back(std::move(dart));
  }
  round.unresolvedDarts = std::move(kept);
}

// The board is quiet against its working background: an unresolved dart that never went
// into it is gone (it fell out, or was a passing change).
void dropVanished(Round& round) {
  round.unresolvedDarts.erase(std::remove_if(round.unresolvedDarts.begin(), round.unresolvedDarts.end(),
                                             [](const UnresolvedDart& d) { return !d.record.value("absorbed", false); }),
                              round.unresolvedDarts.end());
}

}  // namespace

bool entryPlacesUnresolvedDart(const Round& round, size_t record, const json& entryPoint) {
  if (record >= round.unresolvedDarts.size() || !isPoint(entryPoint)) return false;
  const UnresolvedDart& dart = round.unresolvedDarts[record];
  const Point2 p = pointFromJson(entryPoint);
  const json& known = dart.record["point"];
  if (isPoint(known)) {
    const Point2 q = pointFromJson(known);
    if (std::hypot(p.x - q.x, p.y - q.y) <= kSameDartMm) return true;
  }
  int seeing = 0, inside = 0;
  for (int i = 0; i < 3; ++i) {
    const cv::Mat& mask = dart.masks[i];
    const cv::Mat& image = round.cameras[i].emptyReference;
    if (!hasPixels(mask) || image.empty()) continue;
    ++seeing;
    const double scale = static_cast<double>(mask.cols) / image.cols;
    const Point2 pixel = applyHomography(round.cameras[i].boardToImage, p);
    const int x = static_cast<int>(std::lround(pixel.x * scale));
    const int y = static_cast<int>(std::lround(pixel.y * scale));
    const cv::Rect near = cv::Rect(x - kMaskMarginPx, y - kMaskMarginPx, 2 * kMaskMarginPx + 1, 2 * kMaskMarginPx + 1) &
                          cv::Rect(0, 0, mask.cols, mask.rows);
    if (near.area() > 0 && cv::countNonZero(mask(near)) > 0) ++inside;
  }
  return seeing > 0 && inside >= std::min(seeing, 2);
}

void followUnresolvedDarts(Round& round, const json& result, bool handSeen, double now) {
  const std::string status = textOf(result, "status");
  if (handSeen || status == "EMPTY_RESET" || status == "RECOVERY_RESUMED" || status == "BACKGROUND_REFRESH") {
    round.unresolvedDarts.clear();
    return;
  }
  if (textOf(result, "reason") == "ENTRY_RESIDUE_TAKEN") {
    // What stayed undecided beside the entered dart was that dart's: no dart to keep of it.
    const double entered = round.lastEntryTime;
    round.unresolvedDarts.erase(
        std::remove_if(round.unresolvedDarts.begin(), round.unresolvedDarts.end(),
                       [entered](const UnresolvedDart& d) {
                         return !d.record.value("absorbed", false) && d.record.value("since", -1.0) >= entered;
                       }),
        round.unresolvedDarts.end());
    return;
  }
  // The evaluation took the kept darts into the working background before a new change.
  if (result.value("unresolved_in_background", false)) {
    for (UnresolvedDart& dart : round.unresolvedDarts) dart.record["absorbed"] = true;
  }
  if (status == "POSITION_UNRESOLVED") {
    noteUnresolved(round, result, now);
  } else if (status == "DART_CANDIDATE" && !round.unresolvedDarts.empty()) {
    noteEntered(round, result.value("entry", json()));
  } else if (status == "READY" && result.value("unchanged", false)) {
    dropVanished(round);
  }
}

bool holdsUnresolvedDarts(const Round& round) { return !round.unresolvedDarts.empty(); }

bool unresolvedDartsInBackground(const Round& round) {
  return holdsUnresolvedDarts(round) &&
         std::all_of(round.unresolvedDarts.begin(), round.unresolvedDarts.end(),
                     [](const UnresolvedDart& d) { return d.record.value("absorbed", false); });
}

json unresolvedDartsJson(const Round& round) {
  json list = json::array();
  for (const UnresolvedDart& dart : round.unresolvedDarts) list.push_back(dart.record);
  return list;
}

}  // namespace tarv
