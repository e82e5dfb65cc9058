// The reelwright-fix tool, run as a child process: arguments and exit
// statuses, its text and JSON reports against what the engine reports for
// the same file, awkward file names, the progress line, interruption, a
// missing language module and a file-size limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/lang.h"
#include "avi_builder.h"
#include "process_runner.h"
#include "cli/cli_unit.h"
#include "engine/algorithm_unit.h"
#include "engine/avi_structs.h"
#include "engine/reporting.h"
#include "platform/message_ids.h"

namespace fs = std::filesystem;
using namespace avitest;
using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------------------
// Running the tool

using TResult = TProcessResult;

std::string as_text(const TBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Whatever a non-blocking fd has ready now.
void read_ready(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    into.append(buffer, static_cast<std::size_t>(n));
  }
}

// A pseudo-terminal for the child's standard error: the tool draws its
// progress line only on a terminal.
class TPseudoTerminal final {
 public:
  TPseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("no pty");
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("cannot open the pty's terminal side");
    termios modes{};
    ::tcgetattr(slave_, &modes);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // the bytes as written
    ::tcsetattr(slave_, TCSANOW, &modes);
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
    ::ioctl(slave_, TIOCSWINSZ, &size);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~TPseudoTerminal() {
    close_slave();
    ::close(master_);
  }
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  [[nodiscard]] int master() const { return master_; }
  [[nodiscard]] int slave() const { return slave_; }
  // Holds (or releases) everything written to the terminal, like ^S/^Q.
  void hold_output(bool hold) const { ASSERT_EQ(::tcflow(slave_, hold ? TCOOFF : TCOON), 0); }
  void close_slave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
  }
  // After the child ended: what is still on its way from the terminal side.
  void read_rest(std::string& into) {
    close_slave();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        return;  // EIO: the terminal side is closed and drained
      }
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
};

// One run of the tool; standard output (and error, unless a terminal is
// given) go to files, so nothing blocks however much the tool writes.
class TToolRun final {
 public:
  explicit TToolRun(const TLaunch& l) {
    const int out = l.stdout_fd >= 0 ? l.stdout_fd
                                     : ::open(capture_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = l.stderr_fd >= 0 ? l.stderr_fd
                                     : ::open(capture_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = launch(l, out, err);
    if (l.stdout_fd < 0) ::close(out);
    if (l.stderr_fd < 0) ::close(err);
    out_captured_ = l.stdout_fd < 0;
  }
  ~TToolRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TToolRun(const TToolRun&) = delete;
  TToolRun& operator=(const TToolRun&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }

  // Waits for the end (reading the terminal meanwhile, if there is one).
  TResult finish(TPseudoTerminal* tty = nullptr) {
    TResult result;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        result.exit.exited = WIFEXITED(status);
        result.exit.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the tool did not end in time";
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        break;
      }
      if (tty != nullptr) {
        pollfd p{tty->master(), POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) read_ready(tty->master(), result.err);
      } else {
        std::this_thread::sleep_for(2ms);
      }
    }
    if (tty != nullptr) {
      tty->read_rest(result.err);
    } else {
      result.err = as_text(read_file(capture_.file("err")));
    }
    if (out_captured_) result.out = as_text(read_file(capture_.file("out")));
    return result;
  }

 private:
  TTempDir capture_;
  pid_t pid_ = -1;
  bool out_captured_ = true;
};

// ---------------------------------------------------------------------------
// Reading the JSON document

struct TJson {
  enum class TType { null, boolean, number, string, array, object };
  TType type = TType::null;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's value, as UTF-8
  std::vector<TJson> items;
  std::vector<std::pair<std::string, TJson>> members;

  [[nodiscard]] bool is_null() const { return type == TType::null; }
  [[nodiscard]] const TJson& operator[](std::size_t i) const { return items.at(i); }
  [[nodiscard]] const TJson& operator[](const std::string& key) const {
    for (const auto& [name, value] : members) {
      if (name == key) return value;
    }
    throw std::out_of_range("no member " + key);
  }
  [[nodiscard]] std::vector<std::string> keys() const {
    std::vector<std::string> names;
    for (const auto& member : members) names.push_back(member.first);
    return names;
  }
};

// A strict reader of one JSON text (RFC 8259): anything else throws.
class TJsonReader final {
 public:
  explicit TJsonReader(std::string_view text) : s_(text) {}

