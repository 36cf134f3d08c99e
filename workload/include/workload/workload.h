// A live ext4 file system in the stand-in kernel: disk images with an MBR
// and ext4, attached and mounted as file disks; a writer that changes the
// file system through the block layer while backups run, cooperating with
// freeze_bdev and recording what the file system held at every frozen
// instant; and checks of a restored image against such a record.
//
// Typical use:
//   cowguard::workload::MountedImage m;
//   make_disk_image(dir + "/disk.img", 32 << 20, 4096, &layout, &err);
//   attach_and_mount(dir + "/disk.img", &m, &err);
//   auto w = Ext4Workload::open(m.part, {}, &err);
//   w->start();  ...freeze_bdev / thaw_bdev...  w->stop();
//   for (auto& fi : w->take_instants())   // each restored backup image:
//     check_image(restored_path, fi, &report), run_e2fsck(restored_path);
// The workload must be destroyed before the disk it writes on.
#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"

namespace cowguard::workload {

// The workload drives the stand-in kernel's block layer.
namespace block = standin::block;

// ---- disk images ---------------------------------------------------------------

struct PartitionExtent {
  std::uint64_t start_sector = 0;  // on the whole disk
  std::uint64_t sectors = 0;
  std::uint64_t offset_bytes() const { return start_sector * 512; }
  std::uint64_t bytes() const { return sectors * 512; }
};

struct DiskLayout {
  std::uint64_t disk_sectors = 0;
  std::uint32_t block_size = 0;  // of the ext4 file system on partition 1
  std::uint64_t fs_blocks = 0;
  // Partition 1 (ext4, about 70% of the disk) and partition 2 (the rest,
  // no file system); both start on a 1 MiB boundary.
  std::array<PartitionExtent, 2> parts{};
};

// Creates a sparse image file of size_bytes (rounded down to whole sectors;
// at least 4 MiB) with an MBR of two primary Linux partitions and ext4 on
// the first (mke2fs, block size 1024, 2048 or 4096).  An existing file is
// replaced.  false with *err set on failure.
bool make_disk_image(const std::string& path, std::uint64_t size_bytes, std::uint32_t block_size,
                     DiskLayout* layout, std::string* err = nullptr);

// A bare ext4 image of `blocks` blocks (no partition table).
bool make_ext4_image(const std::string& path, std::uint64_t blocks, std::uint32_t block_size,
                     std::string* err = nullptr);

// An image attached as a file disk with its ext4 partition mounted.
// Destroying `disk` unmounts and detaches it.
struct MountedImage {
  std::unique_ptr<block::Disk> disk;
  block::devnum part = 0;   // partition 1, mounted
  block::devnum spare = 0;  // partition 2 (0 when the table has none)
};

// Attaches the image file with block::Disk::file, rescans its partition
// table and mounts partition 1.  false with *err set on failure (nothing is
// left attached then).
bool attach_and_mount(const std::string& path, MountedImage* out, std::string* err = nullptr,
                      const block::DiskConfig& cfg = {});

// ---- ground truth ----------------------------------------------------------------

// The checksum of file contents used in records and checks (XXH3, 64 bits).
std::uint64_t checksum(const void* data, std::size_t len);

struct FileRecord {
  std::string path;  // absolute, "/d1/f7"
  std::uint64_t size = 0;
  std::uint64_t checksum = 0;
  bool operator==(const FileRecord&) const = default;
};

// What the file system held at one frozen instant of freeze_bdev.
struct FrozenInstant {
  unsigned seq = 0;  // 0, 1, 2, ...: the n-th freeze since the workload opened
  std::vector<FileRecord> files;  // every regular file, sorted by path
  std::vector<std::string> dirs;  // every directory but the root, sorted
  std::vector<std::uint8_t> device;  // the partition's bytes (when kept)
  std::uint64_t ops_done = 0;  // operations finished before the instant
  // With WorkloadOptions::block_sums_dir: a file there of (block, checksum)
  // records, 8-byte little-endian each, in block order, one for every block
  // the file system used at the instant; "" when none was written.
  std::string block_sums_file;
  std::uint32_t block_size = 0;
  std::uint64_t used_blocks = 0;  // records in the file
};

// ---- the live writer ---------------------------------------------------------------

struct WorkloadOptions {
  unsigned threads = 2;
  std::uint64_t seed = 1;
  bool keep_device_bytes = true;  // copy the partition at each frozen instant
  // Record at each frozen instant a checksum of every block the file system
  // uses, in a file in this directory (instant-N.sums), instead of keeping
  // bytes in memory: what a large partition's checks need, at a memory cost
  // that does not grow with the partition or the instants.
  std::string block_sums_dir;
  unsigned max_files = 48;
  unsigned max_dirs = 6;
  std::uint64_t max_file_size = 256 * 1024;
  // Each worker sleeps this long between its operations (0: none).
  unsigned pause_us = 0;
  // Blocks the writer leaves free (it deletes or shrinks files instead of
  // growing them past that).
  std::uint64_t reserve_blocks = 64;
};

// Writes the ext4 file system of a mounted partition with libext2fs, every
// block read and write going through the stand-in's block layer on that
// partition (submit_bio, so hooks on its request queue see them).
// Operations (create, append, overwrite, truncate, delete, mkdir) are chosen
// by one seeded generator and run one at a time under the operation lock;
// each ends with a flush, so the device holds a consistent file system at
// every operation boundary.  The file system's lockfs hook waits for the
// operation running, records a FrozenInstant and holds new operations back
// until unlockfs.
class Ext4Workload {
 public:
  // Opens the file system on part (mounted or not) and registers the lock
  // hooks when it is mounted.  nullptr with *err set on failure.
  static std::unique_ptr<Ext4Workload> open(block::devnum part, const WorkloadOptions& opts = {},
                                            std::string* err = nullptr);
  ~Ext4Workload();  // stops, unregisters the hooks, closes the file system
  Ext4Workload(const Ext4Workload&) = delete;
  Ext4Workload& operator=(const Ext4Workload&) = delete;

