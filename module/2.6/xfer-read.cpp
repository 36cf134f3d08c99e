/*
 * The read-blocks command: copies a run of blocks of the snapshot into one
 * of the session's transfer windows.  A block preserved in the store is
 * copied from there; every other block is read from the disk with its own
 * one-block bio laid straight into the window page.  All disk reads of a
 * command are submitted first and awaited together.
 *
 * Block i of a command lands in window page i / blocksPerPage at byte
 * blockSize * (i % blocksPerPage).  Slot i of mmBIORequests holds the disk
 * read of block i while the command runs; slots are empty between commands.
 * A read's bio goes once it completes (the command drops its own reference
 * right after the submission): bio_alloc may wait for the kernel's bio pool,
 * and a command that kept its completed bios while it allocated more could
 * wait for itself when memory is short.  The buffer head keeps the result.
 *
 * Locking: the whole command runs under the session's bSem, which also
 * keeps the windows in place (cgdVMclose takes it).  cacheRead takes
 * cacheUsers and a bucket semaphore; the map calls take the maps' locks.
 * kbackupd may capture a block while its disk read is in flight; the order
 * submit, copy from the store, wait, clear the wanted bit, re-check the
 * store leaves the pre-snapshot contents in the window in every case.
 * Completions only unlock the buffers; the rest runs in the agent's task.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/sched.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/compiler.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#include "cgdlib.h"

/* Kernel address of block i of a command in the window. */
unsigned char *mmPageAddr(struct Backup *b, int i, struct BackupVMA *bVMA)
{
	u32 bpp = b->diskInfo.blocksPerPage;
	unsigned char *page;

	if (bpp == 1)
		return (unsigned char *)page_address(bVMA->mmPages[i]);
	page = (unsigned char *)page_address(bVMA->mmPages[i / bpp]);
	return page + (unsigned long)b->diskInfo.blockSize * (i % bpp);
}

/* Non-zero when slot holds a disk read of the running command.  Caller holds bSem. */
static int isRequestSubmitted(struct Backup *b, int slot)
{
	return b->mmBIORequests[slot] != NULL;
}

/*
 * A zeroed read record, retried after yielding until one is given, like the
 * buffer head and the bio it carries: a slot is either empty or complete.
 */
static struct BIORequest *allocBIORequest(void)
{
	return (struct BIORequest *)allocUntilGiven(sizeof(struct BIORequest));
}

/*
 * Caller holds bSem.  Submits the disk read of block i of the command
 * (block blockNum) into its place in the window and records it in slot i.
 * May sleep.
 */
static void __submitRead(struct Backup *b, int i, u32 blockNum, struct BackupVMA *bVMA)
{
	u32 bpp = b->diskInfo.blocksPerPage;
	struct BIORequest *br = allocBIORequest();
	struct buffer_head *bh = allocBHUntilGiven();
	struct bio *bio = allocBIOUntilGiven();

	br->bio = bio;
	br->bh = bh;
	atomic_inc(&b->curAllocBRs);
	atomic_inc(&b->totalAllocBRs);
	b->mmBIORequests[i] = br;

	initBH(b, bh, bVMA->mmPages[i / bpp], (unsigned long)b->diskInfo.blockSize * (i % bpp),
	       blockNum);
	initBIO(b, bio, bh);
	bio->bi_rw = READ;
	callRealMRF(b, bio);
	br->bio = NULL;
	bio_put(bio);		/* the completion drops the last reference */
	atomic_inc(&b->totalReadBlocks);
}

/*
 * Caller holds bSem.  Submits a disk read for every block of the run that
 * is not in the store; waits for none.  Returns the number submitted.
 */
static u32 readBlocks(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA)
{
	u32 submitted = 0;
	u32 i;

	for (i = 0; i < numBlocks; i++) {
		if (blockInMap(&b->cacheMap, startBlockNum + i))
			continue;
		__submitRead(b, (int)i, startBlockNum + i, bVMA);
		submitted++;
	}
	return submitted;
}

/*
 * Caller holds bSem.  Copies every block of the run without a disk read
 * from the store.  Returns the number copied.
 */
u32 readFromCache(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA)
{
	u32 copied = 0;
	u32 i;

	for (i = 0; i < numBlocks; i++) {
		if (isRequestSubmitted(b, (int)i))
			continue;
		if (cacheRead(b, mmPageAddr(b, (int)i, bVMA), startBlockNum + i)) {
			copied++;
			continue;
		}
		printk(KERN_WARNING "%s: expected to read block number (%u) from cache and block not found in cache\n",
		       __func__, startBlockNum + i);
	}
	return copied;
}

