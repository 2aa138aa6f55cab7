#include "landmark_training/rig_variety.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tarv::landmark_boards {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The order of draws from one generator must not be left to the compiler, or the same seed
// renders other boards with another compiler. Each draw is therefore taken into a named value
// first, in the order the training boards were made in: the last argument drawn first.
cv::Scalar randomColour(scene::SceneRandom& rng) {
  const double red = rng.uniform(0, 255), green = rng.uniform(0, 255), blue = rng.uniform(0, 255);
  return cv::Scalar(blue, green, red);
}

// Letters as a maker prints them: a word or two of capitals.
std::string randomWord(scene::SceneRandom& rng) {
  std::string s;
  const int n = 3 + static_cast<int>(rng.next() % 6);
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + rng.next() % 26));
  return s;
}

// Board millimetres (the texture's frame) -> texture pixel.
cv::Point2d texturePixel(const scene::BoardTexture& t, double x, double y) {
  return {(x - t.origin_mm) / t.mm_per_px, (y - t.origin_mm) / t.mm_per_px};
}

cv::Mat radiusMap(const scene::BoardTexture& t) {
  cv::Mat r(t.image.size(), CV_32F);
  for (int v = 0; v < r.rows; ++v) {
    float* row = r.ptr<float>(v);
    const double y = t.origin_mm + v * t.mm_per_px;
    for (int u = 0; u < r.cols; ++u) row[u] = static_cast<float>(std::hypot(t.origin_mm + u * t.mm_per_px, y));
  }
  return r;
}

// The number ring in another pair of colours: the printed numbers keep their shapes, the ring
// and the figures are blended from new colours by how bright each pixel was.
void recolourNumberRing(cv::Mat& image, const cv::Mat& radius, scene::SceneRandom& rng) {
  static const std::array<cv::Scalar, 6> kDarkRings{cv::Scalar(22, 22, 24), cv::Scalar(70, 30, 20), cv::Scalar(25, 25, 120),
                                                    cv::Scalar(30, 70, 25), cv::Scalar(60, 60, 60), cv::Scalar(40, 30, 30)};
  static const std::array<cv::Scalar, 5> kLightFigures{cv::Scalar(235, 235, 235), cv::Scalar(40, 200, 230), cv::Scalar(160, 170, 180),
                                                       cv::Scalar(60, 160, 210), cv::Scalar(200, 220, 255)};
  cv::Scalar ring = kDarkRings[rng.next() % kDarkRings.size()];
  cv::Scalar figure = kLightFigures[rng.next() % kLightFigures.size()];
  if (rng.uniform() < 0.25) std::swap(ring, figure);  // dark figures on a light ring
  const double inner = 171.5, outer = scene::kBoardRadius;
  for (int v = 0; v < image.rows; ++v) {
    const float* r = radius.ptr<float>(v);
    cv::Vec3b* p = image.ptr<cv::Vec3b>(v);
    for (int u = 0; u < image.cols; ++u) {
      if (r[u] <= inner || r[u] >= outer) continue;
      const double grey = (p[u][0] + p[u][1] + p[u][2]) / 3.0;
      const double t = std::clamp((grey - 22.0) / 200.0, 0.0, 1.0);
      for (int c = 0; c < 3; ++c) p[u][c] = cv::saturate_cast<uchar>(ring[c] * (1.0 - t) + figure[c] * t);
    }
  }
}

