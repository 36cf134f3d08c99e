// The records every backup file shares: the magic numbers, the header of a
// delta file and of an image index, the trailer that ends each file, the
// running hash of a file's bytes and a reader that keeps it.  Used by the
// writers and by restore and verify; not part of the agent's interface.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "format.h"

namespace cowguard::agent::records {

namespace fs = std::filesystem;

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

[[noreturn]] inline void sys_fail(const std::string& what, const fs::path& p) {
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

inline Hash64 header_sum(const FileHeader& h) { return XXH3_64bits(&h, offsetof(FileHeader, header_sum)); }

inline FileHeader make_header(const char (&magic)[8], std::uint32_t block_size, std::uint32_t block_count,
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

inline void check_header(const FileHeader& h, const char (&magic)[8], const std::string& file) {
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
inline Hash64 check_trailer(HashedReader& r) {
  Hash64 expect = r.digest();
  Trailer t{};
  if (r.size() - r.offset() < sizeof t) throw FormatError(r.name(), "truncated file: no trailer");
  r.read(&t, sizeof t, "trailer");
  if (std::memcmp(t.magic, kTrailerMagic, 8) != 0) throw FormatError(r.name(), "truncated file: no trailer");
  if (t.file_sum != expect) throw FormatError(r.name(), "file checksum mismatch");
  r.expect_end();
  return r.digest();
}

inline Trailer make_trailer(Hash64 sum) {
  Trailer t{};
  std::memcpy(t.magic, kTrailerMagic, 8);
  t.file_sum = sum;
  return t;
}

inline std::string seq_name(const char* prefix, std::uint32_t seq, const char* ext) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s-%06u.%s", prefix, seq, ext);
  return buf;
}

}  // namespace cowguard::agent::records
