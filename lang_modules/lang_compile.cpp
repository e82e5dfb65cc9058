// Build tool: turns a string table into the C++ source of a language module,
// or into the header of the program's names for its messages.
//
//   lang_compile TABLE OUTPUT
//   lang_compile --names BASE TABLE OUTPUT
//
// A table is UTF-8 text, one string per line: a decimal identifier, one or
// more blanks, then the text up to the end of the line. Between the two may
// stand the message's name in the program, a word starting with "msg_" and
// followed by blanks; translations leave it out. With --names every string
// needs a name, and the header defines each as its identifier - BASE, the
// message number the program asks for. Blank lines and lines
// whose first non-blank character is '#' are comments. Blanks around the text
// are dropped; escapes keep what a plain line cannot hold:
//   \s space   \t tab   \n line break   \\ backslash   \xHH any byte but 00
// An identifier alone on a line gives an empty string. The texts are copied
// byte for byte; nothing is converted.
//
// Every faulty line is reported as FILE:LINE: error: ..., and no output is
// written, so a broken table stops the build.
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

namespace {

using table_text::hex_value;
using table_text::is_blank;
using table_text::is_name_char;

constexpr std::string_view name_prefix = "msg_";

struct TString {
  std::string text;
  std::string name;
  std::size_t line = 0;
};

// Resolves the escapes of one text; an empty result string means success.
std::string decode_text(std::string_view raw, std::string& text) {
  text.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      text += raw[i];
      continue;
    }
    if (i + 1 == raw.size()) return "a backslash ends the line (write \\\\ for a backslash)";
    const char kind = raw[++i];
    switch (kind) {
      case '\\': text += '\\'; break;
      case 's': text += ' '; break;
      case 't': text += '\t'; break;
      case 'n': text += '\n'; break;
      case 'x': {
        const int high = i + 1 < raw.size() ? hex_value(raw[i + 1]) : -1;
        const int low = i + 2 < raw.size() ? hex_value(raw[i + 2]) : -1;
        if (high < 0 || low < 0) return "\\x needs two hexadecimal digits";
        const int value = high * 16 + low;
        // The program reads texts as C strings; a NUL would cut the text short.
        if (value == 0) return "\\x00 is not allowed";
        text += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return std::string("unknown escape \\") + kind +
               " (known: \\s \\t \\n \\\\ \\xHH)";
    }
  }
  return {};
}

class TTable {
 public:
  explicit TTable(std::string file_name) : file_name_(std::move(file_name)) {}

  void parse_line(std::string_view line, std::size_t number) {
    line = table_text::clean_line(line, number);

    std::size_t pos = 0;
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    if (pos == line.size() || line[pos] == '#') return;

    const std::size_t id_start = pos;
    std::uint64_t id = 0;
    bool too_large = false;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
      id = id * 10 + static_cast<std::uint64_t>(line[pos] - '0');
      if (id > UINT32_MAX) {
        too_large = true;
        id = UINT32_MAX + std::uint64_t{1};  // keeps long digit runs from overflowing
      }
      ++pos;
    }
    if (pos == id_start) {
      error(number, "a line must start with a numeric identifier (or '#' for a comment)");
      return;
    }
    if (pos < line.size() && !is_blank(line[pos])) {
      error(number, "the identifier '" + std::string(line.substr(id_start, pos - id_start + 1)) +
                        "...' must be followed by a blank");
      return;
    }
    if (too_large) {
      error(number, "identifier " + std::string(line.substr(id_start, pos - id_start)) +
                        " is out of range (0 to 4294967295)");
      return;
    }

    while (pos < line.size() && is_blank(line[pos])) ++pos;
    std::string name;
    if (line.substr(pos, name_prefix.size()) == name_prefix) {
      std::size_t end = pos;
      while (end < line.size() && is_name_char(line[end], end == pos)) ++end;
      if (end < line.size() && !is_blank(line[end])) {
        error(number, "the name '" + std::string(line.substr(pos, end - pos + 1)) +
                          "...' must be followed by a blank");
        return;
      }
      name = line.substr(pos, end - pos);
      pos = end;
      while (pos < line.size() && is_blank(line[pos])) ++pos;
    }
    std::string_view raw = line.substr(pos);
    while (!raw.empty() && is_blank(raw.back())) raw.remove_suffix(1);
    // Catches tables saved in a legacy code page: their umlauts would show as
    // garbage at run time, long after the translator has moved on.
    if (!is_valid_utf8(raw)) {
      error(number, "the text is not valid UTF-8; save the table as UTF-8");
      return;
    }
    std::string text;
    if (const std::string problem = decode_text(raw, text); !problem.empty()) {
      error(number, problem);
      return;
    }

