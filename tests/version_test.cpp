// The version block: its layout checked node by node against what a
// VerQueryValue walk on Windows expects, the look-ups, the ten version
// strings, reading the block from executables with damaged section tables,
// the build tool's complaints and the version that reelwright-fix prints.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "avi_builder.h"
#include "platform/version_block.h"
#include "platform/version_info_strings.h"
#include "process_runner.h"

namespace {

namespace fs = std::filesystem;
using avitest::TTempDir;
using TBytes = std::vector<unsigned char>;

const std::string fix_path = REELWRIGHT_FIX_PATH;
const std::string probe_plain = REELWRIGHT_TEST_PROBE_PLAIN;
const std::string probe_german = REELWRIGHT_TEST_PROBE_GERMAN;
const std::string probe_marks = REELWRIGHT_TEST_PROBE_MARKS;
const std::string version_compile = REELWRIGHT_TEST_VERSION_COMPILE;

TBytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const TBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::uint16_t word_at(const TBytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t dword_at(const TBytes& b, std::size_t at) {
  return std::uint32_t{word_at(b, at)} | std::uint32_t{word_at(b, at + 2)} << 16;
}

TBytes block_of(const std::string& path) {
  TBytes data;
  EXPECT_TRUE(get_file_version_info(path, data)) << path;
  return data;
}

// The project version as the four numbers of VS_FIXEDFILEINFO.
std::array<unsigned, 4> project_version() {
  std::array<unsigned, 4> v{};
  EXPECT_EQ(std::sscanf(REELWRIGHT_VERSION, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]), 4);
  return v;
}

// ---------------------------------------------------------------------------
// The layout, walked strictly: every node 32-bit aligned, its key a NUL-ended
// UTF-16 string, its value after the key's padding, its children packed
// after the value's padding and ending exactly where the node ends.

struct TLayoutNode {
  std::size_t offset = 0;
  std::uint16_t length = 0;
  std::uint16_t value_length = 0;
  std::uint16_t type = 0;
  std::string key;  // ASCII keys only in these blocks
  std::size_t value_offset = 0;
  std::vector<TLayoutNode> children;
};

std::size_t align4(std::size_t n) { return (n + 3) / 4 * 4; }

TLayoutNode parse_layout(const TBytes& b, std::size_t offset, std::size_t limit) {
  TLayoutNode node;
  node.offset = offset;
  EXPECT_EQ(offset % 4, 0u) << "node at " << offset << " is not 32-bit aligned";
  node.length = word_at(b, offset);
  node.value_length = word_at(b, offset + 2);
  node.type = word_at(b, offset + 4);
  const std::size_t end = offset + node.length;
  EXPECT_LE(end, limit) << "node at " << offset << " runs past its parent";
  EXPECT_TRUE(node.type == 0 || node.type == 1) << "node at " << offset;
  std::size_t pos = offset + 6;
  while (pos + 1 < end && word_at(b, pos) != 0) {
    EXPECT_LT(word_at(b, pos), 0x80) << "non-ASCII key at " << offset;
    node.key += static_cast<char>(word_at(b, pos));
    pos += 2;
  }
  EXPECT_TRUE(pos + 1 < end) << "key of node at " << offset << " has no NUL inside the node";
  if (pos + 1 >= end) return node;
  node.value_offset = align4(pos + 2);
  const std::size_t value_end = node.value_offset + (node.type == 1 ? 2u * node.value_length : node.value_length);
  if (node.value_length > 0) {
    EXPECT_LE(value_end, end) << "value of " << node.key;
  }
  std::size_t child = align4(value_end);
  std::size_t last_end = node.value_length > 0 ? value_end : pos + 2;
  while (child < end && !::testing::Test::HasFailure()) {
    node.children.push_back(parse_layout(b, child, end));
    last_end = child + node.children.back().length;
    child = align4(last_end);
  }
  EXPECT_EQ(last_end, end) << "node " << node.key << " has bytes after its last part";
  return node;
}

std::vector<std::string> keys_of(const TLayoutNode& node) {
  std::vector<std::string> keys;
  for (const TLayoutNode& child : node.children) keys.push_back(child.key);
  return keys;
}

TEST(VersionLayout, ProgramBlockHasTheWindowsNodeTree) {
  const TBytes b = block_of(fix_path);
  ASSERT_GE(b.size(), 92u);
  const TLayoutNode root = parse_layout(b, 0, b.size());
  ASSERT_FALSE(::testing::Test::HasFailure());
  EXPECT_EQ(root.length, b.size());
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  EXPECT_EQ(root.type, 0);
  EXPECT_EQ(root.value_length, 52);
  EXPECT_EQ(root.value_offset, 40u);  // 6 + 32 bytes of key, padded
  ASSERT_EQ(keys_of(root), (std::vector<std::string>{"StringFileInfo", "VarFileInfo"}));

  const TLayoutNode& strings = root.children[0];
  EXPECT_EQ(strings.offset, 92u);  // right behind the 52-byte fixed info
  EXPECT_EQ(strings.type, 1);
  ASSERT_EQ(keys_of(strings), std::vector<std::string>{"040904E4"});
  const TLayoutNode& table = strings.children[0];
  EXPECT_EQ(keys_of(table), (std::vector<std::string>{"CompanyName", "FileDescription", "FileVersion",
                                                      "InternalName", "LegalCopyright", "LegalTrademarks",
                                                      "OriginalFilename", "ProductName", "ProductVersion",
                                                      "Comments"}));
  // Text values count characters with their NUL, empty ones too, and the
  // node ends with the value.
  for (const TLayoutNode& s : table.children) {
    SCOPED_TRACE(s.key);
    EXPECT_EQ(s.type, 1);
    ASSERT_GE(s.value_length, 1);
    EXPECT_EQ(s.offset + s.length, s.value_offset + 2u * s.value_length);
    EXPECT_EQ(word_at(b, s.value_offset + 2u * (s.value_length - 1u)), 0);
  }
  // Sizes as the resource compiler writes them for these keys.
  EXPECT_EQ(table.children[0].length, 0x4C);  // CompanyName, "Reelwright developers"

  const TLayoutNode& var = root.children[1];
  EXPECT_EQ(var.length, 0x44);
  EXPECT_EQ(var.type, 1);
  ASSERT_EQ(keys_of(var), std::vector<std::string>{"Translation"});
  const TLayoutNode& translation = var.children[0];
  EXPECT_EQ(translation.length, 0x24);
  EXPECT_EQ(translation.type, 0);
  EXPECT_EQ(translation.value_length, 4);
  EXPECT_EQ(dword_at(b, translation.value_offset), 0x04E40409u);
}

TEST(VersionLayout, FixedFileInfoCarriesTheProjectVersion) {
  const TBytes b = block_of(fix_path);
  TBytes fixed;
  ASSERT_TRUE(ver_query_value(b, "\\", fixed));
  ASSERT_EQ(fixed.size(), 52u);
  const std::array<unsigned, 4> v = project_version();
  EXPECT_EQ(dword_at(fixed, 0), 0xFEEF04BDu);   // dwSignature
  EXPECT_EQ(dword_at(fixed, 4), 0x00010000u);   // dwStrucVersion
  EXPECT_EQ(dword_at(fixed, 8), v[0] << 16 | v[1]);   // dwFileVersionMS
  EXPECT_EQ(dword_at(fixed, 12), v[2] << 16 | v[3]);  // dwFileVersionLS
  EXPECT_EQ(dword_at(fixed, 16), v[0] << 16 | v[1]);  // dwProductVersionMS
  EXPECT_EQ(dword_at(fixed, 20), v[2] << 16 | v[3]);  // dwProductVersionLS
  EXPECT_EQ(dword_at(fixed, 36), 1u);                 // dwFileType: VFT_APP
}

TEST(VersionLayout, TestBlocksAreWellFormedToo) {
  for (const std::string& probe : {probe_german, probe_marks}) {
    SCOPED_TRACE(probe);
    const TBytes b = block_of(probe);
    const TLayoutNode root = parse_layout(b, 0, b.size());
    EXPECT_EQ(root.length, b.size());
  }
  TBytes translation;
  ASSERT_TRUE(ver_query_value(block_of(probe_marks), "\\VarFileInfo\\Translation", translation));
  EXPECT_EQ(translation, (TBytes{0x09, 0x04, 0xE4, 0x04, 0x07, 0x04, 0xB0, 0x04}));
}

// ---------------------------------------------------------------------------
// VerQueryValue.

TEST(VersionQuery, FindsKeysWithOrWithoutLeadingBackslashInAnyCase) {
  const TBytes b = block_of(fix_path);
  for (const std::string query : {"\\StringFileInfo\\040904E4\\ProductName", "StringFileInfo\\040904E4\\ProductName",
                                  "\\stringfileinfo\\040904e4\\PRODUCTNAME"}) {
    std::string value;
    EXPECT_TRUE(ver_query_value(b, query, value)) << query;
    EXPECT_EQ(value, "Reelwright") << query;
  }
  std::string value = "stale";
  EXPECT_TRUE(ver_query_value(b, "\\StringFileInfo\\040904E4\\FileDescription", value));
  EXPECT_EQ(value, "") << "a present, empty string";
}

TEST(VersionQuery, MissingKeysAndBlocksAreNotFound) {
  const TBytes b = block_of(fix_path);
  for (const std::string query :
       {"\\StringFileInfo\\040904E4\\LegalTradeMark", "\\StringFileInfo\\040904E4\\Product",
        "\\StringFileInfo\\040904E4\\ProductNames", "\\StringFileInfo\\040904E4\\ProductName\\More",
        "\\StringFileInfo\\040704E4\\ProductName", "\\StringFileInfo\\ProductName", "\\ProductName",
        "\\VarFileInfo\\040904E4\\ProductName"}) {
    std::string value;
    TBytes raw;
    EXPECT_FALSE(ver_query_value(b, query, value)) << query;
    EXPECT_FALSE(ver_query_value(b, query, raw)) << query;
  }
}

TEST(VersionQuery, BinaryValuesComeOnlyAsBytes) {
  const TBytes b = block_of(fix_path);
  TBytes raw;
  ASSERT_TRUE(ver_query_value(b, "\\VarFileInfo\\Translation", raw));
  EXPECT_EQ(raw, (TBytes{0x09, 0x04, 0xE4, 0x04}));
  std::string text;
  EXPECT_FALSE(ver_query_value(b, "\\VarFileInfo\\Translation", text));
  EXPECT_FALSE(ver_query_value(b, "\\", text));
  // The bytes of a text value are its UTF-16 with the NUL.
  ASSERT_TRUE(ver_query_value(b, "\\StringFileInfo\\040904E4\\OriginalFilename", raw));
  EXPECT_EQ(raw.size(), 2 * std::string("reelwright").size() + 2);
}

TEST(VersionQuery, DataThatIsNoVersionBlockAnswersNothing) {
  std::string value;
  EXPECT_FALSE(ver_query_value(TBytes{}, "\\StringFileInfo\\040904E4\\ProductName", value));
  EXPECT_FALSE(ver_query_value(TBytes(5, 0), "\\", value));
  // A well-formed node under another root key.
  TBytes other = block_of(fix_path);
  other[6] = 'X';
  EXPECT_FALSE(ver_query_value(other, "\\StringFileInfo\\040904E4\\ProductName", value));
}

// Every key of the program's block, as raw bytes.
std::vector<std::string> all_queries() {
  std::vector<std::string> queries = {"\\", "\\StringFileInfo", "\\StringFileInfo\\040904E4", "\\VarFileInfo",
                                      "\\VarFileInfo\\Translation"};
  for (const char* key : {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                          "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments"}) {
    queries.push_back(std::string("\\StringFileInfo\\040904E4\\") + key);
  }
  return queries;
}

// A cut block is a damaged block: the root claims more than there is.
TEST(VersionQuery, TruncatedBlockAnswersNothing) {
  const TBytes full = block_of(fix_path);
  for (std::size_t size = 0; size < full.size(); ++size) {
    const TBytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    for (const std::string& query : all_queries()) {
      TBytes raw;
      ASSERT_FALSE(ver_query_value(cut, query, raw)) << query << " in " << size << " bytes";
    }
  }
}

// Lengths and types overwritten with hostile values: the walk must stay
// inside the data (checked by the sanitizers) and end. A text value found
// can never be longer than the block.
TEST(VersionQuery, DamagedLengthsStayInsideTheBlock) {
  const TBytes full = block_of(fix_path);
  for (std::size_t at = 0; at + 1 < full.size(); at += 2) {
    // Small changes make lengths that end inside a key, its padding or a value.
    std::vector<std::uint16_t> values = {0x0000, 0x0001, 0x0005, 0x0006, 0x0007, 0x7FFF, 0xFFFF};
    for (int delta = -8; delta <= 8; ++delta) {
      if (delta != 0) values.push_back(static_cast<std::uint16_t>(word_at(full, at) + delta));
    }
    for (const std::uint16_t bad : values) {
      TBytes damaged = full;
      damaged[at] = static_cast<unsigned char>(bad & 0xFF);
      damaged[at + 1] = static_cast<unsigned char>(bad >> 8);
      // An exact-size copy, so reading past the end is caught.
      damaged.shrink_to_fit();
      for (const std::string& query : all_queries()) {
        std::string text;
        TBytes raw;
        if (ver_query_value(damaged, query, text)) {
          ASSERT_LE(text.size(), 3 * damaged.size());
        }
        if (ver_query_value(damaged, query, raw)) {
          ASSERT_LE(raw.size(), damaged.size());
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The ten version strings.

std::vector<std::string> strings_of(const TVersionStrings& v) {
  std::vector<std::string> out;
  for (int i = 0; i < version_type_count; ++i) out.push_back(v.get_version_string(static_cast<TVersionType>(i)));
  return out;
}

const std::vector<std::string> all_empty(version_type_count);

TEST(VersionStrings, ProgramBlockGivesItsStrings) {
  TVersionStrings v;
  v.read_version_info(fix_path);
  // LegalTradeMark stays empty: the block has the usual LegalTrademarks.
  // OriginalFileName is found although the block spells OriginalFilename.
  EXPECT_EQ(strings_of(v), (std::vector<std::string>{"Reelwright developers", "", REELWRIGHT_VERSION, "", "", "",
                                                     "reelwright", "Reelwright", REELWRIGHT_VERSION, ""}));
  EXPECT_EQ(v.get_version_string(vtProductName), "Reelwright");
}

TEST(VersionStrings, AllEmptyWithoutAnUsableBlock) {
  const TTempDir dir;
  write_text(dir.file("text"), "not an executable\n");
  for (const std::string& path : {probe_plain, dir.file("text").string(), dir.file("missing").string(),
                                  dir.path().string(), std::string()}) {
    TVersionStrings v;
    v.read_version_info(path);
    EXPECT_EQ(strings_of(v), all_empty) << path;
  }
}

TEST(VersionStrings, StringsOfAnotherLanguageAreNotRead) {
  TVersionStrings v;
  v.read_version_info(probe_german);
  EXPECT_EQ(strings_of(v), all_empty);
  // They are there, under 040704E4.
  std::string value;
  EXPECT_TRUE(ver_query_value(block_of(probe_german), "\\StringFileInfo\\040704E4\\ProductName", value));
  EXPECT_EQ(value, "Reelwright Probe");
}

TEST(VersionStrings, KeysMatchInAnyCaseButLegalTrademarksIsNotLegalTradeMark) {
  TVersionStrings v;
  v.read_version_info(probe_marks);
  EXPECT_EQ(v.get_version_string(vtLegalTradeMark), "");
  EXPECT_EQ(v.get_version_string(vtCompanyName), "Grüße aus Köln – 東京 🎬");  // through UTF-16 and back
  EXPECT_EQ(v.get_version_string(vtFileVersion), "9.8.7.6");
  EXPECT_EQ(v.get_version_string(vtOriginalFileName), "probe-marks");
  EXPECT_EQ(v.get_version_string(vtProductName), "Probe");
  EXPECT_EQ(v.get_version_string(vtFileDescription), "");  // not in the block
  std::string value;
  EXPECT_TRUE(ver_query_value(block_of(probe_marks), "StringFileInfo\\040904E4\\LegalTrademarks", value));
  EXPECT_EQ(value, "Reelwright(TM)");
}

TEST(VersionStrings, OwnExecutablePath) {
  // This test program has no block of its own.
  EXPECT_TRUE(fs::equivalent(executable_path(), fs::path("/proc/self/exe")));
  EXPECT_EQ(get_file_version_info_size(executable_path()), 0u);
}

// ---------------------------------------------------------------------------
// Finding the section in the file.

// An ELF file in memory, to damage its headers field by field.
class TElfImage {
 public:
  explicit TElfImage(const std::string& path) : bytes_(read_bytes(path)) {}

  Elf64_Ehdr header() const { return get<Elf64_Ehdr>(0); }
  void set_header(const Elf64_Ehdr& h) { put(0, h); }

  Elf64_Shdr section(std::size_t index) const { return get<Elf64_Shdr>(section_offset(index)); }
  void set_section(std::size_t index, const Elf64_Shdr& s) { put(section_offset(index), s); }

  std::size_t find_section(const std::string& name) const {
    const Elf64_Shdr names = section(header().e_shstrndx);
    for (std::size_t i = 0; i < header().e_shnum; ++i) {
      const char* found = reinterpret_cast<const char*>(bytes_.data() + names.sh_offset + section(i).sh_name);
      if (name == found) return i;
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
  }

  TBytes& bytes() { return bytes_; }

 private:
  std::size_t section_offset(std::size_t index) const { return header().e_shoff + index * sizeof(Elf64_Shdr); }

  template <typename T>
  T get(std::size_t at) const {
    T value{};
    std::memcpy(&value, bytes_.data() + at, sizeof value);
    return value;
  }
  template <typename T>
  void put(std::size_t at, const T& value) {
    std::memcpy(bytes_.data() + at, &value, sizeof value);
  }

  TBytes bytes_;
};

TEST(VersionFile, ReadsTheBlockOfTheProgram) {
  const std::uint32_t size = get_file_version_info_size(fix_path);
  TBytes data;
  ASSERT_TRUE(get_file_version_info(fix_path, data));
  EXPECT_EQ(data.size(), size);
  EXPECT_EQ(word_at(data, 0), size) << "the section is exactly the block";
}

TEST(VersionFile, NoBlockMeansSizeZero) {
  const TTempDir dir;
  write_text(dir.file("empty"), "");
  write_text(dir.file("text"), std::string(4096, 'x'));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);  // must not block
  TElfImage elf32(fix_path);
  elf32.bytes()[EI_CLASS] = ELFCLASS32;
  write_bytes(dir.file("elf32"), elf32.bytes());
  TElfImage big_endian(fix_path);
  big_endian.bytes()[EI_DATA] = ELFDATA2MSB;
  write_bytes(dir.file("big_endian"), big_endian.bytes());

  for (const fs::path& path : {fs::path(probe_plain), dir.file("empty"), dir.file("text"), dir.file("fifo"),
                               dir.file("elf32"), dir.file("big_endian"), dir.file("missing"), dir.path()}) {
    EXPECT_EQ(get_file_version_info_size(path.string()), 0u) << path;
    TBytes data{1, 2, 3};
    EXPECT_FALSE(get_file_version_info(path.string(), data)) << path;
    EXPECT_TRUE(data.empty()) << path;
  }
}

struct TDamage {
  const char* label;
  std::function<void(TElfImage&)> apply;
};

void PrintTo(const TDamage& d, std::ostream* os) { *os << d.label; }

class VersionFileDamage : public ::testing::TestWithParam<TDamage> {};

// Each damage to the headers must read as "no block", never as a crash or a
// read outside the file.
TEST_P(VersionFileDamage, ReadsAsNoBlock) {
  TElfImage image(fix_path);
  GetParam().apply(image);
  const TTempDir dir;
  const fs::path path = dir.file("damaged");
  write_bytes(path, image.bytes());
  EXPECT_EQ(get_file_version_info_size(path.string()), 0u);
  TBytes data;
  EXPECT_FALSE(get_file_version_info(path.string(), data));
}

std::size_t version_index(const TElfImage& image) { return image.find_section(version_section_name); }

template <typename F>
std::function<void(TElfImage&)> header_change(F change) {
  return [change](TElfImage& image) {
    Elf64_Ehdr h = image.header();
    change(h, image.bytes().size());
    image.set_header(h);
  };
}

template <typename F>
std::function<void(TElfImage&)> version_section_change(F change) {
  return [change](TElfImage& image) {
    const std::size_t index = version_index(image);
    Elf64_Shdr s = image.section(index);
    change(s, image.bytes().size());
    image.set_section(index, s);
  };
}

template <typename F>
std::function<void(TElfImage&)> names_section_change(F change) {
  return [change](TElfImage& image) {
    const std::size_t index = image.header().e_shstrndx;
    Elf64_Shdr s = image.section(index);
    change(s, image.bytes().size());
    image.set_section(index, s);
  };
}

std::function<void(TElfImage&)> cut_to(std::function<std::size_t(const TElfImage&)> size) {
  return [size](TElfImage& image) { image.bytes().resize(size(image)); };
}

std::size_t table_end(const TElfImage& image) {
  return image.header().e_shoff + image.header().e_shnum * sizeof(Elf64_Shdr);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, VersionFileDamage,
    ::testing::Values(
        TDamage{"cut_inside_elf_header", cut_to([](const TElfImage&) { return sizeof(Elf64_Ehdr) - 1; })},
        TDamage{"cut_before_section_table", cut_to([](const TElfImage& i) { return i.header().e_shoff; })},
        TDamage{"cut_inside_first_section_header",
                cut_to([](const TElfImage& i) { return i.header().e_shoff + sizeof(Elf64_Shdr) - 1; })},
        TDamage{"cut_inside_last_section_header", cut_to([](const TElfImage& i) { return table_end(i) - 1; })},
        TDamage{"no_section_table", header_change([](Elf64_Ehdr& h, std::size_t) { h.e_shoff = 0; })},
        TDamage{"table_offset_past_end",
                header_change([](Elf64_Ehdr& h, std::size_t size) { h.e_shoff = size + 8; })},
        TDamage{"table_offset_wraps_around",
                header_change([](Elf64_Ehdr& h, std::size_t) { h.e_shoff = UINT64_MAX - 31; })},
        TDamage{"table_longer_than_file", header_change([](Elf64_Ehdr& h, std::size_t) { h.e_shnum = 0xFEFF; })},
        TDamage{"wrong_header_entry_size",
                header_change([](Elf64_Ehdr& h, std::size_t) { h.e_shentsize = sizeof(Elf64_Shdr) - 8; })},
        TDamage{"name_table_index_out_of_range",
                header_change([](Elf64_Ehdr& h, std::size_t) { h.e_shstrndx = h.e_shnum; })},
        TDamage{"name_table_past_end",
                names_section_change([](Elf64_Shdr& s, std::size_t size) { s.sh_offset = size; })},
        TDamage{"name_table_longer_than_file",
                names_section_change([](Elf64_Shdr& s, std::size_t size) { s.sh_size = size; })},
        TDamage{"section_name_past_name_table",
                version_section_change([](Elf64_Shdr& s, std::size_t) { s.sh_name = 0x7FFFFFFF; })},
        TDamage{"section_offset_past_end",
                version_section_change([](Elf64_Shdr& s, std::size_t size) { s.sh_offset = size + 1; })},
        TDamage{"section_runs_past_end",
                version_section_change([](Elf64_Shdr& s, std::size_t size) { s.sh_offset = size - s.sh_size / 2; })},
        TDamage{"section_offset_wraps_around",
                version_section_change([](Elf64_Shdr& s, std::size_t) { s.sh_offset = UINT64_MAX - 15; })},
        TDamage{"section_size_huge",
                version_section_change([](Elf64_Shdr& s, std::size_t) { s.sh_size = std::uint64_t{1} << 40; })},
        TDamage{"section_larger_than_any_block",
                version_section_change([](Elf64_Shdr& s, std::size_t) { s.sh_size = 0x10000; s.sh_offset = 0; })},
        TDamage{"section_empty", version_section_change([](Elf64_Shdr& s, std::size_t) { s.sh_size = 0; })},
        TDamage{"section_without_file_bytes",
                version_section_change([](Elf64_Shdr& s, std::size_t) { s.sh_type = SHT_NOBITS; })}),
    [](const ::testing::TestParamInfo<TDamage>& p) { return std::string(p.param.label); });

// The section table of a file with very many sections keeps its count and
// the name table's index in the first section header.
TEST(VersionFile, ExtendedSectionNumbering) {
  TElfImage image(fix_path);
  Elf64_Ehdr h = image.header();
  Elf64_Shdr first = image.section(0);
  first.sh_size = h.e_shnum;
  first.sh_link = h.e_shstrndx;
  image.set_section(0, first);
  h.e_shnum = 0;
  h.e_shstrndx = SHN_XINDEX;
  image.set_header(h);
  const TTempDir dir;
  write_bytes(dir.file("extended"), image.bytes());
  EXPECT_EQ(block_of(dir.file("extended").string()), block_of(fix_path));
}

// Packages strip their executables; the section must survive that.
TEST(VersionFile, StrippedExecutableKeepsTheBlock) {
  const std::string strip = REELWRIGHT_TEST_STRIP;
  if (strip.empty()) GTEST_SKIP() << "no strip program";
  const TTempDir dir;
  const fs::path copy = dir.file("stripped");
  fs::copy_file(fix_path, copy);
  const avitest::TProcessResult r = avitest::run_process({strip, "--strip-all", copy.string()});
  ASSERT_EQ(r.exit.code, 0) << r.err;
  ASSERT_LT(fs::file_size(copy), fs::file_size(fix_path));
  EXPECT_EQ(block_of(copy.string()), block_of(fix_path));
}

// ---------------------------------------------------------------------------
// reelwright-fix --version.

TEST(VersionCli, PrintsTheFileVersionOfItsOwnBlock) {
  const avitest::TProcessResult r = avitest::run_process({fix_path, "--version"});
  EXPECT_EQ(r.exit.code, 0);
  EXPECT_EQ(r.out, "reelwright-fix (Reelwright) " REELWRIGHT_VERSION "\n");
}

TEST(VersionCli, PrintsNoVersionWithoutTheBlock) {
  TElfImage image(fix_path);
  // Renaming the section hides the block without moving a byte.
  const Elf64_Shdr names = image.section(image.header().e_shstrndx);
  const std::size_t name_at = names.sh_offset + image.section(version_index(image)).sh_name;
  image.bytes()[name_at + 1] = 'X';
  const TTempDir dir;
  const fs::path copy = dir.file("reelwright-fix");
  write_bytes(copy, image.bytes());
  fs::permissions(copy, fs::perms::owner_exec, fs::perm_options::add);
  ASSERT_EQ(get_file_version_info_size(copy.string()), 0u);
  const avitest::TProcessResult r = avitest::run_process({copy.string(), "--version"});
  EXPECT_EQ(r.exit.code, 0);
  EXPECT_EQ(r.out, "reelwright-fix (Reelwright) \n");
}

// ---------------------------------------------------------------------------
// The build tool refuses a faulty description, naming the line, and writes
// nothing, so the build stops instead of embedding a wrong block.

struct TBadDescription {
  const char* label;
  std::string text;
  std::string complaint;  // expected in the error output, with FILE:LINE
};

void PrintTo(const TBadDescription& d, std::ostream* os) { *os << d.label; }

class VersionCompileRejects : public ::testing::TestWithParam<TBadDescription> {};

const std::string good_head = "FILEVERSION = 1.2.3.4\nPRODUCTVERSION = 1.2.3.4\n";

TEST_P(VersionCompileRejects, FaultyDescription) {
  const TTempDir dir;
  const fs::path description = dir.file("d.txt");
  const fs::path output = dir.file("block.cpp");
  write_text(description, GetParam().text);
  const avitest::TProcessResult r =
      avitest::run_process({version_compile, "-D", "PROJECT_VERSION=2.1.6.0", description.string(), output.string()});
  EXPECT_EQ(r.exit.code, 1);
  EXPECT_NE(r.err.find(description.string() + GetParam().complaint), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(output));
  EXPECT_FALSE(fs::exists(output.string() + ".tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, VersionCompileRejects,
    ::testing::Values(
        TBadDescription{"version_not_a_number", "FILEVERSION = 2.1.x\nPRODUCTVERSION = 1\n", ":1: error: '2.1.x'"},
        TBadDescription{"version_five_parts", "FILEVERSION = 1\nPRODUCTVERSION = 1.2.3.4.5\n", ":2: error:"},
        TBadDescription{"version_part_too_large", "FILEVERSION = 1.65536\nPRODUCTVERSION = 1\n", ":1: error:"},
        TBadDescription{"version_missing", "PRODUCTVERSION = 1\n", ": error: FILEVERSION is missing"},
        TBadDescription{"undefined_placeholder", good_head + "[040904E4]\nFileVersion = @PROJECT_VERSON@\n",
                        ":4: error: @PROJECT_VERSON@ is not defined"},
        TBadDescription{"unknown_fixed_key", good_head + "FILEFLAGS = 1\n", ":3: error: unknown key 'FILEFLAGS'"},
        TBadDescription{"translation_not_in_pairs", good_head + "TRANSLATION = 0x0409\n", ":3: error:"},
        TBadDescription{"translation_too_large", good_head + "TRANSLATION = 0x10409 1252\n", ":3: error:"},
        TBadDescription{"table_name_short", good_head + "[0409]\n", ":3: error: table '0409'"},
        TBadDescription{"table_twice", good_head + "[040904E4]\n[040904e4]\n", ":4: error: table 040904e4 appears twice"},
        TBadDescription{"key_twice_in_other_case", good_head + "[040904E4]\nProductName = a\nPRODUCTNAME = b\n",
                        ":5: error: key 'PRODUCTNAME' is already in this table (line 4)"},
        TBadDescription{"key_with_backslash", good_head + "[040904E4]\nProduct\\Name = a\n", ":4: error:"},
        TBadDescription{"line_without_equals", good_head + "[040904E4]\nProductName Reelwright\n",
                        ":4: error: expected KEY = VALUE"},
        TBadDescription{"value_not_utf8", good_head + "[040904E4]\nCompanyName = K\xF6ln\n",
                        ":4: error: the value is not valid UTF-8"},
        TBadDescription{"block_too_large", good_head + "[040904E4]\nComments = " + std::string(40000, 'x') + "\n",
                        ": error: the version block grows past"}),
    [](const ::testing::TestParamInfo<TBadDescription>& p) { return std::string(p.param.label); });

}  // namespace
