// The enciphered container of the landmark model file: magic, nonce, digest, payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarv {

using Bytes = std::vector<uint8_t>;

constexpr char kModelMagic[] = "TARVM1";  // the first 6 bytes of a container
constexpr size_t kModelMagicSize = 6;
constexpr size_t kModelHeaderSize = 50;   // magic, 12-byte nonce, 32-byte digest

// SHA-256 and ChaCha20 (32-byte key, 12-byte nonce, block counter from 1) come from
// OpenSSL; these names keep the container code independent of how they are provided.
std::array<uint8_t, 32> sha256Digest(const uint8_t* data, size_t length);
// Enciphers or deciphers in place.
void chacha20Xor(uint8_t* data, size_t length, const std::array<uint8_t, 32>& key,
                 const std::array<uint8_t, 12>& nonce);

// The 37-byte key string, put together at run time so that it never lies in the binary as
// one piece. The caller wipes it after use.
std::string buildModelKeyString();
// SHA-256 of the fixed prefix followed by the key string.
std::array<uint8_t, 32> deriveModelKey(const std::string& keyString);

// True when the file is long enough to hold more than the magic and begins with it; any
// other file is a plain ONNX model.
bool looksLikeModelContainer(const Bytes& file);

// The plain payload of a container. Fails with "kein TARV-Modell" (short or wrong magic)
// or "Modell-Schluessel falsch oder Datei beschaedigt" (digest mismatch; nothing of the
// deciphered bytes escapes).
Bytes openModelContainer(const Bytes& file, const std::string& keyString);
// The container of a payload under a key string and nonce (the model tools' side).
Bytes sealModelContainer(const Bytes& payload, const std::string& keyString,
                         const std::array<uint8_t, 12>& nonce);

}  // namespace tarv
