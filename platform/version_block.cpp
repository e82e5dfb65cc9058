// The version block: found through the ELF64 section headers, read with
// pread, walked node by node the way VerQueryValue does. Every size and offset
// read from the file is checked before use; a damaged file reads as one
// without a block.
#include "platform/version_block.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

// wLength is 16 bits, so no sound block is larger.
constexpr std::uint64_t max_block_size = 0xFFFF;

class TFile {
 public:
  explicit TFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
  ~TFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // The size of a regular file; nullopt for anything else. A FIFO or device
  // could block or never end.
  [[nodiscard]] std::optional<std::uint64_t> regular_size() const {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
  }

  // Exactly `size` bytes at `offset`, or false.
  bool read_at(std::uint64_t offset, void* buffer, std::size_t size) const {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
      const ssize_t got = ::pread(fd_, out, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      out += got;
      size -= static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
    }
    return true;
  }

 private:
  int fd_;
};

struct TSpan {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

bool inside(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size) {
  return offset <= file_size && size <= file_size - offset;
}

// The file bytes of the version section, after checking that the ELF header,
// the section table, the section name table and the section itself all lie
// inside the file.
std::optional<TSpan> find_version_section(const TFile& file) {
  const std::optional<std::uint64_t> file_size = file.regular_size();
  if (!file_size) return std::nullopt;

  Elf64_Ehdr header{};
  if (*file_size < sizeof header || !file.read_at(0, &header, sizeof header)) return std::nullopt;
  constexpr unsigned char native_data = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != native_data || header.e_ident[EI_VERSION] != EV_CURRENT) {
    return std::nullopt;
  }
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr)) return std::nullopt;

  const auto section_header = [&](std::uint64_t index, Elf64_Shdr& out) {
    // index is below the count, which was checked against the file size, so
    // this cannot overflow.
    return file.read_at(header.e_shoff + index * sizeof(Elf64_Shdr), &out, sizeof out);
  };
  if (!inside(header.e_shoff, sizeof(Elf64_Shdr), *file_size)) return std::nullopt;
  Elf64_Shdr first{};
  if (!section_header(0, first)) return std::nullopt;
  // With very many sections, the count and the name table's index move into
  // the first section header.
  const std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
  const std::uint64_t names_index = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
  if (count == 0 || count > (*file_size - header.e_shoff) / sizeof(Elf64_Shdr)) return std::nullopt;
  if (names_index == SHN_UNDEF || names_index >= count) return std::nullopt;

  Elf64_Shdr names{};
  if (!section_header(names_index, names) || names.sh_type == SHT_NOBITS ||
      !inside(names.sh_offset, names.sh_size, *file_size)) {
    return std::nullopt;
  }

  const std::string_view wanted(version_section_name);
  char name[16]{};
  static_assert(sizeof name > std::char_traits<char>::length(version_section_name));
  for (std::uint64_t i = 1; i < count; ++i) {
    Elf64_Shdr section{};
    if (!section_header(i, section)) return std::nullopt;
    // The name with its NUL must lie inside the name table.
    if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < wanted.size() + 1) continue;
    if (!file.read_at(names.sh_offset + section.sh_name, name, wanted.size() + 1)) return std::nullopt;
    if (std::string_view(name, wanted.size()) != wanted || name[wanted.size()] != '\0') continue;

    if (section.sh_type == SHT_NOBITS || section.sh_size == 0 || section.sh_size > max_block_size ||
        !inside(section.sh_offset, section.sh_size, *file_size)) {
      return std::nullopt;
    }
    return TSpan{section.sh_offset, section.sh_size};
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The node walk.

constexpr std::size_t node_header_size = 6;  // wLength, wValueLength, wType
constexpr std::uint16_t text_node = 1;

std::size_t align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

std::uint16_t word_at(const std::vector<unsigned char>& data, std::size_t offset) {
  return static_cast<std::uint16_t>(data[offset] | (data[offset + 1] << 8));
}

struct TNode {
  std::size_t end = 0;  // one past the node's last byte
  std::uint16_t type = 0;
  std::u16string key;
  std::size_t value_begin = 0;
  std::size_t value_end = 0;
  std::size_t children_begin = 0;
};