/* Fills the block of a failed read with zeros, so it reads as zeros. */
static void zeroFillBH(struct buffer_head *bh)
{
	unsigned long offset = (unsigned long)bh->b_data % PAGE_SIZE;

	if (offset + bh->b_size > PAGE_SIZE) {
		printk(KERN_CRIT "%s: BIO segment greater than page size (offset=%d, length=%d)",
		       "waitForSubmitted", (int)offset, (int)bh->b_size);
		BUG();
	}
	memset(bh->b_data, 0, bh->b_size);
}

/* The buffer head of a slot's read. */
static struct buffer_head *slotBH(struct Backup *b, int slot)
{
	return b->mmBIORequests[slot]->bh;
}

/*
 * Caller holds bSem.  Waits for every disk read of the run, in ascending
 * order; a failed one leaves zeros.  In CGD_STATE_READING every awaited block leaves
 * the wanted map, read or not.  Returns 0, or CGD_ERR_IO when a read failed.
 */
static int waitForSubmitted(struct Backup *b, u32 startBlockNum, u32 numBlocks)
{
	int ret = CGD_OK;
	u32 i;

	for (i = 0; i < numBlocks; i++) {
		struct buffer_head *bh;

		if (!isRequestSubmitted(b, (int)i))
			continue;
		bh = slotBH(b, (int)i);
		wait_on_buffer(bh);
		if (!buffer_uptodate(bh)) {
			ret = CGD_ERR_IO;
			zeroFillBH(bh);
		}
		if (getState(b) == CGD_STATE_READING)
			unSetBlock(&b->blockMap, startBlockNum + i);
	}
	return ret;
}

/* Caller holds bSem.  Waits for every disk read of the run and changes nothing else. */
static void __waitForReads(struct Backup *b, u32 numBlocks)
{
	u32 i;

	for (i = 0; i < numBlocks; i++)
		if (isRequestSubmitted(b, (int)i))
			wait_on_buffer(slotBH(b, (int)i));
}

/*
 * Caller holds bSem.  A block captured while its disk read was in flight
 * has its preserved copy in the store: that copy replaces what the disk
 * gave (and is consumed in CGD_STATE_READING).
 */
static void readCheckCache(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA)
{
	u32 i;

	for (i = 0; i < numBlocks; i++)
		if (isRequestSubmitted(b, (int)i))
			cacheRead(b, mmPageAddr(b, (int)i, bVMA), startBlockNum + i);
}

/*
 * Caller holds bSem; every read of the run has completed.  Frees the reads
 * and empties their slots.  The completion has already dropped the
 * reference initBH took and, with the bio's last reference, the bio.
 */
static void freeSubmitted(struct Backup *b, u32 numBlocks)
{
	u32 i;

	for (i = 0; i < numBlocks; i++) {
		struct BIORequest *br = b->mmBIORequests[i];

		if (!br)
			continue;
		if (br->bh) {
			free_buffer_head(br->bh);
			br->bh = NULL;
			atomic_dec(&b->curAllocBRs);
		}
		kfree(br);
		b->mmBIORequests[i] = NULL;
	}
}

/*
 * Caller holds bSem.  The checks of a read-blocks command, in order; 0 and
 * the window, or CGD_ERR_INVALID after logging the first that fails.
 */
