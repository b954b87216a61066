#include "emulator/stream_decoder.h"

#include <algorithm>
#include <utility>

namespace kelo::emulator {

namespace {

constexpr uint8_t kNul = 0x00;
constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kInit = 0x41;      // ESC A
constexpr uint8_t kReset = 0x40;     // ESC @
constexpr uint8_t kEncoding = 0x6D;  // ESC m n
constexpr uint8_t kStatus = 0x6B;    // ESC k n
constexpr uint8_t kSetting = 0x76;   // ESC v n
constexpr uint8_t kEnd = 0x65;       // ESC e a b
constexpr uint8_t kRtsMode = 0x51;   // ESC Q 15 n
constexpr uint8_t kRtsModeSelector = 0x0F;
constexpr uint8_t kRaster = 0x67;    // ESC g n d1..dn

constexpr int kPlainEncoding = 0;  // payload is the row, left-aligned
constexpr int kDeltaEncoding = 3;  // payload is replacement commands on the seed

// Replacement command byte: bits 7-5 count - 1, bits 4-0 offset, where 31
// announces an extension of 0xFF bytes (255 each) and a final byte 0..254.
constexpr unsigned kExtendedOffset = 31;
constexpr uint8_t kExtensionContinues = 0xFF;

std::string CommandName(uint8_t letter) {
  switch (letter) {
    case kInit: return "ESC A";
    case kReset: return "ESC @";
    case kEncoding: return "ESC m";
    case kStatus: return "ESC k";
    case kSetting: return "ESC v";
    case kEnd: return "ESC e";
    case kRtsMode: return "ESC Q";
    case kRaster: return "ESC g";
    default: return "ESC";
  }
}

// Parameter bytes after the letter of a fixed-length control command; 0 for
// letters that are not such commands.
size_t ParameterCount(uint8_t letter) {
  switch (letter) {
    case kEncoding:
    case kStatus:
    case kSetting:
      return 1;
    case kEnd:
    case kRtsMode:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

StreamDecoder::StreamDecoder(int rowBytes, int planesPerLine)
    : rowBytes_(rowBytes), planes_(planesPerLine) {
  if (rowBytes < 1 || (planesPerLine != 1 && planesPerLine != 4)) {
    Fail(0, "invalid geometry: " + std::to_string(rowBytes) + " bytes per row, " +
                std::to_string(planesPerLine) + " planes");
    rowBytes_ = 1;
    planes_ = 1;
  }
  const size_t width = static_cast<size_t>(rowBytes_);
  seeds_.assign(static_cast<size_t>(planes_), std::vector<uint8_t>(width, 0));
  rows_.resize(static_cast<size_t>(planes_));
  work_.assign(width, 0);
}

const std::vector<std::vector<uint8_t>>& StreamDecoder::PlaneRows(int plane) const {
  static const std::vector<std::vector<uint8_t>> kNone;
  if (plane < 0 || plane >= planes_) return kNone;
  return rows_[static_cast<size_t>(plane)];
}

void StreamDecoder::ClearSeedsAndPlane() {
  for (auto& seed : seeds_) std::fill(seed.begin(), seed.end(), 0);
  plane_ = 0;
}

void StreamDecoder::ResetPrinter() {
  ClearSeedsAndPlane();
  encoding_ = kUnknownEncoding;
  state_ = State::kCommand;
  control_.clear();
}

bool StreamDecoder::Fail(size_t offset, std::string message) {
  if (!error_) error_ = DecodeError{offset, std::move(message)};
  return false;
}

bool StreamDecoder::Feed(const uint8_t* data, size_t length) {
  if (error_) return false;
  if (data == nullptr && length > 0) return Fail(offset_, "no data for " + std::to_string(length) + " bytes");
  for (size_t i = 0; i < length; ++i) {
    const size_t at = offset_++;
    if (!Step(data[i], at)) return false;
  }
  return true;
}

bool StreamDecoder::Finish() {
  if (error_) return false;
  if (state_ == State::kCommand) return true;
  const std::string name = state_ == State::kLetter ? "ESC" : CommandName(control_[1]);
  return Fail(commandStart_, "stream ends inside " + name);
}

bool StreamDecoder::Step(uint8_t byte, size_t at) {
  switch (state_) {
    case State::kCommand:
      commandStart_ = at;
      if (byte == kNul) {
        ++counts_["NUL"];
        return true;
      }
      if (byte != kEsc) return Fail(at, "unknown command");
      state_ = State::kLetter;
      return true;

    case State::kLetter:
      control_.assign({kEsc, byte});
      if (byte == kInit || byte == kReset) {
        EndControl();
        return true;
      }
      if (byte == kRaster) {
        if (encoding_ != kPlainEncoding && encoding_ != kDeltaEncoding) {
          return Fail(commandStart_, encoding_ == kUnknownEncoding
                                         ? std::string("raster row in encoding unknown")
                                         : "raster row in encoding " + std::to_string(encoding_));
        }
        state_ = State::kRowLength;
        return true;
      }
      parametersLeft_ = ParameterCount(byte);
      if (parametersLeft_ == 0) return Fail(commandStart_, "unknown command");
      state_ = State::kParameters;
      return true;

    case State::kParameters:
      // ESC Q is known only as the RTS mode command ESC Q 15 n.
      if (control_[1] == kRtsMode && control_.size() == 2 && byte != kRtsModeSelector) {
        return Fail(commandStart_, "unknown command");
      }
      control_.push_back(byte);
      if (--parametersLeft_ == 0) EndControl();
      return true;

    case State::kRowLength:
      return BeginRow(byte, at);

    case State::kPlainData:
      work_[position_++] = byte;
      if (--payloadLeft_ == 0) EndRow();
      return true;

    case State::kDeltaCommand: {
      replacementAt_ = at;
      --payloadLeft_;
      const size_t count = static_cast<size_t>(byte >> 5) + 1;
      const unsigned gap = byte & 0x1Fu;
      if (gap != kExtendedOffset) return BeginReplacement(count, gap);
      if (payloadLeft_ == 0) return Fail(at, "offset extension runs past the payload end");
      replacementCount_ = count;
      replacementGap_ = kExtendedOffset;
      state_ = State::kDeltaExtension;
      return true;
    }

    case State::kDeltaExtension:
      --payloadLeft_;
      replacementGap_ += byte;
      if (byte != kExtensionContinues) return BeginReplacement(replacementCount_, replacementGap_);
      if (payloadLeft_ == 0) return Fail(replacementAt_, "offset extension runs past the payload end");
      return true;

    case State::kDeltaData:
      work_[position_++] = byte;
      --payloadLeft_;
      if (--replacementCount_ > 0) return true;
      if (payloadLeft_ == 0) {
        EndRow();
      } else {
        state_ = State::kDeltaCommand;
      }
      return true;
  }
  return Fail(at, "decoder in an impossible state");
}

bool StreamDecoder::BeginRow(uint8_t length, size_t at) {
  const size_t width = static_cast<size_t>(rowBytes_);
  payloadLeft_ = length;
  position_ = 0;
  if (encoding_ == kPlainEncoding) {
    if (payloadLeft_ > width) {
      return Fail(at, "raster row of " + std::to_string(payloadLeft_) + " bytes is longer than the row of " +
                          std::to_string(width) + " bytes");
    }
    std::fill(work_.begin(), work_.end(), 0);
    state_ = State::kPlainData;
  } else {
    work_ = seeds_[static_cast<size_t>(plane_)];
    state_ = State::kDeltaCommand;
  }
  if (payloadLeft_ == 0) EndRow();
  return true;
}

bool StreamDecoder::BeginReplacement(size_t count, size_t gap) {
  const size_t width = static_cast<size_t>(rowBytes_);
  const size_t start = position_ + gap;
  if (start >= width) {
    return Fail(replacementAt_, "replacement offset " + std::to_string(gap) + " at row byte " +
                                    std::to_string(position_) + " lies past the row end");
  }
  if (start + count > width) {
    return Fail(replacementAt_, std::to_string(count) + " replacement bytes at row byte " +
                                    std::to_string(start) + " run past the row end");
  }
  if (count > payloadLeft_) {
    return Fail(replacementAt_, std::to_string(count) + " replacement bytes run past the payload end");
  }
  position_ = start;
  replacementCount_ = count;
  state_ = State::kDeltaData;
  return true;
}

void StreamDecoder::EndRow() {
  auto& seed = seeds_[static_cast<size_t>(plane_)];
  seed = work_;
  rows_[static_cast<size_t>(plane_)].push_back(work_);
  ++counts_["ESC g"];
  plane_ = (plane_ + 1) % planes_;
  if (plane_ == 0) ++completedLines_;
  state_ = State::kCommand;
}

void StreamDecoder::EndControl() {
  const uint8_t letter = control_[1];
  ++counts_[CommandName(letter)];
  controls_.push_back(ControlCommand{commandStart_, control_});
  if (letter == kInit) ClearSeedsAndPlane();
  if (letter == kReset) ResetPrinter();
  if (letter == kEncoding) encoding_ = control_[2];
  state_ = State::kCommand;
}

}  // namespace kelo::emulator
