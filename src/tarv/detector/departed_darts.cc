#include "tarv/detector/departed_darts.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// A dart is gone from a camera when this share of its stored change there was removed, and
// stays when no more than the second share was.
constexpr double kGoneShare = 0.35;
constexpr double kStaysShare = 0.3;
// A settling change gone by the next triplet, this soon, was a dart that did not stay.
constexpr double kVanishedWithinS = 0.25;
// The working background takes the frame this far round a departed dart's change.
constexpr int kRestoreGrowPx = 15;

bool isGone(const json& entry) {
  return entry.value("bouncer", false) || entry.value("bounceout", false) || entry.value("departed", false);
}

struct DepartedShare {
  int pixels = 0;
  int differing = 0;
  double share = -1.0;
};

// The share of a dart's own change in one camera where the frame now differs from the working
// background, which holds the dart: near one when the dart left, near zero while it stays.
// -1 when the camera holds too little of the dart to tell.
DepartedShare departedShare(const CameraFrameAnalysis& a, const cv::Mat& dartMask) {
  DepartedShare share;
  if (dartMask.empty() || a.dartMask.empty()) return share;
  const cv::Mat reduced = reducedMask(dartMask, a.dartMask.size());
  share.pixels = cv::countNonZero(reduced);
  // A camera that saw only a sliver of the dart cannot tell: its sliver flickers.
  if (share.pixels < 2 * a.minPixels) return share;
  cv::Mat differing;
  cv::bitwise_and(reduced, a.dartMask, differing);
  share.differing = cv::countNonZero(differing);
  share.share = static_cast<double>(share.differing) / share.pixels;
  return share;
}

json missField(const json& entry) {
  json field = entry.value("field", json::object());
  if (!field.is_object()) field = json::object();
  field["selected_field"] = "MISS";
  field["label"] = "MISS";
  return field;
}

// A board point for a change seen only in the reduced masks: per camera, the end of the
// change nearest the board-normal point (where the tip is), carried to the board; the median
// over the cameras.
json transientPoint(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses) {
  std::vector<double> xs, ys;
  for (int i = 0; i < 3; ++i) {
    const cv::Mat& mask = round.evaluationMasks[i];
    if (mask.empty() || cv::countNonZero(mask) == 0) continue;
    const Camera& c = round.cameras[i];
    const double s = analyses[i].scale;
    const auto& n = c.imageNormal;
    const bool normal = std::isfinite(n[0]) && std::isfinite(n[1]) && std::abs(n[2]) > 1e-12;
    const cv::Point2d toward = normal ? cv::Point2d(n[0] / n[2] * s, n[1] / n[2] * s)
                                      : [&] {
                                          const Point2 bull = applyHomography(c.boardToImage, {0.0, 0.0});
                                          return cv::Point2d(bull.x * s, bull.y * s);
                                        }();
    std::vector<cv::Point> pixels;
    cv::findNonZero(mask, pixels);
    const auto nearest = std::min_element(pixels.begin(), pixels.end(), [&](const cv::Point& a, const cv::Point& b) {
      return cv::norm(cv::Point2d(a) - toward) < cv::norm(cv::Point2d(b) - toward);
    });
    const cv::Matx33d h(c.boardToImage.data());
    const cv::Vec3d q = h.inv() * cv::Vec3d(nearest->x / s, nearest->y / s, 1.0);
    if (!std::isfinite(q[0] / q[2]) || !std::isfinite(q[1] / q[2])) continue;
    xs.push_back(q[0] / q[2]);
    ys.push_back(q[1] / q[2]);
  }
  if (xs.empty()) return nullptr;
  return {roundToThousandths(percentile(xs, 50.0)), roundToThousandths(percentile(ys, 50.0))};
}

}  // namespace

void noteEnteredDart(Round& round, double now) { round.lastEntryTime = now; }

void noteSettlingChange(Round& round, double now) { round.lastSettlingTime = now; }

