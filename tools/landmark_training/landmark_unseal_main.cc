// Opens a sealed landmark model back to its ONNX bytes, so that a network can be fine-tuned
// from the committed file when its training checkpoints are gone.
//   landmark_unseal <in.tarvm> <out.onnx>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "tarv/autocal/model_container.h"

int main(int argc, char** argv) {
  try {
    if (argc != 3) {
      std::fprintf(stderr, "usage: landmark_unseal <in.tarvm> <out.onnx>\n");
      return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + argv[1]);
    const tarv::Bytes sealed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!tarv::looksLikeModelContainer(sealed)) throw std::runtime_error(std::string(argv[1]) + " is not a sealed model");
    std::string key = tarv::buildModelKeyString();
    const tarv::Bytes onnx = tarv::openModelContainer(sealed, key);
    key.assign(key.size(), '\0');
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(onnx.data()), static_cast<std::streamsize>(onnx.size()));
    if (!out) throw std::runtime_error(std::string("cannot write ") + argv[2]);
    std::printf("opened %zu bytes into %s\n", onnx.size(), argv[2]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "landmark_unseal: %s\n", e.what());
    return 1;
  }
}
