#include "tarv/engine/motion_bouncer.h"
#include "tarv/core/json_fields.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/board_projection.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/decision_window.h"
#include "tarv/engine/request_intake.h"
#include "tarv/board/host_event.h"
#include "tarv/engine/transient_probe.h"
#include "tarv/views/board_features.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/surround_motion.h"

namespace tarv {
namespace {

constexpr const char* kRejected = "MOTION_BOUNCER_REJECTED";
constexpr double kDefaultFrameInterval = 1.0 / 30.0;
constexpr size_t kRoundEntries = 3;
// The current frames must follow the transient closely, or they may show a later throw.
constexpr double kStaleAfterSeconds = 1.5;
constexpr int kDartMaskMinPixels = 80;
constexpr double kDartRetainedFraction = 0.8;
constexpr int kSettledCamerasNeeded = 2;
constexpr int kMinViewWidth = 160;
constexpr int kMaxViewWidth = 1280;
constexpr int kMinViewHeight = 100;
constexpr double kScaleTolerance = 0.01;
// A transient view with more of its pixels changed shows a hand or a change of light.
constexpr double kGlobalChangeFraction = 0.08;
// Motion round the board only excludes pixels beyond this radius: a dart landing on the
// board moves inside it.
constexpr double kMinCleanFraction = 0.8;
constexpr double kMinElongation = 2.5;
// Board lines that cross at a smaller angle than about 10 degrees give no reliable point.
constexpr double kMinSine = 0.17;
constexpr double kBoardMarginMm = 15.0;

// One transient view's dart-like stroke.
struct Stroke {
  json record;  // "length", "area", "clean_fraction", "box"
  double length = 0.0;
  cv::Rect box;
  std::array<double, 3> boardLine{};
  Homography view{};
};

struct Crossing {
  Point2 point;
  int first = 0;
  int second = 0;
  double sine = 0.0;
};


double frameIntervalOf(const json& request) {
  const auto it = request.find("frame_interval");
  if (it != request.end() && it->is_number() && std::isfinite(it->get<double>())) {
    return it->get<double>();
  }
  return kDefaultFrameInterval;
}

// A time far ahead of the clock (milliseconds, say) is refused before the review keeps it.
std::array<double, 3> threeTimes(const json& request, const char* key) {
  const json& times = request.at(key);
  const std::array<double, 3> read{times.at(0).get<double>(), times.at(1).get<double>(),
                                   times.at(2).get<double>()};
  for (double t : read) refuseFutureCaptureTime(t);
  return read;
}

bool allFinite(const std::array<double, 3>& times) {
  return std::all_of(times.begin(), times.end(), [](double t) { return std::isfinite(t); });
}

double newestOf(const std::array<double, 3>& times) {
  return *std::max_element(times.begin(), times.end());
}

cv::Mat resized(const cv::Mat& image, cv::Size size, int interpolation) {
  if (image.size() == size) return image;
  cv::Mat out;
  cv::resize(image, out, size, 0, 0, interpolation);
  return out;
}

int overlapCount(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat both;
  cv::bitwise_and(a, b, both);
  return cv::countNonZero(both);
}

bool roundNotEligible(const Round& round, const json& request) {
  return round.recovery || round.takeout || round.reviewRequired ||
         round.entries.size() >= kRoundEntries || flagOf(request, "hand_seen");
}

bool decisionPending(const Round& round) {
  return !round.frameHistory.empty() || !round.pendingCandidate.is_null() ||
         !round.heldEventRecord.is_null() || !round.pendingConfirmation.is_null() ||
         round.decisionWindowStart >= 0.0;
}

// The checks of one current frame: a rejection reason, else nothing; fills its "after".
std::optional<const char*> checkCurrentFrame(const Round& round, int i, const cv::Mat& frame,
                                             double regionRadiusMm, json& after, bool& settled) {
  const Camera& camera = round.cameras[i];
  const cv::Mat grey = toGray(frame);
  if (grey.size() != camera.emptyReference.size()) return "RESOLUTION_CHANGED";
  if (!flagOf(checkFixedCameraToneMatched(camera.features, grey), "ok")) return "CAMERA_GUARD";

  const DetectionScale scale(projectedBoardHeight(camera.boardToImage));
  cv::Mat remaining = keepComponentsInBoardRegion(nativeDifferenceMask(camera.dartReference, grey),
                                                  camera.boardToImage, cv::Mat(), regionRadiusMm);
  cv::bitwise_and(remaining, ~dilateMask(camera.referenceChangeMask, 7, false), remaining);
  const int remainingPixels = cv::countNonZero(remaining);
  const int limit = remainingPixelLimit(scale);
  after[cameraIds[i]] = {{"remaining_pixels", remainingPixels}, {"limit", limit}};
  if (remainingPixels >= limit) return "NEW_OBJECT_REMAINS";

  const cv::Mat around = dilateMask(nativeDifferenceMask(camera.emptyReference, grey), 7, false);
  for (const ImageTriple& set : round.knownDartMasks) {
    if (set[i].empty()) continue;
    const cv::Mat dart = resized(set[i], around.size(), cv::INTER_NEAREST);
    const int pixels = cv::countNonZero(dart);
    if (pixels < kDartMaskMinPixels) continue;
    if (kDartRetainedFraction * pixels > overlapCount(dart, around)) return "EXISTING_DART_CHANGED";
  }
  settled = remainingPixels < scale.minPixels();
  return std::nullopt;
}

// Pixels a stroke may not be made of: the darts already in the board and, beyond the board,
// whatever moved round it (a camera without a motion record has seen none).
cv::Mat excludedPixels(const Camera& camera, cv::Size size, const Homography& view) {
  cv::Mat excluded =
      dilateMask(resized(camera.referenceChangeMask, size, cv::INTER_NEAREST), 9, false);
  if (camera.surroundMotion == nullptr || camera.surroundMotion->images[4].empty()) return excluded;
  cv::Mat motion = resized(toGray(camera.surroundMotion->images[4]), size, cv::INTER_NEAREST) > 0;
  cv::bitwise_and(motion, ~getBoardRegionMask(size, view, kSurroundRadiusMm), motion);
  cv::bitwise_or(excluded, motion, excluded);
  return excluded;
}

std::array<double, 3> boardLineOf(const std::vector<cv::Point2f>& points, const Homography& view) {
  cv::Vec4f fit;
  cv::fitLine(points, fit, cv::DIST_HUBER, 0, 0.01, 0.01);
  const double vx = fit[0];
  const double vy = fit[1];
  const double x0 = fit[2];
  const double y0 = fit[3];
  const std::array<double, 3> image{vy, -vx, vx * y0 - vy * x0};
  std::array<double, 3> board{};
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) board[c] += view[r * 3 + c] * image[r];
  }
  return board;
}

