#include "format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

namespace cowguard::agent {

namespace fs = std::filesystem;

namespace {

constexpr char kDeltaMagic[8] = {'C', 'G', 'D', 'E', 'L', 'T', 'A', '1'};
constexpr char kIndexMagic[8] = {'C', 'G', 'I', 'N', 'D', 'E', 'X', '1'};
constexpr char kTrailerMagic[8] = {'C', 'G', 'E', 'N', 'D', '0', '0', '1'};
constexpr std::uint32_t kFormatVersion = kFileFormatVersion;

// Header of a delta file and of an image index (little-endian, packed by
// construction: every field on its natural boundary).
struct FileHeader {
  char magic[8];
  std::uint32_t version;
  std::uint32_t block_size;
  std::uint32_t block_count;  // blocks of the device: bits of the bitmap
  std::uint32_t blocks;       // blocks in the file (delta) or taken (image)
  std::uint64_t ref;          // delta: checksum of the parent file; index: of the image
  std::int64_t time;
  std::uint32_t sequence;
  std::uint32_t header_size;
  std::uint64_t header_sum;   // of the bytes before it
};
static_assert(sizeof(FileHeader) == 56);

struct Trailer {
  char magic[8];
  std::uint64_t file_sum;  // of every byte before the trailer
};
static_assert(sizeof(Trailer) == 16);

[[noreturn]] void sys_fail(const std::string& what, const fs::path& p) {
  throw std::system_error(errno, std::generic_category(), what + " " + p.string());
}

class Hasher {
 public:
  Hasher() : s_(XXH3_createState()) {
    if (!s_) throw std::bad_alloc();
    XXH3_64bits_reset(s_);
  }
  ~Hasher() { XXH3_freeState(s_); }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;
  void update(const void* p, std::size_t n) { XXH3_64bits_update(s_, p, n); }
  Hash64 digest() const { return XXH3_64bits_digest(s_); }

 private:
  XXH3_state_t* s_;
};

Hash64 header_sum(const FileHeader& h) { return XXH3_64bits(&h, offsetof(FileHeader, header_sum)); }

FileHeader make_header(const char (&magic)[8], std::uint32_t block_size, std::uint32_t block_count,
                       std::uint32_t blocks, Hash64 ref, std::int64_t time, std::uint32_t sequence) {
  FileHeader h{};
  std::memcpy(h.magic, magic, 8);
  h.version = kFormatVersion;
  h.block_size = block_size;
  h.block_count = block_count;
  h.blocks = blocks;
  h.ref = ref;
  h.time = time;
  h.sequence = sequence;
  h.header_size = sizeof(FileHeader);
  h.header_sum = header_sum(h);
  return h;
}

// Reads a file from the start, hashing every byte it hands out.
class HashedReader {
 public:
  explicit HashedReader(const fs::path& p) : path_(p), name_(p.filename().string()) {
    fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw FormatError(name_, std::string("cannot open: ") + std::strerror(errno));
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw FormatError(name_, "cannot stat");
    size_ = static_cast<std::uint64_t>(st.st_size);
  }
  ~HashedReader() { ::close(fd_); }
  HashedReader(const HashedReader&) = delete;
  HashedReader& operator=(const HashedReader&) = delete;

  const std::string& name() const { return name_; }
  std::uint64_t size() const { return size_; }
  std::uint64_t offset() const { return off_; }
  Hash64 digest() const { return h_.digest(); }

  // Reads exactly n bytes; a short file is a truncated one.
  void read(void* buf, std::size_t n, const char* what, bool hash = true) {
    auto* p = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(off_ + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw FormatError(name_, std::string("read error: ") + std::strerror(errno));
      if (r == 0) throw FormatError(name_, std::string("truncated file: ends inside the ") + what);
      done += static_cast<std::size_t>(r);
    }
    if (hash) h_.update(p, n);
    off_ += n;
  }
  void expect_end() const {
    if (off_ != size_) throw FormatError(name_, "unexpected bytes after the end of the file");
  }
  // Reads exactly n bytes at `at`, neither hashing them nor moving on.
  void read_at(void* buf, std::size_t n, std::uint64_t at, const char* what) const {
    auto* p = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(at + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw FormatError(name_, std::string("read error: ") + std::strerror(errno));
      if (r == 0) throw FormatError(name_, std::string("truncated file: ends inside the ") + what);
      done += static_cast<std::size_t>(r);
    }
  }

 private:
  fs::path path_;
  std::string name_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t off_ = 0;
  Hasher h_;
};

void check_header(const FileHeader& h, const char (&magic)[8], const std::string& file) {
  if (std::memcmp(h.magic, magic, 8) != 0) throw FormatError(file, "bad magic: not a cowguard file of this kind");
  if (h.header_sum != header_sum(h)) throw FormatError(file, "corrupt header: checksum mismatch");
  if (h.version != kFormatVersion)
    throw FormatError(file, "unsupported format version " + std::to_string(h.version));
  if (h.header_size != sizeof(FileHeader)) throw FormatError(file, "corrupt header: bad header size");
  if (h.block_size == 0 || h.block_size % 512 || h.block_size > (1u << 20))
    throw FormatError(file, "corrupt header: bad block size " + std::to_string(h.block_size));
}

// Reads and checks the trailer; returns the checksum of the whole file,
// trailer included (the one the catalog records).
Hash64 check_trailer(HashedReader& r) {
  Hash64 expect = r.digest();
  Trailer t{};
  if (r.size() - r.offset() < sizeof t) throw FormatError(r.name(), "truncated file: no trailer");
  r.read(&t, sizeof t, "trailer");
  if (std::memcmp(t.magic, kTrailerMagic, 8) != 0) throw FormatError(r.name(), "truncated file: no trailer");
  if (t.file_sum != expect) throw FormatError(r.name(), "file checksum mismatch");
  r.expect_end();
  return r.digest();
}

Trailer make_trailer(Hash64 sum) {
  Trailer t{};
  std::memcpy(t.magic, kTrailerMagic, 8);
  t.file_sum = sum;
  return t;
}

std::string seq_name(const char* prefix, std::uint32_t seq, const char* ext) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s-%06u.%s", prefix, seq, ext);
  return buf;
}

}  // namespace

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

