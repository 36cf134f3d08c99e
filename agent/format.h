// The files of a backup directory (one directory per device):
//
//   catalog.json          the chain and the tracking session's current key
//   full-NNNNNN.img       a full backup: the partition's raw image, sparse
//                         where blocks were not taken
//   full-NNNNNN.idx       its index: taken-block bitmap, a checksum per block
//   delta-NNNNNN.cgd      an incremental: header, changed-block bitmap, the
//                         blocks in ascending order with a checksum each
//
// Checksums are XXH3-64.  A block's checksum is seeded with its block number,
// so a block in the wrong place does not pass.  Every file is written under a
// temporary name, fsync'ed, renamed and its directory fsync'ed: a crash never
// leaves a file under its final name that looks valid and is not.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitmap.h"
#include "control.h"

namespace cowguard::agent {

using Hash64 = std::uint64_t;
std::string hash_hex(Hash64 h);
std::optional<Hash64> hash_from_hex(const std::string& s);
// The checksum of one block of `size` bytes at block number `block`.
Hash64 block_hash(const void* data, std::size_t size, std::uint32_t block);

// A file or chain that cannot be trusted: names the file and, where one is
// to blame, the block.
class FormatError : public std::runtime_error {
 public:
  FormatError(const std::string& file, const std::string& what,
              std::optional<std::uint32_t> block = std::nullopt);
  const std::string& file() const { return file_; }
  std::optional<std::uint32_t> block() const { return block_; }

 private:
  std::string file_;
  std::optional<std::uint32_t> block_;
};

// A file written under a temporary name in its final directory.  commit()
// makes it durable under the final name; dropping it uncommitted removes
// the temporary file.
class AtomicFile {
 public:
  explicit AtomicFile(std::filesystem::path final_path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  int fd() const { return fd_; }
  const std::filesystem::path& path() const { return final_; }
  const std::filesystem::path& temp_path() const { return temp_; }
  void write(const void* data, std::size_t len);  // at the current offset
  void pwrite(const void* data, std::size_t len, std::uint64_t offset);
  void truncate(std::uint64_t size);
  // fsync, rename over the final name, fsync the directory.
  void commit();

 private:
  std::filesystem::path final_;
  std::filesystem::path temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// fsyncs a directory (after a rename in it).
void sync_directory(const std::filesystem::path& dir);

enum class BackupKind { full, incremental };
std::string_view kind_name(BackupKind k);

// What a finished file is, as the catalog records it.
struct FileInfo {
  std::string file;               // name within the backup directory
  std::string index;              // full backups: the index file's name
  Hash64 checksum = 0;            // of the whole data file
  Hash64 index_checksum = 0;      // of the whole index file
  std::uint64_t blocks = 0;       // blocks taken into the file
  std::uint64_t bytes_written = 0;  // data bytes written (blocks × block size)
};

// Writes a full backup: the image and its index.  Blocks come in ascending
// order, each run exactly a run of the taken map.
class ImageWriter {
 public:
  ImageWriter(const std::filesystem::path& dir, std::uint32_t sequence, std::int64_t time,
              std::uint32_t block_size, const BlockBitmap& taken);
  ~ImageWriter();
  void put(std::uint32_t first, std::uint32_t count, const std::uint8_t* data);
  FileInfo finish();  // durable under the final names

 private:
  void fill_to(std::uint32_t block);
  struct Impl;
  std::unique_ptr<Impl> p_;
};

// Writes an incremental backup file.
class DeltaWriter {
 public:
  DeltaWriter(const std::filesystem::path& dir, std::uint32_t sequence, std::int64_t time,
              std::uint32_t block_size, Hash64 parent_id, const BlockBitmap& changed);
  ~DeltaWriter();
  void put(std::uint32_t first, std::uint32_t count, const std::uint8_t* data);
  FileInfo finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> p_;
};

std::string image_name(std::uint32_t sequence);
std::string index_name(std::uint32_t sequence);
std::string delta_name(std::uint32_t sequence);

struct ChainEntry {
  std::uint32_t sequence = 0;
  BackupKind kind = BackupKind::full;
  std::optional<std::uint32_t> parent;  // sequence of the entry it applies to
  std::int64_t time = 0;                // seconds since the epoch, at the snapshot
  FileInfo info;
};

// The catalog of a backup directory.
struct Catalog {
  unsigned major = 0, minor = 0;
  std::uint32_t block_size = 0;
  std::uint32_t block_count = 0;
  // The tracking session's key to present at the next snapshot; set only
  // from a backup whose files are durable.
  std::optional<Key> key;
  std::vector<ChainEntry> entries;

  static constexpr const char* kFileName = "catalog.json";
  // nullopt when the directory has no catalog; FormatError when it is unreadable.
  static std::optional<Catalog> load(const std::filesystem::path& dir);
  void save(const std::filesystem::path& dir) const;  // atomic

  const ChainEntry* find(std::uint32_t sequence) const;
  const ChainEntry* latest() const;
  std::uint32_t next_sequence() const;
  // The entries from the full backup to `sequence`, in the order to apply.
  std::vector<const ChainEntry*> chain_to(std::uint32_t sequence) const;
};

// Rebuilds the image at `point` (a sequence number; none: the latest) into
// out_image, verifying every checksum on the way.  On any fault it throws
// FormatError and leaves nothing under out_image's name (an earlier file
// there stays as it was).
void restore(const std::filesystem::path& dir, std::optional<std::uint32_t> point,
             const std::filesystem::path& out_image);

struct VerifyReport {
  bool ok = true;
  std::size_t files_checked = 0;
  std::string file;                    // the first bad file
  std::optional<std::uint32_t> block;  // the first bad block in it
  std::string message;
};
// Checks every checksum of every file of the catalog, in chain order.
VerifyReport verify(const std::filesystem::path& dir);

}  // namespace cowguard::agent
