// The printer's side of the command stream: decodes what the driver sends
// into dot rows per plane, keeping one seed row per plane for the whole
// stream (the printer knows nothing of pages). The first malformed byte stops
// decoding with an error naming its offset in the whole stream.
//
// Error offsets: an unknown command, a raster row in an unusable encoding and
// a stream that ends inside a command point at the command's first byte; an
// encoding-0 length longer than the row points at the length byte; a fault
// of a replacement command (offset or bytes past the row end, extension or
// bytes past the payload end) points at that replacement command's byte.
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

// A command other than a raster row or a wake-up byte, as received.
struct ControlCommand {
  size_t offset;               // of its ESC byte
  std::vector<uint8_t> bytes;  // ESC, letter and parameters
};

class StreamDecoder {
 public:
  // planesPerLine: 1 (grey) or 4 (K, C, M, Y). Any other value, or a
  // rowBytes below 1, is an error at offset 0 and nothing is decoded.
  StreamDecoder(int rowBytes, int planesPerLine);

  // Chunks may split the stream anywhere. False once an error was found.
  bool Feed(const uint8_t* data, size_t length);
  // False when an error was found or the stream ends inside a command.
  bool Finish();

  const std::optional<DecodeError>& error() const { return error_; }
  // Plane p's dot rows in arrival order, rowBytes bytes each; empty for a
  // plane the decoder does not have.
  const std::vector<std::vector<uint8_t>>& PlaneRows(int plane) const;

  int rowBytes() const { return rowBytes_; }
  int planesPerLine() const { return planes_; }
  // Encoding selected by the last ESC m, kUnknownEncoding before any.
  static constexpr int kUnknownEncoding = -1;
  int encoding() const { return encoding_; }
  // Plane the next raster row goes to.
  int planeIndex() const { return plane_; }
  // Raster lines whose rows arrived for every plane (ESC A or a reset
  // abandons a partial line).
  size_t completedLines() const { return completedLines_; }
  // Complete commands by name: "NUL", "ESC A", "ESC @", "ESC m", "ESC k",
  // "ESC v", "ESC e", "ESC Q", "ESC g".
  const std::map<std::string, size_t>& commandCounts() const { return counts_; }
  // Every command except ESC g and NUL, in arrival order.
  const std::vector<ControlCommand>& controlCommands() const { return controls_; }
  // Bytes decoded so far, including the byte that raised an error.
  size_t bytesSeen() const { return offset_; }

  // The printer's reset from outside the stream (e.g. by its control line):
  // seeds zero, plane index 0, encoding unknown, and a command in progress is
  // dropped. Rows already printed and an error already found stay.
  void ResetPrinter();

 private:
  enum class State {
    kCommand,     // expecting the first byte of a command
    kLetter,      // after ESC
    kParameters,  // collecting the fixed parameter bytes of a control command
    kRowLength,   // after ESC g
    kPlainData,   // encoding 0 payload
    kDeltaCommand,
    kDeltaExtension,
    kDeltaData,
  };

  bool Step(uint8_t byte, size_t at);
  bool Fail(size_t offset, std::string message);
  void ClearSeedsAndPlane();
  bool BeginRow(uint8_t length, size_t at);
  bool BeginReplacement(size_t count, size_t gap);
  void EndRow();
  void EndControl();

  int rowBytes_;
  int planes_;
  int encoding_ = kUnknownEncoding;
  int plane_ = 0;
  size_t offset_ = 0;  // bytes consumed so far
  size_t completedLines_ = 0;

  State state_ = State::kCommand;
  size_t commandStart_ = 0;         // offset of the current command's first byte
  std::vector<uint8_t> control_;    // the control command being collected
  size_t parametersLeft_ = 0;
  size_t payloadLeft_ = 0;          // ESC g payload bytes still to come
  size_t position_ = 0;             // next byte of work_ to write
  size_t replacementAt_ = 0;        // offset of the current replacement command
  size_t replacementCount_ = 0;     // its replacement bytes still to come
  size_t replacementGap_ = 0;       // its offset, while the extension arrives
  std::vector<uint8_t> work_;       // the row being received

  std::vector<std::vector<uint8_t>> seeds_;
  std::vector<std::vector<std::vector<uint8_t>>> rows_;
  std::map<std::string, size_t> counts_;
  std::vector<ControlCommand> controls_;
  std::optional<DecodeError> error_;
};

}  // namespace kelo::emulator
