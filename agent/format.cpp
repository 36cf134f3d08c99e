// The backup files' shared parts: hashes, the format error, interrupts and
// the backup directory and its lock.
#include "format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <system_error>

#include "records.h"

namespace cowguard::agent {

namespace fs = std::filesystem;
using namespace records;

// ---- small helpers ---------------------------------------------------------------

std::string hash_hex(Hash64 h) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::optional<Hash64> hash_from_hex(const std::string& s) {
  if (s.size() != 16) return std::nullopt;
  Hash64 v = 0;
  for (char c : s) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<unsigned>(d);
  }
  return v;
}

Hash64 block_hash(const void* data, std::size_t size, std::uint32_t block) {
  return XXH3_64bits_withSeed(data, size, block);
}

FormatError::FormatError(const std::string& file, const std::string& what,
                         std::optional<std::uint32_t> block, Kind kind)
    : std::runtime_error(file + ": " + what + (block ? " (block " + std::to_string(*block) + ")" : "")),
      file_(file),
      problem_(what),
      block_(block),
      kind_(kind) {}

// ---- interrupts --------------------------------------------------------------------

namespace {
std::atomic<bool> g_interrupt{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void request_interrupt() noexcept { g_interrupt.store(true); }
bool interrupt_requested() noexcept { return g_interrupt.load(); }
void clear_interrupt() noexcept { g_interrupt.store(false); }
void check_interrupt() {
  if (g_interrupt.load()) throw Interrupted();
}

// ---- the directory's lock ------------------------------------------------------------

namespace {
constexpr const char* kLockName = ".lock";
}

DirLock::DirLock(const fs::path& dir, Mode mode, const std::string& who) : mode_(mode) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw FormatError::missing(dir.string(), "no such backup directory");
  if (!fs::is_directory(dir, ec)) throw FormatError::missing(dir.string(), "not a directory");
  fs::path p = dir / kLockName;
  path_ = p;
  fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ >= 0) created_ = true;
  else if (errno == EEXIST) fd_ = ::open(p.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0 && mode == Mode::shared && (errno == EACCES || errno == EROFS)) {
    fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);  // a directory we may only read
    if (fd_ < 0) return;  // nobody can write it either: nothing to lock against
  }
  if (fd_ < 0) sys_fail("cannot open the lock", p);
  if (::flock(fd_, (mode == Mode::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    int err = errno;
    std::string holder;
    char buf[512];
    ssize_t n = ::pread(fd_, buf, sizeof buf - 1, 0);
    if (n > 0) holder.assign(buf, static_cast<std::size_t>(n));
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
    ::close(fd_);
    fd_ = -1;
    if (err != EWOULDBLOCK) {
      errno = err;
      sys_fail("cannot lock", p);
    }
    throw LockBusy(dir.string() + " is in use by " +
                   (holder.empty() ? std::string("a reader (verify, restore or list)") : holder));
  }
  if (mode == Mode::exclusive) {
    char when[32];
    std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::string text = who + " (process " + std::to_string(::getpid()) + ", since " + when + ")\n";
    if (::ftruncate(fd_, 0) == 0) {
      ssize_t w = ::pwrite(fd_, text.data(), text.size(), 0);
      (void)w;  // the name of the holder is for messages only
    }
  }
}

DirLock::~DirLock() {
  if (fd_ < 0) return;
  // Unlinked while still held: nobody else can have taken this file's lock.
  if (mode_ == Mode::exclusive && remove_ && created_) ::unlink(path_.c_str());
  if (mode_ == Mode::exclusive && ::ftruncate(fd_, 0) != 0) {
    // a stale name is harmless: nobody holds the lock any more
  }
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

bool make_backup_dir(const fs::path& dir) {
  std::error_code ec;
  if (fs::is_directory(dir, ec)) return false;
  if (dir.has_parent_path() && !dir.parent_path().empty())
    fs::create_directories(dir.parent_path());
  if (::mkdir(dir.c_str(), 0700) != 0) {
    if (errno == EEXIST && fs::is_directory(dir, ec)) return false;
    sys_fail("cannot create the backup directory", dir);
  }
  return true;
}

std::string_view kind_name(BackupKind k) { return k == BackupKind::full ? "full" : "incremental"; }
std::string image_name(std::uint32_t s) { return seq_name("full", s, "img"); }
std::string index_name(std::uint32_t s) { return seq_name("full", s, "idx"); }
std::string delta_name(std::uint32_t s) { return seq_name("delta", s, "cgd"); }

void sync_directory(const fs::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) sys_fail("cannot open directory", dir);
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  if (rc != 0) {
    errno = err;
    sys_fail("cannot fsync directory", dir);
  }
}

}  // namespace cowguard::agent
