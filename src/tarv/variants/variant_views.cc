#include "tarv/variants/variant_views.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "tarv/board/bed_colour.h"
#include "tarv/board/board_layout.h"
#include "tarv/camera/board_normal.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/core/engine_values.h"
#include "tarv/board/host_event.h"
#include "tarv/core/process_switches.h"
#include "tarv/views/board_features.h"
#include "tarv/core/board_projection.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/shaft_axis.h"
#include "tarv/views/tip_evidence.h"

namespace tarv {
namespace {

// Room round the fresh change for the shaft search (flight tips, a point the grey change lost).
constexpr int kCropMarginPx = 24;
constexpr double kTipVoteReachMm = 6.0;
constexpr double kLargestDartAreaMm2 = 9000.0;
// Farthest a fitted tip is carried on over an earlier dart: a point and barrel seen lengthwise.
constexpr double kHiddenTipReachMm = 50.0;

Homography inverseOf(const Homography& h) {
  const cv::Matx33d inverse = cv::Matx33d(h.data()).inv();
  Homography out;
  for (int i = 0; i < 9; ++i) out[i] = inverse.val[i];
  return out;
}

double meanInside(const cv::Mat& image, const cv::Mat& mask) {
  return cv::mean(image, mask.empty() || mask.size() != image.size() ? cv::noArray() : mask)[0];
}

double distanceMm(Point2 a, Point2 b) { return std::hypot(a.x - b.x, a.y - b.y); }

// The lean of the dart on the board: unit direction from the tip towards the flight.
json leanOnBoard(const json& axis, const Homography& boardToImage) {
  for (const json& observation : axis.value("observations", json::array())) {
    const auto ends = observation.find("support_endpoints_px");
    if (ends == observation.end() || !ends->is_array() || ends->size() != 2) continue;
    const Homography inverse = inverseOf(boardToImage);
    const Point2 tip = applyHomography(inverse, pointFromJson((*ends)[0]));
    const Point2 tail = applyHomography(inverse, pointFromJson((*ends)[1]));
    const double length = distanceMm(tip, tail);
    if (!(length > 1e-6)) continue;
    return {roundToThousandths((tail.x - tip.x) / length), roundToThousandths((tail.y - tip.y) / length)};
  }
  return nullptr;
}

}  // namespace

const json& emptyViewRecord() {
  static const json record = {{"votes", json::array()}, {"observations", json::array()}};
  return record;
}

Homography identityHomography() { return {1, 0, 0, 0, 1, 0, 0, 0, 1}; }

Camera armVariantCamera(const cv::Mat& image, const Homography& boardToImage) {
  Camera c;
  c.boardToImage = boardToImage;
  c.emptyReferenceColour = image.clone();
  c.backgroundFrame = c.emptyReferenceColour;
  c.emptyReference = toGray(c.emptyReferenceColour);
  c.dartReference = c.emptyReference;
  c.referenceChangeMask = freshZeroMask(image.size());
  c.surroundMotion = std::make_shared<SurroundMotion>();
  if (auto normal = boardNormalImagePoint(boardToImage, nullptr, image.size())) c.imageNormal = *normal;
  c.features = collectBoardFeatures(c.emptyReference, boardToImage);
  return c;
}

double requestedMissRadius(const json& request) {
  const auto it = request.find("miss_radius_mm");
  if (it == request.end() || !it->is_number()) return 240.0;
  const double value = it->get<double>();
  return std::isfinite(value) && value >= 170.0 && value <= 600.0 ? value : 240.0;
}

void installArmRadii(const json& request, double missRadiusMm) {
  const auto radii = request.find("ring_radii");
  setRingRadii(radii == request.end() ? json(nullptr) : *radii);
  setMissRadius(json{{"miss_radius_mm", missRadiusMm}});
}

cv::Mat matchBrightness(const cv::Mat& grey, const cv::Mat& reference, const cv::Mat& mask) {
  const double current = meanInside(grey, mask);
  const double gain = current > 1.0 ? std::clamp(meanInside(reference, mask) / current, 0.6, 1.6) : 1.0;
  if (std::abs(gain - 1.0) < 0.015) return grey;
  cv::Mat scaled;
  grey.convertTo(scaled, CV_8U, gain);
  return scaled;
}

double brightnessRatio(const cv::Mat& grey, const cv::Mat& reference, const cv::Mat& mask) {
  return meanInside(reference, mask) / std::max(1.0, meanInside(grey, mask));
}

int largestComponentArea(const cv::Mat& mask) {
  if (mask.empty() || cv::countNonZero(mask) == 0) return 0;
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  int largest = 0;
  for (int i = 1; i < count; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
  return largest;
}

int largestErodedComponent(const cv::Mat& mask, const cv::Mat& region) {
  cv::Mat eroded;
  cv::erode(maskAnd(mask, region), eroded, cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}), {-1, -1}, 1,
            cv::BORDER_CONSTANT, cv::Scalar(0));
  return largestComponentArea(eroded);
}

