// The page filter on command streams, fed directly.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "channel/command_set.h"
#include "channel/page_filter.h"
#include "tests/support/recording_device.h"

using kelo::test::HexDump;
using Bytes = std::vector<BYTE>;

namespace {

const Bytes kWhiteRow = {0x1B, 0x67, 0x00};
const Bytes kMode0 = {0x1B, 0x6D, 0x00};
const Bytes kMode3 = {0x1B, 0x6D, 0x03};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Repeat(const Bytes& part, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Row(Bytes payload) {
  Bytes row = {0x1B, 0x67, static_cast<BYTE>(payload.size())};
  row.reserve(3 + payload.size());  // GCC 12 at -O3 sees a false overflow in the growth
  row.insert(row.end(), payload.begin(), payload.end());
  return row;
}

// Runs the filter over `stream` cut into the given chunk sizes (the last
// chunk takes the rest), as successive flushes would.
Bytes Filter(const Bytes& stream, uint32_t keep, int planes = 1, std::vector<size_t> cuts = {},
             bool endOfStream = true) {
  PageFilterState state;
  PageFilterOptions options;
  options.keepCount = keep;
  options.planesPerLine = planes;
  Bytes out;
  size_t at = 0;
  cuts.push_back(stream.size());
  for (size_t cut : cuts) {
    const size_t end = std::min(cut, stream.size());
    if (end <= at) continue;
    Bytes chunk(end - at + kMaxHeldBytes + kMaxHeaderBytes);
    const int32_t n = PageFilter(state, stream.data() + at, static_cast<int32_t>(end - at),
                                 options, chunk.data());
    EXPECT_GE(n, 0);
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
    at = end;
  }
  if (endOfStream) {
    Bytes tail(kMaxHeldBytes + kMaxHeaderBytes + 4);
    const int32_t n = ReleaseHeld(state, tail.data());
    out.insert(out.end(), tail.begin(), tail.begin() + n);
  }
  return out;
}

// The byte-pattern filter the command-aware one replaces: it keeps the first
// `keep` of every run of back-to-back 1B 67 00 and drops the rest.
Bytes RawPatternFilter(const Bytes& in, uint32_t keep) {
  Bytes out;
  uint32_t run = 0;
  for (size_t p = 0; p < in.size();) {
    if (p + 3 <= in.size() && in[p] == 0x1B && in[p + 1] == 0x67 && in[p + 2] == 0x00) {
      if (++run <= keep) out.insert(out.end(), kWhiteRow.begin(), kWhiteRow.end());
      p += 3;
    } else {
      out.push_back(in[p++]);
      run = 0;
    }
  }
  return out;
}

}  // namespace

TEST(PageFilter, SevenWhiteRowsBetweenCommandsKeepThree) {
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 7), {0x1B, 0x76, 0x03}});
  EXPECT_EQ(Filter(in, 3), Cat({kMode0, Repeat(kWhiteRow, 3), {0x1B, 0x76, 0x03}}));
}

TEST(PageFilter, ASingleWhiteRowPassesUnchanged) {
  const Bytes in = Cat({kMode0, Row({0x80}), kWhiteRow, Row({0x01})});
  EXPECT_EQ(Filter(in, 3), in);
}

TEST(PageFilter, KeepCountZeroStillKeepsTheFirstWhiteLine) {
  // The printer must see one white line to zero its seed rows, or the next
  // delta row lands on a stale seed.
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 5), kMode3, Row({0x02, 0xAA})});
  EXPECT_EQ(Filter(in, 0), Cat({kMode0, kWhiteRow, kMode3, Row({0x02, 0xAA})}));
}

TEST(PageFilter, RunsSeparatedByAnotherCommandAreCountedSeparately) {
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 4), Row({0x10}), Repeat(kWhiteRow, 4)});
  EXPECT_EQ(Filter(in, 2),
            Cat({kMode0, Repeat(kWhiteRow, 2), Row({0x10}), Repeat(kWhiteRow, 2)}));
}

