// reelwright-fix: runs the repair engine over the files named on the command
// line and reports in text or as one JSON document.
#include "cli/cli_unit.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "platform/lang.h"
#include "platform/message_ids.h"
#include "engine/algorithm_unit.h"
#include "engine/avi_structs.h"
#include "engine/file_step.h"
#include "engine/reporting.h"
#include "platform/path_info.h"
#include "platform/utf8.h"
#include "platform/version_block.h"
#include "platform/version_info_strings.h"

namespace {

constexpr const char* program_name = "reelwright-fix";

// Set by the SIGINT/SIGTERM handler; only lock-free atomics may be touched there.
std::atomic<bool> interrupt_seen{false};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::uint8_t>::is_always_lock_free);

void on_interrupt(int) {
  // The engine abandons the file in progress at its next check, as after Stop.
  stop_flag.store(1);
  interrupt_seen.store(true);
}

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Restart interrupted reads and writes: the file in progress must end the
  // way a Stop ends it, not with an I/O error.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  // With a file-size limit, writes past it should fail with EFBIG (a write
  // error the engine reports) rather than kill the process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
  // A reader that goes away (a pager quit early) must not kill an in-place
  // repair half-way: the write fails with EPIPE instead and is reported.
  sigaction(SIGPIPE, &ignore, nullptr);
}

// A closed standard stream would be handed to the next file opened, and the
// log written into a repaired file. Each is held by /dev/null opened
// read-only, so writes to a closed standard output still fail (EBADF) and
// are reported as such.
void hold_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower ones are open by now, so this is `fd` itself.
    const int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

std::size_t terminal_width(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string usage_text() {
  std::ostringstream out;
  out << "Usage: " << program_name << " [--in-place | -o DIR] [-r [-L]] [--json] [-j N] [--] FILE...\n"
      << "       " << program_name << " --reference GOOD.avi [-o DIR] [-r [-L]] [--json] [-j N] [--] FILE...\n"
      << "       " << program_name << " --check [-r [-L]] [--json] [-j N] [--] FILE...\n"
      << "       " << program_name << " --strip-index [-r [-L]] [--json] [-j N] [--] FILE...\n"
      << "Rebuilds the index of damaged AVI files, one after the other or, with -j,\n"
      << "several at the same time.\n"
      << "\n"
      << "  --in-place  rewrite each FILE itself; by default the repaired copy is\n"
      << "              written beside it as \"Fixed.\" + its name\n"
      << "  -o, --output-dir DIR  write each repaired copy into DIR instead (made\n"
      << "              when missing; below it the subfolders of a folder FILE);\n"
      << "              the source is only read, so it may lie on a read-only medium\n"
      << "  -r, --recursive  a FILE that is a folder is walked, with its subfolders,\n"
      << "              for AVI files (by their first bytes, or named *.avi or\n"
      << "              *.divx in any letter case), sorted by path; files named\n"
      << "              \"Fixed.*\" are copies, never sources\n"
      << "  -L, --follow-links  follow links met in a folder (by default they are\n"
      << "              skipped); each file is still taken once\n"
      << "  --reference GOOD.avi  a FILE whose start is lost (no AVI header, not\n"
      << "              even the header list) is read behind the header of GOOD.avi,\n"
      << "              a healthy recording of the same camera or encoder, once it\n"
      << "              is shown to fit the FILE's data (streams, chunk ids, the\n"
      << "              first key frame); without it, such a FILE gets a header made\n"
      << "              from what its data say, for the common codecs. Into a new\n"
      << "              file only; a FILE with a header list of its own keeps it\n"
      << "  --check     only report what is wrong with each FILE; nothing is written\n"
      << "  --strip-index  remove the index at the end of each FILE, nothing else\n"
      << "  --json      print one JSON document with each file's path, result (1\n"
      << "              repaired, 0 not repaired, -1 stopped; null for --check and\n"
      << "              --strip-index), output file and log; a usage error\n"
      << "              prints no JSON, only its message on standard error\n"
      << "  -j, --jobs N  work on up to N files at the same time (default 1; 0: one\n"
      << "              per CPU); the reports still come out whole, in the order\n"
      << "              of the files\n"
      << "  --help      show this help and exit\n"
      << "  --version   show the version and exit\n"
      << "  --          end of options: every later argument is a FILE\n"
      << "\n"
      << "Options may stand before and between the files.\n"
      << "Log lines start with the kind: I information, W warning, E error, blank\n"
      << "for plain lines. In JSON, bytes that are not valid UTF-8 (in file names,\n"
      << "say) are written as U+FFFD. In text, control characters (C1 ones too)\n"
      << "and bytes that are not valid UTF-8 are shown as \\t, \\n, \\r or \\xHH,\n"
      << "and a backslash as \\\\.\n"
      << "After more than one file, a summary counts each outcome, the damaged\n"
      << "places in all and the time taken (in JSON, \"summary\" after \"files\").\n"
      << "\n"
      << "Exit status: 0 every file repaired (--check: no file has problems;\n"
      << "--strip-index: every index removed), 1 otherwise, 2 usage error,\n"
      << "130 interrupted (SIGINT or SIGTERM stop every file in progress, and no\n"
      << "further file is started).\n"
      << "When standard output cannot be written, the files in progress are\n"
      << "finished, no further file is started, and the exit status is 1.\n";
  return out.str();
}

void print_usage_error(std::ostream& err, const std::string& complaint) {
  // The complaint may quote an argument, which is as free as a file name.
  err << program_name << ": " << visible_text(complaint) << '\n'
      << "Try '" << program_name << " --help' for more information.\n";
}


// The tool's user has no Auto Backup to turn on: a refusal that names it
// names what they type instead.
std::uint32_t tool_wording(std::uint32_t k) { return k == msg_data_after_index ? msg_data_after_index_tool : k; }

char kind_marker(std::uint8_t kind) {
  switch (kind) {
    case mk_information:
      return 'I';
    case mk_warning:
      return 'W';
    case mk_error:
      return 'E';
    default:
      return ' ';
  }
}

// Says so on `err` when standard output failed; false then.
bool output_complete(const TReportOutput& out, std::ostream& err) {
  if (!out.failed()) return true;
  err << program_name << ": standard output: " << *out.error() << '\n' << std::flush;
  return false;
}

TFileOperation operation_for(TMode mode) {
  switch (mode) {
    case TMode::fix: break;
    case TMode::check: return TFileOperation::check;
    case TMode::strip_index: return TFileOperation::strip;
  }
  return TFileOperation::fix;
}

// Why `path` is not handed to the engine, or nothing when it is a regular file.
std::optional<std::string> unusable_reason(const std::string& path) {
  const TPathInfo info = path_info(path);
  switch (info.kind) {
    case TPathKind::regular: return std::nullopt;
    case TPathKind::missing: return std::string(std::strerror(info.error));
    case TPathKind::directory: return std::string(std::strerror(EISDIR));
    case TPathKind::other: break;
  }
  // A FIFO or device would block or never end; only regular files are repaired.
  return std::string("Not a regular file");
}

// Why `source` is not handed to the engine: what the walk found, a path that
// is no regular file, or an output folder that cannot be made (the folders
// made for it are added to `made`).
std::optional<std::string> refusal(const TSourceFile& source, std::vector<std::string>& made) {
  if (source.problem) return source.problem;
  if (std::optional<std::string> reason = unusable_reason(source.path)) return reason;
  return make_folders(source.output_folder, made);
}

}  // namespace