static int __checkReadRequest(struct Backup *b, u32 startBlockNum, u32 numBlocks,
			      void __user *data, struct BackupVMA **bVMA)
{
	u32 state = getState(b);
	u32 endBlockNum = startBlockNum + numBlocks;
	unsigned long windowBytes;

	if (state != CGD_STATE_READING && state != CGD_STATE_SNAPPED) {
		printk(KERN_ERR "%s: state (%d) not valid\n", "ioctlReadBlocks", (int)state);
		return CGD_ERR_INVALID;
	}
	if (endBlockNum < startBlockNum) {
		printk(KERN_ERR "%s: invalid block read range (%u-%u)\n", "ioctlReadBlocks",
		       startBlockNum, endBlockNum);
		return CGD_ERR_INVALID;
	}
	if (state == CGD_STATE_READING) {
		if (!b->blockMap.map) {
			printk(KERN_ERR "%s: block map is null%s", "ioctlReadBlocks", "\n");
			return CGD_ERR_INVALID;
		}
		if (endBlockNum > b->blockMap.size) {
			printk(KERN_ERR "%s: end block number out of block map range%s", "ioctlReadBlocks",
			       "\n");
			return CGD_ERR_INVALID;
		}
	}
	if (!b->cacheMap.map) {
		printk(KERN_ERR "%s: cache map is null%s", "ioctlReadBlocks", "\n");
		return CGD_ERR_INVALID;
	}
	if (endBlockNum > b->cacheMap.size) {
		printk(KERN_ERR "%s: block num (%u) out of range (%u)\n", "ioctlReadBlocks", endBlockNum,
		       b->cacheMap.size);
		return CGD_ERR_INVALID;
	}
	if (!checkVMA(b, data, bVMA)) {
		printk(KERN_ERR "%s: invalid data pointer%s", "ioctlReadBlocks", "\n");
		return CGD_ERR_INVALID;
	}
	/*
	 * A block never straddles two pages: a window holds blocksPerPage
	 * blocks a page, which for a block size that does not divide the page
	 * is fewer than its bytes suggest (and none for blocks above a page).
	 */
	windowBytes = (unsigned long)(*bVMA)->vmPages * PAGE_SIZE;
	if ((u64)numBlocks * (u64)b->diskInfo.blockSize > (u64)windowBytes ||
	    (u64)numBlocks > (u64)(*bVMA)->vmPages * b->diskInfo.blocksPerPage) {
		printk(KERN_ERR "%s: tried to read (%u) number of blocks size (%u) and mmap region can hold (%lu) bytes\n",
		       "ioctlReadBlocks", numBlocks, (u32)b->diskInfo.blockSize, windowBytes);
		return CGD_ERR_INVALID;
	}
	return CGD_OK;
}

/*
 * Caller holds bSem and the run has passed its checks.  Reads the run into
 * the window; returns 0, CGD_ERR_INVALID (a block expected in the store was
 * not there) or CGD_ERR_IO (a disk read failed; its block reads as zeros).
 * Every submitted read is awaited and freed whatever the result.  May sleep.
 */
static int __readRun(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA)
{
	u32 fromDisk = readBlocks(b, startBlockNum, numBlocks, bVMA);
	u32 fromCache = 0;
	int ret = CGD_OK;

	if (fromDisk < numBlocks) {
		fromCache = readFromCache(b, startBlockNum, numBlocks, bVMA);
		if (fromDisk + fromCache != numBlocks) {
			printk(KERN_ERR "%s: read (%u) blocks from disk and (%u) blocks from cache and expected to read (%u) blocks\n",
			       "ioctlReadBlocks", fromDisk, fromCache, numBlocks);
			__waitForReads(b, numBlocks);
			ret = CGD_ERR_INVALID;
			goto out;
		}
	}
	if (waitForSubmitted(b, startBlockNum, numBlocks) == CGD_ERR_IO) {
		printk(KERN_WARNING "%s: Received an IO error while reading sectors for backup.  Some sectors could not be read%s",
		       "ioctlReadBlocks", "\n");
		ret = CGD_ERR_IO;
	}
	readCheckCache(b, startBlockNum, numBlocks, bVMA);
out:
	if (fromDisk)
		freeSubmitted(b, numBlocks);
	return ret;
}

/*
 * The read-blocks command: numBlocks blocks from startBlockNum into the
 * window that the agent mapped at data.  0, CGD_ERR_INVALID or CGD_ERR_IO.
 * Runs in the agent's process; may sleep.
 */
int ioctlReadBlocks(struct Backup *b, u32 startBlockNum, u32 numBlocks, void __user *data)
{
	struct BackupVMA *bVMA = NULL;
	int ret;

	down(&b->bSem);
	ret = __checkReadRequest(b, startBlockNum, numBlocks, data, &bVMA);
	if (ret == CGD_OK)
		ret = __readRun(b, startBlockNum, numBlocks, bVMA);
	up(&b->bSem);
	return ret;
}

/* The read slots of the session: one per block a window can hold.  0 or CGD_ERR_NO_MEMORY. */
int allocateBlockRequests(struct Backup *b)
{
	unsigned long size = (unsigned long)b->diskInfo.blocksPerPage * (unsigned long)b->maxVMPages *
			     sizeof(struct BIORequest *);

	b->mmBIORequests = (struct BIORequest **)vmalloc(size);
	if (!b->mmBIORequests)
		return CGD_ERR_NO_MEMORY;
	memset(b->mmBIORequests, 0, size);
	return CGD_OK;
}

void freeMMBRs(struct Backup *b)
{
	if (b->mmBIORequests) {
		vfree(b->mmBIORequests);
		b->mmBIORequests = NULL;
	}
}