// The longest thin, clean change component of the view; the first of equal length stays.
std::optional<Stroke> findStroke(const cv::Mat& change, const cv::Mat& excluded,
                                 const Homography& view, double height) {
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(change, labels, stats, centroids, 8, CV_32S);
  std::vector<std::vector<cv::Point2f>> points(count);
  std::vector<int> clean(count, 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    const uchar* out = excluded.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (label[x] == 0) continue;
      points[label[x]].emplace_back(static_cast<float>(x), static_cast<float>(y));
      if (!out[x]) ++clean[label[x]];
    }
  }

  const int minArea = std::max(1, static_cast<int>(height * 40.0 / 400.0));
  const double maxArea = 0.15 * height * height;
  const double minLength = std::max(0.08 * height, 15.0);
  std::optional<Stroke> best;
  int bestLabel = 0;
  for (int l = 1; l < count; ++l) {
    const int area = stats.at<int>(l, cv::CC_STAT_AREA);
    if (area < minArea || area > maxArea || clean[l] < kMinCleanFraction * area) continue;
    const cv::RotatedRect rect = cv::minAreaRect(points[l]);
    const double length = std::max(rect.size.width, rect.size.height);
    const double shorter = std::min(rect.size.width, rect.size.height);
    if (length < minLength || length / std::max(shorter, 1.0) < kMinElongation) continue;
    if (best && best->length >= length) continue;
    Stroke stroke;
    stroke.length = length;
    stroke.box =
        cv::Rect(stats.at<int>(l, cv::CC_STAT_LEFT), stats.at<int>(l, cv::CC_STAT_TOP),
                 stats.at<int>(l, cv::CC_STAT_WIDTH), stats.at<int>(l, cv::CC_STAT_HEIGHT));
    stroke.record = {{"length", roundToThousandths(length)},
                     {"area", area},
                     {"clean_fraction", roundToThousandths(static_cast<double>(clean[l]) / area)},
                     {"box", {stroke.box.x, stroke.box.y, stroke.box.width, stroke.box.height}}};
    stroke.view = view;
    best = std::move(stroke);
    bestLabel = l;
  }
  if (best) best->boardLine = boardLineOf(points[bestLabel], view);
  return best;
}

