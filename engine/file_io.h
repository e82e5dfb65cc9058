// The engine's file layer: POSIX files with 64-bit offsets, a logical
// position, a read cache and a write-behind buffer. Real I/O failures throw
// TIoError; the repair turns them into result 0 and an error line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/avi_structs.h"

class TIoError final : public std::runtime_error {
 public:
  TIoError(bool is_write, int error_number, std::string path);
  // A copy that found the file `path` shorter than it was when opened.
  [[nodiscard]] static TIoError ended_early(std::string path);
  [[nodiscard]] bool is_write() const { return is_write_; }
  [[nodiscard]] int error_number() const { return error_number_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool source_ended_early() const { return ended_early_; }
  [[nodiscard]] static TIoError changed(std::string path);
  [[nodiscard]] bool changed_by_others() const { return changed_; }
  // A read that failed (EIO: a bad sector): where the failed read began.
  [[nodiscard]] static TIoError unreadable(std::string path, std::uint64_t offset);
  [[nodiscard]] bool is_unreadable() const { return !is_write_ && error_number_ == EIO; }
  [[nodiscard]] std::uint64_t offset() const { return offset_; }

 private:
  bool is_write_;
  int error_number_;
  std::string path_;
  bool ended_early_ = false;
  bool changed_ = false;
  std::uint64_t offset_ = 0;
};

class TFileIO final {
 public:
  TFileIO();
  ~TFileIO();
  TFileIO(const TFileIO&) = delete;
  TFileIO& operator=(const TFileIO&) = delete;

  // Each returns false and leaves errno set on failure.
  [[nodiscard]] bool open_read(const std::string& path);
  [[nodiscard]] bool open_read_write(const std::string& path);
  // A new file in `folder` with `mode` (after the umask; 0600 for files no
  // one else should read). Where the file system can, it has no name at all
  // (O_TMPFILE), so that a process killed at any instant leaves nothing
  // behind; close_as gives it one. Elsewhere it gets a unique name, `prefix`
  // and temp_name_random random characters, exclusively. A file for
  // close_as is only made without a name where the system can name it
  // later (/proc).
  static constexpr std::size_t temp_name_random = 6;  // as mkostemp fills them
  enum class TTempUse { scratch, to_publish };
  [[nodiscard]] bool create_temp(const std::string& folder, const std::string& prefix, unsigned mode = 0600,
                                 TTempUse use = TTempUse::scratch);
  // Flushes and closes a file made by create_temp and gives it the name
  // `target`: when `replace`, atomically replacing what the name held, else
  // only where the name is free. False with errno set when it cannot
  // (EEXIST: the name is taken); discard removes what is left then.
  [[nodiscard]] bool close_as(const std::string& target, bool replace);
  // Closes without flushing, like abandon, and removes the private name
  // create_temp gave the file, if it has one.
  void discard();
  // The longest file name the folder takes, in bytes.
  [[nodiscard]] static std::size_t name_limit(const std::string& folder);
  // `name` cut to at most `limit` bytes, not inside a UTF-8 character.
  [[nodiscard]] static std::string fit_name(const std::string& name, std::size_t limit);

  // An advisory lock on the whole file for as long as it is open; false
  // (errno EWOULDBLOCK) when another process holds a conflicting one.
  [[nodiscard]] bool try_lock(bool exclusive);

  // What identifies the file and its state: changed size or modification
  // time means another program wrote to it.
  struct TIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
    unsigned mode = 0;
    friend bool operator==(const TIdentity&, const TIdentity&) = default;
  };
  // Throws on failure.
  [[nodiscard]] TIdentity identity() const;

  // Makes sure the file can grow to `length` without running out of room:
  // the blocks are allocated without changing the size, where the file
  // system can; throws on a full disk or past the process's file-size limit.
  void reserve(std::uint64_t length);
  // Flushes and waits until the data written so far are on the disk.
  void sync();

  // Flushes pending writes (may throw) and closes.
  void close();
  // Closes without flushing and without throwing: for paths out after a failure.
  void abandon();

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  [[nodiscard]] const std::string& path() const { return path_; }

  // Read cache capacity: small reads are served from one block of this size,
  // refilled from the offset of the first read it does not hold. Reads of
  // direct_read_size or more bypass it.
  void set_read_cache(std::size_t bytes);
  static constexpr std::size_t direct_read_size = 16 * 1024;
  void set_write_buffer(std::size_t bytes);

  // The size reads see: the file's, or the view's (see set_view).
  [[nodiscard]] std::uint64_t size() const { return size_ + prefix_.size() - skip_; }
  [[nodiscard]] std::uint64_t pos() const { return pos_; }
  [[nodiscard]] bool at_end() const { return pos_ >= size(); }
  void seek(std::uint64_t position) { pos_ = position; }

  // Reads at the position and advances by the bytes read; fewer than n only
  // at the end of the file.
  [[nodiscard]] std::size_t read(void* buffer, std::size_t n);
  // Reads at `offset` without moving the position.
  [[nodiscard]] std::size_t read_at(std::uint64_t offset, void* buffer, std::size_t n);
  // The little-endian 32-bit field and the 4-byte id at `offset`, without
  // moving the position; empty when the file ends before the 4th byte.
  [[nodiscard]] std::optional<std::uint32_t> read_le32_at(std::uint64_t offset);
  [[nodiscard]] std::optional<TFourCC> read_fourcc_at(std::uint64_t offset);
  // Writes all n bytes at the position and advances; throws on failure.
  void write(const void* buffer, std::size_t n);
  // Copies `length` bytes of `from`, from `offset` on, to this file at its
  // position and advances; fewer only where `from` ends. The kernel copies
  // (copy_file_range) where it can, so the data never pass through this
  // process; copies that continue each other are made as one.
  void copy_from(TFileIO& from, std::uint64_t offset, std::uint64_t length);
  // Cuts (or extends) the file to `length`.
  void truncate(std::uint64_t length);

