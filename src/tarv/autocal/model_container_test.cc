#include "tarv/autocal/model_container.h"

#include <string>

#include <gtest/gtest.h>

namespace tarv {
namespace {

std::string hex(const uint8_t* data, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

std::string digestHex(const std::string& text) {
  const auto d = sha256Digest(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return hex(d.data(), d.size());
}

std::string errorOf(const Bytes& file, const std::string& key) {
  try {
    openModelContainer(file, key);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(ModelContainer, Sha256MatchesTheStandardVectors) {
  EXPECT_EQ(digestHex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digestHex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digestHex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(ModelContainer, ChaCha20MatchesTheStandardVectorFromBlockCounterOne) {
  std::array<uint8_t, 32> key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  const std::array<uint8_t, 12> nonce{0, 0, 0, 0, 0, 0, 0, 0x4a, 0, 0, 0, 0};
  const std::string plain =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.";
  Bytes data(plain.begin(), plain.end());
  chacha20Xor(data.data(), data.size(), key, nonce);
  EXPECT_EQ(hex(data.data(), data.size()),
            "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
            "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
            "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
            "5af90bbf74a35be6b40b8eedf2785e42874d");
  chacha20Xor(data.data(), data.size(), key, nonce);
  EXPECT_EQ(std::string(data.begin(), data.end()), plain);
}

TEST(ModelContainer, KeyIsTheDigestOfPrefixAndKeyString) {
  const std::string keyString = buildModelKeyString();
  ASSERT_EQ(keyString.size(), 37u);
  const auto key = deriveModelKey(keyString);
  EXPECT_EQ(hex(key.data(), key.size()), digestHex("Brekta77-Schlupf|" + keyString));
}

TEST(ModelContainer, SealedPayloadOpensAndIsEnciphered) {
  const Bytes payload{'o', 'n', 'n', 'x', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const Bytes file = sealModelContainer(payload, buildModelKeyString(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  ASSERT_EQ(file.size(), 50 + payload.size());
  EXPECT_NE(Bytes(file.begin() + 50, file.end()), payload);
  EXPECT_EQ(openModelContainer(file, buildModelKeyString()), payload);
}

TEST(ModelContainer, AFlippedPayloadByteOrAnotherKeyIsRefused) {
  const Bytes payload(300, 7);
  Bytes file = sealModelContainer(payload, buildModelKeyString(), {});
  file[50 + 123] ^= 0x01;
  EXPECT_EQ(errorOf(file, buildModelKeyString()), "Modell-Schluessel falsch oder Datei beschaedigt");
  file[50 + 123] ^= 0x01;
  EXPECT_EQ(errorOf(file, std::string(37, 'x')), "Modell-Schluessel falsch oder Datei beschaedigt");
}

TEST(ModelContainer, AnEmptyPayloadOpensOnlyWithTheDigestOfNothing) {
  const Bytes file = sealModelContainer({}, buildModelKeyString(), {});
  ASSERT_EQ(file.size(), 50u);
  EXPECT_TRUE(openModelContainer(file, buildModelKeyString()).empty());
  Bytes wrong = file;
  wrong[20] ^= 0x80;  // inside the stored digest
  EXPECT_EQ(errorOf(wrong, buildModelKeyString()), "Modell-Schluessel falsch oder Datei beschaedigt");
}

TEST(ModelContainer, ShortFilesAndWrongMagicAreNoContainer) {
  for (size_t n : {7u, 20u, 49u}) {
    Bytes file(n, 0);
    std::copy(kModelMagic, kModelMagic + 6, file.begin());
    EXPECT_TRUE(looksLikeModelContainer(file)) << n;
    EXPECT_EQ(errorOf(file, buildModelKeyString()), "kein TARV-Modell") << n;
  }
  const Bytes sixBytes(kModelMagic, kModelMagic + 6);
  EXPECT_FALSE(looksLikeModelContainer(sixBytes));
  Bytes wrongMagic = sealModelContainer(Bytes(10, 1), buildModelKeyString(), {});
  wrongMagic[5] = '2';
  EXPECT_FALSE(looksLikeModelContainer(wrongMagic));
  EXPECT_EQ(errorOf(wrongMagic, buildModelKeyString()), "kein TARV-Modell");
}

}  // namespace
}  // namespace tarv
