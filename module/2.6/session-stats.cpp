/*
 * Session state and statistics: the get-state and get-stats commands, and
 * the report a started session writes to the log when it closes.
 *
 * Both commands hold the session's bSem only while they read the record and
 * copy to user space after releasing it.  The counters are atomics read one
 * by one, so a Stats record is not a consistent snapshot of counters that
 * the hooks, kbackupd and the block reader change meanwhile.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <asm/uaccess.h>

#include "cgdlib.h"

/* Pages mapped in the session's windows; a free window counts 0. */
static int getVMAPageCount(struct Backup *b)
{
	int i, pages = 0;

	for (i = 0; i < 2; i++)
		if (b->vmAreas[i].vma)
			pages += b->vmAreas[i].vmPages;
	return pages;
}

/* Fills a zeroed Stats record from b; the version fields stay 0. */
void setStats(struct Backup *b, struct Stats *stats)
{
	struct DiskInfo *di = &b->diskInfo;

	stats->major = MAJOR(di->kdev);
	stats->minor = MINOR(di->kdev);
	stats->state = getState(b);
	stats->partitionStart = (unsigned int)di->partitionStart;
	stats->blockSize = di->blockSize;
	stats->blocksPerPage = (int)di->blocksPerPage;
	stats->partitionSizeKB = (unsigned int)di->partitionSizeKB;
	stats->numBlocks = (unsigned int)di->numBlocks;
	stats->maxVMPages = b->maxVMPages;
	stats->vmPages = getVMAPageCount(b);
	stats->maxCacheBlocks = b->maxCacheBlocks;
	stats->curAllocAMPages = atomic_read(&curAllocAMPages);
	stats->totalAllocPages = atomic_read(&b->totalAllocPages);
	stats->curAllocPages = atomic_read(&b->curAllocPages);
	stats->totalAllocBRs = atomic_read(&b->totalAllocBRs);
	stats->curAllocBRs = atomic_read(&b->curAllocBRs);
	stats->totalAllocCPs = atomic_read(&b->totalAllocCPs);
	stats->curAllocCPs = atomic_read(&b->curAllocCPs);
	stats->peakAllocCPs = atomic_read(&b->peakAllocCPs);
	stats->totalCBs = atomic_read(&b->totalCBs);
	stats->curCBs = atomic_read(&b->curCBs);
	stats->totalReadBlocks = atomic_read(&b->totalReadBlocks);
	stats->totalReadCBs = atomic_read(&b->totalReadCBs);
	stats->totalCleanedCBs = atomic_read(&b->totalCleanedCBs);
	stats->ioctlCount = atomic_read(&b->ioctlCount);
	stats->eTimeToFreeze.tv_sec = b->eTimeToFreeze.tv_sec;
	stats->eTimeToFreeze.tv_nsec = b->eTimeToFreeze.tv_nsec;
	stats->eTimeFrozen.tv_sec = b->eTimeFrozen.tv_sec;
	stats->eTimeFrozen.tv_nsec = b->eTimeFrozen.tv_nsec;
}

/* Writes the report of a session to the log, 26 lines. */
void printStats(struct Stats *stats)
{
	printk(KERN_INFO "%s: device: major(%u) minor(%u)\n", __func__, stats->major, stats->minor);
	printk(KERN_INFO "%s: state: %u\n", __func__, stats->state);
	printk(KERN_INFO "%s: block size: %i\n", __func__, stats->blockSize);
	printk(KERN_INFO "%s: partition size (KB): %u\n", __func__, stats->partitionSizeKB);
	printk(KERN_INFO "%s: file system size (blocks): %u\n", __func__, stats->numBlocks);
	printk(KERN_INFO "%s: pages allocated for write journal: %d\n", __func__, stats->curAllocAMPages);
	printk(KERN_INFO "%s: max cache size in blocks: %i\n", __func__, (int)stats->maxCacheBlocks);
	printk(KERN_INFO "%s: total pages allocated: %d\n", __func__, stats->totalAllocPages);
	printk(KERN_INFO "%s: current pages allocated: %d\n", __func__, stats->curAllocPages);
	printk(KERN_INFO "%s: total Block Requests allocated: %d\n", __func__, stats->totalAllocBRs);
	printk(KERN_INFO "%s: current Block Requests allocated: %d\n", __func__, stats->curAllocBRs);
	printk(KERN_INFO "%s: total cached blocks: %d\n", __func__, stats->totalAllocCPs);
	printk(KERN_INFO "%s: current cached blocks: %d\n", __func__, stats->curAllocCPs);
	printk(KERN_INFO "%s: peak cached blocks: %d\n", __func__, stats->peakAllocCPs);
	printk(KERN_INFO "%s: total block cache data structures: %d\n", __func__, stats->totalCBs);
	printk(KERN_INFO "%s: current block cache data structures: %d\n", __func__, stats->curCBs);
	printk(KERN_INFO "%s: total reads from disk: %d\n", __func__, stats->totalReadBlocks);
	printk(KERN_INFO "%s: total reads from cache: %d\n", __func__, stats->totalReadCBs);
	printk(KERN_INFO "%s: blocks cleaned from cache: %d\n", __func__, stats->totalCleanedCBs);
	printk(KERN_INFO "%s: partition start (sector): %u\n", __func__, stats->partitionStart);
	printk(KERN_INFO "%s: blocks per page: %i\n", __func__, stats->blocksPerPage);
	printk(KERN_INFO "%s: max buffer size in pages: %i\n", __func__, stats->maxVMPages);
	printk(KERN_INFO "%s: buffer pages allocated: %i\n", __func__, stats->vmPages);
	printk(KERN_INFO "%s: commands processed: %d\n", __func__, stats->ioctlCount);
	printk(KERN_INFO "%s: time to freeze in seconds: %d.%09d\n", __func__,
	       (int)stats->eTimeToFreeze.tv_sec, (int)stats->eTimeToFreeze.tv_nsec);
	printk(KERN_INFO "%s: time frozen in seconds: %d.%09d\n", __func__,
	       (int)stats->eTimeFrozen.tv_sec, (int)stats->eTimeFrozen.tv_nsec);
}

/* Command 3: the session's device, state, block size and window size. */
int ioctlGetState(struct Backup *b, struct State __user *userState, u32 stateLen)
{
	struct State st;

	memset(&st, 0, sizeof(st));
	down(&b->bSem);
	st.major = MAJOR(b->diskInfo.kdev);
	st.minor = MINOR(b->diskInfo.kdev);
	st.blockSize = b->diskInfo.blockSize;
	st.mmapSize = b->maxVMPages * 4096;
	st.state = getState(b);
	up(&b->bSem);

	if (stateLen > sizeof(st))
		stateLen = sizeof(st);
	if (copy_to_user(userState, &st, stateLen)) {
		printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
		return CGD_ERR_COPY_OUT;
	}
	return CGD_OK;
}

/* Command 17: the session's statistics record, cut to statsLen bytes. */
int ioctlGetStats(struct Backup *b, struct Stats __user *userStats, u32 statsLen)
{
	struct Stats *stats;
	int status = CGD_OK;

	stats = (struct Stats *)kmalloc(sizeof(*stats), GFP_KERNEL);
	if (!stats)
		return CGD_ERR_NO_MEMORY;
	memset(stats, 0, sizeof(*stats));

	down(&b->bSem);
	setStats(b, stats);
	up(&b->bSem);

	if (statsLen > sizeof(*stats))
		statsLen = sizeof(*stats);
	if (copy_to_user(userStats, stats, statsLen)) {
		printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
		status = CGD_ERR_COPY_OUT;
	}
	kfree(stats);
	return status;
}
