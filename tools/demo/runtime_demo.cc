#include "runtime_demo.h"
#include "symbol_binding.h"

#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

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

// The true dart nearest to the scored tip.
const sc::DartTruth* nearestTruth(const sc::GroundTruth& truth, cv::Point2d tip) {
  const sc::DartTruth* best = nullptr;
  double bestDistance = 1e300;
  for (const sc::DartTruth& dart : truth.darts) {
    const double d = std::hypot(dart.tip_mm.x - tip.x, dart.tip_mm.y - tip.y);
    if (d < bestDistance) {
      bestDistance = d;
      best = &dart;
    }
  }
  return best;
}

}  // namespace

int runRuntimeDemo(void* library, const std::string& folder, bool printReplies) {
  RuntimeApi api;
  if (!bindSymbol(library, "tarv_runtime_create", api.create) ||
      !bindSymbol(library, "tarv_runtime_destroy", api.destroy) ||
      !bindSymbol(library, "tarv_runtime_call", api.call) ||
      !bindSymbol(library, "tarv_runtime_board_preview", api.boardPreview)) {
    return 3;
  }
  std::filesystem::create_directories(folder);
  const sc::RoundVideoScript script = sc::demoScript();
  std::printf("rendering %zu rounds into %s ...\n", script.rounds.size(), folder.c_str());
  const sc::RoundVideos videos = sc::writeRoundVideos(folder, script);
  size_t expected = 0;
  for (const auto& round : script.rounds) expected += round.size();

  void* runtime = api.create();
  if (!runtime) return 1;
  const json config = {{"width", script.size.width},
                       {"height", script.size.height},
                       {"fps", script.fps},
                       {"devices", videos.videos},
                       {"references", videos.references},
                       {"calibrations", videos.calibrations},
                       {"report_folder", folder + "/reports"}};
  const json started = host::parseReply(api.call(runtime, json({{"command", "start"}, {"config", config}}).dump().c_str()));
  if (host::replyError(started)) {
    std::fprintf(stderr, "tarv_demo: start: %s\n", started.dump().c_str());
    api.destroy(runtime);
    return 1;
  }
  std::printf("runtime started: %s\n", started.dump().c_str());

  int errors = 0;
  size_t scored = 0, correct = 0;
  std::string lastStatus;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (scored < expected && std::chrono::steady_clock::now() < end) {
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
        const sc::DartTruth* truth = nearestTruth(videos.truth, *tip);
        const bool right = truth && truth->field == field;
        correct += right;
        const std::string image = folder + "/throw-" + std::to_string(scored) + ".png";
        cv::imwrite(image, throwView(api, runtime, *tip));
        std::printf("throw %zu: %-4s at (%7.2f, %7.2f) mm  true %-4s  %s  %s\n", scored, field.c_str(),
                    tip->x, tip->y, truth ? truth->field.c_str() : "?", right ? "ok" : "WRONG",
                    image.c_str());
        std::printf("  %s\n", host::hostEventText(result.value("state", json())).c_str());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  api.call(runtime, "{\"command\":\"stop\"}");
  api.destroy(runtime);
  std::printf("%zu of %zu darts scored, %zu with the true field; evidence in %s/reports\n", scored,
              expected, correct, folder.c_str());
  if (errors > 0) return 1;
  return correct == expected ? 0 : 2;
}
