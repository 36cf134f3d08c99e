/*
 * Changed-block tracking of writes: the marking step shared by both hooks
 * and the tracking-only make-request hook.
 *
 * Both run in the context of whoever submits the bio, on any processor at
 * once, and may sleep (on the partition-table guard in BIOToMinor and on a
 * map's sem in setBlock); never in interrupt context.  The session
 * reference held across the marking keeps the session and its map alive:
 * closing a session and exchanging its map both drain the references.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/compiler.h>
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
			WRITE_ONCE(ams->state, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
			printk("<4>%s: device resize detected (block %d in size %d) in automap update, automap not in sync%s",
			       "updateAM", res, (int)ams->map.size, "\n");
		}
		if (bn == endBN)	/* endBN may be the largest block number */
			break;
	}
}

/*
 * Records a write bio in the session of the partition it lies in
 * (bioMinor on the bio's disk), if that session is in sync.
 */
void updateAM(struct bio *bio, int bioMinor)
{
	struct AutoMapSession *ams;
	u32 startBN, endBN;

	ams = getAMS(MKDEV(MAJOR(bio->bi_bdev->bd_dev), (unsigned int)bioMinor));
	if (!ams)
		return;
	BIOToBlockNumbers(&ams->diskInfo, bio, &startBN, &endBN);
	if (READ_ONCE(ams->state) == CGD_AUTOMAP_IN_SYNC && startBN <= endBN)
		markBlocks(ams, startBN, endBN);
	putAMS(ams);
}

/*
 * The tracking hook: records writes and passes every bio on, unchanged,
 * to the queue's real make-request function.
 */
int cgdAMRF(request_queue_t *q, struct bio *bio)
{
	unsigned long rw = bio->bi_rw & 3;
	int bioMinor = BIOToMinor(bio);
	make_request_fn *realFn;

	/* A write carrying the read-ahead bit still writes: it is tracked too. */
	if (rw & WRITE)
		updateAM(bio, bioMinor);
	realFn = getRealMRF(q);
	if (!realFn) {
		printk("<2>%s: request intercepted for unknown device major=%d realMRF=%p\n",
		       "cgdAMRF", MAJOR(bio->bi_bdev->bd_dev), (void *)realFn);
		BUG();
	}
	return realFn(q, bio);
}
