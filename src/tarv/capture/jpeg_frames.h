// JPEG framing of camera samples (MJPG streams deliver one JPEG per sample, sometimes with
// zero padding or garbage after it, sometimes cut short) and the text form of a fourcc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarv {

// Length of the JPEG through its EOI marker; 0 when the bytes hold no complete JPEG.
std::size_t findJpegEnd(const std::vector<uint8_t>& bytes);

enum class JpegFraming { Intact, Padded, Truncated };

// Checks one sample's framing. Zero padding after the EOI stays; other bytes after it are
// cut off (Padded); a sample without SOI or without a reachable EOI is Truncated.
JpegFraming checkJpegFraming(std::vector<uint8_t>& bytes);

// A code as the image library reports it (a double, at times negative) to its 32 bits, the
// low bits of the truncated value; 0 for what no integer holds.
uint32_t fourccCode(double code);
// Four characters from the lowest byte up, "UNKNOWN" for 0, "0x%08X" when not printable.
std::string fourccToText(double code);
uint32_t fourccFromText(const std::string& text);

// Checks findJpegEnd on an encoded random image: 1 passed, -1..-5 the check that failed.
int32_t selftestJpegEnd();

}  // namespace tarv
