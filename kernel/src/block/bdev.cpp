// Block devices as 2.6 has them: bdget gives a record for any number, held
// by references (bdput frees it with the last one); blkdev_get opens it,
// setting bd_disk, bd_contains and bd_part from the disk that serves the
// number, and blkdev_put closes it, clearing them again at the last close.
// A partition's open also opens its whole disk and counts in the whole
// disk's bd_part_count, which a rescan checks.  Also the registry of disk
// numbers and bd_claim/bd_release.
//
// Locking: reg_m guards the number registry (ranges) and the records
// (by_dev, refs); it is a leaf, never held while sleeping.  A device's
// bd_openers, bd_disk, bd_contains, bd_part and bd_part_count are changed
// under its open lock (bd_sem / bd_mutex); a partition's open takes its own
// open lock, then its whole disk's, as the kernel does.  bd_holder is
// guarded by holder_m.
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
#include "block/partitions.h"

#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/version.h>

namespace standin::blk {
namespace {

using standin::mem::Kind;

std::mutex reg_m;
std::map<std::uint32_t, BdevState*> by_dev;  // Protected by reg_m
struct Range {
  unsigned major;
  int first_minor;
  int minors;
  DiskState* disk;
};
std::vector<Range> ranges;           // Protected by reg_m
std::map<unsigned, int> next_index;  // per major: disks named so far.  Protected by reg_m

std::mutex holder_m;

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

// Caller holds reg_m.
DiskState* __disk_of_number(std::uint32_t dev, int* partno) {
  unsigned major = MAJOR(dev);
  int minor = static_cast<int>(MINOR(dev));
  for (const auto& r : ranges)
    if (r.major == major && minor >= r.first_minor && minor < r.first_minor + r.minors) {
      if (r.disk->dead.load()) return nullptr;
      if (partno) *partno = minor - r.first_minor;
      return r.disk;
    }
  return nullptr;
}

BdevState* new_bdev(std::uint32_t dev) {
  auto* s = new BdevState;
  s->bdev = new block_device{};
  s->inode = new inode{};
  struct block_device* b = s->bdev;
  b->bd_dev = dev;
  b->bd_inode = s->inode;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_init(&b->bd_mutex);
  mutex_init(&b->bd_mount_mutex);
#else
  sema_init(&b->bd_sem, 1);
  sema_init(&b->bd_mount_sem, 1);
#endif
  INIT_LIST_HEAD(&b->bd_inodes);
  INIT_LIST_HEAD(&b->bd_list);
  b->bd_block_size = 512;
  b->standin = s;
  s->inode->i_rdev = dev;
  s->inode->i_bdev = b;
  s->inode->i_mode = 060600;  // block device node
  atomic_set(&s->inode->i_count, 1);
  return s;
}

void free_bdev(BdevState* s) {
  delete s->inode;
  delete s->bdev;
  delete s;
}

void set_size(struct block_device* bdev, std::uint64_t sectors) {
  bdev->bd_inode->i_size = static_cast<loff_t>(sectors << 9);
}

// The partition p of d with a reference for an opener, or nullptr when the
// table has no such (non-empty) entry.  Caller holds the whole disk's open
// lock.
struct hd_struct* __get_part(DiskState* d, int p) {
  std::lock_guard lk(d->part_m);
  struct hd_struct* hd = d->part_array[static_cast<std::size_t>(p - 1)];
  if (!hd || !hd->nr_sects) return nullptr;
  part_get(hd);
  return hd;
}

// First open of bdev (partno p of d).  Caller holds bdev's open lock.
int __first_open(struct block_device* bdev, DiskState* d, int p, mode_t mode, unsigned flags) {
  bdev->bd_disk = d->disk;
  bdev->bd_contains = bdev;
  if (p == 0) {
    set_size(bdev, d->capacity);
    if (bdev->bd_invalidated) rescan_partitions(d, bdev);
    return 0;
  }
  struct block_device* whole =
      bdget(MKDEV(static_cast<unsigned>(d->disk->major), static_cast<unsigned>(d->disk->first_minor)));
  if (!whole) return -ENOMEM;
  int ret = blkdev_get(whole, mode, flags);
  if (ret) return ret;
  bdev->bd_contains = whole;
  lock_open(whole);
  whole->bd_part_count++;
  struct hd_struct* hd = d->dead.load() ? nullptr : __get_part(d, p);
  if (!hd) {
    whole->bd_part_count--;
    unlock_open(whole);
    return -ENXIO;
  }
  bdev->bd_part = hd;
  set_size(bdev, hd->nr_sects);
  unlock_open(whole);
  return 0;
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
  ranges.push_back({major, first, minors, d});
  d->disk->major = static_cast<int>(major);
  d->disk->first_minor = first;
  d->disk->minors = minors;
  std::snprintf(d->disk->disk_name, sizeof(d->disk->disk_name), "%s", d->name.c_str());
  return 0;
}

void unregister_numbers(DiskState* d) {
  std::lock_guard lk(reg_m);
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                              [d](const Range& r) { return r.disk == d; }),
               ranges.end());
}

