// Build tool: turns a version description into the C++ source of a version
// block, the layout of a Windows VS_VERSIONINFO resource, placed in the ELF
// section .rw_version of the executable that compiles the source.
//
//   version_compile [-D NAME=VALUE]... DESCRIPTION OUTPUT
//
// A description is UTF-8 text of "KEY = VALUE" lines; blank lines and lines
// whose first non-blank character is '#' are comments. Blanks around keys and
// values are dropped. Before the first table stand the fixed numbers:
//   FILEVERSION = 2.1.6.0        up to four numbers 0-65535 (missing ones are 0)
//   PRODUCTVERSION = 2.1.6.0
//   TRANSLATION = 0x0409 0x04E4  language and code page pairs (VarFileInfo)
// "[040904E4]" starts a string table (language and code page, 8 hex digits);
// its lines are the strings, "Key = Value", an empty value allowed.
// "@NAME@" in a value is replaced by a -D definition; an undefined name is an
// error, so a misspelt placeholder cannot reach the executable.
//
// Every faulty line is reported as FILE:LINE: error: ..., and no output is
// written, so a broken description stops the build.
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/table_text.h"
#include "platform/utf8.h"

#include "platform/version_block.h"

namespace {

using table_text::is_name_char;
using table_text::trim;

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// UTF-8 to UTF-16 code units; nullopt for text that is not valid UTF-8 (a
// description saved in a legacy code page would otherwise show garbage).
std::optional<std::u16string> to_utf16(std::string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const TCodePoint c = decode_utf8_at(s, i);
    if (c.length == 0) return std::nullopt;
    if (c.code >= 0x10000) {
      const std::uint32_t v = c.code - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(c.code);
    }
    i += c.length;
  }
  return out;
}

// "a.b.c.d" with one to four parts.
std::optional<std::array<std::uint16_t, 4>> parse_version(std::string_view text) {
  std::array<std::uint16_t, 4> parts{};
  std::size_t count = 0;
  std::size_t pos = 0;
  for (;;) {
    if (count == parts.size()) return std::nullopt;
    std::uint32_t value = 0;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
      if (value > 0xFFFF) return std::nullopt;
      ++pos;
    }
    if (pos == start) return std::nullopt;
    parts[count++] = static_cast<std::uint16_t>(value);
    if (pos == text.size()) return parts;
    if (text[pos] != '.') return std::nullopt;
    ++pos;
  }
}

