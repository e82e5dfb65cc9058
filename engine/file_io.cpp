// POSIX implementation of the engine's file layer.
#include "file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <cstring>

TIoError::TIoError(bool is_write, int error_number, std::string path)
    : std::runtime_error(std::strerror(error_number)),
      is_write_(is_write),
      error_number_(error_number),
      path_(std::move(path)) {}

TIoError TIoError::changed(std::string path) {
  TIoError e(true, 0, std::move(path));
  e.changed_ = true;
  return e;
}

TIoError TIoError::unreadable(std::string path, std::uint64_t offset) {
  TIoError e(false, EIO, std::move(path));
  e.offset_ = offset;
  return e;
}

TIoError TIoError::ended_early(std::string path) {
  TIoError e(false, ENODATA, std::move(path));
  e.ended_early_ = true;
  return e;
}

namespace {

std::atomic<std::uint64_t> steps_left{0};
std::atomic<bool> unnamed_refused{false};
std::mutex copy_hook_mutex;
std::function<void()> copy_hook;

// Six characters for a private name; a clash shows as EEXIST and is retried.
std::string random_tail() {
  static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No randomness yet (early boot): the process and a count still differ.
    static std::atomic<std::uint64_t> count{0};
    std::uint64_t v = (static_cast<std::uint64_t>(::getpid()) << 20) + ++count;
    for (unsigned char& b : bytes) {
      b = static_cast<unsigned char>(v % 62);
      v /= 62;
    }
  }
  std::string tail;
  for (const unsigned char b : bytes) tail += letters[b % (sizeof letters - 1)];
  return tail;
}

// Gives `mode` to a file made with 0600; the umask applies, as to any new file.
bool set_mode(int fd, unsigned mode) {
  if (mode == 0600) return true;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return ::fchmod(fd, static_cast<mode_t>(mode & 0777 & ~mask)) == 0;
}

// rename without replacing: false with errno EEXIST when `to` is taken.
bool rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // A file system without the flag: a second link fails on a taken name too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return false;
  // Nor links (FAT): the name is looked at first, the best left to do.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// What the scan hands to the copier at a time.
constexpr std::uint64_t background_copy_step = 2u << 20;
constexpr std::uint64_t copy_page_size = 4096;

// Where the test seam may end the process: before a write, a size change or
// a sync, so every state between two of them can be looked at.
std::function<void(std::uint64_t)> step_hook;
std::vector<std::pair<std::uint64_t, std::uint64_t>> failing_reads;

bool read_fails(std::uint64_t offset, std::uint64_t n) {
  return std::any_of(failing_reads.begin(), failing_reads.end(),
                     [&](const auto& r) { return offset < r.second && r.first < offset + n; });
}
std::uint64_t steps_made = 0;

void step_point() {
  if (step_hook) step_hook(++steps_made);
  if (steps_left.load() == 0) return;
  if (--steps_left == 0) {
    std::raise(SIGKILL);
  }
}

}  // namespace

void TFileIO::kill_after_steps(std::uint64_t steps) { steps_left = steps == 0 ? 0 : steps + 1; }

void TFileIO::fail_reads(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
  failing_reads = std::move(ranges);
}

void TFileIO::on_step(std::function<void(std::uint64_t)> hook) {
  steps_made = 0;
  step_hook = std::move(hook);
}

void TFileIO::watch_size(std::uint64_t known) {
  flush();
  size_watched_ = true;
  known_size_ = known;
  check_known_size();
}

void TFileIO::check_known_size() {
  if (size_watched_ && identity().size != known_size_) throw TIoError::changed(path_);
}

void TFileIO::check_size() {
  flush();
  check_known_size();
}

void TFileIO::before_next_copy(std::function<void()> hook) {
  const std::lock_guard<std::mutex> lock(copy_hook_mutex);
  copy_hook = std::move(hook);
}

void TFileIO::refuse_unnamed(bool refuse) { unnamed_refused = refuse; }

