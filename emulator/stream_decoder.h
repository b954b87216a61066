// The printer's side of the command stream: decodes what the driver sends
// into dot rows per plane, keeping one seed row per plane for the whole
// stream (the printer knows nothing of pages). Any malformed or ambiguous
// input stops decoding with an error naming its byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelo::emulator {

struct DecodeError {
  size_t offset;  // in the whole stream
  std::string message;
};

class StreamDecoder {
 public:
  // planesPerLine: 1 (grey) or 4 (K, C, M, Y).
  StreamDecoder(int rowBytes, int planesPerLine);

  // Chunks may split the stream anywhere. False once an error was found.
  bool Feed(const uint8_t* data, size_t length);
  // False when the stream ends inside a command.
  bool Finish();

  const std::optional<DecodeError>& error() const { return error_; }
  // Plane p's dot rows in arrival order, rowBytes bytes each.
  const std::vector<std::vector<uint8_t>>& PlaneRows(int plane) const;
  // Commands seen, by name ("ESC g", "ESC m", ...).
  const std::map<std::string, size_t>& commandCounts() const { return counts_; }
  size_t bytesSeen() const { return offset_; }
  int encoding() const { return encoding_; }  // -1 before any ESC m
  int planeIndex() const { return plane_; }
  // The printer's reset: seeds, plane index and encoding start afresh.
  void ResetPrinter();

 private:
  bool Fail(size_t offset, std::string message);
  bool Command(size_t start);
  bool ApplyRow(size_t start);

  int rowBytes_;
  int planes_;
  int encoding_ = -1;
  int plane_ = 0;
  size_t offset_ = 0;  // bytes consumed so far
  std::vector<uint8_t> pending_;  // the command being assembled
  size_t pendingStart_ = 0;
  std::vector<std::vector<uint8_t>> seeds_;
  std::vector<std::vector<std::vector<uint8_t>>> rows_;
  std::map<std::string, size_t> counts_;
  std::optional<DecodeError> error_;
};

}  // namespace kelo::emulator