json departLastDart(Round& round, const std::vector<cv::Mat>& frames,
                    const std::array<CameraFrameAnalysis, 3>& analyses) {
  if (round.entries.empty() || round.knownDartMasks.size() != round.entries.size()) return nullptr;
  json& entry = round.entries.back();
  if (isGone(entry)) return nullptr;
  const double enteredAt = round.lastEntryTime;
  if (enteredAt < 0.0 || round.lastFrameTime - enteredAt > kDepartureWindowS) return nullptr;
  // A dart that left shows as a change against the background that holds it.
  bool changed = false;
  for (const CameraFrameAnalysis& a : analyses) changed = changed || a.dartPixels >= a.minPixels;
  if (!changed) return nullptr;

  // Gone from at least two cameras that can tell, and from most of what all of them saw.
  int gone = 0, pixels = 0, differing = 0;
  for (int i = 0; i < 3; ++i) {
    const DepartedShare share = departedShare(analyses[i], round.knownDartMasks.back()[i]);
    if (share.share < 0.0) continue;
    gone += share.share >= kGoneShare;
    pixels += share.pixels;
    differing += share.differing;
  }
  if (gone < 2 || 2 * differing < pixels) return nullptr;
  // The others stay: a takeout would take them too.
  // Where the leaving dart covered them, they show again and differ: that part is not asked.
  for (size_t d = 0; d + 1 < round.entries.size(); ++d) {
    if (isGone(round.entries[d])) continue;
    for (int i = 0; i < 3; ++i) {
      const cv::Mat& own = round.knownDartMasks[d][i];
      const cv::Mat& leaving = round.knownDartMasks.back()[i];
      cv::Mat uncovered = own;
      if (!own.empty() && leaving.size() == own.size()) {
        cv::bitwise_and(own, ~dilateMask(leaving, kRestoreGrowPx, false), uncovered);
      }
      if (departedShare(analyses[i], uncovered).share > kStaysShare) return nullptr;
    }
  }

  entry["departed_field"] = entry["field"].is_object() ? entry["field"].value("selected_field", json())
                                                      : entry.value("selected_field", json());
  entry["field"] = missField(entry);
  entry["selected_field"] = "MISS";
  entry["bounceout"] = true;
  entry["departed"] = true;

  // The board where the dart was is the board without it again.
  ImageTriple& masks = round.knownDartMasks.back();
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    if (!masks[i].empty() && cv::countNonZero(masks[i]) > 0) {
      const cv::Mat area = dilateMask(masks[i], kRestoreGrowPx, false);
      c.backgroundFrame = c.backgroundFrame.clone();
      frames[i].copyTo(c.backgroundFrame, area);
      c.dartReference = toGray(c.backgroundFrame);
      cv::Mat stored = c.referenceChangeMask.clone();
      stored.setTo(0, area);
      cv::Mat fresh = nativeDifferenceMask(c.emptyReference, c.dartReference);
      fresh.copyTo(stored, area);
      // The reduced stored change, as the analysis keeps it, takes the analysis's own change
      // round the dart, so the next frame is compared with what the same analysis measures.
      const CameraFrameAnalysis& a = analyses[i];
      const ReducedImage& before = c.reducedReferences[2];
      if (before.source.data == c.referenceChangeMask.data && before.reduced.size() == a.change.size()) {
        const cv::Mat reducedArea = reducedMask(area, a.change.size());
        cv::Mat reducedStored = before.reduced.clone();
        a.change.copyTo(reducedStored, reducedArea);
        c.referenceChangeMask = stored;
        c.reducedReferences[2] = {c.referenceChangeMask, reducedStored};
      } else {
        c.referenceChangeMask = stored;
      }
    }
    masks[i] = freshZeroMask(frames[i].size());
  }
  round.lastEntryTime = -1.0;
  return {{"status", "DART_REFINED"}, {"reason", "DART_DEPARTED_WITHOUT_HAND"}, {"entry", entry}};
}

json enterVanishedTransient(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses, double now) {
  if (round.entries.size() >= 3) return nullptr;
  const double settlingAt = round.lastSettlingTime;
  round.lastSettlingTime = -1.0;
  if (settlingAt < 0.0 || now < settlingAt || now - settlingAt > kVanishedWithinS) return nullptr;
  int seen = 0;
  for (int i = 0; i < 3; ++i) {
    const cv::Mat& m = round.evaluationMasks[i];
    seen += !m.empty() && m.size() == analyses[i].dartMask.size() && cv::countNonZero(m) >= analyses[i].minPixels;
  }
  if (seen < 2) return nullptr;
  const json point = transientPoint(round, analyses);
  if (point.is_null()) return nullptr;
  round.eventNumber += 1;
  const json entry = {{"id", round.entries.size() + 1},
                      {"event", round.eventNumber},
                      {"round", round.roundNumber},
                      {"board_xy_nominal_mm", point},
                      {"field", {{"nominal_field", "MISS"}, {"selected_field", "MISS"}, {"label", "MISS"},
                                 {"candidates", {"MISS"}}}},
                      {"nominal_field", "MISS"},
                      {"selected_field", "MISS"},
                      {"method", "TRANSIENT_WITHOUT_REMAINING_SUPPORT"},
                      {"uncertainty_mm", nullptr},
                      {"bouncer", true}};
  round.entries.push_back(entry);
  ImageTriple none;
  for (int i = 0; i < 3; ++i) none[i] = freshZeroMask(round.cameras[i].emptyReference.size());
  round.knownDartMasks.push_back(none);
  return {{"status", "BOUNCER_CANDIDATE"}, {"reason", "DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT"}, {"entry", entry}};
}

}  // namespace tarv
