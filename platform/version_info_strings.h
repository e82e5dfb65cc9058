// The ten standard strings of an executable's version block, for --version
// and the About box. No Qt, so the command-line tool can use it too.
#pragma once

#include <array>
#include <string>

// Ordinals 0-9. Each string's key in the block is its name without the "vt"
// prefix.
enum TVersionType : int {
  vtCompanyName,
  vtFileDescription,
  vtFileVersion,
  vtInternalName,
  vtLegalCopyright,
  vtLegalTradeMark,
  vtOriginalFileName,
  vtProductName,
  vtProductVersion,
  vtComments,
};

inline constexpr int version_type_count = vtComments + 1;

class TVersionStrings {
 public:
  // Reads the strings of the US English, Windows-1252 table (040904E4) of
  // the executable at `exe_path`. A string that is not found, or all of them
  // when the file has no version block, keep their earlier value (empty at
  // first).
  void read_version_info(const std::string& exe_path);

  // The string; empty for an ordinal outside 0-9.
  [[nodiscard]] const std::string& get_version_string(TVersionType type) const;

 private:
  std::array<std::string, version_type_count> strings_;
};
