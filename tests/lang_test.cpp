// Language modules, the message catalogue and the string-table compiler.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lang.h"
#include "avi_builder.h"
#include "platform/lang_module.h"

namespace {

namespace fs = std::filesystem;

const std::string english_path = REELWRIGHT_TEST_LANG_EN;
const std::string german_path = REELWRIGHT_TEST_LANG_DE;
const std::string test_module_path = REELWRIGHT_TEST_LANG_TEST;
const std::string not_a_module_path = REELWRIGHT_TEST_NOT_A_MODULE;

// The 300-byte text of the test table, id 1.
std::string long_text() {
  std::string text;
  for (int i = 0; i < 30; ++i) text += "0123456789";
  return text;
}

// Raw lookup with a generous buffer, so texts arrive uncut.
std::string raw_string(TModuleHandle module, std::uint32_t id, int* size = nullptr) {
  std::array<char, 1024> buffer{};
  const int copied = load_string(module, id, buffer.data(), static_cast<int>(buffer.size()));
  if (size != nullptr) *size = copied;
  return std::string(buffer.data());
}

TModuleHandle load_or_fail(const std::string& path) {
  TModuleHandle module = load_library(path);
  EXPECT_NE(module, nullptr) << path << ": " << dlerror();
  return module;
}

// The globals of the catalogue are process-wide; each test leaves them as found.
class LangTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_module_ = lang_module;
    saved_base_ = lang_base;
  }
  void TearDown() override {
    lang_module = saved_module_;
    lang_base = saved_base_;
  }

 private:
  TModuleHandle saved_module_ = nullptr;
  std::uint32_t saved_base_ = 0;
};

using avitest::TWorkingFolder;

