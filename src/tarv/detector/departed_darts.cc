#include "tarv/detector/departed_darts.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/board_projection.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/transient_stroke.h"
#include "tarv/detector/watched_change.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/shaft_axis.h"

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
// Strokes of a vanished change that cross this close to a standing dart's tip are that dart.
constexpr double kQuiverTipMm = 10.0;
// A dart's point: this far from its tip on the board. A camera that still sees this share of
// the point's change against the empty board sees the point stay, and below the second share
// sees it gone.
constexpr double kTipPointMm = 6.0;
constexpr double kPointStaysShare = 0.5;
constexpr double kPointLeftShare = 0.2;
// Board millimetres per projected board height (the double ring's diameter).
constexpr double kBoardRadiusForScaleMm = 170.0;
// A dart entered this recently may still be swinging about its point; its flight swings this
// far at most, and a move is this share of its change differing.
constexpr double kMovingWithinS = 1.0;
constexpr double kSwingMm = 25.0;
constexpr double kMovedShare = 0.1;
// New change beyond the swing, above this share of it, is something else (another dart).
constexpr double kOutsideSwingShare = 0.1;
constexpr double kCoveredPerLeft = 2.5;
constexpr double kVacatedShare = 0.1;
// A dart that turned within its own place, a pixel or two allowed, changes little beyond it.
constexpr int kOwnPlaceGrowPx = 5;
constexpr double kBeyondOwnShare = 0.2;

// Pixels per board millimetre across the board as a camera's homography shows it.
double boardPixelsPerMm(const Homography& boardToImage) {
  return projectedBoardHeight(boardToImage) / (2.0 * kBoardRadiusForScaleMm);
}

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
// `reduced`: the dart's mask at the analysis's size.
DepartedShare departedShareReduced(const CameraFrameAnalysis& a, const cv::Mat& reduced) {
  DepartedShare share;
  share.pixels = cv::countNonZero(reduced);
  // A camera that saw only a sliver of the dart cannot tell: its sliver flickers.
  if (share.pixels < 2 * a.minPixels) return share;
  cv::Mat differing;
  cv::bitwise_and(reduced, a.dartMask, differing);
  share.differing = cv::countNonZero(differing);
  share.share = static_cast<double>(share.differing) / share.pixels;
  return share;
}

DepartedShare departedShare(const CameraFrameAnalysis& a, const cv::Mat& dartMask) {
  if (dartMask.empty() || a.dartMask.empty()) return DepartedShare();
  return departedShareReduced(a, reducedMask(dartMask, a.dartMask.size()));
}

json missField(const json& entry) {
  json field = entry.value("field", json::object());
  if (!field.is_object()) field = json::object();
  field["selected_field"] = "MISS";
  field["label"] = "MISS";
  return field;
}

// The dart-like strokes of the change seen on the triplet before, per camera, in the reduced
// masks the analysis keeps.
std::array<std::optional<TransientStroke>, 3> vanishedStrokes(const Round& round,
                                                             const std::array<CameraFrameAnalysis, 3>& analyses) {
  std::array<std::optional<TransientStroke>, 3> strokes;
  for (int i = 0; i < 3; ++i) {
    const cv::Mat& mask = round.evaluationMasks[i];
    const CameraFrameAnalysis& a = analyses[i];
    if (mask.empty() || mask.size() != a.dartMask.size() || cv::countNonZero(mask) < a.minPixels) continue;
    const Camera& c = round.cameras[i];
    const Homography view = scaleHomography(c.boardToImage, a.scale, a.scale);
    const cv::Mat onBoard = keepComponentsInBoardRegion(mask, view, cv::Mat(), round.boardRadiusMm);
    strokes[i] = findTransientStroke(onBoard, strokeExcludedPixels(c, mask.size(), view), view,
                                     projectedBoardHeight(view));
  }
  return strokes;
}

