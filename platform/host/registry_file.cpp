// Registry-editor text in the format of Windows CE images:
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\KLP]   a key (created if missing)
//   [-HKEY_LOCAL_MACHINE\Some\Key]             the key deleted
//   "Name"="text"   "Name"=dword:1A (hex)   "Name"=hex:01,02
//   "Name"=multi_sz:"a","b"   "Name"=-  (deleted)   @ is the default value
// `\\` and `\"` escape in names and strings (not in key paths); `;` starts a
// comment, also after a value; a hex or multi_sz value ending in `\`
// continues on the next line. Key paths and value names hold no NUL. A bad
// line is reported with its line number and skipped; the rest still applies.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/host/host_internal.h"
#include "platform/host/registry_tree.h"

namespace kelo::host {

namespace {

constexpr std::string_view kRoot = "hkey_local_machine";
// Far above any real configuration; a bigger file is a mistake.
constexpr off_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr size_t kQuoteLimit = 40;  // characters of bad input quoted in a diagnostic

void SkipSpaces(std::string_view line, size_t& at) {
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
}

bool RestIsComment(std::string_view line, size_t at) {
  SkipSpaces(line, at);
  return at == line.size() || line[at] == ';';
}

// The text from `at` to the next blank or comment, quoted for a diagnostic.
std::string Quote(std::string_view line, size_t at, bool toEnd = false) {
  size_t end = at;
  while (end < line.size() && line[end] != ';' &&
         (toEnd || (line[end] != ' ' && line[end] != '\t'))) {
    ++end;
  }
  std::string_view token = line.substr(std::min(at, line.size()), end - std::min(at, end));
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.remove_suffix(1);
  std::string out = "\"";
  out.append(token.substr(0, kQuoteLimit));
  if (token.size() > kQuoteLimit) out += "...";
  out += '"';
  return out;
}

// A quoted string at `at` with its escapes; advances past the closing quote.
// False when it is not terminated on the line.
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
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view lowerPrefix) {
  if (at > text.size() || text.size() - at < lowerPrefix.size()) return false;
  for (size_t i = 0; i < lowerPrefix.size(); ++i) {
    char c = text[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != lowerPrefix[i]) return false;
  }
  return true;
}

// Past the value name and '=' of a value line; npos when the line has none.
size_t DataStart(std::string_view line) {
  size_t at = 0;
  SkipSpaces(line, at);
  std::string ignored;
  if (at < line.size() && line[at] == '@') {
    ++at;
  } else if (!ParseQuoted(line, at, ignored)) {
    return std::string_view::npos;
  }
  SkipSpaces(line, at);
  if (at >= line.size() || line[at] != '=') return std::string_view::npos;
  ++at;
  SkipSpaces(line, at);
  return at;
}

// Lists of bytes and strings may run over several lines, each but the last
// ending in a backslash.
bool Continues(std::string_view line) {
  if (line.empty() || line.back() != '\\') return false;
  const size_t at = DataStart(line);
  return at != std::string_view::npos &&
         (StartsWithNoCase(line, at, "hex:") || StartsWithNoCase(line, at, "multi_sz:"));
}

class Parser {
 public:
  Parser(std::shared_ptr<RegKey> root, std::string_view source)
      : root_(std::move(root)), source_(source) {}

  void Line(std::string_view line, int number) {
    number_ = number;
    size_t at = 0;
    SkipSpaces(line, at);
    if (at == line.size() || line[at] == ';') return;
    const std::string_view trimmed = line.substr(at);
    if (trimmed.starts_with("REGEDIT4") || trimmed.starts_with("Windows Registry Editor")) {
      return;  // the header desktop editors write
    }
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
    key_ = nullptr;  // until this line names a key, values have nowhere to go
    const size_t close = line.find(']', at);
    if (close == std::string_view::npos)
      return Bad("key line without ']' " + Quote(line, at, true));
    if (!RestIsComment(line, close + 1)) {
      return Bad("text after the key " + Quote(line, close + 1, true));
    }
    std::string_view path = line.substr(at + 1, close - at - 1);
    const bool remove = !path.empty() && path[0] == '-';
    if (remove) path.remove_prefix(1);
    if (!StartsWithNoCase(path, 0, kRoot) ||
        (path.size() > kRoot.size() && path[kRoot.size()] != '\\')) {
      return Bad("unsupported root key \"" + std::string(path.substr(0, kQuoteLimit)) + "\"");
    }
    const std::u16string subPath = FromUtf8(path.substr(std::min(path.size(), kRoot.size() + 1)));
    // Names travel as NUL-terminated strings: a name holding a NUL would be
    // listed cut short, so "A\<NUL>B" would open as A itself and a walk of
    // the tree would never end.
    if (subPath.find(u'\0') != std::u16string::npos) return Bad("NUL character in the key path");
    if (remove) {
      DeleteKey(*root_, subPath);
    } else {
      key_ = CreateKey(root_, subPath);
    }
  }