// ---- ImageWriter -----------------------------------------------------------------

struct ImageWriter::Impl {
  fs::path dir;
  std::uint32_t sequence;
  std::int64_t time;
  std::uint32_t block_size;
  BlockBitmap taken;
  AtomicFile image;
  Hasher image_sum;
  std::vector<Hash64> sums;  // one per block of the device
  std::vector<std::uint8_t> zero;
  std::uint32_t next = 0;    // blocks below it are hashed
  std::uint64_t written = 0;

  Impl(const fs::path& d, std::uint32_t seq, std::int64_t t, std::uint32_t bs, const BlockBitmap& tk)
      : dir(d), sequence(seq), time(t), block_size(bs), taken(tk), image(d / image_name(seq)),
        sums(tk.blocks()), zero(bs, 0) {}
};

ImageWriter::ImageWriter(const fs::path& dir, std::uint32_t sequence, std::int64_t time,
                         std::uint32_t block_size, const BlockBitmap& taken)
    : p_(std::make_unique<Impl>(dir, sequence, time, block_size, taken)) {
  p_->image.truncate(static_cast<std::uint64_t>(taken.blocks()) * block_size);
}

ImageWriter::~ImageWriter() = default;

void ImageWriter::fill_to(std::uint32_t block) {
  // Blocks not taken read as zeros in the sparse image.
  for (; p_->next < block; p_->next++) {
    p_->image_sum.update(p_->zero.data(), p_->block_size);
    p_->sums[p_->next] = block_hash(p_->zero.data(), p_->block_size, p_->next);
  }
}

void ImageWriter::put(std::uint32_t first, std::uint32_t count, const std::uint8_t* data) {
  if (first < p_->next || static_cast<std::uint64_t>(first) + count > p_->taken.blocks())
    throw std::logic_error("ImageWriter: blocks out of order or beyond the device");
  fill_to(first);
  const std::uint32_t bs = p_->block_size;
  for (std::uint32_t i = 0; i < count; i++) {
    if (!p_->taken.test(first + i)) throw std::logic_error("ImageWriter: a block that is not taken");
    const std::uint8_t* b = data + static_cast<std::size_t>(i) * bs;
    p_->image_sum.update(b, bs);
    p_->sums[first + i] = block_hash(b, bs, first + i);
  }
  p_->image.pwrite(data, static_cast<std::size_t>(count) * bs, static_cast<std::uint64_t>(first) * bs);
  p_->next = first + count;
  p_->written += static_cast<std::uint64_t>(count) * bs;
}

FileInfo ImageWriter::finish() {
  fill_to(p_->taken.blocks());
  Hash64 image_sum = p_->image_sum.digest();
  p_->image.commit();

  // An image without its index is of no use: it goes when the index fails.
  Hasher h;
  try {
    AtomicFile index(p_->dir / index_name(p_->sequence));
    auto out = [&](const void* d, std::size_t n) {
      h.update(d, n);
      index.write(d, n);
    };
    FileHeader hdr = make_header(kIndexMagic, p_->block_size, p_->taken.blocks(),
                                 static_cast<std::uint32_t>(p_->taken.count()), image_sum, p_->time,
                                 p_->sequence);
    out(&hdr, sizeof hdr);
    out(p_->taken.bytes().data(), p_->taken.bytes().size());
    out(p_->sums.data(), p_->sums.size() * sizeof(Hash64));
    Trailer t = make_trailer(h.digest());
    out(&t, sizeof t);  // the index checksum is the whole file's, trailer included
    index.commit();
  } catch (...) {
    ::unlink(p_->image.path().c_str());
    throw;
  }

  FileInfo info;
  info.file = image_name(p_->sequence);
  info.index = index_name(p_->sequence);
  info.checksum = image_sum;
  info.index_checksum = h.digest();
  info.blocks = p_->taken.count();
  info.bytes_written = p_->written;
  return info;
}

// ---- DeltaWriter -----------------------------------------------------------------

struct DeltaWriter::Impl {
  std::uint32_t block_size;
  BlockBitmap changed;
  AtomicFile file;
  Hasher sum;
  std::uint32_t next = 0;
  std::uint64_t blocks = 0;
  std::uint64_t written = 0;
  std::uint64_t expected;

  // The records of the blocks, gathered into writes of about kFlush bytes:
  // a scattered delta is mostly one-block runs, and two small writes a
  // block cost more than the block.
  static constexpr std::size_t kFlush = 1 << 20;
  std::vector<std::uint8_t> pending;

