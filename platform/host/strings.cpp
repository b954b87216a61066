// UTF-16 <-> UTF-8, ASCII case folding and CompareStringW.

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, uint32_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  } else {
    out += static_cast<char16_t>(c);
  }
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      continue;
    }
    size_t extra = 0;
    uint32_t c = 0;
    uint32_t smallest = 0;  // below this the sequence is an overlong form
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      c = lead & 0x1Fu;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      c = lead & 0x0Fu;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      c = lead & 0x07u;
      smallest = 0x10000;
    } else {
      out += static_cast<char16_t>(kReplacement);  // a stray continuation or 0xF8..0xFF
      continue;
    }
    bool bad = false;
    for (size_t k = 0; k < extra; ++k) {
      // A byte that does not continue the sequence is left for the next round.
      if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        bad = true;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(text[i++]) & 0x3Fu);
    }
    if (bad || c < smallest || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      c = kReplacement;
    }
    AppendUtf16(out, c);
  }
  return out;
}

std::u16string Lower(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = FoldAscii(c);
  return out;
}

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace kelo::host

using kelo::host::FoldAscii;
using kelo::host::WideLength;

extern "C" {

int WINAPI CompareStringW(LCID, DWORD flags, LPCWSTR a, int countA, LPCWSTR b, int countB) {
  if (a == nullptr || b == nullptr || countA < -1 || countB < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t lengthA = countA == -1 ? WideLength(a) : static_cast<size_t>(countA);
  const size_t lengthB = countB == -1 ? WideLength(b) : static_cast<size_t>(countB);
  const bool fold = (flags & NORM_IGNORECASE) != 0;
  for (size_t i = 0; i < lengthA && i < lengthB; ++i) {
    const char16_t ca = fold ? FoldAscii(a[i]) : a[i];
    const char16_t cb = fold ? FoldAscii(b[i]) : b[i];
    if (ca != cb) return ca < cb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (lengthA == lengthB) return CSTR_EQUAL;
  return lengthA < lengthB ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

}  // extern "C"
