#include "platform/path_info.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

TPathInfo from_stat(int status, const struct stat& info) {
  if (status != 0) return TPathInfo{TPathKind::missing, 0, errno};
  if (S_ISREG(info.st_mode)) return TPathInfo{TPathKind::regular, static_cast<std::uint64_t>(info.st_size), 0};
  return TPathInfo{S_ISDIR(info.st_mode) ? TPathKind::directory : TPathKind::other, 0, 0};
}

}  // namespace

TPathInfo path_info(const std::string& path) {
  struct stat info {};
  const int status = ::stat(path.c_str(), &info);
  return from_stat(status, info);
}