  TJson document() {
    TJson v = value();
    skip_space();
    if (i_ != s_.size()) fail("bytes after the document");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error(why + " at byte " + std::to_string(i_));
  }
  void skip_space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool take(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  void expect(char c) {
    skip_space();
    if (i_ >= s_.size() || s_[i_] != c) fail(std::string("expected '") + c + "'");
    ++i_;
  }
  // After a member or item: true past a comma, false before the closing bracket.
  bool next_item() {
    skip_space();
    if (i_ < s_.size() && s_[i_] == ',') {
      ++i_;
      return true;
    }
    return false;
  }
  [[nodiscard]] bool digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

  TJson value() {
    skip_space();
    if (i_ >= s_.size()) fail("missing value");
    TJson v;
    const char c = s_[i_];
    if (c == '{') {
      v.type = TJson::TType::object;
      ++i_;
      skip_space();
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        return v;
      }
      for (;;) {
        std::string key = string();
        for (const auto& member : v.members) {
          if (member.first == key) fail("duplicate key " + key);
        }
        expect(':');
        v.members.emplace_back(std::move(key), value());
        if (!next_item()) break;
      }
      expect('}');
    } else if (c == '[') {
      v.type = TJson::TType::array;
      ++i_;
      skip_space();
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        return v;
      }
      for (;;) {
        v.items.push_back(value());
        if (!next_item()) break;
      }
      expect(']');
    } else if (c == '"') {
      v.type = TJson::TType::string;
      v.text = string();
    } else if (take("null")) {
      v.type = TJson::TType::null;
    } else if (take("true")) {
      v.type = TJson::TType::boolean;
      v.boolean = true;
    } else if (take("false")) {
      v.type = TJson::TType::boolean;
    } else {
      v.type = TJson::TType::number;
      const std::size_t start = i_;
      if (s_[i_] == '-') ++i_;
      if (!digit()) fail("bad number");
      if (s_[i_] == '0') {
        ++i_;
      } else {
        while (digit()) ++i_;
      }
      if (i_ < s_.size() && s_[i_] == '.') {
        ++i_;
        if (!digit()) fail("bad fraction");
        while (digit()) ++i_;
      }
      if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
        ++i_;
        if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
        if (!digit()) fail("bad exponent");
        while (digit()) ++i_;
      }
      v.number = std::stod(std::string(s_.substr(start, i_ - start)));
    }
    return v;
  }

  unsigned hex4() {
    if (s_.size() - i_ < 4) fail("short \\u escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      v <<= 4;
      if (h >= '0' && h <= '9') {
        v |= static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        v |= static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        v |= static_cast<unsigned>(h - 'A' + 10);
      } else {
        fail("bad hex digit");
      }
    }
    return v;
  }

  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string string() {
    skip_space();
    if (i_ >= s_.size() || s_[i_] != '"') fail("expected a string");
    ++i_;
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) fail("unterminated string");
      const char c = s_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("raw control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) fail("unterminated escape");
      const char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xDC00 && cp <= 0xDFFF) fail("lone low surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!take("\\u")) fail("lone high surrogate");
            const unsigned low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          fail("bad escape");
      }
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// True when `text` is well-formed UTF-8, by the C library's own decoder.
bool valid_utf8(const std::string& text) {
  const iconv_t cd = ::iconv_open("UTF-32LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string in = text;
  std::vector<char> out(4 * text.size() + 8);
  char* in_p = in.data();
  std::size_t in_left = in.size();
  char* out_p = out.data();
  std::size_t out_left = out.size();
  const std::size_t r = ::iconv(cd, &in_p, &in_left, &out_p, &out_left);
  ::iconv_close(cd);
  return r != static_cast<std::size_t>(-1) && in_left == 0;
}

// The tool's standard output as its one JSON document; a failure when it is not.
std::optional<TJson> json_document(const std::string& out) {
  if (!valid_utf8(out)) {
    ADD_FAILURE() << "standard output is not UTF-8:\n" << out;
    return std::nullopt;
  }
  try {
    return TJsonReader(out).document();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "standard output is not one JSON document (" << e.what() << "):\n" << out;
    return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// What the engine itself reports: the oracle for both report formats

struct TLogEntry {
  std::uint8_t kind = mk_plain;
  std::string text;
  bool operator==(const TLogEntry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TLogEntry& e) {
  return os << "{" << static_cast<int>(e.kind) << ", \"" << e.text << "\"}";
}

class TRecordingSink final : public TReportSink {
 public:
  void out_text(const std::string& text, std::uint8_t kind, bool) override { log.push_back({kind, text}); }
  [[nodiscard]] int progress_position() const override { return position_; }
  void set_progress_position(int position) override { position_ = position; }
  void pump_events() override {}

  std::vector<TLogEntry> log;

 private:
  int position_ = 0;
};

TModuleHandle english_module() {
  static const TModuleHandle module = load_library(REELWRIGHT_TEST_LANG_EN);
  return module;
}

struct TEngineRun {
  int result = fix_not_repaired;
  std::vector<TLogEntry> log;
};

// The engine run in this process on `path`, the same string the tool is given
// (the lines quote it). stopped: Stop pressed before the repair started.
TEngineRun engine_run(const std::string& path, bool in_place, bool stopped = false, bool with_catalogue = true) {
  lang_base = 10000;
  lang_module = with_catalogue ? english_module() : nullptr;
  TRecordingSink sink;
  set_report_sink(&sink);
  if (stopped) stop_flag.store(1);
  TEngineRun run;
  run.result = fix_file(path, in_place ? 0 : 1);
  stop_flag.store(0);
  set_report_sink(nullptr);
  run.log = sink.log;
  return run;
}

char marker_of(std::uint8_t kind) {
  switch (kind) {
    case mk_information: return 'I';
    case mk_warning: return 'W';
    case mk_error: return 'E';
    default: return ' ';
  }
}

// The tool's standard output in text mode for these engine lines.
std::string text_report(const std::vector<TLogEntry>& log) {
  std::string out;
  for (const TLogEntry& e : log) out += std::string(1, marker_of(e.kind)) + " " + e.text + "\n";
  return out;
}

std::vector<TLogEntry> log_of(const TJson& file) {
  std::vector<TLogEntry> log;
  for (const TJson& item : file["log"].items) {
    EXPECT_EQ(item.keys(), (std::vector<std::string>{"kind", "text"}));
    EXPECT_EQ(item["kind"].type, TJson::TType::number);
    EXPECT_EQ(item["text"].type, TJson::TType::string);
    log.push_back({static_cast<std::uint8_t>(item["kind"].number), item["text"].text});
  }
  return log;
}

// The members of a file entry, in order, and their types.
void expect_file_entry_shape(const TJson& file) {
  // The log comes before the fields known only when the file is done.
  EXPECT_EQ(file.keys(), (std::vector<std::string>{"path", "log", "result", "output"}));
  EXPECT_EQ(file["path"].type, TJson::TType::string);
  EXPECT_EQ(file["log"].type, TJson::TType::array);
  EXPECT_TRUE(file["output"].is_null() || file["output"].type == TJson::TType::string);
}

// The summary follows the files when there were more than one.
const TJson& files_of(const TJson& doc) {
  const std::vector<std::string> keys = doc.keys();
  EXPECT_TRUE(keys == std::vector<std::string>{"files"} || keys == (std::vector<std::string>{"files", "summary"}))
      << ::testing::PrintToString(keys);
  for (const TJson& file : doc["files"].items) expect_file_entry_shape(file);
  return doc["files"];
}

// The one file entry of a run's JSON document (kept alive in `doc`), or
// null after a failure when there is no document or not exactly one entry.
const TJson* single_file_entry(const std::string& out, std::optional<TJson>& doc) {
  doc = json_document(out);
  if (!doc) {
    ADD_FAILURE() << "no JSON document:\n" << out;
    return nullptr;
  }
  const TJson& files = files_of(*doc);
  if (files.items.size() != 1u) {
    ADD_FAILURE() << "expected one file entry, got " << files.items.size();
    return nullptr;
  }
  return &files.items[0];
}

// A text report of more than one file split into the files' lines and the
// summary's five lines, "Total time" left out.
std::pair<std::string, std::string> split_summary(const std::string& out) {
  std::size_t at = out.size();
  for (int i = 0; i < 6 && at > 0 && at != std::string::npos; ++i) at = out.rfind('\n', at - 1);
  at = at == std::string::npos ? 0 : at + 1;
  const std::string summary = out.substr(at);
  const std::size_t time = summary.find("   Total time: ");
  EXPECT_NE(time, std::string::npos) << out;
  return {out.substr(0, at), summary.substr(0, time)};
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// ---------------------------------------------------------------------------
// Files

TBytes clean_avi(int frames = 12) {
  TAviBuilder b;
  for (int i = 0; i < frames; ++i) {
    b.video(static_cast<std::size_t>(300 + 7 * i), i % 4 == 0);
    b.audio(static_cast<std::size_t>(101 + i));
  }
  return b.build().bytes;
}

// Garbage between frames and no index: error and plain lines, still repaired.
TBytes damaged_avi() {
  TAviBuilder b;
  b.video(300, true).audio(101).video(307).audio(102).raw(filled(50, 0xEE)).video(280, true).audio(103);
  b.video(90).audio(104).with_index(false);
  return b.build().bytes;
}

TBytes opendml_cut_in_riff_header() {
  TAviBuilder b = TAviBuilder().opendml();
  b.video(700, true).audio(201).video(701).audio(202).extent().video(702, true).audio(203);
  const TAvi avi = b.build();
  return TBytes(avi.bytes.begin(), avi.bytes.begin() + static_cast<std::ptrdiff_t>(avi.riff_pos[0] + 10));
}

TBytes not_an_avi() {
  const std::string text(4000, 'x');
  return TBytes(text.begin(), text.end());
}

// About `size` bytes of 64 KiB frames.
TBytes big_avi(std::size_t size) {
  TAviBuilder b;
  const std::size_t frames = size / (65536 + 4096);
  for (std::size_t i = 0; i < frames; ++i) b.video(65536, i % 25 == 0).audio(4096);
  return b.build().bytes;
}

std::vector<std::string> mode_args(bool in_place, bool json, const std::vector<std::string>& files) {
  std::vector<std::string> args;
  if (in_place) args.emplace_back("--in-place");
  if (json) args.emplace_back("--json");
  args.insert(args.end(), files.begin(), files.end());
  return args;
}

// Sets the working folder for a scope (relative names in the engine's lines).
class TWorkingFolder final {
 public:
  explicit TWorkingFolder(const fs::path& folder) : saved_(fs::current_path()) { fs::current_path(folder); }
  ~TWorkingFolder() { fs::current_path(saved_); }
  TWorkingFolder(const TWorkingFolder&) = delete;
  TWorkingFolder& operator=(const TWorkingFolder&) = delete;

 private:
  fs::path saved_;
};

class CliTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // The engine's temporary index goes to the child's TMPDIR; nothing may stay.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(child_tmp_.path())) left.push_back(entry.path().filename());
    EXPECT_TRUE(left.empty()) << "left in TMPDIR: " << ::testing::PrintToString(left);
  }

  TLaunch launch_with(std::vector<std::string> args) const {
    TLaunch l;
    l.argv = {REELWRIGHT_FIX_PATH};
    l.argv.insert(l.argv.end(), args.begin(), args.end());
    l.tmpdir = child_tmp_.path();
    return l;
  }
  TResult run(std::vector<std::string> args) const { return TToolRun(launch_with(std::move(args))).finish(); }

  [[nodiscard]] fs::path put(const std::string& name, const TBytes& bytes) const {
    write_file(work_.file(name), bytes);
    return work_.file(name);
  }
  // The file back as it was, and no output of an earlier run beside it.
  static void restore(const fs::path& path, const TBytes& bytes) {
    write_file(path, bytes);
    fs::remove(fixed_name(path.string()));
  }

  TTempDir work_;
  TTempDir child_tmp_;
};

// ---------------------------------------------------------------------------
// Arguments and exit statuses

struct TUsageCase {
  std::string label;
  std::vector<std::string> args;
  int code = 0;
  std::string out_has;               // empty: nothing on stdout
  std::vector<std::string> err_has;  // empty: nothing on stderr
};

void PrintTo(const TUsageCase& c, std::ostream* os) { *os << c.label; }

class CliUsage : public CliTest, public ::testing::WithParamInterface<TUsageCase> {};

TEST_P(CliUsage, ExitStatusAndMessages) {
  const TUsageCase& c = GetParam();
  const TResult r = run(c.args);
  EXPECT_TRUE(r.exit.exited);
  EXPECT_EQ(r.exit.code, c.code);
  if (c.out_has.empty()) {
    EXPECT_EQ(r.out, "");
  } else {
    EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
  }
  if (c.err_has.empty()) {
    EXPECT_EQ(r.err, "");
  }
  for (const std::string& part : c.err_has) EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
}

const std::string usage_line = "Usage: reelwright-fix [--in-place | -o DIR] [-r [-L]] [--json] [-j N] [--] FILE...";

INSTANTIATE_TEST_SUITE_P(
    Cases, CliUsage,
    ::testing::Values(
        TUsageCase{"Help", {"--help"}, exit_all_repaired, usage_line, {}},
        // Help wins and no file is touched (a missing one would be reported).
        TUsageCase{"HelpAfterAFile", {"missing.avi", "--help"}, exit_all_repaired, usage_line, {}},
        TUsageCase{"UnknownOption", {"--x"}, exit_usage, "", {"reelwright-fix: unknown option '--x'", "--help"}},
        TUsageCase{"UnknownShortOption", {"-x", "a.avi"}, exit_usage, "", {"unknown option '-x'", "--help"}},
        TUsageCase{"UnknownOptionAfterAFile",
                   {"missing.avi", "--bogus"},
                   exit_usage,
                   "",
                   {"reelwright-fix: unknown option '--bogus'"}},
        TUsageCase{"DashNameWithoutSeparator", {"-clip.avi"}, exit_usage, "", {"unknown option '-clip.avi'"}},
        TUsageCase{"NoArguments", {}, exit_usage, "", {"reelwright-fix: ", "--help"}},
        TUsageCase{"OptionsButNoFile", {"--json", "--in-place"}, exit_usage, "", {"reelwright-fix: ", "--help"}},
        // A script asking for JSON gets none for a usage error: the status tells.
        TUsageCase{"UsageErrorWithJson", {"--json", "--bogus", "a.avi"}, exit_usage, "",
                   {"reelwright-fix: unknown option '--bogus'\n"}},
        TUsageCase{"HelpSaysAUsageErrorHasNoJson",
                   {"--help"},
                   exit_all_repaired,
                   "a usage error\n              prints no JSON, only its message on standard error\n",
                   {}},
        // An argument is as free as a file name: no escape sequence reaches the terminal.
        TUsageCase{"ControlsInAnUnknownOption", {"--x\x1B[2J"}, exit_usage, "", {"unknown option '--x\\x1B[2J'"}},
        TUsageCase{"SeparatorButNoFile", {"--"}, exit_usage, "", {"reelwright-fix: "}},
        TUsageCase{"CheckAndStripTogether",
                   {"--check", "--strip-index", "a.avi"},
                   exit_usage,
                   "",
                   {"--check and --strip-index exclude each other"}},
        TUsageCase{"InPlaceCheck", {"--in-place", "--check", "a.avi"}, exit_usage, "", {"--in-place applies to repairs only"}},
        TUsageCase{"FolderWithoutRecursive", {"."}, exit_usage, "", {"'.' is a folder; add -r"}},
        TUsageCase{"OutputDirInPlace",
                   {"-o", "out", "--in-place", "a.avi"},
                   exit_usage,
                   "",
                   {"--output-dir and --in-place exclude each other"}},
        TUsageCase{"OutputDirCheck", {"--check", "--output-dir=out", "a.avi"}, exit_usage, "",
                   {"--output-dir applies to repairs only"}},
        // The borrowed header goes into a new file, never into the source.
        TUsageCase{"ReferenceInPlace", {"--reference", "good.avi", "--in-place", "a.avi"}, exit_usage, "",
                   {"--reference and --in-place exclude each other"}},
        TUsageCase{"ReferenceCheck", {"--check", "--reference=good.avi", "a.avi"}, exit_usage, "",
                   {"--reference applies to repairs only"}},
        TUsageCase{"ReferenceWithoutFile", {"a.avi", "--reference"}, exit_usage, "", {"option '--reference' needs a file"}},
        TUsageCase{"OutputDirWithoutFolder", {"a.avi", "-ro"}, exit_usage, "", {"option '-o' needs a folder"}},
        TUsageCase{"OutputDirNoFolder", {"-o", "/dev/null", "a.avi"}, exit_usage, "", {"'/dev/null' is no folder"}},
        TUsageCase{"JobsWithoutANumber", {"a.avi", "-j"}, exit_usage, "", {"-j needs a number of files"}},
        TUsageCase{"JobsNotANumber", {"-j", "x", "a.avi"}, exit_usage, "", {"-j takes a number of files from 0 to 256, not 'x'"}},
        TUsageCase{"TooManyJobs", {"--jobs=257", "a.avi"}, exit_usage, "", {"not '257'"}},
        // -j takes the next argument; after "--" it is a file name again.
        TUsageCase{"JobsThenSeparator", {"-j", "2", "--", "-j"}, exit_some_failed, "", {"reelwright-fix: -j: No such file or directory\n"}},
        // After "--" an option-like argument is a file name.
        TUsageCase{"SeparatorMakesAFileName",
                   {"--", "--x"},
                   exit_some_failed,
                   "",
                   {"reelwright-fix: --x: No such file or directory\n"}}),
    [](const ::testing::TestParamInfo<TUsageCase>& p) { return p.param.label; });

TEST_F(CliTest, VersionComesFromTheProject) {
  const TResult r = run({"--version"});
  EXPECT_EQ(r.exit.code, exit_all_repaired);
  EXPECT_EQ(r.out, "reelwright-fix (Reelwright) " REELWRIGHT_VERSION "\n");
  EXPECT_EQ(r.err, "");
}

// Unknown options are rejected before any file is repaired.
TEST_F(CliTest, UsageErrorLeavesTheFilesAlone) {
  const fs::path good = put("good.avi", clean_avi());
  const TResult r = run({good.string(), "--nonsense"});
  EXPECT_EQ(r.exit.code, exit_usage);
  EXPECT_FALSE(fs::exists(fixed_name(good.string())));
}

// ---------------------------------------------------------------------------
// Reports against the engine's own, in both modes and both formats

struct TFileCase {
  std::string label;
  std::function<TBytes()> make;
  int result = fix_repaired;
  std::optional<int> in_place_result = std::nullopt;  // when it differs
};

void PrintTo(const TFileCase& c, std::ostream* os) { *os << c.label; }

class CliRepair : public CliTest, public ::testing::WithParamInterface<std::tuple<TFileCase, bool>> {};

TEST_P(CliRepair, ReportsWhatTheEngineReports) {
  const auto& [file_case, in_place] = GetParam();
  const TBytes source = file_case.make();
  const fs::path path = put("clip.avi", source);
  const std::string fixed = fixed_name(path.string());

  TEngineRun expected = engine_run(path.string(), in_place);
  ASSERT_EQ(expected.result, in_place ? file_case.in_place_result.value_or(file_case.result) : file_case.result);
  // Where the window's line names its Auto Backup, the tool's names its own option.
  for (TLogEntry& e : expected.log) {
    e.text = replace_all(e.text, message(msg_data_after_index), message(msg_data_after_index_tool));
  }
  const bool makes_output = !in_place && fs::exists(fixed);
  const TBytes expected_file = in_place ? read_file(path) : (makes_output ? read_file(fixed) : TBytes{});
  const int expected_code = expected.result == fix_repaired ? exit_all_repaired : exit_some_failed;

  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    restore(path, source);
    const TResult r = run(mode_args(in_place, json, {path.string()}));
    EXPECT_TRUE(r.exit.exited);
    EXPECT_EQ(r.exit.code, expected_code);
    // Not a terminal: no progress, and nothing else goes there either.
    EXPECT_EQ(r.err, "");

    if (in_place) {
      EXPECT_TRUE(read_file(path) == expected_file) << "the rewritten source differs from the engine's";
    } else {
      EXPECT_TRUE(read_file(path) == source) << "the source changed";
      EXPECT_EQ(fs::exists(fixed), makes_output);
      if (makes_output) {
        EXPECT_TRUE(read_file(fixed) == expected_file) << "the Fixed. file differs from the engine's";
      }
    }

    if (!json) {
      EXPECT_EQ(r.out, text_report(expected.log));
      continue;
    }
    std::optional<TJson> doc;
    const TJson* file = single_file_entry(r.out, doc);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ((*file)["path"].text, path.string());
    EXPECT_EQ((*file)["result"].type, TJson::TType::number);
    EXPECT_EQ((*file)["result"].number, expected.result);
    if (makes_output) {
      EXPECT_EQ((*file)["output"].text, fixed);
    } else {
      EXPECT_TRUE((*file)["output"].is_null());
    }
    EXPECT_EQ(log_of(*file), expected.log);
  }
}

// Each kind of line the tool marks, so every marker is seen.
TEST_F(CliTest, TheTestFilesShowEveryLineKind) {
  const fs::path path = put("clip.avi", damaged_avi());
  std::vector<std::uint8_t> kinds;
  for (const TLogEntry& e : engine_run(path.string(), false).log) kinds.push_back(e.kind);
  for (const std::uint8_t kind : {mk_information, mk_error, mk_plain}) {
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << static_cast<int>(kind);
  }
  // Warnings come from a stop: see CliInterrupt.
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliRepair,
    ::testing::Combine(::testing::Values(TFileCase{"Intact", [] { return clean_avi(); }, fix_repaired},
                                         TFileCase{"Damaged", damaged_avi, fix_repaired},
                                         TFileCase{"NotAnAvi", not_an_avi, fix_not_repaired},
                                         // A long recording cut inside its AVIX header.
                                         TFileCase{"DataAfterTheIndex", opendml_cut_in_riff_header, fix_repaired,
                                                   fix_not_repaired}),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<TFileCase, bool>>& p) {
      return std::get<0>(p.param).label + (std::get<1>(p.param) ? "InPlace" : "NewFile");
    });

// ---------------------------------------------------------------------------
// Files whose header is gone

// 24 frames with audio (or without), sizes counting up from `first`.
TAvi recording(std::size_t first, bool audio = true) {
  TAviBuilder b;
  if (!audio) b.stream(TStreamDescription{});
  for (std::size_t i = 0; i < 24; ++i) {
    b.video(first + 7 * i, i % 4 == 0);
    if (audio) b.audio(101 + i);
  }
  return b.build();
}

struct TLostHeaderCase {
  std::string label;
  std::function<TBytes(const TAvi&)> damage;      // of recording(300)
  std::optional<std::function<TBytes()>> reference;
  int code = exit_all_repaired;
  std::vector<std::uint32_t> lines;  // messages the log shows, in order
  std::size_t first_kept = 0;        // a repair: the source's chunks from this one on (video, audio, ...)
};

void PrintTo(const TLostHeaderCase& c, std::ostream* os) { *os << c.label; }

class CliLostHeader : public CliTest, public ::testing::WithParamInterface<TLostHeaderCase> {};

TEST_P(CliLostHeader, ComesBackBehindTheReferenceOrIsRefusedBeforeAnythingIsWritten) {
  const TLostHeaderCase& c = GetParam();
  const TAvi original = recording(300);
  const TBytes source = c.damage(original);
  const fs::path path = put("clip.avi", source);
  std::vector<std::string> args = {path.string()};
  if (c.reference) args = {"--reference", put("good.avi", (*c.reference)()).string(), path.string()};
  const TResult r = run(args);
  EXPECT_EQ(r.exit.code, c.code) << r.out;
  std::size_t at = 0;
  for (const std::uint32_t k : c.lines) {
    at = r.out.find(message(k), at);
    EXPECT_NE(at, std::string::npos) << k << "\n" << r.out;
  }
  EXPECT_TRUE(read_file(path) == source) << "the source changed";
  const fs::path fixed = fixed_name(path.string());
  ASSERT_EQ(fs::exists(fixed), c.code == exit_all_repaired);
  if (!fs::exists(fixed)) return;
  // Every whole chunk after the lost start, and a file whose check is clean.
  const TBytes repaired = read_file(fixed);
  const std::size_t kept = original.chunk_pos.size() - c.first_kept;
  EXPECT_EQ(index_entries(repaired, find_last_idx1(repaired)).size(), kept);
  EXPECT_EQ(get_le32(repaired, original.total_frames_at), (kept + 1 - c.first_kept % 2) / 2);
  EXPECT_EQ(run({"--check", fixed.string()}).exit.code, exit_all_repaired);
}

// Zeros over the header and the first chunks.
TBytes zeroed(const TAvi& a) {
  TBytes b = a.bytes;
  std::fill(b.begin(), b.begin() + a.chunk_pos[3] + 5, 0);
  return b;
}
// A file carved back from a card: it begins inside a chunk and has no index.
TBytes carved(const TAvi& a) { return TBytes(a.bytes.begin() + a.chunk_pos[6] + 9, a.bytes.begin() + a.idx1_pos); }
// The data from the fifth chunk on behind 65 MiB of `filler`: zeros are a
// lost start however long; other bytes that long are a file of another kind.
TBytes behind(const TAvi& a, unsigned char filler) {
  TBytes b(a.bytes.begin() + a.chunk_pos[4], a.bytes.end());
  b.insert(b.begin(), (65u << 20) + 3, filler);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliLostHeader,
    ::testing::Values(
        TLostHeaderCase{"Zeroed", zeroed, [] { return recording(500).bytes; }, exit_all_repaired,
                        {msg_header_gone, msg_header_from_reference, msg_repaired}, 4},
        TLostHeaderCase{"Carved", carved, [] { return recording(500).bytes; }, exit_all_repaired,
                        {msg_header_gone, msg_header_from_reference, msg_repaired}, 7},
        TLostHeaderCase{"ReferenceWithOtherStreams", zeroed, [] { return recording(500, false).bytes; },
                        exit_some_failed, {msg_header_gone, msg_reference_differs, msg_reference_refused}},
        TLostHeaderCase{"ReferenceNoAvi", zeroed, not_an_avi, exit_some_failed, {msg_reference_unusable}},
        TLostHeaderCase{"NoDataFound", [](const TAvi&) { return not_an_avi(); }, [] { return recording(500).bytes; },
                        exit_some_failed, {msg_no_reference_data}},
        TLostHeaderCase{"LongZeroedStart", [](const TAvi& a) { return behind(a, 0); }, [] { return recording(500).bytes; },
                        exit_all_repaired, {msg_header_gone, msg_header_from_reference, msg_repaired}, 4},
        TLostHeaderCase{"DataPastTheSearch", [](const TAvi& a) { return behind(a, 0x55); },
                        [] { return recording(500).bytes; }, exit_some_failed, {msg_no_reference_data}},
        // Its own header says more of the file than any reference.
        TLostHeaderCase{"OwnHeaderKept", [](const TAvi& a) { return a.bytes; }, [] { return recording(500, false).bytes; },
                        exit_all_repaired, {msg_reference_not_used, msg_repaired}, 0}),
    [](const ::testing::TestParamInfo<TLostHeaderCase>& p) { return p.param.label; });

// ---------------------------------------------------------------------------
// Several files

TEST_F(CliTest, GoesOnAfterAFileThatIsNotRepaired) {
  const TBytes bad_bytes = not_an_avi();
  const TBytes good_bytes = clean_avi();
  const fs::path bad = put("bad.avi", bad_bytes);
  const fs::path good = put("good.avi", good_bytes);
  // An option between the files applies to the whole run.
  const TResult r = run({bad.string(), "--json", good.string()});
  EXPECT_EQ(r.exit.code, exit_some_failed);
  const std::optional<TJson> doc = json_document(r.out);
  ASSERT_TRUE(doc);
  const TJson& files = files_of(*doc);
  ASSERT_EQ(files.items.size(), 2u);
  EXPECT_EQ(files[0]["path"].text, bad.string());
  EXPECT_EQ(files[0]["result"].number, fix_not_repaired);
  EXPECT_TRUE(files[0]["output"].is_null());
  EXPECT_EQ(files[1]["path"].text, good.string());
  EXPECT_EQ(files[1]["result"].number, fix_repaired);
  EXPECT_EQ(files[1]["output"].text, fixed_name(good.string()));
  EXPECT_TRUE(fs::exists(fixed_name(good.string())));
  EXPECT_TRUE(read_file(bad) == bad_bytes);
  EXPECT_TRUE(read_file(good) == good_bytes);
}

TEST_F(CliTest, InPlaceBetweenFilesAppliesToAll) {
  const TBytes bytes = damaged_avi();
  const fs::path first = put("first.avi", bytes);
  const fs::path second = put("second.avi", bytes);
  // A Fixed. file from an earlier run is no output of this one.
  const TBytes stale = not_an_avi();
  const fs::path stale_path = put(fs::path(fixed_name(first.string())).filename(), stale);
  const TResult r = run({first.string(), "--json", "--in-place", second.string()});
  EXPECT_EQ(r.exit.code, exit_all_repaired);
  const std::optional<TJson> doc = json_document(r.out);
  ASSERT_TRUE(doc);
  const TJson& files = files_of(*doc);
  ASSERT_EQ(files.items.size(), 2u);
  for (const fs::path& p : {first, second}) EXPECT_FALSE(read_file(p) == bytes) << p << " was not rewritten";
  for (const TJson& file : files.items) EXPECT_TRUE(file["output"].is_null());
  EXPECT_TRUE(read_file(stale_path) == stale);
  EXPECT_FALSE(fs::exists(fixed_name(second.string())));
}

struct TUnusableCase {
  std::string label;
  std::function<fs::path(const fs::path& folder)> make;
  std::string reason;
  std::string shown_name;  // the name as standard error spells it; empty: as it is
};

void PrintTo(const TUnusableCase& c, std::ostream* os) { *os << c.label; }

class CliUnusablePath : public CliTest, public ::testing::WithParamInterface<TUnusableCase> {};

// Reported on stderr (and in JSON as an error line), counted as not
// repaired, never handed to the engine: a FIFO would block it.
TEST_P(CliUnusablePath, IsReportedAndSkipped) {
  const fs::path bad = GetParam().make(work_.path());
  const TBytes good_bytes = clean_avi();
  const fs::path good = put("good.avi", good_bytes);
  const TEngineRun good_expected = engine_run(good.string(), false);
  const std::string message = "reelwright-fix: " + bad.string() + ": " + GetParam().reason;
  const std::string shown = GetParam().shown_name.empty()
                                ? message
                                : "reelwright-fix: " + (bad.parent_path() / GetParam().shown_name).string() + ": " +
                                      GetParam().reason;

  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    restore(good, good_bytes);
    const TResult r = run(mode_args(false, json, {bad.string(), good.string()}));
    EXPECT_EQ(r.exit.code, exit_some_failed);
    EXPECT_EQ(r.err, shown + "\n");
    EXPECT_TRUE(fs::exists(fixed_name(good.string())));
    EXPECT_TRUE(read_file(good) == good_bytes);
    EXPECT_FALSE(fs::exists(fixed_name(bad.string())));
    if (!json) {
      EXPECT_EQ(split_summary(r.out), std::pair(text_report(good_expected.log),
                                                std::string("   Repaired: 1\n   Not repaired: 1\n   Stopped: 0\n"
                                                            "   Damaged places in all: 0\n")));
      continue;
    }
    const std::optional<TJson> doc = json_document(r.out);
    ASSERT_TRUE(doc);
    const TJson& files = files_of(*doc);
    ASSERT_EQ(files.items.size(), 2u);
    EXPECT_EQ(files[0]["path"].text, bad.string());
    EXPECT_EQ(files[0]["result"].number, fix_not_repaired);
    EXPECT_TRUE(files[0]["output"].is_null());
    EXPECT_EQ(log_of(files[0]), (std::vector<TLogEntry>{{mk_error, message}}));
    EXPECT_EQ(files[1]["result"].number, fix_repaired);
    EXPECT_EQ(log_of(files[1]), good_expected.log);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CliUnusablePath,
    ::testing::Values(TUnusableCase{"Missing", [](const fs::path& d) { return d / "missing.avi"; },
                                    "No such file or directory", ""},
                      TUnusableCase{"Fifo",
                                    [](const fs::path& d) {
                                      if (::mkfifo((d / "pipe.avi").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
                                      return d / "pipe.avi";
                                    },
                                    "Not a regular file", ""},
                      TUnusableCase{"MissingWithControlsInItsName",
                                    [](const fs::path& d) { return d / "gone\x1B]0;owned\x07\n.avi"; },
                                    "No such file or directory", "gone\\x1B]0;owned\\x07\\n.avi"},
                      TUnusableCase{"MissingWithAC1ControlInItsName",
                                    [](const fs::path& d) { return d / "gone\xC2\x9B" "2J.avi"; },
                                    "No such file or directory", "gone\\xC2\\x9B2J.avi"}),
    [](const ::testing::TestParamInfo<TUnusableCase>& p) { return p.param.label; });

// ---------------------------------------------------------------------------
// Folders and the output folder

// Every path below `root` (links not followed), with each file's bytes.
std::vector<std::pair<std::string, TBytes>> tree_of(const fs::path& root) {
  std::vector<std::pair<std::string, TBytes>> tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    tree.emplace_back(e.path().string(), e.is_regular_file() && !e.is_symlink() ? read_file(e.path()) : TBytes{});
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

class CliFolder : public CliTest, public ::testing::WithParamInterface<bool> {};

// A card after a crash: AVI files under any name, a damaged one, copies and
// a partial file of an earlier run, a hard link, links to a folder outside
// and back up to the card itself.
TEST_P(CliFolder, TakesEachAviFileOnceInPathOrder) {
  const bool follow = GetParam();
  for (const char* folder : {"card/DCIM", "away"}) fs::create_directories(work_.file(folder));
  for (const char* name : {"card/A.AVI", "card/DCIM/noext", "card/DCIM/Fixed.old.avi",
                           "card/DCIM/.Fixed.x.avi.part-Ab3dE9", "away/o.avi"}) {
    (void)put(name, clean_avi());
  }
  (void)put("card/b.divx", damaged_avi());
  (void)put("card/DCIM/broken.Avi", not_an_avi());
  (void)put("card/DCIM/notes.txt", not_an_avi());
  fs::create_directories(work_.file("card/bad"));
  (void)put("card/bad/x.avi", not_an_avi());  // its output folder is made, then removed
  fs::create_hard_link(work_.file("card/A.AVI"), work_.file("card/DCIM/same.bin"));
  fs::create_symlink("../A.AVI", work_.file("card/DCIM/file-link.avi"));
  fs::create_directory_symlink("../../away", work_.file("card/DCIM/away"));
  fs::create_directory_symlink("..", work_.file("card/DCIM/loop"));
  const auto card_before = tree_of(work_.file("card"));

  std::vector<std::string> args = {"--json", "-r", "-o", "out", "card"};
  if (follow) args.emplace_back("-L");
  TLaunch l = launch_with(args);
  l.cwd = work_.path();
  const TResult r = TToolRun(l).finish();
  EXPECT_EQ(r.exit.code, exit_some_failed);  // broken.Avi is refused
  EXPECT_EQ(r.err, "");
  const std::optional<TJson> doc = json_document(r.out);
  ASSERT_TRUE(doc);
  std::vector<std::string> paths;
  for (const TJson& file : files_of(*doc).items) paths.push_back(file["path"].text);
  std::vector<std::string> expected = {"card/A.AVI", "card/DCIM/broken.Avi", "card/DCIM/noext", "card/b.divx",
                                       "card/bad/x.avi"};
  std::vector<std::string> written = {"out/DCIM/Fixed.noext.avi", "out/Fixed.A.AVI.avi", "out/Fixed.b.divx"};
  if (follow) {
    expected.insert(expected.begin() + 1, "card/DCIM/away/o.avi");
    written.insert(written.begin() + 1, "out/DCIM/away/Fixed.o.avi");
  }
  EXPECT_EQ(paths, expected);
  std::vector<std::string> made;
  for (const auto& e : fs::recursive_directory_iterator(work_.file("out"))) {
    if (e.is_regular_file()) made.push_back(fs::relative(e.path(), work_.path()).string());
  }
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, written);
  EXPECT_FALSE(fs::exists(work_.file("out/bad"))) << "a folder made for no copy";
  EXPECT_TRUE(read_file(work_.file("out/Fixed.b.divx")) != damaged_avi()) << "not repaired";
  EXPECT_EQ(tree_of(work_.file("card")), card_before) << "the sources' folder changed";

  // A second run, three files at once, logs alike and takes none of the
  // copies the first one wrote.
  l.argv.insert(l.argv.end(), {"-j", "3", "out"});
  const TResult again = TToolRun(l).finish();
  const std::regex time("\"seconds\":[0-9.]+");
  EXPECT_EQ(std::regex_replace(again.out, time, ""), std::regex_replace(r.out, time, ""));
  EXPECT_FALSE(fs::exists(work_.file("out/bad")));
}

// Two sources of one name, one output folder: the second is refused, the
// first one's copy kept.
TEST_F(CliTest, OutputFolderNeverReplacesACopyOfThisRun) {
  for (const char* folder : {"a", "b"}) fs::create_directory(work_.file(folder));
  const fs::path first = put("a/x.avi", damaged_avi());
  const fs::path second = put("b/x.avi", clean_avi());
  const TResult r = run({"-o", work_.file("out").string(), first.string(), second.string()});
  EXPECT_EQ(r.exit.code, exit_some_failed);
  EXPECT_EQ(r.err, "reelwright-fix: " + second.string() + ": its copy would replace that of " + first.string() + "\n");
  EXPECT_TRUE(read_file(work_.file("out/Fixed.x.avi")) != clean_avi());
}

INSTANTIATE_TEST_SUITE_P(Links, CliFolder, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Followed" : "Skipped"; });

// Runs `undo` when the scope ends, however the test leaves it.
struct TUndo {
  std::function<void()> undo;
  ~TUndo() { undo(); }
};

class CliReadOnlySource : public CliTest, public ::testing::WithParamInterface<bool> {};

// A source on a medium the tool can only read: a folder and file without
// write permission, and (as root) a file system mounted read-only, which
// also puts the copy on another file system than the source.
TEST_P(CliReadOnlySource, IsRepairedIntoTheOutputFolder) {
  const TBytes source = damaged_avi();
  const fs::path reference = put("clip.avi", source);
  ASSERT_EQ(engine_run(reference.string(), false).result, fix_repaired);
  const TBytes expected = read_file(fixed_name(reference.string()));
  const fs::path medium = work_.file("medium");
  fs::create_directory(medium);
  write_file(medium / "clip.avi", source);
  const std::string image = work_.file("medium.img").string();
  const std::string mount = "mount -o loop,ro '" + image + "' '" + medium.string() + "' 2>/dev/null";
  TUndo undo{[&] {
    if (GetParam()) (void)std::system(("umount '" + medium.string() + "' 2>/dev/null").c_str());
    fs::permissions(medium, fs::perms::owner_all);
  }};
  if (!GetParam()) {
    fs::permissions(medium / "clip.avi", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(medium, fs::perms::owner_read | fs::perms::owner_exec);
  } else if (::geteuid() != 0 ||
             std::system(("truncate -s 16M '" + image + "' && mkfs.ext4 -q -d '" + medium.string() + "' '" + image +
                          "' 2>/dev/null && rm -r '" + medium.string() + "'/*")
                             .c_str()) != 0 ||
             std::system(mount.c_str()) != 0) {
    GTEST_SKIP() << "a file system cannot be mounted here";
  }
  const auto before = tree_of(medium);
  const TResult r = run({"-o", work_.file("out").string(), (medium / "clip.avi").string()});
  EXPECT_EQ(r.exit.code, exit_all_repaired) << r.out;
  EXPECT_TRUE(read_file(work_.file("out/Fixed.clip.avi")) == expected);
  EXPECT_EQ(tree_of(medium), before);
  if (!GetParam()) return;
  // Into the read-only medium itself: the line says where and why not.
  const TResult refused = run({"-o", medium.string(), (medium / "clip.avi").string()});
  EXPECT_EQ(refused.exit.code, exit_some_failed);
  EXPECT_NE(refused.out.find(message(msg_no_output_file_in) + " " + medium.string() + " (Read-only file system)"),
            std::string::npos)
      << refused.out;
}

INSTANTIATE_TEST_SUITE_P(Media, CliReadOnlySource, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Mounted" : "Permissions"; });

// ---------------------------------------------------------------------------
// File names

struct TNameCase {
  std::string label;
  std::string name;       // given relative to the working folder, after "--"
  std::string json_name;  // the name as the JSON document spells it
  std::string text_name;  // the name as the text report spells it
};

void PrintTo(const TNameCase& c, std::ostream* os) { *os << c.label; }

class CliFileName : public CliTest, public ::testing::WithParamInterface<TNameCase> {};

TEST_P(CliFileName, IsRepairedAndReported) {
  const TNameCase& c = GetParam();
  const TBytes source = damaged_avi();
  const fs::path path = put(c.name, source);
  const std::string fixed = fixed_name(c.name);
  TEngineRun expected;
  {
    const TWorkingFolder folder(work_.path());
    expected = engine_run(c.name, false);
  }
  ASSERT_EQ(expected.result, fix_repaired);

  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    restore(path, source);
    fs::remove(work_.file(fixed));
    TLaunch l = launch_with(mode_args(false, json, {"--", c.name}));
    l.cwd = work_.path();
    const TResult r = TToolRun(l).finish();
    EXPECT_EQ(r.exit.code, exit_all_repaired) << r.err;
    EXPECT_TRUE(fs::exists(work_.file(fixed)));
    EXPECT_TRUE(read_file(path) == source) << "the source changed";
    if (!json) {
      std::vector<TLogEntry> expected_log = expected.log;
      for (TLogEntry& e : expected_log) e.text = replace_all(e.text, c.name, c.text_name);
      EXPECT_EQ(r.out, text_report(expected_log));
      continue;
    }
    std::optional<TJson> doc;
    const TJson* file = single_file_entry(r.out, doc);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ((*file)["path"].text, c.json_name);
    EXPECT_EQ((*file)["output"].text, fixed_name(c.json_name));
    std::vector<TLogEntry> expected_log = expected.log;
    for (TLogEntry& e : expected_log) e.text = replace_all(e.text, c.name, c.json_name);
    EXPECT_EQ(log_of(*file), expected_log);
  }
}

const std::string replacement_character = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Names, CliFileName,
    ::testing::Values(TNameCase{"Spaces", "my holiday film.avi", "my holiday film.avi", "my holiday film.avi"},
                      TNameCase{"NonAscii", "F\xC3\xBCr \xE6\x98\xA0\xE7\x94\xBB \xF0\x9F\x8E\xAC.avi",
                                "F\xC3\xBCr \xE6\x98\xA0\xE7\x94\xBB \xF0\x9F\x8E\xAC.avi",
                                "F\xC3\xBCr \xE6\x98\xA0\xE7\x94\xBB \xF0\x9F\x8E\xAC.avi"},
                      TNameCase{"LeadingDash", "-clip.avi", "-clip.avi", "-clip.avi"},
                      TNameCase{"OtherExtension", "clip.mpg", "clip.mpg", "clip.mpg"},
                      // The backslash doubled in text: a backslash and an n must not pass for a line break.
                      TNameCase{"QuoteAndBackslash", "say \"hi\\there\".avi", "say \"hi\\there\".avi",
                                "say \"hi\\\\there\".avi"},
                      TNameCase{"ControlCharacters", "tab\there\nnewline.avi", "tab\there\nnewline.avi",
                                "tab\\there\\nnewline.avi"},
                      // An escape sequence in a name would recolour or retitle the terminal.
                      TNameCase{"EscapeAndOtherControls", "red\x1B[31m\x7F\x01\r\n.avi", "red\x1B[31m\x7F\x01\r\n.avi",
                                "red\\x1B[31m\\x7F\\x01\\r\\n.avi"},
                      // Latin-1 bytes from an old file system: not UTF-8.
                      TNameCase{"NotUtf8", "caf\xE9 \xFF.avi",
                                "caf" + replacement_character + " " + replacement_character + ".avi",
                                "caf\\xE9 \\xFF.avi"},
                      // U+009B: CSI on a terminal that takes 8-bit controls. Valid UTF-8, and valid JSON as it is.
                      TNameCase{"C1Control", "csi\xC2\x9B" "2J.avi", "csi\xC2\x9B" "2J.avi", "csi\\xC2\\x9B2J.avi"}),
    [](const ::testing::TestParamInfo<TNameCase>& p) { return p.param.label; });

// ---------------------------------------------------------------------------
// The progress line

// What a terminal line shows after `bytes`: "\r" returns to its start, a
// character overwrites the one under the cursor.
std::string visible_line(const std::string& bytes) {
  std::vector<std::string> cells;
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    if (bytes[i] == '\r') {
      column = 0;
      ++i;
      continue;
    }
    std::size_t length = 1;
    while (i + length < bytes.size() && (static_cast<unsigned char>(bytes[i + length]) & 0xC0) == 0x80) ++length;
    const std::string character = bytes.substr(i, length);
    i += length;
    if (column < cells.size()) {
      cells[column] = character;
    } else {
      cells.push_back(character);
    }
    ++column;
  }
  std::string line;
  for (const std::string& cell : cells) line += cell;
  return line;
}

TEST_F(CliTest, ProgressIsDrawnOnATerminalAndErasedAtTheEnd) {
  const TBytes first_bytes = damaged_avi();
  const TBytes second_bytes = clean_avi(200);
  const fs::path first = put("first.avi", first_bytes);
  const fs::path second = put("second \xC3\xA9.avi", second_bytes);
  std::vector<TLogEntry> expected = engine_run(first.string(), false).log;
  const std::vector<TLogEntry> second_log = engine_run(second.string(), false).log;
  expected.insert(expected.end(), second_log.begin(), second_log.end());
  restore(first, first_bytes);
  restore(second, second_bytes);

  TPseudoTerminal tty;
  TLaunch l = launch_with({first.string(), second.string()});
  l.stderr_fd = tty.slave();
  TToolRun tool(l);
  const TResult r = tool.finish(&tty);
  EXPECT_EQ(r.exit.code, exit_all_repaired);
  // The log stays clean on stdout; the progress goes to the terminal only.
  EXPECT_EQ(split_summary(r.out).first, text_report(expected));
  EXPECT_NE(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(r.err.find('\n'), std::string::npos);
  for (const std::string& shown : std::vector<std::string>{"% first.avi", "100% second \xC3\xA9.avi", "\r1/2  "}) {
    EXPECT_NE(r.err.find(shown), std::string::npos) << shown << " not in: " << r.err;
  }
  // The files started of all, and at the end the bytes of both files done.
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\r2/2  ([0-9.]+ [KM]?i?B)/\\1  100% second \xC3\xA9\\.avi")))
      << r.err;
  EXPECT_EQ(visible_line(r.err).find_first_not_of(' '), std::string::npos)
      << "left on the terminal: '" << visible_line(r.err) << "'";
  EXPECT_TRUE(read_file(first) == first_bytes);
  EXPECT_TRUE(read_file(second) == second_bytes);
}

// ---------------------------------------------------------------------------
// Interruption

bool catches_signal(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) return ((std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1u) != 0;
  }
  return false;
}

// Whether the child sits in a write to its standard error; empty when the
// system does not tell.
std::optional<bool> writing_to_stderr(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  std::string number;
  std::string fd;
  if (!(in >> number)) return std::nullopt;
  if (number == "running") return false;
  if (!(in >> fd)) return std::nullopt;
  return number == std::to_string(SYS_write) && fd == "0x2";
}

char process_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Waits until the child, with its handler for `sig` in place, is held in the
// first write to its (stopped) terminal: the first progress line of the
// first file. A signal now lands inside that file, every time.
bool wait_until_held_in_first_file(pid_t pid, int sig) {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  int quiet_polls = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
    if (!catches_signal(pid, sig)) continue;
    if (const std::optional<bool> writing = writing_to_stderr(pid)) {
      if (*writing) return true;
      continue;
    }
    // Without the system call on view: asleep for a while after the handler is in.
    quiet_polls = process_state(pid) == 'S' ? quiet_polls + 1 : 0;
    if (quiet_polls >= 40) return true;
  }
  return false;
}

struct TInterruptCase {
  std::string label;
  int sig = SIGINT;
  bool in_place = false;
  bool json = true;
};

void PrintTo(const TInterruptCase& c, std::ostream* os) { *os << c.label; }

class CliInterrupt : public CliTest, public ::testing::WithParamInterface<TInterruptCase> {};

TEST_P(CliInterrupt, StopsTheFileInProgressAndTheRun) {
  const TInterruptCase& c = GetParam();
  const TBytes big_bytes = big_avi(20u << 20);
  const TBytes next_bytes = clean_avi();
  const fs::path big = put("big.avi", big_bytes);
  const fs::path next = put("next.avi", next_bytes);
  const TEngineRun expected = engine_run(big.string(), c.in_place, /*stopped=*/true);
  ASSERT_EQ(expected.result, fix_stopped);
  ASSERT_TRUE(std::any_of(expected.log.begin(), expected.log.end(), [](const TLogEntry& e) { return e.kind == mk_warning; }));
  restore(big, big_bytes);

  TPseudoTerminal tty;
  tty.hold_output(true);
  TLaunch l = launch_with(mode_args(c.in_place, c.json, {big.string(), next.string()}));
  l.stderr_fd = tty.slave();
  TToolRun tool(l);
  ASSERT_TRUE(wait_until_held_in_first_file(tool.pid(), c.sig));
  ASSERT_EQ(::kill(tool.pid(), c.sig), 0);
  tty.hold_output(false);
  const TResult r = tool.finish(&tty);

  EXPECT_TRUE(r.exit.exited) << r.exit;
  EXPECT_EQ(r.exit.code, exit_interrupted);
  EXPECT_TRUE(read_file(big) == big_bytes) << "the source changed";
  EXPECT_TRUE(read_file(next) == next_bytes);
  EXPECT_FALSE(fs::exists(fixed_name(next.string()))) << "the file after the interrupted one was processed";
  if (!c.json) {
    EXPECT_EQ(split_summary(r.out), std::pair(text_report(expected.log),
                                              std::string("   Repaired: 0\n   Not repaired: 0\n   Stopped: 1\n"
                                                          "   Damaged places in all: 0\n")));
    return;
  }
  const std::optional<TJson> doc = json_document(r.out);
  ASSERT_TRUE(doc);
  const TJson& files = files_of(*doc);
  ASSERT_EQ(files.items.size(), 1u);
  EXPECT_EQ(files[0]["path"].text, big.string());
  EXPECT_EQ(files[0]["result"].number, fix_stopped);
  EXPECT_EQ(log_of(files[0]), expected.log);
  const std::string fixed = fixed_name(big.string());
  if (!c.in_place && fs::exists(fixed)) {
    EXPECT_EQ(files[0]["output"].text, fixed);
  } else {
    EXPECT_TRUE(files[0]["output"].is_null());
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterrupt,
                         ::testing::Values(TInterruptCase{"SigintNewFileJson", SIGINT, false, true},
                                           TInterruptCase{"SigintInPlaceJson", SIGINT, true, true},
                                           TInterruptCase{"SigtermNewFileJson", SIGTERM, false, true},
                                           TInterruptCase{"SigintNewFileText", SIGINT, false, false}),
                         [](const ::testing::TestParamInfo<TInterruptCase>& p) { return p.param.label; });

// ---------------------------------------------------------------------------
// The environment: language module, file-size limit

TEST_F(CliTest, WorksWithoutItsLanguageModule) {
  if (fs::exists(fs::path(REELWRIGHT_INSTALLED_MODULE_DIR) / "lang.so")) {
    GTEST_SKIP() << "an installed language module would be found";
  }
  const TTempDir alone;
  const fs::path program = alone.file("reelwright-fix");
  fs::copy_file(REELWRIGHT_FIX_PATH, program);

  const TBytes source = damaged_avi();
  const fs::path path = put("clip.avi", source);
  const TEngineRun expected = engine_run(path.string(), false, false, /*with_catalogue=*/false);
  ASSERT_EQ(expected.result, fix_repaired);
  const TBytes expected_output = read_file(fixed_name(path.string()));

  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    restore(path, source);
    TLaunch l = launch_with(mode_args(false, json, {path.string()}));
    l.argv.front() = program.string();
    l.without_library_path = true;
    const TResult r = TToolRun(l).finish();
    EXPECT_EQ(r.exit.code, exit_all_repaired);
    EXPECT_EQ(r.err, "Load lang DLL FAILED!\n");
    EXPECT_TRUE(read_file(fixed_name(path.string())) == expected_output);
    EXPECT_TRUE(read_file(path) == source);
    if (!json) {
      EXPECT_EQ(r.out, text_report(expected.log));
      continue;
    }
    const std::optional<TJson> doc = json_document(r.out);
    ASSERT_TRUE(doc);
    EXPECT_EQ(log_of(files_of(*doc)[0]), expected.log);
  }
}

// Every module is installed; the desktop's locale picks one. LC_ALL decides
// before LC_MESSAGES before LANG, "C" means the default module, and a
// language without a module, or with a broken one, gets the default too.
TEST_F(CliTest, LanguageFollowsTheLocale) {
  if (fs::exists(fs::path(REELWRIGHT_INSTALLED_MODULE_DIR) / "lang.so")) {
    GTEST_SKIP() << "an installed language module would be found";
  }
  const TTempDir alone;
  const fs::path program = alone.file("reelwright-fix");
  fs::copy_file(REELWRIGHT_FIX_PATH, program);
  fs::copy_file(fs::path(REELWRIGHT_FIX_PATH).parent_path() / "lang.so", alone.file("lang.so"));
  const fs::path german = alone.file("lang.de.so");
  const fs::path path = put("clip.avi", clean_avi());
  struct TCase {
    std::vector<std::string> locale;
    bool broken_german;
    const char* first_line;
  };
  const TCase cases[] = {
      {{"LANG=de_DE.UTF-8"}, false, "I  Reparatur gestartet."},
      {{"LC_MESSAGES=de_AT", "LANG=en_GB.UTF-8"}, false, "I  Reparatur gestartet."},
      {{"LC_ALL=C", "LANG=de_DE.UTF-8"}, false, "I  Repair started."},
      {{"LANG=C.UTF-8"}, false, "I  Repair started."},
      {{"LANG=xx_YY.UTF-8"}, false, "I  Repair started."},
      {{"LANG=de_DE.UTF-8"}, true, "I  Repair started."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.locale.back() + (c.broken_german ? ", broken German module" : ""));
    if (c.broken_german) {
      write_file(german, TBytes(100, 0x7F));
    } else {
      fs::copy_file(fs::path(REELWRIGHT_FIX_PATH).parent_path() / "lang.de.so", german,
                    fs::copy_options::overwrite_existing);
    }
    TLaunch l = launch_with({path.string()});
    l.argv = {"/usr/bin/env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "-u", "LANG"};
    l.argv.insert(l.argv.end(), c.locale.begin(), c.locale.end());
    l.argv.insert(l.argv.end(), {program.string(), path.string()});
    l.without_library_path = true;
    const TResult r = TToolRun(l).finish();
    EXPECT_EQ(r.exit.code, exit_all_repaired) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.first_line);
  }
}

// Beyond the limit a write fails with EFBIG; the file is not repaired, the
// tool lives on to the next file.
TEST_F(CliTest, FileSizeLimitFailsTheFileNotTheTool) {
  const TBytes big_bytes = big_avi(1u << 20);
  const TBytes small_bytes = clean_avi();
  const fs::path big = put("big.avi", big_bytes);
  const fs::path small = put("small.avi", small_bytes);
  TLaunch l = launch_with({"--json", big.string(), small.string()});
  l.file_size_limit = 256 * 1024;
  const TResult r = TToolRun(l).finish();
  ASSERT_TRUE(r.exit.exited) << r.exit;
  EXPECT_EQ(r.exit.code, exit_some_failed);
  EXPECT_TRUE(read_file(big) == big_bytes);
  EXPECT_FALSE(fs::exists(fixed_name(big.string())));
  EXPECT_TRUE(fs::exists(fixed_name(small.string())));
  const std::optional<TJson> doc = json_document(r.out);
  ASSERT_TRUE(doc);
  const TJson& files = files_of(*doc);
  ASSERT_EQ(files.items.size(), 2u);
  EXPECT_EQ(files[0]["result"].number, fix_not_repaired);
  EXPECT_TRUE(files[0]["output"].is_null());
  const std::vector<TLogEntry> log = log_of(files[0]);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().kind, mk_error);
  EXPECT_NE(log.back().text.find(big.filename().string()), std::string::npos) << log.back().text;
  EXPECT_EQ(files[1]["result"].number, fix_repaired);
}

// ---------------------------------------------------------------------------
// Standard output that cannot be written

enum class TBrokenOutput { full_disk, closed, reader_gone };

struct TBrokenOutputCase {
  std::string label;
  TBrokenOutput how;
  std::vector<std::string> options;  // before the two files
  std::string reason;
};

void PrintTo(const TBrokenOutputCase& c, std::ostream* os) { *os << c.label; }

class CliBrokenOutput : public CliTest, public ::testing::WithParamInterface<TBrokenOutputCase> {};

// The report is lost, so the run fails and says why; the file in progress is
// still repaired whole (no log line in it, the closed standard output being
// the first descriptor a file would get), and no further file is started.
TEST_P(CliBrokenOutput, FailsTheRunAfterTheFileInProgress) {
  const TBrokenOutputCase& c = GetParam();
  const TBytes bytes = damaged_avi();
  const fs::path first = put("first.avi", bytes);
  const fs::path second = put("second.avi", bytes);
  const bool in_place = std::find(c.options.begin(), c.options.end(), "--in-place") != c.options.end();
  const TEngineRun expected = engine_run(first.string(), in_place);
  ASSERT_EQ(expected.result, fix_repaired);
  const fs::path repaired = in_place ? first : fs::path(fixed_name(first.string()));
  const TBytes expected_bytes = read_file(repaired);
  restore(first, bytes);

  std::vector<std::string> args = c.options;
  args.insert(args.end(), {first.string(), second.string()});
  TLaunch l = launch_with(args);
  int pipe_ends[2] = {-1, -1};
  switch (c.how) {
    case TBrokenOutput::full_disk:
      l.stdout_fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
      break;
    case TBrokenOutput::closed:
      l.argv.insert(l.argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"});
      break;
    case TBrokenOutput::reader_gone:
      ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
      ::close(pipe_ends[0]);
      l.stdout_fd = pipe_ends[1];
      break;
  }
  TToolRun tool(l);
  if (l.stdout_fd >= 0) ::close(l.stdout_fd);
  const TResult r = tool.finish();

  EXPECT_TRUE(r.exit.exited) << r.exit;
  EXPECT_EQ(r.exit.code, exit_some_failed);
  EXPECT_EQ(r.err, "reelwright-fix: standard output: " + c.reason + "\n");
  EXPECT_TRUE(read_file(repaired) == expected_bytes) << "the file in progress was not repaired as the engine does";
  EXPECT_TRUE(read_file(second) == bytes);
  EXPECT_FALSE(fs::exists(fixed_name(second.string()))) << "a file was started after the report was lost";
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, CliBrokenOutput,
    ::testing::Values(TBrokenOutputCase{"FullDiskText", TBrokenOutput::full_disk, {}, "No space left on device"},
                      TBrokenOutputCase{"FullDiskJson", TBrokenOutput::full_disk, {"--json"}, "No space left on device"},
                      TBrokenOutputCase{"ClosedText", TBrokenOutput::closed, {}, "Bad file descriptor"},
                      TBrokenOutputCase{"ClosedInPlace", TBrokenOutput::closed, {"--in-place"}, "Bad file descriptor"},
                      TBrokenOutputCase{"ClosedInPlaceJson", TBrokenOutput::closed, {"--in-place", "--json"},
                                        "Bad file descriptor"},
                      TBrokenOutputCase{"ReaderGoneInPlace", TBrokenOutput::reader_gone, {"--in-place"},
                                        "Broken pipe"}),
    [](const ::testing::TestParamInfo<TBrokenOutputCase>& p) { return p.param.label; });

TEST_F(CliTest, HelpAndVersionOnAFullDiskFail) {
  for (const std::string option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    TLaunch l = launch_with({option});
    l.stdout_fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    TToolRun tool(l);
    ::close(l.stdout_fd);
    const TResult r = tool.finish();
    EXPECT_EQ(r.exit.code, exit_some_failed);
    EXPECT_EQ(r.err, "reelwright-fix: standard output: No space left on device\n");
  }
}

// ---------------------------------------------------------------------------
// The JSON document as it is written, in this process

// Counts what reaches it and keeps only the last piece written.
class TCountingBuffer final : public std::streambuf {
 public:
  std::size_t total = 0;
  std::string last;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    total += static_cast<std::size_t>(n);
    last.assign(s, static_cast<std::size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      ++total;
      last.assign(1, traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
  }
};

// However long a file's log, each line is out before the next comes: the
// report keeps none of them.
TEST(CliJsonReport, PassesEachLineOnAtOnce) {
  TCountingBuffer buffer;
  std::ostream stream(&buffer);
  TReportOutput out(stream);
  TJsonReport report(out);
  report.begin_document();
  report.begin_file("long.avi");
  std::size_t written = buffer.total;
  for (int i = 0; i < 200000; ++i) {
    const std::string text = " damaged place " + std::to_string(i);
    report.line(mk_plain, text);
    ASSERT_GT(buffer.total, written) << "line " << i << " was held back";
    ASSERT_NE(buffer.last.find("\"" + text + "\""), std::string::npos) << "line " << i << " was held back";
    written = buffer.total;
  }
  report.end_file(fix_repaired, std::nullopt);
  report.end_document();
  EXPECT_EQ(buffer.last, "]}\n");
  EXPECT_FALSE(out.failed());
}

// The document's exact bytes: one file to a line, each log line on its own.
TEST(CliJsonReport, Layout) {
  std::ostringstream stream;
  TReportOutput out(stream);
  TJsonReport report(out);
  report.begin_document();
  report.line(mk_error, "outside any file: dropped");
  report.begin_file("a.avi");
  report.line(mk_information, "I  Repair started.");
  report.line(mk_plain, " \"a.avi\"");
  report.end_file(fix_repaired, "Fixed.a.avi");
  report.begin_file("b.avi");
  report.end_file(std::nullopt, std::nullopt);
  report.end_document();
  EXPECT_EQ(stream.str(),
            "{\"files\":[\n"
            "{\"path\":\"a.avi\",\"log\":[\n"
            " {\"kind\":2,\"text\":\"I  Repair started.\"},\n"
            " {\"kind\":4,\"text\":\" \\\"a.avi\\\"\"}],\"result\":1,\"output\":\"Fixed.a.avi\"},\n"
            "{\"path\":\"b.avi\",\"log\":[],\"result\":null,\"output\":null}]}\n");
}

// ---------------------------------------------------------------------------
// Text for the terminal, in this process

struct TShownCase {
  std::string label;
  std::string input;
  std::string shown;
};

void PrintTo(const TShownCase& c, std::ostream* os) { *os << c.label; }

class CliVisibleText : public ::testing::TestWithParam<TShownCase> {};

TEST_P(CliVisibleText, Escapes) { EXPECT_EQ(visible_text(GetParam().input), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CliVisibleText,
    ::testing::Values(TShownCase{"Plain", "E  Scanning \"clip.avi\" at $1F", "E  Scanning \"clip.avi\" at $1F"},
                      TShownCase{"Utf8", "F\xC3\xBCr \xF0\x9F\x8E\xAC", "F\xC3\xBCr \xF0\x9F\x8E\xAC"},
                      // Each byte that is no part of valid UTF-8, and C1 controls byte by byte:
                      // a terminal taking 8-bit controls reads 0x9B as CSI.
                      TShownCase{"NotUtf8", "caf\xE9 \x9B" "2J", "caf\\xE9 \\x9B2J"},
                      TShownCase{"CutAndOverlong", "a\xE2\x82(\xC0\x9B", "a\\xE2\\x82(\\xC0\\x9B"},
                      TShownCase{"C1Controls", "\xC2\x80\xC2\x9B" "31m\xC2\x9F", "\\xC2\\x80\\xC2\\x9B31m\\xC2\\x9F"},
                      TShownCase{"NextToC1Kept", "\xC2\xA0\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC", "\xC2\xA0\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC"},
                      TShownCase{"TabLineFeedReturn", "a\tb\nc\rd", "a\\tb\\nc\\rd"},
                      TShownCase{"Escape", "\x1B[2J\x1B]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
                      TShownCase{"OtherControls", std::string("\0\x01\x1F\x7F", 4), "\\x00\\x01\\x1F\\x7F"},
                      TShownCase{"Backslash", "a\\nb\\", "a\\\\nb\\\\"}),
    [](const ::testing::TestParamInfo<TShownCase>& p) { return p.param.label; });

// ---------------------------------------------------------------------------
// JSON strings, in this process

struct TEscapeCase {
  std::string label;
  std::string input;
  std::string quoted;
};

void PrintTo(const TEscapeCase& c, std::ostream* os) { *os << c.label; }

class CliJsonString : public ::testing::TestWithParam<TEscapeCase> {};

TEST_P(CliJsonString, Escapes) { EXPECT_EQ(json_string(GetParam().input), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CliJsonString,
    ::testing::Values(
        TEscapeCase{"Plain", "Scanning clip.avi", "\"Scanning clip.avi\""},
        TEscapeCase{"Empty", "", "\"\""},
        TEscapeCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        TEscapeCase{"Slash", "a/b", "\"a/b\""},
        TEscapeCase{"ControlCharacters", std::string("\n\t\r\x01\x1f", 5), "\"\\u000a\\u0009\\u000d\\u0001\\u001f\""},
        TEscapeCase{"Nul", std::string("a\0b", 3), "\"a\\u0000b\""},
        TEscapeCase{"Delete", "\x7f", "\"\\u007f\""},
        TEscapeCase{"TwoThreeFourByteCharacters", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAC",
                    "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAC\""},
        TEscapeCase{"HighestCodePoint", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
        TEscapeCase{"Latin1Byte", "caf\xE9!", "\"caf\\ufffd!\""},
        TEscapeCase{"LoneContinuationByte", "\x80", "\"\\ufffd\""},
        TEscapeCase{"CutAtTheEnd", "a\xE2\x82", "\"a\\ufffd\\ufffd\""},
        TEscapeCase{"CutBeforeAscii", "\xC3(", "\"\\ufffd(\""},
        TEscapeCase{"OverlongSlash", "\xC0\xAF", "\"\\ufffd\\ufffd\""},
        TEscapeCase{"OverlongThreeBytes", "\xE0\x80\xAF", "\"\\ufffd\\ufffd\\ufffd\""},
        TEscapeCase{"Surrogate", "\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        TEscapeCase{"BeyondUnicode", "\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
        TEscapeCase{"InvalidLeadBytes", "\xF5\xFE\xFF", "\"\\ufffd\\ufffd\\ufffd\""}),
    [](const ::testing::TestParamInfo<TEscapeCase>& p) { return p.param.label; });

// Any bytes make a valid JSON string, and valid UTF-8 comes back unchanged.
TEST(CliJsonStringAnyBytes, ReadBackByAJsonReader) {
  std::mt19937 random(20240601);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 40);
  const std::string samples[] = {"\xC3\xA9", "\xE6\x98\xA0", "\xF0\x9F\x8E\xAC", "\"", "\\", "\n", "a"};
  std::uniform_int_distribution<std::size_t> sample(0, std::size(samples) - 1);
  for (int round = 0; round < 4000; ++round) {
    std::string input;
    const int n = length(random);
    for (int k = 0; k < n; ++k) {
      if (round % 2 == 0) {
        input += static_cast<char>(byte(random));
      } else {
        input += samples[sample(random)];
      }
    }
    const std::string quoted = json_string(input);
    ASSERT_TRUE(valid_utf8(quoted)) << ::testing::PrintToString(input);
    std::string decoded;
    try {
      decoded = TJsonReader(quoted).document().text;
    } catch (const std::exception& e) {
      FAIL() << e.what() << " for " << ::testing::PrintToString(input) << " -> " << quoted;
    }
    if (valid_utf8(input)) {
      EXPECT_EQ(decoded, input);
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// --check and --strip-index

TEST_F(CliTest, CheckReportsAndWritesNothing) {
  const TBytes clean = clean_avi();
  const TBytes damaged = damaged_avi();
  const fs::path good = put("good.avi", clean);
  const fs::path bad = put("bad.avi", damaged);

  const TResult healthy = run({"--check", good.string()});
  EXPECT_EQ(healthy.exit.code, exit_all_repaired) << healthy.out;
  EXPECT_NE(healthy.out.find("I  "), std::string::npos);

  const TResult r = run({"--check", "--json", good.string(), bad.string()});
  EXPECT_EQ(r.exit.code, exit_some_failed);
  const auto doc = json_document(r.out);
  ASSERT_TRUE(doc.has_value()) << r.out;
  const TJson& files = files_of(*doc);
  ASSERT_EQ(files.items.size(), 2u);
  for (const TJson& file : files.items) {
    EXPECT_TRUE(file["result"].is_null());
    EXPECT_TRUE(file["output"].is_null());
  }
  // The damaged file's check names the damaged place with an error line.
  bool error_line = false;
  for (const TLogEntry& e : log_of(files.items[1])) error_line = error_line || e.kind == mk_error;
  EXPECT_TRUE(error_line);
  EXPECT_EQ(read_file(good), clean);
  EXPECT_EQ(read_file(bad), damaged);
  EXPECT_FALSE(fs::exists(fixed_name(good.string())));
  EXPECT_FALSE(fs::exists(fixed_name(bad.string())));
}

TEST_F(CliTest, StripIndexRemovesOnlyAnIndex) {
  const TBytes clean = clean_avi();
  const fs::path with_index = put("with.avi", clean);
  const fs::path without_index = put("without.avi", damaged_avi());

  const TResult r = run({"--strip-index", "--json", with_index.string()});
  EXPECT_EQ(r.exit.code, exit_all_repaired) << r.out << r.err;
  const auto doc = json_document(r.out);
  ASSERT_TRUE(doc.has_value()) << r.out;
  EXPECT_TRUE(files_of(*doc).items.at(0)["result"].is_null());
  const std::size_t idx = find_last_idx1(clean);
  EXPECT_EQ(read_file(with_index).size(), idx);

  const TResult none = run({"--strip-index", without_index.string()});
  EXPECT_EQ(none.exit.code, exit_some_failed);
  EXPECT_EQ(read_file(without_index), damaged_avi());
  EXPECT_NE(none.out.find("W  "), std::string::npos) << none.out;
}

// Two repairs at once (the window and a script, say) share the temporary
// folder: each keeps its own index file.
TEST_F(CliTest, TwoRepairsAtOnceDoNotMix) {
  TAviBuilder a;
  TAviBuilder b;
  for (int i = 0; i < 4000; ++i) {
    a.video(900, i % 25 == 0).audio(200);
    b.video(700 + static_cast<std::size_t>(i % 7), i % 10 == 0).audio(150);
  }
  const TAvi first = a.build();
  const TAvi second = b.build();
  const TBytes first_cut(first.bytes.begin(), first.bytes.begin() + first.idx1_pos);
  const TBytes second_cut(second.bytes.begin(), second.bytes.begin() + second.idx1_pos);
  for (const bool in_place : {false, true}) {
    SCOPED_TRACE(in_place ? "in place" : "new file");
    const fs::path one = put("one.avi", first_cut);
    const fs::path two = put("two.avi", second_cut);
    fs::remove(fixed_name(one.string()));
    fs::remove(fixed_name(two.string()));
    TToolRun run_one(launch_with(mode_args(in_place, false, {one.string()})));
    TToolRun run_two(launch_with(mode_args(in_place, false, {two.string()})));
    const TResult r1 = run_one.finish();
    const TResult r2 = run_two.finish();
    EXPECT_EQ(r1.exit.code, exit_all_repaired) << r1.out << r1.err;
    EXPECT_EQ(r2.exit.code, exit_all_repaired) << r2.out << r2.err;
    TBytes expected_one = first.bytes;
    TBytes expected_two = second.bytes;
    put_le32(expected_one, 4, get_le32(first_cut, 4));
    put_le32(expected_two, 4, get_le32(second_cut, 4));
    EXPECT_TRUE(read_file(in_place ? one : fs::path(fixed_name(one.string()))) == expected_one);
    EXPECT_TRUE(read_file(in_place ? two : fs::path(fixed_name(two.string()))) == expected_two);
  }
}

// ---------------------------------------------------------------------------
// Several files at once

struct TJobsCase {
  std::string label;
  std::vector<std::string> options;  // -j and the mode
  std::string summary;               // text: the lines before "Total time"; JSON: the object before "seconds"
};

void PrintTo(const TJobsCase& c, std::ostream* os) { *os << c.label; }

class CliJobs : public CliTest, public ::testing::WithParamInterface<TJobsCase> {};

// Whatever the order the files end in (the big first one ends last), the
// report is the one -j 1 gives, and so are the files; one file named twice
// is never worked on twice at once (in place, the second run would find it
// locked).
TEST_P(CliJobs, ReportAsOneAtATime) {
  const TJobsCase& c = GetParam();
  const std::vector<std::pair<std::string, TBytes>> sources = {
      {"big.avi", big_avi(8u << 20)}, {"damaged.avi", damaged_avi()}, {"clean.avi", clean_avi()},
      {"other.avi", damaged_avi()}, {"short.avi", not_an_avi()}};
  std::vector<std::string> args = c.options;
  for (const char* name : {"big.avi", "damaged.avi", "big.avi", "missing.avi", "clean.avi", "other.avi", "short.avi"})
    args.push_back(work_.file(name).string());
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  const std::regex time(json ? "\"seconds\":[0-9]+\\.[0-9]{3}\\}" : "   Total time: [0-9.:]+( s)?\n");

  std::vector<std::string> one_at_a_time = args;
  one_at_a_time.insert(one_at_a_time.begin(), "-j1");
  std::string outs[2];
  std::vector<TBytes> results[2];
  for (const int run_index : {0, 1}) {
    for (const auto& [name, bytes] : sources) restore(work_.file(name), bytes);
    const TResult r = run(run_index == 0 ? one_at_a_time : args);
    EXPECT_EQ(r.exit.code, exit_some_failed);
    EXPECT_EQ(r.err, "reelwright-fix: " + work_.file("missing.avi").string() + ": No such file or directory\n");
    EXPECT_TRUE(std::regex_search(r.out, time)) << r.out;
    outs[run_index] = r.out;
    for (const auto& [name, bytes] : sources) {
      const fs::path fixed = fixed_name(work_.file(name).string());
      results[run_index].push_back(read_file(work_.file(name)));
      results[run_index].push_back(fs::exists(fixed) ? read_file(fixed) : TBytes{});
    }
  }
  const std::string report = std::regex_replace(outs[1], time, "");
  EXPECT_EQ(report, std::regex_replace(outs[0], time, ""));
  EXPECT_TRUE(results[1] == results[0]) << "the files differ from those of -j 1";
  if (json) {
    EXPECT_TRUE(json_document(outs[1]));
  }
  EXPECT_NE(report.find(c.summary), std::string::npos) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CliJobs,
    ::testing::Values(
        TJobsCase{"NewFileText", {"-j", "4"},
                  "not an AVI file.\n   Repaired: 5\n   Not repaired: 2\n   Stopped: 0\n   Damaged places in all: 2\n"},
        TJobsCase{"NewFileJson", {"--jobs=2", "--json"},
                  "}],\n\"summary\":{\"repaired\":5,\"not_repaired\":2,\"stopped\":0,\"damaged_places\":2,"},
        TJobsCase{"InPlaceJson", {"--in-place", "-j3", "--json"},
                  "\"summary\":{\"repaired\":5,\"not_repaired\":2,\"stopped\":0,\"damaged_places\":2,"},
        TJobsCase{"CheckText", {"--check", "-j", "0"},
                  "\n   Clean: 3\n   With problems: 4\n   Stopped: 0\n   Damaged places in all: 2\n"},
        TJobsCase{"StripText", {"--strip-index", "--jobs", "3"}, "\n   Index removed: 2\n   Left as they were: 5\n"}),
    [](const ::testing::TestParamInfo<TJobsCase>& p) { return p.param.label; });

// Waits until the tool's threads (at least `threads`) are all held: one in a
// write to its (stopped) terminal, the others asleep behind it; a worker
// that has not started its file never sleeps, the files being there to take.
bool wait_until_all_held(pid_t pid, int threads) {
  int quiet_polls = 0;
  for (const auto deadline = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
    int tasks = 0, writing = 0, asleep = 0;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      const pid_t tid = std::stoi(task.path().filename().string());
      ++tasks;
      writing += writing_to_stderr(tid).value_or(false) ? 1 : 0;
      asleep += process_state(tid) == 'S' ? 1 : 0;
    }
    // (A sanitizer may add a thread of its own.)
    const bool held = catches_signal(pid, SIGINT) && tasks >= threads && writing == 1 && asleep == tasks;
    if ((quiet_polls = held ? quiet_polls + 1 : 0) >= 20) return true;
  }
  return false;
}

// Ctrl-C with four files in progress stops all four, as Stop does, and
// starts none of the files after them.
TEST_F(CliTest, InterruptStopsEveryFileInProgress) {
  const TBytes big_bytes = big_avi(8u << 20);
  const TBytes small_bytes = clean_avi();
  std::vector<std::string> args = {"--json", "-j", "4"};
  for (int i = 0; i < 6; ++i) {
    args.push_back(put("clip" + std::to_string(i) + ".avi", i < 4 ? big_bytes : small_bytes).string());
  }
  TPseudoTerminal tty;
  tty.hold_output(true);
  TLaunch l = launch_with(args);
  l.stderr_fd = tty.slave();
  TToolRun tool(l);
  ASSERT_TRUE(wait_until_all_held(tool.pid(), 5));
  ASSERT_EQ(::kill(tool.pid(), SIGINT), 0);
  tty.hold_output(false);
  const TResult r = tool.finish(&tty);

  EXPECT_EQ(r.exit.code, exit_interrupted);
  const std::optional<TJson> doc = json_document(r.out);
  ASSERT_TRUE(doc);
  const TJson& files = files_of(*doc);
  ASSERT_EQ(files.items.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(files[i]["path"].text, args[3 + i]);
    EXPECT_EQ(files[i]["result"].number, fix_stopped) << args[3 + i];
    EXPECT_TRUE(read_file(args[3 + i]) == big_bytes);
  }
  EXPECT_EQ((*doc)["summary"]["stopped"].number, 4);
  for (std::size_t i = 4; i < 6; ++i) EXPECT_FALSE(fs::exists(fixed_name(args[3 + i]))) << args[3 + i];
}
