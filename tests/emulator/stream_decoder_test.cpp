// The printer model's decoder: golden streams, malformed input, chunking.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "emulator/stream_decoder.h"

using kelo::emulator::StreamDecoder;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kStartup = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05,
                        0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

StreamDecoder Decode(const Bytes& stream, int rowBytes, int planes = 1) {
  StreamDecoder decoder(rowBytes, planes);
  decoder.Feed(stream.data(), stream.size());
  decoder.Finish();
  return decoder;
}

}  // namespace

TEST(StreamDecoder, DeltaRowsApplyToTheSeed) {
  const Bytes stream = {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x01, 0xF0,
                        0x1B, 0x67, 0x04, 0x02, 0x0F, 0x02, 0x3C,
                        0x1B, 0x67, 0x00,
                        0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00};
  const auto d = Decode(stream, 6);
  ASSERT_FALSE(d.error()) << d.error()->message;
  const auto& rows = d.PlaneRows(0);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], (Bytes{0x00, 0xF0, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(rows[1], (Bytes{0x00, 0xF0, 0x0F, 0x00, 0x00, 0x3C}));
  EXPECT_EQ(rows[2], rows[1]);  // repeat
  EXPECT_EQ(rows[3], Bytes(6, 0));
}

TEST(StreamDecoder, ExtendedOffsetsAndSplitRuns) {
  const Bytes stream = {0x1B, 0x6D, 0x03, 0x1B, 0x67, 13,   0xFF, 0x02, 0x11, 0x22, 0x33,
                        0x44, 0x55, 0x66, 0x77, 0x88, 0x20, 0x99, 0xAA};
  const auto d = Decode(stream, 48);
  ASSERT_FALSE(d.error()) << d.error()->message;
  Bytes expected(48, 0);
  const Bytes changed = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
  std::copy(changed.begin(), changed.end(), expected.begin() + 33);
  EXPECT_EQ(d.PlaneRows(0).at(0), expected);

  const auto longOffset = Decode({0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x04, 0x1F, 0xFF, 0x00, 0x07}, 300);
  ASSERT_FALSE(longOffset.error());
  EXPECT_EQ(longOffset.PlaneRows(0).at(0)[286], 0x07);
}

TEST(StreamDecoder, ColourCyclesPlanesAndEscAClearsSeeds) {
  Bytes stream = {0x1B, 0x6D, 0x00};
  for (uint8_t p = 1; p <= 5; ++p) stream.insert(stream.end(), {0x1B, 0x67, 0x01, p});
  stream.insert(stream.end(), {0x1B, 0x41, 0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x00});
  const auto d = Decode(stream, 2, 4);
  ASSERT_FALSE(d.error()) << d.error()->message;
  ASSERT_EQ(d.PlaneRows(0).size(), 3u);  // planes 0 got rows 1, 5 and (after ESC A) a repeat
  EXPECT_EQ(d.PlaneRows(0)[1], (Bytes{5, 0}));
  EXPECT_EQ(d.PlaneRows(0)[2], (Bytes{0, 0}));  // seed cleared by ESC A
  EXPECT_EQ(d.PlaneRows(3).at(0), (Bytes{4, 0}));
}

TEST(StreamDecoder, SeedsPersistAcrossWhatWouldBeAPageBoundary) {
  const Bytes stream = {0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x01, 0xFF, 0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x00};
  const auto d = Decode(stream, 2);
  EXPECT_EQ(d.PlaneRows(0).at(1), (Bytes{0xFF, 0x00}));
}

TEST(StreamDecoder, RejectsMalformedInputWithItsOffset) {
  struct Case {
    Bytes stream;
    size_t offset;
  } cases[] = {
      {Cat(kStartup, {0x1B, 0x67, 0x00}), 14},                   // row in encoding 5
      {{0x1B, 0x67, 0x00}, 0},                                   // encoding unknown
      {{0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x03, 1, 2, 3}, 3},        // longer than the row
      {{0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x03, 0x01}, 6},     // offset past the row
      {{0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x20, 0x01}, 6},     // replacement past payload
      {{0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x01, 0x1F}, 6},           // extension past payload
      {{0x1B, 0x6D, 0x00, 0x7A}, 3},                             // unknown command
      {{0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x02, 0x01}, 3},           // ends mid-payload
  };
  for (const auto& c : cases) {
    const auto d = Decode(c.stream, 2);
    ASSERT_TRUE(d.error().has_value());
    EXPECT_EQ(d.error()->offset, c.offset) << d.error()->message;
    EXPECT_FALSE(d.error()->message.empty());
  }
}

TEST(Chunking, AnySplitGivesTheSameRows) {
  Bytes stream = kStartup;
  stream.insert(stream.end(), {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x04, 0x1F, 0xFF, 0x01, 0x22,
                               0x1B, 0x67, 0x00, 0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00});
  const auto whole = Decode(stream, 300);
  ASSERT_FALSE(whole.error()) << whole.error()->message;
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    StreamDecoder d(300, 1);
    ASSERT_TRUE(d.Feed(stream.data(), cut));
    ASSERT_TRUE(d.Feed(stream.data() + cut, stream.size() - cut));
    ASSERT_TRUE(d.Finish());
    ASSERT_EQ(d.PlaneRows(0), whole.PlaneRows(0)) << "cut " << cut;
  }
}

TEST(Chunking, RandomBytesNeverCrash) {
  std::mt19937 random(1);
  for (int round = 0; round < 2000; ++round) {
    Bytes stream(random() % 200);
    for (auto& b : stream) b = static_cast<uint8_t>(random() % 4 == 0 ? 0x1B : random());
    StreamDecoder d(1 + static_cast<int>(random() % 10), random() % 2 ? 4 : 1);
    size_t at = 0;
    while (at < stream.size()) {
      const size_t n = std::min<size_t>(1 + random() % 17, stream.size() - at);
      d.Feed(stream.data() + at, n);
      at += n;
    }
    d.Finish();
    for (int p = 0; p < 4; ++p) {
      for (const auto& row : d.PlaneRows(p)) ASSERT_EQ(row.size(), d.PlaneRows(p)[0].size());
    }
  }
}
