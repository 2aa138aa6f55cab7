// Capture throughput and copy costs at 1920x1080: how many frames a slot sustains from an
// MJPG file through OpenCV and through the frame intake alone (decoded and JPEG samples as the
// native backends publish them), and what the copy exports cost, against one memcpy.
//   tarv_capture_bench [--seconds S] [--runs N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "bench/median_time.h"
#include "tarv/capture/capture_slot.h"
#include "tarv/capture/frame_intake.h"
#include "tarv/tarv.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A board-like picture with fine texture (JPEG size like a camera's) and a moving blob.
cv::Mat picture(int i) {
  cv::Mat image(kHeight, kWidth, CV_8UC3);
  cv::RNG rng(77);
  rng.fill(image, cv::RNG::NORMAL, cv::Scalar(90, 110, 120), cv::Scalar(5, 5, 5));
  cv::circle(image, {kWidth / 2, kHeight / 2}, 450, cv::Scalar(30, 40, 160), 30);
  cv::circle(image, {200 + 24 * (i % 60), 300}, 40, cv::Scalar(240, 240, 240), cv::FILLED);
  return image;
}

using tarv::bench::medianMs;

// Frames a second the file camera sustains: the file's own rate is far above what decoding
// allows, so the slot runs as fast as it can.
double fileCameraFps(const std::string& file, double seconds) {
  if (tarv_capture_open(0, file.c_str(), 0, 0, 0, nullptr, 0) != 0) return -1;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const nlohmann::json h = nlohmann::json::parse(tarv_capture_health(0));
  tarv_capture_close(0);
  return h.value("actual_fps", -1.0);
}

double intakeFps(bool jpeg, const std::vector<std::vector<uint8_t>>& samples, const std::vector<cv::Mat>& frames,
                 double seconds) {
  tarv::SlotState slot;
  const auto start = std::chrono::steady_clock::now();
  int n = 0;
  double elapsed = 0;
  while (elapsed < seconds) {
    const double now = elapsed * 1000;
    if (jpeg) {
      tarv::publishCapturedFrame(slot, cv::Mat(), samples[static_cast<std::size_t>(n) % samples.size()], now, now);
    } else {
      tarv::publishCapturedFrame(slot, frames[static_cast<std::size_t>(n) % frames.size()], {}, now, now);
    }
    ++n;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return n / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  int runs = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  cv::setNumThreads(1);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "tarv-capture-bench";
  std::filesystem::create_directories(dir);
  const std::string fast = (dir / "fast.avi").string();
  const std::string real = (dir / "real.avi").string();
  std::vector<cv::Mat> frames;
  std::vector<std::vector<uint8_t>> samples;
  {
    cv::VideoWriter a(fast, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 1000, {kWidth, kHeight});
    cv::VideoWriter b(real, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, {kWidth, kHeight});
    for (int i = 0; i < 60; ++i) {
      const cv::Mat p = picture(i);
      a.write(p);
      b.write(p);
      if (i < 20) {
        frames.push_back(p);
        samples.emplace_back();
        cv::imencode(".jpg", p, samples.back());
      }
    }
  }

  std::size_t jpeg_bytes = 0;
  for (const auto& s : samples) jpeg_bytes += s.size();
  std::printf("capture at %dx%d (one OpenCV thread), JPEG samples of %zu kB\n", kWidth, kHeight,
              jpeg_bytes / samples.size() / 1024);
  std::printf("%-52s %10s\n", "row", "value");
  std::printf("%-52s %10.1f\n", "file camera, MJPG file, frames/s sustained", fileCameraFps(fast, seconds));
  std::printf("%-52s %10.1f\n", "file camera, 30 fps file, frames/s delivered", fileCameraFps(real, seconds));
  std::printf("%-52s %10.1f\n", "intake, decoded frames, frames/s", intakeFps(false, samples, frames, seconds));
  std::printf("%-52s %10.1f\n", "intake, JPEG samples (native MJPG), frames/s", intakeFps(true, samples, frames, seconds));

  const std::size_t bytes = static_cast<std::size_t>(kWidth) * kHeight * 3;
  std::vector<uint8_t> dst(bytes);
  std::vector<uint8_t> half(static_cast<std::size_t>(kWidth / 2) * (kHeight / 2) * 3);
  std::vector<uint8_t> quarter(static_cast<std::size_t>(kWidth / 4) * (kHeight / 4) * 3);
  const double floor = medianMs(runs, [&] { std::memcpy(dst.data(), frames[0].data, bytes); });
  std::printf("%-52s %10.3f\n", "floor: memcpy of one frame, ms", floor);

  for (const bool jpeg : {false, true}) {
    const std::shared_ptr<tarv::SlotState> slot = tarv::captureSlots()[1].state();
    {
      std::lock_guard<std::mutex> lock(slot->mutex);
      slot->jpeg_mode = jpeg;
    }
    for (int i = 0; i < 3; ++i) {
      if (jpeg) {
        tarv::publishCapturedFrame(*slot, cv::Mat(), samples[static_cast<std::size_t>(i)], i, i);
      } else {
        tarv::publishCapturedFrame(*slot, frames[static_cast<std::size_t>(i)], {}, i, i);
      }
    }
    const char* mode = jpeg ? "JPEG" : "decoded";
    const double full = medianMs(runs, [&] { tarv_capture_copy(1, 0, dst.data(), dst.size()); });
    const double by2 = medianMs(runs, [&] { tarv_capture_copy_reduced(1, 0, 2, half.data(), half.size()); });
    const double by4 = medianMs(runs, [&] { tarv_capture_copy_reduced(1, 0, 4, quarter.data(), quarter.size()); });
    std::printf("copy, %-7s frame, full size, ms (x floor)             %7.3f (%.1f)\n", mode, full, full / floor);
    std::printf("copy reduced /2, %-7s, ms (x floor)                  %7.3f (%.1f)\n", mode, by2, by2 / floor);
    std::printf("copy reduced /4, %-7s, ms (x floor)                  %7.3f (%.1f)\n", mode, by4, by4 / floor);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