int largestDartPixels(const Homography& boardToImage) {
  std::vector<cv::Point2f> outline;
  for (const Point2& p : circlePoints(170.0, 72)) {
    const Point2 q = applyHomography(boardToImage, p);
    outline.emplace_back(static_cast<float>(q.x), static_cast<float>(q.y));
  }
  return static_cast<int>(kLargestDartAreaMm2 * cv::contourArea(outline) / (CV_PI * 170.0 * 170.0));
}

int variantMinPixels(const Homography& boardToImage) {
  const double h = projectedBoardHeight(boardToImage);
  if (!std::isfinite(h) || h <= 0.0) throw std::runtime_error("INVALID_DETECTION_SCALE");
  return std::max(1, static_cast<int>(h * 160.0 / 400.0));
}

// A tip beyond the region the engine watches for changes is no tip on the board: the far end
// of a dart seen before (not yet entered) or of a hand. Such a vote or search abstains rather
// than voting a point the change cannot support.
void abstainOutsideEventRegion(json& axis, json& candidates) {
  const double reach = std::max(300.0, missRadiusMm()) + 25.0;
  const auto outside = [reach](const json& record) {
    const auto p = record.find("point");
    if (p == record.end() || !p->is_array() || p->size() != 2) return false;
    const Point2 point = pointFromJson(*p);
    return !(std::hypot(point.x, point.y) <= reach);
  };
  for (json& vote : axis["votes"]) {
    if (vote.is_object() && !vote.value("abstention", true) && outside(vote)) {
      vote["abstention"] = true;
      vote["abstention_reason"] = "TIP_OUTSIDE_EVENT_REGION";
    }
  }
  for (auto& [name, search] : candidates.items()) {
    if (search.is_object() && search.value("status", "") == "CANDIDATE" && outside(search)) {
      search = {{"status", "TIP_OUTSIDE_EVENT_REGION"}, {"quality", 0.0}, {"kind", name}};
    }
  }
}

namespace {

// The fitted tip carried on over the darts entered before (see tipOverStoredChange).
cv::Point2d tipOverEarlierDarts(const Camera& camera, const cv::Mat& frame, const ShaftFit& fit, double level) {
  const cv::Mat& stored = camera.referenceChangeMask;
  if (stored.size() != frame.size() || camera.backgroundFrame.size() != frame.size()) return fit.tip;
  const Point2 tipMm = imageToBoard(camera.boardToImage, fit.tip);
  const double ppm = pixelsPerMm(camera.boardToImage, tipMm);
  if (!std::isfinite(ppm) || !(ppm > 0.0)) return fit.tip;
  const int reach = static_cast<int>(std::ceil(kHiddenTipReachMm * ppm));
  const cv::Rect window = cv::Rect(static_cast<int>(fit.tip.x) - reach - 4, static_cast<int>(fit.tip.y) - reach - 4,
                                   2 * reach + 9, 2 * reach + 9) &
                          cv::Rect(0, 0, frame.cols, frame.rows);
  if (window.area() <= 0 || cv::countNonZero(stored(window)) == 0) return fit.tip;
  const cv::Mat grown = dilateMask(stored(window), 7, false);
  const cv::Mat background = camera.backgroundFrame(window);
  const cv::Mat crop = brightnessMatchedCrop(frame(window), background, grown);
  const cv::Mat change = dartChangeMask(colourDifference(crop, background), level);
  const cv::Point2d offset(window.x, window.y);
  return tipOverStoredChange(change, grown, fit.tip - offset, -fit.direction, reach) + offset;
}

}  // namespace

