// The repair's entry points: fix_file, the old-index scan and the name of
// the repaired file.
#include "algorithm_unit.h"

#include <optional>
#include <vector>

#include "file_io.h"
#include "scan.h"

std::string fixed_name(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::string folder = path.substr(0, name_start);
  const std::string name = path.substr(name_start);
  const std::size_t dot = name.find_last_of('.');
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  const bool keeps = extension == ".avi" || extension == ".divx";
  return folder + "Fixed." + name + (keeps ? "" : ".avi");
}

std::string fixed_name(const std::string& path, const std::string& folder) {
  const std::string beside = fixed_name(path);
  if (folder.empty()) return beside;
  const std::string name = beside.substr(beside.find_last_of('/') + 1);
  return folder.back() == '/' ? folder + name : folder + '/' + name;
}

bool written_by_repair(std::string_view name) {
  if (name.starts_with("Fixed.")) return true;
  constexpr std::size_t random = TFileIO::temp_name_random;
  const auto private_name = [&](std::string_view prefix, std::string_view before_random) {
    return name.size() >= prefix.size() + before_random.size() + random && name.starts_with(prefix) &&
           name.substr(name.size() - random - before_random.size(), before_random.size()) == before_random;
  };
  return private_name(".Fixed.", partial_name_tag) || private_name(temp_index_prefix, "") ||
         private_name(temp_odml_index_prefix, "");
}

int fix_file(const std::string& path, std::uint8_t backup) {
  std::optional<std::string> written;
  return fix_file(path, backup, written);
}

int fix_file(const std::string& path, std::uint8_t backup, std::optional<std::string>& written,
             const std::string& output_folder, const THeaderRebuild& rebuild) {
  const auto mode = backup == 1 ? engine_detail::TScanMode::new_file : engine_detail::TScanMode::in_place;
  engine_detail::TScan repair(path, mode, false, output_folder, rebuild);
  const int result = repair.run_repair();
  written = repair.written();
  if (result != engine_detail::TScan::read_again) {
    report_sink()->damaged_places(repair.damage_count());
    return result;
  }
  engine_detail::TScan careful(path, mode, true, output_folder, rebuild);
  const int again = careful.run_repair();
  written = careful.written();
  report_sink()->damaged_places(careful.damage_count());
  return again;
}

std::uint32_t locate_old_index(TFileIO& source) {
  const std::uint64_t remembered = source.pos();
  const std::uint64_t size = source.size();
  std::vector<unsigned char> block(block_size);
  std::uint32_t result = 0;

  // Tail test: does the file end in two index entries 16 bytes apart?
  const std::uint64_t tail_start = size > block_size ? size - block_size : 0;
  const std::size_t n = source.read_at(tail_start, block.data(), static_cast<std::size_t>(size - tail_start));
  std::optional<std::size_t> stop;
  for (std::size_t k = n >= 4 ? n - 4 + 1 : 0; k-- > 0;) {
    const TFourCC s = to_fourcc(block.data() + k);
    if (is_data_id(s) || same_id(s, id_idx1)) {
      stop = k;
      break;
    }
  }
  const bool ends_in_index = stop && !same_id(to_fourcc(block.data() + *stop), id_idx1) && *stop >= 16 &&
                             is_data_id(to_fourcc(block.data() + *stop - 16));

  if (ends_in_index) {
    // Backward search for "idx1" in windows that share 4 bytes, so that an id
    // across a window border lies wholly in one of them.
    auto search = [&](std::uint64_t start, std::uint64_t length) -> std::optional<std::uint64_t> {
      const std::size_t got = source.read_at(start, block.data(), static_cast<std::size_t>(length));
      for (std::size_t k = got >= 4 ? got - 4 + 1 : 0; k-- > 0;) {
        if (same_id(to_fourcc(block.data() + k), id_idx1)) return start + k;
      }
      return std::nullopt;
    };
    std::optional<std::uint64_t> found;
    if (size <= block_size) {
      found = search(0, size);
    } else {
      constexpr std::uint64_t step = block_size - 4;
      std::uint64_t start = size - step;
      found = search(start, step);
      while (!found) {
        if (start < block_size) {
          found = search(0, start + 4);
          break;
        }
        start -= step;
        found = search(start, block_size);
      }
    }
    if (found) result = static_cast<std::uint32_t>(*found);
  }
  source.seek(remembered);
  return result;
}
