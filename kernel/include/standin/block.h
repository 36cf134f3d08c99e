// The machine's disks as tests and tools see them: RAM and file-backed disks,
// their partitions, mounts of the file systems on them, disk faults, I/O
// helpers that go through the block layer, and ground truth (a device's bytes
// read straight from its storage, and a hook at the frozen instant of
// freeze_bdev).
//
// Device numbers are the kernel's 32-bit ones: major << 20 | minor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct block_device;
struct gendisk;
struct request_queue;
struct super_block;

namespace standin::block {

using devnum = std::uint32_t;
constexpr devnum mkdev(unsigned major, unsigned minor) { return (major << 20) | minor; }
constexpr unsigned major_of(devnum d) { return d >> 20; }
constexpr unsigned minor_of(devnum d) { return d & 0xfffff; }

constexpr unsigned kSdMajor = 8;  // sd-style numbering: 16 minors a disk

struct DiskConfig {
  unsigned major = kSdMajor;
  // Minors of the disk, the whole disk included (1: no partitions).  0: 16.
  int minors = 0;
  // First minor; -1 picks the next free range of the major (for major 8:
  // sda = 8:0, sdb = 8:16, ...).
  int first_minor = -1;
  // Disk name; "" gives sda, sdb, ... for major 8 and "d<major>_<n>" else.
  std::string name;
  // false: the disk has no request queue (gendisk->queue is NULL); bios for
  // it complete with -EIO and mounts read its storage directly.
  bool with_queue = true;
  int workers = 2;      // completion threads of the disk
  // How the disk completes a bio: later on a completion thread, from
  // interrupt context (a disk with a controller); at once, in the
  // submitter's own context, before its make-request function returns (as
  // 2.6's RAM disk driver does); or on a completion thread in parts of
  // partial_sectors sectors, one bi_end_io call for each (as a request is
  // ended piece by piece), where a part that fails ends the rest with it.
  enum class Completion { async, submitter, partial };
  Completion completion = Completion::async;
  unsigned partial_sectors = 1;
  // false: the disk cannot order writes, and a barrier write (BIO_RW_BARRIER)
  // fails at once with -EOPNOTSUPP, as 2.6's block layer ends it.
  bool barriers = true;
  bool sparse = true;   // RAM disk: storage is allocated on first write
  bool direct = false;  // file disk: O_DIRECT (falls back where unsupported)
  // Scan the partition table when the disk is added (as the kernel does).
  bool scan_partitions = true;
};

// A range of whole-disk sectors whose reads and/or writes fail with -EIO.
struct FaultRange {
  std::uint64_t first_sector = 0;
  std::uint64_t sectors = 0;
  bool reads = true;
  bool writes = true;
};

// Bios that reached the disk's make-request function, per direction.
struct IoCounters {
  long reads = 0;
  long writes = 0;
  long read_sectors = 0;
  long write_sectors = 0;
  long failed = 0;  // completed with an error (faults, beyond the end)
};

struct DiskState;

// A disk registered with the block layer: its gendisk, block devices (whole
// disk and partitions) and request queue, with its own make-request function
// that completes bios asynchronously on the disk's completion threads.
// Destroying it unmounts what is mounted on it, waits for the I/O in flight
// and unregisters it; block devices still referenced stay valid memory (their
// bios fail with -EIO).
class Disk {
 public:
  // A zero-filled RAM disk of `sectors` 512-byte sectors.  nullptr when the
  // device numbers are taken.
  static std::unique_ptr<Disk> ram(std::uint64_t sectors, const DiskConfig& cfg = {});
  // A disk on an image file; its size is the file's (whole sectors), or
  // `sectors` when given (the file is created or extended).  nullptr (errno
  // set) when the file cannot be opened or the numbers are taken.
  static std::unique_ptr<Disk> file(const std::string& path, std::uint64_t sectors = 0,
                                    const DiskConfig& cfg = {});
  ~Disk();
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