namespace {

// The most files a run works on at once: each holds a few MiB and a thread.
constexpr unsigned max_jobs = 256;

// The value of -j; false, with the complaint set, when it is no count.
bool take_jobs(std::string_view value, TCliOptions& options) {
  unsigned jobs = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), jobs);
  if (value.empty() || error != std::errc() || end != value.data() + value.size() || jobs > max_jobs) {
    options.command = TCommand::usage_error;
    options.error = "-j takes a number of files from 0 to " + std::to_string(max_jobs) + ", not '" +
                    std::string(value) + "'";
    return false;
  }
  options.jobs = jobs;
  return true;
}

// "-" and any of r and L, perhaps ending in o, whose folder is the rest of
// the argument or the next one.
bool is_walk_cluster(std::string_view arg) {
  if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return false;
  const std::size_t flags_end = arg.find_first_not_of("rL", 1);
  return flags_end == std::string_view::npos || arg[flags_end] == 'o';
}

// The options of folders and the output folder: -r, -L, -o DIR, their long
// names, and short ones grouped (-rL, -rLo DIR, -oDIR). Nothing when
// args[i] is none of them; false after a usage error (set in `options`);
// true when taken, with `i` on the last argument used.
std::optional<bool> parse_walk_option(const std::vector<std::string>& args, std::size_t& i, TCliOptions& options) {
  const std::string& arg = args[i];
  const auto fail = [&](const std::string& error) {
    options.command = TCommand::usage_error;
    options.error = error;
    return false;
  };
  const auto take_folder = [&](const std::string& option, std::optional<std::string> folder) {
    if (!folder) {
      if (i + 1 >= args.size()) return fail("option '" + option + "' needs a folder");
      folder = args[++i];
    }
    if (folder->empty()) return fail("option '" + option + "' needs a folder");
    options.walk.output_dir = *folder;
    return true;
  };
  if (arg == "--recursive") {
    options.walk.recursive = true;
  } else if (arg == "--follow-links") {
    options.walk.follow_links = true;
  } else if (arg == "--output-dir") {
    return take_folder(arg, std::nullopt);
  } else if (arg.starts_with("--output-dir=")) {
    return take_folder("--output-dir", arg.substr(arg.find('=') + 1));
  } else if (is_walk_cluster(arg)) {
    for (std::size_t k = 1; k < arg.size(); ++k) {
      if (arg[k] == 'r') {
        options.walk.recursive = true;
      } else if (arg[k] == 'L') {
        options.walk.follow_links = true;
      } else {
        return take_folder("-o", k + 1 < arg.size() ? std::optional<std::string>(arg.substr(k + 1)) : std::nullopt);
      }
    }
  } else {
    return std::nullopt;
  }
  return true;
}

}  // namespace

