// Writes the camera images of a sample scene as PNGs and prints its ground truth as JSON.
//   scene_render <folder> [--seed N] [--size WxH] [--hand] [--noise SIGMA] [--blur SIGMA]
//                         [--jpeg QUALITY] [--elevation DEG] [--empty]
// Without a seed the three darts are a fixed T20 / S1 / 25 group, with one they are random.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "scene/scene.h"

namespace sc = tarv::scene;

namespace {

struct Options {
  std::string folder;
  std::optional<unsigned long long> seed;
  cv::Size size{1280, 720};
  std::optional<double> elevation;
  bool hand = false;
  bool empty = false;
  sc::Imaging imaging;
};

Options parse(int argc, char** argv) {
  if (argc < 2) throw std::runtime_error("USAGE");
  Options o;
  o.folder = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error("USAGE");
      return argv[++i];
    };
    if (arg == "--seed") o.seed = std::stoull(value());
    else if (arg == "--size") {
      const std::string v = value();
      const auto x = v.find('x');
      if (x == std::string::npos) throw std::runtime_error("USAGE");
      o.size = cv::Size(std::stoi(v.substr(0, x)), std::stoi(v.substr(x + 1)));
    } else if (arg == "--hand") o.hand = true;
    else if (arg == "--empty") o.empty = true;
    else if (arg == "--noise") o.imaging.noise_sigma = std::stod(value());
    else if (arg == "--blur") o.imaging.blur_sigma = std::stod(value());
    else if (arg == "--jpeg") o.imaging.jpeg_quality = std::stoi(value());
    else if (arg == "--elevation") o.elevation = std::stod(value());
    else throw std::runtime_error("USAGE");
  }
  return o;
}

sc::Scene buildScene(const Options& o) {
  sc::Scene scene;
  scene.imaging = o.imaging;
  if (o.empty) return scene;
  if (o.seed) {
    sc::SceneRandom rng(*o.seed);
    for (int i = 0; i < 3; ++i) scene.darts.push_back(sc::randomDart(rng));
    scene.imaging.noise_seed = *o.seed;
  } else {
    const auto& colours = sc::flightColours();
    scene.darts.push_back({{0.0, -102.0}, sc::frontDirection(12.0, 10.0), colours[0], 20.0});
    scene.darts.push_back({{38.0, -118.0}, sc::frontDirection(18.0, 60.0), colours[1], 5.0});
    scene.darts.push_back({{-6.0, 11.0}, sc::frontDirection(8.0, 250.0), colours[2], 40.0});
  }
  if (o.hand) {
    sc::Hand hand;
    hand.centre_mm = {20.0, -60.0};
    hand.angle_deg = -15.0;
    scene.hand = hand;
  }
  return scene;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = parse(argc, argv);
    const auto rig = options.elevation ? sc::rigAtElevation(options.size, *options.elevation)
                                       : sc::defaultRig(options.size);
    const sc::Renderer renderer(rig);
    const sc::Scene scene = buildScene(options);
    const auto start = std::chrono::steady_clock::now();
    const sc::SceneImages images = renderer.render(scene);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    for (size_t i = 0; i < images.frames.size(); ++i) {
      const std::string path = options.folder + "/" + images.truth.cameras[i].id + ".png";
      if (!cv::imwrite(path, images.frames[i])) throw std::runtime_error("WRITE_FAILED");
    }
    std::printf("%s\n", images.truth.toJson().dump(2).c_str());
    std::fprintf(stderr, "rendered %zu cameras in %.1f ms\n", images.frames.size(), ms);
    return 0;
  } catch (const std::exception& e) {
    if (std::string(e.what()) == "USAGE") {
      std::fprintf(stderr,
                   "usage: scene_render <folder> [--seed N] [--size WxH] [--hand] [--noise S]"
                   " [--blur S] [--jpeg Q] [--elevation DEG] [--empty]\n");
      return 2;
    }
    std::fprintf(stderr, "scene_render: %s\n", e.what());
    return 1;
  }
}