// The node at `begin`, which must end by `limit`; nullopt when its lengths
// do not fit.
std::optional<TNode> read_node(const std::vector<unsigned char>& data, std::size_t begin, std::size_t limit) {
  if (begin > limit || limit - begin < node_header_size) return std::nullopt;
  const std::uint16_t length = word_at(data, begin);
  if (length < node_header_size || length > limit - begin) return std::nullopt;

  TNode node;
  node.end = begin + length;
  const std::uint16_t value_length = word_at(data, begin + 2);
  node.type = word_at(data, begin + 4);

  std::size_t pos = begin + node_header_size;
  for (;;) {
    if (node.end - pos < 2) return std::nullopt;  // the key runs past the node
    const std::uint16_t unit = word_at(data, pos);
    pos += 2;
    if (unit == 0) break;
    node.key += static_cast<char16_t>(unit);
  }
  // A text value is counted in characters, a binary one in bytes. Some
  // producers count text in bytes; clamping to the node keeps such a value
  // readable up to its NUL.
  const std::size_t value_bytes = node.type == text_node ? std::size_t{value_length} * 2 : value_length;
  node.value_begin = std::min(align4(pos), node.end);
  node.value_end = node.value_begin + std::min(value_bytes, node.end - node.value_begin);
  node.children_begin = std::min(align4(node.value_end), node.end);
  return node;
}

char16_t fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Keys compare without regard to ASCII case, as Windows does.
bool key_matches(const std::u16string& key, std::string_view wanted) {
  if (key.size() != wanted.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (fold(key[i]) != fold(static_cast<char16_t>(static_cast<unsigned char>(wanted[i])))) return false;
  }
  return true;
}

// Follows the backslash-separated keys of `sub_block` from the root.
std::optional<TNode> find_node(const std::vector<unsigned char>& data, std::string_view sub_block) {
  std::optional<TNode> node = read_node(data, 0, data.size());
  if (!node || !key_matches(node->key, "VS_VERSION_INFO")) return std::nullopt;
  while (!sub_block.empty()) {
    const std::size_t slash = sub_block.find('\\');
    const std::string_view wanted = sub_block.substr(0, slash);
    sub_block = slash == std::string_view::npos ? std::string_view{} : sub_block.substr(slash + 1);
    if (wanted.empty()) continue;  // a leading or doubled backslash

    std::optional<TNode> found;
    std::size_t child = node->children_begin;
    while (child < node->end) {
      std::optional<TNode> candidate = read_node(data, child, node->end);
      if (!candidate) return std::nullopt;
      if (key_matches(candidate->key, wanted)) {
        found = std::move(candidate);
        break;
      }
      child = align4(candidate->end);
    }
    if (!found) return std::nullopt;
    node = std::move(found);
  }
  return node;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16LE up to the first NUL or the end; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(const std::vector<unsigned char>& data, std::size_t begin, std::size_t end) {
  std::string out;
  std::size_t pos = begin;
  while (end - pos >= 2) {
    std::uint32_t unit = word_at(data, pos);
    pos += 2;
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && end - pos >= 2) {
      const std::uint16_t next = word_at(data, pos);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        pos += 2;
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    append_utf8(out, unit);
  }
  return out;
}

}  // namespace

std::uint32_t get_file_version_info_size(const std::string& path) {
  const TFile file(path);
  const std::optional<TSpan> section = find_version_section(file);
  return section ? static_cast<std::uint32_t>(section->size) : 0;
}

bool get_file_version_info(const std::string& path, std::vector<unsigned char>& data) {
  data.clear();
  const TFile file(path);
  const std::optional<TSpan> section = find_version_section(file);
  if (!section) return false;
  data.resize(static_cast<std::size_t>(section->size));
  if (!file.read_at(section->offset, data.data(), data.size())) {
    data.clear();
    return false;
  }
  return true;
}

bool ver_query_value(const std::vector<unsigned char>& data, const std::string& sub_block,
                     std::string& value) {
  const std::optional<TNode> node = find_node(data, sub_block);
  if (!node || node->type != text_node) return false;
  value = utf16_to_utf8(data, node->value_begin, node->value_end);
  return true;
}

bool ver_query_value(const std::vector<unsigned char>& data, const std::string& sub_block,
                     std::vector<unsigned char>& value) {
  const std::optional<TNode> node = find_node(data, sub_block);
  if (!node) return false;
  const auto first = data.begin() + static_cast<std::ptrdiff_t>(node->value_begin);
  value.assign(first, first + static_cast<std::ptrdiff_t>(node->value_end - node->value_begin));
  return true;
}

std::string executable_path() {
  std::vector<char> path(256);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    // readlink truncates silently; a full buffer may mean a longer path.
    if (static_cast<std::size_t>(length) < path.size()) return std::string(path.data(), static_cast<std::size_t>(length));
    if (path.size() >= 65536) return {};
    path.resize(path.size() * 2);
  }
}