TCliOptions parse_arguments(const std::vector<std::string>& args) {
  TCliOptions options;
  bool options_ended = false;
  bool jobs_next = false;  // the argument after -j or --jobs is its value
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (jobs_next) {
      jobs_next = false;
      if (!take_jobs(arg, options)) return options;
    } else if (!options_ended && (arg == "-j" || arg == "--jobs")) {
      jobs_next = true;
    } else if (!options_ended && (arg.starts_with("--jobs=") || (arg.starts_with("-j") && arg.size() > 2))) {
      if (!take_jobs(std::string_view(arg).substr(arg[1] == 'j' ? 2 : 7), options)) return options;
    } else if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
      options.files.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (const std::optional<bool> walk_option = parse_walk_option(args, i, options)) {
      if (!*walk_option) return options;
    } else if (arg == "--reference" || arg.starts_with("--reference=")) {
      std::optional<std::string> file;
      if (arg.size() > 11) {
        file = arg.substr(12);
      } else if (i + 1 < args.size()) {
        file = args[++i];
      }
      if (!file || file->empty()) {
        options.command = TCommand::usage_error;
        options.error = "option '--reference' needs a file";
        return options;
      }
      options.reference = *file;
    } else if (arg == "--in-place") {
      options.in_place = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--check" || arg == "--strip-index") {
      const TMode mode = arg == "--check" ? TMode::check : TMode::strip_index;
      if (options.mode != TMode::fix && options.mode != mode) {
        options.command = TCommand::usage_error;
        options.error = "--check and --strip-index exclude each other";
        return options;
      }
      options.mode = mode;
    } else if (arg == "--help") {
      options.command = TCommand::help;
      return options;
    } else if (arg == "--version") {
      options.command = TCommand::version;
      return options;
    } else {
      options.command = TCommand::usage_error;
      options.error = "unknown option '" + arg + "'";
      return options;
    }
  }
  if (jobs_next) {
    options.command = TCommand::usage_error;
    options.error = "-j needs a number of files";
  } else if (options.files.empty()) {
    options.command = TCommand::usage_error;
    options.error = "no FILE given";
  } else if (options.in_place && options.mode != TMode::fix) {
    options.command = TCommand::usage_error;
    options.error = "--in-place applies to repairs only";
  } else if (options.reference && (options.in_place || options.mode != TMode::fix)) {
    // The header a file gets is written into a new file, never into the source.
    options.command = TCommand::usage_error;
    options.error = options.in_place ? "--reference and --in-place exclude each other"
                                     : "--reference applies to repairs only";
  } else if (options.walk.output_dir && (options.in_place || options.mode != TMode::fix)) {
    options.command = TCommand::usage_error;
    options.error = options.in_place ? "--output-dir and --in-place exclude each other"
                                     : "--output-dir applies to repairs only";
  }
  return options;
}

std::string json_string(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t length = decode_utf8_at(text, i).length;
    if (length == 0) {
      quoted += "\\ufffd";
      ++i;
      continue;
    }
    if (b == '"' || b == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(b);
    } else if (b < 0x20 || b == 0x7F) {
      quoted += "\\u00";
      quoted += hex[b >> 4];
      quoted += hex[b & 0x0F];
    } else {
      quoted.append(text.substr(i, length));
    }
    i += length;
  }
  quoted += '"';
  return quoted;
}

std::string visible_text(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(text.size());
  const auto escape = [&](std::string_view bytes) {
    for (const char c : bytes) {
      const auto b = static_cast<unsigned char>(c);
      shown += "\\x";
      shown += hex[b >> 4];
      shown += hex[b & 0x0F];
    }
  };
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const TCodePoint point = decode_utf8_at(text, i);
    const std::size_t length = point.length == 0 ? 1 : point.length;
    if (c == '\t') {
      shown += "\\t";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\\') {
      shown += "\\\\";
    } else if (point.length == 0 || point.code < 0x20 || (point.code >= 0x7F && point.code <= 0x9F)) {
      // C1 controls too, and every byte that is no part of valid UTF-8: a
      // terminal reading 8-bit controls takes 0x9B (or U+009B) for CSI.
      escape(text.substr(i, length));
    } else {
      shown.append(text.substr(i, length));
    }
    i += length;
  }
  return shown;
}