// Wires of another make: duller or brass-coloured steel, or wider (the centres stay put).
void restyleWires(cv::Mat& image, const cv::Mat& radius, scene::SceneRandom& rng) {
  cv::Mat wire(image.size(), CV_8U, cv::Scalar(0));
  for (int v = 0; v < image.rows; ++v) {
    const float* r = radius.ptr<float>(v);
    const cv::Vec3b* p = image.ptr<cv::Vec3b>(v);
    uchar* w = wire.ptr<uchar>(v);
    for (int u = 0; u < image.cols; ++u) {
      if (r[u] > 171.0f) continue;
      const int b = p[u][0], g = p[u][1], red = p[u][2];
      if (b > 150 && g > 150 && red > 150 && std::abs(b - red) < 22 && std::abs(g - red) < 22) w[u] = 255;
    }
  }
  if (rng.uniform() < 0.35) cv::dilate(wire, wire, cv::Mat::ones(3, 3, CV_8U));
  const double dull = rng.uniform(0.55, 1.0);
  const bool brass = rng.uniform() < 0.25;
  const cv::Vec3d gain = brass ? cv::Vec3d(0.55, 0.85, 1.0) * dull : cv::Vec3d(dull, dull, dull);
  for (int v = 0; v < image.rows; ++v) {
    const uchar* w = wire.ptr<uchar>(v);
    cv::Vec3b* p = image.ptr<cv::Vec3b>(v);
    for (int u = 0; u < image.cols; ++u) {
      if (!w[u]) continue;
      for (int c = 0; c < 3; ++c) p[u][c] = cv::saturate_cast<uchar>(205.0 * gain[c]);
    }
  }
}

// Stains, bleached patches and dart holes on the sisal.
void wearSisal(scene::BoardTexture& t, scene::SceneRandom& rng) {
  cv::Mat image;
  t.image.convertTo(image, CV_32FC3);
  const double pxPerMm = 1.0 / t.mm_per_px;
  const int blotches = static_cast<int>(rng.next() % 7);
  for (int i = 0; i < blotches; ++i) {
    cv::Mat mask(image.size(), CV_32F, cv::Scalar(0));
    const double a = rng.uniform(0.0, 2.0 * kPi), r = rng.uniform(0.0, 165.0);
    const cv::Point2d c = texturePixel(t, r * std::cos(a), r * std::sin(a));
    const int minor = static_cast<int>(rng.uniform(4.0, 30.0) * pxPerMm);
    const cv::Size axes(static_cast<int>(rng.uniform(4.0, 45.0) * pxPerMm), minor);
    const double strength = rng.uniform(0.15, 0.55);
    cv::ellipse(mask, c, axes, rng.uniform(0.0, 180.0), 0, 360, cv::Scalar(strength), -1);
    cv::GaussianBlur(mask, mask, cv::Size(), 3.0 * pxPerMm);
    const bool light = rng.uniform() < 0.4;
    const cv::Scalar colour = light ? cv::Scalar(170, 190, 200) : cv::Scalar(20, 35, 50);
    std::vector<cv::Mat> ch;
    cv::split(image, ch);
    for (int k = 0; k < 3; ++k) ch[k] = ch[k].mul(1.0 - mask) + mask * colour[k];
    cv::merge(ch, image);
  }
  if (rng.uniform() < 0.6) {
    // Holes cluster where players aim: the treble 20, the bull, and anywhere at all.
    const int holes = 50 + static_cast<int>(rng.next() % 700);
    const double depth = rng.uniform(0.3, 0.7);
    for (int i = 0; i < holes; ++i) {
      const double pick = rng.uniform();
      double x, y;
      if (pick < 0.45) {
        x = rng.normal() * 12.0;
        y = -103.0 + rng.normal() * 12.0;
      } else if (pick < 0.65) {
        x = rng.normal() * 15.0;
        y = rng.normal() * 15.0;
      } else {
        const double a = rng.uniform(0.0, 2.0 * kPi), r = 170.0 * std::sqrt(rng.uniform());
        x = r * std::cos(a);
        y = r * std::sin(a);
      }
      const cv::Point2d c = texturePixel(t, x, y);
      const int rad = std::max(1, static_cast<int>(rng.uniform(0.3, 0.9) * pxPerMm));
      const cv::Rect box = cv::Rect(static_cast<int>(c.x) - rad, static_cast<int>(c.y) - rad, 2 * rad + 1, 2 * rad + 1) &
                           cv::Rect(0, 0, image.cols, image.rows);
      if (box.empty()) continue;
      image(box) *= 1.0 - depth;
    }
  }
  image.convertTo(t.image, CV_8UC3);
}

