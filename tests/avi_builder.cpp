// Small AVI files for the tests, written field by field.
#include "avi_builder.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace avitest {

void put_le32(TBytes& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get_le32(const TBytes& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | bytes.at(at + static_cast<std::size_t>(i));
  return v;
}

void append_le32(TBytes& bytes, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

static void put_le16(TBytes& bytes, std::size_t at, std::uint16_t v) {
  bytes[at] = static_cast<std::uint8_t>(v);
  bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

static void append_le16(TBytes& bytes, std::uint16_t v) {
  bytes.push_back(static_cast<std::uint8_t>(v));
  bytes.push_back(static_cast<std::uint8_t>(v >> 8));
}

void append_id(TBytes& bytes, const std::string& id) {
  if (id.size() != 4) throw std::invalid_argument("a four-character code needs 4 bytes: " + id);
  bytes.insert(bytes.end(), id.begin(), id.end());
}

TBytes filled(std::size_t size, std::uint8_t value) { return TBytes(size, value); }

TBytes mpeg4_frame(std::size_t size, bool key, std::uint8_t fill) {
  TBytes d(size, fill);
  const std::uint8_t head[] = {0x00, 0x00, 0x01, 0xB6, static_cast<std::uint8_t>(key ? 0x10 : 0x50)};
  for (std::size_t i = 0; i < sizeof head && i < size; ++i) d[i] = head[i];
  return d;
}

TAviBuilder::TAviBuilder() = default;

TAviBuilder& TAviBuilder::stream(const TStreamDescription& description) {
  streams_.push_back(description);
  return *this;
}

TAviBuilder& TAviBuilder::chunk(const std::string& id, const TBytes& data) {
  items_.push_back({TMoviItem::TKind::chunk, id, data, false, 0});
  key_.push_back(false);
  return *this;
}

TAviBuilder& TAviBuilder::chunk_with_size(const std::string& id, const TBytes& data, std::uint32_t size_field) {
  items_.push_back({TMoviItem::TKind::chunk, id, data, true, size_field});
  key_.push_back(false);
  return *this;
}

TAviBuilder& TAviBuilder::video(std::size_t size, bool key, int stream) {
  const std::string id = std::string(1, static_cast<char>('0' + stream / 10)) +
                         std::string(1, static_cast<char>('0' + stream % 10)) + "dc";
  chunk(id, mpeg4_frame(size, key));
  key_.back() = key;
  return *this;
}

TAviBuilder& TAviBuilder::audio(std::size_t size, int stream) {
  const std::string id = std::string(1, static_cast<char>('0' + stream / 10)) +
                         std::string(1, static_cast<char>('0' + stream % 10)) + "wb";
  return chunk(id, filled(size, 0xA5));
}

TAviBuilder& TAviBuilder::junk(std::size_t size) {
  items_.push_back({TMoviItem::TKind::junk, "JUNK", filled(size, 0), false, 0});
  key_.push_back(false);
  return *this;
}

TAviBuilder& TAviBuilder::list(const std::string& type) {
  items_.push_back({TMoviItem::TKind::list_begin, type, {}, false, 0});
  key_.push_back(false);
  return *this;
}

TAviBuilder& TAviBuilder::raw(const TBytes& bytes) {
  items_.push_back({TMoviItem::TKind::raw, "", bytes, false, 0});
  key_.push_back(false);
  return *this;
}

TAviBuilder& TAviBuilder::list_entries(bool on) {
  list_entries_ = on;
  return *this;
}

TAviBuilder& TAviBuilder::with_index(bool on) {
  index_ = on;
  return *this;
}

TAviBuilder& TAviBuilder::header_junk(std::size_t size) {
  header_junk_ = size;
  return *this;
}

TAviBuilder& TAviBuilder::header_lengths(bool on) {
  header_lengths_ = on;
  return *this;
}

TAviBuilder& TAviBuilder::extent() {
  items_.push_back({TMoviItem::TKind::extent, "AVIX", {}, false, 0});
  key_.push_back(false);
  return *this;
}

TAviBuilder& TAviBuilder::opendml(std::size_t room) {
  opendml_ = true;
  super_room_ = room;
  return *this;
}

TAviBuilder& TAviBuilder::opendml_rooms(std::size_t room) {
  growth_room_ = room;
  return *this;
}

TAviBuilder& TAviBuilder::trailer(const TBytes& bytes) {
  trailer_ = bytes;
  return *this;
}

static void append_chunk(TBytes& out, const std::string& id, const TBytes& data) {
  append_id(out, id);
  append_le32(out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() % 2 != 0) out.push_back(0);  // pad byte, not counted in the size
}

static TBytes stream_header(const TStreamDescription& s) {
  TBytes h;
  append_id(h, s.type);          // fccType
  append_id(h, s.handler);       // fccHandler
  append_le32(h, 0);             // dwFlags
  append_le16(h, 0);             // wPriority
  append_le16(h, 0);             // wLanguage
  append_le32(h, 0);             // dwInitialFrames
  append_le32(h, s.scale);       // dwScale
  append_le32(h, s.rate);        // dwRate
  append_le32(h, 0);             // dwStart
  append_le32(h, 0);             // dwLength
  append_le32(h, 0);             // dwSuggestedBufferSize
  append_le32(h, 0xFFFFFFFF);    // dwQuality
  append_le32(h, s.sample_size); // dwSampleSize
  for (int i = 0; i < 4; ++i) append_le16(h, 0);  // rcFrame
  return h;
}

static TBytes stream_format(const TStreamDescription& s) {
  TBytes f;
  if (s.type == "vids") {
    append_le32(f, static_cast<std::uint32_t>(40 + s.extradata.size()));  // biSize
    append_le32(f, 64);   // biWidth
    append_le32(f, 48);   // biHeight
    append_le16(f, 1);    // biPlanes
    append_le16(f, 24);   // biBitCount
    append_id(f, s.compression);  // biCompression
    for (int i = 0; i < 5; ++i) append_le32(f, 0);  // biSizeImage .. biClrImportant
    f.insert(f.end(), s.extradata.begin(), s.extradata.end());
  } else {
    append_le16(f, 0x55);   // wFormatTag: MP3
    append_le16(f, 2);      // nChannels
    append_le32(f, 44100);  // nSamplesPerSec
    append_le32(f, 16000);  // nAvgBytesPerSec
    append_le16(f, 1);      // nBlockAlign
    append_le16(f, 0);      // wBitsPerSample
    append_le16(f, 0);      // cbSize
  }
  return f;
}

TAvi TAviBuilder::build() const {
  std::vector<TStreamDescription> streams = streams_;
  if (streams.empty()) {
    streams.push_back(TStreamDescription{});
    streams.push_back(TStreamDescription{"auds", "\0\0\0\0", "", 1, 44100});
    streams.back().handler = std::string(4, '\0');
  }
  TAvi avi;
  TBytes& b = avi.bytes;
  append_id(b, "RIFF");
  append_le32(b, 0);  // RIFF size, patched at the end
  append_id(b, "AVI ");
  append_id(b, "LIST");
  const std::size_t hdrl_size_at = b.size();
  append_le32(b, 0);
  append_id(b, "hdrl");
  TBytes avih;
  append_le32(avih, 40000);  // dwMicroSecPerFrame
  for (int i = 0; i < 13; ++i) append_le32(avih, 0);
  avi.total_frames_at = static_cast<std::uint32_t>(b.size() + 8 + 16);
  append_chunk(b, "avih", avih);
  for (const auto& s : streams) {
    append_id(b, "LIST");
    const std::size_t strl_size_at = b.size();
    append_le32(b, 0);
    append_id(b, "strl");
    avi.length_at.push_back(static_cast<std::uint32_t>(b.size() + 8 + 32));
    append_chunk(b, "strh", stream_header(s));
    append_chunk(b, "strf", stream_format(s));
    if (opendml_) {
      // Filled in once the standard index chunks are written.
      avi.indx_at.push_back(static_cast<std::uint32_t>(b.size() + 8));
      append_chunk(b, "indx", TBytes(24 + 16 * super_room_, 0));
    } else if (growth_room_ > 0) {
      append_chunk(b, "JUNK", TBytes(24 + 16 * growth_room_, 0));
    }
    put_le32(b, strl_size_at, static_cast<std::uint32_t>(b.size() - strl_size_at - 4));
  }
  if (opendml_) {
    append_id(b, "LIST");
    append_le32(b, 4 + 8 + 248);
    append_id(b, "odml");
    avi.dmlh_frames_at = static_cast<std::uint32_t>(b.size() + 8);
    append_chunk(b, "dmlh", TBytes(248, 0));
  } else if (growth_room_ > 0) {
    append_chunk(b, "JUNK", TBytes(4 + 8 + 248, 0));
  }
  put_le32(b, hdrl_size_at, static_cast<std::uint32_t>(b.size() - hdrl_size_at - 4));
  if (header_junk_ > 0) {
    // No pad byte either: the header walk steps by the size alone.
    append_id(b, "JUNK");
    append_le32(b, static_cast<std::uint32_t>(header_junk_));
    b.insert(b.end(), header_junk_, 0);
  }

  append_id(b, "LIST");
  const std::size_t movi_size_at = b.size();
  append_le32(b, 0);
  avi.movi_pos = static_cast<std::uint32_t>(b.size());
  append_id(b, "movi");

  std::vector<TEntry> entries;
  std::vector<std::size_t> open_lists;
  // OpenDML: the current extent's chunks per stream (data offset, size, key),
  // and per stream every standard index chunk (offset, size, entries).
  struct TStdEntry {
    std::uint64_t data;
    std::uint32_t size;
    bool key;
  };
  std::vector<std::vector<TStdEntry>> extent_chunks(streams.size());
  std::vector<std::vector<std::array<std::uint64_t, 3>>> super_entries(streams.size());
  std::size_t extents = 0;
  std::size_t riff_size_at = 4;
  std::size_t current_movi_size_at = movi_size_at;
  std::uint64_t current_movi_pos = avi.movi_pos;
  auto close_movi = [&] {
    for (const std::size_t at : open_lists) put_le32(b, at, static_cast<std::uint32_t>(b.size() - at - 4));
    open_lists.clear();
    if (opendml_) {
      for (std::size_t n = 0; n < streams.size(); ++n) {
        const std::string digits = std::string(1, static_cast<char>('0' + n / 10)) + static_cast<char>('0' + n % 10);
        const std::uint64_t at = b.size();
        avi.ix_pos.push_back(at);
        append_id(b, "ix" + digits);
        append_le32(b, static_cast<std::uint32_t>(24 + 8 * extent_chunks[n].size()));
        append_le16(b, 2);  // wLongsPerEntry
        b.push_back(0);     // bIndexSubType
        b.push_back(1);     // bIndexType: index of chunks
        append_le32(b, static_cast<std::uint32_t>(extent_chunks[n].size()));
        append_id(b, digits + (streams[n].type == "vids" ? "dc" : "wb"));
        append_le32(b, static_cast<std::uint32_t>(current_movi_pos));  // qwBaseOffset
        append_le32(b, static_cast<std::uint32_t>(current_movi_pos >> 32));
        append_le32(b, 0);  // dwReserved
        for (const TStdEntry& e : extent_chunks[n]) {
          append_le32(b, static_cast<std::uint32_t>(e.data - current_movi_pos));
          append_le32(b, e.size | (e.key ? 0u : 0x80000000u));
        }
        super_entries[n].push_back({at, 8 + 24 + 8 * extent_chunks[n].size(), extent_chunks[n].size()});
        extent_chunks[n].clear();
      }
    }
    put_le32(b, current_movi_size_at, static_cast<std::uint32_t>(b.size() - current_movi_pos));
  };
  auto write_old_index = [&] {
    if (!index_) return;
    avi.idx1_pos = static_cast<std::uint32_t>(b.size());
    append_id(b, "idx1");
    append_le32(b, static_cast<std::uint32_t>(entries.size() * 16));
    for (const auto& e : entries) {
      append_id(b, e.id);
      append_le32(b, e.flags);
      append_le32(b, e.offset);
      append_le32(b, e.size);
    }
  };
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const TMoviItem& item = items_[i];
    switch (item.kind) {
      case TMoviItem::TKind::extent:
        close_movi();
        if (extents == 0) write_old_index();
        put_le32(b, riff_size_at, static_cast<std::uint32_t>(b.size() - riff_size_at - 4));
        avi.riff_pos.push_back(b.size());
        append_id(b, "RIFF");
        riff_size_at = b.size();
        append_le32(b, 0);
        append_id(b, "AVIX");
        append_id(b, "LIST");
        current_movi_size_at = b.size();
        append_le32(b, 0);
        current_movi_pos = b.size();
        avi.extent_movi_pos.push_back(current_movi_pos);
        append_id(b, "movi");
        ++extents;
        break;
      case TMoviItem::TKind::chunk: {
        const std::uint32_t pos = static_cast<std::uint32_t>(b.size());
        avi.chunk_pos.push_back(pos);
        append_id(b, item.id);
        append_le32(b, item.has_size_override ? item.size_override : static_cast<std::uint32_t>(item.data.size()));
        b.insert(b.end(), item.data.begin(), item.data.end());
        if (item.data.size() % 2 != 0) b.push_back(0);
        const bool audio = item.id.substr(2) == "wb";
        const bool key = (audio && !item.data.empty()) || (key_[i] && !item.data.empty());
        if (extents == 0) {
          entries.push_back({item.id, key ? 0x10u : 0u, pos - avi.movi_pos, static_cast<std::uint32_t>(item.data.size())});
        }
        if (opendml_ && item.id.size() == 4 && std::isdigit(item.id[0]) && std::isdigit(item.id[1])) {
          const auto n = static_cast<std::size_t>((item.id[0] - '0') * 10 + (item.id[1] - '0'));
          if (n < streams.size()) {
            extent_chunks[n].push_back({pos + 8u, static_cast<std::uint32_t>(item.data.size()), key});
          }
        }
        break;
      }
      case TMoviItem::TKind::junk:
        // Written without a pad byte: a JUNK chunk is stepped over by its
        // size alone.
        append_id(b, "JUNK");
        append_le32(b, static_cast<std::uint32_t>(item.data.size()));
        b.insert(b.end(), item.data.begin(), item.data.end());
        break;
      case TMoviItem::TKind::list_begin:
        if (list_entries_ && extents == 0) {
          entries.push_back({item.id, 0x1u, static_cast<std::uint32_t>(b.size()) - avi.movi_pos, 0});
        }
        append_id(b, "LIST");
        open_lists.push_back(b.size());
        append_le32(b, 0);
        append_id(b, item.id);
        break;
      case TMoviItem::TKind::raw:
        b.insert(b.end(), item.data.begin(), item.data.end());
        break;
    }
  }
  if (extents > 0 || opendml_) close_movi();
  if (opendml_) {
    for (std::size_t n = 0; n < streams.size(); ++n) {
      const std::size_t at = avi.indx_at[n];
      put_le16(b, at, 4);  // wLongsPerEntry
      b[at + 2] = 0;       // bIndexSubType
      b[at + 3] = 0;       // bIndexType: index of indexes
      const std::size_t used = std::min(super_entries[n].size(), super_room_);
      put_le32(b, at + 4, static_cast<std::uint32_t>(used));
      const std::string digits = std::string(1, static_cast<char>('0' + n / 10)) + static_cast<char>('0' + n % 10);
      const std::string id = digits + (streams[n].type == "vids" ? "dc" : "wb");
      std::copy(id.begin(), id.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 8));
      for (std::size_t k = 0; k < used; ++k) {
        const std::size_t e = at + 24 + 16 * k;
        put_le32(b, e, static_cast<std::uint32_t>(super_entries[n][k][0]));
        put_le32(b, e + 4, static_cast<std::uint32_t>(super_entries[n][k][0] >> 32));
        put_le32(b, e + 8, static_cast<std::uint32_t>(super_entries[n][k][1]));
        put_le32(b, e + 12, static_cast<std::uint32_t>(super_entries[n][k][2]));
      }
    }
  }
  for (const std::size_t at : open_lists) put_le32(b, at, static_cast<std::uint32_t>(b.size() - at - 4));
  if (header_lengths_) {
    // Chunks per stream (bytes over dwSampleSize for sampled streams); the
    // first video stream's count is the file's frame count.
    std::vector<std::uint64_t> chunks(streams.size()), bytes(streams.size()), first_extent(streams.size());
    bool in_first_extent = true;
    for (const TMoviItem& item : items_) {
      if (item.kind == TMoviItem::TKind::extent) in_first_extent = false;
      if (item.kind != TMoviItem::TKind::chunk || item.id.size() != 4) continue;
      const std::string type = item.id.substr(2);
      if (!std::isdigit(item.id[0]) || !std::isdigit(item.id[1]) || (type != "dc" && type != "db" && type != "wb")) {
        continue;
      }
      const auto n = static_cast<std::size_t>((item.id[0] - '0') * 10 + (item.id[1] - '0'));
      if (n >= streams.size()) continue;
      ++chunks[n];
      bytes[n] += item.data.size();
      if (in_first_extent) ++first_extent[n];
    }
    bool video_seen = false;
    for (std::size_t n = 0; n < streams.size(); ++n) {
      const std::uint32_t ss = streams[n].sample_size;
      put_le32(b, avi.length_at[n], static_cast<std::uint32_t>(ss == 0 ? chunks[n] : bytes[n] / ss));
      if (!video_seen && streams[n].type == "vids") {
        // OpenDML: avih counts the first RIFF chunk's frames, dmlh all.
        put_le32(b, avi.total_frames_at, static_cast<std::uint32_t>(first_extent[n]));
        if (opendml_) put_le32(b, avi.dmlh_frames_at, static_cast<std::uint32_t>(chunks[n]));
        video_seen = true;
      }
    }
  }
  if (extents > 0) {
    // The last extent's RIFF chunk ends with its movi list.
    put_le32(b, riff_size_at, static_cast<std::uint32_t>(b.size() - riff_size_at - 4));
    b.insert(b.end(), trailer_.begin(), trailer_.end());
    return avi;
  }
  put_le32(b, movi_size_at, static_cast<std::uint32_t>(b.size() - avi.movi_pos));
  write_old_index();
  b.insert(b.end(), trailer_.begin(), trailer_.end());
  put_le32(b, 4, static_cast<std::uint32_t>(b.size() - 8));
  return avi;
}

void write_file(const std::filesystem::path& path, const TBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

TBytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<TEntry> index_entries(const TBytes& bytes, std::size_t idx1_pos) {
  std::vector<TEntry> entries;
  const std::uint32_t size = get_le32(bytes, idx1_pos + 4);
  for (std::size_t at = idx1_pos + 8; at + 16 <= idx1_pos + 8 + size && at + 16 <= bytes.size(); at += 16) {
    entries.push_back({std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(at + 4)),
                       get_le32(bytes, at + 4), get_le32(bytes, at + 8), get_le32(bytes, at + 12)});
  }
  return entries;
}

std::size_t find_last_idx1(const TBytes& bytes) {
  for (std::size_t k = bytes.size() >= 4 ? bytes.size() - 3 : 0; k-- > 0;) {
    if (bytes[k] == 'i' && bytes[k + 1] == 'd' && bytes[k + 2] == 'x' && bytes[k + 3] == '1') return k;
  }
  return std::string::npos;
}

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "reelwright-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

TWorkingFolder::TWorkingFolder(const std::filesystem::path& folder)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(folder);
}

TWorkingFolder::~TWorkingFolder() { std::filesystem::current_path(previous_); }

}  // namespace avitest
