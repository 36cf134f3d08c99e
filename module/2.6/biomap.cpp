/*
 * Bio arithmetic shared by the make-request hooks, the cache thread and the
 * block reader: which partition a bio belongs to, which blocks it touches,
 * whether a block must still be preserved, and the pass-through to the
 * device's real make-request function.  None of it keeps state.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/bio.h>
#include <linux/blkdev.h>

#include "cgdlib.h"

/*
 * The minor of the partition (or of the whole disk, when no partition holds
 * it) in which the bio's first sector lies.  The bio is on the whole disk
 * with its sector counted from the disk's start (partition bios have been
 * remapped by then).  The walk runs under the partition-table guard, which
 * never waits for the disk's open lock, so a submitter that holds that lock
 * cannot deadlock here; the walk must not sleep.
 */
int BIOToMinor(struct bio *bio)
{
	struct block_device *bdev = bio->bi_bdev;
	struct gendisk *disk = bdev->bd_disk;
	sector_t sector = bio->bi_sector;
	int minor, p;

	cgdLockPartitions(bdev);
	minor = disk->first_minor;
	for (p = 1; p < disk->minors; p++) {
		struct hd_struct *part = disk->part ? disk->part[p - 1] : NULL;

		if (part && part->start_sect <= sector &&
		    sector < part->start_sect + part->nr_sects) {
			minor = disk->first_minor + p;
			break;
		}
	}
	cgdUnlockPartitions(bdev);
	return minor;
}

/*
 * First and last block of the device that the bio touches, in 64-bit sector
 * arithmetic.  A bio that reaches past the device's end counts only up to
 * its last sector.  A zero-length bio on a block boundary after sector 0
 * gets endBN = startBN - 1: it touches no block.
 */
void BIOToBlockNumbers(struct DiskInfo *diskInfo, struct bio *bio, u32 *startBN, u32 *endBN)
{
	u64 start = 0, end;

	if (bio->bi_sector >= diskInfo->partitionStart)
		start = bio->bi_sector - diskInfo->partitionStart;
	end = start + bio->bi_size / 512;
	if (end)
		end--;
	if (bio->bi_size % 512)
		end++;
	if (end >= diskInfo->partitionLen)
		end = diskInfo->partitionLen ? diskInfo->partitionLen - 1 : 0;
	*startBN = (u32)(start >> diskInfo->sectorsPerBlockShift);
	*endBN = (u32)(end >> diskInfo->sectorsPerBlockShift);
}

/*
 * Hands a bio straight to the real make-request function of the backup's
 * device (never through a hook again), resubmitting it through
 * generic_make_request when that function asks for it.  A bio whose device
 * has no queue cannot be submitted: it is logged and completed with -EIO at
 * once, as the block layer completes I/O for a device without a queue, so
 * that whoever waits for it is woken and a held write is reported failed
 * rather than lost.  Always returns 0.  May sleep in the driver.
 */
int callRealMRF(struct Backup *b, struct bio *bio)
{
	request_queue_t *rq = cgdGetRequestQueue(bio->bi_bdev);

	if (!rq) {
		printk("<3>%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n",
		       __func__, (int)MAJOR(b->diskInfo.kdev), (int)MINOR(b->diskInfo.kdev));
		bio_endio(bio, bio->bi_size, -EIO);
		return 0;
	}
	if (b->diskInfo.realMRF(rq, bio))
		generic_make_request(bio);
	return 0;
}

/*
 * 1 if block bn must be preserved before it may be written.  Once the
 * agent's wanted-block map is loaded (state 6) only wanted blocks count;
 * before that every block is wanted.  Blocks already in the store never
 * count.  Takes the maps' locks; may sleep.
 */
int doWeCacheBlock(struct Backup *b, u32 bn)
{
	if (READ_ONCE(b->state) == CGD_STATE_READING)
		return blockInMap(&b->blockMap, bn) && !blockInMap(&b->cacheMap, bn);
	return !blockInMap(&b->cacheMap, bn);
}
