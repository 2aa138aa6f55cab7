// The runtime's "calibrate" against the engine's on the same real frames.
//   calibrate_roads [--model FILE] [--overlays DIR] [--verbose] IMAGE CLICK_X CLICK_Y [IMAGE CLICK_X CLICK_Y ...]
//   calibrate_roads [--model FILE] [--overlays DIR] [--verbose] --labels LABELS.json --images DIR
// A label file (as landmark_real's) gives each image's click ("twenty_px") and its true ring
// ("rings", at "ring_mm"): then each call's ring is also measured against the true one (mean
// of the distances each way between the two curves, the engine's oriented by the click).
// Per image (CLICK: a pixel in the 20's single field of the full frame): the engine's
// "calibrate" (the board fit at its working size) without and with the click, and the runtime's
// (calibrateFromImage, then confirmTwentyClick with the click): accepted, the call times, and
// how far apart the two put the 170 mm ring where both have a geometry. With --overlays, each
// image with the engine's ring (red), the runtime's (green) and the click (blue).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/board_fit.h"
#include "tarv/camera/calibration_record.h"
#include "tarv/core/engine_values.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
constexpr double kPi = 3.14159265358979323846;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The engine's "calibrate" on one image: reduced to at most 720 rows, the request's pixels
// those of the full frame.
json engineCalibrate(const cv::Mat& image, const json& request) {
  const double scale = image.rows > 720 ? 720.0 / image.rows : 1.0;
  cv::Mat reduced = image;
  if (scale < 1.0) {
    const cv::Size size(std::max(1L, std::lround(image.cols * scale)), std::max(1L, std::lround(image.rows * scale)));
    cv::resize(image, reduced, size, 0, 0, cv::INTER_AREA);
  }
  return tarv::fitReducedBoardGeometry(reduced, request, scale);
}

std::vector<cv::Point2d> ringOf(const std::function<tarv::Point2(double, double)>& project, double radius = 170.0) {
  std::vector<cv::Point2d> ring;
  for (int i = 0; i < 72; ++i) {
    const double a = 5.0 * i * kPi / 180.0;
    const tarv::Point2 p = project(radius * std::cos(a), radius * std::sin(a));
    ring.emplace_back(p.x, p.y);
  }
  return ring;
}

double pointToCurve(cv::Point2d p, const std::vector<cv::Point2d>& curve) {
  double best = 1e300;
  for (size_t i = 0; i < curve.size(); ++i) {
    const cv::Point2d a = curve[i], b = curve[(i + 1) % curve.size()], ab = b - a;
    const double t = std::clamp((p - a).dot(ab) / std::max(ab.dot(ab), 1e-12), 0.0, 1.0);
    best = std::min(best, cv::norm(p - (a + t * ab)));
  }
  return best;
}

// Mean of the distances each way between two closed curves.
double curveDistance(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b) {
  double sum = 0.0;
  for (const cv::Point2d& p : a) sum += pointToCurve(p, b);
  for (const cv::Point2d& p : b) sum += pointToCurve(p, a);
  return sum / static_cast<double>(a.size() + b.size());
}

double meanDistance(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b) {
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) sum += cv::norm(a[i] - b[i]);
  return sum / static_cast<double>(a.size());
}

void drawRing(cv::Mat& image, const std::vector<cv::Point2d>& ring, const cv::Scalar& colour) {
  for (size_t i = 0; i < ring.size(); ++i) {
    cv::line(image, ring[i], ring[(i + 1) % ring.size()], colour, 2, cv::LINE_AA);
  }
}

const char* yesNo(bool v) { return v ? "yes" : "no"; }

}  // namespace

