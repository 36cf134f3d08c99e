/*
 * Bio arithmetic shared by the make-request hooks, the cache thread and the
 * block reader: whether a bio lies on a device the module works on, which
 * blocks it touches, whether a block must still be preserved, and the
 * pass-through to the device's real make-request function.  None of it
 * keeps state.
 *
 * A hook sees bios already remapped to the whole disk, so the partition a
 * bio was sent to is gone.  The kernel's partition table cannot tell it
 * either: the table's guard is the whole disk's open lock, which the task
 * submitting the bio may hold (a partition rescan reads the table through
 * the queue with it held), and without the guard an entry may be freed
 * under the reader (deleting a partition frees its record).  So a bio is
 * placed by the extent the module recorded itself for each device it backs
 * up or tracks (partitionStart, partitionLen of its DiskInfo), read when the
 * device was open and could not change.
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
 * Whether device kdev lies on disk: the same major, and a minor in the
 * disk's range (first_minor and minors are fixed for the disk's life).
 */
static int deviceOnDisk(dev_t kdev, struct gendisk *disk)
{
	unsigned int minor = MINOR(kdev);

	return disk && MAJOR(kdev) == (unsigned int)disk->major &&
	       minor >= (unsigned int)disk->first_minor &&
	       minor < (unsigned int)(disk->first_minor + disk->minors);
}

/*
 * 1 if the bio writes or reads any sector of the device that diskInfo
 * describes: the bio's disk holds the device and the bio's sectors overlap
 * the device's extent.  The bio is on the whole disk, its sector counted
 * from the disk's start.  A whole disk's extent covers its partitions too:
 * a bio through a partition changes the whole disk as well.  Takes no lock,
 * never sleeps.
 */
int bioOnDevice(struct DiskInfo *diskInfo, struct bio *bio)
{
	u64 first = bio->bi_sector;
	u64 sectors = (bio->bi_size + 511) / 512;

	if (!deviceOnDisk(diskInfo->kdev, bio->bi_bdev->bd_disk))
		return 0;
	if (!sectors)
		sectors = 1;	/* an empty bio (a barrier) sits at its sector */
	return first < diskInfo->partitionStart + diskInfo->partitionLen &&
	       diskInfo->partitionStart < first + sectors;
}

/*
 * First and last block of the device that the bio touches, in 64-bit sector
 * arithmetic.  A bio that reaches past the device's end counts only up to
 * its last sector, one that starts before the device from its first.  A
 * zero-length bio on a block boundary after sector 0 gets endBN =
 * startBN - 1: it touches no block.
 */
void BIOToBlockNumbers(struct DiskInfo *diskInfo, struct bio *bio, u32 *startBN, u32 *endBN)
{
	u64 start, end, past;

	if (bio->bi_sector >= diskInfo->partitionStart) {
		start = bio->bi_sector - diskInfo->partitionStart;
		end = start + bio->bi_size / 512;
		if (end)
			end--;
		if (bio->bi_size % 512)
			end++;
	} else {
		/* A bio of the whole disk that runs into the device from before it. */
		start = 0;
		past = bio->bi_sector + (bio->bi_size + 511) / 512;
		end = past > diskInfo->partitionStart ? past - diskInfo->partitionStart - 1 : 0;
	}
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
		printk(KERN_ERR "%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n",
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
 * agent's wanted-block map is loaded (CGD_STATE_READING) only wanted blocks count;
 * before that every block is wanted.  Blocks already in the store never
 * count, nor do blocks beyond the file system's size as the agent gave it
 * at the start (a file system smaller than its partition): no map of the
 * session covers them, so the agent cannot read them, and the store, which
 * holds a block at most once by cacheMap, could not tell that it holds one
 * already.  Takes the maps' locks; may sleep.
 */
int doWeCacheBlock(struct Backup *b, u32 bn)
{
	if ((u64)bn >= b->diskInfo.numBlocks)
		return 0;
	if (getState(b) == CGD_STATE_READING)
		return blockInMap(&b->blockMap, bn) && !blockInMap(&b->cacheMap, bn);
	return !blockInMap(&b->cacheMap, bn);
}
