#ifndef _LINUX_GENHD_H
#define _LINUX_GENHD_H

#include <linux/types.h>
#include <linux/kdev_t.h>
#include <linux/spinlock.h>

struct request_queue;
struct block_device;

/* One partition of a disk, in 512-byte sectors of the whole disk. */
struct hd_struct {
	sector_t start_sect;
	sector_t nr_sects;
	int partno;
	void *standin;
};

/*
 * A disk.  part[] has minors - 1 entries: part[p - 1] is partition p (minor
 * first_minor + p), NULL where there is none.
 *
 * The partition table (the part[] entries, and bd_part of the disk's block
 * devices) is protected by part_lock.  A rescan of the table holds the whole
 * disk's open lock (bd_sem / bd_mutex) while it reads the table from the disk,
 * but takes part_lock only for the moment in which it swaps the entries: it
 * never does I/O, sleeps or takes another lock while holding part_lock.  So a
 * reader that walks the table under part_lock waits at most for that swap,
 * even when the task that submitted the bio it is looking at holds the open
 * lock (as a rescan's own reads do).  The hd_struct of a partition stays
 * valid for as long as the disk exists, also after a rescan has replaced it.
 */
struct gendisk {
	int major;
	int first_minor;
	int minors;
	char disk_name[32];
	struct hd_struct **part;	/* Protected by part_lock */
	spinlock_t part_lock;		/* leaf lock; never taken in completion context */
	struct request_queue *queue;
	void *private_data;
	sector_t capacity;	/* in 512-byte sectors */
	int flags;
	void *standin;
};

static inline sector_t get_capacity(struct gendisk *disk)
{
	return disk->capacity;
}
static inline void set_capacity(struct gendisk *disk, sector_t size)
{
	disk->capacity = size;
}

__KERNEL_BEGIN_DECLS
/*
 * Guard of a walk over the partition table of bdev's disk (bdev may be the
 * whole disk or one of its partitions).  It never sleeps and never waits for
 * a lock that a task submitting I/O may hold: it takes the disk's part_lock
 * (a spin lock, without disabling interrupts), so the walk itself must not
 * sleep.  Use it instead of the disk's open lock when looking up the
 * partition of a bio in a make-request function.
 */
void bdev_lock_partitions(struct block_device *bdev);
void bdev_unlock_partitions(struct block_device *bdev);
__KERNEL_END_DECLS

#endif
