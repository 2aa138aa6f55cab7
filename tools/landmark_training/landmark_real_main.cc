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
//       every labelled frame that carries its board's homography ("board_to_image", board mm with
//       the 20 at -y, as the board fit answers it) as training input: the letterboxed 640x640
//       network input and its landmarks (bull, wire crossings, sector numbers by position), one
//       "class cx cy w h" line each in input pixels, as landmark_render writes its boards
//   landmark_real measure --model FILE --labels LABELS.json --images DIR [--split NAME] [--overlays DIR] [--dump FILE]
//       each labelled photograph through the landmark detection and its camera solve as the
//       runtime's "calibrate" runs it: grade, crossings, and how far the solved 170 mm ring lies
//       from the labelled one (mean of the distances each way between the two curves);
//       with --overlays, each photograph with the solved board, its label and the detections;
//       with --dump, each solved camera's landmarks as a label's "landmarks" lines
// A label file is a JSON array of {"file", "repo", "path", "commit", "split", "source",
// "rings": [[[x, y] x 72], ...], optionally "board_to_image"}: every board the photograph
// shows whole enough to label.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <limits>
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
#include "tarv/autocal/landmark_model.h"
#include "tarv/autocal/landmark_overlay.h"
#include "tarv/autocal/model_container.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/core/engine_values.h"

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

// Distance from a point to a closed polyline.
double toCurve(cv::Point2d p, const std::vector<cv::Point2d>& curve) {
  double best = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < curve.size(); ++i) {
    const cv::Point2d a = curve[i], b = curve[(i + 1) % curve.size()];
    const cv::Point2d ab = b - a;
    const double len2 = ab.dot(ab);
    const double t = len2 > 0.0 ? std::clamp((p - a).dot(ab) / len2, 0.0, 1.0) : 0.0;
    best = std::min(best, cv::norm(p - (a + t * ab)));
  }
  return best;
}

double curveDistance(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b) {
  double sum = 0.0;
  for (const cv::Point2d& p : a) sum += toCurve(p, b);
  for (const cv::Point2d& p : b) sum += toCurve(p, a);
  return sum / static_cast<double>(a.size() + b.size());
}

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

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    int rc = 2;
    if (command == "fit") rc = fitCommand(argc, argv);
    else if (command == "ellipse") rc = ellipseCommand(argc, argv);
    else if (command == "measure") rc = measureCommand(argc, argv);
    else if (command == "write") rc = writeCommand(argc, argv);
    if (rc == 2) {
      std::fprintf(stderr,
                   "usage: landmark_real fit IMAGE CLICK_X CLICK_Y OVERLAY.png [H00 H01 ... H22]\n"
                   "       landmark_real ellipse IMAGE OVERLAY.png X Y X Y X Y X Y X Y [...]\n"
                   "       landmark_real write --labels LABELS.json --images DIR --out DIR [--split NAME]\n"
                   "       landmark_real measure --model FILE --labels LABELS.json --images DIR [--split NAME] [--overlays DIR] [--dump FILE]\n");
    }
    return rc;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "landmark_real: %s\n", e.what());
    return 1;
  }
}