  Impl(const fs::path& d, std::uint32_t seq, std::uint32_t bs, const BlockBitmap& ch)
      : block_size(bs), changed(ch), file(d / delta_name(seq)), expected(ch.count()) {}
  void out(const void* d, std::size_t n) {
    sum.update(d, n);
    file.write(d, n);
  }
  void out_gathered(const void* d, std::size_t n) {
    sum.update(d, n);
    const auto* b = static_cast<const std::uint8_t*>(d);
    pending.insert(pending.end(), b, b + n);
    if (pending.size() >= kFlush) flush();
  }
  void flush() {
    if (!pending.empty()) file.write(pending.data(), pending.size());
    pending.clear();
  }
};

DeltaWriter::DeltaWriter(const fs::path& dir, std::uint32_t sequence, std::int64_t time,
                         std::uint32_t block_size, Hash64 parent_id, const BlockBitmap& changed)
    : p_(std::make_unique<Impl>(dir, sequence, block_size, changed)) {
  FileHeader hdr = make_header(kDeltaMagic, block_size, changed.blocks(),
                               static_cast<std::uint32_t>(p_->expected), parent_id, time, sequence);
  p_->out(&hdr, sizeof hdr);
  p_->out(changed.bytes().data(), changed.bytes().size());
}

DeltaWriter::~DeltaWriter() = default;

void DeltaWriter::put(std::uint32_t first, std::uint32_t count, const std::uint8_t* data) {
  if (first < p_->next) throw std::logic_error("DeltaWriter: blocks out of order");
  const std::uint32_t bs = p_->block_size;
  for (std::uint32_t i = 0; i < count; i++) {
    std::uint32_t n = first + i;
    if (!p_->changed.test(n)) throw std::logic_error("DeltaWriter: a block not in the changed map");
    const std::uint8_t* b = data + static_cast<std::size_t>(i) * bs;
    Hash64 h = block_hash(b, bs, n);
    p_->out_gathered(&h, sizeof h);
    p_->out_gathered(b, bs);
  }
  p_->next = first + count;
  p_->blocks += count;
  p_->written += static_cast<std::uint64_t>(count) * bs;
}

FileInfo DeltaWriter::finish() {
  if (p_->blocks != p_->expected) throw std::logic_error("DeltaWriter: not every changed block was written");
  p_->flush();
  Trailer t = make_trailer(p_->sum.digest());
  p_->sum.update(&t, sizeof t);
  p_->file.write(&t, sizeof t);
  p_->file.commit();
  FileInfo info;
  info.file = p_->file.path().filename().string();
  info.checksum = p_->sum.digest();
  info.blocks = p_->blocks;
  info.bytes_written = p_->written;
  return info;
}

// ---- Catalog ---------------------------------------------------------------------

namespace {

using nlohmann::json;

// A field of an object of the catalog, with a message that names it when it
// is missing or of the wrong type.
template <class T>
T field(const json& j, const char* name, const std::string& where) {
  auto it = j.find(name);
  if (it == j.end()) throw FormatError(Catalog::kFileName, where + " has no field '" + name + "'");
  try {
    return it->get<T>();
  } catch (const json::exception&) {
    throw FormatError(Catalog::kFileName, where + ": field '" + name + "' is not a valid value");
  }
}

Hash64 json_hash(const json& j, const char* name, const std::string& where) {
  auto h = hash_from_hex(field<std::string>(j, name, where));
  if (!h) throw FormatError(Catalog::kFileName, where + ": bad checksum text in '" + name + "'");
  return *h;
}

// A name from the catalog must stay inside the backup directory.
std::string safe_name(const json& j, const char* name, const std::string& where) {
  std::string s = field<std::string>(j, name, where);
  if (s.empty() || s.find('/') != std::string::npos || s == "." || s == "..")
    throw FormatError(Catalog::kFileName, where + ": bad file name in '" + name + "': " + s);
  return s;
}

std::string human_size(std::uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    u++;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
  return buf;
}

}  // namespace

bool SourceIdentity::same_as(const SourceIdentity& o) const {
  if (fs_uuid && o.fs_uuid) return *fs_uuid == *o.fs_uuid;
  return major == o.major && minor == o.minor && device_bytes == o.device_bytes &&
         block_size == o.block_size;
}

std::string SourceIdentity::describe() const {
  std::string s = std::to_string(major) + ":" + std::to_string(minor) + ", " + human_size(device_bytes) +
                  ", " + std::to_string(block_size) + "-byte blocks";
  s += fs_uuid ? ", file system UUID " + *fs_uuid : ", no file system UUID";
  return s;
}

SourceIdentity Catalog::source() const {
  SourceIdentity s;
  s.major = major;
  s.minor = minor;
  s.device_bytes = device_bytes;
  s.block_size = block_size;
  s.fs_uuid = fs_uuid;
  return s;
}

void Catalog::set_source(const SourceIdentity& s) {
  major = s.major;
  minor = s.minor;
  device_bytes = s.device_bytes;
  block_size = s.block_size;
  block_count = s.block_size ? static_cast<std::uint32_t>(s.device_bytes / s.block_size) : 0;
  fs_uuid = s.fs_uuid;
}

