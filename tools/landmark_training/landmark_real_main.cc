// Photographs of real boards for measuring the landmark network: labels and the measurement.
//   landmark_real fit IMAGE CLICK_X CLICK_Y OVERLAY.png [H00 H01 ... H22]
//       the board fit with a click on the 20 (or, given a board-to-image homography placed by
//       hand, that one refined by the ring edges); prints its homography and the 170 mm ring it
//       found (72 image points, a label line's "ring_px") and draws every ring and the 20 over
//       the image for checking by eye
//   landmark_real ellipse IMAGE OVERLAY.png X Y X Y X Y X Y X Y [...]
//       the 170 mm ring as the ellipse through five or more points placed on the double ring's
//       outer edge by hand, printed and drawn the same way
//   landmark_real write --labels LABELS.json --images DIR --out DIR [--split NAME]
//       every labelled frame that carries its landmarks ("landmarks": "class cx cy w h" lines in
//       image pixels) or its board's homography ("board_to_image", board mm with the 20 at -y,
//       as the board fit answers it) as training input: the letterboxed 640x640 network input
//       and its landmarks (bull, wire crossings, sector numbers by position), one "class cx cy w
//       h" line each in input pixels, as landmark_render writes its boards
//   landmark_real measure --model FILE --labels LABELS.json --images DIR [--split NAME] [--overlays DIR] [--dump FILE]
//       each labelled photograph through the landmark detection and its camera solve as the
//       runtime's "calibrate" runs it: grade, crossings, and how far the solved 170 mm ring lies
//       from the labelled one (mean of the distances each way between the two curves);
//       with --overlays, each photograph with the solved board, its label and the detections;
//       with --dump, each solved camera's landmarks as a label's "landmarks" lines
//   landmark_real calibrate --model FILE --set LABELS.json IMAGES_DIR [--set ...] [--split NAME] [--overlays DIR]
//       each labelled frame through the runtime's whole "calibrate" (calibrateFromImage, then
//       the click on the labelled 20 with confirmTwentyClick where the record has a geometry)
//       and through the engine's "calibrate" on the same frame (fitReducedBoardGeometry on the
//       frame reduced as the engine reduces it, with and without the click): per frame where
//       each lies, then per set (repository) and click a row: cameras accepted, within 3 px of
//       the label, accepted more than 5 px off (a wrong 20 counts as off), the slowest call, and
//       how many the engine accepts and how many of those the runtime's misses; "any_3px" counts
//       the cameras within 3 px whether accepted or not. A frame's distance "T2.10" is a camera
//       whose rings and bull lie 2.10 px from the label with its 20 turned elsewhere.
//       A camera's distance from its label is the larger of its ring's (at the label's radius)
//       and its bull's; real_frames.h describes the label file. With --overlays, each frame's
//       record after the click drawn over it (beside the label and the engine's fit), and the
//       record itself as JSON.
// A label file is a JSON array of {"file", "repo", "path", "commit", "split", "source",
// "rings": [[[x, y] x 72], ...], optionally "board_to_image" or "landmarks"}: every board the
// photograph shows whole enough to label.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "landmark_training/landmark_boards.h"
#include "scene/board_texture.h"
#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/colour_free.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/landmark_output.h"
#include "tarv/autocal/landmark_model.h"
#include "tarv/autocal/landmark_overlay.h"
#include "tarv/autocal/model_container.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/camera/calibration_overlay.h"
#include "tarv/camera/calibration_record.h"
#include "tarv/core/engine_values.h"
#include "tarv/engine/request_intake.h"
#include "landmark_training/real_frames.h"

