// Language modules through dlopen/dlsym.
#include "platform/lang_module.h"

#include "platform/version_block.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#ifndef REELWRIGHT_MODULE_DIR
#define REELWRIGHT_MODULE_DIR ""
#endif
#ifndef REELWRIGHT_MODULE_RELATIVE_DIR
#define REELWRIGHT_MODULE_RELATIVE_DIR ""
#endif

namespace {

// `folder` + `file_name`, with a '/' between them when `folder` lacks one.
std::string in_folder(const std::string& folder, const std::string& file_name) {
  return folder.back() == '/' ? folder + file_name : folder + '/' + file_name;
}

// The library's entry point, or nullptr when it is no language module.
TLoadStringFn find_load_string(TModuleHandle module) {
  void* symbol = dlsym(module, lang_module_symbol);
  // POSIX guarantees that an object pointer from dlsym converts to a function pointer.
  return reinterpret_cast<TLoadStringFn>(symbol);
}

// Opens one candidate file. A library without the entry point is closed again:
// loading an unrelated lang.so must not look like a language.
TModuleHandle open_module(const std::string& path) {
  TModuleHandle module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    return nullptr;
  }
  if (find_load_string(module) == nullptr) {
    dlclose(module);
    return nullptr;
  }
  return module;
}

}  // namespace

std::string locale_language(const char* lc_all, const char* lc_messages, const char* lang) {
  const char* decides = nullptr;
  for (const char* value : {lc_all, lc_messages, lang}) {
    if (value != nullptr && *value != '\0') {
      decides = value;
      break;
    }
  }
  if (decides == nullptr) return {};
  const std::string locale(decides);
  const std::string language = locale.substr(0, locale.find_first_of("_.@"));
  if (language.size() < 2 || language.size() > 3) return {};
  for (const char c : language) {
    if (c < 'a' || c > 'z') return {};
  }
  return language;
}

std::string desktop_language() {
  return locale_language(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::string lang_module_file_for(const std::string& language) { return "lang." + language + ".so"; }

TModuleHandle load_library(const std::string& file_name) {
  if (file_name.empty()) {
    return nullptr;
  }
  if (file_name.find('/') != std::string::npos) {
    return open_module(file_name);
  }
  // Beside the executable first, so a build tree or an unpacked copy uses its
  // own modules; then the installed ones, seen from the executable (a copy
  // installed under another prefix or DESTDIR), then where this build
  // installs them; then whatever the system finds.
  std::vector<std::string> candidates;
  if (const std::string folder = executable_folder(); !folder.empty()) {
    candidates.push_back(folder + file_name);
    if (const std::string relative = REELWRIGHT_MODULE_RELATIVE_DIR; !relative.empty()) {
      candidates.push_back(in_folder(folder + relative, file_name));
    }
  }
  if (const std::string installed = REELWRIGHT_MODULE_DIR; !installed.empty()) {
    candidates.push_back(in_folder(installed, file_name));
  }
  candidates.push_back(file_name);
  for (const std::string& candidate : candidates) {
    if (TModuleHandle module = open_module(candidate); module != nullptr) {
      return module;
    }
  }
  return nullptr;
}

int load_string(TModuleHandle module, std::uint32_t id, char* buffer, int buffer_size) {
  if (buffer == nullptr || buffer_size < 1) {
    return 0;
  }
  buffer[0] = '\0';
  if (module == nullptr) {
    return 0;
  }
  // Looked up on every call: a cached pointer could outlive a closed module.
  const TLoadStringFn load = find_load_string(module);
  if (load == nullptr) {
    return 0;
  }
  const int copied = load(id, buffer, buffer_size);
  // Distrust a module that claims more than fits: keep the result terminated.
  if (copied < 0 || copied >= buffer_size) {
    buffer[buffer_size - 1] = '\0';
    return copied < 0 ? 0 : buffer_size - 1;
  }
  return copied;
}

std::string executable_folder() {
  const std::string full = executable_path();
  const std::size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string{} : full.substr(0, slash + 1);
}
