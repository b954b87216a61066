// Dot rows to ESC m / ESC g and delta payloads.

#include <gtest/gtest.h>

#include <vector>

#include "raster/row_encoding.h"
#include "tests/raster/raster_fixture.h"

using Bytes = std::vector<BYTE>;
using kelo::test::HexDump;

namespace {

Bytes Compress(const Bytes& row, const Bytes& seed) {
  Bytes out(row.size());
  const int n = CompressDeltaRow(row.data(), static_cast<int>(row.size()), out.data(), seed.data());
  if (n < 0) return {0xEE};  // marks an overflow
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

TEST(DeltaRow, WorkedExampleRows) {
  RasterFixture f(48);  // 6 bytes
  // The page's first row of the plane is sent whole; the worked rows follow
  // it, starting from a zero seed as the first one leaves it.
  const Bytes blank(6, 0);
  ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, blank.data(), f.raster.kSeed, 0));
  const size_t start = f.Sent().size();
  const Bytes rows[] = {{0x00, 0xF0, 0x00, 0x00, 0x00, 0x00},
                        {0x00, 0xF0, 0x0F, 0x00, 0x00, 0x3C},
                        {0x00, 0xF0, 0x0F, 0x00, 0x00, 0x3C},
                        {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
  for (const auto& row : rows) {
    ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, row.data(), f.raster.kSeed, 0));
  }
  const Bytes all = f.Sent();
  const Bytes sent(all.begin() + static_cast<ptrdiff_t>(start), all.end());
  const Bytes expected = {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x01, 0xF0,  // offset 1, F0
                          0x1B, 0x67, 0x04, 0x02, 0x0F, 0x02, 0x3C,        // no mode command
                          0x1B, 0x67, 0x00,                                // a repeat
                          0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00};             // blank
  EXPECT_EQ(sent, expected) << HexDump(sent);
  EXPECT_EQ(Bytes(f.raster.kSeed, f.raster.kSeed + 6), blank);
}

TEST(DeltaRow, LongOffsetAndASplitRun) {
  Bytes row(48, 0);
  const Bytes changed = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
  std::copy(changed.begin(), changed.end(), row.begin() + 33);
  EXPECT_EQ(Compress(row, Bytes(48, 0)),
            (Bytes{0xFF, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x20, 0x99, 0xAA}));
}

TEST(DeltaRow, OffsetExtensions) {
  Bytes row(300, 0);
  row[31] = 1;
  EXPECT_EQ(Compress(row, Bytes(300, 0)), (Bytes{0x1F, 0x00, 0x01}));
  row[31] = 0;
  row[286] = 2;
  EXPECT_EQ(Compress(row, Bytes(300, 0)), (Bytes{0x1F, 0xFF, 0x00, 0x02}));
  row[286] = 0;
  row[30] = 3;
  EXPECT_EQ(Compress(row, Bytes(300, 0)), (Bytes{0x1E, 0x03}));
}

TEST(DeltaRow, RunsOfEightAndNine) {
  Bytes eight(20, 0);
  for (int i = 2; i < 10; ++i) eight[static_cast<size_t>(i)] = static_cast<BYTE>(i);
  EXPECT_EQ(Compress(eight, Bytes(20, 0)), (Bytes{0xE2, 2, 3, 4, 5, 6, 7, 8, 9}));
  Bytes nine = eight;
  nine[10] = 10;
  EXPECT_EQ(Compress(nine, Bytes(20, 0)), (Bytes{0xE2, 2, 3, 4, 5, 6, 7, 8, 9, 0x00, 10}));
}

TEST(DeltaRow, FourByteRowLimits) {
  EXPECT_EQ(Compress({0x01, 0x01, 0x00, 0x00}, Bytes(4, 0)), (Bytes{0x20, 0x01, 0x01}));
  EXPECT_EQ(Compress({0x01, 0x00, 0x01, 0x00}, Bytes(4, 0)), Bytes{0xEE});  // overflow
  EXPECT_EQ(Compress({0x00, 0x00, 0x00, 0x00}, Bytes(4, 0)), Bytes{});
}

TEST(DeltaRow, UnchangedTailAddsNothing) {
  EXPECT_EQ(Compress({0x05, 0, 0, 0, 0, 0, 0, 0}, Bytes(8, 0)), (Bytes{0x00, 0x05}));
}

TEST(DeltaRow, OverflowFallsBackToTheWholeRowInEncoding0) {
  RasterFixture f(32);  // 4 bytes
  const Bytes first = {0x80, 0, 0, 0};
  ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, first.data(), f.raster.kSeed, 0));
  const size_t start = f.Sent().size();
  const Bytes dense = {0x80, 0x01, 0x02, 0x03};
  ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, dense.data(), f.raster.kSeed, 0));
  const Bytes all = f.Sent();
  const Bytes sent(all.begin() + static_cast<ptrdiff_t>(start), all.end());
  EXPECT_EQ(sent, (Bytes{0x1B, 0x67, 0x04, 0x80, 0x01, 0x02, 0x03})) << HexDump(sent);
  EXPECT_EQ(Bytes(f.raster.kSeed, f.raster.kSeed + 4), dense);
}

TEST(EncodeDotRow, FirstRowOfAPageSelectsEncoding0AndSetsTheSeed) {
  // After setup the printer is in encoding 5, after a page in 3 with that
  // page's seeds; the driver assumes neither.
  for (bool secondPage : {false, true}) {
    RasterFixture f(32);
    if (secondPage) {
      const Bytes ink = {0xFF, 0x0F, 0xFF, 0xFF};
      ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, ink.data(), f.raster.kSeed, 0));
      ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, ink.data(), f.raster.kSeed, 0));
      ResetPageRaster(f.raster);
    }
    const size_t start = f.Sent().size();
    const Bytes row = {0x00, 0x10, 0x00, 0x00};
    const Bytes blank(4, 0);
    ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, row.data(), f.raster.kSeed, 0));
    ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, blank.data(), f.raster.kSeed, 0));
    ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, blank.data(), f.raster.kSeed, 0));
    ResetPageRaster(f.raster);
    ASSERT_TRUE(EncodeDotRow(f.raster, *f.channel, blank.data(), f.raster.kSeed, 0));
    const Bytes all = f.Sent();
    const Bytes sent(all.begin() + static_cast<ptrdiff_t>(start), all.end());
    EXPECT_EQ(sent, (Bytes{0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x04, 0x00, 0x10, 0x00, 0x00,  // whole
                           0x1B, 0x67, 0x00, 0x1B, 0x67, 0x00,  // blank rows, mode 0 current
                           0x1B, 0x6D, 0x00, 0x1B, 0x67, 0x00}))  // next page: mode again
        << HexDump(sent);
  }
}

TEST(EncodeDotRow, AFailedPayloadWriteReturnsZero) {
  RasterFixture f(32);
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  f.service->FailCommand(KLP_CHECK_STATUS, ERROR_OUT_OF_PAPER);
  const Bytes row = {0xFF, 0xFF, 0xFF, 0xFF};
  // ESC m 0 and ESC g 4 still fit; the payload needs a flush, which fails.
  f.channel->fillCount = f.channel->capacity - 6;
  EXPECT_EQ(EncodeDotRow(f.raster, *f.channel, row.data(), f.raster.kSeed, 0), 0);
  EXPECT_EQ(Bytes(f.raster.kSeed, f.raster.kSeed + 4), row);  // seed updated all the same
}
