// Reading the bitstreams in chunks' data: start codes and fields of bits,
// for the key-frame tests and for reading what a stream's data say of it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

inline constexpr std::string_view start_code("\0\0\1", 3);

// The first occurrence of `code` (3 or 4 bytes) at or after `from` whose bytes
// and `after` more bytes all lie in [0, n).
[[nodiscard]] inline std::optional<std::size_t> find_code(const unsigned char* d, std::size_t n, std::size_t from,
                                                          std::string_view code, std::size_t after) {
  const std::size_t need = code.size() + after;
  for (std::size_t i = from; i + need <= n; ++i) {
    if (std::equal(code.begin(), code.end(), d + i,
                   [](char c, unsigned char b) { return static_cast<unsigned char>(c) == b; })) {
      return i;
    }
  }
  return std::nullopt;
}

// Reads bits from the most significant one on; empty from the first read
// past the data on.
class TBitReader {
 public:
  TBitReader(const unsigned char* d, std::size_t n, std::size_t from) : d_(d), end_(n * 8), pos_(from * 8) {}

  std::optional<std::uint32_t> read(int count) {
    if (pos_ + static_cast<std::size_t>(count) > end_) {
      pos_ = end_ + 1;
      return std::nullopt;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++pos_) value = (value << 1) | ((d_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
    return value;
  }
  bool skip(int count) { return read(count).has_value(); }

  // Exp-Golomb codes (H.264): empty past the data or above 32 bits.
  std::optional<std::uint32_t> ue() {
    int zeros = 0;
    std::optional<std::uint32_t> bit;
    while ((bit = read(1)) && *bit == 0) {
      if (++zeros > 31) return std::nullopt;
    }
    if (!bit) return std::nullopt;
    const auto rest = read(zeros);
    if (!rest) return std::nullopt;
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *rest);
  }
  std::optional<std::int32_t> se() {
    const auto v = ue();
    if (!v) return std::nullopt;
    const auto half = static_cast<std::int32_t>((*v + 1) / 2);
    return (*v & 1u) ? half : -half;
  }

 private:
  const unsigned char* d_;
  std::size_t end_;
  std::size_t pos_;
};