void TReportOutput::write(std::string_view text) {
  // errno then tells why a write failed, not something earlier.
  errno = 0;
  out_.write(text.data(), static_cast<std::streamsize>(text.size()));
  check();
}

void TReportOutput::flush() {
  errno = 0;
  out_.flush();
  check();
}

void TReportOutput::check() {
  if (out_ || error_) return;
  const int error = errno;
  error_ = error != 0 ? std::string(std::strerror(error)) : std::string("write error");
}

std::string json_file_start(std::string_view path, bool first_file) {
  return (first_file ? "\n{\"path\":" : ",\n{\"path\":") + json_string(path) + ",\"log\":[";
}

std::string json_log_line(std::uint8_t kind, std::string_view text, bool first_line) {
  return (first_line ? "\n {\"kind\":" : ",\n {\"kind\":") + std::to_string(kind) + ",\"text\":" + json_string(text) +
         '}';
}

std::string json_file_end(std::optional<int> result, const std::optional<std::string>& output) {
  return "],\"result\":" + (result ? std::to_string(*result) : std::string("null")) +
         ",\"output\":" + (output ? json_string(*output) : std::string("null")) + '}';
}

namespace {

// The names of the outcomes a mode counts, in the text and in JSON.
struct TOutcomeNames {
  const char* succeeded[2];
  const char* failed[2];
  bool stoppable;
};

TOutcomeNames outcome_names(TMode mode) {
  switch (mode) {
    case TMode::check: return {{"Clean", "clean"}, {"With problems", "with_problems"}, true};
    case TMode::strip_index: return {{"Index removed", "removed"}, {"Left as they were", "kept"}, false};
    case TMode::fix: break;
  }
  return {{"Repaired", "repaired"}, {"Not repaired", "not_repaired"}, true};
}

// Whole seconds as m:ss, or h:mm:ss from an hour on.
std::string clock_text(std::uint64_t seconds) {
  const auto two = [](std::uint64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
  if (seconds >= 3600) return std::to_string(seconds / 3600) + ":" + two(seconds / 60 % 60) + ":" + two(seconds % 60);
  return std::to_string(seconds / 60) + ":" + two(seconds % 60);
}

// Tenths, with a point whatever the locale.
std::string tenths_text(std::uint64_t tenths) { return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10); }

}  // namespace

std::string summary_text(const TRunSummary& summary) {
  const TOutcomeNames names = outcome_names(summary.mode);
  std::string text = std::string("   ") + names.succeeded[0] + ": " + std::to_string(summary.succeeded) + "\n   " +
                     names.failed[0] + ": " + std::to_string(summary.failed) + '\n';
  if (names.stoppable) {
    text += "   Stopped: " + std::to_string(summary.stopped) + "\n   Damaged places in all: " +
            std::to_string(summary.damaged_places) + '\n';
  }
  const double seconds = summary.seconds < 0 ? 0 : summary.seconds;
  text += "   Total time: " +
          (seconds < 60 ? tenths_text(static_cast<std::uint64_t>(seconds * 10)) + " s"
                        : clock_text(static_cast<std::uint64_t>(seconds))) +
          '\n';
  return text;
}

std::string summary_json(const TRunSummary& summary) {
  const TOutcomeNames names = outcome_names(summary.mode);
  std::string text = std::string("{\"") + names.succeeded[1] + "\":" + std::to_string(summary.succeeded) + ",\"" +
                     names.failed[1] + "\":" + std::to_string(summary.failed);
  if (names.stoppable) {
    text += ",\"stopped\":" + std::to_string(summary.stopped) +
            ",\"damaged_places\":" + std::to_string(summary.damaged_places);
  }
  const auto millis = static_cast<std::uint64_t>(summary.seconds < 0 ? 0 : summary.seconds * 1000);
  const std::string fraction = std::to_string(1000 + millis % 1000).substr(1);
  return text + ",\"seconds\":" + std::to_string(millis / 1000) + "." + fraction + '}';
}

void TJsonReport::begin_document() { out_.write("{\"files\":["); }

void TJsonReport::begin_file(std::string_view path) {
  out_.write(json_file_start(path, first_file_));
  first_file_ = false;
  first_line_ = true;
  in_file_ = true;
}

void TJsonReport::line(std::uint8_t kind, std::string_view text) {
  // Only a file's record has a log.
  if (!in_file_) return;
  out_.write(json_log_line(kind, text, first_line_));
  first_line_ = false;
}

void TJsonReport::end_file(std::optional<int> result, const std::optional<std::string>& output) {
  out_.write(json_file_end(result, output));
  in_file_ = false;
}

void TJsonReport::end_document(const std::optional<TRunSummary>& summary) {
  out_.write(summary ? "],\n\"summary\":" + summary_json(*summary) + "}\n" : std::string("]}\n"));
}