DiskState* disk_of_number(std::uint32_t dev, int* partno) {
  std::lock_guard lk(reg_m);
  return __disk_of_number(dev, partno);
}

DiskState* disk_of(struct block_device* bdev) {
  if (!bdev) return nullptr;
  if (struct gendisk* g = bdev->bd_disk) return static_cast<DiskState*>(g->standin);
  return disk_of_number(bdev->bd_dev);
}

BdevState* bdev_state(struct block_device* bdev) {
  return bdev ? static_cast<BdevState*>(bdev->standin) : nullptr;
}

bool number_extent(std::uint32_t dev, std::uint64_t* start, std::uint64_t* sectors) {
  int p = 0;
  DiskState* d = disk_of_number(dev, &p);
  if (!d) return false;
  if (p == 0) {
    *start = 0;
    *sectors = d->capacity;
    return true;
  }
  std::lock_guard lk(d->part_m);
  struct hd_struct* hd = d->part_array[static_cast<std::size_t>(p - 1)];
  *start = hd ? hd->start_sect : 0;
  *sectors = hd ? hd->nr_sects : 0;
  return true;
}

void part_get(struct hd_struct* hd) {
  static_cast<PartState*>(hd->standin)->refs.fetch_add(1);
}

void part_put(struct hd_struct* hd) {
  auto* ps = static_cast<PartState*>(hd->standin);
  if (ps->refs.fetch_sub(1) == 1) {
    delete hd;
    delete ps;
  }
}

void lock_open(struct block_device* bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_lock(&bdev->bd_mutex);
#else
  down(&bdev->bd_sem);
#endif
}

void unlock_open(struct block_device* bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_unlock(&bdev->bd_mutex);
#else
  up(&bdev->bd_sem);
#endif
}

int trylock_open(struct block_device* bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  return mutex_trylock(&bdev->bd_mutex);
#else
  return down_trylock(&bdev->bd_sem) == 0;
#endif
}

int open_dev(std::uint32_t dev, struct block_device** out) {
  struct block_device* bdev = bdget(dev);
  if (!bdev) return -ENOMEM;
  int err = blkdev_get(bdev, FMODE_READ | FMODE_WRITE, 0);
  if (err) return err;
  *out = bdev;
  return 0;
}

}  // namespace standin::blk

using namespace standin::blk;

