// reelwright-fix: runs the repair engine over the files named on the command
// line and reports in text or as one JSON document.
#include "cli/cli_unit.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <ostream>
#include <sstream>

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
  out << "Usage: " << program_name << " [--in-place | -o DIR] [-r [-L]] [--json] [--] FILE...\n"
      << "       " << program_name << " --check [-r [-L]] [--json] [--] FILE...\n"
      << "       " << program_name << " --strip-index [-r [-L]] [--json] [--] FILE...\n"
      << "Rebuilds the index of damaged AVI files, one after the other.\n"
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
      << "  --check     only report what is wrong with each FILE; nothing is written\n"
      << "  --strip-index  remove the index at the end of each FILE, nothing else\n"
      << "  --json      print one JSON document with each file's path, result (1\n"
      << "              repaired, 0 not repaired, -1 stopped; null for --check and\n"
      << "              --strip-index), output file and log; a usage error\n"
      << "              prints no JSON, only its message on standard error\n"
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
      << "\n"
      << "Exit status: 0 every file repaired (--check: no file has problems;\n"
      << "--strip-index: every index removed), 1 otherwise, 2 usage error,\n"
      << "130 interrupted (SIGINT or SIGTERM stop the file in progress).\n"
      << "When standard output cannot be written, the file in progress is\n"
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

// The "\r"-redrawn progress line on a terminal. It also keeps the indicator
// position the engine's progress rule reads back, drawn or not.
class TProgressLine final {
 public:
  TProgressLine(std::ostream& err, bool enabled, std::size_t width) : err_(err), enabled_(enabled), width_(width) {}