// Copies handed over by the scan run on a thread of their own, in order, while
// the scan reads on: the kernel's copy and the chunk walk each keep a CPU
// busy, so a new file costs little more than the copy alone.
class TFileIO::TCopier {
 public:
  struct TJob {
    TFileIO* from;
    TFileIO* to;
    std::uint64_t in;
    std::uint64_t out;
    std::uint64_t length;
  };

  TCopier() : thread_([this] { run(); }) {}
  ~TCopier() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  TCopier(const TCopier&) = delete;
  TCopier& operator=(const TCopier&) = delete;

  void add(const TJob& job) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(job);
    }
    changed_.notify_all();
  }

  // Waits until every job is done; the first failure is thrown once.
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    if (failure_) {
      std::exception_ptr failure = failure_;
      failure_ = nullptr;
      std::rethrow_exception(failure);
    }
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      const TJob job = jobs_.front();
      jobs_.pop_front();
      // After a failure the rest is not copied: the file is given up anyway.
      const bool skip = failure_ != nullptr;
      busy_ = true;
      lock.unlock();
      std::exception_ptr failure;
      if (!skip) {
        try {
          job.to->copy_range(*job.from, job.in, job.out, job.length);
        } catch (...) {
          failure = std::current_exception();
        }
      }
      lock.lock();
      busy_ = false;
      if (failure && !failure_) failure_ = failure;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TJob> jobs_;
  bool busy_ = false;
  bool quit_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

TFileIO::TFileIO() = default;
TFileIO::~TFileIO() { abandon(); }

bool TFileIO::adopt(int fd, const std::string& path) {
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  abandon();
  fd_ = fd;
  path_ = path;
  unnamed_ = false;
  temp_named_ = false;
  pos_ = 0;
  size_ = static_cast<std::uint64_t>(st.st_size);
  prefix_.clear();
  skip_ = 0;
  overlay_ = false;
  cache_length_ = 0;
  pending_.clear();
  return true;
}

bool TFileIO::open_read(const std::string& path) {
  return adopt(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), path);
}

bool TFileIO::open_read_write(const std::string& path) {
  return adopt(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK), path);
}

bool TFileIO::create_temp(const std::string& folder, const std::string& prefix, unsigned mode, TTempUse use) {
  std::string dir = folder.empty() ? std::string("/tmp") : folder;
  if (dir.back() != '/') dir += '/';
  // A file that is to be named later needs /proc/self/fd for the link
  // (the link by descriptor alone is for privileged processes).
  if (!unnamed_refused && (use == TTempUse::scratch || ::access("/proc/self/fd", X_OK) == 0)) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (!set_mode(fd, mode)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
      }
      // The name in messages: where it lives and what it is.
      if (!adopt(fd, dir + prefix)) return false;
      unnamed_ = true;
      temp_prefix_ = dir + prefix;
      return true;
    }
    // Refused where the file system has no unnamed files (EOPNOTSUPP,
    // EISDIR, EINVAL); any other reason shows again below.
  }
  return create_named(dir, prefix, mode);
}

bool TFileIO::create_named(const std::string& folder, const std::string& prefix, unsigned mode) {
  const std::string name = folder + prefix + std::string(temp_name_random, 'X');
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  // mkostemp creates with O_EXCL and mode 0600: nothing planted can redirect it.
  const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (fd >= 0 && !set_mode(fd, mode)) {
    const int saved = errno;
    ::close(fd);
    ::unlink(buffer.data());
    errno = saved;
    return false;
  }
  if (!adopt(fd, std::string(buffer.data()))) return false;
  temp_named_ = true;
  temp_prefix_ = folder + prefix;
  return true;
}

bool TFileIO::link_unnamed(const std::string& target) const {
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0) return false;
  return ::linkat(fd_, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0;
}

bool TFileIO::close_as(const std::string& target, bool replace) {
  if (!unnamed_) {
    close();
    if (replace ? ::rename(path_.c_str(), target.c_str()) != 0 : !rename_no_replace(path_, target)) return false;
  } else {
    flush();
    bool linked = link_unnamed(target);
    if (!linked && errno == EEXIST && replace) {
      // A link cannot replace: the file gets a private name beside the old
      // one, then takes its place in one step.
      for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string spare = temp_prefix_ + random_tail();
        if (link_unnamed(spare)) {
          linked = ::rename(spare.c_str(), target.c_str()) == 0;
          if (!linked) {
            const int saved = errno;
            ::unlink(spare.c_str());
            errno = saved;
          }
          break;
        }
        if (errno != EEXIST) break;
      }
    }
    if (!linked) return false;
    unnamed_ = false;
    path_ = target;
    close();
  }
  path_ = target;
  temp_named_ = false;
  return true;
}

