/*
 * Copy-before-write: the queue of held requests and the kbackupd thread
 * that empties it, plus the one-block read the capture (and the block
 * reader) uses.
 *
 * The backup hook appends a MakeRequest for every bio that touches a block
 * whose pre-snapshot contents are still due; kbackupd takes the records off
 * one at a time, in the order they were appended, reads the old contents of
 * every due block of a held write into the store, and only then lets the
 * request go on to the device's real make-request function.
 *
 * Locking: mrLock (spin lock, always irqsave) guards mrHead, mrTail and the
 * links; nothing sleeps under it.  mrInQueue counts records appended and not
 * yet released; it is raised under mrLock and lowered by the thread without
 * it.  A capture holds cacheUsers for reading, and through saveBlock one
 * bucket's semaphore after it.  signalThread carries one unit per appended
 * record, the unit startWorkQueue takes, and the one the exiting thread
 * gives back.  The thread reads activeSession without a lock: the close
 * keeps the session alive for it (CGD_STATE_CLOSING, drain, clear activeSession, stop
 * the thread, and only then free the store and the record).
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/signal.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/completion.h>
#include <linux/compiler.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#include "cgdlib.h"

#define CGD_SIGKILL 9

/*
 * Moves a live session (CGD_STATE_READING or below) into the failure state err; a
 * session that is closing or has failed already keeps its state, since a
 * state above CGD_STATE_READING is never changed.  Safe against the hook and the close
 * changing the state at the same time.
 */
static void setCaptureError(struct Backup *b, u32 err)
{
	failState(b, err, CGD_STATE_IDLE);
}

/* Appends a held request and wakes kbackupd.  Runs in the hook; does not sleep. */
void addMRToQueue(struct Backup *b, struct MakeRequest *mr)
{
	unsigned long flags;

	spin_lock_irqsave(&b->mrLock, flags);
	if (!b->mrHead) {
		b->mrHead = mr;
		b->mrTail = mr;
	} else {
		b->mrTail->next = mr;
		b->mrTail = mr;
	}
	atomic_inc(&b->mrInQueue);
	spin_unlock_irqrestore(&b->mrLock, flags);
	up(&signalThread);
}

/* Takes the oldest held request off the queue, or NULL when it is empty. */
static struct MakeRequest *getTopMR(struct Backup *b)
{
	struct MakeRequest *mr;
	unsigned long flags;

	spin_lock_irqsave(&b->mrLock, flags);
	mr = b->mrHead;
	if (mr) {
		if (b->mrTail == mr)
			b->mrTail = NULL;
		b->mrHead = mr->next;
		mr->next = NULL;
	}
	spin_unlock_irqrestore(&b->mrLock, flags);
	return mr;
}

static void closeMR(struct MakeRequest *mr)
{
	kfree(mr);
}


/*
 * Reads block blockNum of the session's device into page with one bio sent
 * straight to the real make-request function, and waits for it.  Returns 1
 * when the block was read.  A bio that cannot be submitted (no queue) is
 * completed with an error by callRealMRF, so the wait always ends.  May sleep.
 */
static int readOldBlock(struct Backup *b, struct page *page, u32 blockNum)
{
	struct buffer_head *bh = allocBHUntilGiven();
	struct bio *bio = allocBIOUntilGiven();
	int uptodate;

	atomic_inc(&b->curAllocBRs);
	atomic_inc(&b->totalAllocBRs);
	initBH(b, bh, page, 0, blockNum);
	initBIO(b, bio, bh);
	bio->bi_rw = READ;
	callRealMRF(b, bio);
	wait_on_buffer(bh);
	uptodate = bio_flagged(bio, BIO_UPTODATE);

	/* The completion has dropped the references initBH and initBIO took. */
	bio_put(bio);
	free_buffer_head(bh);
	atomic_dec(&b->curAllocBRs);
	return uptodate;
}

/*
 * Preserves the old contents of one block before a held write may go on.
 * Does nothing once the session is closing or has failed.  A failure moves
 * the session into its error state and puts the device's tracking out of
 * sync; the held write is released by the caller either way.  Runs on
 * kbackupd; may sleep.
 */
