// What the block layer's files and the super-block code share: the
// stand-in's records behind gendisk and block_device, the disks' storage,
// write draining and synchronous block I/O for the stand-in's own use.
//
// Include after internal.h and before the kernel headers (it needs only
// declarations of the kernel's records).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "standin/block.h"

struct bio;
struct block_device;
struct gendisk;
struct hd_struct;
struct inode;
struct request_queue;
struct super_block;

namespace standin::blk {

// Storage of a disk: byte addressed, thread safe.
class Backing {
 public:
  virtual ~Backing() = default;
  virtual std::uint64_t bytes() const = 0;
  // 0 or a negative errno; offset + len lie inside the storage.
  virtual int read(std::uint64_t offset, void* buf, std::size_t len) = 0;
  virtual int write(std::uint64_t offset, const void* buf, std::size_t len) = 0;
  virtual bool direct() const { return false; }
};
std::unique_ptr<Backing> make_ram_backing(std::uint64_t bytes, bool sparse);
// nullptr with errno set when the file cannot be opened or sized.
std::unique_ptr<Backing> make_file_backing(const std::string& path, std::uint64_t bytes,
                                           bool direct);

// Waits for the operations begun before a moment: each begin() takes a
// ticket, and drain() returns once every ticket older than the call has
// ended, so a steady stream of new operations cannot starve it.
class Drain {
 public:
  std::uint64_t begin();
  void end(std::uint64_t ticket);
  void drain();
  long live() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::uint64_t next_ = 0;
  std::set<std::uint64_t> live_;
};

struct BdevState;

// One bio accepted by a disk's make-request function.
// An injected outcome of a bio (fault sites disk_read, disk_write, disk_partial).
enum class Forced { none, eio, partial };

struct PendingBio {
  struct bio* bio;
  bool write;
  Forced forced = Forced::none;
};

}  // namespace standin::blk

namespace standin::block {

// The stand-in's record of one registered disk.  The kernel records
// (gendisk, request_queue, block devices, hd_structs) live inside it, so they
// stay valid as long as it does; a removed disk whose block devices are
// still referenced is kept (dead) until the process ends.
struct DiskState {
  struct gendisk* disk = nullptr;
  struct request_queue* queue = nullptr;  // also owned when gendisk->queue is NULL
  std::unique_ptr<blk::Backing> backing;
  std::string name;
  std::uint64_t capacity = 0;  // sectors
  // How bios complete (set at creation).
  block::DiskConfig::Completion completion = block::DiskConfig::Completion::async;
  unsigned partial_sectors = 1;
  bool barriers = true;

  // Partition table.  part_array backs gendisk->part.  It is changed under
  // the whole disk's open lock (as the kernel does) and, for the moment of
  // the change, part_m, which the stand-in's own readers (ground truth,
  // partitions()) take instead of the open lock.  Each entry is a PartState;
  // a deleted entry is freed once no open partition uses it.
  std::vector<struct hd_struct*> part_array;
  mutable std::mutex part_m;

  // I/O: bios waiting for a completion thread.  Protected by io_m.
  mutable std::mutex io_m;
  std::condition_variable io_cv;
  std::deque<blk::PendingBio> pending;
  long active = 0;     // bios being served by a completion thread
  bool holding = false;
  bool stopping = false;
  std::vector<std::thread> workers;
  std::atomic<bool> dead{false};

  // Faults.  Protected by io_m.
  std::vector<FaultRange> faults;
  std::atomic<unsigned> delay_us{0};

  std::atomic<long> n_reads{0}, n_writes{0}, n_read_sectors{0}, n_write_sectors{0},
      n_failed{0};

};

}  // namespace standin::block

namespace standin::blk {

using block::DiskState;

// The stand-in's record behind one struct block_device (bdev->standin).
// One exists for every number that someone holds with bdget; the last
// bdput frees it (an open holds a reference too).
struct BdevState {
  struct block_device* bdev = nullptr;
  struct inode* inode = nullptr;
  long refs = 0;  // bdget references; protected by the number registry's lock
};

// The stand-in's record behind one struct hd_struct (hd->standin): the
// table's reference and one per open partition device.
struct PartState {
  struct hd_struct* hd = nullptr;
  std::atomic<long> refs{1};
};
void part_get(struct hd_struct* hd);
void part_put(struct hd_struct* hd);

BdevState* bdev_state(struct block_device* bdev);
// The live disk that serves number dev, and the partition number in it
// (0: the whole disk); nullptr when none does.
DiskState* disk_of_number(std::uint32_t dev, int* partno = nullptr);
// The disk of a block device: its bd_disk while open, else by number.
DiskState* disk_of(struct block_device* bdev);
// Start and length (sectors) of number dev on its disk, from the disk's
// table (the partition may not exist: 0 sectors).  false when no disk
// serves dev.
bool number_extent(std::uint32_t dev, std::uint64_t* start, std::uint64_t* sectors);

// Takes and releases a block device's open lock (bd_sem / bd_mutex).
void lock_open(struct block_device* bdev);
void unlock_open(struct block_device* bdev);
int trylock_open(struct block_device* bdev);  // 1 when taken

// Opens number dev (bdget + blkdev_get): 0 and the open device, or a
// negative errno.  Close it with blkdev_put.
int open_dev(std::uint32_t dev, struct block_device** out);

// A bio from the stand-in's own I/O paths: not a fault-injection site, so
// that the levers a test arms are used only by the code under test.
struct bio* alloc_bio_internal(int nr_iovecs);

// Synchronous I/O on an open block device through generic_make_request
// (submit_bio), for the stand-in's own use (partition scans, mounts,
// file-system writes).
// Falls back to the storage when the disk has no request queue only when
// `direct_if_no_queue`.  0 or a negative errno.
int bdev_rw(struct block_device* bdev, int rw, std::uint64_t sector, void* buf, std::size_t len,
            bool direct_if_no_queue = false);

// Storage access of number dev in its own byte offsets (no queue, no open).
bool number_storage_rw(std::uint32_t dev, int rw, std::uint64_t offset, void* buf,
                       std::size_t len);

// The hook at the frozen instant (super.cpp calls it).
void run_freeze_hook(std::uint32_t dev, struct super_block* sb);

// Unmounts whatever is mounted on the disk's devices (removal of a disk).
void umount_disk(DiskState* d);
// Whether a file system is mounted on this block device.
bool bdev_mounted(struct block_device* bdev);

}  // namespace standin::blk