void TFileIO::discard() {
  abandon();
  if (temp_named_) ::unlink(path_.c_str());
  temp_named_ = false;
  unnamed_ = false;
}

std::size_t TFileIO::name_limit(const std::string& folder) {
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

std::string TFileIO::fit_name(const std::string& name, std::size_t limit) {
  if (name.size() <= limit) return name;
  std::size_t cut = limit;
  // Back to the first byte of the character the cut would split.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

bool TFileIO::try_lock(bool exclusive) { return ::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0; }

TFileIO::TIdentity TFileIO::identity() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw TIoError(false, errno, path_);
  return TIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   static_cast<std::uint64_t>(st.st_size),
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                   static_cast<unsigned>(st.st_mode & 07777)};
}

void TFileIO::reserve(std::uint64_t length) {
  // A size limit would stop the growth half-way with SIGXFSZ or EFBIG.
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && length > limit.rlim_cur) {
    throw TIoError(true, EFBIG, path_);
  }
  if (length <= size_) return;
  if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(size_), static_cast<off_t>(length - size_)) != 0) {
    // Not every file system can allocate ahead; the writes report then.
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) throw TIoError(true, errno, path_);
  }
}

void TFileIO::sync() {
  flush();
  step_point();
  if (::fdatasync(fd_) != 0) throw TIoError(true, errno, path_);
}

void TFileIO::close() {
  if (fd_ < 0) return;
  flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) throw TIoError(true, errno, path_);
}

