// The files of a backup directory (one directory per source, the file
// system of one device):
//
//   catalog.json          the source, every backup point (in chains: a full
//                         backup and the incrementals on it) and the
//                         tracking session's current key
//   full-NNNNNN.img       a full backup: the partition's raw image, sparse
//                         where blocks were not taken
//   full-NNNNNN.idx       its index: taken-block bitmap, a checksum per block
//   delta-NNNNNN.cgd      an incremental: header, changed-block bitmap, the
//                         blocks in ascending order with a checksum each
//
//   .lock                 taken by whoever writes the directory (exclusive)
//                         or reads it (shared); names its writer
//
// Checksums are XXH3-64.  A block's checksum is seeded with its block number,
// so a block in the wrong place does not pass.  Every file is written under a
// temporary name, fsync'ed, renamed and its directory fsync'ed: a crash never
// leaves a file under its final name that looks valid and is not, but it may
// leave temporary files, or files of a point the catalog never took, behind
// (leftovers).  Files and restored images are created 0600, the directory
// 0700: they hold whole partitions.
#pragma once
#include <cerrno>
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

// The version of the backup files' own format (headers of deltas and
// indexes); the catalog's is Catalog::kVersion.
inline constexpr std::uint32_t kFileFormatVersion = 1;

using Hash64 = std::uint64_t;
std::string hash_hex(Hash64 h);
std::optional<Hash64> hash_from_hex(const std::string& s);
// The checksum of one block of `size` bytes at block number `block`.
Hash64 block_hash(const void* data, std::size_t size, std::uint32_t block);

// A file or chain that cannot be trusted (corrupt), or that is not there
// (missing): names the file and, where one is to blame, the block.  what()
// is the whole message, once: "file: problem (block N)".
class FormatError : public std::runtime_error {
 public:
  enum class Kind { corrupt, missing };
  FormatError(const std::string& file, const std::string& what,
              std::optional<std::uint32_t> block = std::nullopt, Kind kind = Kind::corrupt);
  static FormatError missing(const std::string& file, const std::string& what) {
    return FormatError(file, what, std::nullopt, Kind::missing);
  }
  const std::string& file() const { return file_; }
  std::optional<std::uint32_t> block() const { return block_; }
  const std::string& problem() const { return problem_; }  // what() without the file name
  Kind kind() const { return kind_; }

 private:
  std::string file_;
  std::string problem_;
  std::optional<std::uint32_t> block_;
  Kind kind_;
};

// A long operation was interrupted (SIGINT, SIGTERM): what it wrote is gone.
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};
// Asks every long operation of the process to stop at its next check (safe
// in a signal handler); check_interrupt throws Interrupted once asked.
void request_interrupt() noexcept;
bool interrupt_requested() noexcept;
void check_interrupt();
// Lets work run again after an interrupt was handled (a console goes on).
void clear_interrupt() noexcept;

// The directory's lock: exclusive for whoever writes it, shared for
// readers.  Taken at once or not at all: LockBusy then says who holds it.
class LockBusy : public std::runtime_error {
 public:
  explicit LockBusy(const std::string& what) : std::runtime_error(what) {}
};
class DirLock {
 public:
  enum class Mode { shared, exclusive };
  // `who` describes the holder for others ("a full backup of 8:1").
  // FormatError (missing) when the directory is not there.
  DirLock(const std::filesystem::path& dir, Mode mode, const std::string& who);
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

  // The lock file was made by this lock (the directory had none).
  bool created() const { return created_; }
  // A writer whose directory holds no backup after all takes its lock file
  // back with it (a failed first backup into a directory of the user's).
  void remove_on_release(bool on = true) { remove_ = on; }

 private:
  int fd_ = -1;
  Mode mode_;
  bool created_ = false;
  bool remove_ = false;
  std::filesystem::path path_;
};

// Makes a backup directory (0700) when it is missing; true when it made it.
bool make_backup_dir(const std::filesystem::path& dir);

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

// A fault of the file layer, for tests: the `nth` write (1-based, counted
// from set_write_fault) to a backup file whose final name contains `match`
// fails with `error`; `torn` first writes half of its bytes, as a write cut
// short by a full disk or a failing device.  An empty optional ends it.
struct WriteFault {
  std::string match;
  unsigned nth = 1;
  int error = EIO;
  bool torn = false;
};
void set_write_fault(std::optional<WriteFault> f);

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
  std::uint32_t chain = 1;              // its full backup's chain number
  BackupKind kind = BackupKind::full;
  std::optional<std::uint32_t> parent;  // sequence of the entry it applies to
  std::int64_t time = 0;                // seconds since the epoch, at the snapshot
  std::uint32_t block_size = 0;         // the device's geometry at that backup
  std::uint32_t block_count = 0;
  // Every block was taken, not only those the file system used: a chain
  // whose full backup took every block keeps doing so.
  bool all_blocks = false;
  FileInfo info;
};

