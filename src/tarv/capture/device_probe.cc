#include "tarv/capture/device_probe.h"

#include <algorithm>
#include <string>

#include "tarv/capture/jpeg_frames.h"

namespace tarv {

nlohmann::json enumerateCaptureDevices(VideoSystem& video) {
  nlohmann::json devices = nlohmann::json::array();
  int index = 0;
  for (const VideoDeviceInfo& d : video.captureDevices()) {
    nlohmann::json device = {{"controls", nlohmann::json::array()}, {"dshow_index", index++}, {"moniker", d.path}};
    if (!d.name.empty()) device["name"] = d.name;
    if (!d.bus_info.empty()) device["device_path"] = d.bus_info;
    devices.push_back(device);
  }
  return {{"devices", devices}, {"source", "NATIVE_V4L2"}, {"status", "OK"}};
}

nlohmann::json probeCaptureModes(VideoSystem& video, uint32_t index) {
  nlohmann::json modes = nlohmann::json::array();
  int32_t types_seen = 0;
  int32_t unknown_timing = 0;
  int32_t pins_seen = 0;
  std::string error;
  const std::vector<VideoDeviceInfo> devices = video.captureDevices();
  std::unique_ptr<VideoDevice> device;
  if (index < devices.size()) device = video.open(devices[index].path, error);
  if (!device) {
    error = "device not found";
  } else {
    pins_seen = 1;
    for (const VideoMode& m : device->modes()) {
      ++types_seen;
      if (m.min_interval <= 0 || m.max_interval <= 0) {
        ++unknown_timing;
        continue;
      }
      if (m.width <= 0 || m.height <= 0) continue;
      const nlohmann::json mode = {{"fourcc", fourccToText(static_cast<double>(m.fourcc))},
                                   {"fps_max", static_cast<int>(1.0 / m.min_interval + 0.5)},
                                   {"fps_min", static_cast<int>(1.0 / m.max_interval + 0.5)},
                                   {"height", m.height},
                                   {"width", m.width}};
      if (std::find(modes.begin(), modes.end(), mode) == modes.end()) modes.push_back(mode);
    }
  }
  nlohmann::json reply = {{"index", static_cast<int32_t>(index)}, {"modes", modes},
                          {"pins_seen", pins_seen}, {"status", error.empty() ? "OK" : "UNKNOWN"},
                          {"types_seen", types_seen}, {"unknown_timing", unknown_timing}};
  if (!error.empty()) reply["error"] = error;
  return reply;
}

}  // namespace tarv