std::optional<Catalog> Catalog::load(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw FormatError::missing(dir.string(), "no such backup directory");
  if (!fs::is_directory(dir, ec)) throw FormatError::missing(dir.string(), "not a directory");
  fs::path p = dir / kFileName;
  if (!fs::exists(fs::symlink_status(p, ec))) return std::nullopt;
  if (!fs::is_regular_file(p, ec)) throw FormatError(kFileName, "not a regular file");
  std::ifstream in(p, std::ios::binary);
  std::stringstream text;
  if (!in || !(text << in.rdbuf())) throw FormatError(kFileName, "cannot read the catalog");
  Catalog c;
  json j;
  try {
    j = json::parse(text.str());
  } catch (const json::parse_error& e) {
    throw FormatError(kFileName, "not valid JSON (at byte " + std::to_string(e.byte) + ")");
  }
  if (!j.is_object()) throw FormatError(kFileName, "not a JSON object");
  if (j.value("format", std::string()) != "cowguard-catalog")
    throw FormatError(kFileName, "not a cowguard catalog");
  const int version = field<int>(j, "version", "the catalog");
  if (version != 1 && version != 2)
    throw FormatError(kFileName, "catalog version " + std::to_string(version) + " is not supported");
  if (version == 1) {  // the source and geometry of the whole directory
    c.major = field<unsigned>(j, "major", "the catalog");
    c.minor = field<unsigned>(j, "minor", "the catalog");
    c.block_size = field<std::uint32_t>(j, "block_size", "the catalog");
    c.block_count = field<std::uint32_t>(j, "block_count", "the catalog");
    c.device_bytes = static_cast<std::uint64_t>(c.block_size) * c.block_count;
  } else {
    const json src = field<json>(j, "source", "the catalog");
    c.major = field<unsigned>(src, "major", "the source");
    c.minor = field<unsigned>(src, "minor", "the source");
    c.device_bytes = field<std::uint64_t>(src, "device_bytes", "the source");
    c.block_size = field<std::uint32_t>(src, "block_size", "the source");
    if (c.block_size == 0) throw FormatError(kFileName, "the source has a block size of 0");
    c.block_count = static_cast<std::uint32_t>(c.device_bytes / c.block_size);
    if (src.contains("fs_uuid") && !src.at("fs_uuid").is_null())
      c.fs_uuid = field<std::string>(src, "fs_uuid", "the source");
  }
  const json key = field<json>(j, "key", "the catalog");
  if (!key.is_null()) {
    c.key = key.is_string() ? key_from_hex(key.get<std::string>()) : std::nullopt;
    if (!c.key) throw FormatError(kFileName, "bad key text");
  }
  const json chain = field<json>(j, "chain", "the catalog");
  if (!chain.is_array()) throw FormatError(kFileName, "'chain' is not a list");
  for (const json& e : chain) {
    ChainEntry ce;
    ce.sequence = field<std::uint32_t>(e, "sequence", "an entry");
    const std::string where = "entry " + std::to_string(ce.sequence);
    std::string kind = field<std::string>(e, "kind", where);
    if (kind == "full") ce.kind = BackupKind::full;
    else if (kind == "incremental") ce.kind = BackupKind::incremental;
    else throw FormatError(kFileName, where + ": unknown backup kind " + kind);
    const json parent = field<json>(e, "parent", where);
    if (!parent.is_null()) ce.parent = field<std::uint32_t>(e, "parent", where);
    ce.time = field<std::int64_t>(e, "time", where);
    if (version == 1) {
      ce.chain = 1;
      ce.block_size = c.block_size;
      ce.block_count = c.block_count;
    } else {
      ce.chain = field<std::uint32_t>(e, "chain", where);
      ce.block_size = field<std::uint32_t>(e, "block_size", where);
      ce.block_count = field<std::uint32_t>(e, "block_count", where);
    }
    ce.info.file = safe_name(e, "file", where);
    ce.info.checksum = json_hash(e, "checksum", where);
    if (ce.kind == BackupKind::full) {
      ce.info.index = safe_name(e, "index", where);
      ce.info.index_checksum = json_hash(e, "index_checksum", where);
    }
    ce.all_blocks = e.value("all_blocks", false);
    ce.info.blocks = field<std::uint64_t>(e, "blocks", where);
    ce.info.bytes_written = field<std::uint64_t>(e, "bytes", where);
    if ((ce.kind == BackupKind::full) != !ce.parent)
      throw FormatError(kFileName, where + ": a full backup has no parent, an incremental one has one");
    if (c.find(ce.sequence)) throw FormatError(kFileName, where + " is listed twice");
    c.entries.push_back(std::move(ce));
  }
  // Version 1 kept one chain: a later full backup restarted it.
  if (version == 1) {
    std::uint32_t chainNo = 0;
    for (ChainEntry& e : c.entries) {
      if (e.kind == BackupKind::full) chainNo++;
      e.chain = std::max<std::uint32_t>(chainNo, 1);
    }
  }
  return c;
}

