// The emulated printer's stream decoder: the input, after three bytes that
// choose the geometry and the chunking, is decoded whole, in pseudo-random
// chunks and byte by byte. The three decoders must agree on everything they
// report (rows per plane, errors with their offsets, commands seen, bytes
// consumed, encoding and plane state), and every row must be a whole row.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "emulator/stream_decoder.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using kelo::emulator::StreamDecoder;

void Check(bool condition, const char* what) {
  kelo::fuzz::CheckOrAbort(condition, "stream decoder fuzz", what);
}

void Agree(const StreamDecoder& a, const StreamDecoder& b) {
  Check(a.error().has_value() == b.error().has_value(), "one found an error, one did not");
  if (a.error()) {
    Check(a.error()->offset == b.error()->offset, "error offsets differ");
    Check(a.error()->message == b.error()->message, "error messages differ");
  }
  for (int plane = 0; plane < 4; ++plane) {
    Check(a.PlaneRows(plane) == b.PlaneRows(plane), "rows differ");
  }
  Check(a.completedLines() == b.completedLines(), "completed lines differ");
  Check(a.commandCounts() == b.commandCounts(), "command counts differ");
  Check(a.controlCommands().size() == b.controlCommands().size(), "control commands differ");
  for (size_t i = 0; i < a.controlCommands().size(); ++i) {
    Check(a.controlCommands()[i].offset == b.controlCommands()[i].offset &&
              a.controlCommands()[i].bytes == b.controlCommands()[i].bytes,
          "control commands differ");
  }
  Check(a.bytesSeen() == b.bytesSeen(), "bytes seen differ");
  Check(a.encoding() == b.encoding(), "encodings differ");
  Check(a.planeIndex() == b.planeIndex(), "plane indexes differ");
}

void Sound(const StreamDecoder& d, size_t streamBytes) {
  Check(d.bytesSeen() <= streamBytes, "more bytes seen than fed");
  if (d.error()) Check(d.error()->offset <= streamBytes, "error past the stream");
  for (int plane = 0; plane < d.planesPerLine(); ++plane) {
    for (const auto& row : d.PlaneRows(plane)) {
      Check(row.size() == static_cast<size_t>(d.rowBytes()), "row of the wrong size");
    }
  }
  Check(d.planeIndex() >= 0 && d.planeIndex() < d.planesPerLine(), "plane index out of range");
  for (const auto& command : d.controlCommands()) {
    Check(command.offset < streamBytes && command.bytes.size() <= streamBytes - command.offset,
          "control command outside the stream");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // 0xFF selects an invalid geometry, which must decode nothing alike.
  const int planes = data[0] == 0xFF ? 2 : (data[0] & 1) != 0 ? 4 : 1;
  const int rowBytes = data[1] == 0xFF ? 0 : 1 + data[1] % 96;
  uint32_t chunkState = data[2] * 2654435761u + 1;
  // An exactly sized copy: a read past the stream shows.
  const size_t length = size - 3;
  auto stream = std::make_unique<uint8_t[]>(length);
  for (size_t i = 0; i < length; ++i) stream[i] = data[3 + i];

  StreamDecoder whole(rowBytes, planes);
  const bool wholeFed = whole.Feed(stream.get(), length);
  const bool wholeFinished = whole.Finish();

  StreamDecoder chunked(rowBytes, planes);
  bool chunkedFed = !chunked.error().has_value();  // a bad geometry fails every feed
  for (size_t at = 0; at < length;) {
    chunkState = chunkState * 1103515245u + 12345u;
    size_t chunk = 1 + (chunkState >> 16) % 37;
    if (chunk > length - at) chunk = length - at;
    chunkedFed = chunked.Feed(stream.get() + at, chunk) && chunkedFed;
    at += chunk;
  }
  Check(chunked.Feed(stream.get(), 0) == !chunked.error().has_value(),
        "an empty chunk answers otherwise than the state");
  const bool chunkedFinished = chunked.Finish();

  StreamDecoder bytewise(rowBytes, planes);
  bool bytewiseFed = !bytewise.error().has_value();
  for (size_t at = 0; at < length; ++at) {
    bytewiseFed = bytewise.Feed(stream.get() + at, 1) && bytewiseFed;
  }
  const bool bytewiseFinished = bytewise.Finish();

  Check(wholeFed == chunkedFed && wholeFed == bytewiseFed, "feed results differ");
  Check(wholeFinished == chunkedFinished && wholeFinished == bytewiseFinished,
        "finish results differ");
  Check(wholeFed || whole.error().has_value(), "a refused feed without an error");
  Check(wholeFinished == !whole.error().has_value(), "finish result and error differ");
  Sound(whole, length);
  Agree(whole, chunked);
  Agree(whole, bytewise);
  return 0;
}
