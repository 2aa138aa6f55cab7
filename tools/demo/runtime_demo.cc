#include "runtime_demo.h"
#include "symbol_binding.h"

#include <dlfcn.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "host/reply_reading.h"
#include "scene/round_video.h"
#include "tarv/tarv.h"

namespace sc = tarv::scene;
namespace host = tarv::host;
using json = nlohmann::json;

namespace {

constexpr int kViewSide = 400;  // one board millimetre a pixel

struct RuntimeApi {
  decltype(&tarv_runtime_create) create = nullptr;
  decltype(&tarv_runtime_destroy) destroy = nullptr;
  decltype(&tarv_runtime_call) call = nullptr;
  decltype(&tarv_runtime_board_preview) boardPreview = nullptr;
};

// The three cameras' board views side by side, the scored tip ringed in each.
cv::Mat throwView(const RuntimeApi& api, void* runtime, cv::Point2d tipMm) {
  std::vector<cv::Mat> views;
  for (uint32_t camera = 0; camera < 3; ++camera) {
    cv::Mat rgb(kViewSide, kViewSide, CV_8UC3, cv::Scalar::all(0));
    api.boardPreview(runtime, camera, kViewSide, rgb.data, rgb.total() * 3);
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    const cv::Point tip(static_cast<int>(std::lround(tipMm.x * kViewSide / 400.0 + kViewSide / 2.0)),
                        static_cast<int>(std::lround(tipMm.y * kViewSide / 400.0 + kViewSide / 2.0)));
    cv::circle(bgr, tip, 6, cv::Scalar(0, 255, 255), 2, cv::LINE_AA);
    views.push_back(bgr);
  }
  cv::Mat out;
  cv::hconcat(views, out);
  return out;
}

}  // namespace

DemoMatch matchTrueDart(const std::vector<cv::Point2d>& truths, std::vector<bool>& matched, cv::Point2d tip) {
  constexpr double kSameDartMm = 10.0;
  DemoMatch out;
  double bestDistance = 1e300;
  for (size_t i = 0; i < truths.size(); ++i) {
    const double d = std::hypot(truths[i].x - tip.x, truths[i].y - tip.y);
    if (d < bestDistance) {
      bestDistance = d;
      out.index = static_cast<int>(i);
    }
  }
  if (out.index < 0 || bestDistance > kSameDartMm) {
    out.index = -1;
    return out;
  }
  if (matched.size() < truths.size()) matched.resize(truths.size(), false);
  out.repeated = matched[static_cast<size_t>(out.index)];
  matched[static_cast<size_t>(out.index)] = true;
  return out;
}

namespace {

// One runtime request; an error reply is printed and given back as nullopt.
std::optional<json> request(const RuntimeApi& api, void* runtime, const json& body, bool quiet = false) {
  const json reply = host::parseReply(api.call(runtime, body.dump().c_str()));
  if (const auto error = host::replyError(reply)) {
    if (!quiet) std::fprintf(stderr, "tarv_demo: %s: %s\n", body.value("command", "?").c_str(), error->c_str());
    return std::nullopt;
  }
  return reply;
}

// Mean pixel distance between the 170 mm ring a calibration draws in the camera's image (its
// homography, then its camera model's lens where it has one, as the runtime maps the frames)
// and the true one (the rig's cameras have no lens bend).
double ringDistancePx(const json& found, const json& model, const cv::Matx33d& truth) {
  cv::Matx33d h;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) h(r, c) = found.at(r).at(c).get<double>();
  }
  std::vector<cv::Point3d> ideal;
  std::vector<cv::Point2d> real, expected;
  for (int i = 0; i < 72; ++i) {
    const double a = i * 5.0 * 3.14159265358979323846 / 180.0;
    const cv::Vec3d p(170.0 * std::cos(a), 170.0 * std::sin(a), 1.0);
    const cv::Vec3d u = h * p, v = truth * p;
    ideal.emplace_back(u[0] / u[2], u[1] / u[2], 1.0);
    expected.emplace_back(v[0] / v[2], v[1] / v[2]);
  }
  if (model.is_object() && model.contains("K") && model.contains("dist")) {
    cv::Matx33d K;
    for (int i = 0; i < 9; ++i) K.val[i] = model["K"].at(i).get<double>();
    std::vector<double> dist;
    for (const json& d : model["dist"]) dist.push_back(d.get<double>());
    // The ideal pixel's ray, seen through the lens.
    for (cv::Point3d& q : ideal) q = cv::Point3d((q.x - K(0, 2)) / K(0, 0), (q.y - K(1, 2)) / K(1, 1), 1.0);
    cv::projectPoints(ideal, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, dist, real);
  } else {
    for (const cv::Point3d& q : ideal) real.emplace_back(q.x, q.y);
  }
  double sum = 0.0;
  for (size_t i = 0; i < real.size(); ++i) sum += cv::norm(real[i] - expected[i]);
  return sum / static_cast<double>(real.size());
}