void Catalog::save(const fs::path& dir) const {
  json chain = json::array();
  for (const ChainEntry& e : entries) {
    json je = {{"sequence", e.sequence},
               {"chain", e.chain},
               {"kind", std::string(kind_name(e.kind))},
               {"parent", e.parent ? json(*e.parent) : json(nullptr)},
               {"time", e.time},
               {"block_size", e.block_size},
               {"block_count", e.block_count},
               {"file", e.info.file},
               {"checksum", hash_hex(e.info.checksum)},
               {"blocks", e.info.blocks},
               {"bytes", e.info.bytes_written}};
    if (e.all_blocks) je["all_blocks"] = true;
    if (e.kind == BackupKind::full) {
      je["index"] = e.info.index;
      je["index_checksum"] = hash_hex(e.info.index_checksum);
    }
    chain.push_back(std::move(je));
  }
  json j = {{"format", "cowguard-catalog"},
            {"version", kVersion},
            {"source",
             {{"major", major},
              {"minor", minor},
              {"device_bytes", device_bytes},
              {"block_size", block_size},
              {"fs_uuid", fs_uuid ? json(*fs_uuid) : json(nullptr)}}},
            {"key", key ? json(key_to_hex(*key)) : json(nullptr)},
            {"chain", chain}};
  std::string text = j.dump(2) + "\n";
  AtomicFile f(dir / kFileName);
  f.write(text.data(), text.size());
  f.commit();
}

const ChainEntry* Catalog::find(std::uint32_t sequence) const {
  for (const ChainEntry& e : entries)
    if (e.sequence == sequence) return &e;
  return nullptr;
}

const ChainEntry* Catalog::latest() const { return entries.empty() ? nullptr : &entries.back(); }

std::uint32_t Catalog::next_sequence() const {
  std::uint32_t n = 0;
  for (const ChainEntry& e : entries) n = std::max(n, e.sequence);
  return n + 1;
}

std::uint32_t Catalog::next_chain() const {
  std::uint32_t n = 0;
  for (const ChainEntry& e : entries) n = std::max(n, e.chain);
  return n + 1;
}

