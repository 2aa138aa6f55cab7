#include "scene/round_video.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

namespace tarv::scene {

namespace {

struct Segment {
  Scene scene;
  int frames;
};

int framesOf(double seconds, int fps) {
  return std::max(1, static_cast<int>(std::lround(seconds * fps)));
}

std::vector<Segment> timeline(const RoundVideoScript& s) {
  std::vector<Segment> out;
  out.push_back({Scene{}, framesOf(s.empty_seconds, s.fps)});
  for (const std::vector<Dart>& round : s.rounds) {
    Scene scene;
    for (const Dart& dart : round) {
      scene.darts.push_back(dart);
      out.push_back({scene, framesOf(s.dart_seconds, s.fps)});
    }
    Hand hand;
    hand.centre_mm = round.empty() ? cv::Point2d(0, 0) : round.front().tip_mm;
    hand.centre_mm.y += 40.0;
    scene.hand = hand;
    out.push_back({scene, framesOf(s.takeout_seconds * 0.5, s.fps)});
    scene.darts.clear();
    out.push_back({scene, framesOf(s.takeout_seconds * 0.5, s.fps)});
    out.push_back({Scene{}, framesOf(s.empty_seconds, s.fps)});
  }
  return out;
}

}  // namespace

RoundVideoScript demoScript() {
  RoundVideoScript s;
  const auto& colours = flightColours();
  s.rounds.push_back({{{0.0, -102.0}, frontDirection(12.0, 10.0), colours[0], 20.0},
                      {{38.0, -118.0}, frontDirection(18.0, 60.0), colours[1], 5.0},
                      {{-6.0, 11.0}, frontDirection(8.0, 250.0), colours[2], 40.0}});
  s.rounds.push_back({{{-100.0, 130.0}, frontDirection(10.0, 120.0), colours[3 % colours.size()], 0.0},
                      {{-120.0, -20.0}, frontDirection(15.0, 300.0), colours[0], 30.0},
                      {{62.0, 90.0}, frontDirection(9.0, 200.0), colours[1], 10.0}});
  return s;
}

double videoSeconds(const RoundVideoScript& script) {
  int frames = 0;
  for (const Segment& segment : timeline(script)) frames += segment.frames;
  return static_cast<double>(frames) / script.fps;
}

RoundVideos writeRoundVideos(const std::string& folder, const RoundVideoScript& script) {
  const Renderer renderer(defaultRig(script.size), 2);
  RoundVideos out;
  Scene all;
  for (const auto& round : script.rounds) all.darts.insert(all.darts.end(), round.begin(), round.end());
  out.truth = renderer.truth(all);
  out.calibrations = nlohmann::json::array();
  for (const CameraTruth& camera : out.truth.cameras) {
    nlohmann::json rows = nlohmann::json::array();
    for (int r = 0; r < 3; ++r) {
      rows.push_back({camera.board_to_image(r, 0), camera.board_to_image(r, 1), camera.board_to_image(r, 2)});
    }
    out.calibrations.push_back(rows);
  }
  const size_t cameras = renderer.cameras().size();
  std::vector<cv::VideoWriter> writers(cameras);
  for (size_t c = 0; c < cameras; ++c) {
    out.videos.push_back(folder + "/cam-" + std::to_string(c + 1) + ".avi");
    out.references.push_back(folder + "/reference-" + std::to_string(c + 1) + ".png");
    if (!writers[c].open(out.videos[c], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), script.fps,
                         script.size)) {
      throw std::runtime_error("cannot write " + out.videos[c]);
    }
  }
  for (const Segment& segment : timeline(script)) {
    const SceneImages shot = renderer.render(segment.scene);
    for (size_t c = 0; c < cameras; ++c) {
      for (int i = 0; i < segment.frames; ++i) writers[c].write(shot.frames[c]);
    }
  }
  for (size_t c = 0; c < cameras; ++c) {
    writers[c].release();
    // The reference is the video's own first frame, compression included, as a host would
    // capture its empty board.
    cv::VideoCapture reader(out.videos[c]);
    cv::Mat first;
    if (!reader.read(first) || !cv::imwrite(out.references[c], first)) {
      throw std::runtime_error("cannot read back " + out.videos[c]);
    }
  }
  return out;
}

}  // namespace tarv::scene