// A dart still standing in the board whose tip the strokes cross at: its own flight swinging
// about its tip (a quiver), not a dart that came and went.
bool explainedByStandingDart(const Round& round, Point2 crossing) {
  for (const json& entry : round.entries) {
    if (isGone(entry) || !entry.contains("board_xy_nominal_mm")) continue;
    const Point2 tip = pointFromJson(entry["board_xy_nominal_mm"]);
    if (std::hypot(tip.x - crossing.x, tip.y - crossing.y) <= kQuiverTipMm) return true;
  }
  return false;
}

// The change that vanished was light on the board (a glint, a flash), judged on the frames that
// showed it as a patch is judged while it stays: seen at a grazing angle, a round spot draws a
// stroke in the image as long as a dart's, but it scales the board's light instead of covering it.
bool vanishedAsLight(const Round& round, double settlingAt) {
  if (round.historyTime != settlingAt) return false;
  std::array<LightPatchView, 3> views;
  for (int i = 0; i < 3; ++i) {
    const Camera& c = round.cameras[i];
    const cv::Mat& shown = round.heldFrames[i];
    if (shown.empty()) return false;
    const cv::Mat& mask = round.evaluationMasks[i];
    cv::Mat full = mask;
    if (!mask.empty() && mask.size() != shown.size()) cv::resize(mask, full, shown.size(), 0, 0, cv::INTER_NEAREST);
    views[i] = lightPatchView(shown, c.backgroundFrame, full, c.boardToImage);
  }
  return isLightPatch(views);
}