// A maker's name on the surround and a logo in a single bed.
void printLogos(scene::BoardTexture& t, scene::SceneRandom& rng) {
  const double pxPerMm = 1.0 / t.mm_per_px;
  const int texts = 1 + static_cast<int>(rng.next() % 3);
  for (int i = 0; i < texts; ++i) {
    const bool inBed = rng.uniform() < 0.4;
    const double a = rng.uniform(0.0, 2.0 * kPi);
    const double r = inBed ? (rng.uniform() < 0.5 ? rng.uniform(35.0, 85.0) : rng.uniform(118.0, 150.0)) : rng.uniform(205.0, 218.0);
    const double heightMm = inBed ? rng.uniform(5.0, 11.0) : rng.uniform(5.0, 9.0);
    const double scale = heightMm * pxPerMm / 22.0;
    const std::string word = randomWord(rng);
    int base = 0;
    const int font = static_cast<int>(rng.next() % 5);
    const int thick = std::max(1, static_cast<int>(heightMm * pxPerMm / 9.0));
    const cv::Size size = cv::getTextSize(word, font, scale, thick, &base);
    const cv::Point2d c = texturePixel(t, r * std::cos(a), r * std::sin(a));
    cv::putText(t.image, word, cv::Point(static_cast<int>(c.x - size.width / 2), static_cast<int>(c.y + size.height / 2)), font,
                scale, randomColour(rng), thick, cv::LINE_AA);
  }
}

cv::Mat lightField(cv::Size size, scene::SceneRandom& rng, bool ledRing) {
  cv::Mat field(size, CV_32F);
  const double diag = std::hypot(size.width, size.height);
  const double drawn = rng.uniform();
  const double kind = ledRing ? 0.0 : drawn;
  // LED ring round the lens: a bright middle falling off outwards. Room lamp: light across
  // the image from one side, with a soft spot.
  const double centreY = size.height * rng.uniform(0.3, 0.7);
  const cv::Point2d centre(size.width * rng.uniform(0.3, 0.7), centreY);
  const double spread = rng.uniform(0.2, 0.6) * diag, amplitude = rng.uniform(0.2, 1.0), floor = rng.uniform(0.45, 0.9);
  const double dir = rng.uniform(0.0, 2.0 * kPi), slope = rng.uniform(-0.8, 0.8);
  const double vignette = rng.uniform() < 0.6 ? rng.uniform(0.1, 0.8) : 0.0;
  const double power = rng.uniform() < 0.5 ? 2.0 : 4.0;
  const cv::Point2d mid(size.width / 2.0, size.height / 2.0);
  const double half = diag / 2.0;
  for (int y = 0; y < size.height; ++y) {
    float* row = field.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      double l = 1.0;
      if (kind < 0.35) {
        const double d2 = (x - centre.x) * (x - centre.x) + (y - centre.y) * (y - centre.y);
        l = floor + amplitude * std::exp(-d2 / (2.0 * spread * spread));
      } else if (kind < 0.7) {
        const double along = ((x - mid.x) * std::cos(dir) + (y - mid.y) * std::sin(dir)) / diag;
        const double d2 = (x - centre.x) * (x - centre.x) + (y - centre.y) * (y - centre.y);
        l = std::max(0.2, 1.0 + slope * along) * (0.8 + 0.4 * amplitude * std::exp(-d2 / (2.0 * spread * spread)));
      }
      const double d = std::hypot(x - mid.x, y - mid.y) / half;
      l *= 1.0 - vignette * std::pow(d, power);
      row[x] = static_cast<float>(l);
    }
  }
  return field;
}

}  // namespace

scene::BoardTexture otherMakeTexture(const scene::BoardTexture& face, scene::SceneRandom& rng) {
  scene::BoardTexture out = face;
  out.image = face.image.clone();
  const cv::Mat radius = radiusMap(out);
  if (rng.uniform() < 0.45) recolourNumberRing(out.image, radius, rng);
  if (rng.uniform() < 0.5) restyleWires(out.image, radius, rng);
  if (rng.uniform() < 0.6) wearSisal(out, rng);
  if (rng.uniform() < 0.6) printLogos(out, rng);
  return out;
}

