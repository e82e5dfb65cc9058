// reelwright-fix: the repair engine for scripts and servers. Argument
// parsing, the text and JSON reports, and the run over the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/source_walk.h"

// Exit statuses.
inline constexpr int exit_all_repaired = 0;
inline constexpr int exit_some_failed = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_interrupted = 130;  // 128 + SIGINT, as shells report it

// What is done to each file. The mode picks the per-file operation.
enum class TMode : std::uint8_t {
  fix,
  check,        // --check: a read-only diagnosis
  strip_index,  // --strip-index: removes a trailing index
};

// What the command line asks for.
enum class TCommand : std::uint8_t {
  run,
  help,
  version,
  usage_error,
};

struct TCliOptions {
  TCommand command = TCommand::run;
  TMode mode = TMode::fix;
  bool in_place = false;
  bool json = false;
  // --reference: the header list a file whose own is gone is read behind.
  std::optional<std::string> reference;
  TWalkOptions walk;  // folders (-r, -L) and the output folder (-o)
  // -j: files worked on at the same time; 0 until resolved means one per CPU.
  unsigned jobs = 1;
  std::vector<std::string> files;
  std::string error;  // the complaint, for usage_error
};

// Parses the arguments after the program name. Options may stand before and
// between files; "--" ends them. --help and --version win when met before
// anything wrong.
[[nodiscard]] TCliOptions parse_arguments(const std::vector<std::string>& args);

// `text` as a quoted JSON string. Quotes, backslashes and control characters
// are escaped; each byte that is not part of a valid UTF-8 sequence becomes
// U+FFFD, since JSON text must be Unicode and file names need not be.
[[nodiscard]] std::string json_string(std::string_view text);

// `text` as the text report shows it on a terminal: a control character
// (C0, DEL or C1) in a file name must not move the cursor or start an escape
// sequence, and each escape must read back one way. Tab, line feed and
// carriage return become \t, \n and \r, the other controls \xHH for each of
// their bytes (two upper-case hex digits), and so does each byte that is no
// part of valid UTF-8; a backslash becomes \\; everything else is kept.
[[nodiscard]] std::string visible_text(std::string_view text);

// Standard output, watched: the first write that fails is remembered with its
// reason (from errno), since a report that never arrived must not pass for
// one that did. Later writes are dropped by the stream itself.
class TReportOutput final {
 public:
  explicit TReportOutput(std::ostream& out) : out_(out) {}
  void write(std::string_view text);
  void flush();
  [[nodiscard]] bool failed() const { return error_.has_value(); }
  [[nodiscard]] const std::optional<std::string>& error() const { return error_; }

 private:
  void check();
  std::ostream& out_;
  std::optional<std::string> error_;
};

// The pieces of the JSON document, for a run that writes a file's part
// when its turn comes.
[[nodiscard]] std::string json_file_start(std::string_view path, bool first_file);
[[nodiscard]] std::string json_log_line(std::uint8_t kind, std::string_view text, bool first_line);
[[nodiscard]] std::string json_file_end(std::optional<int> result, const std::optional<std::string>& output);

// What a run over several files came to, for the summary after them.
struct TRunSummary {
  TMode mode = TMode::fix;
  // fix: repaired, not repaired, stopped; check: clean, with problems,
  // stopped; strip_index: removed, kept (a strip cannot be stopped).
  std::size_t succeeded = 0;
  std::size_t failed = 0;
  std::size_t stopped = 0;
  std::uint64_t damaged_places = 0;
  double seconds = 0;
};
// The summary's lines in the text report, and its JSON object.
[[nodiscard]] std::string summary_text(const TRunSummary& summary);
[[nodiscard]] std::string summary_json(const TRunSummary& summary);

// The JSON document, written as the run goes: a file's log lines go out as
// they come, its result and output after them, so memory does not grow with
// the log. Holds nothing but where it is in the document.
class TJsonReport final {
 public:
  explicit TJsonReport(TReportOutput& out) : out_(out) {}
  void begin_document();
  void begin_file(std::string_view path);
  void line(std::uint8_t kind, std::string_view text);
  void end_file(std::optional<int> result, const std::optional<std::string>& output);
  // The summary object, when given, follows "files".
  void end_document(const std::optional<TRunSummary>& summary = std::nullopt);

 private:
  TReportOutput& out_;
  bool first_file_ = true;
  bool first_line_ = true;
  bool in_file_ = false;
};

// Where a run writes. progress: draw the progress line on err (a terminal).
struct TCliStreams {
  std::ostream& out;
  std::ostream& err;
  bool progress = false;
  std::size_t progress_width = 80;  // terminal columns available
};

// The run after process set-up: parses `args` and processes the files,
// reporting to `streams`. Returns the exit status.
int run_cli(const std::vector<std::string>& args, const TCliStreams& streams);

// The whole program: signal handling, the message catalogue, standard streams.
int run_cli(int argc, char** argv);