// Camera i's references take the frame inside `area` (full size): the working background, its
// grey copy and the stored change there; the reduced stored change, as the analysis keeps it,
// takes the analysis's own change there, so the next frame is compared with what the same
// analysis measures.
void retakeReferencesIn(Round& round, const std::vector<cv::Mat>& frames,
                        const std::array<CameraFrameAnalysis, 3>& analyses, int i, const cv::Mat& area) {
  Camera& c = round.cameras[i];
  c.backgroundFrame = c.backgroundFrame.clone();
  frames[i].copyTo(c.backgroundFrame, area);
  c.dartReference = toGray(c.backgroundFrame);
  cv::Mat stored = c.referenceChangeMask.clone();
  stored.setTo(0, area);
  cv::Mat fresh = nativeDifferenceMask(c.emptyReference, c.dartReference);
  fresh.copyTo(stored, area);
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

// The share of a dart's change near its point (within kTipPointMm of it on the board, away from
// the other darts) that the frame still shows changed against the empty board, a pixel's shift
// allowed: near zero when the dart left and the empty board shows again, near one while its
// point stays in the board, however far its flight swings about it. -1 when the camera holds
// too little of it to tell.
double tipPartStillChanged(const Round& round, int i, const cv::Mat& frame, const CameraFrameAnalysis& a,
                           const cv::Mat& dartMask, Point2 tip) {
  const Camera& c = round.cameras[i];
  const cv::Mat& empty = c.emptyReferenceColour;
  if (dartMask.empty() || dartMask.size() != frame.size() || empty.size() != frame.size() ||
      empty.type() != frame.type()) {
    return -1.0;
  }
  const Point2 p = applyHomography(c.boardToImage, tip);
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return -1.0;
  const int radius = std::max(3, static_cast<int>(std::lround(kTipPointMm * boardPixelsPerMm(c.boardToImage))));
  const cv::Point centre(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
  const cv::Rect box = cv::Rect(centre.x - radius, centre.y - radius, 2 * radius + 1, 2 * radius + 1) &
                       cv::Rect(cv::Point(0, 0), frame.size());
  if (box.empty()) return -1.0;
  cv::Mat part = cv::Mat::zeros(box.size(), CV_8UC1);
  cv::circle(part, centre - box.tl(), radius, cv::Scalar(255), cv::FILLED);
  part = maskAnd(part, dartMask(box));
  for (size_t d = 0; d + 1 < round.knownDartMasks.size(); ++d) {
    const cv::Mat& other = round.knownDartMasks[d][i];
    if (!isGone(round.entries[d]) && other.size() == frame.size()) part = maskAndNot(part, other(box));
  }
  const int pixels = cv::countNonZero(part);
  if (pixels < a.minPixels / 2) return -1.0;
  const cv::Mat changed =
      dilateMask(thresholdBinary(colourDifference(frame(box), empty(box)), dartChangeLevelOf(c)), 5, false);
  return static_cast<double>(cv::countNonZero(maskAnd(part, changed))) / pixels;
}

// The last dart's point stays in the board: a camera that can tell sees it stay, and none sees
// it gone.
bool tipStays(const Round& round, const std::vector<cv::Mat>& frames, const std::array<CameraFrameAnalysis, 3>& analyses) {
  const json& entry = round.entries.back();
  if (!entry.contains("board_xy_nominal_mm")) return false;
  const Point2 tip = pointFromJson(entry["board_xy_nominal_mm"]);
  int staying = 0;
  int leaving = 0;
  for (int i = 0; i < 3; ++i) {
    const double still = tipPartStillChanged(round, i, frames[i], analyses[i], round.knownDartMasks.back()[i], tip);
    staying += still >= kPointStaysShare;
    leaving += still >= 0.0 && still < kPointLeftShare;
  }
  return staying >= 1 && leaving == 0;
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
  // A dart whose point stays has not left: its flight swings (a quiver).
  if (tipStays(round, frames, analyses)) return nullptr;
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
    if (!masks[i].empty() && cv::countNonZero(masks[i]) > 0) {
      retakeReferencesIn(round, frames, analyses, i, dilateMask(masks[i], kRestoreGrowPx, false));
    }
    masks[i] = freshZeroMask(frames[i].size());
  }
  round.lastEntryTime = -1.0;
  return {{"status", "DART_REFINED"}, {"reason", "DART_DEPARTED_WITHOUT_HAND"}, {"entry", entry}};
}

json followMovingDart(Round& round, const std::vector<cv::Mat>& frames,
                      const std::array<CameraFrameAnalysis, 3>& analyses, double now) {
  if (round.entries.empty() || round.knownDartMasks.size() != round.entries.size()) return nullptr;
  const json& last = round.entries.back();
  if (isGone(last) || round.lastEntryTime < 0.0 || now - round.lastEntryTime > kMovingWithinS ||
      !last.contains("board_xy_nominal_mm")) {
    return nullptr;
  }
  const Point2 tip = pointFromJson(last["board_xy_nominal_mm"]);
  const ImageTriple& dart = round.knownDartMasks.back();
  // Part of the dart left its place, and everything new lies within its swing round it; or the
  // dart turned where it stands; or a camera that held too little of the dart to tell (one
  // that sees the board a few frames late, or only a sliver of the dart) now shows it at its
  // point.
  int moved = 0;
  int late = 0;
  // Every camera that sees change sees it within the dart's own place, and covers no more bare
  // board than it bares: the dart turned where it stands. A dart landing beside or in front of
  // it covers bare board and bares none.
  int turned = 0;
  bool inOwnPlace = true;
  std::array<cv::Mat, 3> areas;  // where each camera's references follow the dart (full size)
  std::array<int, 3> swings{};   // the swing round a camera's dart, pixels, where it stands
  for (int i = 0; i < 3; ++i) {
    const CameraFrameAnalysis& a = analyses[i];
    if (a.dartPixels == 0) continue;
    const Camera& c = round.cameras[i];
    const cv::Mat reducedDart = dart[i].empty() ? freshZeroMask(a.dartMask.size()) : reducedMask(dart[i], a.dartMask.size());
    if (cv::countNonZero(reducedDart) < 2 * a.minPixels) {
      // Everything it shows is one dart's worth, in pieces that reach the dart's point.
      const cv::Mat atPoint =
          isolateComponentsAtBoardPoint(a.dartMask, scaleHomography(c.boardToImage, a.scale, a.scale), tip, true);
      if (a.dartPixels > a.maxDartPixels || a.dartPixels - cv::countNonZero(atPoint) > kOutsideSwingShare * a.dartPixels) {
        return nullptr;
      }
      cv::Mat seen;
      cv::bitwise_or(atPoint, reducedDart, seen);
      cv::resize(seen, seen, frames[i].size(), 0.0, 0.0, cv::INTER_NEAREST);
      areas[i] = dilateMask(seen, kRestoreGrowPx, true);
      late += 1;
      continue;
    }
    const int swingPx = static_cast<int>(std::lround(kSwingMm * boardPixelsPerMm(c.boardToImage)));
    const int reducedSwingPx = std::max(1, static_cast<int>(std::lround(swingPx * a.scale)));
    const cv::Mat reducedSwing = dilateMask(reducedDart, 2 * reducedSwingPx + 1, true);
    if (cv::countNonZero(maskAndNot(a.dartMask, reducedSwing)) > kOutsideSwingShare * a.dartPixels) return nullptr;
    // A swinging flight leaves about as much of its place as it covers anew; a dart landing
    // beside covers far more than it hides of the earlier one.
    const DepartedShare left =
        dart[i].empty() || a.dartMask.empty() ? DepartedShare() : departedShareReduced(a, reducedDart);
    if (a.dartPixels - left.differing > kCoveredPerLeft * left.differing + a.minPixels) return nullptr;
    // Where the flight was, the empty board shows again; a dart landing beside covers the
    // earlier one instead.
    const int vacated = a.masks.removed.empty() || a.masks.removed.size() != a.dartMask.size()
                            ? 0
                            : cv::countNonZero(maskAnd(a.masks.removed, reducedDart));
    moved += left.share >= kMovedShare &&
             vacated >= std::max(a.minPixels / 8, static_cast<int>(kVacatedShare * left.differing));
    const int beyondOwn = cv::countNonZero(maskAndNot(a.dartMask, dilateMask(reducedDart, kOwnPlaceGrowPx, false)));
    const double newlyCovered = a.masks.addedPixels() - kCoveredPerLeft * vacated;
    inOwnPlace = inOwnPlace && beyondOwn <= kBeyondOwnShare * a.dartPixels && 2.0 * newlyCovered < a.minPixels;
    turned += 2 * a.dartPixels >= a.minPixels;
    swings[i] = swingPx;
  }
  if (!inOwnPlace) turned = 0;
  if ((moved == 0 && turned == 0 && late == 0) || !tipStays(round, frames, analyses)) return nullptr;
  // Grown only for a dart that moves: the swing is wide, and its growth costs more than the verdict.
  for (int i = 0; i < 3; ++i) {
    if (swings[i] > 0) areas[i] = dilateMask(dart[i], 2 * swings[i] + 1, true);
  }
  // The references follow the dart where it now stands.
  ImageTriple& masks = round.knownDartMasks.back();
  for (int i = 0; i < 3; ++i) {
    if (areas[i].empty()) continue;
    retakeReferencesIn(round, frames, analyses, i, areas[i]);
    masks[i] = maskAnd(round.cameras[i].referenceChangeMask, areas[i]);
  }
  round.lastSettlingTime = -1.0;
  return {{"status", "SETTLING"}, {"reason", "ENTERED_DART_MOVING"}};
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
  // Only what looked like a dart bounced out: a thin stroke in two views whose board lines
  // cross on the board. A glint, a small shadow or a flicker leaves no such stroke, except in a
  // grazing view, where the light it scales gives it away.
  const std::optional<StrokeCrossing> crossing = crossTransientStrokes(vanishedStrokes(round, analyses),
                                                                       round.boardRadiusMm);
  if (!crossing || explainedByStandingDart(round, crossing->point) || vanishedAsLight(round, settlingAt)) {
    return nullptr;
  }
  const json point = {roundToThousandths(crossing->point.x), roundToThousandths(crossing->point.y)};
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
  // Every view of it came before this triplet: a motion-bouncer review or a transient
  // confirmation of the same bounce finds it counted.
  round.bouncerReviewTime = std::max(round.bouncerReviewTime, now);
  return {{"status", "BOUNCER_CANDIDATE"}, {"reason", "DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT"}, {"entry", entry}};
}

}  // namespace tarv