NewDartView searchNewDart(const Camera& camera, const cv::Mat& frame, const cv::Mat& freshMask,
                          double changedFraction, int32_t tipMode) {
  NewDartView view;
  view.dartMask = freshZeroMask(frame.size());
  ShaftView shaft;
  shaft.boardToImage = camera.boardToImage;
  shaft.minPixels = minPixelsForCamera(camera);
  const auto& n = camera.imageNormal;
  if (std::isfinite(n[0]) && std::isfinite(n[1]) && std::abs(n[2]) > 1e-12) {
    shaft.normalPoint = cv::Point2d(n[0] / n[2], n[1] / n[2]);
  }
  const cv::Rect found = cv::boundingRect(freshMask);
  const cv::Rect box = cv::Rect(found.x - kCropMarginPx, found.y - kCropMarginPx, found.width + 2 * kCropMarginPx,
                                found.height + 2 * kCropMarginPx) &
                       cv::Rect(0, 0, frame.cols, frame.rows);
  if (found.area() > 0 && box.area() > 0) {
    const cv::Mat background = camera.backgroundFrame(box);
    const cv::Mat crop = brightnessMatchedCrop(frame(box), background, freshMask(box));
    const cv::Mat difference = colourDifference(crop, background);
    shaft.level = std::max(kDartChangeLevel, changeLevel(difference, cv::Mat(), processSwitches().adaptiveThreshold));
    const cv::Mat mask = componentsTouching(dartChangeMask(difference, shaft.level), freshMask(box));
    mask.copyTo(view.dartMask(box));
    shaft.frame = crop;
    shaft.background = background;
    shaft.changeMask = mask;
    shaft.offset = box.tl();
  }
  std::optional<ShaftFit> fit = fitShaft(shaft);
  if (fit) fit->tip = tipOverEarlierDarts(camera, frame, *fit, shaft.level);
  view.axis = shaftRecord(shaft, fit);
  json none = json::object();
  abstainOutsideEventRegion(view.axis, none);
  if (cv::countNonZero(view.dartMask) > 0) {
    const cv::Rect dart = cv::boundingRect(view.dartMask);
    for (json& vote : view.axis["votes"]) {
      if (!vote.value("abstention", true)) vote["box"] = {dart.x, dart.y, dart.width, dart.height};
    }
  }
  CandidateFlags flags;
  flags.changedFraction = changedFraction;
  flags.minPixels = shaft.minPixels;
  view.candidates = locateCameraCandidate(camera.backgroundFrame, frame, freshMask, camera.boardToImage,
                                          camera.referenceChangeMask, view.axis["votes"], flags);
  json noAxis = {{"votes", json::array()}};
  abstainOutsideEventRegion(noAxis, view.candidates);
  // Not a search: the elections and the consensus read only the members that are objects.
  view.candidates["direction_mm"] = tipMode == 1 ? leanOnBoard(view.axis, camera.boardToImage) : json(nullptr);
  return view;
}

double shaftLengthMm(const json& axis, const Homography& boardToImage) {
  double longest = 0.0;
  const Homography inverse = inverseOf(boardToImage);
  for (const json& observation : axis.value("observations", json::array())) {
    const auto ends = observation.find("support_endpoints_px");
    if (ends == observation.end() || !ends->is_array() || ends->size() != 2) continue;
    const Point2 a = applyHomography(inverse, pointFromJson((*ends)[0]));
    const Point2 b = applyHomography(inverse, pointFromJson((*ends)[1]));
    longest = std::max(longest, distanceMm(a, b));
  }
  return longest;
}

