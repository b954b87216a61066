#include "emulator/stream_decoder.h"

#include <algorithm>

namespace kelo::emulator {

namespace {

constexpr uint8_t kEsc = 0x1B;

// Total length of the command in `bytes`, 0 while unknown, -1 if unknown
// command.
long CommandLength(const std::vector<uint8_t>& bytes) {
  if (bytes[0] == 0x00) return 1;  // wake-up byte
  if (bytes[0] != kEsc) return -1;
  if (bytes.size() < 2) return 0;
  switch (bytes[1]) {
    case 0x41:  // ESC A
    case 0x40:  // ESC @
      return 2;
    case 0x6D:  // ESC m n
    case 0x6B:  // ESC k n
    case 0x76:  // ESC v n
      return 3;
    case 0x65:  // ESC e a b
    case 0x51:  // ESC Q 15 n
      return 4;
    case 0x67:  // ESC g n payload
      if (bytes.size() < 3) return 0;
      return 3 + static_cast<long>(bytes[2]);
    default:
      return -1;
  }
}

const char* CommandName(uint8_t first, uint8_t letter) {
  if (first == 0x00) return "NUL";
  switch (letter) {
    case 0x41: return "ESC A";
    case 0x40: return "ESC @";
    case 0x6D: return "ESC m";
    case 0x6B: return "ESC k";
    case 0x76: return "ESC v";
    case 0x65: return "ESC e";
    case 0x51: return "ESC Q";
    default: return "ESC g";
  }
}

}  // namespace

StreamDecoder::StreamDecoder(int rowBytes, int planesPerLine)
    : rowBytes_(std::max(rowBytes, 1)), planes_(planesPerLine == 4 ? 4 : 1) {
  seeds_.assign(4, std::vector<uint8_t>(static_cast<size_t>(rowBytes_), 0));
  rows_.resize(4);
}

const std::vector<std::vector<uint8_t>>& StreamDecoder::PlaneRows(int plane) const {
  return rows_[static_cast<size_t>(std::clamp(plane, 0, 3))];
}

void StreamDecoder::ResetPrinter() {
  for (auto& seed : seeds_) std::fill(seed.begin(), seed.end(), 0);
  plane_ = 0;
  encoding_ = -1;
}

bool StreamDecoder::Fail(size_t offset, std::string message) {
  if (!error_) error_ = DecodeError{offset, std::move(message)};
  return false;
}

bool StreamDecoder::Feed(const uint8_t* data, size_t length) {
  if (error_) return false;
  for (size_t i = 0; i < length; ++i) {
    if (pending_.empty()) pendingStart_ = offset_;
    pending_.push_back(data[i]);
    ++offset_;
    const long need = CommandLength(pending_);
    if (need < 0) {
      return Fail(pendingStart_, "unknown command " + std::to_string(pending_[0]) +
                                     (pending_.size() > 1 ? " " + std::to_string(pending_[1]) : ""));
    }
    if (need == 0 || pending_.size() < static_cast<size_t>(need)) continue;
    if (!Command(pendingStart_)) return false;
    pending_.clear();
  }
  return true;
}

bool StreamDecoder::Finish() {
  if (error_) return false;
  if (!pending_.empty()) return Fail(pendingStart_, "stream ends inside a command");
  return true;
}

bool StreamDecoder::Command(size_t start) {
  const uint8_t letter = pending_.size() > 1 ? pending_[1] : 0;
  ++counts_[CommandName(pending_[0], letter)];
  if (pending_[0] == 0x00) return true;
  switch (letter) {
    case 0x41:
      for (auto& seed : seeds_) std::fill(seed.begin(), seed.end(), 0);
      plane_ = 0;
      return true;
    case 0x40:
      ResetPrinter();
      return true;
    case 0x6D:
      encoding_ = pending_[2];
      return true;
    case 0x67:
      return ApplyRow(start);
    default:
      return true;
  }
}

bool StreamDecoder::ApplyRow(size_t start) {
  const size_t n = pending_[2];
  const uint8_t* payload = pending_.data() + 3;
  const size_t payloadOffset = start + 3;
  std::vector<uint8_t>& seed = seeds_[static_cast<size_t>(plane_)];
  const size_t width = static_cast<size_t>(rowBytes_);
  if (encoding_ == 0) {
    if (n > width) {
      return Fail(start, "raster row of " + std::to_string(n) + " bytes is longer than " +
                             std::to_string(width));
    }
    std::fill(seed.begin(), seed.end(), 0);
    std::copy(payload, payload + n, seed.begin());
  } else if (encoding_ == 3) {
    std::vector<uint8_t> row = seed;
    size_t at = 0;  // in the payload
    size_t position = 0;  // in the row
    while (at < n) {
      const size_t commandAt = at;
      const uint8_t command = payload[at++];
      const size_t count = static_cast<size_t>(command >> 5) + 1;
      size_t offset = command & 0x1F;
      if (offset == 31) {
        for (;;) {
          if (at >= n) return Fail(payloadOffset + commandAt, "offset extension runs past the payload");
          const uint8_t extra = payload[at++];
          offset += extra;
          if (extra != 0xFF) break;
        }
      }
      if (at + count > n) return Fail(payloadOffset + commandAt, "replacement bytes run past the payload");
      position += offset;
      if (position + count > width) return Fail(payloadOffset + commandAt, "delta runs past the row");
      std::copy(payload + at, payload + at + count, row.begin() + static_cast<ptrdiff_t>(position));
      position += count;
      at += count;
    }
    seed = std::move(row);
  } else {
    return Fail(start, encoding_ < 0 ? std::string("raster row in encoding unknown")
                                     : "raster row in encoding " + std::to_string(encoding_));
  }
  rows_[static_cast<size_t>(plane_)].push_back(seed);
  plane_ = (plane_ + 1) % planes_;
  return true;
}

}  // namespace kelo::emulator