void TFileIO::abandon() {
  if (copier_) {
    // The copier uses the descriptor: it must be done before it closes.
    try {
      copier_->wait();
    } catch (...) {
    }
  }
  pending_.clear();
  copy_source_ = nullptr;
  copy_length_ = 0;
  cache_length_ = 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TFileIO::set_read_cache(std::size_t bytes) {
  cache_capacity_ = std::max<std::size_t>(bytes, 16);
  cache_.clear();
  cache_.shrink_to_fit();
  cache_length_ = 0;
}

void TFileIO::set_write_buffer(std::size_t bytes) {
  flush();
  pending_capacity_ = bytes;
  pending_.shrink_to_fit();
}

std::size_t TFileIO::raw_read(std::uint64_t offset, unsigned char* buffer, std::size_t n) {
  // What the view's prefix shows, then the file's bytes from `skip_` on.
  std::size_t done = 0;
  if (offset < prefix_.size()) {
    done = static_cast<std::size_t>(std::min<std::uint64_t>(n, prefix_.size() - offset));
    std::memcpy(buffer, prefix_.data() + offset, done);
  }
  const std::uint64_t file_offset = offset + done - prefix_.size() + skip_;
  if (!failing_reads.empty() && done < n && read_fails(file_offset, n - done)) {
    throw TIoError::unreadable(path_, shown_at(file_offset));
  }
  std::size_t got = 0;
  while (done + got < n) {
    const ssize_t r = ::pread(fd_, buffer + done + got, n - done - got, static_cast<off_t>(file_offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EIO) throw TIoError::unreadable(path_, shown_at(file_offset + got));
      throw TIoError(false, errno, path_);
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return done + got;
}

void TFileIO::raw_write(std::uint64_t offset, const unsigned char* buffer, std::size_t n, bool step) {
  if (step) step_point();
  if (size_watched_ && offset + n > known_size_) check_known_size();
  std::size_t done = 0;
  while (done < n) {
    const ssize_t put = ::pwrite(fd_, buffer + done, n - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      throw TIoError(true, errno, path_);
    }
    if (put == 0) throw TIoError(true, ENOSPC, path_);
    done += static_cast<std::size_t>(put);
  }
  if (size_watched_) known_size_ = std::max<std::uint64_t>(known_size_, offset + n);
}

void TFileIO::flush() {
  flush_copy();
  if (pending_.empty() || fd_ < 0) return;
  // Clear first: a failed flush must not be retried by the destructor.
  std::vector<unsigned char> data;
  data.swap(pending_);
  raw_write(pending_offset_, data.data(), data.size());
  data.clear();
  pending_.swap(data);
}

std::size_t TFileIO::read_at(std::uint64_t offset, void* buffer, std::size_t n) {
  auto* out = static_cast<unsigned char*>(buffer);
  if (n == 0) return 0;
  flush();
  if (offset >= cache_offset_ && offset - cache_offset_ < cache_length_) {
    const std::size_t start = static_cast<std::size_t>(offset - cache_offset_);
    if (cache_length_ - start >= n) {
      std::memcpy(out, cache_.data() + start, n);
      cache_used_end_ = std::max(cache_used_end_, start + n);
      return n;
    }
  }
  // Block-sized reads (the damage search, the index scans) gain nothing from
  // the cache and would only push out what the next header read needs.
  if (n > cache_capacity_ / 2 || n >= direct_read_size) return raw_read(offset, out, n);
  if (cache_.size() != cache_capacity_) cache_.resize(cache_capacity_);
  // The last block's use sizes the next: where chunks are larger than the
  // block, it serves one or two headers, and filling all of it copies bytes
  // no one reads (a 1.1 GiB file of raw video frames: 3,600 blocks of which
  // a few bytes each were used). A block used to its end doubles the next.
  std::size_t fill = cache_capacity_;
  if (cache_used_end_ > 0) {
    constexpr std::size_t page = 4096;
    fill = std::clamp((2 * cache_used_end_ + page - 1) / page * page, std::max(page, n), cache_capacity_);
  }
  cache_length_ = 0;
  cache_used_end_ = 0;
  cache_offset_ = offset;
  cache_length_ = raw_read(offset, cache_.data(), fill);
  cache_used_end_ = std::min(n, cache_length_);
  const std::size_t got = std::min(n, cache_length_);
  std::memcpy(out, cache_.data(), got);
  return got;
}

std::optional<std::uint32_t> TFileIO::read_le32_at(std::uint64_t offset) {
  unsigned char b[4];
  if (read_at(offset, b, sizeof b) != sizeof b) return std::nullopt;
  return read_le32(b);
}

std::optional<TFourCC> TFileIO::read_fourcc_at(std::uint64_t offset) {
  unsigned char b[4];
  if (read_at(offset, b, sizeof b) != sizeof b) return std::nullopt;
  return to_fourcc(b);
}

std::size_t TFileIO::read(void* buffer, std::size_t n) {
  const std::size_t got = read_at(pos_, buffer, n);
  pos_ += got;
  return got;
}

void TFileIO::write(const void* buffer, std::size_t n) {
  if (n == 0) return;
  flush_copy();
  cache_length_ = 0;
  const auto* in = static_cast<const unsigned char*>(buffer);
  const bool appends = !pending_.empty() && pos_ == pending_offset_ + pending_.size();
  if (!appends) flush();
  if (pending_.size() + n > pending_capacity_) {
    flush();
    if (n >= pending_capacity_) {
      raw_write(pos_, in, n);
      pos_ += n;
      size_ = std::max(size_, pos_);
      return;
    }
  }
  if (pending_.empty()) {
    pending_offset_ = pos_;
    pending_.reserve(pending_capacity_);
  }
  pending_.insert(pending_.end(), in, in + n);
  pos_ += n;
  size_ = std::max(size_, pos_);
}

void TFileIO::copy_from(TFileIO& from, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  const bool continues = copy_source_ == &from && offset == copy_source_offset_ + copy_length_ &&
                         pos_ == copy_target_offset_ + copy_length_;
  if (!continues) {
    // Bytes written before the copy go first: they may lie where it goes.
    if (pending_.empty()) {
      queue_copy();
    } else {
      flush();
    }
    copy_source_ = &from;
    copy_source_offset_ = offset;
    copy_target_offset_ = pos_;
    copy_length_ = 0;
  }
  // Only what the source holds is copied, as a read would give it.
  const std::uint64_t available = offset < from.size() ? std::min(length, from.size() - offset) : 0;
  copy_length_ += available;
  pos_ += available;
  size_ = std::max(size_, pos_);
  cache_length_ = 0;
  if (copy_length_ >= background_copy_step) {
    // Handed over in steps, so the copy runs while the scan goes on. Each
    // step ends on a page boundary of the new file: the kernel copies a third
    // slower in steps that start inside a page.
    const std::uint64_t carried = (copy_target_offset_ + copy_length_) % copy_page_size;
    copy_length_ -= carried;
    const std::uint64_t next_offset = copy_source_offset_ + copy_length_;
    const std::uint64_t next_target = copy_target_offset_ + copy_length_;
    queue_copy();
    copy_source_ = &from;
    copy_source_offset_ = next_offset;
    copy_target_offset_ = next_target;
    copy_length_ = carried;
  }
}

void TFileIO::queue_copy() {
  if (copy_source_ == nullptr || copy_length_ == 0 || fd_ < 0) {
    copy_source_ = nullptr;
    return;
  }
  copy_source_->flush();
  if (!copier_) copier_ = std::make_unique<TCopier>();
  copier_->add({copy_source_, this, copy_source_offset_, copy_target_offset_, copy_length_});
  copy_source_ = nullptr;
  copy_length_ = 0;
}

void TFileIO::flush_copy() {
  queue_copy();
  if (copier_) copier_->wait();
}

void TFileIO::copy_range(TFileIO& from, std::uint64_t offset, std::uint64_t target, std::uint64_t length) {
  std::function<void()> hook;
  {
    const std::lock_guard<std::mutex> lock(copy_hook_mutex);
    hook.swap(copy_hook);
  }
  if (hook) hook();
  step_point();
  // The part of a view's prefix the copy covers is written from memory; the
  // rest is copied from where the view shows it in the file.
  if (offset < from.prefix_.size()) {
    const auto head = static_cast<std::size_t>(std::min<std::uint64_t>(length, from.prefix_.size() - offset));
    // (Part of the copy's one step.)
    raw_write(target, from.prefix_.data() + offset, head, false);
    offset += head;
    target += head;
    length -= head;
    if (length == 0) return;
  }
  offset = offset - from.prefix_.size() + from.skip_;
  if (!failing_reads.empty() && read_fails(offset, length)) {
    throw TIoError::unreadable(from.path_, from.shown_at(offset));
  }
  auto in = static_cast<off_t>(offset);
  auto out = static_cast<off_t>(target);
  std::uint64_t left = length;
  while (left > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30));
    const ssize_t done = ::copy_file_range(from.fd_, &in, fd_, &out, chunk, 0);
    if (done > 0) {
      left -= static_cast<std::uint64_t>(done);
      continue;
    }
    // The source was cut while the repair ran: the copy would leave a hole
    // where the new index points.
    if (done == 0) throw TIoError::ended_early(from.path_);
    if (errno == EINTR) continue;
    if (errno == EIO) throw TIoError::unreadable(from.path_, from.shown_at(static_cast<std::uint64_t>(in)));
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      throw TIoError(errno != EIO && errno != EBADF, errno, errno == EIO ? from.path_ : path_);
    }
    // No copy in the kernel between these two files: through a buffer.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(left, 256 * 1024)));
    while (left > 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      const std::size_t got = from.raw_read(from.shown_at(static_cast<std::uint64_t>(in)), buffer.data(), take);
      raw_write(static_cast<std::uint64_t>(out), buffer.data(), got);
      in += static_cast<off_t>(got);
      out += static_cast<off_t>(got);
      left -= got;
      if (got < take) throw TIoError::ended_early(from.path_);
    }
  }
}

void TFileIO::truncate(std::uint64_t length) {
  flush();
  cache_length_ = 0;
  step_point();
  check_known_size();
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) throw TIoError(true, errno, path_);
  size_ = length;
  known_size_ = length;
}
