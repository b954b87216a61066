// The printer model's decoder: golden streams, malformed input with its
// offset, chunking at every position.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "emulator/stream_decoder.h"

using kelo::emulator::StreamDecoder;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (unsigned value; in >> std::hex >> value;) out.push_back(static_cast<uint8_t>(value));
  return out;
}

std::string Dump(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (uint8_t b : bytes) {
    std::snprintf(cell, sizeof cell, "%02X ", b);
    out += cell;
  }
  return out;
}

// `width` zero bytes with `hex` written from byte `at`.
Bytes Patched(size_t width, size_t at, const std::string& hex) {
  Bytes row(width, 0);
  const Bytes patch = Hex(hex);
  std::copy(patch.begin(), patch.end(), row.begin() + static_cast<std::ptrdiff_t>(at));
  return row;
}

const Bytes kStartup = Hex("1B 41 1B 6D 00 1B 6D 05 1B 6B FF 1B 76 02");

// Everything observable, as text, so that two decodings compare in one
// assertion and a failure shows the rows.
std::string Outcome(const StreamDecoder& d) {
  std::string out = "seen " + std::to_string(d.bytesSeen()) + " lines " +
                    std::to_string(d.completedLines()) + " plane " + std::to_string(d.planeIndex()) +
                    " encoding " + std::to_string(d.encoding()) + "\n";
  if (d.error()) out += "error at " + std::to_string(d.error()->offset) + ": " + d.error()->message + "\n";
  for (const auto& [name, count] : d.commandCounts()) out += name + " x" + std::to_string(count) + "\n";
  for (int p = 0; p < d.planesPerLine(); ++p) {
    for (const auto& row : d.PlaneRows(p)) out += std::to_string(p) + ": " + Dump(row) + "\n";
  }
  return out;
}

// Feeds `stream` in pieces whose sizes come from `nextSize`, then finishes.
template <typename NextSize>
std::string DecodeInPieces(const Bytes& stream, int rowBytes, int planes, NextSize nextSize) {
  StreamDecoder d(rowBytes, planes);
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min(nextSize(), stream.size() - at);
    d.Feed(stream.data() + at, n);
    at += n;
  }
  d.Finish();
  return Outcome(d);
}

struct Golden {
  const char* name;
  int rowBytes;
  std::string stream;
  std::vector<Bytes> rows;
};

const Golden kGolden[] = {
    {"delta rows, repeat, blank", 6,
     "1B 6D 03 1B 67 02 01 F0  1B 67 04 02 0F 02 3C  1B 67 00  1B 6D 00 1B 67 00",
     {Hex("00 F0 00 00 00 00"), Hex("00 F0 0F 00 00 3C"), Hex("00 F0 0F 00 00 3C"), Bytes(6, 0)}},
    {"count 8 at extended offset 33, then offset 0", 48,
     "1B 6D 03 1B 67 0D FF 02 11 22 33 44 55 66 77 88 20 99 AA",
     {Patched(48, 33, "11 22 33 44 55 66 77 88 99 AA")}},
    {"offset 31 has a zero extension", 40, "1B 6D 03 1B 67 03 1F 00 AB", {Patched(40, 31, "AB")}},
    {"offset 286 needs FF 00", 300, "1B 6D 03 1B 67 04 1F FF 00 CD", {Patched(300, 286, "CD")}},
    {"nine changed bytes: count 8, then count 1 at offset 0", 10,
     "1B 6D 03 1B 67 0B E1 01 02 03 04 05 06 07 08 00 09",
     {Hex("00 01 02 03 04 05 06 07 08 09")}},
    {"plain row is left-aligned and becomes the seed", 4,
     "1B 6D 00 1B 67 02 AA BB  1B 6D 03 1B 67 02 03 CC  1B 67 03 22 01 02  1B 6D 00 1B 67 04 01 02 03 04",
     {Hex("AA BB 00 00"), Hex("AA BB 00 CC"), Hex("AA BB 01 02"), Hex("01 02 03 04")}},
    {"seeds persist across end-of-document commands", 2,
     "1B 6D 03 1B 67 02 00 FF  1B 65 01 00 1B 76 03  00 00 1B 41 1B 67 00 1B 67 02 01 0F",
     {Hex("FF 00"), Hex("00 00"), Hex("00 0F")}},
};

struct Malformed {
  const char* name;
  int rowBytes;
  std::string stream;
  size_t offset;
  std::string message;  // the whole message, or a part of it
};

