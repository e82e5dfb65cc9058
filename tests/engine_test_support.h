// Shared pieces of the engine tests: a sink that records what the engine
// reports, the English catalogue, and running a repair on built bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "avi_builder.h"
#include "engine/reporting.h"

namespace avitest {

struct TLine {
  std::string text;
  std::uint8_t kind = 0;
  bool operator==(const TLine&) const = default;
};

void PrintTo(const TLine& line, std::ostream* os);

class TRecordingSink final : public TReportSink {
 public:
  TRecordingSink();
  ~TRecordingSink() override;
  void out_text(const std::string& text, std::uint8_t kind, bool show_box) override;
  [[nodiscard]] int progress_position() const override { return position_; }
  void set_progress_position(int position) override;
  void pump_events() override;

  std::vector<TLine> lines;
  std::vector<int> positions;  // every position the indicator was moved to
  int pumps = 0;
  bool any_box = false;
  // Called on every pump with its count: lets a test press Stop mid-file.
  std::function<void(int)> on_pump;
  // Called after each line is recorded: lets a test act while a file is open.
  std::function<void(const TLine&)> on_line;

 private:
  int position_ = 0;
};

// Loads the English module into the catalogue once per process.
void use_english_catalogue();

// Message k of the catalogue, as the engine looks it up.
std::string msg(std::uint32_t k);

// The outcome of one repair of `bytes` written to a file named `name`.
struct TRun {
  int result = 0;
  std::string source_path;
  TBytes source_before;
  TBytes source_after;
  bool output_exists = false;
  TBytes output;  // the Fixed. file (new-file mode) or the rewritten source
  std::vector<TLine> lines;
  std::vector<std::string> temp_left;  // files left in the temporary folder
};

TRun run_fix(const TBytes& bytes, bool new_file, const std::string& name = "clip.avi");

// The header as a repair leaves it for a file of `file_size` bytes: the RIFF
// size, avih's dwTotalFrames and each stream's dwLength.
void put_lengths(TBytes& bytes, const TAvi& avi, std::size_t file_size, std::uint32_t frames,
                 const std::vector<std::uint32_t>& lengths);

// The line a repair writes when it leaves out a chunk cut off at the end.
TLine cut_off_line(std::size_t offset, std::size_t bytes);

// A check of `bytes` written as a file; the file must stay unchanged and no
// temporary file be made.
struct TCheck {
  int result = 0;
  std::vector<TLine> lines;
  std::string path;
};
TCheck check(const TBytes& bytes);

// How many lines begin with message k.
std::size_t count_lines(const std::vector<TLine>& lines, std::uint32_t k);

// The lines every successful repair ends with.
std::vector<TLine> closing_lines(const std::string& path, std::uint32_t damage_count);

}  // namespace avitest
