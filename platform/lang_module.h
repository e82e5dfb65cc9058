// The language module: a shared library carrying one string table, loaded
// with dlopen. Stands in for LoadLibraryA/LoadStringA of the original design.
#pragma once

#include <cstdint>
#include <string>

using TModuleHandle = void*;

// File name of the active language module, beside the executable.
inline constexpr const char* lang_module_file_name = "lang.so";

// Symbol every language module exports; the signature mirrors LoadStringA:
// copies at most buffer_size - 1 bytes of string `id` and a NUL, returns the
// number of bytes copied (0 when the id is absent or empty).
inline constexpr const char* lang_module_symbol = "reelwright_load_string";
using TLoadStringFn = int (*)(std::uint32_t id, char* buffer, int buffer_size);

// The language the desktop asks for, from the locale variables as given:
// the first of LC_ALL, LC_MESSAGES, LANG that is set and not empty decides,
// as it does for every program; its language part ("de_DE.UTF-8" -> "de")
// is the answer. Empty for "C" and "POSIX" (any variant), and for anything
// that is not two or three letters, which could never name a module file.
[[nodiscard]] std::string locale_language(const char* lc_all, const char* lc_messages, const char* lang);
// The same from this process's environment.
[[nodiscard]] std::string desktop_language();
// The module file of a language: "lang.de.so" for "de".
[[nodiscard]] std::string lang_module_file_for(const std::string& language);

// Loads a module by bare file name, searching in this order: the folder of the
// running executable, the installed module folder as seen from the executable
// (<bindir>/../lib/reelwright, say), the folder this build installs its
// modules to, then the system's default library search. Returns nullptr when not found or
// when the file is not a language module. A name with a '/' is loaded as given.
[[nodiscard]] TModuleHandle load_library(const std::string& file_name);

// LoadStringA: the string with identifier `id` into buffer (at most
// buffer_size - 1 bytes and a terminating NUL); the number of bytes copied.
// 0 for a null module, an absent or empty string, or buffer_size < 1.
int load_string(TModuleHandle module, std::uint32_t id, char* buffer, int buffer_size);

// The folder of the running executable, with a trailing '/' (empty if unknown).
[[nodiscard]] std::string executable_folder();