  void Value(std::string_view line, size_t at) {
    std::string name;
    if (line[at] == '@') {
      ++at;
    } else if (line[at] != '"') {
      return Bad("not a key or value line " + Quote(line, at, true));
    } else if (!ParseQuoted(line, at, name)) {
      return Bad("unterminated value name");
    }
    SkipSpaces(line, at);
    if (at >= line.size() || line[at] != '=') return Bad("missing '=' after the value name");
    ++at;
    SkipSpaces(line, at);
    if (key_ == nullptr) return Bad("value outside a key section");
    const std::u16string valueName = FromUtf8(name);
    if (valueName.find(u'\0') != std::u16string::npos) {
      return Bad("NUL character in the value name");
    }
    if (at < line.size() && line[at] == '"') {
      String(line, at, valueName);
    } else if (StartsWithNoCase(line, at, "dword:")) {
      Dword(line, at + 6, valueName);
    } else if (StartsWithNoCase(line, at, "hex:")) {
      Hex(line, at + 4, valueName);
    } else if (StartsWithNoCase(line, at, "multi_sz:")) {
      MultiString(line, at + 9, valueName);
    } else if (at < line.size() && line[at] == '-' && RestIsComment(line, at + 1)) {
      DeleteValue(*key_, valueName);
    } else {
      size_t end = at;
      while (end < line.size() && line[end] != ':' && line[end] != ' ' && line[end] != ';') ++end;
      Bad("unknown value type \"" + std::string(line.substr(at, std::min(end - at, kQuoteLimit))) +
          "\"");
    }
  }

  void String(std::string_view line, size_t at, const std::u16string& valueName) {
    std::string text;
    if (!ParseQuoted(line, at, text)) return Bad("unterminated string");
    if (!RestIsComment(line, at)) return Bad("text after the value " + Quote(line, at, true));
    SetString(*key_, valueName, FromUtf8(text));
  }

  void Dword(std::string_view line, size_t at, const std::u16string& valueName) {
    const size_t start = at;
    uint64_t number = 0;
    bool over = false;
    while (at < line.size() && HexDigit(line[at]) >= 0) {
      number = number * 16 + static_cast<uint64_t>(HexDigit(line[at++]));
      if (number > 0xFFFFFFFFull) {
        over = true;
        number = 0;  // keeps consuming digits without overflowing
      }
    }
    if (at == start || !RestIsComment(line, at))
      return Bad("bad dword value " + Quote(line, start));
    if (over) return Bad("dword value " + Quote(line, start) + " over 32 bits");
    SetDword(*key_, valueName, static_cast<DWORD>(number));
  }

  void Hex(std::string_view line, size_t at, const std::u16string& valueName) {
    const size_t start = at;
    std::vector<BYTE> bytes;
    SkipSpaces(line, at);
    while (at < line.size() && line[at] != ';') {
      if (at + 1 >= line.size() || HexDigit(line[at]) < 0 || HexDigit(line[at + 1]) < 0) {
        return Bad("bad hex value " + Quote(line, start, true));
      }
      bytes.push_back(static_cast<BYTE>(HexDigit(line[at]) * 16 + HexDigit(line[at + 1])));
      at += 2;
      SkipSpaces(line, at);
      if (at < line.size() && line[at] == ',') {
        ++at;
        SkipSpaces(line, at);
      } else if (!RestIsComment(line, at)) {
        return Bad("bad hex value " + Quote(line, start, true));
      }
    }
    SetValue(*key_, valueName, REG_BINARY, std::move(bytes));
  }

  void MultiString(std::string_view line, size_t at, const std::u16string& valueName) {
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
      if (!RestIsComment(line, at)) return Bad("text after the value " + Quote(line, at, true));
      break;
    }
    all += u'\0';  // the list ends with an empty string
    std::vector<BYTE> data(all.size() * sizeof(char16_t));
    std::memcpy(data.data(), all.data(), data.size());
    SetValue(*key_, valueName, REG_MULTI_SZ, std::move(data));
  }

  const std::shared_ptr<RegKey> root_;
  const std::string_view source_;
  std::shared_ptr<RegKey> key_;  // the section in force; null outside one
  int number_ = 0;
  int bad_ = 0;
};

// Files saved by desktop editors may be UTF-16 or carry a UTF-8 mark.
std::string AsUtf8(std::string_view text) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    std::u16string wide;
    for (size_t i = 2; i + 1 < text.size(); i += 2) {
      wide += static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                    (static_cast<unsigned char>(text[i + 1]) << 8));
    }
    return ToUtf8(wide);
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  return std::string(text);
}

}  // namespace

int ApplyRegistryTextTo(const std::shared_ptr<RegKey>& root, std::string_view raw,
                        std::string_view sourceName) {
  const std::string text = AsUtf8(raw);
  Parser parser(root, sourceName);
  std::string logical;  // a line with its continuations
  int number = 0;
  int firstLine = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    if (logical.empty()) firstLine = number;
    logical.append(line);
    if (Continues(logical) && end < text.size()) {
      logical.pop_back();
    } else {
      parser.Line(logical, firstLine);
      logical.clear();
    }
    at = end + 1;
  }
  if (!logical.empty()) parser.Line(logical, firstLine);
  return parser.bad();
}

bool LoadRegistryFileInto(const std::shared_ptr<RegKey>& root, const std::string& path) {
  const auto fail = [&](const std::string& why) {
    DebugLine("kelo registry: " + path + ": " + why);
    return false;
  };
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // no file: built-in content only
    return fail("cannot be read: " + std::generic_category().message(errno));
  }
  struct stat info = {};
  std::string text;
  bool ok = true;
  std::string why;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ok = false;
    why = "is not a file";
  } else if (info.st_size > kMaxFileBytes) {
    ok = false;
    why = "is larger than " + std::to_string(kMaxFileBytes) + " bytes";
  } else {
    text.resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        why = "cannot be read: " + std::generic_category().message(errno);
        break;
      }
      if (n == 0) break;  // shrank meanwhile
      got += static_cast<size_t>(n);
    }
    text.resize(got);
  }
  ::close(fd);
  if (!ok) return fail(why);
  ApplyRegistryTextTo(root, text, path);
  return true;
}

}  // namespace kelo::host