class TTempFolder {
 public:
  TTempFolder() {
    std::string name = (fs::temp_directory_path() / "lang_test.XXXXXX").string();
    if (mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~TTempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------- loading

TEST_F(LangTest, LoadsModuleByExplicitPath) {
  TModuleHandle module = load_or_fail(english_path);
  EXPECT_EQ(raw_string(module, 10007), "Repaired");
}

TEST_F(LangTest, MissingModuleGivesNullAndEveryMessageEmpty) {
  EXPECT_EQ(load_library("/nonexistent/folder/lang.so"), nullptr);
  EXPECT_EQ(load_library("no_such_language_module.so"), nullptr);
  EXPECT_EQ(load_library(""), nullptr);

  std::array<char, 8> buffer{};
  buffer.fill('x');
  EXPECT_EQ(load_string(nullptr, 10007, buffer.data(), static_cast<int>(buffer.size())), 0);
  EXPECT_EQ(buffer[0], '\0');

  lang_module = nullptr;
  lang_base = 10000;
  for (std::uint32_t k = 0; k < 200; ++k) EXPECT_EQ(message(k), "") << "message " << k;
}

TEST_F(LangTest, LibraryWithoutEntryPointIsRejectedAndClosed) {
  EXPECT_EQ(load_library(not_a_module_path), nullptr);
  // Rejected modules must not stay mapped.
  EXPECT_EQ(dlopen(not_a_module_path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

  // The rejection is about the entry point: the file itself is a loadable library.
  void* plain = dlopen(not_a_module_path.c_str(), RTLD_NOW);
  ASSERT_NE(plain, nullptr) << dlerror();
  EXPECT_NE(dlsym(plain, "reelwright_unrelated_function"), nullptr);
  dlclose(plain);
}

TEST_F(LangTest, BareNameIsFoundBesideTheExecutable) {
  const std::string folder = executable_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_EQ(folder.back(), '/');
  ASSERT_EQ(fs::path(folder), fs::path(english_path).parent_path() / "")
      << "the test must run beside the language modules";

  TModuleHandle by_name = load_library(lang_module_file_name);
  ASSERT_NE(by_name, nullptr);
  EXPECT_EQ(by_name, load_library(english_path));
}

TEST_F(LangTest, BareNameIsNotLookedUpInTheWorkingFolder) {
  const fs::path test_folder = fs::path(test_module_path).parent_path();
  const TWorkingFolder in(test_folder);
  EXPECT_EQ(load_library(fs::path(test_module_path).filename().string()), nullptr);
}

TEST_F(LangTest, NameWithSlashIsLoadedAsGiven) {
  {
    const TWorkingFolder in(fs::path(test_module_path).parent_path());
    TModuleHandle module = load_library("./" + fs::path(test_module_path).filename().string());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(raw_string(module, 0), "lowest");
  }
  // lang.so lies beside the executable, but a path is not searched for.
  const TTempFolder empty;
  ASSERT_FALSE(empty.path().empty());
  const TWorkingFolder in(empty.path());
  EXPECT_EQ(load_library(std::string("./") + lang_module_file_name), nullptr);
}

// ---------------------------------------------------------------- load_string

TEST_F(LangTest, LoadStringCopiesLikeLoadStringA) {
  TModuleHandle module = load_or_fail(test_module_path);
  const std::string text = long_text();

  int size = 0;
  EXPECT_EQ(raw_string(module, 1, &size), text);
  EXPECT_EQ(size, 300);

  std::array<char, 256> buffer{};
  EXPECT_EQ(load_string(module, 1, buffer.data(), 256), 255);
  EXPECT_EQ(std::string(buffer.data()), text.substr(0, 255));

  EXPECT_EQ(load_string(module, 1, buffer.data(), 4), 3);
  EXPECT_EQ(std::string(buffer.data()), "012");

  buffer.fill('x');
  EXPECT_EQ(load_string(module, 1, buffer.data(), 1), 0);
  EXPECT_EQ(buffer[0], '\0');

  buffer.fill('x');
  EXPECT_EQ(load_string(module, 1, buffer.data(), 0), 0);
  EXPECT_EQ(buffer[0], 'x') << "a zero-sized buffer must not be written";
  EXPECT_EQ(load_string(module, 1, nullptr, 16), 0);
}

TEST_F(LangTest, EmptyAndAbsentStringsBothGiveZero) {
  TModuleHandle module = load_or_fail(test_module_path);
  for (const std::uint32_t id : {2u, 7u, 10007u, 4294967294u}) {
    std::array<char, 16> buffer{};
    buffer.fill('x');
    EXPECT_EQ(load_string(module, id, buffer.data(), static_cast<int>(buffer.size())), 0) << id;
    EXPECT_EQ(buffer[0], '\0') << id;
  }
}

TEST_F(LangTest, TextsArriveByteForByte) {
  TModuleHandle module = load_or_fail(test_module_path);
  EXPECT_EQ(raw_string(module, 3), "  spaced out  ");
  EXPECT_EQ(raw_string(module, 4),
            "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 Gr\xC3\xB6\xC3\x9F" "e 12 \xE2\x9C\x93");
  EXPECT_EQ(raw_string(module, 5), "\\ \"quoted\" # kept ?\?= tab\t1\n2nd A\xFF");
  EXPECT_EQ(raw_string(module, 6), "inner   blanks   stay");
  EXPECT_EQ(raw_string(module, 0), "lowest");
  EXPECT_EQ(raw_string(module, 4294967295u), "highest");
}

// ---------------------------------------------------------------- catalogue

TEST_F(LangTest, CatalogueStartsEmpty) {
  EXPECT_EQ(lang_module, nullptr);
  EXPECT_EQ(lang_base, 0u);
}

TEST_F(LangTest, InitCatalogueLoadsTheModuleBesideTheExecutable) {
  lang_base = 0;
  lang_module = nullptr;
  ASSERT_TRUE(init_catalogue());
  EXPECT_EQ(lang_base, 10000u);
  EXPECT_EQ(lang_module, load_library(english_path));
  EXPECT_EQ(message(7), "Repaired");
}

TEST(Locale, LanguageOfTheLocaleVariables) {
  struct TCase {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* language;
  };
  const TCase cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", "de"}, {"", "", "de", "de"},
      {nullptr, "fr_FR", "de_DE", "fr"},       {"pt_BR.UTF-8@x", "de", "de", "pt"},
      {"C", nullptr, "de_DE.UTF-8", ""},       {nullptr, nullptr, "C.UTF-8", ""},
      {nullptr, nullptr, "POSIX", ""},         {nullptr, nullptr, nullptr, ""},
      {nullptr, nullptr, "../../tmp/x", ""},   {nullptr, nullptr, "English", ""},
      {nullptr, nullptr, "de@euro", "de"},     {nullptr, nullptr, "ast_ES", "ast"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(locale_language(c.lc_all, c.lc_messages, c.lang), c.language)
        << (c.lc_all ? c.lc_all : "-") << " " << (c.lc_messages ? c.lc_messages : "-") << " "
        << (c.lang ? c.lang : "-");
  }
  EXPECT_EQ(lang_module_file_for("de"), "lang.de.so");
}

TEST_F(LangTest, LoadLangStringCutsAt255Bytes) {
  TModuleHandle module = load_or_fail(test_module_path);
  std::string text;
  load_lang_string(module, 1, text);
  EXPECT_EQ(text, long_text().substr(0, 255));
  load_lang_string(module, 4, text);
  EXPECT_EQ(text, raw_string(module, 4));
}

TEST_F(LangTest, LoadLangStringGivesEmptyForEmptyAbsentAndNoModule) {
  TModuleHandle module = load_or_fail(test_module_path);
  std::string empty = "stale";
  std::string absent = "stale";
  std::string no_module = "stale";
  load_lang_string(module, 2, empty);
  load_lang_string(module, 99, absent);
  load_lang_string(nullptr, 1, no_module);
  EXPECT_EQ(empty, "");
  EXPECT_EQ(absent, "");
  EXPECT_EQ(no_module, "");
}

TEST_F(LangTest, MessageAddsTheBase) {
  lang_module = load_or_fail(test_module_path);
  lang_base = 0;
  EXPECT_EQ(message(3), "  spaced out  ");
  lang_base = 1;
  EXPECT_EQ(message(2), "  spaced out  ");
  EXPECT_EQ(message(5), "inner   blanks   stay");
}

TEST_F(LangTest, GermanModuleHasItsOwnTexts) {
  TModuleHandle english = load_or_fail(english_path);
  TModuleHandle german = load_or_fail(german_path);
  ASSERT_NE(english, german);
  EXPECT_EQ(raw_string(german, 10007), "Repariert");
  EXPECT_NE(raw_string(german, 10007), raw_string(english, 10007));
  EXPECT_EQ(raw_string(german, 10065), "\xC3\x9C" "ber");
}

TEST_F(LangTest, MessagesAreLookedUpAtEveryCall) {
  TModuleHandle english = load_or_fail(english_path);
  TModuleHandle german = load_or_fail(german_path);
  lang_base = 10000;
  lang_module = english;
  EXPECT_EQ(message(7), "Repaired");
  lang_module = german;
  EXPECT_EQ(message(7), "Repariert");
  lang_module = english;
  EXPECT_EQ(message(7), "Repaired");
  lang_module = nullptr;
  EXPECT_EQ(message(7), "");
}

// ---------------------------------------------------------------- the tables

struct TListedMessage {
  std::uint32_t k = 0;
  // The text is glued to what follows ("message + path"), so it must end in a separator.
  bool needs_trailing_separator = false;
};

// The rows of the table in messages.md: | k | where | how the line is built |
std::vector<TListedMessage> listed_messages() {
  std::ifstream in(REELWRIGHT_TEST_MESSAGES_MD);
  std::vector<TListedMessage> listed;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream row(line);
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell);
    if (cells.size() < 4 || !cells[0].empty()) continue;
    const std::size_t start = cells[1].find_first_not_of(' ');
    if (start == std::string::npos || cells[1][start] < '0' || cells[1][start] > '9') continue;
    const std::string k = cells[1].substr(start);
    TListedMessage message_row;
    message_row.k = static_cast<std::uint32_t>(std::stoul(k));
    const std::string& how = cells[3];
    const std::size_t glued = how.find("message + ");
    message_row.needs_trailing_separator =
        glued != std::string::npos && how[glued + 10] != '"';
    listed.push_back(message_row);
  }
  return listed;
}

TEST_F(LangTest, EveryListedMessageHasAFittingTextInEveryLanguage) {
  const std::vector<TListedMessage> listed = listed_messages();
  ASSERT_GE(listed.size(), 50u) << "messages.md was not read";
  for (const std::string& path : {english_path, german_path}) {
    TModuleHandle module = load_or_fail(path);
    for (const TListedMessage& row : listed) {
      int size = 0;
      const std::string text = raw_string(module, 10000 + row.k, &size);
      SCOPED_TRACE(path + ", message " + std::to_string(row.k) + ": \"" + text + "\"");
      ASSERT_FALSE(text.empty());
      EXPECT_LE(size, 255) << "would be cut short";
      // Call sites put the blank in front themselves.
      EXPECT_NE(text.front(), ' ');
      if (row.needs_trailing_separator) {
        EXPECT_TRUE(text.back() == ' ' || text.back() == '\n');
      } else {
        EXPECT_NE(text.back(), ' ');
      }
    }
  }
}

// ---------------------------------------------------------------- lang_compile

struct TCompileResult {
  int exit_code = -1;
  std::string output;  // stdout and stderr
  bool source_written = false;
  std::string source;
};

TCompileResult compile_table(const fs::path& folder, const std::string& table,
                             bool with_stale_output = false, const std::string& options = "") {
  const fs::path table_path = folder / "table.txt";
  const fs::path source_path = folder / "module.cpp";
  std::ofstream(table_path, std::ios::binary) << table;
  if (with_stale_output) std::ofstream(source_path) << "stale";

  const std::string command = std::string("'") + REELWRIGHT_TEST_LANG_COMPILE + "' " + options + " '" +
                              table_path.string() + "' '" + source_path.string() + "' 2>&1";
  TCompileResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 512> chunk{};
  while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr) {
    result.output += chunk.data();
  }
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.source_written = fs::exists(source_path);
  if (result.source_written) {
    std::ifstream in(source_path, std::ios::binary);
    result.source.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return result;
}

TEST(LangCompile, AcceptsCommentsBlankLinesByteOrderMarkAndCrlf) {
  const TTempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const TCompileResult result = compile_table(
      folder.path(), "\xEF\xBB\xBF# comment\r\n10007 Text\r\n\r\n  # indented\r\n10008\r\n");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  ASSERT_TRUE(result.source_written);
  EXPECT_NE(result.source.find("reelwright_load_string"), std::string::npos);
  EXPECT_NE(result.source.find("\"Text\""), std::string::npos) << "CR kept in the text";
}

TEST(LangCompile, RejectsBadLinesWithFileAndLine) {
  struct TCase {
    const char* table;
    int line;
  };
  const TCase cases[] = {
      {"# fine\nabc Text\n", 2},
      {"-5 Negative\n", 1},
      {"10007Repaired\n", 1},
      {"4294967296 One too many\n", 1},
      {"99999999999999999999999 Far too many\n", 1},
      {"10007 One\n10008 Two\n10007 Three\n", 3},
      {"10007 Unknown \\q escape\n", 1},
      {"10007 Half \\x4\n", 1},
      {"10007 Nul \\x00 inside\n", 1},
      {"10007 Ends in a backslash \\\n", 1},
      {"10007 Latin-1 Gr\xFC\xDF" "e\n", 1},
      {"10007 Overlong \xC0\xAF\n", 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.table);
    const TTempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const TCompileResult result = compile_table(folder.path(), c.table, true);
    EXPECT_NE(result.exit_code, 0);
    const std::string where = (folder.path() / "table.txt").string() + ":" +
                              std::to_string(c.line) + ": error:";
    EXPECT_NE(result.output.find(where), std::string::npos) << result.output;
    EXPECT_FALSE(result.source_written) << "a stale source would be built into the module";
  }
}

TEST(LangCompile, DuplicateNamesTheFirstLine) {
  const TTempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const TCompileResult result = compile_table(folder.path(), "\n10007 One\n10007 Two\n");
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.output.find(":3: error: duplicate identifier 10007 (first on line 2)"),
            std::string::npos)
      << result.output;
}

TEST(LangCompile, ReportsEveryBadLine) {
  const TTempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const TCompileResult result = compile_table(folder.path(), "x\n10007 Fine\ny\n");
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.output.find("table.txt:1: error:"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("table.txt:3: error:"), std::string::npos) << result.output;
}

// The program's names come from the English table: a name never reaches the
// text, and the names header gives message numbers relative to the base.
TEST(LangCompile, MessageNames) {
  struct TCase {
    const char* table;
    const char* options;
    bool ok;
    const char* expected;  // in the output on success, in the messages on failure
  };
  const TCase cases[] = {
      {"10007 msg_done  Done.\n", "", true, "\"Done.\""},
      {"10007 msg_done\n", "", true, "{10007u, \"\", 0}"},
      {"10007 msg_done  Done.\n10110 msg_other  x\n", "--names 10000", true,
       "inline constexpr std::uint32_t msg_done = 7;\ninline constexpr std::uint32_t msg_other = 110;\n"},
      {"10007 msg_done  Done.\n10008 Unnamed\n", "--names 10000", false, ":2: error: identifier 10008 has no msg_ name"},
      {"10007 msg_done  One\n10008 msg_done  Two\n", "", false, ":2: error: duplicate name msg_done (first on line 1)"},
      {"10007 msg_do-ne Text\n", "", false, ":1: error: the name 'msg_do-...' must be followed by a blank"},
      {"9999 msg_low  Text\n", "--names 10000", false, ":1: error: identifier 9999 is below 10000"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.table);
    const TTempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const TCompileResult result = compile_table(folder.path(), c.table, true, c.options);
    EXPECT_EQ(result.exit_code == 0, c.ok) << result.output;
    EXPECT_EQ(result.source_written, c.ok);
    const std::string& where = c.ok ? result.source : result.output;
    EXPECT_NE(where.find(c.expected), std::string::npos) << where;
    EXPECT_EQ(result.source.find("msg_done  "), std::string::npos) << "the name reached the text";
  }
}

TEST(LangCompile, MissingTableFails) {
  const TTempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string command = std::string("'") + REELWRIGHT_TEST_LANG_COMPILE + "' '" +
                              (folder.path() / "absent.txt").string() + "' '" +
                              (folder.path() / "out.cpp").string() + "' 2>/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(folder.path() / "out.cpp"));
}

}  // namespace