  devnum dev() const;           // the whole disk
  devnum part_dev(int p) const;  // partition p (1-based)
  const std::string& name() const;
  std::uint64_t sectors() const;
  struct gendisk* gendisk() const;
  struct request_queue* queue() const;  // nullptr without a queue
  // Whether the file disk really uses O_DIRECT.
  bool direct() const;

  // Re-reads the partition table, as the BLKRRPART ioctl does: opens the
  // whole disk, takes its open lock and reads the table through the request
  // queue.  0 (an unreadable table leaves no partitions); -EBUSY while a
  // partition of the disk is open (mounted, or held by anyone) or another
  // task holds the disk's open lock.
  int rescan();
  // Adds or deletes one partition, as the BLKPG ioctl does.  add: 0; -EBUSY
  // when the number is in use or the range overlaps a partition; -EINVAL.
  // delete: 0; -EBUSY while the partition is open; -ENXIO when there is none.
  // A deleted partition's record is freed unless an open device uses it.
  int add_partition(int number, std::uint64_t start, std::uint64_t sectors);
  int delete_partition(int number);
  // Partitions present now: number, start and length in sectors.
  struct Partition {
    int number;
    std::uint64_t start;
    std::uint64_t sectors;
    bool operator==(const Partition&) const = default;
  };
  std::vector<Partition> partitions() const;

  // The disk's bytes, straight from its storage (no queue, no faults).
  // Offsets in bytes of the whole disk; false outside the disk.
  bool read_bytes(std::uint64_t offset, void* buf, std::size_t len) const;
  bool write_bytes(std::uint64_t offset, const void* buf, std::size_t len);

  // Faults and delays.
  void add_fault(const FaultRange& f);
  void clear_faults();
  // Every bio waits this long on its completion thread before it is done.
  void set_delay_us(unsigned us);
  // While held, bios are queued but not served (several stay in flight).
  void hold(bool on);
  // Bios accepted by the disk and not yet completed.
  long in_flight() const;
  IoCounters counters() const;
  void reset_counters();

  DiskState* state() const { return s_; }