// Where a user clicks on the 20 of a camera: the middle of the single 20 between treble and
// double, as fractions of the image.
json twentyClick(const sc::CameraTruth& camera) {
  const cv::Vec3d p = camera.board_to_image * cv::Vec3d(0.0, -132.0, 1.0);
  return {{"x", p[0] / p[2] / camera.image_size.width}, {"y", p[1] / p[2] / camera.image_size.height}};
}

// The cameras set up through the runtime on videos of the empty board: preview, the quiet
// references, the automatic calibration, the click on the 20 and the result. Gives the
// "start" configuration's calibration members, or nullopt when a step failed.
std::optional<json> calibrateCameras(const RuntimeApi& api, void* runtime, const std::string& folder,
                                     const sc::RoundVideoScript& game, const sc::GroundTruth& truth) {
  sc::RoundVideoScript still = game;
  still.rounds.clear();
  still.empty_seconds = 12.0;
  const std::string videoFolder = folder + "/calibration-videos";
  std::filesystem::create_directories(videoFolder);
  const sc::RoundVideos empty = sc::writeRoundVideos(videoFolder, still);
  const json preview = {{"width", still.size.width}, {"height", still.size.height}, {"fps", still.fps},
                        {"devices", empty.videos}};
  if (!request(api, runtime, {{"command", "preview_start"}, {"config", preview}})) return std::nullopt;
  std::optional<json> snapshot;
  const std::string calibrationFolder = folder + "/calibration";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // The runtime judges the cameras quiet from the frames its polls see.
  while (!snapshot && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    request(api, runtime, {{"command", "poll"}}, true);
    snapshot = request(api, runtime, {{"command", "calibration_snapshot"}, {"folder", calibrationFolder}}, true);
  }
  if (!snapshot) {
    request(api, runtime, {{"command", "calibration_snapshot"}, {"folder", calibrationFolder}});
    return std::nullopt;
  }
  std::printf("references captured: %s\n", snapshot->value("status", "").c_str());
  for (int camera = 0; camera < 3; ++camera) {
    const auto found = request(api, runtime, {{"command", "calibrate"}, {"camera", camera}});
    if (!found) return std::nullopt;
    const json& record = (*found)["calibration"];
    const json& report = record.value("report", json::object());
    std::printf("CAM_%d automatic: geometry %s, grade %s, %d of %d crossings matched, rms %.2f px\n", camera + 1,
                record.value("geometry_valid", false) ? "found" : "NOT FOUND", report.value("grade", "?").c_str(),
                report.value("crossings_matched", 0), report.value("crossings_detected", 0),
                report.value("rms_px", 0.0));
    if (!record.value("geometry_valid", false)) return std::nullopt;
    json click = twentyClick(truth.cameras.at(camera));
    click["command"] = "calibrate";
    click["camera"] = camera;
    const auto turned = request(api, runtime, click);
    if (!turned) return std::nullopt;
    std::printf("CAM_%d click on the 20: accepted %s\n", camera + 1,
                (*turned)["calibration"].value("accepted", false) ? "yes" : "NO");
  }
  const auto result = request(api, runtime, {{"command", "calibration_result"}});
  if (!result) return std::nullopt;
  for (int camera = 0; camera < 3; ++camera) {
    std::printf("CAM_%d: the found 170 mm ring lies %.2f px (mean) from the true one\n", camera + 1,
                ringDistancePx((*result)["calibrations"].at(camera), (*result)["camera_models"].at(camera),
                               truth.cameras.at(camera).board_to_image));
  }
  request(api, runtime, {{"command", "stop"}});
  return json{{"calibrations", (*result)["calibrations"]},
              {"camera_models", (*result)["camera_models"]},
              {"lens_pipeline", (*result)["lens_pipeline"]}};
}

}  // namespace