TEST(PageFilter, PayloadBytesAreNeverRemoved) {
  // A payload that happens to hold the empty-row pattern, after a white run.
  const Bytes payload = Cat({kWhiteRow, kWhiteRow, kWhiteRow, kWhiteRow, {0x1B, 0x67}});
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 3), Row(payload), kWhiteRow});
  EXPECT_EQ(Filter(in, 1), Cat({kMode0, kWhiteRow, Row(payload), kWhiteRow}));
}

TEST(PageFilter, RepeatRowsInEncoding3AreKept) {
  // Forty identical black rows: the first with its data, the rest as
  // repeats. All forty must print.
  const Bytes in = Cat({kMode3, Row({0x00, 0xFF, 0xFF}), Repeat(kWhiteRow, 39)});
  EXPECT_EQ(Filter(in, 3), in);
}

TEST(PageFilter, NothingIsRemovedBeforeTheEncodingIsKnown) {
  const Bytes in = Repeat(kWhiteRow, 6);
  EXPECT_EQ(Filter(in, 1), in);
}

TEST(PageFilter, TheStartupBlockPassesUnchanged) {
  const Bytes block(std::begin(kStartupBlock), std::end(kStartupBlock));
  EXPECT_EQ(Filter(block, 3), block);
  // It leaves the printer in encoding 5, where an empty row is no white row.
  const Bytes after = Cat({block, Repeat(kWhiteRow, 5)});
  EXPECT_EQ(Filter(after, 1), after);
}

TEST(PageFilter, ColourRemovesOnlyWholeWhiteLines) {
  const Bytes whiteLine = Repeat(kWhiteRow, 4);
  const Bytes in = Cat({kMode0, whiteLine, whiteLine, whiteLine, {0x1B, 0x76, 0x03}});
  EXPECT_EQ(Filter(in, 1, 4), Cat({kMode0, whiteLine, {0x1B, 0x76, 0x03}}));
}

TEST(PageFilter, ColourNeverRemovesPlaneRowsFromWithinALine) {
  // Lines whose K row is white but whose C row has ink, after a white run:
  // removing the K rows would shift every later plane.
  const Bytes whiteLine = Repeat(kWhiteRow, 4);
  const Bytes inkedLine = Cat({kWhiteRow, Row({0x40}), kWhiteRow, kWhiteRow});
  const Bytes in = Cat({kMode0, whiteLine, whiteLine, inkedLine, inkedLine, whiteLine});
  EXPECT_EQ(Filter(in, 1, 4), Cat({kMode0, whiteLine, inkedLine, inkedLine, whiteLine}));
}

TEST(PageFilter, ColourKeepCountCountsLinesNotRows) {
  const Bytes whiteLine = Repeat(kWhiteRow, 4);
  const Bytes in = Cat({kMode0, Repeat(whiteLine, 6), Row({0x01})});
  EXPECT_EQ(Filter(in, 3, 4), Cat({kMode0, Repeat(whiteLine, 3), Row({0x01})}));
}

TEST(PageFilter, ARunSpanningFlushesIsCountedOnce) {
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 10), Row({0x01})});
  const Bytes expected = Cat({kMode0, Repeat(kWhiteRow, 3), Row({0x01})});
  // Cut between rows, inside a row header, and inside a row's payload.
  EXPECT_EQ(Filter(in, 3, 1, {3 + 9}), expected);
  EXPECT_EQ(Filter(in, 3, 1, {3 + 3 * 5 + 1, 3 + 3 * 7 + 2}), expected);
  EXPECT_EQ(Filter(in, 3, 1, {in.size() - 1}), expected);
}

TEST(PageFilter, EveryCutGivesTheSameResult) {
  const Bytes whiteLine = Repeat(kWhiteRow, 4);
  const Bytes inkedLine = Cat({Row({0x01, 0x02}), kWhiteRow, Row({0x1B, 0x67, 0x00}), kWhiteRow});
  const Bytes in =
      Cat({kMode0, Repeat(whiteLine, 3), inkedLine, Repeat(whiteLine, 2), kMode3, inkedLine,
           kMode0, Repeat(whiteLine, 4), {0x1B, 0x65, 0x01, 0x00}, {0x1B, 0x76, 0x03}});
  const Bytes whole = Filter(in, 1, 4);
  for (size_t cut = 1; cut < in.size(); ++cut) {
    ASSERT_EQ(Filter(in, 1, 4, {cut}), whole) << "cut at " << cut;
    ASSERT_EQ(Filter(in, 1, 4, {cut, cut + 5}), whole) << "cuts at " << cut;
  }
}