  // Starts the worker threads (no-op when running).
  void start();
  // Asks the workers to stop after their operation and joins them; prompt
  // also while the file system is frozen.
  void stop();
  bool running() const;
  // Runs n operations in the calling thread (waits while frozen).  false
  // when an operation failed (see error()).
  bool run(std::uint64_t n);

  // Waits until at least n operations are done in all; false on timeout or
  // when the workload failed first.
  bool wait_for_operations(std::uint64_t n, std::chrono::milliseconds timeout);
  // Waits until at least n instants were recorded in all.
  bool wait_for_instants(unsigned n, std::chrono::milliseconds timeout);

  // Moves out the instants recorded so far.
  std::vector<FrozenInstant> take_instants();
  void set_keep_device_bytes(bool keep);

  // What the file system holds now (taken under the operation lock).
  FrozenInstant snapshot_now(bool with_device = false);

  std::uint64_t operations() const;
  unsigned instants_recorded() const;
  bool frozen() const;
  // The first failed operation's message ("" when none).  After a failure
  // the workers stop and no further operation runs.
  std::string error() const;

  struct Impl;

 private:
  explicit Ext4Workload(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// ---- checks of an image ------------------------------------------------------------

struct CheckReport {
  bool ok = false;
  std::vector<std::string> problems;  // one line each
  std::size_t files_checked = 0;
  std::string text() const;  // the problems, one a line
};

// Opens the image (the partition's bytes in a plain file) read-only with
// libext2fs and checks that every recorded file is there with its size and
// checksum, every recorded directory exists, and no other regular file or
// directory is there.
bool check_image(const std::string& image_path, const FrozenInstant& expected,
                 CheckReport* report = nullptr);

// A restored image compared with the block checksums of an instant.
struct BlockSumCompare {
  bool readable = false;            // the image and the record could be read whole
  std::uint64_t compared = 0;       // blocks the file system used
  std::uint64_t differing = 0;
  std::uint64_t first_differing = 0;
  std::string error;                // when not readable
  bool ok() const { return readable && differing == 0; }
};
// Compares every block the file system used at the instant with the image
// (the partition's bytes in a plain file).
BlockSumCompare compare_block_sums(const std::string& image_path, const FrozenInstant& fi);

// Runs `e2fsck -fn` on the image; true when it found nothing to fix.
bool run_e2fsck(const std::string& image_path, std::string* output = nullptr);

// Writes bytes to a new file (for device copies); false on failure.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace cowguard::workload
