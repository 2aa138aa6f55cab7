#include "tarv/autocal/model_container.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace tarv {
namespace {

constexpr char kKeyPrefix[] = "Brekta77-Schlupf|";
constexpr size_t kKeyPrefixSize = 17;
constexpr size_t kKeyStringSize = 37;
constexpr char kNotAModel[] = "kein TARV-Modell";
constexpr char kWrongKey[] = "Modell-Schluessel falsch oder Datei beschaedigt";

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// An empty buffer still needs a valid pointer for the library's update calls.
const uint8_t* nonNull(const uint8_t* p) {
  static const uint8_t zero = 0;
  return p ? p : &zero;
}

}  // namespace

std::array<uint8_t, 32> sha256Digest(const uint8_t* data, size_t length) {
  std::array<uint8_t, 32> digest{};
  unsigned int size = 0;
  if (EVP_Digest(nonNull(data), length, digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size()) {
    throw std::runtime_error("SHA256_FAILED");
  }
  return digest;
}

void chacha20Xor(uint8_t* data, size_t length, const std::array<uint8_t, 32>& key,
                 const std::array<uint8_t, 12>& nonce) {
  // OpenSSL's 16-byte IV is the 32-bit little-endian block counter followed by the nonce.
  uint8_t iv[16] = {1, 0, 0, 0};
  std::memcpy(iv + 4, nonce.data(), nonce.size());
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, key.data(), iv) != 1) {
    throw std::runtime_error("CHACHA20_FAILED");
  }
  size_t done = 0;
  while (done < length) {
    const int chunk = static_cast<int>(std::min<size_t>(length - done, 1u << 30));
    int written = 0;
    if (EVP_EncryptUpdate(ctx.get(), data + done, &written, data + done, chunk) != 1 ||
        written != chunk) {
      throw std::runtime_error("CHACHA20_FAILED");
    }
    done += static_cast<size_t>(chunk);
  }
}

std::string buildModelKeyString() {
  static constexpr uint8_t a[kKeyStringSize] = {
      0x5c, 0x13, 0xa7, 0x29, 0xe1, 0x44, 0x8b, 0x70, 0x3d, 0xc2, 0x19, 0x96, 0x0f,
      0x6a, 0xd5, 0x21, 0xb8, 0x47, 0x7e, 0x03, 0xec, 0x58, 0x91, 0x2a, 0xc7, 0x64,
      0x1d, 0xf0, 0x8e, 0x35, 0xab, 0x52, 0x09, 0xde, 0x76, 0x4b, 0xb3};
  static constexpr uint8_t b[kKeyStringSize] = {
      0x08, 0x52, 0xf5, 0x7f, 0xcc, 0x0c, 0xea, 0x1e, 0x59, 0xb1, 0x7c, 0xf4, 0x22,
      0x3e, 0x96, 0x71, 0xfe, 0x1a, 0x4c, 0x33, 0xde, 0x6a, 0xbc, 0x7d, 0xa6, 0x16,
      0x7e, 0xa3, 0xfd, 0x5a, 0xd8, 0x7f, 0x5d, 0x9c, 0x22, 0x0a, 0xe1};
  std::string key(kKeyStringSize, '\0');
  for (size_t i = 0; i < kKeyStringSize; ++i) key[i] = static_cast<char>(a[i] ^ b[i]);
  return key;
}

std::array<uint8_t, 32> deriveModelKey(const std::string& keyString) {
  Bytes material(kKeyPrefix, kKeyPrefix + kKeyPrefixSize);
  material.insert(material.end(), keyString.begin(), keyString.end());
  const std::array<uint8_t, 32> key = sha256Digest(material.data(), material.size());
  OPENSSL_cleanse(material.data(), material.size());
  return key;
}

bool looksLikeModelContainer(const Bytes& file) {
  return file.size() > kModelMagicSize && std::equal(kModelMagic, kModelMagic + kModelMagicSize, file.begin());
}

Bytes openModelContainer(const Bytes& file, const std::string& keyString) {
  if (file.size() < kModelHeaderSize || !std::equal(kModelMagic, kModelMagic + kModelMagicSize, file.begin())) {
    throw std::runtime_error(kNotAModel);
  }
  std::array<uint8_t, 12> nonce{};
  std::copy_n(file.begin() + kModelMagicSize, nonce.size(), nonce.begin());
  Bytes plain(file.begin() + kModelHeaderSize, file.end());
  std::array<uint8_t, 32> key = deriveModelKey(keyString);
  chacha20Xor(plain.data(), plain.size(), key, nonce);
  OPENSSL_cleanse(key.data(), key.size());
  const std::array<uint8_t, 32> digest = sha256Digest(plain.data(), plain.size());
  if (!std::equal(digest.begin(), digest.end(), file.begin() + kModelMagicSize + nonce.size())) {
    if (!plain.empty()) OPENSSL_cleanse(plain.data(), plain.size());
    throw std::runtime_error(kWrongKey);
  }
  return plain;
}

Bytes sealModelContainer(const Bytes& payload, const std::string& keyString,
                         const std::array<uint8_t, 12>& nonce) {
  Bytes file(kModelMagic, kModelMagic + kModelMagicSize);
  file.insert(file.end(), nonce.begin(), nonce.end());
  const std::array<uint8_t, 32> digest = sha256Digest(payload.data(), payload.size());
  file.insert(file.end(), digest.begin(), digest.end());
  const size_t start = file.size();
  file.insert(file.end(), payload.begin(), payload.end());
  std::array<uint8_t, 32> key = deriveModelKey(keyString);
  chacha20Xor(file.data() + start, payload.size(), key, nonce);
  OPENSSL_cleanse(key.data(), key.size());
  return file;
}

}  // namespace tarv
