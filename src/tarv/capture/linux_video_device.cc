// V4L2 devices: memory-mapped streaming, the device's format and interval lists, and the
// camera controls mapped to V4L2 controls.
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "tarv/capture/video_device.h"

namespace tarv {
namespace {

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string fixedText(const uint8_t* bytes, std::size_t size) {
  std::size_t n = 0;
  while (n < size && bytes[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

bool queryCapture(int fd, v4l2_capability& cap) {
  std::memset(&cap, 0, sizeof cap);
  if (xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) return false;
  const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

double seconds(const v4l2_fract& f) { return f.denominator ? double(f.numerator) / f.denominator : 0; }

struct ControlIds {
  uint32_t value;
  uint32_t automatic;
};

ControlIds controlIds(CameraControl control) {
  switch (control) {
    case CameraControl::Exposure:
      return {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO};
    case CameraControl::Focus:
      return {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO};
    case CameraControl::WhiteBalance:
      break;
  }
  return {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE};
}

class LinuxVideoDevice : public VideoDevice, public CameraControls {
 public:
  explicit LinuxVideoDevice(int fd) : fd_(fd) {}
  ~LinuxVideoDevice() override {
    stopStreaming();
    ::close(fd_);
  }

  std::vector<VideoMode> modes() override {
    std::vector<VideoMode> out;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; xioctl(fd_, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
      v4l2_frmsizeenum size{};
      size.pixel_format = desc.pixelformat;
      for (size.index = 0; xioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
          addIntervals(out, desc.pixelformat, size.discrete.width, size.discrete.height);
        } else {
          // Stepwise sizes are listed by their largest size, the one a camera is asked for.
          addIntervals(out, desc.pixelformat, size.stepwise.max_width, size.stepwise.max_height);
          break;
        }
      }
    }
    return out;
  }

  std::string setFormat(uint32_t fourcc, int width, int height) override {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<uint32_t>(width);
    fmt.fmt.pix.height = static_cast<uint32_t>(height);
    fmt.fmt.pix.pixelformat = fourcc;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(fd_, VIDIOC_S_FMT, &fmt) != 0) return errnoText("VIDIOC_S_FMT");
    if (fmt.fmt.pix.pixelformat != fourcc || int(fmt.fmt.pix.width) != width ||
        int(fmt.fmt.pix.height) != height) {
      return "format refused";
    }
    bytes_per_line_ = fmt.fmt.pix.bytesperline;
    return {};
  }

  std::size_t bytesPerLine() override { return bytes_per_line_; }

  double setFrameInterval(double wanted) override {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (!(wanted > 0) || xioctl(fd_, VIDIOC_G_PARM, &parm) != 0) return 0;
    if (!(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) return seconds(parm.parm.capture.timeperframe);
    const double rate = 1.0 / wanted;
    if (std::fabs(rate - std::round(rate)) < 1e-6) {
      parm.parm.capture.timeperframe = {1, static_cast<uint32_t>(std::lround(rate))};
    } else {
      parm.parm.capture.timeperframe = {static_cast<uint32_t>(std::lround(wanted * 1e7)), 10000000u};
    }
    if (xioctl(fd_, VIDIOC_S_PARM, &parm) != 0) return 0;
    return seconds(parm.parm.capture.timeperframe);
  }

  std::string startStreaming() override {
    v4l2_requestbuffers req{};
    req.count = 4;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &req) != 0) return errnoText("VIDIOC_REQBUFS");
    if (req.count < 2) return "too few buffers";
    for (uint32_t i = 0; i < req.count; ++i) {
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      buf.index = i;
      if (xioctl(fd_, VIDIOC_QUERYBUF, &buf) != 0) return errnoText("VIDIOC_QUERYBUF");
      void* start = ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buf.m.offset);
      if (start == MAP_FAILED) return errnoText("mmap");
      buffers_.push_back({start, buf.length});
      if (xioctl(fd_, VIDIOC_QBUF, &buf) != 0) return errnoText("VIDIOC_QBUF");
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) return errnoText("VIDIOC_STREAMON");
    streaming_ = true;
    return {};
  }

  Wait waitFrame(int timeout_ms, std::vector<uint8_t>& bytes, std::string& message) override {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r == 0 || (r < 0 && errno == EINTR)) return Wait::Timeout;
    if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      message = "device stopped delivering";
      return Wait::Ended;
    }
    // Drain what the driver has queued and keep the newest: an older buffer is only latency.
    v4l2_buffer newest{};
    bool have = false;
    for (;;) {
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      if (xioctl(fd_, VIDIOC_DQBUF, &buf) != 0) {
        if (errno == EAGAIN) break;
        message = errnoText("VIDIOC_DQBUF");
        return Wait::Ended;
      }
      if (have) xioctl(fd_, VIDIOC_QBUF, &newest);
      newest = buf;
      have = true;
    }
    if (!have) return Wait::Timeout;
    const Buffer& b = buffers_.at(newest.index);
    const std::size_t used = std::min<std::size_t>(newest.bytesused, b.length);
    const uint8_t* data = static_cast<const uint8_t*>(b.start);
    bytes.assign(data, data + used);
    if (xioctl(fd_, VIDIOC_QBUF, &newest) != 0) {
      message = errnoText("VIDIOC_QBUF");
      return Wait::Ended;
    }
    return Wait::Frame;
  }

