#include "tarv/detector/watched_change.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// A light patch changes the brightness by at least this ratio, one way at nearly every pixel
// (a faint one's core alone passes a dart's change level, by a few per cent)...
constexpr double kPatchMinChange = 0.04;
constexpr double kPatchOneWay = 0.85;
// ...alike at every pixel (spread of the ratio against its median)...
constexpr double kPatchMaxSpread = 0.12;
// ...and alike in the three colour channels.
constexpr double kPatchMaxChannelSpread = 0.08;
constexpr int kPatchMinPixels = 20;
constexpr int kSaturated = 250;
constexpr int kDark = 24;

double median(std::vector<double> values) {
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  return values[mid];
}

// The per-pixel ratio of frame to background in one channel, inside the mask.
std::vector<double> ratios(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask, const cv::Rect& box,
                           int channel) {
  std::vector<double> r;
  for (int y = box.y; y < box.y + box.height; ++y) {
    const uchar* m = mask.ptr<uchar>(y);
    const cv::Vec3b* f = frame.ptr<cv::Vec3b>(y);
    const cv::Vec3b* b = background.ptr<cv::Vec3b>(y);
    for (int x = box.x; x < box.x + box.width; ++x) {
      // A saturated or nearly black pixel says nothing about the ratio.
      if (m[x] == 0 || f[x][channel] >= kSaturated || b[x][channel] >= kSaturated || b[x][channel] < kDark ||
          f[x][channel] < kDark) {
        continue;
      }
      r.push_back(static_cast<double>(f[x][channel]) / b[x][channel]);
    }
  }
  return r;
}

Flatness flatInCamera(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask) {
  // Every decision asks this of a full-size dart mask: only the box round its pixels is read.
  const cv::Rect box = maskBox(mask);
  std::array<double, 3> level{};
  size_t ratiosSeen = 0;
  size_t brighter = 0;
  for (int channel = 0; channel < 3; ++channel) {
    std::vector<double> r = ratios(frame, background, mask, box, channel);
    // Too few pixels that are neither saturated nor black: this camera cannot tell.
    if (static_cast<int>(r.size()) < kPatchMinPixels) return Flatness::kUnknown;
    level[channel] = median(r);
    std::vector<double> spread;
    spread.reserve(r.size());
    for (double v : r) {
      spread.push_back(std::abs(v - level[channel]) / level[channel]);
      brighter += v > 1.0;
    }
    ratiosSeen += r.size();
    // Most pixels follow the one ratio; a dart's pixels scatter widely.
    if (median(spread) > kPatchMaxSpread) return Flatness::kNotFlat;
  }
  const double lo = std::min({level[0], level[1], level[2]});
  const double hi = std::max({level[0], level[1], level[2]});
  const double mid = (level[0] + level[1] + level[2]) / 3.0;
  // Sensor noise at the change level scatters both ways round one.
  const double oneWay = static_cast<double>(std::max(brighter, ratiosSeen - brighter)) / ratiosSeen;
  return std::abs(mid - 1.0) >= kPatchMinChange && oneWay >= kPatchOneWay && (hi - lo) / mid <= kPatchMaxChannelSpread
             ? Flatness::kFlat
             : Flatness::kNotFlat;
}

// A soft patch scales the board's light by no more than this, either way...
constexpr double kSoftPatchMaxGain = 2.2;
constexpr double kSoftPatchMinGain = 0.45;
// ...in one direction at nearly every pixel...
constexpr double kSoftPatchOneWay = kPatchOneWay;
// ...alike in the colour channels that are bright enough to tell (median spread)...
constexpr double kSoftPatchChannelSpread = 0.1;
constexpr int kChannelUsable = 48;
// ...and on the board plane it is round: a dart's change there is a streak.
constexpr double kSoftPatchMaxElongation = 2.0;
// A small glint across a wire lights only the pale bed on its one side: what changes is a piece
// of a round spot, as long as the spot is wide. A dart standing out of the board draws a longer
// streak on the board plane than this.
constexpr double kSoftPatchPieceMm = 25.0;

// The ratio of the longer to the shorter spread of points: a few stray pixels of noise beside a
// round spot stretch the box round them, but hardly the spread.
double spreadElongation(const std::vector<cv::Point2f>& points) {
  double mx = 0.0, my = 0.0;
  for (const cv::Point2f& p : points) {
    mx += p.x;
    my += p.y;
  }
  const double n = static_cast<double>(points.size());
  mx /= n;
  my /= n;
  double sxx = 0.0, syy = 0.0, sxy = 0.0;
  for (const cv::Point2f& p : points) {
    sxx += (p.x - mx) * (p.x - mx);
    syy += (p.y - my) * (p.y - my);
    sxy += (p.x - mx) * (p.y - my);
  }
  const double half = 0.5 * (sxx + syy);
  const double root = std::sqrt(0.25 * (sxx - syy) * (sxx - syy) + sxy * sxy);
  return std::sqrt((half + root) / std::max(half - root, 1e-9));
}
constexpr int kSoftPatchMinPixels = 60;

// The mask's pixels on the board plane, in the order they are read.
std::vector<cv::Point2f> pixelsOnBoard(const cv::Mat& mask, const cv::Rect& box, const cv::Matx33d& toBoard) {
  std::vector<cv::Point2f> onBoard;
  for (int y = box.y; y < box.y + box.height; ++y) {
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = box.x; x < box.x + box.width; ++x) {
      if (m[x] == 0) continue;
      const cv::Vec3d q = toBoard * cv::Vec3d(x, y, 1.0);
      if (std::abs(q[2]) > 1e-12) onBoard.emplace_back(static_cast<float>(q[0] / q[2]), static_cast<float>(q[1] / q[2]));
    }
  }
  return onBoard;
}

