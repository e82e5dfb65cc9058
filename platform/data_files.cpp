// Finding the files the program ships.
#include "platform/data_files.h"

#include "platform/lang_module.h"

#include <filesystem>
#include <system_error>

#ifndef REELWRIGHT_DATA_DIR
#define REELWRIGHT_DATA_DIR ""
#endif
#ifndef REELWRIGHT_DATA_RELATIVE_DIR
#define REELWRIGHT_DATA_RELATIVE_DIR ""
#endif

namespace {

namespace fs = std::filesystem;

// A folder of that name does not count; nor does a path we may not look at.
bool is_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

}  // namespace

std::string find_data_file_in(const std::string& name, const std::string& exe_folder,
                              const std::string& relative_data_dir,
                              const std::string& installed_data_dir) {
  const fs::path beside = fs::path(exe_folder) / name;
  // Without the executable's folder its two places would be relative to the
  // working folder, which holds nothing of ours.
  if (!exe_folder.empty()) {
    if (is_file(beside)) {
      return beside.string();
    }
    if (!relative_data_dir.empty()) {
      const fs::path relocated = (fs::path(exe_folder) / relative_data_dir / name).lexically_normal();
      if (is_file(relocated)) {
        return relocated.string();
      }
    }
  }
  if (!installed_data_dir.empty()) {
    if (const fs::path installed = fs::path(installed_data_dir) / name; is_file(installed)) {
      return installed.string();
    }
  }
  return beside.string();
}

std::string find_data_file(const std::string& name) {
  return find_data_file_in(name, executable_folder(), REELWRIGHT_DATA_RELATIVE_DIR,
                           REELWRIGHT_DATA_DIR);
}

std::string find_data_file_in_language(const std::string& name, const std::string& language) {
  if (!language.empty()) {
    const std::size_t dot = name.rfind('.');
    const std::string translated = dot == std::string::npos
                                       ? name + '.' + language
                                       : name.substr(0, dot) + '.' + language + name.substr(dot);
    if (std::string found = find_data_file(translated); is_file(found)) return found;
  }
  return find_data_file(name);
}