namespace {

using json = nlohmann::json;
constexpr double kPi = 3.14159265358979323846;
constexpr int kRingPoints = 72;

std::vector<cv::Point2d> homographyRing(const tarv::Homography& h, double radius) {
  std::vector<cv::Point2d> out;
  for (int i = 0; i < kRingPoints; ++i) {
    const double a = i * 2.0 * kPi / kRingPoints;
    const tarv::Point2 p = tarv::applyHomography(h, {radius * std::cos(a), radius * std::sin(a)});
    out.emplace_back(p.x, p.y);
  }
  return out;
}

json ringJson(const std::vector<cv::Point2d>& ring) {
  json out = json::array();
  for (const cv::Point2d& p : ring) out.push_back({std::round(p.x * 100.0) / 100.0, std::round(p.y * 100.0) / 100.0});
  return out;
}

std::vector<cv::Point2d> ringFromJson(const json& ring) {
  std::vector<cv::Point2d> out;
  for (const json& p : ring) out.emplace_back(p.at(0).get<double>(), p.at(1).get<double>());
  return out;
}

void drawRing(cv::Mat& image, const std::vector<cv::Point2d>& ring, const cv::Scalar& colour) {
  std::vector<cv::Point> poly;
  for (const cv::Point2d& p : ring) poly.emplace_back(static_cast<int>(std::lround(p.x * 4)), static_cast<int>(std::lround(p.y * 4)));
  cv::polylines(image, std::vector<std::vector<cv::Point>>{poly}, true, colour, 1, cv::LINE_AA, 2);
}

using landmark_real::curveDistance;

int fitCommand(int argc, char** argv) {
  if (argc != 6 && argc != 15) return 2;
  const cv::Mat image = cv::imread(argv[2], cv::IMREAD_COLOR);
  if (image.empty()) throw std::runtime_error(std::string("cannot read ") + argv[2]);
  json request = {{"click_px", {std::stod(argv[3]), std::stod(argv[4])}}};
  if (argc == 15) {
    // A board placed by hand (a homography from points on it) refined by the ring edges.
    json h = json::array();
    for (int i = 6; i < 15; ++i) h.push_back(std::stod(argv[i]));
    request = {{"initial", json::array({json::array({h[0], h[1], h[2]}), json::array({h[3], h[4], h[5]}), json::array({h[6], h[7], h[8]})})}};
  }
  const json result = tarv::fitBoardGeometry(image, request);
  if (!result.contains("board_to_image")) {
    std::printf("%s\n", result.dump().c_str());
    return 1;
  }
  const tarv::Homography h = tarv::matrix3x3FromJson(result["board_to_image"]);
  cv::Mat overlay = image.clone();
  for (const double r : {6.35, 15.9, 99.0, 107.0, 162.0, 170.0}) drawRing(overlay, homographyRing(h, r), cv::Scalar(0, 255, 255));
  for (int k = 0; k < 20; ++k) {
    const double a = (9.0 + 18.0 * k) * kPi / 180.0;
    const tarv::Point2 p = tarv::applyHomography(h, {15.9 * std::cos(a), 15.9 * std::sin(a)});
    const tarv::Point2 q = tarv::applyHomography(h, {170.0 * std::cos(a), 170.0 * std::sin(a)});
    cv::line(overlay, cv::Point2d(p.x, p.y), cv::Point2d(q.x, q.y), cv::Scalar(0, 255, 255), 1, cv::LINE_AA);
  }
  // The 20 as the fit turned it (the board frame has it at -y), to check the turn by eye.
  const tarv::Point2 twenty = tarv::applyHomography(h, {0.0, -135.0});
  cv::circle(overlay, cv::Point2d(twenty.x, twenty.y), 6, cv::Scalar(0, 0, 255), -1, cv::LINE_AA);
  cv::imwrite(argv[5], overlay);
  std::printf("{\"accepted\": %s, \"refined\": %s, \"rejection\": %s, \"board_to_image\": %s, \"ring_px\": %s}\n",
              result.value("accepted", false) ? "true" : "false", result.value("refined", true) ? "true" : "false",
              result.value("rejection", json("")).dump().c_str(),
              result["board_to_image"].dump().c_str(), ringJson(homographyRing(h, 170.0)).dump().c_str());
  return 0;
}

int ellipseCommand(int argc, char** argv) {
  if (argc < 14 || argc % 2 != 0) return 2;
  const cv::Mat image = cv::imread(argv[2], cv::IMREAD_COLOR);
  if (image.empty()) throw std::runtime_error(std::string("cannot read ") + argv[2]);
  std::vector<cv::Point2f> points;
  for (int i = 4; i + 1 < argc; i += 2) points.emplace_back(std::stof(argv[i]), std::stof(argv[i + 1]));
  const cv::RotatedRect e = cv::fitEllipse(points);
  std::vector<cv::Point2d> ring;
  const double t = e.angle * kPi / 180.0;
  for (int i = 0; i < kRingPoints; ++i) {
    const double a = i * 2.0 * kPi / kRingPoints;
    const double x = 0.5 * e.size.width * std::cos(a), y = 0.5 * e.size.height * std::sin(a);
    ring.emplace_back(e.center.x + x * std::cos(t) - y * std::sin(t), e.center.y + x * std::sin(t) + y * std::cos(t));
  }
  cv::Mat overlay = image.clone();
  drawRing(overlay, ring, cv::Scalar(0, 255, 255));
  for (const cv::Point2f& p : points) cv::circle(overlay, p, 2, cv::Scalar(255, 0, 255), -1, cv::LINE_AA);
  cv::imwrite(argv[3], overlay);
  std::printf("{\"ring_px\": %s}\n", ringJson(ring).dump().c_str());
  return 0;
}

// The landmarks a board shows in an image of the given size where `at` puts a point of the
// landmark frame (the 20 at +y), as the renders label them: the bull with the box of its outer
// ring, every wire crossing in the image, and the sector numbers by position.
std::vector<tarv::landmark_boards::Landmark> boardLandmarks(const std::function<cv::Point2d(double, double)>& at, cv::Size size) {
  auto inside = [size](cv::Point2d p, double margin) {
    return p.x >= margin && p.y >= margin && p.x <= size.width - 1 - margin && p.y <= size.height - 1 - margin;
  };
  std::vector<tarv::landmark_boards::Landmark> out;
  const cv::Point2d bull = at(0.0, 0.0);
  const double mmPx = cv::norm(at(10.0, 0.0) - bull) / 10.0;
  if (inside(bull, 2.0)) {
    double extent = 0.0;
    for (int i = 0; i < 8; ++i) extent = std::max(extent, cv::norm(at(15.9 * std::cos(i * kPi / 4.0), 15.9 * std::sin(i * kPi / 4.0)) - bull));
    out.push_back({0, bull, {2.0 * extent, 2.0 * extent}});
  }
  for (const cv::Point3d& c : tarv::referenceCrossings()) {
    const cv::Point2d p = at(c.x, c.y);
    if (inside(p, 1.0)) out.push_back({1, p, {4.0 * mmPx, 4.0 * mmPx}});
  }
  for (int n = 0; n < 20; ++n) {
    const double a = (90.0 - 18.0 * n) * kPi / 180.0;
    const cv::Point2d p = at(tarv::scene::kNumberRadius * std::cos(a), tarv::scene::kNumberRadius * std::sin(a));
    if (inside(p, 4.0)) out.push_back({2 + n, p, {16.0 * mmPx, 16.0 * mmPx}});
  }
  return out;
}

// The same through a board-to-image homography (board mm, the 20 at -y).
std::vector<tarv::landmark_boards::Landmark> homographyLandmarks(const tarv::Homography& h, cv::Size size) {
  return boardLandmarks(
      [&h](double x, double y) {
        const tarv::Point2 p = tarv::applyHomography(h, {x, -y});
        return cv::Point2d(p.x, p.y);
      },
      size);
}

int writeCommand(int argc, char** argv) {
  std::string labelsPath, folder, out, split;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--labels") labelsPath = argv[i + 1];
    else if (a == "--images") folder = argv[i + 1];
    else if (a == "--out") out = argv[i + 1];
    else if (a == "--split") split = argv[i + 1];
    else return 2;
  }
  if (labelsPath.empty() || folder.empty() || out.empty()) return 2;
  std::ifstream in(labelsPath);
  const json labels = json::parse(in);
  int written = 0;
  for (const json& label : labels) {
    if (!(label.contains("board_to_image") || label.contains("landmarks")) || (!split.empty() && label.value("split", "") != split)) continue;
    const std::string file = label.at("file").get<std::string>();
    const cv::Mat image = cv::imread(folder + "/" + file, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read " + folder + "/" + file);
    double s = 1.0;
    const cv::Mat input = tarv::landmark_boards::letterbox(image, 640, &s);
    std::string name = file.substr(0, file.rfind('.'));
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string base = out + "/" + name;
    if (!cv::imwrite(base + ".jpg", input, {cv::IMWRITE_JPEG_QUALITY, 95})) throw std::runtime_error("cannot write " + base);
    std::ofstream lines(base + ".txt");
    std::vector<tarv::landmark_boards::Landmark> marks;
    if (label.contains("landmarks")) {
      for (const json& l : label.at("landmarks"))
        marks.push_back({l.at(0).get<int>(), {l.at(1).get<double>(), l.at(2).get<double>()}, {l.at(3).get<double>(), l.at(4).get<double>()}});
    } else {
      marks = homographyLandmarks(tarv::matrix3x3FromJson(label.at("board_to_image")), image.size());
    }
    for (const auto& l : marks) {
      lines << l.cls << ' ' << l.centre.x * s << ' ' << l.centre.y * s << ' ' << l.size.width * s << ' ' << l.size.height * s << '\n';
    }
    ++written;
  }
  std::printf("%d frames written\n", written);
  return 0;
}

int measureCommand(int argc, char** argv) {
  std::string modelPath, labelsPath, folder, split, overlays, dumpPath;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--model") modelPath = argv[i + 1];
    else if (a == "--dump") dumpPath = argv[i + 1];
    else if (a == "--labels") labelsPath = argv[i + 1];
    else if (a == "--images") folder = argv[i + 1];
    else if (a == "--split") split = argv[i + 1];
    else if (a == "--overlays") overlays = argv[i + 1];
    else return 2;
  }
  if (modelPath.empty() || labelsPath.empty() || folder.empty()) return 2;
  std::ifstream in(labelsPath);
  const json labels = json::parse(in);
  std::string key = tarv::buildModelKeyString();
  tarv::LandmarkModel model = tarv::loadBoardModel(modelPath, key);
  key.assign(key.size(), '\0');
  std::printf("%-28s %9s %5s %6s %7s %8s %7s %7s %8s %s\n", "file", "size", "grade", "found", "matched", "ring_px", "ms",
              "cpu_ms", "off_tint", "reason");
  int images = 0, cameras = 0, green = 0, within1 = 0, within3 = 0, greenOff = 0, colourFree = 0, readColourFree = 0;
  std::vector<double> wallMs;
  json dump = json::array();
  for (const json& label : labels) {
    if (!split.empty() && label.value("split", "") != split) continue;
    const std::string file = label.at("file").get<std::string>();
    const cv::Mat image = cv::imread(folder + "/" + file, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read " + folder + "/" + file);
    ++images;
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    const tarv::LandmarkSolution s = tarv::detectBoardLandmarks(model, image);
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    wallMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count());
    // Measured again outside the call's clocks: the call's own measure is not reported.
    const double offTint = tarv::offTintShare(image);
    colourFree += offTint < tarv::kColourFreeShare;
    readColourFree += s.colourFree;
    double ringPx = std::numeric_limits<double>::quiet_NaN();
    if (s.ok) {
      ++cameras;
      std::vector<cv::Point2d> solved;
      for (int i = 0; i < kRingPoints; ++i) {
        const double a = i * 2.0 * kPi / kRingPoints;
        solved.push_back(tarv::projectSolutionPoint(s, {170.0 * std::cos(a), 170.0 * std::sin(a)}));
      }
      for (const json& ring : label.at("rings")) {
        const double d = curveDistance(solved, ringFromJson(ring));
        if (!(d >= ringPx)) ringPx = d;
      }
      if (ringPx <= 1.0) ++within1;
      if (ringPx <= 3.0) ++within3;
      if (s.grade == 0) {
        ++green;
        if (!(ringPx <= 5.0)) ++greenOff;
      }
    }
    if (!dumpPath.empty() && s.ok) {
      // The solved camera's landmarks (its lens included), for labels checked against the fit.
      json marks = json::array();
      const auto at = [&s](double x, double y) { return tarv::projectSolutionPoint(s, {x, y}); };
      for (const auto& l : boardLandmarks(at, image.size()))
        marks.push_back({l.cls, std::round(l.centre.x * 100) / 100, std::round(l.centre.y * 100) / 100, l.size.width, l.size.height});
      std::vector<cv::Point2d> ring;
      for (int i = 0; i < kRingPoints; ++i) ring.push_back(at(170.0 * std::cos(i * 2.0 * kPi / kRingPoints), 170.0 * std::sin(i * 2.0 * kPi / kRingPoints)));
      dump.push_back({{"file", file}, {"grade", s.grade}, {"ring_error_px", ringPx}, {"ring_px", ringJson(ring)}, {"landmarks", marks}});
    }
    if (!overlays.empty()) {
      // The solved board (the solution's colours), the labelled rings (magenta) and the
      // network's own crossings (cyan) and bulls (red), for looking at a failure.
      cv::Mat overlay = image.clone();
      tarv::drawLandmarkOverlay(overlay, s);
      for (const json& ring : label.at("rings")) drawRing(overlay, ringFromJson(ring), cv::Scalar(255, 0, 255));
      const tarv::LandmarkDetections kept =
          tarv::runLandmarkNetwork(model, s.colourFree ? tarv::greyCopy(image) : image, s.colourFree);
      for (size_t j = 0; j < kept.classes.size(); ++j) {
        if (kept.classes[j] == 1 && kept.scores[j] > 0.25f) cv::circle(overlay, kept.centres[j], 2, cv::Scalar(255, 255, 0), -1, cv::LINE_AA);
        if (kept.classes[j] == 0 && kept.scores[j] > 0.1f) cv::circle(overlay, kept.centres[j], 4, cv::Scalar(0, 0, 255), 1, cv::LINE_AA);
      }
      cv::imwrite(overlays + "/" + file.substr(0, file.rfind('.')) + ".png", overlay);
    }
    char size[32];
    std::snprintf(size, sizeof(size), "%dx%d", image.cols, image.rows);
    std::printf("%-28s %9s %5s %6d %7d %8.2f %7.0f %7.0f %7.5f%s %s\n", file.c_str(), size,
                s.ok ? (s.grade == 0 ? "green" : s.grade == 1 ? "yellow" : "red") : "-", s.crossingsDetected, s.crossingsMatched,
                ringPx, wallMs.back(), cpuMs, offTint, offTint < tarv::kColourFreeShare ? "*" : " ", s.reason.c_str());
  }
  if (!dumpPath.empty()) std::ofstream(dumpPath) << dump.dump() << '\n';
  std::printf("images %d: camera %d, green (accepted) %d, ring within 1 px %d, within 3 px %d, green but more than 5 px off %d\n",
              images, cameras, green, within1, within3, greenOff);
  std::printf("without colour (*) %d, read by the network for them %d\n", colourFree, readColourFree);
  if (!wallMs.empty()) {
    std::vector<double> sorted = wallMs;
    std::sort(sorted.begin(), sorted.end());
    const long over = std::count_if(sorted.begin(), sorted.end(), [](double ms) { return ms >= 1000.0; });
    std::printf("landmark call: median %.0f ms, slowest %.0f ms, %ld of %zu at 1 s or more\n", sorted[sorted.size() / 2],
                sorted.back(), over, sorted.size());
  }
  return 0;
}

