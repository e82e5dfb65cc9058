// The version block of an executable: the layout of a Windows VS_VERSIONINFO
// resource (built by version_compile), kept in an ELF section of its own. The
// functions mirror GetFileVersionInfoSizeA, GetFileVersionInfoA and
// VerQueryValueA, so code written against those reads it the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The section that holds the block.
inline constexpr const char* version_section_name = ".rw_version";

// GetFileVersionInfoSizeA: the size in bytes of the version block of the
// ELF64 file at `path`; 0 when the file cannot be read, is no ELF64 file of
// this machine's byte order, has no such section or a damaged section table.
[[nodiscard]] std::uint32_t get_file_version_info_size(const std::string& path);

// GetFileVersionInfoA: the version block of the file into `data`. False (and
// `data` empty) whenever get_file_version_info_size would give 0.
bool get_file_version_info(const std::string& path, std::vector<unsigned char>& data);

// VerQueryValueA for a text value: `sub_block` is a path of keys separated by
// backslashes, "\StringFileInfo\040904E4\ProductName"; the leading backslash
// may be left out. Keys match regardless of case. The UTF-16 value is given
// as UTF-8. False for a missing key or block, a binary value (use the overload
// below) or a damaged block.
bool ver_query_value(const std::vector<unsigned char>& data, const std::string& sub_block,
                     std::string& value);

// VerQueryValueA for the raw bytes of a value: "\" gives the VS_FIXEDFILEINFO,
// "\VarFileInfo\Translation" the language and code page pairs. True when the
// node exists, even with an empty value.
bool ver_query_value(const std::vector<unsigned char>& data, const std::string& sub_block,
                     std::vector<unsigned char>& value);

// The path of the running executable, from /proc/self/exe (empty if unknown).
[[nodiscard]] std::string executable_path();
