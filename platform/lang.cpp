// The message catalogue over the active language module.
#include "platform/lang.h"

#include <cstring>

TModuleHandle lang_module = nullptr;
std::uint32_t lang_base = 0;

void load_lang_string(TModuleHandle module, std::uint32_t id, std::string& text) {
  text.clear();
  // Fixed buffer on purpose: every call site expects texts of at most 255 bytes.
  char buffer[256];
  if (load_string(module, id, buffer, static_cast<int>(sizeof buffer)) != 0) {
    text.assign(buffer, strnlen(buffer, sizeof buffer));
  }
}

std::string message(std::uint32_t k) {
  std::string text;
  load_lang_string(lang_module, lang_base + k, text);
  return text;
}

bool init_catalogue() {
  lang_base = 10000;
  // Every module is installed: the desktop's language picks one, and the
  // default module stands in for a language without one (or a broken one).
  lang_module = nullptr;
  if (const std::string language = desktop_language(); !language.empty()) {
    lang_module = load_library(lang_module_file_for(language));
  }
  if (lang_module == nullptr) lang_module = load_library(lang_module_file_name);
  return lang_module != nullptr;
}
