#ifndef _LINUX_GENHD_H
#define _LINUX_GENHD_H

#include <linux/types.h>
#include <linux/kdev_t.h>

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
 * first_minor + p), NULL where there is none.  The table is changed (a
 * rescan, a partition added or deleted) under the whole disk's open lock,
 * and a deleted partition's hd_struct is freed once no open device uses it:
 * an entry is safe to read only holding that lock, or through the bd_part
 * of an open partition.  major, first_minor and minors never change.
 */
struct gendisk {
	int major;
	int first_minor;
	int minors;
	char disk_name[32];
	struct hd_struct **part;
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


#endif
