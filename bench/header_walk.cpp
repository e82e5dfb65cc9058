// The least any index repair must do: visit every chunk header of the movi
// data once, with nothing indexed and nothing written. bench/run times it
// next to reelwright-fix to show how much of a repair is this walk alone.
//   header_walk FILE pread|mmap|block [BYTES]
//   header_walk FILE copy DEST
// pread reads 1 KiB at each header not already read; mmap maps the file in
// 8 MiB windows and reads the headers in place; block reads BYTES (default
// 256 KiB) at a time into one buffer and takes every header that lies inside
// it before the next read, which starts at the first header past its end.
// copy is the block walk plus what any new file must do: the bytes walked
// are copied to DEST by the kernel (copy_file_range) on a second thread, in
// 2 MiB steps that end on a page, while the walk goes on; nothing is indexed.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Offset just after "movi", or 0: the top-level chunks of the RIFF list,
// into each LIST far enough to see its type.
std::uint64_t find_movi(int fd, std::uint64_t size) {
  std::uint64_t pos = 12;
  unsigned char head[12];
  while (pos + 12 <= size) {
    if (::pread(fd, head, sizeof head, static_cast<off_t>(pos)) != static_cast<ssize_t>(sizeof head)) return 0;
    if (std::memcmp(head, "LIST", 4) == 0 && std::memcmp(head + 8, "movi", 4) == 0) return pos + 12;
    pos += 8 + le32(head + 4) + (le32(head + 4) & 1);
  }
  return 0;
}

// Size of the step from the chunk header at p: into a LIST or a further RIFF
// chunk of a long recording, over anything else.
std::uint64_t step(const unsigned char* p) {
  if (std::memcmp(p, "LIST", 4) == 0 || std::memcmp(p, "RIFF", 4) == 0) return 12;
  const std::uint32_t size = le32(p + 4);
  return 8 + static_cast<std::uint64_t>(size) + (size & 1);
}

// Copies [0, ready) of `in` to the same offsets of `out` on its own thread,
// as the walk makes more ready.
class TTrailingCopy {
 public:
  TTrailingCopy(int in, int out) : in_(in), out_(out), thread_([this] { run(); }) {}
  TTrailingCopy(const TTrailingCopy&) = delete;
  TTrailingCopy& operator=(const TTrailingCopy&) = delete;
  void ready_to(std::uint64_t end) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ready_ = std::max(ready_, end);
    }
    changed_.notify_one();
  }
  // Copies the rest and waits for it; false when a copy failed.
  bool finish(std::uint64_t end) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ready_ = std::max(ready_, end);
      done_ = true;
    }
    changed_.notify_one();
    thread_.join();
    return ok_;
  }

 private:
  void run() {
    std::uint64_t copied = 0;
    for (;;) {
      std::uint64_t target = 0;
      bool last = false;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this, copied] { return done_ || ready_ > copied; });
        target = ready_;
        last = done_;
      }
      while (copied < target) {
        auto in = static_cast<off_t>(copied), out = static_cast<off_t>(copied);
        const ssize_t got = ::copy_file_range(in_, &in, out_, &out, target - copied, 0);
        if (got <= 0) {
          ok_ = false;
          return;
        }
        copied += static_cast<std::uint64_t>(got);
      }
      if (last) return;
    }
  }

  int in_;
  int out_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t ready_ = 0;
  bool done_ = false;
  bool ok_ = true;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: header_walk FILE pread|mmap|block [BYTES]\n       header_walk FILE copy DEST\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return 2;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::uint64_t pos = find_movi(fd, size);
  if (pos == 0) return 2;
  const bool mapped = std::strcmp(argv[2], "mmap") == 0;
  const bool copies = std::strcmp(argv[2], "copy") == 0;
  const bool blocks = copies || std::strcmp(argv[2], "block") == 0;
  if (copies && argc != 4) return 2;

  std::uint64_t chunks = 0;
  if (!mapped) {
    // pread is the block walk with 1 KiB blocks.
    std::size_t block = 1024;
    if (blocks) block = argc == 4 && !copies ? std::strtoul(argv[3], nullptr, 10) : 256 * 1024;
    if (block < 8) return 2;
    std::vector<unsigned char> buffer(block);
    std::optional<TTrailingCopy> copy;
    constexpr std::uint64_t copy_step = 2u << 20;
    std::uint64_t handed = 0;
    if (copies) {
      const int out = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (out < 0) return 2;
      copy.emplace(fd, out);
    }
    std::uint64_t start = 0, length = 0;
    while (pos + 8 <= size) {
      if (pos < start || pos + 8 > start + length) {
        const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(pos));
        if (got < 8) break;
        start = pos;
        length = static_cast<std::uint64_t>(got);
      }
      const unsigned char* p = buffer.data() + (pos - start);
      if (std::memcmp(p, "idx1", 4) == 0 && pos + step(p) >= size) break;
      pos += step(p);
      ++chunks;
      if (copy && pos >= handed + copy_step) {
        // A damaged size may step past the end: the copy ends with the file.
        handed = std::min(pos, size) & ~std::uint64_t{4095};
        copy->ready_to(handed);
      }
    }
    if (copy && !copy->finish(std::min(pos, size))) return 2;
  } else {
    constexpr std::uint64_t window = 8u << 20;
    std::uint64_t start = 0, length = 0;
    unsigned char* map = nullptr;
    while (pos + 8 <= size) {
      if (map == nullptr || pos < start || pos + 8 > start + length) {
        if (map != nullptr) ::munmap(map, length);
        start = pos & ~std::uint64_t{4095};
        length = std::min(window, size - start);
        void* m = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
        if (m == MAP_FAILED) return 2;
        map = static_cast<unsigned char*>(m);
      }
      const unsigned char* p = map + (pos - start);
      if (std::memcmp(p, "idx1", 4) == 0 && pos + step(p) >= size) break;
      pos += step(p);
      ++chunks;
    }
    if (map != nullptr) ::munmap(map, length);
  }
  std::printf("%llu chunks\n", static_cast<unsigned long long>(chunks));
  return 0;
}
