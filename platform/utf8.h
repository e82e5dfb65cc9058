// Decoding UTF-8 one code point at a time, strictly: overlong forms,
// surrogates and code points past U+10FFFF are invalid. Header-only, so the
// build's host tools share it with the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct TCodePoint {
  std::uint32_t code = 0;
  std::size_t length = 0;  // bytes taken; 0 when no valid sequence starts here
};

[[nodiscard]] inline TCodePoint decode_utf8_at(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t extra = 0;
  std::uint32_t code = 0;
  std::uint32_t minimum = 0;
  if (lead < 0x80) return {lead, 1};
  if ((lead & 0xE0u) == 0xC0u) {
    extra = 1;
    code = lead & 0x1Fu;
    minimum = 0x80;
  } else if ((lead & 0xF0u) == 0xE0u) {
    extra = 2;
    code = lead & 0x0Fu;
    minimum = 0x800;
  } else if ((lead & 0xF8u) == 0xF0u) {
    extra = 3;
    code = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return {};
  }
  if (s.size() - i <= extra) return {};
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0u) != 0x80u) return {};
    code = (code << 6) | (next & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, extra + 1};
}

[[nodiscard]] inline bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const TCodePoint c = decode_utf8_at(s, i);
    if (c.length == 0) return false;
    i += c.length;
  }
  return true;
}
