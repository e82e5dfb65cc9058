// reelwright-fix: which files a run takes from its arguments. A folder is
// walked for AVI files; with an output folder, each file learns where its
// repaired copy goes.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TWalkOptions {
  bool recursive = false;     // -r: folders are walked, and their subfolders
  bool follow_links = false;  // -L: links met in a folder are followed
  std::optional<std::string> output_dir;  // -o
};

// One file of the run.
struct TSourceFile {
  std::string path;           // as the engine is given it and the report names it
  std::string output_folder;  // where its "Fixed." copy goes; empty: beside it
  std::optional<std::string> problem;  // why it is not processed (a folder that cannot be read)
};

struct TSourceList {
  std::vector<TSourceFile> files;
  std::optional<std::string> usage_error;  // a folder named without -r
};

// The files of `args` in order: a named file as it is, a folder's files
// sorted by path. Without folders and output folder, exactly `args`.
[[nodiscard]] TSourceList gather_sources(const std::vector<std::string>& args, const TWalkOptions& options);

// Whether a file found in a folder is taken: an AVI file by its first 12
// bytes, whatever its name, or a file named *.avi or *.divx (any letter
// case) whatever its bytes; never one the repair wrote itself.
[[nodiscard]] bool taken_from_folder(const std::string& name, const unsigned char* head, std::size_t head_size);

// Makes `folder` and the folders above it that are missing; the ones made
// are appended to `made`, outermost first. The reason when it cannot (and
// none of them is left).
[[nodiscard]] std::optional<std::string> make_folders(const std::string& folder, std::vector<std::string>& made);
// Removes the folders of `made` that are still empty, innermost first.
void remove_empty_folders(const std::vector<std::string>& made);