namespace {

using TClock = std::chrono::steady_clock;

// A size the way a person reads it: B, KiB, MiB, GiB or TiB, one decimal.
std::string size_text(std::uint64_t bytes) {
  static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  std::size_t unit = 1;
  std::uint64_t scale = 1024;
  while (unit + 1 < std::size(units) && bytes / scale >= 1024) {
    ++unit;
    scale *= 1024;
  }
  const std::uint64_t tenths = bytes / scale * 10 + bytes % scale * 10 / scale;
  return tenths_text(tenths) + " " + units[unit];
}

// The "\r"-redrawn progress line on a terminal: the files started of all,
// the bytes done of all files with the rate and the time left, then the
// percentage and name of the first file in progress. Used under the run's
// lock only.
class TProgressLine final {
 public:
  TProgressLine(std::ostream& err, bool enabled, std::size_t width, std::size_t files, std::uint64_t bytes)
      : err_(err), enabled_(enabled), width_(width), files_(files), bytes_(bytes), start_(TClock::now()) {}

  void start_file(std::size_t index, const std::string& path, std::uint64_t size) {
    ++started_;
    running_[index] = {display_name(path), size, 0};
  }
  void set_position(std::size_t index, int position) {
    const auto file = running_.find(index);
    if (file == running_.end()) return;
    file->second.percent = position < 0 ? 0 : (position > 100 ? 100 : position);
    draw();
  }
  // Around a log line written to the same terminal.
  void hide() {
    if (drawn_columns_ == 0) return;
    // One write per change, so a slow terminal never shows half a line.
    err_ << ('\r' + std::string(drawn_columns_, ' ') + '\r') << std::flush;
    drawn_columns_ = 0;
  }
  void redraw() {
    if (shown_) draw();
  }
  void end_file(std::size_t index) {
    if (const auto file = running_.find(index); file != running_.end()) {
      done_bytes_ += file->second.size;
      running_.erase(file);
    }
    hide();
    shown_ = false;
  }
  [[nodiscard]] bool enabled() const { return enabled_; }

 private:
  struct TRunning {
    std::string name;
    std::uint64_t size = 0;
    int percent = 0;
  };

  void draw() {
    if (!enabled_ || running_.empty()) return;
    std::uint64_t done = done_bytes_;
    for (const auto& [index, file] : running_) done += file.size / 100 * static_cast<std::uint64_t>(file.percent);
    std::string line = std::to_string(started_) + "/" + std::to_string(files_) + "  " + size_text(done) + "/" +
                       size_text(bytes_);
    // A rate over less than a second says little.
    const double seconds = std::chrono::duration<double>(TClock::now() - start_).count();
    if (seconds >= 1 && done > 0) {
      const double rate = static_cast<double>(done) / seconds;
      line += "  " + size_text(static_cast<std::uint64_t>(rate)) + "/s";
      if (bytes_ > done) line += "  " + clock_text(static_cast<std::uint64_t>(static_cast<double>(bytes_ - done) / rate)) + " left";
    }
    const TRunning& first = running_.begin()->second;
    std::string percent = std::to_string(first.percent);
    percent.insert(0, 3 - percent.size(), ' ');
    line += "  " + percent + "% ";
    // One column short of the width, so the line never wraps and "\r" returns to its start.
    const std::size_t room = width_ > line.size() + 1 ? width_ - line.size() - 1 : 0;
    line += fitted(first.name, room);
    // Another file's step may leave the line as it was.
    if (drawn_columns_ > 0 && line == drawn_) return;
    const std::size_t columns = display_columns(line);
    std::string padding;
    if (columns < drawn_columns_) padding.assign(drawn_columns_ - columns, ' ');
    err_ << ('\r' + line + padding) << std::flush;
    drawn_columns_ = columns + padding.size();
    drawn_ = std::move(line);
    shown_ = true;
  }

  // The file's own name, spelt as the log spells it.
  static std::string display_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return visible_text(slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1));
  }
  // Columns roughly: one per character, UTF-8 continuation bytes take none.
  static std::size_t display_columns(const std::string& text) {
    std::size_t columns = 0;
    for (const char c : text) {
      if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
    }
    return columns;
  }
  // The name's tail when it is too long, cut at a character boundary.
  static std::string fitted(const std::string& name, std::size_t room) {
    if (display_columns(name) <= room) return name;
    if (room <= 3) return std::string(room, '.');
    std::size_t start = name.size();
    std::size_t columns = 0;
    while (start > 0 && columns < room - 3) {
      --start;
      if ((static_cast<unsigned char>(name[start]) & 0xC0) != 0x80) ++columns;
    }
    return "..." + name.substr(start);
  }

  std::ostream& err_;
  bool enabled_;
  std::size_t width_;
  std::string drawn_;  // the line on the terminal, while drawn_columns_ > 0
  std::size_t files_;
  std::uint64_t bytes_;
  TClock::time_point start_;
  std::size_t started_ = 0;
  std::uint64_t done_bytes_ = 0;  // of the files that ended
  std::map<std::size_t, TRunning> running_;
  std::size_t drawn_columns_ = 0;
  bool shown_ = false;
};

