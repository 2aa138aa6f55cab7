// The device list and the mode probe of one device, as JSON replies.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "tarv/capture/video_device.h"

namespace tarv {

nlohmann::json enumerateCaptureDevices(VideoSystem& video);
nlohmann::json probeCaptureModes(VideoSystem& video, uint32_t index);

}  // namespace tarv