extern "C" {

struct block_device *bdget(dev_t dev)
{
	standin::lockcheck::might_sleep("bdget", STANDIN_CALLER);
	std::lock_guard lk(reg_m);
	BdevState *&s = by_dev[dev];
	if (!s)
		s = new_bdev(dev);
	s->refs++;
	standin::mem::account(Kind::bdev_ref, 1, 0);
	return s->bdev;
}
EXPORT_SYMBOL(bdget);

void bdput(struct block_device *bdev)
{
	BdevState *s = bdev_state(bdev);
	if (!s)
		return;
	BdevState *gone = nullptr;
	{
		std::lock_guard lk(reg_m);
		if (s->refs <= 0) {
			printk(KERN_CRIT "bdput: block device %u:%u has no reference left\n",
			       MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
			BUG();
		}
		if (--s->refs == 0) {
			if (bdev->bd_openers) {
				printk(KERN_CRIT "bdput: block device %u:%u freed while open\n",
				       MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
				BUG();
			}
			by_dev.erase(bdev->bd_dev);
			gone = s;
		}
	}
	standin::mem::account(Kind::bdev_ref, -1, 0);
	if (gone)
		free_bdev(gone);
}
EXPORT_SYMBOL(bdput);

/* Inline in the kernel: the queue of an open device's disk. */
request_queue_t *bdev_get_queue(struct block_device *bdev)
{
	if (!bdev || !bdev->bd_disk)
		return NULL;
	return bdev->bd_disk->queue;
}
EXPORT_SYMBOL(bdev_get_queue);

int blkdev_get(struct block_device *bdev, mode_t mode, unsigned flags)
{
	standin::lockcheck::might_sleep("blkdev_get", STANDIN_CALLER);
	int p = 0;
	DiskState *d = disk_of_number(bdev->bd_dev, &p);
	if (!d) {
		bdput(bdev);
		return -ENXIO;
	}
	lock_open(bdev);
	if (!bdev->bd_openers) {
		int ret = __first_open(bdev, d, p, mode, flags);
		if (ret) {
			bdev->bd_disk = NULL;
			if (bdev->bd_contains && bdev != bdev->bd_contains)
				blkdev_put(bdev->bd_contains);
			bdev->bd_contains = NULL;
			unlock_open(bdev);
			bdput(bdev);
			return ret;
		}
	} else if (bdev->bd_contains == bdev) {
		if (bdev->bd_invalidated)
			rescan_partitions(d, bdev);
	} else {
		lock_open(bdev->bd_contains);
		bdev->bd_contains->bd_part_count++;
		unlock_open(bdev->bd_contains);
	}
	bdev->bd_openers++;
	unlock_open(bdev);
	return 0;
}
EXPORT_SYMBOL(blkdev_get);

int blkdev_put(struct block_device *bdev)
{
	standin::lockcheck::might_sleep("blkdev_put", STANDIN_CALLER);
	lock_open(bdev);
	if (bdev->bd_openers <= 0) {
		printk(KERN_CRIT "blkdev_put: block device %u:%u is not open\n",
		       MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
		BUG();
	}
	if (!--bdev->bd_openers)
		sync_blockdev(bdev);
	if (bdev->bd_contains != bdev) {
		lock_open(bdev->bd_contains);
		bdev->bd_contains->bd_part_count--;
		unlock_open(bdev->bd_contains);
	}
	if (!bdev->bd_openers) {
		if (bdev->bd_contains != bdev) {
			part_put(bdev->bd_part);
			bdev->bd_part = NULL;
		}
		bdev->bd_disk = NULL;
		set_size(bdev, 0);
		if (bdev != bdev->bd_contains)
			blkdev_put(bdev->bd_contains);
		bdev->bd_contains = NULL;
	}
	unlock_open(bdev);
	bdput(bdev);
	return 0;
}
EXPORT_SYMBOL(blkdev_put);

int bd_claim(struct block_device *bdev, void *holder)
{
	std::lock_guard lk(holder_m);
	if (bdev->bd_holder && bdev->bd_holder != holder)
		return -EBUSY;
	bdev->bd_holder = holder;
	bdev->bd_holders++;
	return 0;
}
EXPORT_SYMBOL(bd_claim);

void bd_release(struct block_device *bdev)
{
	std::lock_guard lk(holder_m);
	if (!--bdev->bd_holders)
		bdev->bd_holder = NULL;
}
EXPORT_SYMBOL(bd_release);

}  // extern "C"
