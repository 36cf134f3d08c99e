// Storage of a file-backed disk: an image file read and written with
// pread/pwrite.  With O_DIRECT, transfers go through 4096-byte aligned bounce
// buffers; a write that does not cover whole aligned blocks is a
// read-modify-write, done alone (exclusive lock) so that no concurrent write
// to the same block is lost.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <string>

#include "internal.h"
#include "block/block_internal.h"

namespace standin::blk {
namespace {

constexpr std::uint64_t kAlign = 4096;

int full_pread(int fd, void* buf, std::size_t len, std::uint64_t off) {
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = ::pread(fd, p, len, static_cast<off_t>(off));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) {  // past the end of the file: zeros
      std::memset(p, 0, len);
      return 0;
    }
    p += n;
    off += static_cast<std::uint64_t>(n);
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

int full_pwrite(int fd, const void* buf, std::size_t len, std::uint64_t off) {
  auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(off));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? -errno : -EIO;
    p += n;
    off += static_cast<std::uint64_t>(n);
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Bounce = std::unique_ptr<std::uint8_t, FreeDeleter>;

Bounce new_bounce(std::size_t len) {
  void* p = nullptr;
  if (posix_memalign(&p, kAlign, len) != 0) return nullptr;
  return Bounce(static_cast<std::uint8_t*>(p));
}

class FileBacking final : public Backing {
 public:
  FileBacking(int fd, std::uint64_t bytes, bool direct) : fd_(fd), bytes_(bytes), direct_(direct) {}
  ~FileBacking() override { ::close(fd_); }

  std::uint64_t bytes() const override { return bytes_; }
  bool direct() const override { return direct_; }

  int read(std::uint64_t offset, void* buf, std::size_t len) override {
    if (!direct_) return full_pread(fd_, buf, len, offset);
    std::shared_lock lk(rmw_);
    std::uint64_t a = offset / kAlign * kAlign;
    std::uint64_t b = (offset + len + kAlign - 1) / kAlign * kAlign;
    Bounce bounce = new_bounce(b - a);
    if (!bounce) return -ENOMEM;
    int err = full_pread(fd_, bounce.get(), b - a, a);
    if (err == 0) std::memcpy(buf, bounce.get() + (offset - a), len);
    return err;
  }

  int write(std::uint64_t offset, const void* buf, std::size_t len) override {
    if (!direct_) return full_pwrite(fd_, buf, len, offset);
    std::uint64_t a = offset / kAlign * kAlign;
    std::uint64_t b = (offset + len + kAlign - 1) / kAlign * kAlign;
    Bounce bounce = new_bounce(b - a);
    if (!bounce) return -ENOMEM;
    if (a == offset && b == offset + len) {
      std::shared_lock lk(rmw_);
      std::memcpy(bounce.get(), buf, len);
      return full_pwrite(fd_, bounce.get(), len, a);
    }
    std::unique_lock lk(rmw_);
    int err = full_pread(fd_, bounce.get(), b - a, a);
    if (err) return err;
    std::memcpy(bounce.get() + (offset - a), buf, len);
    return full_pwrite(fd_, bounce.get(), b - a, a);
  }

 private:
  int fd_;
  std::uint64_t bytes_;
  bool direct_;
  std::shared_mutex rmw_;  // exclusive for a read-modify-write (direct only)
};

}  // namespace

std::unique_ptr<Backing> make_file_backing(const std::string& path, std::uint64_t bytes,
                                           bool direct) {
  int flags = O_RDWR | O_CLOEXEC | (bytes ? O_CREAT : 0);
  int fd = -1;
  bool got_direct = false;
  if (direct) {
    fd = ::open(path.c_str(), flags | O_DIRECT, 0644);
    got_direct = fd >= 0;
  }
  if (fd < 0) fd = ::open(path.c_str(), flags, 0644);  // also where O_DIRECT is refused
  if (fd < 0) return nullptr;
  // (sys/stat.h pulls in the system's linux/ headers, which the kernel
  // include path shadows: the size comes from lseek.)
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  std::uint64_t size = static_cast<std::uint64_t>(end);
  if (bytes && size < bytes && ::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  std::uint64_t use = bytes ? bytes : size / 512 * 512;
  // An image whose size is not a multiple of the alignment would make the
  // last aligned direct transfer run past the end; serve it buffered.
  if (got_direct && use % kAlign != 0) {
    int flags_now = ::fcntl(fd, F_GETFL);
    if (flags_now >= 0 && ::fcntl(fd, F_SETFL, flags_now & ~O_DIRECT) == 0) got_direct = false;
  }
  return std::make_unique<FileBacking>(fd, use, got_direct);
}

}  // namespace standin::blk