const Malformed kMalformed[] = {
    {"row before any encoding", 4, "1B 67 00", 0, "raster row in encoding unknown"},
    {"row in encoding 7", 4, "1B 6D 07 00 1B 67 00", 4, "raster row in encoding 7"},
    {"plain row longer than the row", 4, "1B 6D 00 1B 67 05 01 02 03 04 05", 5, "5 bytes"},
    {"offset lands on the row end", 4, "1B 6D 03 1B 67 02 04 01", 6, "past the row end"},
    {"extended offset past the row", 40, "1B 6D 03 1B 67 03 1F 09 01", 6, "past the row end"},
    {"second replacement runs past the row", 4, "1B 6D 03 1B 67 05 01 AA 21 BB BB", 8, "past the row end"},
    {"replacement bytes past the payload", 4, "1B 6D 03 1B 67 02 20 01", 6, "past the payload end"},
    {"extension missing", 40, "1B 6D 03 1B 67 01 1F", 6, "extension runs past the payload end"},
    {"extension cut after FF", 400, "1B 6D 03 1B 67 02 1F FF", 6, "extension runs past the payload end"},
    {"extension, then no bytes", 40, "1B 6D 03 1B 67 02 1F 00", 6, "past the payload end"},
    {"byte that starts no command", 4, "1B 6D 00 7A", 3, "unknown command"},
    {"ESC with an unknown letter", 4, "00 1B 5A", 1, "unknown command"},
    {"ESC Q other than the RTS mode command", 4, "1B 51 0E 0D", 0, "unknown command"},
    {"stream ends inside a payload", 4, "1B 6D 00 1B 67 02 01", 3, "ends inside ESC g"},
    {"stream ends after ESC", 4, "1B 6D 00 1B", 3, "ends inside ESC"},
    {"stream ends inside ESC e", 4, "1B 65 01", 0, "ends inside ESC e"},
};

}  // namespace

TEST(DeltaPayload, GoldenStreamsGiveExactRows) {
  for (const auto& g : kGolden) {
    SCOPED_TRACE(g.name);
    StreamDecoder d(g.rowBytes, 1);
    const Bytes stream = Hex(g.stream);
    EXPECT_TRUE(d.Feed(stream.data(), stream.size()));
    ASSERT_TRUE(d.Finish()) << d.error()->message << " at " << d.error()->offset;
    ASSERT_EQ(d.PlaneRows(0).size(), g.rows.size());
    for (size_t i = 0; i < g.rows.size(); ++i) {
      EXPECT_EQ(Dump(d.PlaneRows(0)[i]), Dump(g.rows[i])) << "row " << i;
    }
  }
}

TEST(StreamDecoder, MalformedStreamsReportTheOffendingByte) {
  for (const auto& m : kMalformed) {
    SCOPED_TRACE(m.name);
    StreamDecoder d(m.rowBytes, 1);
    const Bytes stream = Hex(m.stream);
    d.Feed(stream.data(), stream.size());
    EXPECT_FALSE(d.Finish());
    ASSERT_TRUE(d.error().has_value());
    EXPECT_EQ(d.error()->offset, m.offset) << d.error()->message;
    EXPECT_NE(d.error()->message.find(m.message), std::string::npos) << d.error()->message;
  }
}

TEST(StreamDecoder, StartupBlockIsAcceptedButARowInEncoding5IsNot) {
  StreamDecoder d(4, 1);
  ASSERT_TRUE(d.Feed(kStartup.data(), kStartup.size()));
  EXPECT_EQ(d.encoding(), 5);
  EXPECT_EQ(d.commandCounts().at("ESC m"), 2u);
  ASSERT_EQ(d.controlCommands().size(), 5u);
  EXPECT_EQ(d.controlCommands()[3].offset, 8u);
  EXPECT_EQ(d.controlCommands()[3].bytes, Hex("1B 6B FF"));

  const Bytes row = Hex("1B 67 00");
  EXPECT_FALSE(d.Feed(row.data(), row.size()));
  ASSERT_TRUE(d.error());
  EXPECT_EQ(d.error()->offset, 14u);
  EXPECT_EQ(d.error()->message, "raster row in encoding 5");
  // The first error stays, whatever follows.
  const Bytes garbage = Hex("7A 1B 6D 00 1B 67 00");
  EXPECT_FALSE(d.Feed(garbage.data(), garbage.size()));
  EXPECT_FALSE(d.Finish());
  EXPECT_EQ(d.error()->offset, 14u);
  EXPECT_TRUE(d.PlaneRows(0).empty());
}

