// reelwright-fix: the walk over folders named on the command line.
#include "cli/source_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "engine/avi_structs.h"

namespace {

using TFileId = std::pair<dev_t, ino_t>;

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + '/' + name;
}

bool lower_ends_with(std::string_view name, std::string_view ending) {
  if (name.size() < ending.size()) return false;
  const std::string_view tail = name.substr(name.size() - ending.size());
  return std::equal(tail.begin(), tail.end(), ending.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

// The first bytes of a regular file; fewer when it is shorter or unreadable.
std::size_t read_head(const std::string& path, bool follow, unsigned char* head, std::size_t size) {
  // O_NONBLOCK: a FIFO put in place of the file since it was looked at must not block.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) return 0;
  struct stat st {};
  std::size_t got = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const ssize_t n = ::pread(fd, head, size, 0);
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  ::close(fd);
  return got;
}

class TWalk final {
 public:
  TWalk(const TWalkOptions& options, std::set<TFileId>& taken) : options_(options), taken_(taken) {
    struct stat st {};
    if (options.output_dir && ::stat(options.output_dir->c_str(), &st) == 0) output_dir_id_ = {st.st_dev, st.st_ino};
  }

  // The files below `root`, sorted by path; each one once in the run.
  std::vector<TSourceFile> files_of(const std::string& root) {
    found_.clear();
    walk(root, std::string());
    std::sort(found_.begin(), found_.end(), [](const TFound& a, const TFound& b) { return a.file.path < b.file.path; });
    std::vector<TSourceFile> files;
    for (TFound& f : found_) {
      // A file reached twice (a hard link, a link with -L) is repaired under
      // its first path.
      if (f.id && !taken_.insert(*f.id).second) continue;
      files.push_back(std::move(f.file));
    }
    return files;
  }

 private:
  struct TFound {
    TSourceFile file;
    std::optional<TFileId> id;
  };

  // `relative`: the folder's path below the folder argument, mirrored below -o.
  void walk(const std::string& folder, const std::string& relative) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
      // The output folder inside the walked one holds copies, no sources;
      // and with -L a link may lead back into a folder already walked.
      if (!relative.empty() && output_dir_id_ == TFileId{st.st_dev, st.st_ino}) return;
      if (!visited_.insert({st.st_dev, st.st_ino}).second) return;
    }
    std::vector<std::string> names;
    {
      const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
      if (!dir) {
        found_.push_back({{folder, std::string(), std::string(std::strerror(errno))}, std::nullopt});
        return;
      }
      errno = 0;
      while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
      }
      if (errno != 0) {
        found_.push_back({{folder, std::string(), std::string(std::strerror(errno))}, std::nullopt});
        return;
      }
    }
    // The same order on every run, so that two runs log alike.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = joined(folder, name);
      struct stat entry {};
      const int looked = options_.follow_links ? ::stat(path.c_str(), &entry) : ::lstat(path.c_str(), &entry);
      // Gone since it was listed, a broken link, or (without -L) any link.
      if (looked != 0) continue;
      const std::string below = joined(relative, name);
      if (S_ISDIR(entry.st_mode)) {
        walk(path, below);
        continue;
      }
      if (!S_ISREG(entry.st_mode)) continue;
      unsigned char head[12];
      const std::size_t got = read_head(path, options_.follow_links, head, sizeof head);
      if (!taken_from_folder(name, head, got)) continue;
      std::string output_folder;
      if (options_.output_dir) output_folder = joined(*options_.output_dir, relative);
      found_.push_back({{path, output_folder, std::nullopt}, TFileId{entry.st_dev, entry.st_ino}});
    }
  }

  const TWalkOptions& options_;
  std::set<TFileId>& taken_;
  std::optional<TFileId> output_dir_id_;
  std::set<TFileId> visited_;
  std::vector<TFound> found_;
};

bool is_folder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool taken_from_folder(const std::string& name, const unsigned char* head, std::size_t head_size) {
  if (written_by_repair(name)) return false;
  if (head_size >= 12 && std::memcmp(head, "RIFF", 4) == 0 &&
      (std::memcmp(head + 8, "AVI ", 4) == 0 || std::memcmp(head + 8, "AVIX", 4) == 0)) {
    return true;
  }
  // Damaged ones among them, which get the engine's own refusal when they
  // cannot be repaired.
  return lower_ends_with(name, ".avi") || lower_ends_with(name, ".divx");
}

TSourceList gather_sources(const std::vector<std::string>& args, const TWalkOptions& options) {
  TSourceList list;
  const std::string beside;
  const std::string& output_folder = options.output_dir ? *options.output_dir : beside;
  // Only where files may be reached twice: named files are repaired as often
  // as they are named, as before.
  const bool once = options.recursive || options.output_dir;
  struct stat out {};
  if (options.output_dir && ::stat(options.output_dir->c_str(), &out) == 0 && !S_ISDIR(out.st_mode)) {
    list.usage_error = "'" + *options.output_dir + "' is no folder";
    return list;
  }
  std::set<TFileId> taken;
  TWalk walk(options, taken);
  for (const std::string& arg : args) {
    if (is_folder(arg)) {
      if (!options.recursive) {
        list.usage_error = "'" + arg + "' is a folder; add -r to take the AVI files in it";
        return list;
      }
      for (TSourceFile& file : walk.files_of(arg)) list.files.push_back(std::move(file));
      continue;
    }
    struct stat st {};
    if (once && ::stat(arg.c_str(), &st) == 0 && !taken.insert({st.st_dev, st.st_ino}).second) continue;
    list.files.push_back({arg, output_folder, std::nullopt});
  }
  // Files of one name from different folders would have one copy in DIR:
  // a later one is refused rather than replace an earlier one's copy.
  std::map<std::string, std::string> first_of_copy;
  for (TSourceFile& file : list.files) {
    if (!options.output_dir || file.problem) continue;
    const auto [first, fresh] = first_of_copy.emplace(fixed_name(file.path, file.output_folder), file.path);
    if (!fresh) file.problem = "its copy would replace that of " + first->second;
  }
  return list;
}

std::optional<std::string> make_folders(const std::string& folder, std::vector<std::string>& made) {
  if (folder.empty()) return std::nullopt;
  std::vector<std::string> missing;
  std::string at = folder;
  while (!at.empty()) {
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return at + ": " + std::strerror(ENOTDIR);
      break;
    }
    if (errno != ENOENT) return at + ": " + std::strerror(errno);
    missing.push_back(at);
    while (!at.empty() && at.back() == '/') at.pop_back();
    const std::size_t slash = at.find_last_of('/');
    at = slash == std::string::npos ? std::string() : at.substr(0, slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) == 0) {
      made.push_back(*it);
    } else if (errno != EEXIST) {
      const std::string reason = *it + ": " + std::strerror(errno);
      remove_empty_folders(made);
      made.clear();
      return reason;
    }
  }
  return std::nullopt;
}

void remove_empty_folders(const std::vector<std::string>& made) {
  // rmdir leaves a folder that is not empty.
  for (auto it = made.rbegin(); it != made.rend(); ++it) ::rmdir(it->c_str());
}
