#include "tarv/board/best_view.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "tarv/board/camera_votes.h"
#include "tarv/board/field_vote.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/round.h"

namespace tarv {

namespace {

constexpr const char* kTieRule = "TIE_BEST_VIEW_CAMERA_ANGLE_x_CLEAN_PIXELS_x_LINE_QUALITY";
constexpr double kSingularFloor = 1e-9;
// Far beyond any image, but small enough that the conversion to an integer stays defined.
constexpr double kMaxCleanPixels = 1e15;

const json& member(const json& record, const char* key) {
  static const json kNull;
  if (!record.is_object()) return kNull;
  const auto it = record.find(key);
  return it == record.end() ? kNull : *it;
}

const json& atIndex(const json& list, std::size_t i) {
  static const json kNull;
  return list.is_array() && i < list.size() ? list[i] : kNull;
}

std::size_t usableTipVotes(const json& view) {
  const json& votes = member(view, "votes");
  if (!votes.is_array()) return 0;
  return static_cast<std::size_t>(std::count_if(votes.begin(), votes.end(), isUsableTipVote));
}

double newPixels(const json& stats, const std::string& camera) {
  const json& value = member(member(stats, camera.c_str()), "new");
  if (!value.is_number()) return 0.0;
  const double v = value.get<double>();
  return std::isfinite(v) ? std::max(0.0, v) : 0.0;
}

}  // namespace

json measureViewQuality(const Homography& h, Point2 point) {
  const Point2 at = applyHomography(h, point);
  const Point2 right = applyHomography(h, {point.x + 1.0, point.y});
  const Point2 down = applyHomography(h, {point.x, point.y + 1.0});
  const double j[4] = {right.x - at.x, down.x - at.x, right.y - at.y, down.y - at.y};

  json quality{{"angle_factor", 0.0}, {"pixels_per_mm", 0.0}};
  if (!std::all_of(std::begin(j), std::end(j), [](double v) { return std::isfinite(v); })) {
    return quality;
  }
  cv::Mat jacobian(2, 2, CV_64F);
  for (int k = 0; k < 4; ++k) jacobian.at<double>(k / 2, k % 2) = j[k];
  cv::Mat sigma;
  cv::SVD::compute(jacobian, sigma, cv::SVD::NO_UV);
  const double s1 = sigma.at<double>(0), s2 = sigma.at<double>(1);
  if (std::isfinite(s1) && std::isfinite(s2) && s1 > kSingularFloor) {
    quality["angle_factor"] = std::sqrt(s2 / s1);
    // Rooted separately so that the product cannot overflow.
    quality["pixels_per_mm"] = std::sqrt(s1) * std::sqrt(s2);
  }
  return quality;
}

json breakTieByBestView(const json& consensus, const json& views, const json& stats,
                        const json& candidates, const std::array<Homography, 3>& homographies) {
  if (!isFieldVoteTied(consensus)) return nullptr;
  for (std::size_t i = 0; i < cameraIds.size(); ++i) {
    if (usableTipVotes(atIndex(views, i)) > 1) return nullptr;
  }
  const std::vector<json> fields = readableFieldGroups(consensus);
  const json first = fields[0].at("field");
  const json second = fields[1].at("field");
  const json votes = collectCameraVotes(views, stats, candidates);

  std::vector<json> ranking;
  for (std::size_t i = 0; i < cameraIds.size(); ++i) {
    const std::string& id = cameraIds[i];
    const json& vote = votes.at(id);
    const json& field = vote.at("vote_field");
    if (!field.is_string() || field == "MISS" || (field != first && field != second)) continue;

    const double cleanPixels =
        std::min(kMaxCleanPixels, vote.at("clean_ratio").get<double>() * newPixels(stats, id));
    const json view = measureViewQuality(homographies[i], pointFromJson(vote.at("vote_point")));
    const double angle = view.at("angle_factor").get<double>();
    const double lineQuality = vote.at("quality").get<double>();
    const double score = lineQuality * angle * std::sqrt(std::max(0.0, cleanPixels));

    json entry = json::object();
    entry["camera"] = id;
    entry["field"] = field;
    entry["point"] = vote.at("vote_point");
    entry["score"] = roundTo(score, 2);
    entry["clean_pixels"] = static_cast<int64_t>(std::trunc(cleanPixels));
    entry["angle_factor"] = roundToThousandths(angle);
    entry["pixels_per_mm"] = roundTo(view.at("pixels_per_mm").get<double>(), 2);
    entry["line_quality"] = vote.at("quality");
    entry["pixel_error"] = vote.at("pixel_error");
    ranking.push_back(entry);
  }
  if (ranking.empty()) return nullptr;

  // The rounded scores decide, so cameras that agree to the reported precision go by id.
  std::stable_sort(ranking.begin(), ranking.end(), [](const json& a, const json& b) {
    const double sa = a.at("score").get<double>(), sb = b.at("score").get<double>();
    if (sa != sb) return sa > sb;
    return a.at("camera").get<std::string>() < b.at("camera").get<std::string>();
  });

  const json& top = ranking.front();
  json contested = json::array({first, second});
  if (second.get<std::string>() < first.get<std::string>())
    contested = json::array({second, first});

  json result = json::object();
  result["field"] = top.at("field");
  result["point"] = top.at("point");
  result["camera"] = top.at("camera");
  result["score"] = top.at("score");
  result["runner_up"] = ranking.size() > 1 ? ranking[1].at("score") : json(0.0);
  result["ranking"] = ranking;
  result["contested"] = contested;
  result["votes"] = json::array({fields[0].at("votes"), fields[1].at("votes")});
  result["rule"] = kTieRule;
  return result;
}

}  // namespace tarv