    const auto key = static_cast<std::uint32_t>(id);
    if (!name.empty()) {
      const auto [named, fresh] = names_.try_emplace(name, number);
      if (!fresh) {
        error(number, "duplicate name " + name + " (first on line " + std::to_string(named->second) + ")");
        return;
      }
    }
    const auto [it, inserted] = strings_.try_emplace(key, TString{std::move(text), std::move(name), number});
    if (!inserted) {
      error(number, "duplicate identifier " + std::to_string(key) + " (first on line " +
                        std::to_string(it->second.line) + ")");
    }
  }

  // The names header needs a name for every string, each at least `base`.
  void require_names(std::uint32_t base) {
    for (const auto& [id, entry] : strings_) {
      if (entry.name.empty()) error(entry.line, "identifier " + std::to_string(id) + " has no msg_ name");
      if (id < base) error(entry.line, "identifier " + std::to_string(id) + " is below " + std::to_string(base));
    }
  }

  [[nodiscard]] bool ok() const { return errors_ == 0; }
  [[nodiscard]] const std::map<std::uint32_t, TString>& strings() const { return strings_; }

 private:
  void error(std::size_t line, const std::string& text) {
    std::cerr << file_name_ << ':' << line << ": error: " << text << '\n';
    ++errors_;
  }

  std::string file_name_;
  std::map<std::uint32_t, TString> strings_;
  std::map<std::string, std::size_t> names_;
  std::size_t errors_ = 0;
};

// A C++ string literal holding exactly these bytes. Octal escapes always have
// three digits, so a digit after them cannot be taken into the escape.
std::string literal(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || c == '?') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned>(byte));
      out += octal;
    }
  }
  out += '"';
  return out;
}

std::string module_source(const std::string& table_name,
                          const std::map<std::uint32_t, TString>& strings) {
  std::ostringstream out;
  out << "// Generated by lang_compile from " << table_name << "; edit the table instead.\n"
      << "#include <algorithm>\n"
         "#include <array>\n"
         "#include <cstdint>\n"
         "#include <cstring>\n"
         "\n"
         "namespace {\n"
         "\n"
         "struct TString {\n"
         "  std::uint32_t id;\n"
         "  const char* text;\n"
         "  int size;\n"
         "};\n"
         "\n"
         "// Sorted by id.\n"
      << "const std::array<TString, " << strings.size() << "> strings{{\n";
  for (const auto& [id, entry] : strings) {
    out << "    {" << id << "u, " << literal(entry.text) << ", " << entry.text.size() << "},\n";
  }
  out << "}};\n"
         "\n"
         "}  // namespace\n"
         "\n"
         "extern \"C\" __attribute__((visibility(\"default\"))) int reelwright_load_string(\n"
         "    std::uint32_t id, char* buffer, int buffer_size) {\n"
         "  if (buffer == nullptr || buffer_size < 1) return 0;\n"
         "  buffer[0] = '\\0';\n"
         "  const auto it = std::lower_bound(strings.begin(), strings.end(), id,\n"
         "      [](const TString& s, std::uint32_t key) { return s.id < key; });\n"
         "  if (it == strings.end() || it->id != id) return 0;\n"
         "  const int size = std::min(it->size, buffer_size - 1);\n"
         "  std::memcpy(buffer, it->text, static_cast<std::size_t>(size));\n"
         "  buffer[size] = '\\0';\n"
         "  return size;\n"
         "}\n";
  return out.str();
}

std::string names_header(const std::string& table_name, std::uint32_t base,
                         const std::map<std::uint32_t, TString>& strings) {
  std::ostringstream out;
  out << "// Generated by lang_compile from " << table_name << "; edit the table instead.\n"
      << "// The program's names for its messages: message k is the string " << base << " + k\n"
      << "// of the language module.\n"
         "#pragma once\n"
         "\n"
         "#include <cstdint>\n"
         "\n";
  for (const auto& [id, entry] : strings) {
    out << "inline constexpr std::uint32_t " << entry.name << " = " << id - base << ";\n";
  }
  return out.str();
}

int usage() {
  std::cerr << "usage: lang_compile TABLE OUTPUT\n"
               "       lang_compile --names BASE TABLE OUTPUT\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<std::uint32_t> names_base;
  if (args.size() == 4 && args[0] == "--names") {
    const std::string& base = args[1];
    if (base.empty() || base.size() > 9 || base.find_first_not_of("0123456789") != std::string::npos) return usage();
    names_base = static_cast<std::uint32_t>(std::stoul(base));
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 2) return usage();
  const std::string table_name = args[0];
  const std::filesystem::path output = args[1];

  std::ifstream in(table_name, std::ios::binary);
  if (!in) {
    std::cerr << table_name << ": error: cannot open the string table\n";
    return 1;
  }
  TTable table(table_name);
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    table.parse_line(line, number);
  }
  if (in.bad()) {
    std::cerr << table_name << ": error: read error\n";
    return 1;
  }
  if (names_base) table.require_names(*names_base);
  if (!table.ok()) {
    // No stale output may survive to be compiled.
    std::error_code ignored;
    std::filesystem::remove(output, ignored);
    return 1;
  }
  const std::string name = std::filesystem::path(table_name).filename().string();
  const std::string text =
      names_base ? names_header(name, *names_base, table.strings()) : module_source(name, table.strings());
  return table_text::write_generated_file(output, text) ? 0 : 1;
}
