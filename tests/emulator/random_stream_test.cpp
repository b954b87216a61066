// Random streams: valid ones must decode to the rows they were made from,
// whatever the chunking; arbitrary bytes must never crash and must give the
// same outcome for any chunking.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "emulator/stream_decoder.h"

using kelo::emulator::StreamDecoder;
using Bytes = std::vector<uint8_t>;

namespace {

// A deliberately plain delta encoder: runs of changed bytes of at most
// `maxRun` (1..8), each behind its command byte and offset extension.
Bytes DeltaPayload(const Bytes& row, const Bytes& seed, size_t maxRun) {
  Bytes out;
  size_t end = 0;  // row byte after the previous replacement
  for (size_t i = 0; i < row.size();) {
    if (row[i] == seed[i]) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < row.size() && j - i < maxRun && row[j] != seed[j]) ++j;
    const size_t count = j - i, gap = i - end;
    const auto countBits = static_cast<uint8_t>((count - 1) << 5);
    if (gap < 31) {
      out.push_back(static_cast<uint8_t>(countBits | gap));
    } else {
      out.push_back(countBits | 31);
      size_t rest = gap - 31;
      for (; rest >= 255; rest -= 255) out.push_back(0xFF);
      out.push_back(static_cast<uint8_t>(rest));
    }
    out.insert(out.end(), row.begin() + static_cast<std::ptrdiff_t>(i),
               row.begin() + static_cast<std::ptrdiff_t>(j));
    end = i = j;
  }
  return out;
}

void Append(Bytes& stream, std::initializer_list<uint8_t> bytes) { stream.insert(stream.end(), bytes); }

}  // namespace

TEST(Chunking, RandomValidStreamsDecodeToTheRowsTheyWereMadeFrom) {
  std::mt19937 random(7);
  auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 60; ++round) {
    const size_t width = 1 + below(320);  // past 255: offset extensions, no plain rows
    const int planes = below(2) ? 4 : 1;
    std::vector<Bytes> seeds(4, Bytes(width, 0));
    std::vector<std::vector<Bytes>> expected(4);
    Bytes stream = {0x00, 0x1B, 0x51, 0x0F, 0x0D};
    int plane = 0;
    for (int r = 0; r < 40; ++r) {
      if (below(6) == 0) {  // ESC A between rows, amid commands that change no row
        Append(stream, {0x1B, 0x6B, 0xFF, 0x1B, 0x41, 0x1B, 0x65, 0x01, 0x00});
        for (auto& s : seeds) s.assign(width, 0);
        plane = 0;
      }
      Bytes& seed = seeds[static_cast<size_t>(plane)];
      Bytes row = seed;
      const size_t kind = below(4);  // 0: blank, 1: burst of changes, 2, 3: scattered changes
      for (size_t k = kind == 0 ? 0 : below(20); k > 0; --k) row[below(width)] = static_cast<uint8_t>(random());
      for (size_t at = below(width), k = kind == 1 ? below(40) : 0; k > 0 && at < width; --k, ++at) {
        row[at] = static_cast<uint8_t>(random());
      }
      if (kind == 0) row.assign(width, 0);
      if (kind == 0 || (kind == 2 && width <= 255)) {
        size_t n = width;
        while (n > 0 && row[n - 1] == 0) --n;
        Append(stream, {0x1B, 0x6D, 0x00, 0x1B, 0x67, static_cast<uint8_t>(n)});
        stream.insert(stream.end(), row.begin(), row.begin() + static_cast<std::ptrdiff_t>(n));
      } else {
        const Bytes payload = DeltaPayload(row, seed, 1 + below(8));
        ASSERT_LE(payload.size(), 255u);
        Append(stream, {0x1B, 0x6D, 0x03, 0x1B, 0x67, static_cast<uint8_t>(payload.size())});
        stream.insert(stream.end(), payload.begin(), payload.end());
      }
      seed = row;
      expected[static_cast<size_t>(plane)].push_back(row);
      plane = (plane + 1) % planes;
    }

    StreamDecoder d(static_cast<int>(width), planes);
    for (size_t at = 0, n; at < stream.size(); at += n) {
      n = std::min(1 + below(64), stream.size() - at);
      ASSERT_TRUE(d.Feed(stream.data() + at, n)) << d.error()->message << " at " << d.error()->offset;
    }
    ASSERT_TRUE(d.Finish());
    for (int p = 0; p < planes; ++p) {
      ASSERT_EQ(d.PlaneRows(p), expected[static_cast<size_t>(p)]) << "round " << round << " plane " << p;
    }
  }
}

TEST(Chunking, RandomBytesNeverCrashAndAnyChunkingAgrees) {
  std::mt19937 random(11);
  const uint8_t likely[] = {0x00, 0x1B, 0x1B, 0x67, 0x6D, 0x03, 0x1F, 0xFF, 0x41, 0x40, 0x51, 0x0F};
  for (int round = 0; round < 3000; ++round) {
    Bytes stream;
    if (random() % 2) stream = {0x1B, 0x6D, static_cast<uint8_t>(random() % 2 ? 0x03 : 0x00)};
    for (size_t n = random() % 120; n > 0; --n) {
      stream.push_back(random() % 2 ? likely[random() % sizeof likely] : static_cast<uint8_t>(random()));
    }
    const int rowBytes = 1 + static_cast<int>(random() % 40);
    const int planes = random() % 2 ? 4 : 1;

    StreamDecoder whole(rowBytes, planes), pieces(rowBytes, planes);
    const bool wholeOk = whole.Feed(stream.data(), stream.size()) && whole.Finish();
    bool piecesOk = true;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(random() % 9, stream.size() - at);  // 0-byte feeds too
      piecesOk = pieces.Feed(stream.data() + at, n) && piecesOk;
      at += n;
    }
    piecesOk = pieces.Finish() && piecesOk;

    ASSERT_EQ(wholeOk, piecesOk);
    ASSERT_EQ(wholeOk, !whole.error().has_value());
    if (!wholeOk) {
      ASSERT_TRUE(pieces.error());
      ASSERT_EQ(pieces.error()->offset, whole.error()->offset);
      ASSERT_EQ(pieces.error()->message, whole.error()->message);
      ASSERT_LT(whole.error()->offset, stream.size());
    }
    for (int p = 0; p < planes; ++p) {
      ASSERT_EQ(pieces.PlaneRows(p), whole.PlaneRows(p));
      for (const auto& row : whole.PlaneRows(p)) ASSERT_EQ(row.size(), static_cast<size_t>(rowBytes));
    }
  }
}
