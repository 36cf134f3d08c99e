/*
 * The backup's make-request hook.  Installed on the backed-up device's
 * request queue by the snapshot, it sees every bio of every device on that
 * queue.  A bio of the backed-up device that touches a block still due is
 * held (queued for kbackupd, which preserves the old contents first); every
 * other bio goes straight on to the queue's real function.  Writes are also
 * recorded by the tracking of their device.
 *
 * Runs in whatever task submits the bio, on any processor, and may sleep;
 * never in interrupt context.  Lock order: activeSessionUsers for reading
 * (released before the next), the session's writers for reading, inside
 * which the maps' locks and mrLock are taken.  Tracking runs after writers
 * is released, and no module lock is held while the real function runs.
 * Whether a bio is the backup's comes from the extent the session recorded
 * at its start (hook-bio.cpp), never from the disk's partition table.
 *
 * The record picked under activeSessionUsers is kept alive by its hookUsers
 * count, raised before activeSessionUsers is released and lowered as soon
 * as the hook is done with the record; the close waits for it to reach 0
 * before it frees the record.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/rwsem.h>
#include <linux/compiler.h>
#include <asm/atomic.h>
#include <asm/bug.h>

#include "cgdlib.h"

/*
 * The active session if the bio lies on its device, with a hookUsers
 * reference taken; NULL otherwise.
 */
static struct Backup *pickSession(struct bio *bio)
{
	struct Backup *b;

	down_read(&activeSessionUsers);
	b = activeSession;
	if (b && bioOnDevice(&b->diskInfo, bio))
		atomic_inc(&b->hookUsers);
	else
		b = NULL;
	up_read(&activeSessionUsers);
	return b;
}

/* 1 if any block of [startBN, endBN] must still be preserved.  Caller holds writers. */
static int __anyBlockDue(struct Backup *b, u32 startBN, u32 endBN)
{
	u32 bn;

	for (bn = startBN; bn <= endBN; bn++) {
		if (doWeCacheBlock(b, bn))
			return 1;
		if (bn == endBN)	/* endBN may be the largest block number */
			break;
	}
	return 0;
}

/*
 * The hook could not hold a bio: the session fails (CGD_STATE_HOOK_ERROR, unless it is
 * already closing or failed) and the device's tracking goes out of sync.
 * Caller holds writers for reading.
 */
static void __holdFailed(struct Backup *b)
{
	failState(b, CGD_STATE_HOOK_ERROR, CGD_STATE_SNAPPED);
	errorAMS(b);
}

/*
 * Decides, with writers held for reading, whether the session holds the
 * bio: 1 held (queued), 0 not held, -1 could not be held.  The fields the
 * tracking needs are copied to *shadow before a held bio is queued, since
 * kbackupd may release and complete it at once.
 */
static int __holdBio(struct Backup *b, request_queue_t *q, struct bio *bio,
		     struct bio *shadow)
{
	u32 state = getState(b);
	struct MakeRequest *mr;
	u32 startBN, endBN;

	if (state < CGD_STATE_SNAPPED || state > CGD_STATE_READING)
		return 0;
	BIOToBlockNumbers(&b->diskInfo, bio, &startBN, &endBN);
	if (!__anyBlockDue(b, startBN, endBN))
		return 0;

	mr = (struct MakeRequest *)kmalloc(sizeof(*mr), GFP_NOIO);
	if (!mr) {
		__holdFailed(b);
		return -1;
	}
	memset(mr, 0, sizeof(*mr));
	mr->q = q;
	mr->bio = bio;
	mr->startBN = startBN;
	mr->endBN = endBN;
	shadow->bi_bdev = bio->bi_bdev;
	shadow->bi_sector = bio->bi_sector;
	shadow->bi_size = bio->bi_size;
	shadow->bi_rw = bio->bi_rw;
	addMRToQueue(b, mr);
	return 1;
}

/* The backup decision: 1 held, 0 not held, -1 could not be held. */
static int backupDecision(request_queue_t *q, struct bio *bio, unsigned long rw,
			  struct bio *shadow)
{
	struct Backup *b;
	int res;

	if (rw == READA)
		return 0;
	b = pickSession(bio);
	if (!b)
		return 0;
	down_read(&b->writers);
	res = __holdBio(b, q, bio, shadow);
	up_read(&b->writers);
	atomic_dec(&b->hookUsers);	/* b may be freed from here on */
	return res;
}

/*
 * The backup's make-request function.  Returns 0 for a held bio, otherwise
 * what the queue's real function returned for it.  May sleep.
 */
int cgdMRF(request_queue_t *q, struct bio *bio)
{
	unsigned long rw;
	int cachedBlock;
	make_request_fn *realFn;
	struct bio shadow;

	set_current_state(TASK_RUNNING);
	rw = bio->bi_rw & 3;
	memset(&shadow, 0, sizeof(shadow));
	cachedBlock = backupDecision(q, bio, rw, &shadow);

	/* A write carrying the read-ahead bit still writes: it is tracked too. */
	if (rw & WRITE)
		updateAM(cachedBlock > 0 ? &shadow : bio);
	if (cachedBlock > 0)
		return 0;

	realFn = getRealMRF(q);
	if (!realFn) {
		printk(KERN_CRIT "%s: request intercepted for unknown device major=%d minor=%d\n", __func__,
		       (int)MAJOR(bio->bi_bdev->bd_dev), (int)MINOR(bio->bi_bdev->bd_dev));
		BUG();
	}
	return realFn(q, bio);
}
