// Block devices: the registry of disk and partition numbers, bdget/bdput
// with real reference counts, the partition-table guard, the open lock, and
// sync_blockdev.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "block/block_internal.h"
#include "block/disk_registry.h"

#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/version.h>

namespace standin::blk {
namespace {

using standin::mem::Kind;

// Protected by reg_m: the numbers of every registered disk and its devices.
std::mutex reg_m;
std::map<std::uint32_t, BdevState*> by_dev;
struct Range {
  unsigned major;
  int first_minor;
  int minors;
};
std::vector<Range> ranges;
std::map<unsigned, int> next_index;  // per major: disks named so far

bool overlaps(unsigned major, int first, int n) {
  for (const auto& r : ranges)
    if (r.major == major && first < r.first_minor + r.minors && r.first_minor < first + n)
      return true;
  return false;
}

std::string sd_name(int index) {
  std::string s;
  for (int i = index;; i = i / 26 - 1) {
    s.insert(s.begin(), static_cast<char>('a' + i % 26));
    if (i < 26) break;
  }
  return "sd" + s;
}

bool partition_present(BdevState* s) {
  if (s->partno == 0) return true;
  struct gendisk* disk = s->disk->disk;
  spin_lock(&disk->part_lock);
  bool present = disk->part[s->partno - 1] != NULL;
  spin_unlock(&disk->part_lock);
  return present;
}

BdevState* new_bdev(DiskState* d, int partno, std::uint32_t dev) {
  auto* s = new BdevState;
  s->bdev = new block_device{};
  s->inode = new inode{};
  s->disk = d;
  s->partno = partno;
  struct block_device* b = s->bdev;
  b->bd_dev = dev;
  b->bd_inode = s->inode;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_init(&b->bd_mutex);
#else
  sema_init(&b->bd_sem, 1);
#endif
  sema_init(&b->bd_mount_sem, 1);
  INIT_LIST_HEAD(&b->bd_inodes);
  INIT_LIST_HEAD(&b->bd_list);
  b->bd_block_size = 512;
  b->bd_disk = d->disk;
  b->standin = s;
  s->inode->i_rdev = dev;
  s->inode->i_bdev = b;
  s->inode->i_mode = 060600;  // block device node
  atomic_set(&s->inode->i_count, 1);
  return s;
}

}  // namespace

int register_numbers(DiskState* d, const block::DiskConfig& cfg, int minors) {
  std::lock_guard lk(reg_m);
  unsigned major = cfg.major;
  int first = cfg.first_minor;
  if (first < 0) {
    first = 0;
    while (overlaps(major, first, minors)) first += minors;
  } else if (overlaps(major, first, minors)) {
    return -EBUSY;
  }
  if (first + minors > static_cast<int>(MINORMASK) + 1) return -ENOSPC;
  int index = next_index[major]++;
  if (!cfg.name.empty())
    d->name = cfg.name;
  else if (major == block::kSdMajor)
    d->name = sd_name(first / minors);
  else
    d->name = "d" + std::to_string(major) + "_" + std::to_string(index);
  ranges.push_back({major, first, minors});
  d->disk->major = static_cast<int>(major);
  d->disk->first_minor = first;
  d->disk->minors = minors;
  std::snprintf(d->disk->disk_name, sizeof(d->disk->disk_name), "%s", d->name.c_str());

  for (int p = 0; p < minors; p++) {
    std::uint32_t dev = MKDEV(major, static_cast<unsigned>(first + p));
    BdevState* s = new_bdev(d, p, dev);
    d->bdevs.push_back(s);
    by_dev[dev] = s;
  }
  struct block_device* whole = d->bdevs[0]->bdev;
  for (BdevState* s : d->bdevs) s->bdev->bd_contains = whole;
  return 0;
}

void unregister_numbers(DiskState* d) {
  std::lock_guard lk(reg_m);
  for (BdevState* s : d->bdevs) by_dev.erase(s->bdev->bd_dev);
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                              [d](const Range& r) {
                                return r.major == static_cast<unsigned>(d->disk->major) &&
                                       r.first_minor == d->disk->first_minor;
                              }),
               ranges.end());
}

