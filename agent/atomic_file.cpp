// A file written under a temporary name and renamed into place, durable
// once committed; and the write faults tests inject into it.
#include "format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "records.h"

namespace cowguard::agent {

namespace fs = std::filesystem;
using namespace records;

// ---- AtomicFile ------------------------------------------------------------------

namespace {

std::mutex g_fault_lock;
std::optional<WriteFault> g_fault;  // guarded by g_fault_lock
unsigned g_fault_seen = 0;

// Whether this write to `file` is the one to fail; how many of its bytes
// go out first then.
bool fault_hits(const fs::path& file, std::size_t len, std::size_t* first, int* error) {
  std::lock_guard<std::mutex> g(g_fault_lock);
  if (!g_fault || file.filename().string().find(g_fault->match) == std::string::npos) return false;
  if (++g_fault_seen != g_fault->nth) return false;
  *first = g_fault->torn ? len / 2 : 0;
  *error = g_fault->error;
  return true;
}

// A pause at every step of committing a backup file whose final name
// contains COWGUARD_TEST_COMMIT_PAUSE_MATCH: after the temporary file is
// made, after each write, after the fsync and after the rename, each of
// COWGUARD_TEST_COMMIT_PAUSE_MS milliseconds.  A test lever: it lets a
// test kill the process at each step of, say, the catalog's update.
void commit_step_pause(const fs::path& file) {
  static const long ms = [] {
    const char* v = std::getenv("COWGUARD_TEST_COMMIT_PAUSE_MS");
    return v ? std::atol(v) : 0L;
  }();
  static const std::string match = [] {
    const char* v = std::getenv("COWGUARD_TEST_COMMIT_PAUSE_MATCH");
    return std::string(v ? v : "");
  }();
  if (ms <= 0 || file.filename().string().find(match) == std::string::npos) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void set_write_fault(std::optional<WriteFault> f) {
  std::lock_guard<std::mutex> g(g_fault_lock);
  g_fault = std::move(f);
  g_fault_seen = 0;
}

AtomicFile::AtomicFile(fs::path final_path) : final_(std::move(final_path)) {
  std::random_device rd;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".tmp-%08x", static_cast<unsigned>(rd()));
  temp_ = final_;
  temp_ += suffix;
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) sys_fail("cannot create", temp_);
  commit_step_pause(final_);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

void AtomicFile::write(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t first = 0;
  int error = 0;
  if (fault_hits(final_, len, &first, &error)) {
    if (first) (void)!::write(fd_, p, first);
    errno = error;
    sys_fail("cannot write", temp_);
  }
  while (len) {
    ssize_t w = ::write(fd_, p, len);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) sys_fail("cannot write", temp_);
    p += w;
    len -= static_cast<std::size_t>(w);
  }
  commit_step_pause(final_);
}

void AtomicFile::pwrite(const void* data, std::size_t len, std::uint64_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t first = 0;
  int error = 0;
  if (fault_hits(final_, len, &first, &error)) {
    if (first) (void)!::pwrite(fd_, p, first, static_cast<off_t>(offset));
    errno = error;
    sys_fail("cannot write", temp_);
  }
  while (len) {
    ssize_t w = ::pwrite(fd_, p, len, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) sys_fail("cannot write", temp_);
    p += w;
    offset += static_cast<std::uint64_t>(w);
    len -= static_cast<std::size_t>(w);
  }
}

void AtomicFile::truncate(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) sys_fail("cannot size", temp_);
}

void AtomicFile::commit() {
  if (::fsync(fd_) != 0) sys_fail("cannot fsync", temp_);
  commit_step_pause(final_);
  int rc = ::close(fd_);
  fd_ = -1;
  if (rc != 0) sys_fail("cannot close", temp_);
  if (::rename(temp_.c_str(), final_.c_str()) != 0) sys_fail("cannot rename", temp_);
  committed_ = true;
  commit_step_pause(final_);
  sync_directory(final_.has_parent_path() ? final_.parent_path() : fs::path("."));
}

}  // namespace cowguard::agent