  void start_file(const std::string& path) {
    position_ = 0;
    name_ = display_name(path);
  }
  [[nodiscard]] int position() const { return position_; }
  void set_position(int position) {
    position_ = position;
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
  void end_file() {
    hide();
    shown_ = false;
  }
  [[nodiscard]] bool enabled() const { return enabled_; }

 private:
  void draw() {
    if (!enabled_) return;
    const int percent = position_ < 0 ? 0 : (position_ > 100 ? 100 : position_);
    std::string line = std::to_string(percent);
    line.insert(0, 3 - line.size(), ' ');
    line += "% ";
    // One column short of the width, so the line never wraps and "\r" returns to its start.
    const std::size_t room = width_ > line.size() + 1 ? width_ - line.size() - 1 : 0;
    line += fitted(name_, room);
    const std::size_t columns = display_columns(line);
    std::string padding;
    if (columns < drawn_columns_) padding.assign(drawn_columns_ - columns, ' ');
    err_ << ('\r' + line + padding) << std::flush;
    drawn_columns_ = columns + padding.size();
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
  std::string name_;
  int position_ = 0;
  std::size_t drawn_columns_ = 0;
  bool shown_ = false;
};

// Log lines to standard output as they come, each behind its kind marker.
class TTextSink final : public TReportSink {
 public:
  TTextSink(TReportOutput& out, TProgressLine& progress) : out_(out), progress_(progress) {}

  void out_text(const std::string& text, std::uint8_t kind, bool) override {
    progress_.hide();
    out_.write(std::string{kind_marker(kind), ' '} + visible_text(text) + '\n');
    // The progress line shares the terminal: the log line must show before it is redrawn.
    if (progress_.enabled()) out_.flush();
    progress_.redraw();
  }
  [[nodiscard]] int progress_position() const override { return progress_.position(); }
  void set_progress_position(int position) override { progress_.set_position(position); }
  void pump_events() override {}
  [[nodiscard]] std::uint32_t wording(std::uint32_t k) const override { return tool_wording(k); }

 private:
  TReportOutput& out_;
  TProgressLine& progress_;
};

// Log lines into the JSON document as they come.
class TJsonSink final : public TReportSink {
 public:
  TJsonSink(TJsonReport& report, TProgressLine& progress) : report_(report), progress_(progress) {}

  void out_text(const std::string& text, std::uint8_t kind, bool) override { report_.line(kind, text); }
  [[nodiscard]] int progress_position() const override { return progress_.position(); }
  void set_progress_position(int position) override { progress_.set_position(position); }
  void pump_events() override {}
  [[nodiscard]] std::uint32_t wording(std::uint32_t k) const override { return tool_wording(k); }

 private:
  TJsonReport& report_;
  TProgressLine& progress_;
};

// Installs a sink for the lifetime of the object.
class TSinkScope final {
 public:
  explicit TSinkScope(TReportSink* sink) { set_report_sink(sink); }
  ~TSinkScope() { set_report_sink(nullptr); }
  TSinkScope(const TSinkScope&) = delete;
  TSinkScope& operator=(const TSinkScope&) = delete;
};

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
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
      options.files.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
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
    } else if (const std::optional<bool> walk_option = parse_walk_option(args, i, options)) {
      if (!*walk_option) return options;
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
  if (options.files.empty()) {
    options.command = TCommand::usage_error;
    options.error = "no FILE given";
  } else if (options.in_place && options.mode != TMode::fix) {
    options.command = TCommand::usage_error;
    options.error = "--in-place applies to repairs only";
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

void TJsonReport::begin_document() { out_.write("{\"files\":["); }

void TJsonReport::begin_file(std::string_view path) {
  out_.write((first_file_ ? "\n{\"path\":" : ",\n{\"path\":") + json_string(path) + ",\"log\":[");
  first_file_ = false;
  first_line_ = true;
  in_file_ = true;
}

void TJsonReport::line(std::uint8_t kind, std::string_view text) {
  // Only a file's record has a log.
  if (!in_file_) return;
  out_.write((first_line_ ? "\n {\"kind\":" : ",\n {\"kind\":") + std::to_string(kind) + ",\"text\":" +
             json_string(text) + '}');
  first_line_ = false;
}

void TJsonReport::end_file(std::optional<int> result, const std::optional<std::string>& output) {
  out_.write("],\"result\":" + (result ? std::to_string(*result) : std::string("null")) +
             ",\"output\":" + (output ? json_string(*output) : std::string("null")) + '}');
  in_file_ = false;
}

void TJsonReport::end_document() { out_.write("]}\n"); }

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

  // Folders are walked before the first file is touched: a usage error found
  // there leaves everything alone, and no copy this run writes becomes a source.
  const TSourceList sources = gather_sources(options.files, options.walk);
  if (sources.usage_error) {
    print_usage_error(streams.err, *sources.usage_error);
    return exit_usage;
  }

  const TFileOperation operation = operation_for(options.mode);
  // Only a repair reports a result ("result" is null otherwise) and, in
  // new-file mode, writes "Fixed." + name beside the source.
  const bool has_result = operation == TFileOperation::fix;
  TProgressLine progress(streams.err, streams.progress, streams.progress_width);
  TJsonReport json(out);
  TTextSink text_sink(out, progress);
  TJsonSink json_sink(json, progress);
  TReportSink* sink = options.json ? static_cast<TReportSink*>(&json_sink) : &text_sink;
  const TSinkScope sink_scope(sink);
  // An error of the tool's own: on standard error, and in the file's JSON log.
  const auto report_error = [&](const std::string& path, const std::string& reason) {
    const std::string line = std::string(program_name) + ": " + path + ": " + reason;
    progress.hide();
    streams.err << visible_text(line) << '\n' << std::flush;
    if (options.json) json.line(mk_error, line);
  };

  if (options.json) json.begin_document();
  bool all_succeeded = true;
  for (const TSourceFile& source : sources.files) {
    const std::string& path = source.path;
    // Once standard output has failed the report is lost: the file in
    // progress was finished, but starting another would change files
    // nobody hears about.
    if (interrupt_seen.load() || out.failed()) break;
    if (options.json) json.begin_file(path);

    std::optional<int> result;
    std::optional<std::string> output;
    std::vector<std::string> made;
    if (const std::optional<std::string> reason = refusal(source, made)) {
      report_error(path, *reason);
      if (has_result) result = fix_not_repaired;
      all_succeeded = false;
    } else {
      progress.start_file(path);
      const TFileStep step = run_file_step(operation, path, options.in_place, source.output_folder);
      if (!step.output) remove_empty_folders(made);
      // The other files and the JSON document still matter: the step went on.
      if (step.failure) report_error(path, step.failure->empty() ? std::string("unexpected error") : *step.failure);
      progress.end_file();

      if (has_result) result = step.result;
      // Only what this run wrote: never a "Fixed." file left from before.
      output = step.output;
      if (!step.succeeded) all_succeeded = false;
    }
    if (options.json) json.end_file(result, output);
    out.flush();
  }

  if (options.json) json.end_document();
  out.flush();
  const bool complete = output_complete(out, streams.err);

  if (interrupt_seen.load()) return exit_interrupted;
  return all_succeeded && complete ? exit_all_repaired : exit_some_failed;
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