// One frame's calibrations under one click condition.
struct Outcome {
  bool accepted = false;
  landmark_real::Placement place;
  std::string note;
};

struct Tally {
  int frames = 0, accepted = 0, within3 = 0, over5 = 0, engineAccepted = 0, engineWithin3 = 0, engineOver5 = 0, misses = 0;
  // Cameras within 3 px whether accepted or not: how near the grading's refusals lie.
  int near = 0, engineNear = 0;
  double slowestMs = 0.0;
  void add(const Outcome& runtime, const Outcome& engine, double ms) {
    ++frames;
    slowestMs = std::max(slowestMs, ms);
    const double off = runtime.place.offPx(), engineOff = engine.place.offPx();
    near += off <= 3.0;
    engineNear += engineOff <= 3.0;
    if (runtime.accepted) {
      ++accepted;
      within3 += off <= 3.0;
      over5 += !(off <= 5.0);
    }
    if (engine.accepted) {
      ++engineAccepted;
      engineWithin3 += engineOff <= 3.0;
      engineOver5 += !(engineOff <= 5.0);
      misses += !runtime.accepted;
    }
  }
};

std::string offText(const Outcome& o) {
  char text[32];
  const double off = o.place.offPx();
  if (!o.place.geometry) return "-";
  // A wrong 20 is marked, with how far its rings and bull lie all the same.
  const double placed = std::max(o.place.ringPx, o.place.bullPx);
  if (!o.place.twentyRight) {
    std::snprintf(text, sizeof(text), "T%.2f", placed);
    return text;
  }
  if (std::isinf(off)) return "far";
  std::snprintf(text, sizeof(text), "%.2f", off);
  return text;
}

