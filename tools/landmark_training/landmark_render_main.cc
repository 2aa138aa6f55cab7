// Writes rendered training boards for the landmark network: for each seed the letterboxed
// 640x640 network input as JPEG and its landmarks, one "class cx cy w h" line each in
// network-input pixels.
//   landmark_render <folder> <first seed> <count> [--above MIN MAX] [--blur MIN MAX] [--rig-variety] [--wire-height MIN MAX]
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "landmark_training/landmark_boards.h"

namespace lb = tarv::landmark_boards;

int main(int argc, char** argv) {
  try {
    if (argc < 4) {
      std::fprintf(stderr, "usage: landmark_render <folder> <first seed> <count> [--above MIN MAX] [--blur MIN MAX] [--rig-variety] [--wire-height MIN MAX]\n");
      return 2;
    }
    const std::string folder = argv[1];
    const unsigned long long first = std::stoull(argv[2]);
    const int count = std::stoi(argv[3]);
    lb::SampleOptions options;
    for (int i = 4; i < argc; ++i) {
      if (std::string(argv[i]) == "--above" && i + 2 < argc) {
        options.min_above_deg = std::stod(argv[++i]);
        options.max_above_deg = std::stod(argv[++i]);
      } else if (std::string(argv[i]) == "--blur" && i + 2 < argc) {
        options.min_blur_sigma = std::stod(argv[++i]);
        options.max_blur_sigma = std::stod(argv[++i]);
      } else if (std::string(argv[i]) == "--wire-height" && i + 2 < argc) {
        options.minWireHeightMm = std::stod(argv[++i]);
        options.maxWireHeightMm = std::stod(argv[++i]);
      } else if (std::string(argv[i]) == "--rig-variety") {
        options.rigVariety = true;
      } else {
        std::fprintf(stderr, "unknown argument %s\n", argv[i]);
        return 2;
      }
    }
    for (int k = 0; k < count; ++k) {
      const unsigned long long seed = first + static_cast<unsigned long long>(k);
      const lb::BoardSample sample = lb::renderBoardSample(seed, options);
      double s = 1.0;
      const cv::Mat input = lb::letterbox(sample.image, 640, &s);
      char name[64];
      std::snprintf(name, sizeof(name), "%08llu", seed);
      const std::string base = folder + "/" + name;
      if (!cv::imwrite(base + ".jpg", input, {cv::IMWRITE_JPEG_QUALITY, 95})) throw std::runtime_error("cannot write " + base);
      std::ofstream labels(base + ".txt.part");
      for (const lb::Landmark& l : sample.landmarks) {
        labels << l.cls << ' ' << l.centre.x * s << ' ' << l.centre.y * s << ' ' << l.size.width * s << ' '
               << l.size.height * s << '\n';
      }
      labels.close();
      std::rename((base + ".txt.part").c_str(), (base + ".txt").c_str());
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "landmark_render: %s\n", e.what());
    return 1;
  }
}