 private:
  explicit Disk(DiskState* s) : s_(s) {}
  DiskState* s_;
};

// Memory pressure on the kernel's bio pool: from now on at most `bios` bios
// of bio_alloc are live at once (a caller that may wait sleeps until one is
// freed; one that may not gets NULL); -1 ends the pressure.
void set_bio_reserve(long bios);

// ---- partition tables -------------------------------------------------------

struct MbrEntry {
  std::uint64_t start = 0;    // whole-disk sector
  std::uint64_t sectors = 0;
  std::uint8_t type = 0x83;   // 0x05, 0x0f or 0x85: an extended partition
  bool bootable = false;
};

// Writes an MBR to sector 0 of the disk's storage (at most 4 primary
// entries).  Logical partitions need one extended primary entry that contains
// them; the first one's extended boot record goes at the extended
// partition's first sector, each later one's at the sector before it.
// Returns false for a layout that cannot be written.  Call rescan() after.
bool write_mbr(Disk& disk, const std::vector<MbrEntry>& primary,
               const std::vector<MbrEntry>& logical = {});

// ---- file systems -------------------------------------------------------------

// The test file system: a header at byte 1024 of the device whose block size
// the test chooses.  Any value is accepted (also ones below 512 or not a
// power of two), so that a mount can present any block size.
bool format_testfs(devnum dev, std::uint32_t block_size);

// Mounts the file system on dev: opens the device exclusively and probes
// ext2/ext3/ext4 (magic 0xEF53 at byte 1080) and the test file system.
// read_only: writes through it fail with -EROFS and a freeze leaves it
// alone.  0; -ENODEV (no such device), -EBUSY (already mounted, or the device
// claimed by another holder), -EINVAL (no known file system, or an ext block
// size the kernel cannot use), -EIO (the super block cannot be read).
int mount(devnum dev, bool read_only = false);
// Unmounts; waits while the file system is frozen.  0 or -EINVAL (not mounted).
int umount(devnum dev);
bool mounted(devnum dev);

struct FsInfo {
  std::string type;  // "ext2", "ext3", "ext4", "testfs"
  unsigned long block_size = 0;
  int frozen = 0;  // s_frozen
  long waiting_writers = 0;  // fs_write calls waiting for a thaw
  long lockfs_calls = 0;
  long unlockfs_calls = 0;
  long sync_calls = 0;
};
// false when nothing is mounted on dev.
bool fs_info(devnum dev, FsInfo* out);

// Callbacks of the file system mounted on a device, run by the super block's
// own lock hooks: `lockfs` from write_super_lockfs (freeze_bdev, after
// s_frozen is set and the device is synced, before the frozen-instant hook),
// `unlockfs` from unlockfs (thaw_bdev, before s_frozen is cleared and the
// waiting writers go on).  Both run in the freezing / thawing task, which
// holds bd_mount_sem and s_umount for reading: a callback may sleep and may
// do block I/O that does not wait for a thaw (rw_sectors, submit_and_wait),
// but must not write through fs_write (that waits for the thaw: deadlock),
// freeze or thaw the device, or call set_lockfs_hooks.
struct LockfsHooks {
  std::function<void(devnum dev)> lockfs;
  std::function<void(devnum dev)> unlockfs;
};
// Installs the callbacks for the file system mounted on dev, replacing the
// earlier ones (empty functions: none).  Waits for a call of the earlier
// callbacks in progress, so that once it returns they neither run nor will
// be called again.  The callbacks go away with the unmount.  false when
// nothing is mounted on dev.
bool set_lockfs_hooks(devnum dev, LockfsHooks hooks);

// Writes through the mounted file system: waits while it is frozen, then
// submits the data with generic_make_request on dev's block device and waits
// for it.  offset and len are multiples of 512.  0; -ENODEV (nothing
// mounted), -EINVAL, -EIO, -ENOMEM.
int fs_write(devnum dev, std::uint64_t offset, const void* buf, std::size_t len);
// Reads through the block layer (a read does not wait for a thaw).
int fs_read(devnum dev, std::uint64_t offset, void* buf, std::size_t len);

// ---- raw block I/O ------------------------------------------------------------

// One request of a batch: sector is counted on dev (a partition's own sectors
// for a partition); len is a multiple of 512.
struct IoRequest {
  int rw = 0;  // READ (0) or WRITE (1)
  std::uint64_t sector = 0;
  void* buf = nullptr;
  std::size_t len = 0;
  int error = 0;  // result
};
// Submits every request with submit_bio (bios of up to 64 KiB) before
// waiting for any, then waits for all.  Returns the first error (0, -EIO,
// -ENODEV, -EINVAL, -ENOMEM).
int submit_and_wait(devnum dev, std::vector<IoRequest>& reqs);
int rw_sectors(devnum dev, int rw, std::uint64_t sector, void* buf, std::size_t len);

// ---- ground truth ---------------------------------------------------------------

// Bytes of a disk or partition straight from its storage.
bool read_device(devnum dev, std::uint64_t offset, void* buf, std::size_t len);
std::vector<std::uint8_t> device_bytes(devnum dev);
// Length of a device in sectors (0 when there is none) and its first sector
// on the whole disk.
std::uint64_t device_sectors(devnum dev);
std::uint64_t device_start(devnum dev);

// Runs at the frozen instant of every freeze_bdev that froze a file system:
// after the sync, with s_frozen set and write_super_lockfs called, before
// freeze_bdev returns, in the freezing task.  An empty function removes it.
using FreezeHook = std::function<void(devnum dev, struct super_block* sb)>;
void set_freeze_hook(FreezeHook hook);

}  // namespace standin::block
