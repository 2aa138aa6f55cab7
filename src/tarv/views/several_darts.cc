#include "tarv/views/several_darts.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/views/dart_pieces.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// Pieces closer than this are one group (a dart's pieces lie close; a shaft's gap may split it,
// which only costs a few more axis fits). A group whose own tip lies within kSameDartMm of
// another camera's group tip is one dart seen twice; darts farther apart than kOtherDartMm
// are two.
constexpr double kGroupJoinMm = 6.0;
constexpr double kSameDartMm = 15.0;
constexpr double kOtherDartMm = 20.0;
constexpr size_t kMostGroups = 4;

struct SeenDart {
  Point2 point;
  std::set<size_t> cameras;
};

double distance(Point2 a, Point2 b) { return std::hypot(a.x - b.x, a.y - b.y); }

// The darts that two or more cameras' group tips agree on.
std::vector<SeenDart> dartsSeenTwice(const std::vector<ChangeGroups>& groups) {
  std::vector<SeenDart> darts;
  for (size_t i = 0; i < groups.size(); ++i) {
    for (const auto& tip : groups[i].tips) {
      if (!tip) continue;
      for (size_t j = i + 1; j < groups.size(); ++j) {
        for (const auto& other : groups[j].tips) {
          if (!other || distance(*tip, *other) > kSameDartMm) continue;
          const Point2 mid{0.5 * (tip->x + other->x), 0.5 * (tip->y + other->y)};
          auto known = std::find_if(darts.begin(), darts.end(),
                                    [&](const SeenDart& d) { return distance(d.point, mid) <= kSameDartMm; });
          if (known == darts.end()) {
            darts.push_back({mid, {i, j}});
          } else {
            known->cameras.insert({i, j});
          }
        }
      }
    }
  }
  return darts;
}

}  // namespace

ChangeGroups groupChangeUnfitted(const ShaftView& view, const ChangePieces* given) {
  ChangeGroups out;
  if (view.changeMask.empty() || cv::countNonZero(view.changeMask) < 2 * view.minPixels) return out;
  const double ppm = pixelsPerMm(view.boardToImage, {0.0, 0.0});
  if (!std::isfinite(ppm) || ppm <= 0.0) return out;
  const int join = std::max(1, static_cast<int>(std::lround(kGroupJoinMm * ppm)));
  cv::Mat labels;
  const int count = cv::connectedComponents(dilateMask(view.changeMask, 2 * join + 1, true), labels, 8, CV_32S);
  if (count <= 2) return out;
  struct Counted {
    int pixels;
    int label;
    cv::Mat group;
  };
  std::vector<Counted> counted;  // each group with its pixel count, counted once
  for (int label = 1; label < count; ++label) {
    cv::Mat group = maskAnd(view.changeMask, labels == label);
    const int pixels = cv::countNonZero(group);
    if (pixels >= view.minPixels) counted.push_back({pixels, label, group});
  }
  if (counted.size() < 2) return out;
  std::stable_sort(counted.begin(), counted.end(), [](const Counted& a, const Counted& b) { return a.pixels > b.pixels; });
  if (counted.size() > kMostGroups) counted.resize(kMostGroups);
  out.pieces = given ? *given : labelChangePieces(view.changeMask);
  const ChangePieces& pieces = out.pieces;
  // A piece of the change lies whole in one group, the one its pixels were grown into.
  std::vector<int> groupOf(static_cast<size_t>(pieces.count), 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* piece = pieces.labels.ptr<int>(y);
    const int* grown = labels.ptr<int>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (piece[x] > 0) groupOf[piece[x]] = grown[x];
    }
  }
  for (const Counted& c : counted) {
    out.groups.push_back(c.group);
    std::vector<uchar> kept(groupOf.size(), 0);
    for (size_t label = 1; label < groupOf.size(); ++label) kept[label] = groupOf[label] == c.label;
    out.held.push_back(std::move(kept));
  }
  return out;
}

void fitGroupTips(const ShaftView& view, ChangeGroups& groups) {
  groups.tips.clear();
  if (groups.groups.empty()) return;
  ShaftView one = view;
  // Every group is fitted in the same colour difference.
  one.difference = viewDifference(view);
  ChangePieces ofGroup = groups.pieces;
  for (size_t g = 0; g < groups.groups.size(); ++g) {
    one.changeMask = groups.groups[g];
    ofGroup.kept = groups.held[g];
    const std::optional<ShaftFit> fit = fitShaft(one, ofGroup);
    std::optional<Point2> tip;
    if (fit) tip = imageToBoard(view.boardToImage, fit->tip);
    if (tip && (!std::isfinite(tip->x) || !std::isfinite(tip->y))) tip.reset();
    groups.tips.push_back(tip);
  }
}

bool groupsTellDarts(const std::vector<ChangeGroups>& groups) {
  // Two darts are told apart only by tips that two cameras' groups agree on.
  int holding = 0;
  for (const ChangeGroups& g : groups) holding += !g.groups.empty();
  return holding >= 2;
}

std::vector<std::optional<cv::Mat>> piecesOfOneDart(const std::vector<ShaftView>& views,
                                                    const std::vector<ChangeGroups>& groups) {
  std::vector<std::optional<cv::Mat>> chosen(views.size());
  const std::vector<SeenDart> darts = dartsSeenTwice(groups);
  const SeenDart* target = nullptr;
  for (const SeenDart& d : darts) {
    if (!target || d.cameras.size() > target->cameras.size()) target = &d;
  }
  if (!target) return chosen;
  bool another = false;
  for (const SeenDart& d : darts) another = another || distance(d.point, target->point) > kOtherDartMm;
  if (!another) return chosen;
  for (size_t i = 0; i < views.size(); ++i) {
    const ShaftView& v = views[i];
    if (v.changeMask.empty()) continue;
    const Homography h = cropHomography(v.boardToImage, {static_cast<double>(v.offset.x), static_cast<double>(v.offset.y)});
    cv::Mat pieces = dartPiecesAtBoardPoint(v.changeMask, h, target->point);
    if (!pieces.empty()) chosen[i] = pieces;
  }
  return chosen;
}

}  // namespace tarv
