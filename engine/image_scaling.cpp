#include "engine/image_scaling.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kelo::engine {

namespace {

struct Tap {
  int index;     // source pixel
  float weight;  // the taps of one output pixel sum to 1
};

// For every output pixel of an axis, the source pixels it draws on.
struct AxisTaps {
  std::vector<int> first;  // output pixel o uses taps[first[o] .. first[o + 1])
  std::vector<Tap> taps;
};

// The taps of the first `count` (at most target) output pixels only: an axis
// scaled to billions of pixels and cut off at the page costs what the page
// shows.
AxisTaps Taps(int source, int64_t target, int count) {
  AxisTaps axis;
  axis.first.reserve(static_cast<size_t>(count) + 1);
  for (int o = 0; o < count; ++o) {
    axis.first.push_back(static_cast<int>(axis.taps.size()));
    if (target == source) {
      axis.taps.push_back({o, 1.0f});
    } else if (target < source) {
      // In units of 1/target of a source pixel: output o covers
      // [o * source, (o + 1) * source), source pixel i covers
      // [i * target, (i + 1) * target). Integer bounds keep the coverage exact.
      const int64_t begin = int64_t{o} * source;
      const int64_t end = begin + source;
      for (int64_t i = begin / target; i * target < end; ++i) {
        const int64_t overlap = std::min(end, (i + 1) * target) - std::max(begin, i * target);
        if (overlap > 0) {
          axis.taps.push_back({static_cast<int>(i), static_cast<float>(overlap) / source});
        }
      }
    } else {
      // Output pixel centres mapped onto the source; the edges hold the
      // border pixels.
      const double centre = (o + 0.5) * source / static_cast<double>(target) - 0.5;
      if (centre <= 0.0) {
        axis.taps.push_back({0, 1.0f});
      } else if (centre >= source - 1) {
        axis.taps.push_back({source - 1, 1.0f});
      } else {
        const int low = static_cast<int>(centre);
        const auto fraction = static_cast<float>(centre - low);
        axis.taps.push_back({low, 1.0f - fraction});
        axis.taps.push_back({low + 1, fraction});
      }
    }
  }
  axis.first.push_back(static_cast<int>(axis.taps.size()));
  return axis;
}

// Rounds half up; the value is clamped first, so adding 0.5 and truncating
// is the rounding (a library call for it cost a fifth of a scaled page).
uint8_t ToByte(float value) {
  return static_cast<uint8_t>(std::clamp(value, 0.0f, 255.0f) + 0.5f);
}

}  // namespace

RgbImage ScaleImageTop(const RgbImage& source, int width, int64_t height, int rows) {
  rows = static_cast<int>(std::clamp<int64_t>(rows, 0, height));
  RgbImage out(width, rows);
  if (rows == 0 || width <= 0 || source.width <= 0 || source.height <= 0) return out;
  if (width == source.width && height == source.height) {
    std::copy_n(source.rgb.begin(), out.rgb.size(), out.rgb.begin());
    return out;
  }

  const AxisTaps across = Taps(source.width, width, width);
  const AxisTaps down = Taps(source.height, height, rows);

  // Horizontal pass, kept unrounded for the vertical one, for the source
  // rows the output row being made draws on. The rows of one output row are
  // consecutive, so a ring one longer than the most taps of a row holds
  // them all, and a row shared with the next output row is made once.
  int mostTaps = 1;
  for (int y = 0; y < rows; ++y) {
    mostTaps = std::max(mostTaps, down.first[static_cast<size_t>(y) + 1] -
                                      down.first[static_cast<size_t>(y)]);
  }
  const size_t lineFloats = static_cast<size_t>(width) * 3;
  const auto slots = static_cast<size_t>(mostTaps) + 1;
  std::vector<float> ring(lineFloats * slots);
  std::vector<int> rowInSlot(slots, -1);
  auto horizontal = [&](int y) -> const float* {
    const size_t slot = static_cast<size_t>(y) % slots;
    float* line = ring.data() + lineFloats * slot;
    if (rowInSlot[slot] == y) return line;
    rowInSlot[slot] = y;
    const uint8_t* in = source.Pixel(0, y);
    for (int x = 0; x < width; ++x) {
      float r = 0, g = 0, b = 0;
      for (int t = across.first[static_cast<size_t>(x)]; t < across.first[static_cast<size_t>(x) + 1];
           ++t) {
        const Tap& tap = across.taps[static_cast<size_t>(t)];
        const uint8_t* px = in + static_cast<size_t>(tap.index) * 3;
        r += px[0] * tap.weight;
        g += px[1] * tap.weight;
        b += px[2] * tap.weight;
      }
      line[x * 3] = r;
      line[x * 3 + 1] = g;
      line[x * 3 + 2] = b;
    }
    return line;
  };

  std::vector<float> sum(lineFloats);
  for (int y = 0; y < rows; ++y) {
    std::fill(sum.begin(), sum.end(), 0.0f);
    for (int t = down.first[static_cast<size_t>(y)]; t < down.first[static_cast<size_t>(y) + 1]; ++t) {
      const Tap& tap = down.taps[static_cast<size_t>(t)];
      const float* line = horizontal(tap.index);
      for (size_t i = 0; i < lineFloats; ++i) sum[i] += line[i] * tap.weight;
    }
    uint8_t* px = out.Pixel(0, y);
    for (size_t i = 0; i < lineFloats; ++i) px[i] = ToByte(sum[i]);
  }
  return out;
}

RgbImage ScaleImage(const RgbImage& source, int width, int height) {
  return ScaleImageTop(source, width, height, height);
}

}  // namespace kelo::engine