int main(int argc, char** argv) {
  try {
    std::string modelPath, overlays, labelsPath, imagesDir;
    bool verbose = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--model" && i + 1 < argc) modelPath = argv[++i];
      else if (a == "--overlays" && i + 1 < argc) overlays = argv[++i];
      else if (a == "--verbose") verbose = true;
      else if (a == "--labels" && i + 1 < argc) labelsPath = argv[++i];
      else if (a == "--images" && i + 1 < argc) imagesDir = argv[++i];
      else args.push_back(a);
    }
    // Labelled images: their click and true ring, kept by image path.
    std::map<std::string, json> labels;
    if (!labelsPath.empty()) {
      std::ifstream in(labelsPath);
      for (const json& label : json::parse(in)) {
        const std::string path = imagesDir + "/" + label.at("file").get<std::string>();
        args.push_back(path);
        // A photograph of several boards: the first one's click (and ring).
        const json& twenty = label.at("twenty_px")[0].is_array() ? label.at("twenty_px")[0] : label.at("twenty_px");
        args.push_back(std::to_string(twenty[0].get<double>()));
        args.push_back(std::to_string(twenty[1].get<double>()));
        labels[path] = label;
      }
    }
    if (args.empty() || args.size() % 3 != 0) {
      std::fprintf(stderr, "usage: calibrate_roads [--model FILE] [--overlays DIR] IMAGE CLICK_X CLICK_Y [...]\n");
      return 2;
    }
    std::unique_ptr<tarv::LandmarkModel> holder;
    int engineWithin3 = 0, runtimeWithin3 = 0, engineOff5 = 0, runtimeOff5 = 0, runtimeFarther = 0;
    int images = 0, engineBare = 0, engineClick = 0, runtimeBare = 0, runtimeClick = 0, runtimeWhereEngine = 0;
    double slowestEngine = 0.0, slowestRuntime = 0.0;
    std::vector<double> runtimeMs;
    std::printf("%-12s %6s %6s %8s | %6s %6s %8s %-24s %-18s %8s %8s %8s\n", "image", "eng", "eng+c", "eng_ms", "run", "run+c",
                "run_ms", "method/start", "rule", "ring_px", "eng_true", "run_true");
    for (size_t k = 0; k < args.size(); k += 3) {
      const std::string path = args[k];
      const tarv::Point2 click{std::stod(args[k + 1]), std::stod(args[k + 2])};
      const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
      if (image.empty()) throw std::runtime_error("cannot read " + path);
      ++images;
      auto t = Clock::now();
      const json bare = engineCalibrate(image, json::object());
      const json clicked = engineCalibrate(image, {{"click_px", {click.x, click.y}}});
      const double engineMs = msSince(t) / 2.0;
      t = Clock::now();
      const tarv::CalibrationRecord record = tarv::calibrateFromImage(holder, modelPath, image);
      const double ms = msSince(t);
      // The model's loading is the first call's alone.
      if (k > 0) runtimeMs.push_back(ms);
      tarv::CalibrationRecord turned = record;
      std::string clickError;
      try {
        turned = tarv::confirmTwentyClick(record, click);
      } catch (const std::exception& e) {
        clickError = e.what();
      }
      const bool eb = bare.value("accepted", false), ec = clicked.value("accepted", false);
      const bool rb = record.value("accepted", false), rc = clickError.empty() && turned.value("accepted", false);
      engineBare += eb, engineClick += ec, runtimeBare += rb, runtimeClick += rc;
      runtimeWhereEngine += ec && rc;
      slowestEngine = std::max(slowestEngine, engineMs);
      if (k > 0) slowestRuntime = std::max(slowestRuntime, ms);
      double ringPx = std::nan("");
      std::vector<cv::Point2d> engineRing, runtimeRing;
      if (clicked.contains("board_to_image")) {
        const tarv::Homography h = tarv::matrix3x3FromJson(clicked["board_to_image"]);
        engineRing = ringOf([&h](double x, double y) { return tarv::applyHomography(h, {x, y}); });
      }
      if (turned.value("geometry_valid", false)) {
        runtimeRing = ringOf([&turned](double x, double y) { return tarv::boardToImage(turned, x, y); });
      }
      if (!engineRing.empty() && !runtimeRing.empty()) ringPx = meanDistance(engineRing, runtimeRing);
      // Against the labelled ring: the engine's and the runtime's, each with the click.
      double engineTruePx = std::nan(""), runtimeTruePx = std::nan("");
      const auto label = labels.find(path);
      if (label != labels.end()) {
        const double radius = label->second.value("ring_mm", 170.0);
        std::vector<cv::Point2d> truth;
        for (const json& p : label->second.at("rings").at(0)) truth.emplace_back(p[0].get<double>(), p[1].get<double>());
        if (clicked.contains("board_to_image")) {
          const tarv::Homography h = tarv::matrix3x3FromJson(clicked["board_to_image"]);
          engineTruePx = curveDistance(ringOf([&h](double x, double y) { return tarv::applyHomography(h, {x, y}); }, radius), truth);
        }
        if (turned.value("geometry_valid", false)) {
          runtimeTruePx = curveDistance(ringOf([&turned](double x, double y) { return tarv::boardToImage(turned, x, y); }, radius), truth);
        }
        engineWithin3 += ec && engineTruePx <= 3.0;
        runtimeWithin3 += rc && runtimeTruePx <= 3.0;
        engineOff5 += ec && !(engineTruePx <= 5.0);
        runtimeOff5 += rc && !(runtimeTruePx <= 5.0);
        runtimeFarther += ec && rc && runtimeTruePx > engineTruePx + 0.1;
      }
      const json& report = turned.contains("report") ? turned["report"] : json::object();
      std::string road = turned.value("method", std::string("-"));
      road = road.substr(0, road.find('_'));
      if (report.contains("board_fit") && report["board_fit"].contains("start") && turned.value("method", "") != "LANDMARK_CAMERA_SOLVE") {
        road += "/" + report["board_fit"]["start"].get<std::string>();
      }
      const std::string name = path.substr(path.rfind('/') + 1);
      std::printf("%-12s %6s %6s %8.0f | %6s %6s %8.0f %-24s %-18s %8.2f %8.2f %8.2f %s\n",
                  name.substr(name.size() > 12 ? name.size() - 12 : 0).c_str(), yesNo(eb), yesNo(ec), engineMs, yesNo(rb), yesNo(rc), ms,
                  road.c_str(), report.value("rule", std::string("-")).substr(0, 18).c_str(), ringPx, engineTruePx, runtimeTruePx,
                  clickError.c_str());
      if (verbose) {
        std::fprintf(stderr, "  engine: %s\n  runtime board fit: %s\n", clicked.value("rejection", clicked.value("error", std::string())).c_str(),
                     report.contains("board_fit") ? report["board_fit"].dump().c_str() : "-");
      }
      if (!overlays.empty()) {
        cv::Mat overlay = image.clone();
        if (!engineRing.empty()) drawRing(overlay, engineRing, cv::Scalar(0, 0, 255));
        if (!runtimeRing.empty()) drawRing(overlay, runtimeRing, cv::Scalar(0, 255, 0));
        cv::circle(overlay, cv::Point2d(click.x, click.y), 8, cv::Scalar(255, 0, 0), -1, cv::LINE_AA);
        cv::imwrite(overlays + "/" + name.substr(0, name.rfind('.')) + ".png", overlay);
      }
    }
    std::sort(runtimeMs.begin(), runtimeMs.end());
    if (!labels.empty()) {
      std::printf("with the click, against the labelled ring: engine accepted within 3 px %d, more than 5 px off %d; runtime "
                  "accepted within 3 px %d, more than 5 px off %d; both accepted, the runtime farther by more than 0.1 px %d\n",
                  engineWithin3, engineOff5, runtimeWithin3, runtimeOff5, runtimeFarther);
    }
    std::printf("images %d: engine accepted %d without the click, %d with it; runtime accepted %d without, %d with "
                "(%d of the engine's %d)\n",
                images, engineBare, engineClick, runtimeBare, runtimeClick, runtimeWhereEngine, engineClick);
    std::printf("engine call slowest %.0f ms; runtime call (after the first) median %.0f ms, slowest %.0f ms\n", slowestEngine,
                runtimeMs.empty() ? 0.0 : runtimeMs[runtimeMs.size() / 2], slowestRuntime);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "calibrate_roads: %s\n", e.what());
    return 1;
  }
}