std::vector<const ChainEntry*> Catalog::chain_to(std::uint32_t sequence) const {
  std::vector<const ChainEntry*> chain;
  const ChainEntry* e = find(sequence);
  if (!e) {
    std::string points;
    for (const ChainEntry& x : entries) points += (points.empty() ? "" : ", ") + std::to_string(x.sequence);
    throw FormatError::missing(kFileName, "no backup point " + std::to_string(sequence) +
                                              (points.empty() ? " (the catalog lists none)"
                                                              : " (points: " + points + ")"));
  }
  while (e) {
    if (chain.size() > entries.size()) throw FormatError(kFileName, "the chain loops");
    chain.push_back(e);
    if (!e->parent) break;
    const ChainEntry* parent = find(*e->parent);
    if (!parent)
      throw FormatError(kFileName, "entry " + std::to_string(e->sequence) + " names a parent " +
                                       std::to_string(*e->parent) + " that is not in the catalog");
    if (parent->block_size != e->block_size || parent->block_count != e->block_count)
      throw FormatError(kFileName, "entry " + std::to_string(e->sequence) +
                                       " has another geometry than its parent");
    e = parent;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

// ---- leftovers ---------------------------------------------------------------------

namespace {

// A data file name the writers use: full-NNNNNN.img, full-NNNNNN.idx, delta-NNNNNN.cgd.
bool data_file_name(const std::string& n) {
  auto digits = [&](std::size_t from) {
    if (n.size() < from + 6) return false;
    for (std::size_t i = from; i < from + 6; i++)
      if (n[i] < '0' || n[i] > '9') return false;
    return true;
  };
  if (n.size() == 15 && n.rfind("full-", 0) == 0 && digits(5))
    return n.compare(11, 4, ".img") == 0 || n.compare(11, 4, ".idx") == 0;
  return n.size() == 16 && n.rfind("delta-", 0) == 0 && digits(6) && n.compare(12, 4, ".cgd") == 0;
}

}  // namespace

Leftovers find_leftovers(const fs::path& dir, const Catalog* cat) {
  Leftovers l;
  std::error_code ec;
  for (const auto& de : fs::directory_iterator(dir, ec)) {
    std::string n = de.path().filename().string();
    if (!de.is_regular_file(ec)) continue;
    if (n.find(".tmp-") != std::string::npos) {
      l.temporary.push_back(n);
      continue;
    }
    if (!data_file_name(n)) continue;
    bool committed = false;
    if (cat)
      for (const ChainEntry& e : cat->entries)
        if (e.info.file == n || e.info.index == n) committed = true;
    if (!committed) l.orphans.push_back(n);
  }
  std::sort(l.temporary.begin(), l.temporary.end());
  std::sort(l.orphans.begin(), l.orphans.end());
  return l;
}

Leftovers remove_leftovers(const fs::path& dir) {
  DirLock lock(dir, DirLock::Mode::exclusive, "a repair of leftover files");
  std::optional<Catalog> cat = Catalog::load(dir);
  Leftovers l = find_leftovers(dir, cat ? &*cat : nullptr);
  for (const auto* names : {&l.temporary, &l.orphans})
    for (const std::string& n : *names)
      if (::unlink((dir / n).c_str()) != 0 && errno != ENOENT) sys_fail("cannot remove", dir / n);
  if (!l.empty()) sync_directory(dir);
  return l;
}

// ---- reading a chain ---------------------------------------------------------------

namespace {

constexpr std::uint32_t kRunBlocks = 256;

bool all_zero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

// Where verified blocks go: the output image, or nowhere (verify).
using BlockSink = std::function<void(std::uint32_t block, const std::uint8_t* data)>;

void require_whole_sum(Hash64 got, const std::string& file, Hash64 want) {
  if (got != want) throw FormatError(file, "checksum does not match the catalog's");
}

// A data file of the chain must be there: its absence is a missing input.
void require_present(const fs::path& dir, const std::string& name, const ChainEntry& e) {
  std::error_code ec;
  if (!fs::exists(dir / name, ec))
    throw FormatError(name, "missing (backup point " + std::to_string(e.sequence) + ", " +
                                std::string(kind_name(e.kind)) + ")",
                      std::nullopt, FormatError::Kind::missing);
}

// Reads a full backup's index: its header, taken-block map and block checksums.
struct Index {
  FileHeader hdr{};
  BlockBitmap taken;
  std::vector<Hash64> sums;
};

Index read_index(const fs::path& dir, const ChainEntry& e) {
  require_present(dir, e.info.index, e);
  HashedReader idx(dir / e.info.index);
  Index x;
  idx.read(&x.hdr, sizeof x.hdr, "header");
  check_header(x.hdr, kIndexMagic, idx.name());
  if (x.hdr.block_size != e.block_size || x.hdr.block_count != e.block_count)
    throw FormatError(idx.name(), "block size or count differs from the catalog's");
  if (x.hdr.sequence != e.sequence) throw FormatError(idx.name(), "sequence differs from the catalog's");
  std::vector<std::uint8_t> bytes((static_cast<std::size_t>(x.hdr.block_count) + 7) / 8);
  idx.read(bytes.data(), bytes.size(), "taken-block bitmap");
  x.taken = BlockBitmap(std::move(bytes), x.hdr.block_count);
  x.sums.resize(x.hdr.block_count);
  idx.read(x.sums.data(), x.sums.size() * sizeof(Hash64), "block checksums");
  require_whole_sum(check_trailer(idx), idx.name(), e.info.index_checksum);
  return x;
}

// Checks a full backup (index and image) and hands every block to the
// sink.  quick: the index whole, the image's size only.
void read_full(const fs::path& dir, const ChainEntry& e, const BlockSink& sink, bool quick,
               const Progress& progress, std::uint64_t* bytes_done) {
  Index x = read_index(dir, e);
  require_present(dir, e.info.file, e);
  HashedReader img(dir / e.info.file);
  const std::uint64_t bs = x.hdr.block_size;
  if (img.size() != x.hdr.block_count * bs)
    throw FormatError(img.name(), img.size() < x.hdr.block_count * bs ? "truncated image"
                                                                     : "unexpected bytes after the image");
  if (quick) return;
  std::vector<std::uint8_t> buf(kRunBlocks * bs);
  for (std::uint32_t first = 0; first < x.hdr.block_count; first += kRunBlocks) {
    check_interrupt();
    std::uint32_t n = std::min(kRunBlocks, x.hdr.block_count - first);
    img.read(buf.data(), n * bs, "image");
    for (std::uint32_t i = 0; i < n; i++) {
      const std::uint8_t* b = buf.data() + i * bs;
      if (block_hash(b, bs, first + i) != x.sums[first + i])
        throw FormatError(img.name(), "block checksum mismatch", first + i);
      if (sink) sink(first + i, b);
    }
    if (progress) progress(*bytes_done += n * bs, 0);
  }
  img.expect_end();
  if (img.digest() != x.hdr.ref) throw FormatError(img.name(), "image checksum does not match its index");
  require_whole_sum(img.digest(), img.name(), e.info.checksum);
}

// Reads a delta file's header and changed-block map, checked.
struct DeltaHead {
  FileHeader hdr{};
  BlockBitmap changed;
  std::uint64_t data_offset = 0;  // where the first block's checksum is
};

DeltaHead read_delta_head(HashedReader& r, const ChainEntry& e, Hash64 parent_sum) {
  DeltaHead d;
  r.read(&d.hdr, sizeof d.hdr, "header");
  check_header(d.hdr, kDeltaMagic, r.name());
  if (d.hdr.block_size != e.block_size || d.hdr.block_count != e.block_count)
    throw FormatError(r.name(), "block size or count differs from the catalog's");
  if (d.hdr.sequence != e.sequence) throw FormatError(r.name(), "sequence differs from the catalog's");
  if (d.hdr.ref != parent_sum)
    throw FormatError(r.name(), "wrong parent: the file does not apply to the backup before it");
  std::vector<std::uint8_t> bytes((static_cast<std::size_t>(d.hdr.block_count) + 7) / 8);
  r.read(bytes.data(), bytes.size(), "changed-block bitmap");
  d.changed = BlockBitmap(bytes, d.hdr.block_count);
  if (d.changed.count() != d.hdr.blocks ||
      !std::equal(bytes.begin(), bytes.end(), d.changed.bytes().begin()))
    throw FormatError(r.name(), "changed-block bitmap does not match the header's block count");
  d.data_offset = r.offset();
  return d;
}

// Checks a delta file and hands its blocks to the sink.  parent_sum is the
// checksum of the file it applies to.  quick: header, map and size only.
void read_delta(const fs::path& dir, const ChainEntry& e, Hash64 parent_sum, const BlockSink& sink,
                bool quick, const Progress& progress, std::uint64_t* bytes_done) {
  require_present(dir, e.info.file, e);
  HashedReader r(dir / e.info.file);
  DeltaHead d = read_delta_head(r, e, parent_sum);
  const std::size_t bs = d.hdr.block_size;
  const std::uint64_t want_size = d.data_offset + d.changed.count() * (sizeof(Hash64) + bs) + sizeof(Trailer);
  if (quick) {
    if (r.size() != want_size)
      throw FormatError(r.name(), r.size() < want_size ? "truncated file" : "unexpected bytes after the end of the file");
    return;
  }
  std::vector<std::uint8_t> block(bs);
  std::uint64_t since = 0;
  d.changed.for_each_run(kRunBlocks, [&](std::uint32_t first, std::uint32_t count) {
    check_interrupt();
    for (std::uint32_t n = first; n < first + count; n++) {
      Hash64 want = 0;
      r.read(&want, sizeof want, "block data");
      r.read(block.data(), bs, "block data");
      if (block_hash(block.data(), bs, n) != want) throw FormatError(r.name(), "block checksum mismatch", n);
      if (sink) sink(n, block.data());
    }
    since += count * (bs + sizeof(Hash64));
    if (progress) progress(*bytes_done += count * (bs + sizeof(Hash64)), 0);
  });
  require_whole_sum(check_trailer(r), r.name(), e.info.checksum);
}

// The bytes of the chain's data files: what reading them all takes.
std::uint64_t chain_bytes(const fs::path& dir, const std::vector<const ChainEntry*>& chain) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (const ChainEntry* e : chain) {
    std::uintmax_t n = fs::file_size(dir / e->info.file, ec);
    if (!ec) total += n;
    ec.clear();
  }
  return total;
}

// Verifies every file of the chain (entries from a full backup on) without
// handing out any block.  progress counts the bytes read.
void verify_chain(const fs::path& dir, const std::vector<const ChainEntry*>& chain, const Progress& progress,
                  std::uint64_t* done) {
  Hash64 parent_sum = 0;
  for (const ChainEntry* e : chain) {
    if (e->kind == BackupKind::full) read_full(dir, *e, {}, false, progress, done);
    else read_delta(dir, *e, parent_sum, {}, false, progress, done);
    parent_sum = e->info.checksum;
  }
}

// The point asked for (none: the newest) and its chain, from the catalog.
std::vector<const ChainEntry*> chain_of(const fs::path& dir, const Catalog& cat,
                                        std::optional<std::uint32_t> point) {
  if (!point && !cat.latest()) throw FormatError::missing(Catalog::kFileName, "the catalog lists no backup point");
  return cat.chain_to(point ? *point : cat.latest()->sequence);
}

Catalog load_existing(const fs::path& dir) {
  std::optional<Catalog> cat = Catalog::load(dir);
  if (!cat) throw FormatError::missing(dir.string(), std::string("not a backup directory: it has no ") + Catalog::kFileName);
  return std::move(*cat);
}

// Writes n bytes to fd at the current position (a stream) or at offset.
void write_out(int fd, const void* data, std::size_t n, std::optional<std::uint64_t> offset) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n) {
    ssize_t w = offset ? ::pwrite(fd, p, n, static_cast<off_t>(*offset)) : ::write(fd, p, n);
    if (w < 0 && errno == EINTR) {
      check_interrupt();  // a signal that asks to stop ends a write blocked on a stream
      continue;
    }
    if (w < 0) throw std::system_error(errno, std::generic_category(), "cannot write the restored image");
    p += w;
    n -= static_cast<std::size_t>(w);
    if (offset) *offset += static_cast<std::uint64_t>(w);
  }
}

