/*
 * Changed-block tracking of writes: the marking step shared by both hooks
 * and the tracking-only make-request hook.
 *
 * Both run in the context of whoever submits the bio, on any processor at
 * once, and may sleep (on a map's sem in setBlock); never in interrupt
 * context.  The session reference held across the marking keeps the session
 * and its map alive: closing a session and exchanging its map both drain
 * the references.
 *
 * A write is recorded by every tracked device of its disk whose recorded
 * extent it touches: the partition it was sent to, and the whole disk when
 * that is tracked too (its blocks changed as well).
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/compiler.h>
#include <linux/spinlock.h>
#include <linux/genhd.h>
#include <linux/bio.h>
#include <linux/fs.h>
#include <asm/bug.h>

#include "cgdlib.h"

/* Sets the blocks of [startBN, endBN] in an in-sync session's map. */
static void markBlocks(struct AutoMapSession *ams, u32 startBN, u32 endBN)
{
	u32 bn;
	int res;

	for (bn = startBN; bn <= endBN; bn++) {
		res = setBlock(&ams->map, bn);
		if (res) {
			setAMSState(ams, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
			printk(KERN_WARNING "%s: device resize detected (block %d in size %d) in automap update, automap not in sync%s",
			       "updateAM", res, (int)ams->map.size, "\n");
		}
		if (bn == endBN)	/* endBN may be the largest block number */
			break;
	}
}

/* Records a write in one session that holds a reference, if it is in sync. */
static void updateOneAM(struct AutoMapSession *ams, struct bio *bio)
{
	u32 startBN, endBN;

	if (!bioOnDevice(&ams->diskInfo, bio))
		return;
	BIOToBlockNumbers(&ams->diskInfo, bio, &startBN, &endBN);
	if (amsState(ams) == CGD_AUTOMAP_IN_SYNC && startBN <= endBN)
		markBlocks(ams, startBN, endBN);
}

/*
 * Records a write bio in the in-sync sessions of the devices it touches.
 * The candidates are the devices of the bio's disk: its minors' slots in
 * the session table (first_minor and minors are fixed for the disk's life),
 * walked in one visit of the table; each session is marked holding a
 * reference, which keeps its map from being exchanged meanwhile.
 */
void updateAM(struct bio *bio)
{
	struct gendisk *disk = bio->bi_bdev->bd_disk;
	struct AutoMapSession **slot, *ams;
	unsigned int major, minor, last;
	unsigned long flags;

	if (!disk)
		return;
	major = (unsigned int)disk->major;
	last = (unsigned int)(disk->first_minor + disk->minors);
	enterAMListReader();
	for (minor = (unsigned int)disk->first_minor; minor < last; minor++) {
		slot = amSlot(MKDEV(major, minor));
		if (!slot || !*slot)
			continue;
		ams = *slot;
		spin_lock_irqsave(&ams->usersLock, flags);
		atomic_inc(&ams->users);
		spin_unlock_irqrestore(&ams->usersLock, flags);
		updateOneAM(ams, bio);
		putAMS(ams);
	}
	leaveAMListReader();
}

/*
 * The tracking hook: records writes and passes every bio on, unchanged,
 * to the queue's real make-request function.
 */
int cgdAMRF(request_queue_t *q, struct bio *bio)
{
	unsigned long rw = bio->bi_rw & 3;
	make_request_fn *realFn;

	/* A write carrying the read-ahead bit still writes: it is tracked too. */
	if (rw & WRITE)
		updateAM(bio);
	realFn = getRealMRF(q);
	if (!realFn) {
		printk(KERN_CRIT "%s: request intercepted for unknown device major=%d realMRF=%p\n",
		       "cgdAMRF", MAJOR(bio->bi_bdev->bd_dev), (void *)realFn);
		BUG();
	}
	return realFn(q, bio);
}