TEST(PageFilter, HeldBytesWaitForTheNextFlush) {
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 4), kWhiteRow, kWhiteRow});
  // Keep 1, colour: the first line goes out at once; the two rows of the
  // second line are held, not sent and not lost.
  EXPECT_EQ(Filter(in, 1, 4, {}, /*endOfStream=*/false), Cat({kMode0, Repeat(kWhiteRow, 4)}));
  EXPECT_EQ(Filter(in, 1, 4, {}, /*endOfStream=*/true), in);
}

TEST(PageFilter, EmptyInputIsRejected) {
  PageFilterState state;
  BYTE out[16] = {};
  EXPECT_EQ(PageFilter(state, out, 0, PageFilterOptions{}, out), -1);
  EXPECT_EQ(PageFilter(state, out, -5, PageFilterOptions{}, out), -1);
}

TEST(PageFilter, PassThroughKeepsFollowingTheStream) {
  // Filter off for the first flush, on for the second: the payload that
  // spans them is still recognised as payload.
  const Bytes payload = Repeat(kWhiteRow, 4);
  const Bytes in = Cat({kMode0, Repeat(kWhiteRow, 3), Row(payload), Repeat(kWhiteRow, 3)});
  PageFilterState state;
  PageFilterOptions off;
  off.passThrough = true;
  off.keepCount = 1;
  PageFilterOptions on = off;
  on.passThrough = false;
  const size_t cut = 3 + 9 + 3 + 5;  // inside the payload
  Bytes out(in.size() + 32);
  int32_t n = PageFilter(state, in.data(), static_cast<int32_t>(cut), off, out.data());
  ASSERT_EQ(n, static_cast<int32_t>(cut));
  n += PageFilter(state, in.data() + cut, static_cast<int32_t>(in.size() - cut), on,
                  out.data() + n);
  out.resize(static_cast<size_t>(n));
  EXPECT_EQ(out, Cat({kMode0, Repeat(kWhiteRow, 3), Row(payload), kWhiteRow})) << HexDump(out);
}

TEST(PageFilter, MatchesThePatternFilterOnPlainGreyStreams) {
  // Grey streams whose payloads never hold the pattern and whose empty rows
  // are all white rows: the result is the byte-pattern filter's.
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    Bytes in = kMode0;
    const int commands = static_cast<int>(random() % 60);
    for (int i = 0; i < commands; ++i) {
      switch (random() % 5) {
        case 0:
        case 1:
        case 2:
          in.insert(in.end(), kWhiteRow.begin(), kWhiteRow.end());
          break;
        case 3: {
          Bytes payload(1 + random() % 20);
          for (auto& b : payload) b = static_cast<BYTE>(random() % 0x1B);  // no ESC
          const Bytes row = Row(payload);
          in.insert(in.end(), row.begin(), row.end());
          break;
        }
        default:
          in.insert(in.end(), {0x1B, 0x76, static_cast<BYTE>(random() % 4)});
          break;
      }
    }
    const uint32_t keep = 1 + random() % 4;
    ASSERT_EQ(Filter(in, keep), RawPatternFilter(in, keep)) << HexDump(in);
  }
}

TEST(PageFilter, RandomBytesAreNeitherLostNorInventedWhenNothingIsWhite) {
  // Without ESC m 0 no row is white: whatever the bytes, they pass whole,
  // in any chunking.
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    Bytes in(1 + random() % 300);
    for (auto& b : in) b = static_cast<BYTE>(random() % 3 == 0 ? 0x1B : random());
    for (size_t i = 0; i + 2 < in.size(); ++i) {
      if (in[i] == 0x1B && in[i + 1] == 0x6D) in[i + 2] = 0x03;
    }
    std::vector<size_t> cuts;
    for (size_t at = random() % 40; at < in.size(); at += 1 + random() % 40) cuts.push_back(at);
    ASSERT_EQ(Filter(in, 1, 1 + static_cast<int>(random() % 4), cuts), in) << HexDump(in);
  }
}