// A 16-bit number, decimal or with 0x in hexadecimal.
std::optional<std::uint16_t> parse_word(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

struct TStringEntry {
  std::u16string key;
  std::u16string value;
};

struct TStringTable {
  std::u16string name;
  std::vector<TStringEntry> strings;
};

struct TDescription {
  std::optional<std::array<std::uint16_t, 4>> file_version;
  std::optional<std::array<std::uint16_t, 4>> product_version;
  std::vector<std::uint16_t> translation;  // language, code page, language, ...
  std::vector<TStringTable> tables;
};

class TParser {
 public:
  TParser(std::string file_name, std::map<std::string, std::string> definitions)
      : file_name_(std::move(file_name)), definitions_(std::move(definitions)) {}

  void parse_line(std::string_view line, std::size_t number) {
    line = trim(table_text::clean_line(line, number));
    if (line.empty() || line.front() == '#') return;

    if (line.front() == '[') {
      parse_table_head(line, number);
      return;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      error(number, "expected KEY = VALUE or [table]");
      return;
    }
    const std::string_view key = trim(line.substr(0, equals));
    std::string value;
    if (!substitute(trim(line.substr(equals + 1)), number, value)) return;
    if (key.empty()) {
      error(number, "the key is missing before '='");
      return;
    }
    if (description_.tables.empty()) {
      parse_fixed(key, value, number);
    } else {
      parse_string(key, value, number);
    }
  }

  void finish() {
    if (!description_.file_version) error(0, "FILEVERSION is missing");
    if (!description_.product_version) error(0, "PRODUCTVERSION is missing");
  }

  [[nodiscard]] bool ok() const { return errors_ == 0; }
  [[nodiscard]] const TDescription& description() const { return description_; }

 private:
  void error(std::size_t line, const std::string& text) {
    std::cerr << file_name_;
    if (line > 0) std::cerr << ':' << line;
    std::cerr << ": error: " << text << '\n';
    ++errors_;
  }

  bool substitute(std::string_view raw, std::size_t number, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < raw.size()) {
      if (raw[i] == '@') {
        std::size_t end = i + 1;
        while (end < raw.size() && is_name_char(raw[end], end == i + 1)) ++end;
        if (end > i + 1 && end < raw.size() && raw[end] == '@') {
          const std::string name(raw.substr(i + 1, end - i - 1));
          const auto it = definitions_.find(name);
          if (it == definitions_.end()) {
            error(number, "@" + name + "@ is not defined (pass -D " + name + "=...)");
            return false;
          }
          out += it->second;
          i = end + 1;
          continue;
        }
      }
      out += raw[i++];
    }
    return true;
  }

  void parse_table_head(std::string_view line, std::size_t number) {
    if (line.back() != ']') {
      error(number, "a table head is [LLLLCCCC]");
      return;
    }
    const std::string_view name = trim(line.substr(1, line.size() - 2));
    bool hex = name.size() == 8;
    for (const char c : name) {
      hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
    }
    if (!hex) {
      error(number, "table '" + std::string(name) +
                        "' must be 8 hexadecimal digits: language and code page, as 040904E4");
      return;
    }
    for (const TStringTable& table : description_.tables) {
      if (equal_ignoring_case(std::string(table.name.begin(), table.name.end()), name)) {
        error(number, "table " + std::string(name) + " appears twice");
        return;
      }
    }
    description_.tables.push_back({std::u16string(name.begin(), name.end()), {}});
    seen_keys_.clear();
  }

  void parse_fixed(std::string_view key, const std::string& value, std::size_t number) {
    if (key == "FILEVERSION" || key == "PRODUCTVERSION") {
      auto& target = key == "FILEVERSION" ? description_.file_version : description_.product_version;
      if (target) {
        error(number, std::string(key) + " is given twice");
        return;
      }
      target = parse_version(value);
      if (!target) error(number, "'" + value + "' is no version: one to four numbers 0-65535 with dots");
      return;
    }
    if (key == "TRANSLATION") {
      std::istringstream words(value);
      std::string word;
      std::vector<std::uint16_t> numbers;
      while (words >> word) {
        const std::optional<std::uint16_t> number_value = parse_word(word);
        if (!number_value) {
          error(number, "'" + word + "' is no 16-bit number");
          return;
        }
        numbers.push_back(*number_value);
      }
      if (numbers.empty() || numbers.size() % 2 != 0) {
        error(number, "TRANSLATION takes pairs of language and code page");
        return;
      }
      description_.translation = numbers;
      return;
    }
    error(number, "unknown key '" + std::string(key) +
                      "' before the first table (known: FILEVERSION, PRODUCTVERSION, TRANSLATION)");
  }

  void parse_string(std::string_view key, const std::string& value, std::size_t number) {
    // A backslash would split the key in a VerQueryValue path.
    for (const char c : key) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x7F || c == '\\') {
        error(number, "key '" + std::string(key) + "' must be printable ASCII without '\\'");
        return;
      }
    }
    // Windows finds keys regardless of case, so the second one would never be found.
    for (const auto& [seen, line] : seen_keys_) {
      if (equal_ignoring_case(seen, key)) {
        error(number, "key '" + std::string(key) + "' is already in this table (line " +
                          std::to_string(line) + ")");
        return;
      }
    }
    std::optional<std::u16string> text = to_utf16(value);
    if (!text) {
      error(number, "the value is not valid UTF-8; save the description as UTF-8");
      return;
    }
    if (text->find(u'\0') != std::u16string::npos) {
      error(number, "the value holds a NUL character");
      return;
    }
    seen_keys_.emplace_back(std::string(key), number);
    description_.tables.back().strings.push_back({std::u16string(key.begin(), key.end()), std::move(*text)});
  }

  std::string file_name_;
  std::map<std::string, std::string> definitions_;
  TDescription description_;
  std::vector<std::pair<std::string, std::size_t>> seen_keys_;
  std::size_t errors_ = 0;
};

// Writes nodes as Windows lays them out: wLength, wValueLength, wType, the
// key in UTF-16 with its NUL, padding to 32 bits, the value, padding, the
// children. A node's length ends with its last child, without the padding
// after it; the next sibling starts at the next 32-bit boundary.
class TBlockWriter {
 public:
  enum TNodeType : std::uint16_t { binary = 0, text = 1 };

  std::size_t begin_node(std::u16string_view key, std::uint16_t value_length, TNodeType type) {
    pad();
    const std::size_t start = bytes_.size();
    word(0);  // wLength, patched by end_node
    word(value_length);
    word(type);
    for (const char16_t c : key) word(c);
    word(0);
    pad();
    return start;
  }

  // False when the node does not fit its 16-bit length.
  bool end_node(std::size_t start) {
    const std::size_t length = bytes_.size() - start;
    if (length > 0xFFFF) return false;
    bytes_[start] = static_cast<unsigned char>(length & 0xFF);
    bytes_[start + 1] = static_cast<unsigned char>(length >> 8);
    return true;
  }

  void word(std::uint16_t value) {
    bytes_.push_back(static_cast<unsigned char>(value & 0xFF));
    bytes_.push_back(static_cast<unsigned char>(value >> 8));
  }

  void dword(std::uint32_t value) {
    word(static_cast<std::uint16_t>(value & 0xFFFF));
    word(static_cast<std::uint16_t>(value >> 16));
  }

  void pad() {
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
  }

