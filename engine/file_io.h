// The engine's file layer: POSIX files with 64-bit offsets, a logical
// position, a read cache and a write-behind buffer. Real I/O failures throw
// TIoError; the repair turns them into result 0 and an error line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/avi_structs.h"

class TIoError final : public std::runtime_error {
 public:
  TIoError(bool is_write, int error_number, std::string path);
  [[nodiscard]] bool is_write() const { return is_write_; }
  [[nodiscard]] int error_number() const { return error_number_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  bool is_write_;
  int error_number_;
  std::string path_;
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
  // A new file with a unique name in `folder`, exclusively, with `mode`
  // (after the umask; 0600 for files no one else should read).
  [[nodiscard]] bool create_temp(const std::string& folder, const std::string& prefix, unsigned mode = 0600);
  // Gives the open file the name `target`, atomically replacing what the
  // name held. False with errno set on failure; the old name stays then.
  [[nodiscard]] bool rename_to(const std::string& target);

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

  [[nodiscard]] std::uint64_t size() const { return size_; }
  [[nodiscard]] std::uint64_t pos() const { return pos_; }
  [[nodiscard]] bool at_end() const { return pos_ >= size_; }
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

  // Bytes that reads show in place of the file's own first bytes (a RIFF
  // header that was lost); the file is not changed. Kernel copies do not
  // see them.
  void set_head_overlay(std::vector<unsigned char> bytes) {
    head_overlay_ = std::move(bytes);
    cache_length_ = 0;
  }
  [[nodiscard]] const std::vector<unsigned char>& head_overlay() const { return head_overlay_; }

  // Test seam: every write, size change and sync of any file counts one
  // step; when `steps` of them have been made, the process is killed before
  // the next. 0 turns it off.
  static void kill_after_steps(std::uint64_t steps);
  void flush();

 private:
  class TCopier;

  bool adopt(int fd, const std::string& path);
  // Hands the pending copy to the copier thread; flush_copy also waits for it.
  void queue_copy();
  void copy_range(TFileIO& from, std::uint64_t offset, std::uint64_t target, std::uint64_t length);
  std::size_t raw_read(std::uint64_t offset, unsigned char* buffer, std::size_t n);
  void raw_write(std::uint64_t offset, const unsigned char* buffer, std::size_t n);
  void flush_copy();

  int fd_ = -1;
  std::string path_;
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

  std::vector<unsigned char> head_overlay_;
  std::vector<unsigned char> pending_;
  std::size_t pending_capacity_ = 0;
  std::uint64_t pending_offset_ = 0;
};
