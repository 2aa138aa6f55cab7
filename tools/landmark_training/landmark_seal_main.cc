// Seals an ONNX landmark network in the library's model container, with the key the library
// builds at run time, and checks that the container opens again to the same bytes.
//   landmark_seal <model.onnx> <out.tarvm> <nonce: 24 hex digits>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>

#include "tarv/autocal/model_container.h"

int main(int argc, char** argv) {
  try {
    if (argc != 4 || std::string(argv[3]).size() != 24) {
      std::fprintf(stderr, "usage: landmark_seal <model.onnx> <out.tarvm> <nonce: 24 hex digits>\n");
      return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + argv[1]);
    const tarv::Bytes onnx((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::array<uint8_t, 12> nonce{};
    for (size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<uint8_t>(std::stoul(std::string(argv[3]).substr(2 * i, 2), nullptr, 16));
    std::string key = tarv::buildModelKeyString();
    const tarv::Bytes sealed = tarv::sealModelContainer(onnx, key, nonce);
    const bool same = tarv::openModelContainer(sealed, key) == onnx;
    key.assign(key.size(), '\0');
    if (!same) throw std::runtime_error("the container does not open to the model");
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(sealed.data()), static_cast<std::streamsize>(sealed.size()));
    if (!out) throw std::runtime_error(std::string("cannot write ") + argv[2]);
    std::printf("sealed %zu bytes into %s\n", onnx.size(), argv[2]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "landmark_seal: %s\n", e.what());
    return 1;
  }
}
