#include "tarv/capture/jpeg_frames.h"

#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace tarv {

std::size_t findJpegEnd(const std::vector<uint8_t>& b) {
  const std::size_t n = b.size();
  if (n < 4 || b[0] != 0xFF || b[1] != 0xD8) return 0;
  std::size_t pos = 2;
  for (;;) {
    if (b[pos] != 0xFF) return 0;
    const uint8_t code = b[pos + 1];
    if (code == 0xFF) {
      pos += 1;
    } else if (code == 0xD9) {
      return pos + 2;
    } else if ((code >= 0xD0 && code <= 0xD8) || code == 0x01) {
      pos += 2;
    } else {
      if (pos + 3 >= n) return 0;
      const std::size_t length = (static_cast<std::size_t>(b[pos + 2]) << 8) | b[pos + 3];
      if (length < 2) return 0;
      pos += 2 + length;
      if (pos > n) return 0;
      if (code == 0xDA) {
        for (;;) {
          while (pos < n && b[pos] != 0xFF) ++pos;
          if (pos >= n || pos + 1 >= n) return 0;
          const uint8_t next = b[pos + 1];
          if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
            pos += 2;
          } else if (next == 0xFF) {
            pos += 1;
          } else {
            break;
          }
        }
      }
    }
    if (pos + 1 >= n) return 0;
  }
}

JpegFraming checkJpegFraming(std::vector<uint8_t>& bytes) {
  const std::size_t n = bytes.size();
  std::size_t trimmed = n;
  while (trimmed > 2 && bytes[trimmed - 1] == 0) --trimmed;
  if (n < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return JpegFraming::Truncated;
  if (bytes[trimmed - 2] == 0xFF && bytes[trimmed - 1] == 0xD9) return JpegFraming::Intact;
  const std::size_t end = findJpegEnd(bytes);
  if (end == 0) return JpegFraming::Truncated;
  bytes.resize(end);
  return JpegFraming::Padded;
}

uint32_t fourccCode(double code) {
  // Outside the 64-bit range (or not a number) the conversion itself would be undefined.
  if (!(std::fabs(code) < 9.0e18)) return 0;
  return static_cast<uint32_t>(static_cast<int64_t>(code));
}

std::string fourccToText(double code) {
  const uint32_t value = fourccCode(code);
  std::string text;
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    if (c == 0) continue;
    if (c < 0x20 || c > 0x7E) printable = false;
    text.push_back(static_cast<char>(c));
  }
  if (text.empty()) return "UNKNOWN";
  if (printable) return text;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", value);
  return hex;
}

uint32_t fourccFromText(const std::string& text) {
  const std::string code = text.size() == 4 ? text : "MJPG";
  return static_cast<uint32_t>(static_cast<unsigned char>(code[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

int32_t selftestJpegEnd() {
  cv::Mat image(48, 64, CV_8UC3);
  cv::RNG rng(0x7a5);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  std::vector<uint8_t> jpeg;
  if (!cv::imencode(".jpg", image, jpeg) || jpeg.size() < 100) return -1;
  const std::size_t length = jpeg.size();
  if (findJpegEnd(jpeg) != length) return -2;
  std::vector<uint8_t> padded = jpeg;
  for (std::size_t i = 0; i < 200000; ++i) padded.push_back(static_cast<uint8_t>((i * 37 + 11) % 256));
  padded.push_back(0xFF);
  padded.push_back(0xD9);
  if (findJpegEnd(padded) != length) return -3;
  std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(2 * length / 3));
  if (findJpegEnd(cut) != 0) return -4;
  cut.resize(cut.size() + 5000, 0);
  if (findJpegEnd(cut) != 0) return -5;
  return 1;
}

}  // namespace tarv