DiskState* disk_of(struct block_device* bdev) {
  BdevState* s = bdev_state(bdev);
  return s ? s->disk : nullptr;
}

BdevState* bdev_state(struct block_device* bdev) {
  return bdev ? static_cast<BdevState*>(bdev->standin) : nullptr;
}

struct block_device* find_bdev(std::uint32_t dev) {
  std::lock_guard lk(reg_m);
  auto it = by_dev.find(dev);
  if (it == by_dev.end() || it->second->disk->dead.load() || !partition_present(it->second))
    return nullptr;
  return it->second->bdev;
}

bool bdev_present(struct block_device* bdev) {
  BdevState* s = bdev_state(bdev);
  return s && !s->disk->dead.load() && partition_present(s);
}

void bdev_extent(struct block_device* bdev, std::uint64_t* start, std::uint64_t* sectors) {
  BdevState* s = bdev_state(bdev);
  if (s->partno == 0) {
    *start = 0;
    *sectors = s->disk->capacity;
    return;
  }
  struct gendisk* disk = s->disk->disk;
  spin_lock(&disk->part_lock);
  struct hd_struct* hd = bdev->bd_part;
  *start = hd ? hd->start_sect : 0;
  *sectors = hd && disk->part[s->partno - 1] == hd ? hd->nr_sects : 0;
  spin_unlock(&disk->part_lock);
}

void lock_open(struct block_device* whole) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_lock(&whole->bd_mutex);
#else
  down(&whole->bd_sem);
#endif
}

void unlock_open(struct block_device* whole) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_unlock(&whole->bd_mutex);
#else
  up(&whole->bd_sem);
#endif
}

}  // namespace standin::blk

using namespace standin::blk;

extern "C" {

struct block_device *bdget(dev_t dev)
{
	standin::lockcheck::might_sleep("bdget", STANDIN_CALLER);
	std::lock_guard lk(reg_m);
	auto it = by_dev.find(dev);
	if (it == by_dev.end())
		return NULL;
	BdevState *s = it->second;
	if (s->disk->dead.load() || !partition_present(s))
		return NULL;
	s->refs.fetch_add(1);
	standin::mem::account(Kind::bdev_ref, 1, 0);
	return s->bdev;
}
EXPORT_SYMBOL(bdget);

void bdput(struct block_device *bdev)
{
	BdevState *s = bdev_state(bdev);
	if (!s)
		return;
	if (s->refs.fetch_sub(1) <= 0) {
		printk(KERN_CRIT "bdput: block device %u:%u has no reference left\n",
		       MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
		BUG();
	}
	standin::mem::account(Kind::bdev_ref, -1, 0);
}
EXPORT_SYMBOL(bdput);

request_queue_t *bdev_get_queue(struct block_device *bdev)
{
	if (!bdev || !bdev->bd_disk)
		return NULL;
	return bdev->bd_disk->queue;
}
EXPORT_SYMBOL(bdev_get_queue);

void bdev_lock_partitions(struct block_device *bdev)
{
	if (bdev && bdev->bd_disk)
		spin_lock(&bdev->bd_disk->part_lock);
}
EXPORT_SYMBOL(bdev_lock_partitions);

void bdev_unlock_partitions(struct block_device *bdev)
{
	if (bdev && bdev->bd_disk)
		spin_unlock(&bdev->bd_disk->part_lock);
}
EXPORT_SYMBOL(bdev_unlock_partitions);

/*
 * Waits for the writes to the device's disk that were in flight when it was
 * called: those the stand-in's own submitters started (they may sit in a
 * hooked make-request function) and those the driver has accepted.
 */
int sync_blockdev(struct block_device *bdev)
{
	standin::lockcheck::might_sleep("sync_blockdev", STANDIN_CALLER);
	DiskState *d = disk_of(bdev);
	if (!d)
		return 0;
	d->submitted_writes.drain();
	d->driver_writes.drain();
	return 0;
}
EXPORT_SYMBOL(sync_blockdev);

}  // extern "C"