// The checks of one transient view and its stroke search: a rejection reason, else nothing.
std::optional<const char*> searchView(const Round& round, int i, const cv::Mat& frame,
                                      std::optional<Stroke>& stroke) {
  const Camera& camera = round.cameras[i];
  const int w = frame.cols;
  const int h = frame.rows;
  if (w < kMinViewWidth || w > kMaxViewWidth || h < kMinViewHeight) return "INVALID_TRANSIENT_SIZE";
  const double sx =
      camera.backgroundFrame.empty() ? 0.0 : static_cast<double>(w) / camera.backgroundFrame.cols;
  const double sy =
      camera.backgroundFrame.empty() ? 0.0 : static_cast<double>(h) / camera.backgroundFrame.rows;
  if (!(std::abs(sx - sy) <= kScaleTolerance) || sx <= 0.0) return "INVALID_TRANSIENT_SCALE";
  const Homography view = scaleHomography(camera.boardToImage, sx, sy);

  const cv::Mat reference = resized(camera.dartReference, frame.size(), cv::INTER_AREA);
  const cv::Mat change = nativeDifferenceMask(reference, toGray(frame));
  if (cv::countNonZero(change) > kGlobalChangeFraction * static_cast<double>(change.total())) {
    return "GLOBAL_CHANGE";
  }
  const cv::Mat onBoard = keepComponentsInBoardRegion(change, view, cv::Mat(), round.boardRadiusMm);
  const DetectionScale scale(projectedBoardHeight(view));
  stroke = findStroke(onBoard, excludedPixels(camera, frame.size(), view), view, scale.value());
  return std::nullopt;
}

std::optional<cv::Point2d> projected(const Homography& h, Point2 p) {
  const double w = h[6] * p.x + h[7] * p.y + h[8];
  if (!std::isfinite(w) || std::abs(w) < 1e-10) return std::nullopt;
  return cv::Point2d((h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w);
}

bool nearStroke(const Stroke& stroke, Point2 point) {
  const std::optional<cv::Point2d> pixel = projected(stroke.view, point);
  if (!pixel) return false;
  const double margin = std::max(0.5 * stroke.length, 10.0);
  return pixel->x >= stroke.box.x - margin &&
         pixel->x <= stroke.box.x + stroke.box.width + margin &&
         pixel->y >= stroke.box.y - margin && pixel->y <= stroke.box.y + stroke.box.height + margin;
}

// The pair of views whose board lines cross most steeply on the board, near both strokes.
std::optional<Crossing> crossStrokes(const std::array<std::optional<Stroke>, 3>& strokes,
                                     double boardRadiusMm) {
  std::optional<Crossing> best;
  const std::pair<int, int> pairs[] = {{0, 1}, {0, 2}, {1, 2}};
  for (const auto& [i, j] : pairs) {
    if (!strokes[i] || !strokes[j]) continue;
    const std::array<double, 3>& a = strokes[i]->boardLine;
    const std::array<double, 3>& b = strokes[j]->boardLine;
    const double normA = std::hypot(a[0], a[1]);
    const double normB = std::hypot(b[0], b[1]);
    if (normA < 1e-12 || normB < 1e-12) continue;
    const double cross = a[0] * b[1] - a[1] * b[0];
    const double sine = std::abs(cross) / (normA * normB);
    if (sine < kMinSine || std::abs(cross) < 1e-12) continue;
    const Point2 point{(a[1] * b[2] - a[2] * b[1]) / cross, (a[2] * b[0] - a[0] * b[2]) / cross};
    if (!std::isfinite(point.x) || !std::isfinite(point.y) ||
        std::hypot(point.x, point.y) > boardRadiusMm + kBoardMarginMm) {
      continue;
    }
    if (!nearStroke(*strokes[i], point) || !nearStroke(*strokes[j], point)) continue;
    if (best && sine <= best->sine) continue;
    best = Crossing{point, i, j, sine};
  }
  return best;
}

json missEntry(const Round& round, const Crossing& crossing) {
  return json{{"id", round.entries.size() + 1},
              {"event", round.eventNumber + 1},
              {"round", round.roundNumber},
              {"board_xy_nominal_mm",
               {roundToThousandths(crossing.point.x), roundToThousandths(crossing.point.y)}},
              {"score", nullptr},
              {"status", "EXPERIMENTAL_DART_CANDIDATE"},
              {"field",
               {{"nominal_field", "MISS"},
                {"selected_field", "MISS"},
                {"label", "MISS"},
                {"candidates", json::array({"MISS"})}}},
              {"method", "MOTION_BOUNCER"},
              {"uncertainty_mm", nullptr},
              {"bouncer", true},
              {"bouncer_views", {cameraIds[crossing.first], cameraIds[crossing.second]}}};
}

// Enters the bounce: everything is computed before the round changes.
json acceptBouncer(Round& round, json review, const Crossing& crossing, double countedUntil) {
  const json entry = missEntry(round, crossing);
  json entries = round.entries;
  entries.push_back(entry);
  ImageTriple emptyMasks;
  for (int i = 0; i < 3; ++i) {
    emptyMasks[i] = freshZeroMask(round.cameras[i].emptyReference.size());
  }

  const char* reason = "DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT";
  review["status"] = "DART_CANDIDATE";
  json reply = {
      {"status", "DART_CANDIDATE"},
      {"reason", reason},
      {"entry", entry},
      {"entries", entries},
      {"motion_bouncer", setReplyReason(review, reason)},
      {"transient_geometry",
       {{"point", entry["board_xy_nominal_mm"]},
        {"cameras", entry["bouncer_views"]},
        {"sine", roundToThousandths(crossing.sine)}}},
      {"decision_window",
       {{"active", false}, {"started", -1.0}, {"deadline", -1.0}, {"review_required", false}}}};
  json event = buildHostEvent(reply);
  const bool newEvent = !event.is_null() && event != round.state;
  json flags = buildEngineFlags(round);

  round.bouncerReviewTime = countedUntil;
  round.eventNumber += 1;
  round.entries = std::move(entries);
  round.knownDartMasks.push_back(std::move(emptyMasks));
  round.pendingTransient = nullptr;
  if (newEvent) round.state = event;

  reply["state"] = newEvent ? event : json();
  reply["snapshot"] = round.state;
  reply["round"] = round.roundNumber;
  reply["engine_flags"] = std::move(flags);
  return reply;
}

}  // namespace