  // Bytes that reads and copies show in place of the file's own first bytes
  // (a RIFF header that was lost); the file is not changed.
  void set_head_overlay(std::vector<unsigned char> bytes) {
    const std::uint64_t covered = bytes.size();
    set_view(std::move(bytes), covered);
    overlay_ = true;
  }
  [[nodiscard]] const std::vector<unsigned char>& head_overlay() const { return overlay_ ? prefix_ : no_prefix_; }
  // A source read as `prefix`, then the file from offset `skip` on (a file
  // whose start is lost, read behind a header made for it): reads, sizes and
  // copies from it all see that view; the file is not changed. Only for
  // files that are read. `skip` at most the file's size.
  void set_view(std::vector<unsigned char> prefix, std::uint64_t skip) {
    prefix_ = std::move(prefix);
    skip_ = std::min(skip, size_);
    overlay_ = false;
    cache_length_ = 0;
  }
  // Where the view shows the file's byte at `offset`, and the size it shows
  // for a file of `file_size` bytes.
  [[nodiscard]] std::uint64_t shown_at(std::uint64_t offset) const { return offset + prefix_.size() - skip_; }
  [[nodiscard]] std::uint64_t shown_size(std::uint64_t file_size) const {
    return file_size < skip_ ? prefix_.size() : shown_at(file_size);
  }

  // Test seam: every write, size change and sync of any file counts one
  // step; when `steps` of them have been made, the process is killed before
  // the next. 0 turns it off.
  static void kill_after_steps(std::uint64_t steps);
  // Test seam: calls `hook` with the step's number (from 1) before each
  // write, size change and sync; empty turns it off. Not thread-safe: for
  // the in-place finish, which runs on one thread.
  static void on_step(std::function<void(std::uint64_t)> hook);
  // Test seam: reads (and copies) of any byte in [first, second) of any file
  // fail with EIO, as on a failing medium; empty turns it off.
  static void fail_reads(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges);
  // From now on, each write past the end of the file and each cut first
  // makes sure the file's size is still what this process made it, and
  // throws a TIoError with changed_by_others() when another program wrote to
  // it or cut it meanwhile (a recorder still writing): nothing it wrote is
  // overwritten or cut off.
  // `known` is the size the file had when this process last looked.
  void watch_size(std::uint64_t known);
  // Flushes and makes the same test once.
  void check_size();
  // Test seam: `hook` runs once, on the copier's thread, before the next
  // copy from one file to another starts (another program cutting the
  // source, say). An empty hook turns it off.
  static void before_next_copy(std::function<void()> hook);
  // Test seam: create_temp gives every file a name, as on a file system
  // without O_TMPFILE.
  static void refuse_unnamed(bool refuse);
  void flush();

 private:
  class TCopier;

  bool adopt(int fd, const std::string& path);
  bool create_named(const std::string& folder, const std::string& prefix, unsigned mode);
  // Links the unnamed file's data under `target`; false with errno set.
  [[nodiscard]] bool link_unnamed(const std::string& target) const;
  // Hands the pending copy to the copier thread; flush_copy also waits for it.
  void queue_copy();
  void copy_range(TFileIO& from, std::uint64_t offset, std::uint64_t target, std::uint64_t length);
  std::size_t raw_read(std::uint64_t offset, unsigned char* buffer, std::size_t n);
  void raw_write(std::uint64_t offset, const unsigned char* buffer, std::size_t n, bool step = true);
  void flush_copy();

  int fd_ = -1;
  // For a file without a name, the folder and prefix it was made with.
  std::string path_;
  bool unnamed_ = false;
  // A private name of create_temp's: removed by discard.
  bool temp_named_ = false;
  std::string temp_prefix_;  // folder + prefix, for a private name at close_as
  std::uint64_t pos_ = 0;
  std::uint64_t size_ = 0;

  std::vector<unsigned char> cache_;
  std::size_t cache_capacity_ = 4096;
  std::uint64_t cache_offset_ = 0;
  std::size_t cache_length_ = 0;
  std::size_t cache_used_end_ = 0;  // how far reads have used the cached block

  // A copy from another file not made yet.
  TFileIO* copy_source_ = nullptr;
  std::uint64_t copy_source_offset_ = 0;
  std::uint64_t copy_target_offset_ = 0;
  std::uint64_t copy_length_ = 0;

  std::unique_ptr<TCopier> copier_;

  std::vector<unsigned char> prefix_;
  std::uint64_t skip_ = 0;
  bool overlay_ = false;  // the prefix stands in for as many bytes of the file
  static inline const std::vector<unsigned char> no_prefix_{};
  bool size_watched_ = false;
  std::uint64_t known_size_ = 0;  // the size this process made the file, while watched
  void check_known_size();
  std::vector<unsigned char> pending_;
  std::size_t pending_capacity_ = 0;
  std::uint64_t pending_offset_ = 0;
};