void cacheBlock(struct Backup *b, struct MakeRequest *mr, u32 blockNum)
{
	dev_t kdev = b->diskInfo.kdev;
	struct page *page;

	down_read(&b->cacheUsers);
	if (getState(b) > CGD_STATE_READING)
		goto out;
	page = alloc_pages(GFP_NOIO, 0);
	if (!page) {
		setCaptureError(b, CGD_STATE_CACHE_ERROR);
		errorAMS(b);
		goto out;
	}
	atomic_inc(&b->totalAllocPages);
	atomic_inc(&b->curAllocPages);

	if (readOldBlock(b, page, blockNum)) {
		if (saveBlock(b, (unsigned char *)page_address(page), blockNum)) {
			printk(KERN_ERR "%s: Error caching blockNum=%u MAJOR=%d MINOR=%d\n", __func__,
			       blockNum, (int)MAJOR(kdev), (int)MINOR(kdev));
			errorAMS(b);
		}
	} else {
		setCaptureError(b, CGD_STATE_READ_ERROR);
		printk(KERN_ERR "%s: Block read error blockNum=%u MAJOR=%d MINOR=%d\n", __func__,
		       blockNum, (int)MAJOR(kdev), (int)MINOR(kdev));
		errorAMS(b);
	}

	__free_pages(page, 0);
	atomic_dec(&b->curAllocPages);
out:
	up_read(&b->cacheUsers);
}

/*
 * A held request is a write when its direction bit is set, the read-ahead
 * bit notwithstanding: a write that may be failed fast still overwrites
 * the block.
 */
static int isWrite(struct bio *bio)
{
	return (bio->bi_rw & 1) == WRITE;
}

/*
 * Handles one held request: captures every due block of a write, in
 * ascending order and each one complete before the next, then releases the
 * request (the only point at which a held request reaches the device), then
 * marks the captured blocks.  A read is released untouched.  Runs on
 * kbackupd; may sleep.
 */
void processMR(struct Backup *b, struct MakeRequest *mr)
{
	int write = isWrite(mr->bio);
	u32 bn;

	if (write) {
		for (bn = mr->startBN; bn <= mr->endBN; bn++) {
			if (doWeCacheBlock(b, bn))
				cacheBlock(b, mr, bn);
			if (bn == mr->endBN)	/* endBN may be the largest block number */
				break;
		}
	}

	callRealMRF(b, mr->bio);

	if (write) {
		for (bn = mr->startBN; bn <= mr->endBN; bn++) {
			if (doWeCacheBlock(b, bn))
				setBlock(&b->cacheMap, bn);
			if (bn == mr->endBN)
				break;
		}
	}
	atomic_dec(&b->mrInQueue);
	closeMR(mr);
}

/*
 * Waits for one wake-up: 0, or -EINTR when a signal (the thread accepts
 * SIGKILL) ended the wait without taking a unit.  The signal is discarded,
 * or every later wait would end at once and the thread would spin.
 */
static int waitForWork(void)
{
	if (down_interruptible(&signalThread) == 0)
		return 0;
	flush_signals(current);
	return -EINTR;
}

/*
 * The kbackupd thread.  Handles one held request per wake-up while a
 * session is active and past its start; ends only when killWorkQueue
 * clears backup_cacheThreadContinue.
 */
int backup_cache(void *unused)
{
	struct Backup *b;
	struct MakeRequest *mr;

	daemonize("kbackupd");
	allow_signal(CGD_SIGKILL);
	printk(KERN_INFO "%s: kbackupd thread started%s", __func__, "\n");
	complete(&backup_cacheThreadStartCompleted);

	/*
	 * Every unit taken here is one a request or killWorkQueue gave, so the
	 * count of signalThread stays exact: a wait that a signal ended took
	 * nothing and simply loops again, and a thread that sees the flag
	 * cleared before it waited still takes killWorkQueue's wake-up.
	 */
	for (;;) {
		if (atomic_read(&backup_cacheThreadContinue) != 1) {
			down(&signalThread);
			break;
		}
		if (waitForWork())
			continue;
		if (atomic_read(&backup_cacheThreadContinue) != 1)
			break;
		down_read(&activeSessionUsers);
		b = activeSession;
		up_read(&activeSessionUsers);
		if (!b || getState(b) <= CGD_STATE_STARTED)
			continue;
		mr = getTopMR(b);
		if (mr)
			processMR(b, mr);
	}

	up(&signalThread);
	printk(KERN_INFO "%s: backupd thread exiting%s", __func__, "\n");
	complete_and_exit(&backup_cacheThreadExited, 0);
	return 0;
}

/*
 * Starts kbackupd for a session and waits until it runs.  0, or the
 * negative result of the thread's creation (the wake-up unit taken here is
 * then given back).  Session start only; may sleep.
 */
int startWorkQueue(struct Backup *b)
{
	long pid;

	down(&signalThread);
	atomic_set(&backup_cacheThreadContinue, 1);
	pid = kernel_thread(backup_cache, NULL, 0);
	backup_cachePID = (pid_t)pid;
	if (pid < 0) {
		printk(KERN_ERR "%s: error starting cache thread%s", __func__, "\n");
		up(&signalThread);
		return (int)pid;
	}
	b->startedCacheThread = 1;
	wait_for_completion(&backup_cacheThreadStartCompleted);
	return 0;
}

/*
 * Caller holds mrLock (irqsave, flags in *flags); returns holding it.
 * Polls until every held request has been released, or the thread is gone.
 */
