// Real webcam throws through tarv_call: each throw armed with its frames before the dart, then
// sent its frames with the dart, the whole frame's brightness scaled by one factor, each state
// several times as a host sends it. Prints per throw what the engine answered and the count of
// darts entered right, left unresolved and invented.
//
// usage: tarv_real_throws MANIFEST.json [--gain 0.85] [--frames 40] [--trace] [--only NAME]
//                         [--overlay DIR] (each camera's frame with the board drawn from its
//                         four crossings, to check them)
//                         [--runtime DIR] (through the runtime instead: file cameras playing
//                         the throw's videos, written into DIR; --frames does not apply)
// The manifest: {"dir": folder of the frames,
//   "placements": {"P": [[[x,y] x4] per camera]} or {"P": {"crossings": the same}} (outer
//                  double wire crossings 20/1, 6/10, 3/19, 11/14 in each camera's image),
//   "throws": [{"name": frame prefix, "placement": "P", "truth": "S17" or "?"}],
//   "before": "{name}_before_{cam}.jpg", "after": "{name}_after_{cam}.jpg", "cameras": [0,2,4]}
#include <cmath>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "tarv/tarv.h"

namespace {

using json = nlohmann::json;
constexpr double kPi = 3.14159265358979323846;
constexpr double kWireRadius = 170.0;

cv::Point2f wirePoint(int k) {
  const double a = (9.0 + 90.0 * k) * kPi / 180.0;
  return {static_cast<float>(kWireRadius * std::sin(a)), static_cast<float>(-kWireRadius * std::cos(a))};
}

cv::Matx33d homographyFromCrossings(const json& points) {
  std::vector<cv::Point2f> board, image;
  for (int k = 0; k < 4; ++k) {
    board.push_back(wirePoint(k));
    image.emplace_back(points.at(k).at(0).get<float>(), points.at(k).at(1).get<float>());
  }
  return cv::Matx33d(cv::getPerspectiveTransform(board, image));
}

std::string expand(std::string pattern, const std::string& name, int camera) {
  const auto replace = [&](const std::string& key, const std::string& value) {
    for (size_t at = pattern.find(key); at != std::string::npos; at = pattern.find(key)) pattern.replace(at, key.size(), value);
  };
  replace("{name}", name);
  replace("{cam}", std::to_string(camera));
  return pattern;
}

cv::Point project(const cv::Matx33d& h, double x, double y) {
  const cv::Vec3d p = h * cv::Vec3d(x, y, 1.0);
  return {static_cast<int>(std::lround(p[0] / p[2])), static_cast<int>(std::lround(p[1] / p[2]))};
}

void drawBoard(cv::Mat& image, const cv::Matx33d& h) {
  for (double r : {6.35, 15.9, 99.0, 107.0, 162.0, 170.0}) {
    std::vector<cv::Point> ring;
    for (int i = 0; i <= 180; ++i) ring.push_back(project(h, r * std::cos(i * kPi / 90.0), r * std::sin(i * kPi / 90.0)));
    cv::polylines(image, ring, false, {0, 255, 255}, 1, cv::LINE_AA);
  }
  for (int s = 0; s < 20; ++s) {
    const double a = (9.0 + 18.0 * s) * kPi / 180.0;
    cv::line(image, project(h, 15.9 * std::sin(a), -15.9 * std::cos(a)),
             project(h, 170.0 * std::sin(a), -170.0 * std::cos(a)), {0, 255, 255}, 1, cv::LINE_AA);
  }
  cv::circle(image, project(h, 0.0, -185.0), 4, {0, 0, 255}, -1);  // beyond the 20
}

std::string statusOf(const json& reply) {
  if (auto e = tarv::host::replyError(reply)) return "ERROR:" + *e;
  std::string s = reply.value("status", "?");
  const std::string reason = reply.value("reason", "");
  if (!reason.empty()) s += "/" + reason;
  return s;
}

json rows(const cv::Matx33d& h) {
  json m = json::array();
  for (int r = 0; r < 3; ++r) m.push_back({h(r, 0), h(r, 1), h(r, 2)});
  return m;
}

// The engine's own ring-edge refinement of the four-point homography on the frame before the
// dart; the four-point one where the refinement does not take.
cv::Matx33d refined(const cv::Mat& frame, const cv::Matx33d& initial, const std::string& name, int camera) {
  void* engine = tarv_create();
  json request = {{"command", "calibrate"}, {"images", json::array({tarv::host::imageDescriptor(frame)})},
                  {"initial", rows(initial)}};
  const json r = tarv::host::parseReply(tarv_call(engine, request.dump().c_str()));
  tarv_destroy(engine);
  const json rep = r.value("report", json::object());
  std::printf("%s cam %d calibrate: accepted %d refined %d shift %.1f rms %s %s\n", name.c_str(), camera,
              r.value("accepted", false), r.value("refined", false), rep.value("refinement_shift_px", -1.0),
              rep.value("rms_px", json()).dump().c_str(), r.value("rejection", json()).dump().c_str());
  if (!r.value("refined", false)) return initial;
  const json h = r.at("board_to_image");
  cv::Matx33d m;
  for (int i = 0; i < 9; ++i) m.val[i] = h.is_array() && h.size() == 3 ? h[i / 3][i % 3].get<double>() : h[i].get<double>();
  return m;
}

// What one throw's replies came to.
struct Outcome {
  std::string armed;                // the arming (or start) reply's status
  std::vector<std::string> fields;  // entered fields in order
  std::vector<std::string> runs;    // statuses, repeats folded
  int leftToPlayer = 0;
  int unresolvedCalls = 0;
  int firstEntryCall = -1;
};

void record(Outcome& o, const json& r, int call) {
  const std::string s = statusOf(r);
  if (o.runs.empty() || o.runs.back().rfind(s, 0) != 0) {
    o.runs.push_back(s + " x1");
  } else {
    const size_t x = o.runs.back().rfind(" x");
    o.runs.back() = s + " x" + std::to_string(std::stoi(o.runs.back().substr(x + 2)) + 1);
  }
  if (r.value("reason", "") == "UNRESOLVED_DART_LEFT_TO_PLAYER") ++o.leftToPlayer;
  if (r.value("status", "") == "POSITION_UNRESOLVED") ++o.unresolvedCalls;
  if (r.value("status", "") == "DART_CANDIDATE" || r.value("status", "") == "BOUNCER_CANDIDATE") {
    if (auto entries = tarv::host::replyEntries(r); entries && !entries->empty()) {
      o.fields.push_back(tarv::host::entryField(entries->back()));
      if (o.firstEntryCall < 0) o.firstEntryCall = call;
    }
  }
}

Outcome throughEngine(const std::vector<cv::Matx33d>& calibrations, const std::vector<cv::Mat>& before,
                      const std::vector<cv::Mat>& after, int frames, bool trace, const std::string& name) {
  Outcome o;
  void* engine = tarv_create();
  tarv::host::FrameClock clock;
  const json armed = tarv::host::parseReply(tarv_call(engine, tarv::host::armRequest(calibrations, before).dump().c_str()));
  o.armed = statusOf(armed) + armed.value("message", armed.value("detail", std::string()));
  for (int f = 0; f < frames; ++f) {
    const json r = tarv::host::parseReply(tarv_call(engine, clock.detectRequest(after).dump().c_str()));
    record(o, r, f);
    if (trace) std::printf("  %s %d %s\n", name.c_str(), f, r.dump().c_str());
  }
  tarv_destroy(engine);
  return o;
}

// The throw as file cameras give it to the runtime: each camera a video of the empty board, then
// the board with the dart, at 30 frames a second; the runtime started on the empty frames as its
// references and polled as a host polls it until the videos end (they would start again).
Outcome throughRuntime(const std::vector<cv::Matx33d>& calibrations, const std::vector<cv::Mat>& before,
                       const std::vector<cv::Mat>& after, const std::string& folder, bool trace) {
  constexpr int kFps = 30;
  constexpr double kEmptySeconds = 2.5, kDartSeconds = 3.0;
  Outcome o;
  std::filesystem::create_directories(folder);
  json devices = json::array(), references = json::array(), homographies = json::array();
  for (size_t c = 0; c < before.size(); ++c) {
    const std::string video = folder + "/cam-" + std::to_string(c) + ".avi";
    const std::string reference = folder + "/reference-" + std::to_string(c) + ".png";
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kFps, before[c].size());
    for (int f = 0; f < static_cast<int>(kEmptySeconds * kFps); ++f) writer.write(before[c]);
    for (int f = 0; f < static_cast<int>(kDartSeconds * kFps); ++f) writer.write(after[c]);
    writer.release();
    // The reference is the empty board as the video gives it, compressed as the live frames are.
    cv::Mat empty;
    cv::VideoCapture played(video);
    if (!played.read(empty) || !cv::imwrite(reference, empty)) {
      o.armed = "ERROR:cannot write " + folder;
      return o;
    }
    devices.push_back(video);
    references.push_back(reference);
    homographies.push_back(rows(calibrations[c]));
  }
  const json config = {{"width", before[0].cols}, {"height", before[0].rows}, {"fps", kFps}, {"devices", devices},
                       {"references", references}, {"calibrations", homographies}};
  void* runtime = tarv_runtime_create();
  const json started = tarv::host::parseReply(tarv_runtime_call(runtime, json({{"command", "start"}, {"config", config}}).dump().c_str()));
  o.armed = statusOf(started);
  if (!tarv::host::replyError(started)) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int>((kEmptySeconds + kDartSeconds) * 1000.0));
    int call = 0;
    while (std::chrono::steady_clock::now() < end) {
      const json reply = tarv::host::parseReply(tarv_runtime_call(runtime, "{\"command\":\"poll\"}"));
      if (trace) std::printf("  %d %s\n", call, reply.dump().substr(0, 400).c_str());
      if (tarv::host::replyError(reply)) {
        record(o, reply, call);
        break;
      }
      const json result = reply.value("result", json());
      if (reply.value("status", "") == "DETECTION" && result.is_object()) record(o, result, call);
      ++call;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  tarv_runtime_call(runtime, "{\"command\":\"stop\"}");
  tarv_runtime_destroy(runtime);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarv_real_throws MANIFEST.json [--gain G] [--frames N] [--trace] [--only NAME] [--overlay DIR] [--runtime DIR]\n");
    return 2;
  }
  double gain = 1.0;
  int frames = 40;
  bool trace = false;
  bool refine = false;
  std::string only, overlay, runtimeFolder;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--gain" && i + 1 < argc) gain = std::atof(argv[++i]);
    else if (a == "--frames" && i + 1 < argc) frames = std::atoi(argv[++i]);
    else if (a == "--trace") trace = true;
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else if (a == "--overlay" && i + 1 < argc) overlay = argv[++i];
    else if (a == "--refine") refine = true;
    else if (a == "--runtime" && i + 1 < argc) runtimeFolder = argv[++i];
  }
  std::ifstream in(argv[1]);
  const json manifest = json::parse(in);
  const std::string dir = manifest.at("dir").get<std::string>() + "/";
  const std::string beforePattern = manifest.value("before", "{name}_before_{cam}.jpg");
  const std::string afterPattern = manifest.value("after", "{name}_after_{cam}.jpg");
  const std::vector<int> cameras = manifest.value("cameras", std::vector<int>{0, 2, 4});

  int darts = 0, right = 0, unresolved = 0, invented = 0, wrong = 0, entered = 0;
  for (const json& t : manifest.at("throws")) {
    const std::string name = t.at("name").get<std::string>();
    if (!only.empty() && name.find(only) == std::string::npos) continue;
    const std::string truth = t.at("truth").get<std::string>();
    const json& placed = manifest.at("placements").at(t.at("placement").get<std::string>());
    const json& placement = placed.is_object() ? placed.at("crossings") : placed;
    std::vector<cv::Matx33d> calibrations;
    std::vector<cv::Mat> before, after;
    for (size_t c = 0; c < cameras.size(); ++c) {
      calibrations.push_back(homographyFromCrossings(placement.at(c)));
      before.push_back(cv::imread(dir + expand(beforePattern, name, cameras[c])));
      if (refine && !before.back().empty()) calibrations.back() = refined(before.back(), calibrations.back(), name, cameras[c]);
      cv::Mat a = cv::imread(dir + expand(afterPattern, name, cameras[c]));
      if (before.back().empty() || a.empty()) {
        std::fprintf(stderr, "%s: missing frames of camera %d\n", name.c_str(), cameras[c]);
        return 1;
      }
      if (!overlay.empty()) {
        cv::Mat o = a.clone();
        drawBoard(o, calibrations.back());
        cv::imwrite(overlay + "/" + name + "_" + std::to_string(cameras[c]) + ".png", o);
      }
      a.convertTo(a, -1, gain, 0.0);
      after.push_back(a);
    }
    const Outcome o = runtimeFolder.empty() ? throughEngine(calibrations, before, after, frames, trace, name)
                                            : throughRuntime(calibrations, before, after, runtimeFolder + "/" + name, trace);
    const std::vector<std::string>& fields = o.fields;
    const int leftToPlayer = o.leftToPlayer;
    ++darts;
    const bool isRight = fields.size() == 1 && fields[0] == truth && leftToPlayer == 0;
    if (isRight) ++right;
    if (fields.empty() && leftToPlayer > 0) ++unresolved;
    if (fields.size() + static_cast<size_t>(leftToPlayer) > 1) ++invented;
    if (!fields.empty()) ++entered;
    if (!fields.empty() && truth != "?" && fields[0] != truth) ++wrong;
    std::string got;
    for (const std::string& f : fields) got += f + " ";
    std::printf("%-22s truth %-4s armed %-40s entered [%s] at call %d, unresolved calls %d, left %d | ", name.c_str(),
                truth.c_str(), o.armed.substr(0, 40).c_str(), got.c_str(), o.firstEntryCall, o.unresolvedCalls, leftToPlayer);
    for (const std::string& run : o.runs) std::printf("%s; ", run.c_str());
    std::printf("\n");
  }
  std::printf("gain %.2f: %d darts, %d entered, %d right, %d unresolved, %d invented, %d wrong field (truth \"?\": not counted)\n",
              gain, darts, entered, right, unresolved, invented, wrong);
  return 0;
}
