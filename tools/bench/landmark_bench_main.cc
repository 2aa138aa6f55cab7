// The landmark camera solve on rendered cameras whose scripted network reports what each
// camera shows, with jitter on the crossing centres: matched crossings, RMS, focal length,
// the fitted 170 mm ring and the 20's pixel against the scene's truth, and the time of one
// detection. Three groups: whole renders, long lenses (3.4 to 3.8 image widths) and
// photographs cut to the board (the optical centre off the image's centre). A camera is
// accepted when its grade is green or yellow (yellow turns green with the click on the 20).
//   tarv_landmark_bench [--noise PX]
//   tarv_landmark_bench --model FILE [--boards N] [--first-seed S] [--crossing-check]
// With --model it runs the real network instead, on rendered boards that its training never
// saw (cameras 10 to 60 degrees above the board, half of them in a board look kept out of
// the training): per board the grade, crossings, the solved 170 mm ring against the true one
// and the detection time; then the shares the model must reach. --crossing-check instead lists
// per board how far the network's crossings lie from the true ones before and after they were
// moved onto the image's wires about the solved camera.
//   tarv_landmark_bench --model FILE --diagnose [--above LO HI] [--no-lens] [--rig] [--boards N] [--first-seed S] [--seed S ...] [--dump DIR]
// --diagnose lists per board (the seeds given, or the records' seeds) where the landmark solve
// goes wrong: the network's crossings and bull against the truth, the true camera's matches and
// the camera solved from it, the first stage of starts, and the solve's camera (runDiagnose).
//   tarv_landmark_bench --model FILE --records [--above LO HI] [--blur LO HI] [--no-lens] [--rig] [--off-centre PX] [--size W H [--fill LO HI]] [--wire-height MM] [--engine] [--boards N] [--first-seed S]
// --records runs the runtime's whole automatic calibration of one camera (both roads), then the
// click on the 20 at its true image point, and judges each record's 170 mm ring against the
// true one: accepted within 1 px, accepted more than 5 px off, and calls that failed; and the
// whole call's time (mean, median, slowest). --no-lens renders the same boards without the
// lens's bend (k1 0). --rig renders boards as a three-camera rig's cameras show them when
// empty: 800x600, wide lenses (k1 -0.35 to -0.1), 40 to 50 degrees above the board (unless
// --above says otherwise), the board 0.8 to 1.0 of the frame, lit by an LED ring round the
// lens, in the renderer's rig look (other makes, a catch ring, the camera's electronics), no darts.
// --off-centre cuts each image from a render of the same camera on a larger sensor, the window
// PX across and 0.6 PX down off the middle (sides alternating), so its optical centre lies off
// the image's middle as in a webcam's window of its sensor or a cropped photograph; the board
// is drawn smaller by the shift to stay in view.
// --size renders every board on a W x H image, the board spanning LO to HI of it (0.8 to 1.0
// unless --fill says otherwise): boards seen large, as 1080p webcams close to the board show
// them, a board mm over two pixels and more.
// --wire-height stands the board's wires MM off its face, as a real board's spider stands (the
// renders otherwise paint them flat): seen from the side, each wire is drawn where its height puts
// it, over the beds behind it. The truth stays the face's own rings.
// --engine adds the engine's "calibrate" with the same click per board (accepted, its ring against
// the true one) and counts the boards it accepts that the runtime's call does not, or fits closer.
// --grey turns every rendered board grey (three equal channels), as a grey or infrared camera
// shows it, for the network for images without colour (the model file's "_mono" neighbour).
// Both modes count the images the detection takes to be without colour.
//   tarv_landmark_bench --colour-check [--records] [--above LO HI] [--blur LO HI] [--rig] [--grey] [--boards N] [--first-seed S]
// renders the same boards and prints only each one's off-tint share (no network).
#include <algorithm>
#include <chrono>
#include <memory>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "landmark_training/landmark_boards.h"
#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/bull_point.h"
#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/colour_free.h"
#include "tarv/autocal/crossing_refinement.h"
#include "tarv/autocal/landmark_output.h"
#include "tarv/autocal/pose_hypotheses.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/camera/calibration_record.h"