std::string recordNote(const tarv::CalibrationRecord& r) {
  const json report = r.is_object() && r.contains("report") && r["report"].is_object() ? r["report"] : json::object();
  std::string note = r.value("method", std::string("-"));
  for (const char* key : {"rule", "reason"}) {
    const std::string text = report.value(key, std::string());
    if (!text.empty()) note += " " + text;
  }
  return note;
}

Outcome runtimeOutcome(const tarv::CalibrationRecord& r, const landmark_real::RealLabel& label) {
  Outcome o;
  o.accepted = r.value("accepted", false);
  o.place = landmark_real::placeRecord(r, label);
  o.note = recordNote(r);
  return o;
}

Outcome engineOutcome(const cv::Mat& image, const landmark_real::RealLabel& label, bool click, double& ms) {
  Outcome o;
  const auto start = std::chrono::steady_clock::now();
  try {
    // As the engine takes a "calibrate" request: the frame reduced to its working size, the
    // click in the frame's own pixels.
    const double scale = tarv::calibrationScale({image});
    const cv::Mat reduced = scale < 1.0 ? tarv::reduceImages({image}, scale)[0] : image;
    json request = json::object();
    if (click) request["click_px"] = {label.click()->x, label.click()->y};
    const json fit = tarv::fitReducedBoardGeometry(reduced, request, scale);
    o.accepted = fit.value("accepted", false);
    if (fit.contains("board_to_image") && fit["board_to_image"].is_array()) {
      o.place = landmark_real::placeHomography(tarv::matrix3x3FromJson(fit["board_to_image"]), label);
    }
    const json why = fit.contains("rejection") ? fit["rejection"] : fit.value("error", json());
    o.note = why.is_string() ? why.get<std::string>() : std::string();
  } catch (const std::exception& e) {
    o.note = std::string("ERROR ") + e.what();
  }
  ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return o;
}