RestoreResult result_of(const std::vector<const ChainEntry*>& chain) {
  RestoreResult r;
  r.point = chain.back()->sequence;
  r.files_applied = chain.size();
  r.block_size = chain.back()->block_size;
  r.block_count = chain.back()->block_count;
  return r;
}

}  // namespace

RestoreResult restore(const fs::path& dir, std::optional<std::uint32_t> point, const fs::path& out_image,
                      const Progress& progress) {
  DirLock lock(dir, DirLock::Mode::shared, "a restore");
  Catalog cat = load_existing(dir);
  std::vector<const ChainEntry*> chain = chain_of(dir, cat, point);
  const ChainEntry& last = *chain.back();

  AtomicFile out(out_image);
  const std::uint64_t bs = last.block_size;
  const std::uint64_t total = chain_bytes(dir, chain);
  out.truncate(static_cast<std::uint64_t>(last.block_count) * bs);
  BlockSink to_image = [&](std::uint32_t n, const std::uint8_t* data) { out.pwrite(data, bs, n * bs); };
  BlockSink from_full = [&](std::uint32_t n, const std::uint8_t* data) {
    if (!all_zero(data, bs)) out.pwrite(data, bs, n * bs);  // the output stays sparse
  };
  Progress step;
  if (progress) {
    progress(0, total);
    step = [&](std::uint64_t d, std::uint64_t) { progress(std::min(d, total), total); };
  }
  Hash64 parent_sum = 0;
  std::uint64_t bytes = 0;
  for (const ChainEntry* e : chain) {
    if (e->kind == BackupKind::full) read_full(dir, *e, from_full, false, step, &bytes);
    else read_delta(dir, *e, parent_sum, to_image, false, step, &bytes);
    parent_sum = e->info.checksum;
  }
  check_interrupt();
  out.commit();
  if (progress) progress(total, total);
  return result_of(chain);
}

