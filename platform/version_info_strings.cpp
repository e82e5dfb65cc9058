// The version strings through the GetFileVersionInfo look-alikes.
#include "platform/version_info_strings.h"

#include <string_view>
#include <vector>

#include "platform/version_block.h"

namespace {

// Spelt as the enumerators; the key is the name without "vt". The block
// itself may spell a key in other case ("OriginalFilename"): the look-up
// ignores case. "LegalTradeMark" is no standard key, so blocks holding the
// usual "LegalTrademarks" leave it empty.
constexpr std::array<std::string_view, version_type_count> version_type_names = {
    "vtCompanyName",   "vtFileDescription",  "vtFileVersion", "vtInternalName",
    "vtLegalCopyright", "vtLegalTradeMark", "vtOriginalFileName", "vtProductName",
    "vtProductVersion", "vtComments",
};

}  // namespace

void TVersionStrings::read_version_info(const std::string& exe_path) {
  if (get_file_version_info_size(exe_path) == 0) return;
  std::vector<unsigned char> data;
  if (!get_file_version_info(exe_path, data)) return;
  for (int i = 0; i < version_type_count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    const std::string query = "StringFileInfo\\040904E4\\" + std::string(version_type_names[index].substr(2));
    std::string value;
    if (ver_query_value(data, query, value)) strings_[index] = std::move(value);
  }
}

const std::string& TVersionStrings::get_version_string(TVersionType type) const {
  static const std::string none;
  if (type < 0 || type >= version_type_count) return none;
  return strings_[static_cast<std::size_t>(type)];
}