namespace {

using namespace tarv;

struct Case {
  const char* group;
  int width, height;
  double azimuth, elevation, k1;
  bool numbers = true;
  double focalWidths = 0.0;  // 0: fitted to the board
  double distanceMm = 560.0;
  cv::Point2d aimMm{0.0, 0.0};
  bool cropped = false;
};

std::vector<Case> cases() {
  std::vector<Case> out = {
      {"render", 1280, 720, 215, 40, -0.06},  {"render", 1280, 720, 150, 55, -0.10}, {"render", 1280, 720, 300, 30, 0.00},
      {"render", 1280, 720, 20, 60, -0.15},   {"render", 1920, 1080, 215, 40, -0.06}, {"render", 1920, 1080, 100, 50, -0.03},
      {"render", 1280, 720, 215, 40, -0.06, false}, {"render", 800, 600, 250, 45, -0.08}, {"render", 800, 800, 75, 35, -0.02}};
  for (const double f : {3.4, 3.6, 3.8, 3.5}) {
    Case c{"long_lens", 1280, 720, 40.0 + 70.0 * f, 30.0 + 50.0 * (f - 3.4), 0.0};
    c.focalWidths = f;
    c.distanceMm = 2700.0;
    out.push_back(c);
  }
  const cv::Point2d aims[] = {{-90, -60}, {80, -70}, {-60, 90}, {110, 50}, {0, -110}, {-120, 20}};
  for (int i = 0; i < 6; ++i) {
    Case c{"cropped", 1600, 1200, 60.0 * i + 25.0, 30.0 + 5.0 * i, i % 2 == 0 ? -0.04 : 0.0};
    c.focalWidths = 0.75 + 0.1 * i;
    c.distanceMm = 900.0;
    c.aimMm = aims[i];
    c.cropped = true;
    out.push_back(c);
  }
  return out;
}

int runModel(const std::string& path, int boards, unsigned long long firstSeed, bool grey) {
  using namespace tarv;
  namespace lb = landmark_boards;
  std::string key = buildModelKeyString();
  LandmarkModel model = loadBoardModel(path, key);
  key.assign(key.size(), '\0');
  std::printf("%8s %9s %5s %4s %5s %8s %8s %8s %6s %5s %8s %8s\n", "seed", "size", "above", "look", "grade", "found",
              "matched", "ring_px", "turned", "sure", "model_ms", "total_ms");
  int within = 0, green = 0, acceptedOff = 0, solved = 0, colourFree = 0;
  double worstAccepted = 0.0, modelMs = 0.0, totalMs = 0.0;
  std::vector<double> modelTimes;
  for (int k = 0; k < boards; ++k) {
    const unsigned long long seed = firstSeed + static_cast<unsigned long long>(k);
    lb::SampleOptions options;
    if (k % 2 == 1) options.look = lb::kHeldOutLook;
    lb::BoardSample sample = lb::renderBoardSample(seed, options);
    if (grey) sample.image = greyCopy(sample.image);
    colourFree += isColourFree(sample.image);
    const lb::BoardCheck c = lb::checkBoard(model, sample);
    solved += c.ok;
    within += c.ok && c.ringErrorPx <= 1.0;
    green += c.grade == 0;
    if (c.grade == 0) {
      worstAccepted = std::max(worstAccepted, c.ringErrorAsSolvedPx);
      acceptedOff += c.ringErrorAsSolvedPx > 5.0;
    }
    modelTimes.push_back(c.modelMs);
    modelMs += c.modelMs;
    totalMs += c.totalMs;
    std::printf("%8llu %4dx%-4d %5.1f %4s %5d %4d/%-3d %8d %8.2f %6s %5s %8.1f %8.1f\n", seed, sample.cameraSpec.image_size.width,
                sample.cameraSpec.image_size.height, 90.0 - sample.cameraSpec.elevation_deg, options.look < 0 ? "train" : "held",
                c.grade, c.detected, c.inImage, c.matched, c.ringErrorPx, c.ok ? (c.orientationRight ? "no" : "yes") : "-",
                c.twentySure ? "yes" : "no", c.modelMs, c.totalMs);
  }
  std::sort(modelTimes.begin(), modelTimes.end());
  const double n = std::max(boards, 1);
  std::printf("boards %d  camera found %d  ring within 1 px %d (%.0f %%)  green %d (%.0f %%)  green more than 5 px off %d "
              "(worst %.2f px)  detection ms mean %.1f median %.1f  whole call ms mean %.1f\n",
              boards, solved, within, 100.0 * within / n, green, 100.0 * green / n, acceptedOff, worstAccepted,
              modelMs / n, modelTimes.empty() ? 0.0 : modelTimes[modelTimes.size() / 2], totalMs / n);
  std::printf("images without colour %d of %d\n", colourFree, boards);
  return 0;
}

// Per board: the network's crossings that the solved camera matches, their mean distance from
// the nearest true crossing, and the same after they were moved onto the image's wires.
int runCrossingCheck(const std::string& path, int boards, unsigned long long firstSeed) {
  namespace lb = landmark_boards;
  std::string key = buildModelKeyString();
  LandmarkModel model = loadBoardModel(path, key);
  key.assign(key.size(), '\0');
  std::printf("%8s %5s %7s %7s %9s %9s %9s %9s\n", "seed", "above", "matched", "refined", "net_px", "moved_px", "net_p90",
              "moved_p90");
  for (int k = 0; k < boards; ++k) {
    const unsigned long long seed = firstSeed + static_cast<unsigned long long>(k);
    lb::SampleOptions options;
    if (k % 2 == 1) options.look = lb::kHeldOutLook;
    const lb::BoardSample sample = lb::renderBoardSample(seed, options);
    const LandmarkSolution s = detectBoardLandmarks(model, sample.image);
    if (!s.ok) continue;
    const LandmarkDetections kept = runLandmarkNetwork(model, sample.image);
    const std::vector<cv::Point2d> crossings = keptCrossings(kept);
    std::vector<cv::Point2d> truth;
    for (const lb::Landmark& l : sample.landmarks) {
      if (l.cls == 1) truth.push_back(l.centre);
    }
    const RefinedCrossings r = refineCrossingsOnWires(sample.image, cameraFromSolution(s), crossings, 0.35);
    auto nearest = [&](cv::Point2d p) {
      double best = 1e9;
      for (const cv::Point2d& t : truth) best = std::min(best, cv::norm(p - t));
      return best;
    };
    std::vector<double> before, after;
    for (size_t i = 0; i < crossings.size(); ++i) {
      if (r.crossings[i] == crossings[i]) continue;
      before.push_back(nearest(crossings[i]));
      after.push_back(nearest(r.crossings[i]));
    }
    auto mean = [](const std::vector<double>& v) {
      double sum = 0.0;
      for (double x : v) sum += x;
      return v.empty() ? std::nan("") : sum / static_cast<double>(v.size());
    };
    auto p90 = [](std::vector<double> v) {
      if (v.empty()) return std::nan("");
      std::sort(v.begin(), v.end());
      return v[v.size() * 9 / 10];
    };
    std::printf("%8llu %5.1f %7d %7d %9.2f %9.2f %9.2f %9.2f\n", seed, 90.0 - sample.cameraSpec.elevation_deg, r.matched,
                r.refined, mean(before), mean(after), p90(before), p90(after));
  }
  return 0;
}

// The mean distance of a record's 170 mm ring from the true one: with the sector turn that fits
// best (its geometry), and as recorded (orientation included). NaN without a geometry.
// origin: where the image was cut from the camera's.
std::pair<double, double> recordRingErrorPx(const CalibrationRecord& record, const scene::Camera& camera,
                                            cv::Point2d origin = {0.0, 0.0}) {
  const double nan = std::nan("");
  if (!record.value("geometry_valid", false) || !record.contains("board_to_image") || record["board_to_image"].is_null()) {
    return {nan, nan};
  }
  std::vector<cv::Point2d> recorded;
  for (int i = 0; i < 72; ++i) {
    // The record's board frame has the 20 at -90 degrees, the truth's at +90.
    const double a = i * 5.0 * 3.14159265358979323846 / 180.0;
    const Point2 p = boardToImage(record, 170.0 * std::cos(a), -170.0 * std::sin(a));
    recorded.emplace_back(p.x, p.y);
  }
  double best = 1e18, asRecorded = nan;
  for (int turn = 0; turn < 20; ++turn) {
    const std::vector<cv::Point2d> truth = landmark_boards::trueRingPoints(camera, 170.0, turn);
    double sum = 0.0;
    for (size_t i = 0; i < truth.size(); ++i) sum += cv::norm(truth[i] - origin - recorded[i]);
    const double mean = sum / static_cast<double>(truth.size());
    if (turn == 0) asRecorded = mean;
    best = std::min(best, mean);
  }
  return {best, asRecorded};
}

struct RecordTally {
  int boards = 0, errors = 0, accepted = 0, within = 0, over5 = 0;
  void add(const CalibrationRecord& r, double asRecordedPx) {
    ++boards;
    if (!r.value("accepted", false)) return;
    ++accepted;
    within += asRecordedPx <= 1.0;
    over5 += !(asRecordedPx <= 5.0);
  }
  void print(const char* what) const {
    std::printf("%-12s boards %d  error replies %d  accepted %d  accepted within 1 px %d (%.0f %%)  accepted more than 5 px off %d\n",
                what, boards, errors, accepted, within, 100.0 * within / std::max(boards, 1), over5);
  }
};

struct RecordBoards {
  double minAbove = 10.0, maxAbove = 60.0, minBlur = 0.0, maxBlur = 0.0;
  bool noLens = false, rig = false, grey = false;
  // The image cut from a larger render of the same camera, its window this far off the middle
  // (pixels across; 0.6 of it down), so the optical centre lies off the image's middle.
  double offCentrePx = 0.0;
  // Also the engine's "calibrate" (the board fit at its working size) with the same click.
  bool engine = false;
  // Boards seen large: every image this size, the board spanning minFill to maxFill of it.
  cv::Size size;
  double minFill = 0.8, maxFill = 1.0;
  double wireHeightMm = 0.0;  // the wires raised off the face
};

// The engine's "calibrate" of one image with a click on the 20: the image reduced to at most
// 720 rows, the click in the full frame's pixels.
json engineCalibrate(const cv::Mat& image, cv::Point2d click) {
  const double scale = image.rows > 720 ? 720.0 / image.rows : 1.0;
  cv::Mat reduced = image;
  if (scale < 1.0) {
    const cv::Size size(std::max(1L, std::lround(image.cols * scale)), std::max(1L, std::lround(image.rows * scale)));
    cv::resize(image, reduced, size, 0, 0, cv::INTER_AREA);
  }
  return fitReducedBoardGeometry(reduced, {{"click_px", {click.x, click.y}}}, scale);
}

// Board k of the records mode.
// origin receives where the image was cut from the camera's (0, 0 unless b.offCentrePx).
landmark_boards::BoardSample recordsSample(unsigned long long seed, int k, const RecordBoards& b, cv::Point2d* origin = nullptr) {
  namespace lb = landmark_boards;
  lb::SampleOptions options = b.rig ? lb::rigSampleOptions() : lb::SampleOptions();
  options.min_above_deg = b.minAbove;
  options.max_above_deg = b.maxAbove;
  options.min_blur_sigma = b.minBlur;
  options.max_blur_sigma = b.maxBlur;
  options.minWireHeightMm = options.maxWireHeightMm = b.wireHeightMm;
  if (k % 2 == 1) options.look = lb::kHeldOutLook;
  // The camera renderBoardSample draws for the seed, or the rig's; without its lens's bend
  // where asked.
  scene::CameraSpec cameraSpec = b.rig ? lb::rigCameraSpecForSeed(seed, options) : lb::cameraSpecForSeed(seed, options);
  if (b.noLens) cameraSpec.k1 = 0.0;
  if (!b.size.empty()) cameraSpec = lb::enlargedCameraSpec(seed, cameraSpec, b.size, b.minFill, b.maxFill);
  cv::Point2d cut(0.0, 0.0);
  lb::BoardSample sample = b.offCentrePx > 0.0 ? lb::renderOffCentreSampleFor(seed, cameraSpec, options, b.offCentrePx, cut)
                                               : lb::renderBoardSampleFor(seed, cameraSpec, options);
  if (b.grey) sample.image = greyCopy(sample.image);
  if (origin) *origin = cut;
  return sample;
}

int runRecords(const std::string& path, int boards, unsigned long long firstSeed, const RecordBoards& b) {
  namespace lb = landmark_boards;
  std::unique_ptr<LandmarkModel> holder;
  std::printf("%8s %9s %5s %6s %5s  %-24s %8s %8s  %-24s %8s %8s %8s\n", "seed", "size", "above", "k1", "acc", "method/rule",
              "ring_px", "as_rec", "clicked", "ring_px", "acc", "ms");
  RecordTally plain, clicked, engine;
  int engineOnly = 0, engineCloser = 0;
  int colourFree = 0;
  double totalMs = 0.0;
  std::vector<double> callMs;
  for (int k = 0; k < boards; ++k) {
    const unsigned long long seed = firstSeed + static_cast<unsigned long long>(k);
    cv::Point2d origin;
    const lb::BoardSample sample = recordsSample(seed, k, b, &origin);
    colourFree += isColourFree(sample.image);
    const scene::Camera camera(sample.cameraSpec);
    CalibrationRecord record;
    std::string error;
    const auto t0 = std::chrono::steady_clock::now();
    try {
      record = calibrateFromImage(holder, path, sample.image);
    } catch (const std::exception& e) {
      error = e.what();
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    totalMs += ms;
    callMs.push_back(ms);
    if (!error.empty()) {
      ++plain.boards, ++plain.errors, ++clicked.boards, ++clicked.errors;
      std::printf("%8llu ERROR %s\n", seed, error.c_str());
      continue;
    }
    const auto [ringPx, asRecordedPx] = recordRingErrorPx(record, camera, origin);
    plain.add(record, asRecordedPx);
    // The click in the middle of the 20's outer single field, where a user taps.
    const cv::Point2d twenty = lb::trueRingPoints(camera, 135.0, 0)[18] - origin;
    CalibrationRecord turned = record;
    std::string clickError = "-";
    if (record.value("geometry_valid", false)) {
      try {
        turned = confirmTwentyClick(record, {twenty.x, twenty.y});
        clickError.clear();
      } catch (const std::exception& e) {
        clickError = e.what();
        ++clicked.errors;
      }
    }
    const auto [turnedPx, turnedAsRecordedPx] = recordRingErrorPx(turned, camera, origin);
    clicked.add(turned, turnedAsRecordedPx);
    const std::string method = record.value("method", std::string()) + "/" + record["report"].value("rule", std::string());
    const json& report = record["report"];
    const json fitReport = report.contains("board_fit") ? report["board_fit"] : report.value("landmarks", json::object()).value("board_fit", json());
    std::string fitNote = fitReport.is_object() ? fitReport.value("reason", std::string()) : std::string();
    if (fitReport.is_object() && fitReport.contains("edges")) fitNote += " edges " + fitReport["edges"].dump();
    std::printf("%8llu %4dx%-4d %5.1f %6.2f %5s  %-24s %8.2f %8.2f  %-24s %8.2f %8s %8.0f  %s\n", seed, sample.image.cols,
                sample.image.rows, 90.0 - sample.cameraSpec.elevation_deg, sample.cameraSpec.k1,
                record.value("accepted", false) ? "yes" : "no", method.substr(0, 24).c_str(), ringPx, asRecordedPx,
                clickError.empty() ? turned.value("method", std::string()).substr(0, 24).c_str() : clickError.substr(0, 24).c_str(),
                turnedAsRecordedPx, turned.value("accepted", false) ? "yes" : "no", ms, fitNote.substr(0, 400).c_str());
    if (b.engine) {
      const json fit = engineCalibrate(sample.image, twenty);
      CalibrationRecord asRecord = {{"geometry_valid", fit.contains("board_to_image")}, {"accepted", fit.value("accepted", false)},
                                    {"board_to_image", fit.value("board_to_image", json())}};
      const double enginePx = recordRingErrorPx(asRecord, camera, origin).second;
      engine.add(asRecord, enginePx);
      const bool engineAccepted = asRecord["accepted"], runtimeAccepted = turned.value("accepted", false);
      engineOnly += engineAccepted && !runtimeAccepted;
      // At least as close: a tenth of a pixel is the rendering's own spread.
      engineCloser += engineAccepted && runtimeAccepted && enginePx + 0.1 < turnedAsRecordedPx;
      std::printf("%8s engine with click: %s ring_px %.2f %s\n", "", engineAccepted ? "yes" : "no", enginePx,
                  fit.value("rejection", fit.value("error", std::string())).substr(0, 120).c_str());
    }
  }
  if (b.engine) {
    engine.print("engine+click");
    std::printf("engine accepted where the runtime (with click) did not: %d; both accepted, the engine closer by more than 0.1 px: %d\n",
                engineOnly, engineCloser);
  }
  plain.print("no click");
  clicked.print("with click");
  std::sort(callMs.begin(), callMs.end());
  std::printf("whole call ms mean %.0f median %.0f slowest %.0f\n", totalMs / std::max(boards, 1),
              callMs.empty() ? 0.0 : callMs[callMs.size() / 2], callMs.empty() ? 0.0 : callMs.back());
  std::printf("images without colour %d of %d\n", colourFree, boards);
  return 0;
}

// Per board the off-tint share of the image the chosen mode renders, the lowest share and the
// images taken to be without colour.
int runColourCheck(int boards, unsigned long long firstSeed, bool records, const RecordBoards& b) {
  namespace lb = landmark_boards;
  int colourFree = 0;
  double lowest = 1.0;
  for (int k = 0; k < boards; ++k) {
    const unsigned long long seed = firstSeed + static_cast<unsigned long long>(k);
    lb::BoardSample sample;
    if (records) {
      sample = recordsSample(seed, k, b);
    } else {
      lb::SampleOptions options;
      if (k % 2 == 1) options.look = lb::kHeldOutLook;
      sample = lb::renderBoardSample(seed, options);
      if (b.grey) sample.image = greyCopy(sample.image);
    }
    const double share = offTintShare(sample.image);
    lowest = std::min(lowest, share);
    colourFree += share < kColourFreeShare;
    std::printf("%8llu %5.1f %8.5f%s\n", seed, 90.0 - sample.cameraSpec.elevation_deg, share, share < kColourFreeShare ? " without colour" : "");
  }
  std::printf("boards %d  images without colour %d  lowest off-tint share %.5f\n", boards, colourFree, lowest);
  return 0;
}

// Per board, where a low or rig camera's landmark solve goes wrong: the network's crossings
// against the true ones (within 2 px of one, strays more than 4 px from every one), its sector
// numbers, how far the bull it is surest of lies from where the true camera sees the board's
// centre (-1: none found), a dart over the bull or not; the true camera's
// matches among the crossings (at a quarter of each crossing's spacing), the camera solved
// from it (matches, 170 mm ring off the truth in px); the first stage of starts (the number
// homography and the bull grid): the camera it selects and how close its nearest start lies;
// and the whole landmark solve's camera. Every ring distance is taken at the turn that brings
// the camera closest: the numbers set the turn after the solve. With dumpDir each image is written there.
int runDiagnose(const std::string& path, const std::vector<unsigned long long>& seeds, const RecordBoards& b,
                const std::string& dumpDir) {
  namespace lb = landmark_boards;
  std::string key = buildModelKeyString();
  LandmarkModel model = loadBoardModel(path, key);
  key.assign(key.size(), '\0');
  std::printf("%8s %9s %5s %6s %5s  %4s %4s %5s %6s %4s %7s  %5s %5s %7s  %5s %7s %7s  %2s %5s %7s %7s\n", "seed", "size", "above",
              "k1", "f/w", "det", "true", "near2", "strays", "nums", "bull_px", "truth", "from", "from_px", "first",
              "first_px", "nearest", "ok", "grade", "matched", "ring_px");
  for (const unsigned long long seed : seeds) {
    // The look the records give the seed from the first check seed on.
    const lb::BoardSample sample = recordsSample(seed, static_cast<int>((seed - lb::kFirstCheckSeed) % 2), b);
    if (!dumpDir.empty()) cv::imwrite(dumpDir + "/" + std::to_string(seed) + ".png", sample.image);
    const LandmarkDetections kept = runLandmarkNetwork(model, sample.image);
    const std::vector<cv::Point2d> crossings = keptCrossings(kept);
    std::vector<cv::Point2d> truth;
    int numbers = 0;
    for (size_t j = 0; j < kept.classes.size(); ++j) numbers += kept.classes[j] >= 2 && kept.scores[j] > 0.25f;
    for (const lb::Landmark& l : sample.landmarks) {
      if (l.cls == 1) truth.push_back(l.centre);
    }
    int near = 0, strays = 0;
    for (const cv::Point2d& d : crossings) {
      double best = 1e18;
      for (const cv::Point2d& t : truth) best = std::min(best, cv::norm(d - t));
      near += best <= 2.0;
      strays += best > 4.0;
    }
    const cv::Point2d bull = findBullPoint(kept);
    // The renderer's camera in the landmark frame (20 at +y, z out of the board).
    const scene::Camera camera(sample.cameraSpec);
    // Not the bull landmark: a board whose bull a dart covers has none.
    const cv::Point2d trueBull = camera.project(cv::Point2d(0.0, 0.0));
    const CameraEstimate truthCamera = lb::trueCameraEstimate(sample);
    const auto ringPx = [&](const CameraEstimate& e) { return lb::ringErrorAnyTurnPx(camera, e); };
    const int atTruth = scoreCameraEstimate(truthCamera, crossings, 0.25).matches;
    double fromPx = std::nan("");
    int fromMatches = 0;
    CameraSelection first;
    double nearestPx = std::nan("");
    if (bull.x >= 0 && !crossings.empty()) {
      try {
        const CameraEstimate fromTruth = solveCamera(truthCamera, crossings, bull, 6);
        fromMatches = scoreCameraEstimate(fromTruth, crossings, 0.25).matches;
        fromPx = ringPx(fromTruth);
      } catch (const cv::Exception&) {
      }
      std::vector<CameraEstimate> starts = homographyHypotheses(sample.image.cols, sample.image.rows, kept, bull);
      for (CameraEstimate& e : bullGridHypotheses(sample.image.cols, sample.image.rows, crossings, bull, 8)) starts.push_back(std::move(e));
      selectBestCamera(crossings, bull, first, starts);
      for (const CameraEstimate& e : starts) nearestPx = std::isnan(nearestPx) ? ringPx(e) : std::min(nearestPx, ringPx(e));
    }
    const lb::BoardCheck c = lb::checkBoard(model, sample);
    std::printf("%8llu %4dx%-4d %5.1f %6.2f %5.2f  %4d %4d %5d %6d %4d %7.1f  %5d %5d %7.2f  %5d %7.2f %7.1f  %2d %5d %7d %7.2f\n", seed,
                sample.image.cols, sample.image.rows, 90.0 - sample.cameraSpec.elevation_deg, sample.cameraSpec.k1,
                camera.K()(0, 0) / sample.image.cols, static_cast<int>(crossings.size()), static_cast<int>(truth.size()), near,
                strays, numbers, bull.x < 0 ? -1.0 : cv::norm(bull - trueBull), atTruth, fromMatches, fromPx,
                first.found ? first.best.matches : 0, first.found ? ringPx(first.camera) : std::nan(""), nearestPx, c.ok, c.grade,
                c.matched, c.ringErrorPx);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double noise = 0.5;
  std::string modelPath;
  bool crossingCheck = false, diagnose = false, records = false, colourCheck = false, aboveGiven = false;
  RecordBoards b;
  int boards = 40;
  unsigned long long firstSeed = landmark_boards::kFirstCheckSeed;
  std::vector<unsigned long long> seeds;
  std::string dumpDir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--noise" && i + 1 < argc) noise = std::atof(argv[++i]);
    else if (arg == "--model" && i + 1 < argc) modelPath = argv[++i];
    else if (arg == "--crossing-check") crossingCheck = true;
    else if (arg == "--records") records = true;
    else if (arg == "--engine") b.engine = true;
    else if (arg == "--diagnose") diagnose = true;
    else if (arg == "--seed" && i + 1 < argc) seeds.push_back(std::strtoull(argv[++i], nullptr, 10));
    else if (arg == "--dump" && i + 1 < argc) dumpDir = argv[++i];
    else if (arg == "--colour-check") colourCheck = true;
    else if (arg == "--no-lens") b.noLens = true;
    else if (arg == "--rig") b.rig = true;
    else if (arg == "--grey") b.grey = true;
    else if (arg == "--above" && i + 2 < argc) b.minAbove = std::atof(argv[++i]), b.maxAbove = std::atof(argv[++i]), aboveGiven = true;
    else if (arg == "--blur" && i + 2 < argc) b.minBlur = std::atof(argv[++i]), b.maxBlur = std::atof(argv[++i]);
    else if (arg == "--size" && i + 2 < argc) b.size.width = std::atoi(argv[++i]), b.size.height = std::atoi(argv[++i]);
    else if (arg == "--fill" && i + 2 < argc) b.minFill = std::atof(argv[++i]), b.maxFill = std::atof(argv[++i]);
    else if (arg == "--wire-height" && i + 1 < argc) b.wireHeightMm = std::atof(argv[++i]);
    else if (arg == "--off-centre" && i + 1 < argc) b.offCentrePx = std::atof(argv[++i]);
    else if (arg == "--boards" && i + 1 < argc) boards = std::atoi(argv[++i]);
    else if (arg == "--first-seed" && i + 1 < argc) firstSeed = std::strtoull(argv[++i], nullptr, 10);
  }
  if (b.rig && !aboveGiven) {
    b.minAbove = landmark_boards::rigSampleOptions().min_above_deg, b.maxAbove = landmark_boards::rigSampleOptions().max_above_deg;
  }
  if (colourCheck) return runColourCheck(boards, firstSeed, records, b);
  if (!modelPath.empty() && diagnose) {
    if (seeds.empty()) {
      for (int k = 0; k < boards; ++k) seeds.push_back(firstSeed + static_cast<unsigned long long>(k));
    }
    return runDiagnose(modelPath, seeds, b, dumpDir);
  }
  if (!modelPath.empty() && records) return runRecords(modelPath, boards, firstSeed, b);
  if (!modelPath.empty() && crossingCheck) return runCrossingCheck(modelPath, boards, firstSeed);
  if (!modelPath.empty()) return runModel(modelPath, boards, firstSeed, b.grey);
  std::printf("%-9s %-9s %5s %5s %6s %6s %4s %5s %8s %7s %8s %8s %7s %6s %8s %11s\n", "group", "size", "az", "elev", "k1",
              "f/w", "nums", "grade", "matched", "rms_px", "f_err_%", "ring_px", "20_px", "sure", "ms", "centre_err");
  int accepted = 0, total = 0, over1 = 0, over3 = 0;
  for (const Case& c : cases()) {
    scene::CameraSpec cameraSpec = testing::landmarkTestCameraSpec();
    cameraSpec.image_size = {c.width, c.height};
    cameraSpec.azimuth_deg = c.azimuth;
    cameraSpec.elevation_deg = c.elevation;
    cameraSpec.k1 = c.k1;
    cameraSpec.distance_mm = c.distanceMm;
    if (c.focalWidths > 0.0) cameraSpec.focal_px = c.focalWidths * c.width;
    if (c.aimMm != cv::Point2d(0.0, 0.0)) cameraSpec.aim_mm = c.aimMm;
    testing::ScriptOptions options;
    options.numbers = c.numbers;
    options.noisePx = noise;
    if (c.cropped) options.crop = testing::boardCrop(scene::Camera(cameraSpec));
    testing::ScriptedCamera cam = testing::scriptedCamera(cameraSpec, options);
    const LandmarkSolution s = detectBoardLandmarks(cam.model, cam.image);
    const double f = cam.camera.K()(0, 0);
    double twentyPx = NAN, fErr = NAN, ringPx = NAN, centreErr = NAN;
    if (s.ok) {
      twentyPx = cv::norm(projectSolutionPoint(s, {0.0, 132.0}) - testing::scriptedPixel(cam, {0.0, -132.0}));
      fErr = 100.0 * (s.K.at<double>(0, 0) - f) / f;
      ringPx = testing::solutionRingErrorPx(cam, s);
      const cv::Point2d trueCentre = cv::Point2d(cam.camera.K()(0, 2), cam.camera.K()(1, 2)) - cam.cropOffset;
      centreErr = cv::norm(cv::Point2d(s.K.at<double>(0, 2), s.K.at<double>(1, 2)) - trueCentre);
    }
    ++total;
    if (s.ok && s.grade < 2) {
      ++accepted;
      over1 += ringPx > 1.0 ? 1 : 0;
      over3 += ringPx > 3.0 ? 1 : 0;
    }
    std::printf("%-9s %4dx%-4d %5.0f %5.0f %6.2f %6.2f %4s %5d %3d/%-4d %7.3f %8.2f %8.2f %7.2f %6s %8.0f %11.1f\n", c.group,
                cam.image.cols, cam.image.rows, c.azimuth, c.elevation, c.k1, f / c.width, c.numbers ? "yes" : "no",
                s.grade, s.crossingsMatched, cam.crossingsInImage, s.rmsPx, fErr, ringPx, twentyPx,
                s.twentySure ? "yes" : "no", s.totalMs, centreErr);
  }
  std::printf("accepted (grade green or yellow) %d of %d; accepted with the ring over 1 px off %d, over 3 px %d\n",
              accepted, total, over1, over3);
  return 0;
}
