// One command on one file, as the window's batch and the command-line tool
// both run it: the operation, any unexpected error caught so the next file
// still gets its turn, and what the result means.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "engine/algorithm_unit.h"

enum class TFileOperation { fix, check, strip };

struct TFileStep {
  // The operation's own result (fix_*, check_*, strip_* of algorithm_unit.h);
  // after an unexpected error fix_not_repaired, check_failed or strip_kept.
  int result = 0;
  // Repaired, healthy, or an index removed.
  bool succeeded = false;
  // The text of the unexpected error that ended the operation, if one did.
  std::optional<std::string> failure;
  // The new file a repair wrote under the "Fixed." name, if it wrote one.
  std::optional<std::string> output;
};

// The engine's operation on one file. in_place applies to fix: the source
// itself is repaired, else "Fixed." + name is written beside it, or in
// `output_folder` when one is given; `rebuild` applies to a new file.
[[nodiscard]] TFileStep run_file_step(TFileOperation operation, const std::string& path, bool in_place,
                                      const std::string& output_folder = {}, const THeaderRebuild& rebuild = {});

// The same around any work that returns the operation's result.
[[nodiscard]] TFileStep run_step(TFileOperation operation, const std::function<int()>& work);