static void waitForMRs(struct Backup *b, unsigned long *flags)
{
	while (atomic_read(&b->mrInQueue) > 0 && backup_cachePID > 0) {
		spin_unlock_irqrestore(&b->mrLock, *flags);
		schedule();
		spin_lock_irqsave(&b->mrLock, *flags);
	}
	if (backup_cachePID <= 0)
		printk(KERN_ERR "%s: backup_cache thread died during waitForMRs%s", __func__, "\n");
}

/*
 * Waits until the queue has drained; nothing when no thread runs.  A record
 * that never started the thread has nothing queued (and the pid it would
 * read is another session's), so it does not wait.  May sleep.
 */
void flushWorkQueue(struct Backup *b)
{
	unsigned long flags;

	if (!b->startedCacheThread || backup_cachePID <= 0)
		return;
	spin_lock_irqsave(&b->mrLock, flags);
	waitForMRs(b, &flags);
	spin_unlock_irqrestore(&b->mrLock, flags);
}

/* Stops the thread this session started and waits for it to end.  May sleep. */
void killWorkQueue(struct Backup *b)
{
	if (!b->startedCacheThread || backup_cachePID <= 0)
		return;
	atomic_set(&backup_cacheThreadContinue, 0);
	up(&signalThread);
	wait_for_completion(&backup_cacheThreadExited);
	backup_cachePID = 0;
}

/* Prepares a locked buffer head for one block of the session's device in page at offset. */
void initBH(struct Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset,
	    u32 blockNum)
{
	bh->b_bdev = b->diskInfo.bdev;
	bh->b_blocknr = blockNum;
	set_bh_page(bh, page, offset);
	bh->b_end_io = cgdBHEndIO;
	bh->b_size = (u32)b->diskInfo.blockSize;
	bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
	INIT_LIST_HEAD(&bh->b_assoc_buffers);
	get_bh(bh);
}

/*
 * Builds a one-segment bio for the buffer.  Its sector is the whole disk's,
 * since it goes straight to the disk's real function, which does no
 * partition remapping.  The extra reference is dropped by the completion.
 * The caller sets the direction.
 */
void initBIO(struct Backup *b, struct bio *bio, struct buffer_head *bh)
{
	bio->bi_bdev = bh->b_bdev;
	bio->bi_sector = (sector_t)b->diskInfo.sectorsPerBlock * bh->b_blocknr +
			 b->diskInfo.partitionStart;
	bio->bi_io_vec[0].bv_page = bh->b_page;
	bio->bi_io_vec[0].bv_len = bh->b_size;
	bio->bi_io_vec[0].bv_offset = (unsigned int)((unsigned long)bh->b_data % PAGE_SIZE);
	bio->bi_vcnt = 1;
	bio->bi_idx = 0;
	bio->bi_size = bh->b_size;
	bio->bi_private = bh;
	bio->bi_end_io = cgdBIOEndIO;
	bio_get(bio);
}

/*
 * Completion of a one-block read (block layer completion context: must not
 * sleep).  Returns 1 while bytes are outstanding; the buffer is completed
 * and the bio's reference dropped once, by the final call.
 */
int cgdBIOEndIO(struct bio *bio, unsigned int bytesDone, int err)
{
	struct buffer_head *bh = (struct buffer_head *)bio->bi_private;

	if (err == -EOPNOTSUPP) {
		set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
		set_buffer_eopnotsupp(bh);
	}
	if (bio->bi_size) {
		printk(KERN_WARNING "%s: IO info, size=%d\n", __func__, (int)bio->bi_size);
		printk(KERN_WARNING "%s: IO error, bio=%p, major=%d, sector=%llu\n", __func__, (void *)bio,
		       (int)MAJOR(bio->bi_bdev->bd_dev), (unsigned long long)bio->bi_sector);
		return 1;
	}
	bh->b_end_io(bh, bio_flagged(bio, BIO_UPTODATE));
	bio_put(bio);
	return 0;
}

/*
 * Completion of the buffer (completion context).  The reference initBH took
 * is dropped before the buffer is unlocked: the waiter frees the buffer as
 * soon as it sees it unlocked, so nothing here may touch it after that.
 */
void cgdBHEndIO(struct buffer_head *bh, int uptodate)
{
	if (uptodate) {
		set_buffer_uptodate(bh);
	} else {
		printk(KERN_WARNING "%s: buffer_head I/O error bh=%p, major=%d, minor=%d, block=%llu\n",
		       __func__, (void *)bh, (int)MAJOR(bh->b_bdev->bd_dev),
		       (int)MINOR(bh->b_bdev->bd_dev), (unsigned long long)bh->b_blocknr);
	}
	put_bh(bh);
	unlock_buffer(bh);
}
