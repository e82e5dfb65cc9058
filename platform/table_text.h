// Small text helpers shared by the build's table compilers. Header-only, as
// utf8.h: the compilers are host tools that link nothing of the program.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>

namespace table_text {

[[nodiscard]] inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

[[nodiscard]] inline std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Letters, '_', and digits after the first character: a C++ identifier.
[[nodiscard]] inline bool is_name_char(char c, bool first) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (!first && c >= '0' && c <= '9');
}

[[nodiscard]] inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A line as read: without the CR of a CRLF ending, and on the first line
// without the byte-order mark some editors start UTF-8 files with.
[[nodiscard]] inline std::string_view clean_line(std::string_view line, std::size_t number) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  return line;
}

// Writes `text` beside `output` and renames it there, so a failed run never
// leaves a half file that the build would take as up to date. Failures are
// reported on standard error; true when the file is in place.
[[nodiscard]] inline bool write_generated_file(const std::filesystem::path& output, const std::string& text) {
  std::filesystem::path temporary = output;
  temporary += ".tmp";
  std::error_code ignored;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      std::cerr << output.string() << ": error: cannot write\n";
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code renamed;
  std::filesystem::rename(temporary, output, renamed);
  if (renamed) {
    std::cerr << output.string() << ": error: " << renamed.message() << '\n';
    std::filesystem::remove(temporary, ignored);
    return false;
  }
  return true;
}

}  // namespace table_text