TEST(StreamDecoder, ColourPlanesCycleWithTheirOwnSeedsUntilEscA) {
  const Bytes stream = Hex(
      "1B 6D 00 1B 67 01 01 1B 67 01 02 1B 67 01 03 1B 67 01 04 1B 67 01 05 "  // line 1, K of line 2
      "1B 6D 03 1B 67 00 1B 67 00 1B 67 00 "  // C, M, Y of line 2 repeat their own seeds
      "1B 67 00 1B 41 1B 67 00 1B 67 00");   // K of line 3, then ESC A: seeds zero, back to K
  StreamDecoder d(2, 4);
  ASSERT_TRUE(d.Feed(stream.data(), stream.size()));
  ASSERT_TRUE(d.Finish());
  EXPECT_EQ(d.completedLines(), 2u);
  EXPECT_EQ(d.planeIndex(), 2);
  const auto& k = d.PlaneRows(0);
  ASSERT_EQ(k.size(), 4u);
  EXPECT_EQ(k[1], Hex("05 00"));
  EXPECT_EQ(k[2], Hex("05 00"));
  EXPECT_EQ(k[3], Hex("00 00"));
  EXPECT_EQ(d.PlaneRows(1), (std::vector<Bytes>{Hex("02 00"), Hex("02 00"), Hex("00 00")}));
  EXPECT_EQ(d.PlaneRows(3), (std::vector<Bytes>{Hex("04 00"), Hex("04 00")}));
  EXPECT_TRUE(d.PlaneRows(4).empty());
}

TEST(StreamDecoder, ResetsRestoreThePowerOnState) {
  // In the stream, ESC @ forgets the encoding as well as the seeds.
  StreamDecoder inBand(2, 1);
  const Bytes stream = Hex("1B 6D 03 1B 67 02 00 FF 1B 40 1B 67 00");
  EXPECT_FALSE(inBand.Feed(stream.data(), stream.size()));
  EXPECT_EQ(inBand.error()->offset, 10u);
  EXPECT_EQ(inBand.error()->message, "raster row in encoding unknown");

  // From outside, a reset also drops a command cut off half-way.
  StreamDecoder d(2, 4);
  const Bytes before = Hex("1B 6D 03 1B 67 02 00 FF 1B 67 03 01");
  const Bytes after = Hex("1B 6D 03 1B 67 00");
  ASSERT_TRUE(d.Feed(before.data(), before.size()));
  d.ResetPrinter();
  EXPECT_EQ(d.encoding(), StreamDecoder::kUnknownEncoding);
  ASSERT_TRUE(d.Feed(after.data(), after.size()));
  ASSERT_TRUE(d.Finish());
  EXPECT_EQ(d.PlaneRows(0), (std::vector<Bytes>{Hex("FF 00"), Hex("00 00")}));
  EXPECT_EQ(d.bytesSeen(), before.size() + after.size());
}

TEST(StreamDecoder, InvalidGeometryDecodesNothing) {
  for (auto [rowBytes, planes] : {std::pair{0, 1}, {4, 3}, {-5, 4}}) {
    StreamDecoder d(rowBytes, planes);
    const Bytes stream = Hex("1B 6D 00 1B 67 00");
    EXPECT_FALSE(d.Feed(stream.data(), stream.size()));
    EXPECT_TRUE(d.PlaneRows(0).empty());
  }
}

TEST(Chunking, EverySplitGivesTheSameResult) {
  std::vector<std::pair<Bytes, int>> streams;
  for (const auto& g : kGolden) streams.emplace_back(Hex(g.stream), g.rowBytes);
  for (const auto& m : kMalformed) streams.emplace_back(Hex(m.stream), m.rowBytes);
  const Bytes colour = Hex("00 1B 51 0F 0D 1B 41 1B 6D 03 1B 67 04 1F FF 01 22 1B 67 00 1B 67 02 1E 77 1B 67 02 00 55");
  for (const auto& entry : streams) {
    // Named references, not a structured binding: clang 14 cannot capture one.
    const Bytes& stream = entry.first;
    const int rowBytes = entry.second;
    const std::string whole = DecodeInPieces(stream, rowBytes, 1, [&] { return stream.size(); });
    EXPECT_EQ(DecodeInPieces(stream, rowBytes, 1, [] { return size_t{1}; }), whole);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
      bool first = true;
      auto sizes = [&] { return std::exchange(first, false) ? cut : stream.size(); };
      ASSERT_EQ(DecodeInPieces(stream, rowBytes, 1, sizes), whole) << Dump(stream) << "cut " << cut;
    }
  }
  const std::string whole = DecodeInPieces(colour, 300, 4, [&] { return colour.size(); });
  EXPECT_EQ(whole.find("error"), std::string::npos) << whole;
  EXPECT_EQ(DecodeInPieces(colour, 300, 4, [] { return size_t{1}; }), whole);
}
