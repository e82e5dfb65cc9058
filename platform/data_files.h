// Where the files the program ships (the user guide) are found: beside the
// executable in a build tree or unpacked copy, else in an installed data folder.
#pragma once

#include <string>

// The path of the shipped file `name`: the executable's folder + name if that
// file exists; else the installed data folder as seen from the executable
// (<bindir>/../share/reelwright, say), so a copy installed under another prefix
// or DESTDIR finds its own; else the folder this build installs its data to.
// When none holds the file, the executable's folder + name (just `name` if
// that folder is unknown): opening it then fails the way a missing file would.
[[nodiscard]] std::string find_data_file(const std::string& name);

// The translation of the shipped file `name` into `language` ("help.de.html"
// for "help.html" and "de") when the search finds one, else `name` itself.
[[nodiscard]] std::string find_data_file_in_language(const std::string& name, const std::string& language);

// The same search with the folders given; find_data_file passes the running
// program's. `exe_folder` empty (unknown) skips the first two places, and an
// empty `relative_data_dir` or `installed_data_dir` skips its own. The path
// found through `relative_data_dir` is returned without "..".
[[nodiscard]] std::string find_data_file_in(const std::string& name, const std::string& exe_folder,
                                            const std::string& relative_data_dir,
                                            const std::string& installed_data_dir);
