// File writing shared by the evidence writer, and the raw newest 3D view that another
// process can show without decoding JPEG or scanning folders.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

namespace tarv {

// Writes the bytes to the path, replacing the file; false when they did not all reach it.
using FileWriter =
    std::function<bool(const std::filesystem::path& path, const std::vector<uchar>& bytes)>;
bool writeFileBytes(const std::filesystem::path& path, const std::vector<uchar>& bytes);

// The BGR image as "V3D1", width and height as little-endian int32, then rows of R, G, B.
std::vector<uchar> latest3dViewBytes(const cv::Mat& bgr);

// Publishes the image as "latest-3d.rgb" in the root, replaced whole through
// "latest-3d.tmp": a reader sees the previous file or the new one. Failures are ignored.
void writeLatest3dView(const std::filesystem::path& root, const cv::Mat& bgr,
                       const FileWriter& writer) noexcept;

}  // namespace tarv
