// What the driver sends, decoded by the printer model, gives back exactly
// the dot rows the halftoner produced, line by line and plane by plane.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "emulator/stream_decoder.h"
#include "raster/colour_separation.h"
#include "tests/raster/raster_fixture.h"

using Bytes = std::vector<BYTE>;
using kelo::test::HexDump;

namespace {

// What the printer has received at device enable; it leaves the printer in
// encoding 5.
const Bytes kStartupBlock = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D,
                             0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};

struct Capture {
  std::vector<Bytes> rows[kPlanes];
};

void Observe(RasterFixture& f, Capture& capture) {
  f.raster.observerContext = &capture;
  f.raster.dotRowObserver = [](void* context, int plane, const BYTE* dots, int n) {
    static_cast<Capture*>(context)->rows[plane].emplace_back(dots, dots + n);
  };
}

// Pages of `lines` lines each, made by `line`(page, y), as the page flow
// sends them: reset at the page start, flushed at its end.
void PrintPages(RasterFixture& f, int pages, int lines,
                const std::function<Bytes(int, int)>& line) {
  for (int page = 0; page < pages; ++page) {
    ResetPageRaster(f.raster);
    f.raster.rowCounter = 0;
    for (int y = 0; y < lines; ++y) {
      const Bytes pixels = line(page, y);
      ASSERT_TRUE(SeparateRow(f.raster, *f.channel, pixels.data()));
    }
    ASSERT_TRUE(Flush(*f.channel));
  }
}

// One decoder for the whole stream: the printer knows nothing of pages.
void ExpectDecodesTo(RasterFixture& f, const Capture& capture) {
  const int planes = f.raster.colourMode ? 4 : 1;
  kelo::emulator::StreamDecoder decoder(f.raster.rowBytes, planes);
  Bytes stream = kStartupBlock;
  const Bytes sent = f.Sent();
  stream.insert(stream.end(), sent.begin(), sent.end());
  const bool fed = decoder.Feed(stream.data(), stream.size());
  const bool finished = fed && decoder.Finish();
  ASSERT_TRUE(finished) << (decoder.error() ? decoder.error()->message : "no error recorded")
                        << " at " << (decoder.error() ? decoder.error()->offset : 0);
  for (int plane = 0; plane < planes; ++plane) {
    const auto& decoded = decoder.PlaneRows(plane);
    const auto& produced = capture.rows[plane];
    ASSERT_FALSE(produced.empty());
    ASSERT_EQ(decoded.size(), produced.size()) << "plane " << plane;
    for (size_t i = 0; i < decoded.size(); ++i) {
      ASSERT_EQ(decoded[i], produced[i])
          << "plane " << plane << " row " << i << "\n  sent    " << HexDump(produced[i])
          << "\n  printed " << HexDump(decoded[i]);
    }
  }
}

// Smooth gradients with noise.
Bytes PhotoLine(int width, int y, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3);
  for (size_t i = 0; i < line.size(); ++i) {
    const int x = static_cast<int>(i / 3);
    const int c = static_cast<int>(i % 3);
    const double wave = 127.5 + 127.5 * std::sin((x * (c + 1) + y * 2) / 40.0);
    const int value = static_cast<int>(wave) + static_cast<int>(random() % 21) - 10;
    line[i] = static_cast<BYTE>(std::clamp(value, 0, 255));
  }
  return line;
}

// White lines, solid bars of black and of a colour, lines of random pixels
// and of a few random colours in runs: blank rows, repeats, sparse and dense
// deltas and whole rows all occur.
Bytes RandomLine(int width, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3, 0xFF);
  switch (random() % 5) {
    case 0:
      break;
    case 1:
      std::fill(line.begin(), line.begin() + static_cast<ptrdiff_t>(line.size() / 2), 0);
      break;
    case 2:
      for (size_t i = 0; i < line.size(); i += 3) line[i + 1] = line[i + 2] = 0;  // blue
      break;
    case 3:
      for (auto& b : line) b = static_cast<BYTE>(random());
      break;
    default:
      for (size_t x = 0; x < line.size() / 3;) {
        const BYTE bgr[3] = {static_cast<BYTE>(random()), static_cast<BYTE>(random()),
                             static_cast<BYTE>(random())};
        for (size_t run = random() % 12 + 1; run > 0 && x < line.size() / 3; --run, ++x) {
          std::copy(bgr, bgr + 3, line.begin() + static_cast<ptrdiff_t>(3 * x));
        }
      }
  }
  return line;
}

}  // namespace

TEST(RoundTrip, PhotoPagesInGreyAndColour) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "grey");
    RasterFixture f(384, colour);
    Capture capture;
    Observe(f, capture);
    std::mt19937 random(3);
    PrintPages(f, 2, 120, [&](int page, int y) { return PhotoLine(384, y + page * 7, random); });
    ExpectDecodesTo(f, capture);
  }
}

TEST(RoundTrip, RandomPagesInGreyAndColour) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "grey");
    RasterFixture f(203, colour);  // a last byte with unused bits
    Capture capture;
    Observe(f, capture);
    std::mt19937 random(5);
    PrintPages(f, 3, 150, [&](int, int) { return RandomLine(203, random); });
    ExpectDecodesTo(f, capture);
  }
}

TEST(RoundTrip, APageAfterABarStartsFromKnownSeeds) {
  // Page 1 ends in a bar, so the printer is left in encoding 3 with inked
  // seeds. Page 2 starts with a thin line and a white line, which the
  // driver holds against the zero seeds of the page reset: they must print
  // as sent.
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "grey");
    RasterFixture f(64, colour);
    Capture capture;
    Observe(f, capture);
    auto paint = [](Bytes& line, int from, int to, BYTE blue, BYTE green, BYTE red) {
      for (int x = from; x < to; ++x) {
        line[static_cast<size_t>(3 * x)] = blue;
        line[static_cast<size_t>(3 * x + 1)] = green;
        line[static_cast<size_t>(3 * x + 2)] = red;
      }
    };
    const Bytes white(64 * 3, 0xFF);
    Bytes bar(64 * 3, 0);  // black; in colour the right half blue
    Bytes thin = white;
    paint(thin, 0, 8, 0, 0, 0);
    if (colour) {
      paint(bar, 32, 64, 0xFF, 0, 0);
      paint(thin, 40, 48, 0xFF, 0, 0);
    }
    PrintPages(f, 2, 6, [&](int page, int y) {
      if (page == 0) return y == 0 ? white : bar;
      return y == 1 ? white : thin;
    });
    ExpectDecodesTo(f, capture);
    // Page 2 begins with the thin line itself, not the thin line merged
    // into the bar, then a white row.
    EXPECT_EQ(capture.rows[0][6], (Bytes{0xFF, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(capture.rows[0][7], Bytes(8, 0));
  }
}