TipChecks checkTipVotes(const json& votes, Point2 point, const cv::Mat& freshMask) {
  TipChecks checks;
  for (const json& vote : votes) {
    if (vote.value("abstention", true) || !vote.contains("box") || !vote.contains("point")) continue;
    if (distanceMm(pointFromJson(vote["point"]), point) > kTipVoteReachMm) continue;
    if (vote.value("pixel_error", 1e9) <= 1.5) checks.precise = true;
    if (!vote.contains("image_point")) continue;
    const json& box = vote["box"];
    const cv::Point2d centre(box[0].get<double>() + box[2].get<double>() / 2.0,
                             box[1].get<double>() + box[3].get<double>() / 2.0);
    const Point2 tip = pointFromJson(vote["image_point"]);
    cv::Point2d d(tip.x - centre.x, tip.y - centre.y);
    const double length = cv::norm(d);
    if (length < 1e-6) continue;
    d *= 1.0 / length;
    int set = 0;
    for (int k = 3; k <= 12; ++k) {
      const int x = static_cast<int>(std::lround(tip.x + k * d.x));
      const int y = static_cast<int>(std::lround(tip.y + k * d.y));
      if (x < 0 || y < 0 || x >= freshMask.cols || y >= freshMask.rows) break;
      set += freshMask.at<uchar>(y, x) != 0;
    }
    if (set > 3) checks.onDartBody = true;
  }
  return checks;
}

bool carriedStateLapses(int32_t epoch, int32_t lastEpoch, double time, double lastTime) {
  return epoch != lastEpoch || (lastTime >= 0.0 && time - lastTime > kConfirmWindowS);
}

void completeFrameReply(json& reply, const json& entries, json& lastEvent, int32_t round, json flags,
                        double startMs, const char* backend) {
  reply["entries"] = entries;
  const json event = buildHostEvent(reply);
  if (!event.is_null() && event != lastEvent) {
    lastEvent = event;
    reply["state"] = event;
  } else {
    reply["state"] = nullptr;
  }
  reply["snapshot"] = lastEvent;
  reply["round"] = round;
  reply["engine_flags"] = std::move(flags);
  reply["processMs"] = monotonicMilliseconds() - startMs;
  reply["executionBackend"] = backend;
}

bool confirmsSample(const json& previous, Point2 point, const std::string& field, double time) {
  if (!previous.is_object()) return false;
  const double dt = time - previous.value("time", 1e300);
  return dt > 0.0 && dt <= kConfirmWindowS && previous.value("field", "") == field &&
         distanceMm(pointFromJson(previous.at("point")), point) <= kConfirmDistanceMm;
}

bool confirmsMissing(const json& previous, const json& missing, double time) {
  if (!previous.is_object()) return false;
  const double dt = time - previous.value("time", 1e300);
  return dt > 0.0 && dt <= kConfirmWindowS && previous.value("missing", json()) == missing;
}

bool pendingReferenceUsable(const cv::Mat& frame, double frameTime, const cv::Mat& reference, double now) {
  return !frame.empty() && frame.size() == reference.size() && frameTime >= 0.0 && now >= frameTime &&
         now - frameTime <= kPendingReferenceS;
}

json fieldRecord(Point2 point, double uncertaintyMm, const std::string& method, const char* acceptance,
                 const json& clusters) {
  json field = classifyBoardPoint(point, 2.0);
  estimateBoundaryProbability(field, point, uncertaintyMm);
  const json nominal = field["nominal_field"];
  field["selected_field"] = nominal;
  field["label"] = nominal;
  field["selection"] = {{"method", method}, {"reason", acceptance}};
  if (!clusters.is_null()) field["selection"]["clusters"] = clusters;
  return field;
}

void applyBedColour(json& field, Point2 point, const std::array<json, 3>& views,
                    const std::array<Camera, 3>& cameras, const std::array<Homography, 3>& homographies,
                    double uncertaintyMm, int votersNeeded) {
  json bed;
  arbitrateBedColour(bed, field, point, views, cameras, homographies, uncertaintyMm, nullptr);
  if (bed.value("applied", false) && bed.value("voters", 0) < votersNeeded) {
    bed["applied"] = false;
    bed["reason"] = "TOO_FEW_CAMERAS_READ_THE_COLOUR";
  }
  const json selected = bed.value("selected", json());
  if (bed.value("applied", false) && selected.is_string() && selected != field["nominal_field"]) {
    field["selected_field"] = selected;
    field["label"] = selected;
    field["selection"]["reason"] = "BED_COLOUR_AT_TIP";
    field["selection"]["geometry_field"] = field["nominal_field"];
  }
  field["bed_colour"] = std::move(bed);
}

}  // namespace tarv