RestoreResult restore_to_fd(const fs::path& dir, std::optional<std::uint32_t> point, int fd, bool seekable,
                            const Progress& progress) {
  DirLock lock(dir, DirLock::Mode::shared, "a restore");
  Catalog cat = load_existing(dir);
  std::vector<const ChainEntry*> chain = chain_of(dir, cat, point);
  const ChainEntry& last = *chain.back();
  const std::uint32_t count = last.block_count;
  const std::size_t bs = last.block_size;
  // Progress counts the chain's bytes read to verify it, then the image's
  // bytes written.
  const std::uint64_t verify_bytes = chain_bytes(dir, chain);
  const std::uint64_t total = verify_bytes + static_cast<std::uint64_t>(count) * bs;
  std::uint64_t done = 0;
  Progress step;
  if (progress) {
    progress(0, total);
    step = [&](std::uint64_t d, std::uint64_t) { progress(std::min(d, verify_bytes), total); };
  }
  verify_chain(dir, chain, step, &done);  // nothing is written unless the whole chain is good

  // Each block comes from the newest file of the chain that holds it: the
  // deltas' data, in block order, or the full backup's image.
  struct Source {
    std::unique_ptr<HashedReader> reader;
    BlockBitmap changed;     // deltas
    std::uint64_t next = 0;  // offset of the next changed block's checksum
  };
  std::vector<Source> sources;
  Hash64 parent_sum = 0;
  for (const ChainEntry* e : chain) {
    Source src;
    src.reader = std::make_unique<HashedReader>(dir / e->info.file);
    if (e->kind == BackupKind::incremental) {
      DeltaHead d = read_delta_head(*src.reader, *e, parent_sum);
      src.changed = std::move(d.changed);
      src.next = d.data_offset;
    }
    parent_sum = e->info.checksum;
    sources.push_back(std::move(src));
  }
  std::vector<std::uint8_t> run(static_cast<std::size_t>(kRunBlocks) * bs);
  std::optional<std::uint64_t> at;
  if (seekable) at = 0;
  for (std::uint32_t first = 0; first < count; first += kRunBlocks) {
    check_interrupt();
    const std::uint32_t n = std::min(kRunBlocks, count - first);
    sources[0].reader->read_at(run.data(), n * bs, static_cast<std::uint64_t>(first) * bs, "image");
    for (std::size_t k = 1; k < sources.size(); k++) {
      Source& src = sources[k];
      for (std::uint32_t i = 0; i < n; i++) {
        if (!src.changed.test(first + i)) continue;
        src.reader->read_at(run.data() + i * bs, bs, src.next + sizeof(Hash64), "block data");
        src.next += sizeof(Hash64) + bs;
      }
    }
    write_out(fd, run.data(), n * bs, at);
    if (at) at = static_cast<std::uint64_t>(first + n) * bs;
    if (progress) progress(verify_bytes + static_cast<std::uint64_t>(first + n) * bs, total);
  }
  if (seekable && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
    throw std::system_error(errno, std::generic_category(), "cannot flush the restored image");
  return result_of(chain);
}

VerifyReport verify(const fs::path& dir, const VerifyOptions& opts) {
  DirLock lock(dir, DirLock::Mode::shared, "a verify");
  Catalog cat = load_existing(dir);
  VerifyReport rep;
  std::vector<const ChainEntry*> entries;
  if (opts.point) {
    entries = cat.chain_to(*opts.point);
  } else {
    for (const ChainEntry& e : cat.entries) entries.push_back(&e);
  }
  std::uint64_t total = 0, done = 0;
  std::error_code ec;
  for (const ChainEntry* e : entries) {
    total += fs::file_size(dir / e->info.file, ec);
    if (ec) ec.clear();
  }
  std::set<std::uint32_t> bad;  // points whose own files are bad
  for (const ChainEntry* e : entries) {
    check_interrupt();
    Hash64 parent_sum = 0;
    std::vector<std::string> files = {e->info.file};
    if (e->kind == BackupKind::full) files.insert(files.begin(), e->info.index);
    FileCheck fc;
    fc.point = e->sequence;
    fc.kind = e->kind;
    fc.file = e->info.file;
    try {
      if (e->parent) {
        const ChainEntry* p = cat.find(*e->parent);
        if (!p) throw FormatError(Catalog::kFileName, "entry " + std::to_string(e->sequence) + " has no parent in the catalog");
        parent_sum = p->info.checksum;
      }
      Progress step;
      if (opts.progress) step = [&](std::uint64_t d, std::uint64_t) { opts.progress(d, total); };
      if (e->kind == BackupKind::full) read_full(dir, *e, {}, opts.quick, step, &done);
      else read_delta(dir, *e, parent_sum, {}, opts.quick, step, &done);
    } catch (const FormatError& err) {
      fc.ok = false;
      fc.missing = err.kind() == FormatError::Kind::missing;
      fc.file = err.file();
      fc.message = err.what();
      fc.block = err.block();
      bad.insert(e->sequence);
      if (rep.ok) {
        rep.ok = false;
        rep.file = err.file();
        rep.block = err.block();
        rep.message = err.what();
      }
    }
    rep.files_checked += files.size();
    rep.points_checked++;
    rep.files.push_back(std::move(fc));
  }
  // A point is restorable when every file of its chain is good.
  for (const ChainEntry* e : entries) {
    bool good = true;
    try {
      for (const ChainEntry* c : cat.chain_to(e->sequence))
        if (bad.count(c->sequence)) good = false;
    } catch (const FormatError&) {
      good = false;
    }
    (good ? rep.restorable : rep.unrestorable).push_back(e->sequence);
  }
  rep.leftovers = find_leftovers(dir, &cat);
  return rep;
}

}  // namespace cowguard::agent