Flatness softInCamera(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask, const Homography& h) {
  const cv::Rect box = maskBox(mask);
  std::vector<double> gains, spreads;
  // Only a change that passes every other test has its shape measured (a dart's change
  // nearly never does): until then the pixels that reach the board plane are only counted.
  size_t onBoardCount = 0;
  const cv::Matx33d toBoard = cv::Matx33d(h.data()).inv();
  int brighter = 0;
  for (int y = box.y; y < box.y + box.height; ++y) {
    const uchar* m = mask.ptr<uchar>(y);
    const cv::Vec3b* f = frame.ptr<cv::Vec3b>(y);
    const cv::Vec3b* b = background.ptr<cv::Vec3b>(y);
    for (int x = box.x; x < box.x + box.width; ++x) {
      if (m[x] == 0) continue;
      const cv::Vec3d q = toBoard * cv::Vec3d(x, y, 1.0);
      onBoardCount += std::abs(q[2]) > 1e-12;
      double lo = 1e9, hi = 0.0, sum = 0.0;
      int channels = 0;
      for (int c = 0; c < 3; ++c) {
        if (b[x][c] < kChannelUsable || b[x][c] >= kSaturated || f[x][c] >= kSaturated || f[x][c] < kDark) continue;
        const double r = static_cast<double>(f[x][c]) / b[x][c];
        lo = std::min(lo, r);
        hi = std::max(hi, r);
        sum += r;
        ++channels;
      }
      if (channels == 0) continue;
      const double gain = sum / channels;
      gains.push_back(gain);
      brighter += gain > 1.0;
      if (channels >= 2) spreads.push_back((hi - lo) / gain);
    }
  }
  // A few pixels tell neither the shape nor the light.
  if (static_cast<int>(gains.size()) < kSoftPatchMinPixels || onBoardCount < 5) return Flatness::kUnknown;
  // Over a red, green or black bed one channel at most is bright enough to compare.
  const bool channelsAlike =
      static_cast<int>(spreads.size()) < kPatchMinPixels || median(spreads) <= kSoftPatchChannelSpread;
  const double n = static_cast<double>(gains.size());
  const double oneWay = std::max(brighter, static_cast<int>(gains.size()) - brighter) / n;
  const double level = median(gains);
  const auto roundOnBoard = [&] {
    const std::vector<cv::Point2f> onBoard = pixelsOnBoard(mask, box, toBoard);
    const cv::RotatedRect shape = cv::minAreaRect(onBoard);
    const double longer = std::max(shape.size.width, shape.size.height);
    const double shorter = std::max(1.0f, std::min(shape.size.width, shape.size.height));
    return longer / shorter <= kSoftPatchMaxElongation || longer <= kSoftPatchPieceMm ||
           spreadElongation(onBoard) <= kSoftPatchMaxElongation;
  };
  const bool soft = oneWay >= kSoftPatchOneWay && level >= kSoftPatchMinGain && level <= kSoftPatchMaxGain &&
                    std::abs(level - 1.0) >= kPatchMinChange && channelsAlike && roundOnBoard();
  return soft ? Flatness::kFlat : Flatness::kNotFlat;
}

// Whether the camera's mask has pixels to judge, and its images fit the mask.
LightPatchView framedView(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask) {
  LightPatchView view;
  view.seen = !mask.empty() && cv::countNonZero(mask) > 0;
  view.fits = frame.type() == CV_8UC3 && background.type() == CV_8UC3 && frame.size() == mask.size() &&
              background.size() == mask.size();
  return view;
}

// A patch in every camera whose mask has pixels, by the camera's own judgement; at least one
// camera can tell.
template <typename Judged>
bool patchInEveryCamera(const std::array<LightPatchView, 3>& views, Judged judged) {
  int seen = 0;
  for (const LightPatchView& view : views) {
    if (!view.seen) continue;
    if (!view.fits) return false;
    const Flatness judgement = judged(view);
    if (judgement == Flatness::kNotFlat) return false;
    seen += judgement == Flatness::kFlat;
  }
  return seen > 0;
}

}  // namespace

void recordWatchedChange(Round& round, const std::vector<cv::Mat>& frames, const std::array<cv::Mat, 3>& masks,
                         const json& reply, double now) {
  json pixels = json::object();
  for (int i = 0; i < 3; ++i) {
    round.frameHistory.push_back(masks[i].empty() ? cv::Mat() : masks[i].clone());
    pixels[cameraIds[i]] = masks[i].empty() ? 0 : cv::countNonZero(masks[i]);
    if (i < static_cast<int>(frames.size())) round.heldFrames[i] = frames[i].clone();
  }
  while (round.frameHistory.size() > kFrameHistoryLimit) round.frameHistory.erase(round.frameHistory.begin());
  const json& decision = reply.value("decision", json());
  round.historyRecord2 = round.historyRecord1;
  round.historyRecord1 = {{"time", now},
                          {"status", reply.value("status", "")},
                          {"reason", reply.value("reason", "")},
                          {"pixels", pixels},
                          {"point", decision.is_object() ? decision.value("point", json()) : json()}};
  round.historyTime = now;
}

LightPatchView lightPatchView(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask,
                              const Homography& boardToImage) {
  LightPatchView view = framedView(frame, background, mask);
  if (view.seen && view.fits) {
    view.flat = flatInCamera(frame, background, mask);
    view.soft = softInCamera(frame, background, mask, boardToImage);
  }
  return view;
}

bool isLightPatch(const std::array<LightPatchView, 3>& views) {
  return patchInEveryCamera(views, [](const LightPatchView& v) { return v.flat; }) ||
         patchInEveryCamera(views, [](const LightPatchView& v) { return v.soft; });
}

}  // namespace tarv
