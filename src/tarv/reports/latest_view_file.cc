#include "tarv/reports/latest_view_file.h"

#include <fstream>
#include <system_error>

#include <opencv2/imgproc.hpp>

namespace tarv {

namespace fs = std::filesystem;

bool writeFileBytes(const fs::path& path, const std::vector<uchar>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  const bool good = out.good();
  out.close();
  return good && !out.fail();
}

std::vector<uchar> latest3dViewBytes(const cv::Mat& bgr) {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  std::vector<uchar> bytes{'V', '3', 'D', '1'};
  for (const int32_t value : {rgb.cols, rgb.rows}) {
    const uint32_t bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uchar>(bits >> shift));
  }
  const std::size_t rowBytes = static_cast<std::size_t>(rgb.cols) * 3;
  bytes.reserve(bytes.size() + rowBytes * rgb.rows);
  for (int y = 0; y < rgb.rows; ++y) {
    const uchar* row = rgb.ptr<uchar>(y);
    bytes.insert(bytes.end(), row, row + rowBytes);
  }
  return bytes;
}

void writeLatest3dView(const fs::path& root, const cv::Mat& bgr, const FileWriter& writer) noexcept {
  try {
    const fs::path temporary = root / "latest-3d.tmp";
    if (!writer(temporary, latest3dViewBytes(bgr))) return;
    std::error_code error;
    fs::rename(temporary, root / "latest-3d.rgb", error);
  } catch (...) {
  }
}

}  // namespace tarv