json setReplyReason(json& reply, const std::string& reason) {
  reply["reason"] = reason;
  return reply;
}

int remainingPixelLimit(const DetectionScale& scale) {
  const double limit = std::trunc(scale.value() * 160.0 / 400.0);
  if (!(limit < 2147483647.0)) return 2147483647;
  return std::max(1, static_cast<int>(limit));
}

json reviewMotionBouncer(Round& round, const json& request, const std::vector<cv::Mat>& images) {
  const std::vector<cv::Mat> frames = intakeFrames(round, images);
  json review = {{"status", kRejected}};
  if (!round.armed || frames.size() != 6) return setReplyReason(review, "INVALID_INPUT");
  if (roundNotEligible(round, request)) return setReplyReason(review, "STATE_NOT_ELIGIBLE");
  if (decisionPending(round)) return setReplyReason(review, "DECISION_PENDING");

  const std::array<double, 3> transientTimes = threeTimes(request, "times");
  const double transientTime = newestOf(transientTimes);
  const double oldest = *std::min_element(transientTimes.begin(), transientTimes.end());
  if (!allFinite(transientTimes) ||
      transientTime - oldest > std::max(1.1 * frameIntervalOf(request), 0.06)) {
    return setReplyReason(review, "TRANSIENT_UNSYNCED");
  }
  if (round.bouncerReviewTime >= transientTime) return setReplyReason(review, "ALREADY_COUNTED");
  const std::array<double, 3> currentTimes = threeTimes(request, "current_times");
  const double currentTime = newestOf(currentTimes);
  if (!allFinite(currentTimes) || !(currentTime > transientTime) ||
      currentTime - transientTime > kStaleAfterSeconds) {
    return setReplyReason(review, "STALE_TRANSIENT");
  }

  const double regionRadius = round.boardOnlyScope ? round.boardRadiusMm : missRadiusMm();
  json after = json::object();
  int settledCameras = 0;
  for (int i = 0; i < 3; ++i) {
    bool settled = false;
    const std::optional<const char*> failure =
        checkCurrentFrame(round, i, frames[3 + i], regionRadius, after, settled);
    review["after"] = after;
    if (failure) return setReplyReason(review, *failure);
    settledCameras += settled ? 1 : 0;
  }
  if (settledCameras < kSettledCamerasNeeded) return setReplyReason(review, "BOARD_NOT_SETTLED");

  std::array<std::optional<Stroke>, 3> strokes;
  json views = json::object();
  for (int i = 0; i < 3; ++i) {
    const std::optional<const char*> failure = searchView(round, i, frames[i], strokes[i]);
    if (failure) return setReplyReason(review, *failure);
    views[cameraIds[i]] = strokes[i] ? strokes[i]->record : json();
    review["transient_views"] = views;
  }
  const long found = std::count_if(strokes.begin(), strokes.end(),
                                   [](const std::optional<Stroke>& s) { return s.has_value(); });
  if (found < 2) return setReplyReason(review, "TRANSIENT_NOT_IN_TWO_VIEWS");

  const std::optional<Crossing> crossing = crossStrokes(strokes, round.boardRadiusMm);
  if (!crossing) return setReplyReason(review, "TRANSIENT_GEOMETRY_INCONSISTENT");
  // The current frames show the board settled after the bounce, so every view of it was
  // taken before them: later reviews of the same bounce find it already counted.
  return acceptBouncer(round, review, *crossing, currentTime);
}

}  // namespace tarv
