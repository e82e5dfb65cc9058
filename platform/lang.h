// The message catalogue: every user-visible text is message k, the string
// with identifier lang_base + k in the language module, looked up at use.
#pragma once

#include <cstdint>
#include <string>

#include "platform/lang_module.h"

// Written once at start-up (lang_base first), read-only afterwards.
extern TModuleHandle lang_module;
extern std::uint32_t lang_base;

// Sets `text` to the string `id` of `module`: at most 255 bytes; empty when
// the module is null or the string absent or empty. Never cached.
void load_lang_string(TModuleHandle module, std::uint32_t id, std::string& text);

// Message k of the active module (lang_base + k), for call sites that build lines.
[[nodiscard]] std::string message(std::uint32_t k);

// Start-up of the catalogue: lang_base := 10000, then the module is loaded:
// the desktop language's (lang.<language>.so) when there is one, else
// lang_module_file_name, each searched as load_library does. True when loaded.
bool init_catalogue();
