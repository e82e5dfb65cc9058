// What a path names, from one directory look-up: the window's file list, the
// batch commands and the command-line tool all ask here.
#pragma once

#include <cstdint>
#include <string>

enum class TPathKind { missing, regular, directory, other };

struct TPathInfo {
  TPathKind kind = TPathKind::missing;
  std::uint64_t size = 0;  // a regular file's size, else 0
  int error = 0;           // errno of a failed look-up (kind missing)
};

// Follows symbolic links, as opening the path would.
[[nodiscard]] TPathInfo path_info(const std::string& path);