// What is known of a listed file before the run: its size for the progress
// line, and what it is, so that one file named twice (or by two links) is
// never worked on twice at once.
struct TListedFile {
  std::uint64_t size = 0;
  std::optional<std::pair<dev_t, ino_t>> identity;
};

TListedFile listed_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return {static_cast<std::uint64_t>(st.st_size), std::pair{st.st_dev, st.st_ino}};
}

unsigned cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

class TFileSink;

// The run over the files, on up to `jobs` threads. Files start in the order
// given; each file's report goes out whole and in that order: the first
// file not yet reported writes as it goes, the ones after it keep their
// report until its turn. No file starts more than `jobs` places after the
// first one not reported, so no more than `jobs` reports are ever held.
// Two locks: the files' turns, and the streams, taken in that order only,
// so that a terminal that holds a write back (^S) holds no file's start.
class TRun final {
 public:
  TRun(const TCliOptions& options, const std::vector<TSourceFile>& sources, const TCliStreams& streams,
       TReportOutput& out, unsigned jobs)
      : options_(options), sources_(sources), streams_(streams), out_(out), jobs_(jobs), listed_(list_files(sources)),
        slots_(jobs), progress_(streams.err, streams.progress, streams.progress_width, listed_.size(), total_size()) {
    summary_.mode = options.mode;
  }

  // Takes files and works on them until none is left or the run stops.
  void work();

  // What a file's sink hands on, in the file's order.
  void emit(std::size_t index, std::string piece);
  void tool_error(const std::string& line);
  void set_position(std::size_t index, int position) {
    const std::lock_guard<std::mutex> lock(output_mutex_);
    progress_.set_position(index, position);
  }

