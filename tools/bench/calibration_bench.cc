#include "bench/calibration_bench.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/scenarios.h"
#include "bench/scoring.h"
#include "host/calibration_check.h"
#include "host/reply_reading.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

namespace tarv::bench {
namespace {

namespace sc = tarv::scene;

struct Board {
  sc::CameraSpec spec;
  sc::Imaging imaging;
  std::optional<sc::BoardLook> look;
};

// A seeded board of the condition; the harder ones take turns among worn colours, glare,
// wire shadows with other number fonts, a board off centre or cut by the image edge, and lens distortion.
Board plannedBoard(const std::string& condition, int index, sc::SceneRandom& rng) {
  Board b;
  b.spec.image_size = index % 2 == 0 ? cv::Size(960, 720) : cv::Size(1920, 1080);
  b.spec.elevation_deg = rng.uniform(0.0, 55.0);
  b.spec.azimuth_deg = rng.uniform(0.0, 360.0);
  b.imaging.noise_seed = rng.next();
  b.imaging.noise_sigma = 2.0;
  if (condition == "noise_blur") {
    b.imaging.noise_sigma = 3.0;
    b.imaging.blur_sigma = rng.uniform(0.5, 1.2);
  } else if (condition == "gain_0.6") {
    b.imaging.gain = 0.6;
  } else if (condition == "gain_1.3") {
    b.imaging.gain = 1.3;
  } else if (condition == "harder") {
    const sc::Camera plain(b.spec);
    switch (index % 6) {
      case 0: b.imaging.fade = rng.uniform(0.3, 0.7); break;
      case 1:
        b.imaging.glare = sc::Glare{plain.project(cv::Point2d(rng.uniform(-120, 120), rng.uniform(-120, 120))),
                                    rng.uniform(20.0, 60.0) * b.spec.image_size.height / 720.0, 170.0};
        break;
      case 2:
        b.look = sc::BoardLook{rng.uniform(0.8, 2.0), index % 4 == 0 ? cv::FONT_HERSHEY_TRIPLEX : cv::FONT_HERSHEY_DUPLEX,
                               rng.uniform(12.0, 20.0), rng.uniform(1.5, 3.0)};
        break;
      case 3: b.spec.aim_mm = cv::Point2d(rng.uniform(-80, 80), rng.uniform(-60, 60)); break;
      case 4:
        b.spec.aim_mm = cv::Point2d(rng.uniform(-130, -100), 0.0);
        b.spec.board_fill = 1.3;
        break;
      default: b.spec.k1 = rng.uniform(-0.3, 0.1); break;
    }
  }
  return b;
}

double milliseconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

CalibrationRow runCondition(const std::string& condition, int boards, uint64_t seed, int renderThreads) {
  CalibrationRow row;
  row.condition = condition;
  sc::SceneRandom rng(derivedSeed(seed, "calibration_" + condition));
  void* engine = tarv_create();
  std::vector<double> ms;
  double ringSum = 0.0;
  for (int i = 0; i < boards; ++i) {
    const Board b = plannedBoard(condition, i, rng);
    cv::setNumThreads(renderThreads);
    const sc::BoardTexture& texture =
        b.look ? sc::renderBoardTexture(0.5, sc::kBoardRadius + 10.0, *b.look) : sc::standardBoardTexture();
    const sc::Renderer renderer({b.spec}, texture, 2);
    sc::Scene scene;
    scene.imaging = b.imaging;
    const cv::Mat frame = renderer.render(scene).frames[0];
    const sc::Camera& camera = renderer.cameras()[0];
    const std::string request = host::calibrateRequest(frame, host::twentyClick(camera)).dump();
    const auto start = std::chrono::steady_clock::now();
    const char* text = tarv_call(engine, request.c_str());
    ms.push_back(milliseconds(start));
    const json reply = host::parseReply(text);
    ++row.boards;
    const auto h = host::fittedHomography(reply);
    if (!h || !reply.value("accepted", false)) continue;
    ++row.accepted;
    const host::RingError e = host::ringError(*h, camera);
    ringSum += e.meanPx;
    row.ring_max_px = std::max(row.ring_max_px, e.visibleMaxPx);
    row.bull_max_px = std::max(row.bull_max_px, e.bullPx);
    if (e.visibleMaxPx > 2.5 || e.bullPx > 1.0) ++row.wrong_accepted;
  }
  tarv_destroy(engine);
  row.ring_mean_px = row.accepted > 0 ? ringSum / row.accepted : 0.0;
  row.ms_per_fit = median(ms);
  row.fit_ms = std::move(ms);
  return row;
}

}  // namespace

std::vector<CalibrationRow> runCalibrationBench(int boardsPerCondition, uint64_t seed, int renderThreads) {
  std::vector<CalibrationRow> rows;
  CalibrationRow all;
  all.condition = "all";
  double ringSum = 0.0;
  for (const char* condition : {"clean", "noise_blur", "gain_0.6", "gain_1.3", "harder"}) {
    rows.push_back(runCondition(condition, boardsPerCondition, seed, renderThreads));
    const CalibrationRow& r = rows.back();
    all.boards += r.boards;
    all.accepted += r.accepted;
    all.wrong_accepted += r.wrong_accepted;
    all.ring_max_px = std::max(all.ring_max_px, r.ring_max_px);
    all.bull_max_px = std::max(all.bull_max_px, r.bull_max_px);
    ringSum += r.ring_mean_px * r.accepted;
    all.fit_ms.insert(all.fit_ms.end(), r.fit_ms.begin(), r.fit_ms.end());
  }
  all.ring_mean_px = all.accepted > 0 ? ringSum / all.accepted : 0.0;
  all.ms_per_fit = median(all.fit_ms);
  rows.push_back(all);
  return rows;
}

}  // namespace tarv::bench