void drawLabel(cv::Mat& overlay, const landmark_real::RealLabel& label) {
  for (const auto& ring : label.rings) drawRing(overlay, ring, cv::Scalar(255, 0, 255));
  for (const cv::Point2d& b : label.bulls) cv::circle(overlay, b, 3, cv::Scalar(255, 0, 255), 1, cv::LINE_AA);
  for (const cv::Point2d& t : label.twenties) cv::drawMarker(overlay, t, cv::Scalar(255, 0, 255), cv::MARKER_CROSS, 12, 1, cv::LINE_AA);
}

int calibrateCommand(int argc, char** argv) {
  std::string modelPath, split, overlays;
  std::vector<std::pair<std::string, std::string>> sets;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--set" && i + 2 < argc) {
      sets.emplace_back(argv[i + 1], argv[i + 2]);
      i += 2;
    } else if (i + 1 >= argc) {
      return 2;
    } else if (a == "--model") {
      modelPath = argv[++i];
    } else if (a == "--split") {
      split = argv[++i];
    } else if (a == "--overlays") {
      overlays = argv[++i];
    } else {
      return 2;
    }
  }
  if (modelPath.empty() || sets.empty()) return 2;
  std::unique_ptr<tarv::LandmarkModel> holder;
  // The model loads on the first call; loaded here, before the clocks run, the times are the
  // calls' own.
  tarv::calibrateFromImage(holder, modelPath, cv::Mat(480, 640, CV_8UC3, cv::Scalar(128, 128, 128)));
  std::map<std::string, Tally> plainRows, clickRows;
  std::vector<std::string> order;
  std::printf("%-24s %-6s | %-4s %7s %-50s | %-4s %7s | %-4s %7s %-30s | %-4s %7s | %7s\n", "file (its end)", "ring", "acc", "off_px",
              "runtime (method, reason)", "acc", "click", "eng", "off_px", "engine (rejection)", "eng", "click", "ms");
  for (const auto& [labelsPath, folder] : sets) {
    std::ifstream in(labelsPath);
    if (!in) throw std::runtime_error("cannot read " + labelsPath);
    for (const landmark_real::RealLabel& label : landmark_real::readRealLabels(json::parse(in))) {
      if (!split.empty() && label.split != split) continue;
      const cv::Mat image = cv::imread(folder + "/" + label.file, cv::IMREAD_COLOR);
      if (image.empty()) throw std::runtime_error("cannot read " + folder + "/" + label.file);
      if (plainRows.find(label.repo) == plainRows.end()) order.push_back(label.repo);

      tarv::CalibrationRecord record;
      const auto start = std::chrono::steady_clock::now();
      try {
        record = tarv::calibrateFromImage(holder, modelPath, image);
      } catch (const std::exception& e) {
        record = {{"accepted", false}, {"geometry_valid", false}, {"method", std::string("ERROR ") + e.what()}};
      }
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      // The runtime's click: the stored record turned where it has a geometry (a refused click
      // leaves it as it was); without one the runtime calibrates the image again, as the first
      // call did.
      // With more than one board in view the tap goes to the 20 of the board the record shows.
      const Outcome plain = runtimeOutcome(record, label);
      const std::optional<cv::Point2d> tap = label.click(plain.place.board);
      tarv::CalibrationRecord turned = record;
      double clickMs = ms;
      std::string clickNote;
      if (tap && record.value("geometry_valid", false)) {
        const auto clickStart = std::chrono::steady_clock::now();
        try {
          turned = tarv::confirmTwentyClick(record, {tap->x, tap->y});
        } catch (const std::exception& e) {
          clickNote = e.what();
        }
        clickMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - clickStart).count();
      }
      double engineMs = 0.0, engineClickMs = 0.0;
      const Outcome engine = engineOutcome(image, label, false, engineMs);
      plainRows[label.repo].add(plain, engine, ms);
      Outcome clicked, engineClicked;
      if (label.click()) {
        clicked = runtimeOutcome(turned, label);
        engineClicked = engineOutcome(image, label, true, engineClickMs);
        clickRows[label.repo].add(clicked, engineClicked, clickMs);
      }
      const std::string shown = label.file.size() > 24 ? label.file.substr(label.file.size() - 24) : label.file;
      std::printf("%-24s %6.1f | %-4s %7s %-50s | %-4s %7s | %-4s %7s %-30s | %-4s %7s | %7.0f  %s\n",
                  shown.c_str(), label.ringMm, plain.accepted ? "yes" : "no", offText(plain).c_str(),
                  plain.note.substr(0, 50).c_str(), label.click() ? (clicked.accepted ? "yes" : "no") : "",
                  label.click() ? offText(clicked).c_str() : "", engine.accepted ? "yes" : "no", offText(engine).c_str(),
                  engine.note.substr(0, 30).c_str(), label.click() ? (engineClicked.accepted ? "yes" : "no") : "",
                  label.click() ? offText(engineClicked).c_str() : "", ms,
                  (clickNote.empty() ? engineClicked.note : "click: " + clickNote).substr(0, 60).c_str());
      if (label.click() && !clicked.accepted) std::printf("    runtime with the click: %s\n", clicked.note.c_str());
      std::fflush(stdout);
      if (!overlays.empty()) {
        // The runtime's record with the click (its own colours), the label (magenta) and the
        // engine's fit with the click (cyan rings).
        cv::Mat overlay = turned.value("geometry_valid", false) ? tarv::drawCalibrationOverlay(image, turned) : image.clone();
        drawLabel(overlay, label);
        if (engineClicked.place.geometry && !engineClicked.place.twentyRight) cv::putText(overlay, "engine 20 turned", {10, 30}, cv::FONT_HERSHEY_SIMPLEX, 0.8, cv::Scalar(255, 255, 0), 2);
        const std::filesystem::path to = overlays + "/" + label.file.substr(0, label.file.rfind('.')) + ".png";
        std::filesystem::create_directories(to.parent_path());
        cv::imwrite(to.string(), overlay);
        std::ofstream(std::filesystem::path(to).replace_extension(".json")) << turned.dump(1) << "\n";
      }
    }
  }
  std::printf("\n%-40s %-5s %6s %8s %10s %8s %10s %8s | %6s %10s %8s %8s %14s\n", "set", "click", "frames", "accepted",
              "within_3px", "over_5px", "slowest_ms", "any_3px", "engine", "within_3px", "over_5px", "any_3px", "runtime_misses");
  for (const std::string& repo : order) {
    for (const bool click : {false, true}) {
      const auto& rows = click ? clickRows : plainRows;
      const auto it = rows.find(repo);
      if (it == rows.end()) continue;
      const Tally& t = it->second;
      std::printf("%-40s %-5s %6d %8d %10d %8d %10.0f %8d | %6d %10d %8d %8d %14d\n", repo.substr(0, 40).c_str(),
                  click ? "yes" : "no", t.frames, t.accepted, t.within3, t.over5, t.slowestMs, t.near, t.engineAccepted,
                  t.engineWithin3, t.engineOver5, t.engineNear, t.misses);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    int rc = 2;
    if (command == "fit") rc = fitCommand(argc, argv);
    else if (command == "ellipse") rc = ellipseCommand(argc, argv);
    else if (command == "measure") rc = measureCommand(argc, argv);
    else if (command == "write") rc = writeCommand(argc, argv);
    else if (command == "calibrate") rc = calibrateCommand(argc, argv);
    if (rc == 2) {
      std::fprintf(stderr,
                   "usage: landmark_real fit IMAGE CLICK_X CLICK_Y OVERLAY.png [H00 H01 ... H22]\n"
                   "       landmark_real ellipse IMAGE OVERLAY.png X Y X Y X Y X Y X Y [...]\n"
                   "       landmark_real write --labels LABELS.json --images DIR --out DIR [--split NAME]\n"
                   "       landmark_real measure --model FILE --labels LABELS.json --images DIR [--split NAME] [--overlays DIR] [--dump FILE]\n"
                   "       landmark_real calibrate --model FILE --set LABELS.json IMAGES_DIR [--set ...] [--split NAME] [--overlays DIR]\n");
    }
    return rc;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "landmark_real: %s\n", e.what());
    return 1;
  }
}