int runRuntimeDemo(void* library, const std::string& folder, bool printReplies, bool calibrate, int slow) {
  RuntimeApi api;
  if (!bindSymbol(library, "tarv_runtime_create", api.create) ||
      !bindSymbol(library, "tarv_runtime_destroy", api.destroy) ||
      !bindSymbol(library, "tarv_runtime_call", api.call) ||
      !bindSymbol(library, "tarv_runtime_board_preview", api.boardPreview)) {
    return 3;
  }
  std::filesystem::create_directories(folder);
  sc::RoundVideoScript script = sc::demoScript();
  script.empty_seconds *= slow;
  script.dart_seconds *= slow;
  script.takeout_seconds *= slow;
  std::printf("rendering %zu rounds into %s ...\n", script.rounds.size(), folder.c_str());
  const sc::RoundVideos videos = sc::writeRoundVideos(folder, script);
  size_t expected = 0;
  for (const auto& round : script.rounds) expected += round.size();

  void* runtime = api.create();
  if (!runtime) return 1;
  json config = {{"width", script.size.width},
                 {"height", script.size.height},
                 {"fps", script.fps},
                 {"devices", videos.videos},
                 {"references", videos.references},
                 {"calibrations", videos.calibrations},
                 {"report_folder", folder + "/reports"}};
  if (calibrate) {
    const std::optional<json> found = calibrateCameras(api, runtime, folder, script, videos.truth);
    if (!found) {
      std::fprintf(stderr, "tarv_demo: the cameras could not be calibrated through the runtime\n");
      api.destroy(runtime);
      return 1;
    }
    config.update(*found);
  }
  const json started = host::parseReply(api.call(runtime, json({{"command", "start"}, {"config", config}}).dump().c_str()));
  if (host::replyError(started)) {
    std::fprintf(stderr, "tarv_demo: start: %s\n", started.dump().c_str());
    api.destroy(runtime);
    return 1;
  }
  std::printf("runtime started: %s\n", started.dump().c_str());

  int errors = 0;
  size_t scored = 0, correct = 0, repeated = 0, unknown = 0;
  std::vector<cv::Point2d> truths;
  for (const sc::DartTruth& dart : videos.truth.darts) truths.push_back(dart.tip_mm);
  std::vector<bool> matched(truths.size(), false);
  std::string lastStatus;
  // The file cameras play their videos in a loop: what comes after the first pass would be
  // the first round again, so the demo stops where the videos end.
  const double seconds = sc::videoSeconds(script);
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0));
  while (std::chrono::steady_clock::now() < end) {
    const json reply = host::parseReply(api.call(runtime, "{\"command\":\"poll\"}"));
    if (const auto error = host::replyError(reply)) {
      std::fprintf(stderr, "tarv_demo: poll: %s\n", error->c_str());
      ++errors;
      break;
    }
    const json result = reply.value("result", json::object());
    const std::string status = result.is_object() ? result.value("status", "") : "";
    if (printReplies && reply.value("status", "") == "DETECTION" && status != lastStatus) {
      std::printf("  engine: %s\n", status.c_str());
    }
    lastStatus = status.empty() ? lastStatus : status;
    if (status == "EMPTY_RESET") std::printf("darts taken out: next round\n");
    if (status == "DART_CANDIDATE") {
      const json entries = result.value("entries", json::array());
      const auto tip = entries.empty() ? std::nullopt : host::entryPoint(entries.back());
      if (tip) {
        ++scored;
        const std::string field = host::entryField(entries.back());
        const DemoMatch match = matchTrueDart(truths, matched, *tip);
        const sc::DartTruth* truth = match.index >= 0 ? &videos.truth.darts[static_cast<size_t>(match.index)] : nullptr;
        const bool right = truth && truth->field == field && !match.repeated;
        correct += right;
        repeated += match.repeated;
        unknown += match.index < 0;
        const std::string image = folder + "/throw-" + std::to_string(scored) + ".png";
        cv::imwrite(image, throwView(api, runtime, *tip));
        std::printf("throw %zu: %-4s at (%7.2f, %7.2f) mm  true %-4s  %s  %s\n", scored, field.c_str(),
                    tip->x, tip->y, truth ? truth->field.c_str() : "?",
                    match.repeated ? "TWICE" : (right ? "ok" : "WRONG"),
                    image.c_str());
        std::printf("  %s\n", host::hostEventText(result.value("state", json())).c_str());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  api.call(runtime, "{\"command\":\"stop\"}");
  api.destroy(runtime);
  const size_t missed = static_cast<size_t>(std::count(matched.begin(), matched.end(), false));
  std::printf("%zu of %zu darts scored, %zu with the true field, %zu missed, %zu scored twice, %zu "
              "matching no dart; evidence in %s/reports\n",
              scored - repeated - unknown, expected, correct, missed, repeated, unknown, folder.c_str());
  if (errors > 0) return 1;
  return correct == expected && missed == 0 && repeated == 0 && unknown == 0 && scored == expected ? 0 : 2;
}