  [[nodiscard]] const TRunSummary& summary() const { return summary_; }
  // After the run: the output folders it made that stayed empty go again.
  void remove_unused_folders() {
    // Removed from the end, so the deepest go first: a folder holding an
    // empty one is not empty.
    std::sort(unused_folders_.begin(), unused_folders_.end(),
              [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    remove_empty_folders(unused_folders_);
  }
  [[nodiscard]] bool all_succeeded() const { return all_succeeded_; }
  [[nodiscard]] bool progress_shown() const { return progress_.enabled(); }

 private:
  static std::vector<TListedFile> list_files(const std::vector<TSourceFile>& sources) {
    std::vector<TListedFile> listed;
    listed.reserve(sources.size());
    for (const TSourceFile& source : sources) listed.push_back(listed_file(source.path));
    return listed;
  }
  [[nodiscard]] std::uint64_t total_size() const {
    std::uint64_t bytes = 0;
    for (const TListedFile& file : listed_) bytes += file.size;
    return bytes;
  }

  struct TSlot {
    std::string pending;  // report held until the file's turn
    bool done = false;
  };
  struct TOutcome {
    std::optional<int> result;
    std::optional<std::string> output;
    bool succeeded = false;
  };

  std::optional<std::size_t> take();
  void run_file(std::size_t index);
  void finish(std::size_t index, const TOutcome& outcome, const TFileSink& sink);
  void write_now(std::string_view piece);
  TSlot& slot(std::size_t index) { return slots_[index % jobs_]; }
  [[nodiscard]] bool in_progress(const std::optional<std::pair<dev_t, ino_t>>& identity) const;

  const TCliOptions& options_;
  const std::vector<TSourceFile>& sources_;
  const TCliStreams& streams_;
  TReportOutput& out_;
  const unsigned jobs_;
  std::vector<TListedFile> listed_;

  std::mutex turns_mutex_;  // what follows, up to the streams
  std::condition_variable changed_;
  std::size_t next_ = 0;  // the next file to start
  std::size_t head_ = 0;  // the first file whose report has not all gone out
  std::vector<TSlot> slots_;
  std::vector<std::string> unused_folders_;
  TRunSummary summary_;
  bool all_succeeded_ = true;
  std::atomic<bool> output_failed_{false};
  std::mutex output_mutex_;  // out_, the progress line and standard error
  TProgressLine progress_;
};

// A file's log lines and progress, handed to the run.
class TFileSink final : public TReportSink {
 public:
  TFileSink(TRun& run, std::size_t index, bool json) : run_(run), index_(index), json_(json) {}

  void out_text(const std::string& text, std::uint8_t kind, bool) override {
    if (json_) {
      run_.emit(index_, json_log_line(kind, text, first_line_));
      first_line_ = false;
    } else {
      run_.emit(index_, std::string{kind_marker(kind), ' '} + visible_text(text) + '\n');
    }
  }
  [[nodiscard]] int progress_position() const override { return position_; }
  void set_progress_position(int position) override {
    position_ = position;
    if (run_.progress_shown()) run_.set_position(index_, position);
  }
  void pump_events() override {}
  [[nodiscard]] std::uint32_t wording(std::uint32_t k) const override { return tool_wording(k); }
  // The stop stays requested: the files in progress beside this one stop too.
  void file_stopped() override { stopped_ = true; }
  void damaged_places(std::uint32_t count) override { damaged_places_ = count; }

  // An error of the tool's own: on standard error, and in the file's JSON log.
  void tool_error(const std::string& path, const std::string& reason) {
    const std::string line = std::string(program_name) + ": " + path + ": " + reason;
    run_.tool_error(line);
    if (json_) {
      run_.emit(index_, json_log_line(mk_error, line, first_line_));
      first_line_ = false;
    }
  }

  [[nodiscard]] bool stopped() const { return stopped_; }
  [[nodiscard]] std::uint32_t damaged() const { return damaged_places_; }

 private:
  TRun& run_;
  std::size_t index_;
  bool json_;
  bool first_line_ = true;
  int position_ = 0;
  bool stopped_ = false;
  std::uint32_t damaged_places_ = 0;
};

// Installs a sink on this thread for the lifetime of the object.
class TSinkScope final {
 public:
  explicit TSinkScope(TReportSink* sink) { set_report_sink(sink); }
  ~TSinkScope() { set_report_sink(nullptr); }
  TSinkScope(const TSinkScope&) = delete;
  TSinkScope& operator=(const TSinkScope&) = delete;
};

void TRun::work() {
  while (const std::optional<std::size_t> index = take()) run_file(*index);
}

bool TRun::in_progress(const std::optional<std::pair<dev_t, ino_t>>& identity) const {
  if (!identity) return false;
  for (std::size_t i = head_; i < next_; ++i) {
    if (!slots_[i % jobs_].done && listed_[i].identity == identity) return true;
  }
  return false;
}

std::optional<std::size_t> TRun::take() {
  std::unique_lock<std::mutex> lock(turns_mutex_);
  for (;;) {
    // After a stop or once the report is lost, no file starts: the ones in
    // progress end, but another would change a file nobody hears about.
    if (interrupt_seen.load() || output_failed_.load() || next_ >= listed_.size()) return std::nullopt;
    if (next_ < head_ + jobs_ && !in_progress(listed_[next_].identity)) break;
    // Woken when a file ends; the time-out only bounds the wait for a signal.
    changed_.wait_for(lock, std::chrono::milliseconds(200));
  }
  const std::size_t index = next_++;
  slot(index) = TSlot{};
  return index;
}

void TRun::run_file(std::size_t index) {
  const TSourceFile& source = sources_[index];
  const std::string& path = source.path;
  TFileSink sink(*this, index, options_.json);
  const TSinkScope sink_scope(&sink);
  {
    const std::lock_guard<std::mutex> lock(output_mutex_);
    progress_.start_file(index, path, listed_[index].size);
  }
  if (options_.json) emit(index, json_file_start(path, index == 0));

  const TFileOperation operation = operation_for(options_.mode);
  // Only a repair reports a result ("result" is null otherwise) and, in
  // new-file mode, writes "Fixed." + name beside the source.
  const bool has_result = operation == TFileOperation::fix;
  TOutcome outcome;
  std::vector<std::string> made;
  if (const std::optional<std::string> reason = refusal(source, made)) {
    sink.tool_error(path, *reason);
    if (has_result) outcome.result = fix_not_repaired;
  } else {
    // A file whose header is gone is taken only into a new file.
    const THeaderRebuild rebuild{!options_.in_place, options_.reference.value_or(std::string())};
    const TFileStep step = run_file_step(operation, path, options_.in_place, source.output_folder, rebuild);
    // Folders made for a copy that never came are removed after the run:
    // another file in progress may be about to write into them.
    if (!step.output) {
      const std::lock_guard<std::mutex> lock(turns_mutex_);
      unused_folders_.insert(unused_folders_.end(), made.begin(), made.end());
    }
    // The other files and the JSON document still matter: the step went on.
    if (step.failure) sink.tool_error(path, step.failure->empty() ? std::string("unexpected error") : *step.failure);
    if (has_result) outcome.result = step.result;
    // Only what this run wrote: never a "Fixed." file left from before.
    outcome.output = step.output;
    outcome.succeeded = step.succeeded;
  }
  finish(index, outcome, sink);
}

void TRun::finish(std::size_t index, const TOutcome& outcome, const TFileSink& sink) {
  const std::lock_guard<std::mutex> lock(turns_mutex_);
  const std::lock_guard<std::mutex> output_lock(output_mutex_);
  progress_.end_file(index);
  if (outcome.succeeded) {
    ++summary_.succeeded;
  } else if (sink.stopped() || outcome.result == fix_stopped) {
    ++summary_.stopped;
  } else {
    ++summary_.failed;
  }
  summary_.damaged_places += sink.damaged();
  if (!outcome.succeeded) all_succeeded_ = false;

  TSlot& own = slot(index);
  if (options_.json) {
    const std::string end = json_file_end(outcome.result, outcome.output);
    if (index == head_) {
      write_now(end);
    } else {
      own.pending += end;
    }
  }
  own.done = true;
  // The file's turn, and that of each after it that is done or has begun.
  while (head_ < next_ && slot(head_).done) {
    out_.flush();
    if (out_.failed()) output_failed_.store(true);
    ++head_;
    if (head_ < next_ && !slot(head_).pending.empty()) {
      write_now(slot(head_).pending);
      std::string().swap(slot(head_).pending);
    }
  }
  changed_.notify_all();
}

void TRun::emit(std::size_t index, std::string piece) {
  std::unique_lock<std::mutex> lock(turns_mutex_);
  if (index != head_) {
    slot(index).pending += piece;
    return;
  }
  // The turn cannot pass on while this file is not done.
  lock.unlock();
  const std::lock_guard<std::mutex> output_lock(output_mutex_);
  write_now(piece);
}

void TRun::write_now(std::string_view piece) {
  if (!options_.json) progress_.hide();
  out_.write(piece);
  if (!options_.json) {
    // The progress line shares the terminal: the log line must show before it is redrawn.
    if (progress_.enabled()) out_.flush();
    progress_.redraw();
  }
  // Read by take(), which does not wait for the streams.
  if (out_.failed()) output_failed_.store(true);
}

void TRun::tool_error(const std::string& line) {
  const std::lock_guard<std::mutex> lock(output_mutex_);
  progress_.hide();
  streams_.err << visible_text(line) << '\n' << std::flush;
}

}  // namespace

int run_cli(const std::vector<std::string>& args, const TCliStreams& streams) {
  const TCliOptions options = parse_arguments(args);
  TReportOutput out(streams.out);
  switch (options.command) {
    case TCommand::help:
      out.write(usage_text());
      out.flush();
      return output_complete(out, streams.err) ? exit_all_repaired : exit_some_failed;
    case TCommand::version: {
      // The version stamped into the executable, as the window's About box
      // shows it; nothing after the name when the block is missing.
      TVersionStrings version;
      version.read_version_info(executable_path());
      out.write(std::string(program_name) + " (Reelwright) " + version.get_version_string(vtFileVersion) + '\n');
      out.flush();
      return output_complete(out, streams.err) ? exit_all_repaired : exit_some_failed;
    }
    case TCommand::usage_error:
      print_usage_error(streams.err, options.error);
      return exit_usage;
    case TCommand::run:
      break;
  }

  const TClock::time_point start = TClock::now();
  // Folders are walked before the first file is touched: a usage error found
  // there leaves everything alone, and no copy this run writes becomes a source.
  const TSourceList sources = gather_sources(options.files, options.walk);
  if (sources.usage_error) {
    print_usage_error(streams.err, *sources.usage_error);
    return exit_usage;
  }
  const auto files = static_cast<unsigned>(std::min<std::size_t>(sources.files.size(), max_jobs));
  const unsigned jobs = std::min(options.jobs == 0 ? cpu_count() : options.jobs, files);
  TJsonReport json(out);
  if (options.json) json.begin_document();
  TRun run(options, sources.files, streams, out, jobs);
  if (jobs <= 1) {
    run.work();
  } else {
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < jobs; ++i) workers.emplace_back([&run] { run.work(); });
    for (std::thread& worker : workers) worker.join();
  }
  run.remove_unused_folders();

  std::optional<TRunSummary> summary;
  if (sources.files.size() > 1) {
    summary = run.summary();
    summary->seconds = std::chrono::duration<double>(TClock::now() - start).count();
  }
  if (options.json) {
    json.end_document(summary);
  } else if (summary) {
    out.write(summary_text(*summary));
  }
  out.flush();
  const bool complete = output_complete(out, streams.err);

  if (interrupt_seen.load()) return exit_interrupted;
  return run.all_succeeded() && complete ? exit_all_repaired : exit_some_failed;
}

int run_cli(int argc, char** argv) {
  hold_closed_standard_streams();
  install_signal_handlers();
  if (!init_catalogue()) std::cerr << "Load lang DLL FAILED!" << std::endl;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const TCliStreams streams{std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, terminal_width(STDERR_FILENO)};
  return run_cli(args, streams);
}