  void stopStreaming() override {
    if (streaming_) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      xioctl(fd_, VIDIOC_STREAMOFF, &type);
      streaming_ = false;
    }
    for (const Buffer& b : buffers_) ::munmap(b.start, b.length);
    if (!buffers_.empty()) {
      buffers_.clear();
      v4l2_requestbuffers req{};
      req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      req.memory = V4L2_MEMORY_MMAP;
      xioctl(fd_, VIDIOC_REQBUFS, &req);
    }
  }

  CameraControls* controls() override { return this; }

  bool get(CameraControl control, ControlReading& reading) override {
    const ControlIds ids = controlIds(control);
    v4l2_control value{ids.value, 0};
    if (xioctl(fd_, VIDIOC_G_CTRL, &value) != 0) return false;
    reading.value = value.value;
    v4l2_control automatic{ids.automatic, 0};
    if (xioctl(fd_, VIDIOC_G_CTRL, &automatic) != 0) {
      reading.automatic = false;
    } else if (control == CameraControl::Exposure) {
      reading.automatic = automatic.value != V4L2_EXPOSURE_MANUAL;
    } else {
      reading.automatic = automatic.value != 0;
    }
    return true;
  }

  bool set(CameraControl control, int32_t value, bool automatic) override {
    const ControlIds ids = controlIds(control);
    if (automatic) {
      if (control == CameraControl::Exposure) {
        // UVC cameras offer aperture priority as their automatic exposure, others plain auto.
        v4l2_control c{ids.automatic, V4L2_EXPOSURE_APERTURE_PRIORITY};
        if (xioctl(fd_, VIDIOC_S_CTRL, &c) == 0) return true;
        c.value = V4L2_EXPOSURE_AUTO;
        return xioctl(fd_, VIDIOC_S_CTRL, &c) == 0;
      }
      v4l2_control c{ids.automatic, 1};
      return xioctl(fd_, VIDIOC_S_CTRL, &c) == 0;
    }
    v4l2_control off{ids.automatic, control == CameraControl::Exposure ? V4L2_EXPOSURE_MANUAL : 0};
    if (xioctl(fd_, VIDIOC_S_CTRL, &off) != 0) return false;
    v4l2_control c{ids.value, value};
    return xioctl(fd_, VIDIOC_S_CTRL, &c) == 0;
  }

  bool offersAuto(CameraControl control) override {
    v4l2_queryctrl q{};
    q.id = controlIds(control).automatic;
    return xioctl(fd_, VIDIOC_QUERYCTRL, &q) == 0 && !(q.flags & V4L2_CTRL_FLAG_DISABLED);
  }

 private:
  struct Buffer {
    void* start;
    std::size_t length;
  };

  void addIntervals(std::vector<VideoMode>& out, uint32_t fourcc, uint32_t width, uint32_t height) {
    v4l2_frmivalenum ival{};
    ival.pixel_format = fourcc;
    ival.width = width;
    ival.height = height;
    bool any = false;
    for (ival.index = 0; xioctl(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &ival) == 0; ++ival.index) {
      any = true;
      if (ival.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
        const double s = seconds(ival.discrete);
        out.push_back({fourcc, int(width), int(height), s, s});
      } else {
        out.push_back({fourcc, int(width), int(height), seconds(ival.stepwise.min), seconds(ival.stepwise.max)});
        break;
      }
    }
    if (!any) out.push_back({fourcc, int(width), int(height), 0, 0});
  }

  int fd_;
  std::size_t bytes_per_line_ = 0;
  std::vector<Buffer> buffers_;
  bool streaming_ = false;
};

class LinuxVideoSystem : public VideoSystem {
 public:
  std::vector<VideoDeviceInfo> captureDevices() override {
    std::vector<std::pair<long, std::string>> nodes;
    if (DIR* dir = ::opendir("/dev")) {
      while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > 5 && name.compare(0, 5, "video") == 0 &&
            name.find_first_not_of("0123456789", 5) == std::string::npos && name.size() < 12) {
          nodes.emplace_back(std::stol(name.substr(5)), "/dev/" + name);
        }
      }
      ::closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<VideoDeviceInfo> devices;
    for (const auto& node : nodes) {
      const int fd = ::open(node.second.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      v4l2_capability cap;
      if (queryCapture(fd, cap)) {
        devices.push_back({node.second, fixedText(cap.card, sizeof cap.card),
                           fixedText(cap.bus_info, sizeof cap.bus_info),
                           fixedText(cap.driver, sizeof cap.driver)});
      }
      ::close(fd);
    }
    return devices;
  }

  std::unique_ptr<VideoDevice> open(const std::string& path, std::string& error) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = errnoText(path.c_str());
      return nullptr;
    }
    v4l2_capability cap;
    if (!queryCapture(fd, cap)) {
      ::close(fd);
      error = path + " is not a streaming capture device";
      return nullptr;
    }
    return std::make_unique<LinuxVideoDevice>(fd);
  }
};

}  // namespace

std::shared_ptr<VideoSystem> linuxVideoSystem() { return std::make_shared<LinuxVideoSystem>(); }

}  // namespace tarv
