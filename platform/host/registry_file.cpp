// Registry-editor text in the format of Windows CE images:
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\KLP]   a key (created if missing)
//   [-HKEY_LOCAL_MACHINE\Some\Key]             the key deleted
//   "Name"="text"   "Name"=dword:1A (hex)   "Name"=hex:01,02
//   "Name"=multi_sz:"a","b"   "Name"=-  (deleted)   @ is the default value
// `\\` and `\"` escape in names and strings (not in key paths); `;` starts a
// comment, also after a value; a line ending in `\` continues on the next.
// A bad line is reported with its line number and skipped.

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/host/host_internal.h"
#include "platform/host/registry_tree.h"

namespace kelo::host {

namespace {

const std::string_view kRoot = "HKEY_LOCAL_MACHINE";

void SkipSpaces(std::string_view line, size_t& at) {
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
}

bool RestIsComment(std::string_view line, size_t at) {
  SkipSpaces(line, at);
  return at == line.size() || line[at] == ';';
}

// A quoted string at `at`; advances past the closing quote.
bool ParseQuoted(std::string_view line, size_t& at, std::string& out) {
  if (at >= line.size() || line[at] != '"') return false;
  ++at;
  out.clear();
  while (at < line.size()) {
    const char c = line[at++];
    if (c == '"') return true;
    if (c == '\\' && at < line.size() && (line[at] == '\\' || line[at] == '"')) {
      out += line[at++];
    } else {
      out += c;
    }
  }
  return false;  // unterminated
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

class Parser {
 public:
  Parser(RegKey& root, std::string_view source) : root_(root), source_(source) {}

  void Line(std::string_view line, int number) {
    number_ = number;
    size_t at = 0;
    SkipSpaces(line, at);
    if (at == line.size() || line[at] == ';') return;
    if (line[at] == '[') {
      Section(line, at);
    } else {
      Value(line, at);
    }
  }

  int bad() const { return bad_; }

 private:
  void Bad(const std::string& why) {
    ++bad_;
    DebugLine("kelo registry: " + std::string(source_) + ":" + std::to_string(number_) + ": " +
              why);
  }

  void Section(std::string_view line, size_t at) {
    const size_t close = line.find(']', at);
    if (close == std::string_view::npos || !RestIsComment(line, close + 1)) {
      Bad("bad key line");
      key_ = nullptr;
      return;
    }
    std::string_view path = line.substr(at + 1, close - at - 1);
    const bool remove = !path.empty() && path[0] == '-';
    if (remove) path.remove_prefix(1);
    if (!StartsWith(path, 0, "hkey_local_machine") ||
        (path.size() > kRoot.size() && path[kRoot.size()] != '\\')) {
      Bad("unsupported root key \"" + std::string(path) + "\"");
      key_ = nullptr;
      return;
    }
    const std::u16string subPath = FromUtf8(path.substr(std::min(path.size(), kRoot.size() + 1)));
    if (remove) {
      root_.Delete(subPath);
      key_ = nullptr;
    } else {
      key_ = subPath.empty() ? &root_ : root_.Create(subPath);
    }
  }

  void Value(std::string_view line, size_t at) {
    std::string name;
    if (line[at] == '@') {
      ++at;
    } else if (!ParseQuoted(line, at, name)) {
      Bad("bad value name");
      return;
    }
    SkipSpaces(line, at);
    if (at >= line.size() || line[at] != '=') {
      Bad("missing '=' after the value name");
      return;
    }
    ++at;
    SkipSpaces(line, at);
    if (key_ == nullptr) {
      Bad("value outside a key section");
      return;
    }
    const std::u16string valueName = FromUtf8(name);
    if (at < line.size() && line[at] == '"') {
      std::string text;
      if (!ParseQuoted(line, at, text)) return Bad("unterminated string");
      if (!RestIsComment(line, at)) return Bad("text after the value");
      key_->SetString(valueName, FromUtf8(text));
    } else if (StartsWith(line, at, "dword:")) {
      at += 6;
      uint64_t number = 0;
      size_t digits = 0;
      while (at < line.size() && HexDigit(line[at]) >= 0) {
        number = number * 16 + static_cast<uint64_t>(HexDigit(line[at++]));
        if (++digits > 8) break;
      }
      if (digits == 0 || digits > 8 || !RestIsComment(line, at)) {
        return Bad("bad dword value (1 to 8 hex digits)");
      }
      key_->SetDword(valueName, static_cast<DWORD>(number));
    } else if (StartsWith(line, at, "hex:")) {
      at += 4;
      std::vector<BYTE> bytes;
      for (;;) {
        SkipSpaces(line, at);
        if (at >= line.size() || line[at] == ';') break;
        if (at + 1 >= line.size() || HexDigit(line[at]) < 0 || HexDigit(line[at + 1]) < 0) {
          return Bad("bad hex value");
        }
        bytes.push_back(static_cast<BYTE>(HexDigit(line[at]) * 16 + HexDigit(line[at + 1])));
        at += 2;
        SkipSpaces(line, at);
        if (at < line.size() && line[at] == ',') ++at;
        else if (at < line.size() && line[at] != ';') return Bad("bad hex value");
      }
      key_->SetValue(valueName, REG_BINARY, std::move(bytes));
    } else if (StartsWith(line, at, "multi_sz:")) {
      at += 9;
      std::u16string all;
      for (;;) {
        SkipSpaces(line, at);
        std::string item;
        if (!ParseQuoted(line, at, item)) return Bad("bad multi_sz value");
        all += FromUtf8(item);
        all += u'\0';
        SkipSpaces(line, at);
        if (at < line.size() && line[at] == ',') {
          ++at;
          continue;
        }
        if (!RestIsComment(line, at)) return Bad("bad multi_sz value");
        break;
      }
      all += u'\0';
      std::vector<BYTE> data(all.size() * 2);
      std::memcpy(data.data(), all.data(), data.size());
      key_->SetValue(valueName, REG_MULTI_SZ, std::move(data));
    } else if (at < line.size() && line[at] == '-' && RestIsComment(line, at + 1)) {
      key_->values.erase(Lower(valueName));
    } else {
      Bad("unknown value type");
    }
  }

  RegKey& root_;
  std::string_view source_;
  RegKey* key_ = nullptr;
  int number_ = 0;
  int bad_ = 0;
};

}  // namespace

int ApplyRegistryTextTo(RegKey& root, std::string_view text, std::string_view sourceName) {
  Parser parser(root, sourceName);
  std::string logical;
  int number = 0;
  int firstLine = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    if (logical.empty()) firstLine = number;
    if (!line.empty() && line.back() == '\\' && line.find(';') == std::string_view::npos &&
        end < text.size()) {
      // Continued on the next line (long hex values).
      logical.append(line.substr(0, line.size() - 1));
    } else {
      logical.append(line);
      parser.Line(logical, firstLine);
      logical.clear();
    }
    if (end == text.size()) break;
    at = end + 1;
  }
  return parser.bad();
}

bool LoadRegistryFileInto(RegKey& root, const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (errno == ENOENT) return true;  // no file: built-in content only
    DebugLine("kelo registry: " + path + ": cannot be read: " + std::strerror(errno));
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  ApplyRegistryTextTo(root, text.str(), path);
  return true;
}

}  // namespace kelo::host