void paintSurround(cv::Mat& frame, const scene::Camera& camera, const cv::Mat& beyondRim, scene::SceneRandom& rng) {
  if (rng.uniform() < 0.5) {
    const double outer = rng.uniform(235.0, 380.0);
    std::vector<cv::Point> rim;
    for (int i = 0; i < 180; ++i) {
      const double a = i * 2.0 * kPi / 180.0;
      const cv::Point2d p = camera.project(cv::Point2d(outer * std::cos(a), outer * std::sin(a)));
      rim.emplace_back(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
    }
    cv::Mat ring(frame.size(), CV_8U, cv::Scalar(0));
    cv::fillPoly(ring, std::vector<std::vector<cv::Point>>{rim}, cv::Scalar(255), cv::LINE_AA);
    ring &= beyondRim;
    static const std::array<cv::Scalar, 6> kRings{cv::Scalar(30, 30, 200), cv::Scalar(160, 60, 20), cv::Scalar(20, 20, 20),
                                                  cv::Scalar(30, 180, 220), cv::Scalar(40, 120, 40), cv::Scalar(200, 200, 200)};
    const double shade = rng.uniform(0.6, 1.1);
    frame.setTo(kRings[rng.next() % kRings.size()] * shade, ring);
    const int texts = static_cast<int>(rng.next() % 3);
    const double mmPx = cv::norm(camera.project(cv::Point2d(0, 0)) - camera.project(cv::Point2d(10, 0))) / 10.0;
    for (int i = 0; i < texts; ++i) {
      const double a = rng.uniform(0.0, 2.0 * kPi), r = 0.5 * (scene::kBoardRadius + outer);
      const cv::Point2d p = camera.project(cv::Point2d(r * std::cos(a), r * std::sin(a)));
      const cv::Scalar colour = randomColour(rng);
      const int font = static_cast<int>(rng.next() % 5);
      cv::putText(frame, randomWord(rng), p, font, std::max(0.3, 0.6 * mmPx), colour, std::max(1, static_cast<int>(mmPx)), cv::LINE_AA);
    }
  }
  if (rng.uniform() < 0.3) {
    // Lamps: bright blobs with a halo, clipped where they burn out.
    cv::Mat glow(frame.size(), CV_32F, cv::Scalar(0));
    const int lamps = 1 + static_cast<int>(rng.next() % 3);
    for (int i = 0; i < lamps; ++i) {
      const int y = static_cast<int>(rng.uniform(0.0, frame.rows));
      const cv::Point c(static_cast<int>(rng.uniform(0.0, frame.cols)), y);
      cv::circle(glow, c, static_cast<int>(rng.uniform(0.005, 0.04) * frame.cols) + 1, cv::Scalar(1.0), -1, cv::LINE_AA);
    }
    cv::Mat halo;
    cv::GaussianBlur(glow, halo, cv::Size(), 0.03 * frame.cols);
    glow = cv::max(glow, halo * 1.5);
    cv::Mat mask;
    beyondRim.convertTo(mask, CV_32F, 1.0 / 255.0);
    glow = glow.mul(mask);
    cv::Mat f;
    frame.convertTo(f, CV_32FC3);
    std::vector<cv::Mat> ch;
    cv::split(f, ch);
    for (auto& c : ch) c = c.mul(1.0 - cv::min(glow, 1.0)) + 255.0 * cv::min(glow, 1.0);
    cv::merge(ch, f);
    f.convertTo(frame, CV_8UC3);
  }
}

cv::Mat rigImaging(const cv::Mat& frame, const scene::Camera& camera, scene::SceneRandom& rng, bool ledRing) {
  (void)camera;
  cv::Mat f;
  frame.convertTo(f, CV_32FC3);
  const double gain = std::exp(rng.uniform(std::log(0.22), std::log(1.7)));
  cv::Vec3d tint(1.0, 1.0, 1.0);
  if (rng.uniform() < 0.6) {
    const double red = rng.uniform(0.75, 1.25), green = rng.uniform(0.85, 1.15);
    tint = cv::Vec3d(rng.uniform(0.75, 1.25), green, red);
  }
  if (rng.uniform() < 0.15) {  // warm lamp
    const double red = rng.uniform(1.1, 1.35), green = rng.uniform(0.75, 0.95);
    tint = cv::Vec3d(rng.uniform(0.45, 0.8), green, red);
  }
  const cv::Mat light = lightField(frame.size(), rng, ledRing);
  std::vector<cv::Mat> ch;
  cv::split(f, ch);
  for (int c = 0; c < 3; ++c) ch[c] = ch[c].mul(light) * (gain * tint[c]);
  cv::merge(ch, f);
  if (rng.uniform() < 0.5) {
    const double gamma = rng.uniform(0.7, 1.4);
    cv::Mat n = cv::max(f, 0.0) / 255.0;
    cv::pow(n, gamma, n);
    f = n * 255.0;
  }
  if (rng.uniform() < 0.06) {
    cv::Mat grey;
    cv::cvtColor(f, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, f, cv::COLOR_GRAY2BGR);
  }
  const double blurKind = rng.uniform();
  if (blurKind < 0.5) {
    cv::GaussianBlur(f, f, cv::Size(), rng.uniform(0.3, 2.0));
  } else if (blurKind < 0.58) {
    const int len = 3 + static_cast<int>(rng.next() % 5);
    cv::Mat k(len, len, CV_32F, cv::Scalar(0));
    const double a = rng.uniform(0.0, kPi);
    const cv::Point2d c((len - 1) / 2.0, (len - 1) / 2.0), d(std::cos(a) * (len - 1) / 2.0, std::sin(a) * (len - 1) / 2.0);
    cv::line(k, c - d, c + d, cv::Scalar(1.0), 1, cv::LINE_AA);
    k /= cv::sum(k)[0];
    cv::filter2D(f, f, -1, k);
  }
  // Sensor noise grows as the light falls.
  const double sensor = rng.uniform(0.0, 6.0);
  const double sigma = sensor + (gain < 0.6 ? rng.uniform(0.0, 8.0) : 0.0);
  if (sigma > 0.0) {
    cv::Mat noise(f.size(), CV_32FC3);
    cv::RNG cvRng(rng.next());
    cvRng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    f += noise;
  }
  cv::Mat out;
  f.convertTo(out, CV_8UC3);
  const double compression = rng.uniform();
  if (compression < 0.2) {
    // MJPG from a USB camera: chroma at half resolution, then low-quality blocks.
    cv::Mat ycc;
    cv::cvtColor(out, ycc, cv::COLOR_BGR2YCrCb);
    std::vector<cv::Mat> planes;
    cv::split(ycc, planes);
    for (int c = 1; c < 3; ++c) {
      cv::Mat half;
      cv::resize(planes[c], half, cv::Size((out.cols + 1) / 2, rng.uniform() < 0.5 ? out.rows : (out.rows + 1) / 2), 0, 0, cv::INTER_AREA);
      cv::resize(half, planes[c], out.size(), 0, 0, cv::INTER_LINEAR);
    }
    cv::merge(planes, ycc);
    cv::cvtColor(ycc, out, cv::COLOR_YCrCb2BGR);
  }
  if (compression < 0.85) {
    const int quality = compression < 0.2 ? static_cast<int>(rng.uniform(25.0, 75.0)) : static_cast<int>(rng.uniform(15.0, 95.0));
    std::vector<uchar> buffer;
    cv::imencode(".jpg", out, buffer, {cv::IMWRITE_JPEG_QUALITY, quality});
    out = cv::imdecode(buffer, cv::IMREAD_COLOR);
  }
  return out;
}

}  // namespace tarv::landmark_boards