  [[nodiscard]] const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

std::uint32_t high_word(const std::array<std::uint16_t, 4>& v) {
  return (std::uint32_t{v[0]} << 16) | v[1];
}
std::uint32_t low_word(const std::array<std::uint16_t, 4>& v) {
  return (std::uint32_t{v[2]} << 16) | v[3];
}

std::optional<std::vector<unsigned char>> build_block(const TDescription& d) {
  TBlockWriter w;
  bool fits = true;
  const std::size_t root = w.begin_node(u"VS_VERSION_INFO", 52, TBlockWriter::binary);
  // VS_FIXEDFILEINFO
  w.dword(0xFEEF04BD);  // dwSignature
  w.dword(0x00010000);  // dwStrucVersion
  w.dword(high_word(*d.file_version));
  w.dword(low_word(*d.file_version));
  w.dword(high_word(*d.product_version));
  w.dword(low_word(*d.product_version));
  w.dword(0x3F);  // dwFileFlagsMask: VS_FFI_FILEFLAGSMASK
  w.dword(0);     // dwFileFlags
  w.dword(0);     // dwFileOS: VOS_UNKNOWN, there is no Linux value
  w.dword(1);     // dwFileType: VFT_APP
  w.dword(0);     // dwFileSubtype
  w.dword(0);     // dwFileDateMS
  w.dword(0);     // dwFileDateLS

  if (!d.tables.empty()) {
    const std::size_t info = w.begin_node(u"StringFileInfo", 0, TBlockWriter::text);
    for (const TStringTable& table : d.tables) {
      const std::size_t table_node = w.begin_node(table.name, 0, TBlockWriter::text);
      for (const TStringEntry& entry : table.strings) {
        // Counted in characters with the NUL, as the resource compiler does.
        if (entry.value.size() >= 0xFFFF) return std::nullopt;
        const std::size_t string_node =
            w.begin_node(entry.key, static_cast<std::uint16_t>(entry.value.size() + 1), TBlockWriter::text);
        for (const char16_t c : entry.value) w.word(c);
        w.word(0);
        fits = w.end_node(string_node) && fits;
      }
      fits = w.end_node(table_node) && fits;
    }
    fits = w.end_node(info) && fits;
  }
  if (!d.translation.empty()) {
    const std::size_t info = w.begin_node(u"VarFileInfo", 0, TBlockWriter::text);
    const std::size_t var = w.begin_node(u"Translation", static_cast<std::uint16_t>(d.translation.size() * 2),
                                         TBlockWriter::binary);
    for (const std::uint16_t value : d.translation) w.word(value);
    fits = w.end_node(var) && fits;
    fits = w.end_node(info) && fits;
  }
  fits = w.end_node(root) && fits;
  if (!fits) return std::nullopt;
  return w.bytes();
}

std::string source_text(const std::vector<unsigned char>& block, const std::string& description_name) {
  std::ostringstream out;
  out << "// Generated by version_compile from " << description_name << "; edit that file instead.\n"
      << "// The version block of this executable, found in its file by the section name.\n"
      << "namespace {\n"
      << "// used and retain keep the otherwise unreferenced block through the compiler\n"
      << "// and through the linker's garbage collection.\n"
      << "#if defined(__has_attribute) && __has_attribute(retain)\n"
      << "[[gnu::section(\"" << version_section_name << "\"), gnu::used, gnu::retain, gnu::aligned(4)]]\n"
      << "#else\n"
      << "[[gnu::section(\"" << version_section_name << "\"), gnu::used, gnu::aligned(4)]]\n"
      << "#endif\n"
      << "const unsigned char version_block[" << block.size() << "] = {";
  static const char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < block.size(); ++i) {
    out << (i % 16 == 0 ? "\n    " : " ") << "0x" << hex[block[i] >> 4] << hex[block[i] & 0x0F] << ',';
  }
  out << "\n};\n}  // namespace\n";
  return out.str();
}

int usage() {
  std::cerr << "usage: version_compile [-D NAME=VALUE]... DESCRIPTION OUTPUT\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> definitions;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-D") {
      if (++i == argc) return usage();
      const std::string definition = argv[i];
      const std::size_t equals = definition.find('=');
      if (equals == std::string::npos || equals == 0) return usage();
      definitions[definition.substr(0, equals)] = definition.substr(equals + 1);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return usage();
  const std::string& input = files[0];
  const std::string& output = files[1];

  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::cerr << input << ": error: cannot open the description\n";
    return 1;
  }
  TParser parser(input, std::move(definitions));
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) parser.parse_line(line, ++number);
  if (in.bad()) {
    std::cerr << input << ": error: cannot read the description\n";
    return 1;
  }
  parser.finish();
  if (!parser.ok()) return 1;

  const std::optional<std::vector<unsigned char>> block = build_block(parser.description());
  if (!block) {
    std::cerr << input << ": error: the version block grows past its 16-bit lengths (64 KiB)\n";
    return 1;
  }

  return table_text::write_generated_file(output, source_text(*block, std::filesystem::path(input).filename().string()))
             ? 0
             : 1;
}