// What a backup directory belongs to: the file system of one device.
struct SourceIdentity {
  unsigned major = 0, minor = 0;
  std::uint64_t device_bytes = 0;
  std::uint32_t block_size = 0;
  std::optional<std::string> fs_uuid;  // an ext2/3/4 file system's UUID
  // The same source: the same file system UUID when both have one (its
  // device may have been resized or renumbered); otherwise the same device
  // numbers, size and block size.
  bool same_as(const SourceIdentity& o) const;
  std::string describe() const;  // "8:1, 64.0 MiB, 4096-byte blocks, ext UUID ..."
};

// The catalog of a backup directory.  Every full backup starts a chain of
// its own; the points of earlier chains stay listed and restorable.
struct Catalog {
  // The source and geometry of the newest chain.
  unsigned major = 0, minor = 0;
  std::uint32_t block_size = 0;
  std::uint32_t block_count = 0;
  std::uint64_t device_bytes = 0;
  std::optional<std::string> fs_uuid;
  // The tracking session's key to present at the next snapshot; set only
  // from a backup whose files are durable.
  std::optional<Key> key;
  std::vector<ChainEntry> entries;

  static constexpr const char* kFileName = "catalog.json";
  static constexpr int kVersion = 2;
  // nullopt when the directory has no catalog; FormatError (missing for a
  // directory that is not there, corrupt for anything else) when it cannot
  // be used.  Reads catalogs of version 1 too.
  static std::optional<Catalog> load(const std::filesystem::path& dir);
  void save(const std::filesystem::path& dir) const;  // atomic

  SourceIdentity source() const;
  void set_source(const SourceIdentity& s);
  const ChainEntry* find(std::uint32_t sequence) const;
  const ChainEntry* latest() const;
  std::uint32_t next_sequence() const;
  std::uint32_t next_chain() const;
  // The entries from the full backup to `sequence`, in the order to apply;
  // FormatError (missing) when there is no such point.
  std::vector<const ChainEntry*> chain_to(std::uint32_t sequence) const;
};

// Files a crash or kill left in a backup directory: temporary files and
// data files of points the catalog never took.  Never a committed file.
struct Leftovers {
  std::vector<std::string> temporary;
  std::vector<std::string> orphans;
  bool empty() const { return temporary.empty() && orphans.empty(); }
};
Leftovers find_leftovers(const std::filesystem::path& dir, const Catalog* cat);
// Removes the leftovers under the directory's exclusive lock; returns them.
Leftovers remove_leftovers(const std::filesystem::path& dir);

using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct RestoreResult {
  std::uint32_t point = 0;
  std::size_t files_applied = 0;
  std::uint32_t block_size = 0;
  std::uint32_t block_count = 0;
};

// Rebuilds the image at `point` (a sequence number; none: the latest) into
// out_image, a new file (sparse, mode 0600), verifying every checksum on
// the way.  On any fault it throws FormatError and leaves nothing under
// out_image's name (an earlier file there stays as it was).  Takes the
// directory's shared lock (LockBusy).  progress counts the bytes of the
// chain's files read.
RestoreResult restore(const std::filesystem::path& dir, std::optional<std::uint32_t> point,
                      const std::filesystem::path& out_image, const Progress& progress = {});
// The same into an open descriptor, every block of the image in order,
// zeros included: a device written in place (seekable) or a stream.  The
// whole chain is verified before the first byte is written, so a corrupt
// chain leaves the target untouched.  progress counts the chain's bytes
// read to verify it, then the image's bytes written.
RestoreResult restore_to_fd(const std::filesystem::path& dir, std::optional<std::uint32_t> point,
                            int fd, bool seekable, const Progress& progress = {});

// What one file of the chain is worth.
struct FileCheck {
  std::string file;
  std::uint32_t point = 0;
  BackupKind kind = BackupKind::full;
  bool ok = true;
  bool missing = false;                // not ok because a file is not there
  std::string message;                 // the fault, when not ok
  std::optional<std::uint32_t> block;  // the bad block, when one is to blame
};

struct VerifyOptions {
  std::optional<std::uint32_t> point;  // only the chain of this point
  bool quick = false;  // the catalog and every file's structure, not every block
  Progress progress;   // counts bytes read
};

struct VerifyReport {
  bool ok = true;                    // every checked file good
  std::size_t files_checked = 0;     // data and index files
  std::size_t points_checked = 0;
  std::vector<FileCheck> files;      // in chain order
  std::vector<std::uint32_t> restorable;    // points whose whole chain is good
  std::vector<std::uint32_t> unrestorable;  // points with a bad file in their chain
  Leftovers leftovers;               // reported, never a fault of the chain
  std::string file;                    // the first bad file
  std::optional<std::uint32_t> block;  // the first bad block in it
  std::string message;                 // the first fault, "file: problem"
};
// Checks every file of the catalog (or of one point's chain), going on past
// a bad file.  FormatError when the catalog itself cannot be used (or the
// point is not in it).  Takes the directory's shared lock (LockBusy).
VerifyReport verify(const std::filesystem::path& dir, const VerifyOptions& opts = {});

}  // namespace cowguard::agent
