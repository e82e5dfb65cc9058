#include "ui/main/file_list.h"

#include <algorithm>

#include "platform/lang.h"
#include "platform/message_ids.h"
#include "platform/message_kind.h"
#include "platform/path_info.h"

std::vector<TFile> file_list;

std::int64_t get_file_size(const std::string& path) {
  const TPathInfo info = path_info(path);
  if (info.kind == TPathKind::missing) return -1;
  return static_cast<std::int64_t>(info.size);
}

namespace {

TAddOutcome refusal(std::uint8_t kind, std::string text) { return TAddOutcome{false, kind, std::move(text)}; }

}  // namespace

TAddOutcome check_new_file(const std::string& path) {
  const bool listed =
      std::any_of(file_list.begin(), file_list.end(), [&](const TFile& f) { return f.path == path; });
  if (listed) return refusal(mk_warning, path + "  " + message(msg_already_listed));
  const std::int64_t size = get_file_size(path);
  if (size < min_file_size) return refusal(mk_error, path + "  " + message(msg_file_too_small));
  if (size >= max_file_size) return refusal(mk_error, message(msg_file_too_large) + path);
  return TAddOutcome{true, 0, {}};
}

void add_checked_file(const std::string& path) {
  TFile entry;
  entry.path = path;
  file_list.push_back(std::move(entry));
}
