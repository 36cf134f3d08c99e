/*
 * Backup sessions: the start and the close of a session record.
 *
 * The start claims the module (busy, one started backup at a time) and
 * builds, under bSem, everything copy-before-write needs: geometry, the
 * store's buckets, kbackupd, the store's object caches, the map of
 * preserved blocks, the queue's real make-request function and the block
 * reader's requests.  A failed start keeps what it built; the close frees it.
 *
 * A record is closed when its open file is released, whatever state it is
 * in; every step skips what was never built.  The close takes bSem, then
 * autoMapSem (so the shutdown command cannot close the device's tracking
 * session while the queue is being handed back), then writers for writing,
 * and holds bSem and writers until the teardown is done, so no command of
 * the session and no deciding backup hook runs meanwhile.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/rwsem.h>
#include <linux/vmalloc.h>
#include <linux/string.h>

#include "cgdlib.h"

/* Empty on purpose: the block reader allocates its requests per command. */
static void allocateBRCache(struct Backup *b)
{
}

/* Empty on purpose: the block reader keeps no cache of its own to free. */
static void closeBRCache(struct Backup *b)
{
}

/* State of the tracking session of a device, or -1 when it has none. */
static int trackingState(dev_t kdev)
{
	struct AutoMapSession *ams = getAMS(kdev);
	int state;

	if (!ams)
		return -1;
	state = (int)amsState(ams);
	putAMS(ams);
	return state;
}

/*
 * Hands the device's request queue back: to the tracking hook while a
 * tracking session on the queue still needs it, otherwise to the queue's
 * real make-request function.  Caller holds bSem and writers.
 */
static void __handBackQueue(struct Backup *b)
{
	dev_t kdev = b->diskInfo.kdev;
	request_queue_t *q;

	if (trackingState(kdev) == CGD_AUTOMAP_IN_SYNC) {
		if (setMRF(b, cgdAMRF) == 0)
			return;
		errorAMSDEV(kdev);
	}
	if (getState(b) == CGD_STATE_IDLE)
		return;
	q = getRequestQueue(&b->diskInfo);
	if (countQueueAMS(q) > 1) {
		if (setMRF(b, cgdAMRF) == 0)
			return;
		errorAMSDEV(kdev);
	}
	unsetQueueMRFAMS(q);
}

/*
 * Ends copy-before-write for the session: marks it closing (the hook holds
 * writes only from CGD_STATE_SNAPPED to CGD_STATE_READING), lets kbackupd
 * release what is queued and takes the session out of activeSession if it
 * is the active one.  Returns the state the session had.  Caller holds
 * bSem, autoMapSem and writers.
 */
static u32 __stopSession(struct Backup *b)
{
	u32 saved = getState(b);

	if (saved <= CGD_STATE_READING)
		setState(b, CGD_STATE_CLOSING);

	/*
	 * No hook queues anything from here on (it holds bios only from
	 * CGD_STATE_SNAPPED to CGD_STATE_READING and decides under writers);
	 * kbackupd releases what is queued, capturing nothing.
	 */
	flushWorkQueue(b);

	down_write(&activeSessionUsers);
	if (activeSession == b)
		activeSession = NULL;
	up_write(&activeSessionUsers);
	return saved;
}

/*
 * Frees the pieces the session built (kbackupd has stopped); each step
 * skips what was never built.  Caller holds bSem and writers.
 */
static void __freeSession(struct Backup *b)
{
	freeAllMMPages(b);
	freeMMBRs(b);
	closeCache(b);
	closeBRCache(b);
	closeDiskInfo(&b->diskInfo);
	closeBUBlockMap(b);
	closeCacheMap(b);
	closeBlockTable(b);
}

/* Writes the session's report to the log, for a session that was ever started. */
static void reportSession(struct Backup *b, u32 saved)
{
	struct Stats *stats;
	dev_t kdev = b->diskInfo.kdev;

	if (saved == CGD_STATE_IDLE)
		return;
	stats = (struct Stats *)kmalloc(sizeof(*stats), GFP_KERNEL);
	if (stats) {
		memset(stats, 0, sizeof(*stats));
		setStats(b, stats);
		printStats(stats);
		kfree(stats);
	}
	printk(KERN_INFO "%s: backup finished device major=%d minor=%d\n", "closeBackup",
	       MAJOR(kdev), MINOR(kdev));
}

/* Gives back the module-wide busy flag if this record is the one that set it. */
static void releaseBusy(struct Backup *b)
{
	unsigned long flags;

	spin_lock_irqsave(&busyLock, flags);
	if (b->holdsModule) {
		atomic_set(&busy, 0);
		b->holdsModule = 0;
	}
	spin_unlock_irqrestore(&busyLock, flags);
}

/*
 * Waits until no backup hook that picked this record up still uses it.
 * Such a hook raised hookUsers before activeSession was cleared and may be
 * waiting for writers; once it has writers it finds the state above CGD_STATE_READING and
 * touches nothing but writers and state, so the wait runs after writers is
 * released (waiting with writers held would never end) and before the
 * record is freed.
 */
static void waitForHookUsers(struct Backup *b)
{
	while (atomic_read(&b->hookUsers) > 0)
		schedule();
}

/*
 * Claims the module for b.  0 when b now holds it; otherwise the status
 * of the refusal: CGD_ERR_ALREADY_STARTED when b holds it already (its
 * running backup is left alone), CGD_ERR_BACKUP_OPEN when another record
 * holds it (b is marked refused).
 */
static int claimModule(struct Backup *b, dev_t kdev)
{
	unsigned long flags;
	int mine;

	spin_lock_irqsave(&busyLock, flags);
	if (atomic_read(&busy) != 1) {
		atomic_set(&busy, 1);
		b->holdsModule = 1;
		spin_unlock_irqrestore(&busyLock, flags);
		return CGD_OK;
	}
	mine = b->holdsModule;
	spin_unlock_irqrestore(&busyLock, flags);

	if (mine) {
		printk(KERN_ERR "%s: tried to start backup on device major=%d minor=%d that is already busy\n",
		       "ioctlStartBackup", MAJOR(kdev), MINOR(kdev));
		return CGD_ERR_ALREADY_STARTED;
	}
	setState(b, (u32)CGD_STATE_REFUSED);
	printk(KERN_ERR "%s: another backup operation is open can't start backup on device major=%d minor=%d\n",
	       "ioctlStartBackup", MAJOR(kdev), MINOR(kdev));
	return CGD_ERR_BACKUP_OPEN;
}

/* Steps of the start after the geometry; b is in CGD_STATE_STARTING.  Caller holds bSem. */
static int __buildSession(struct Backup *b)
{
	dev_t kdev = b->diskInfo.kdev;
	int status;

	b->maxVMPages = b->diskInfo.blockSize * 256 / 4096;
	if (b->maxVMPages > CGD_MAX_VM_PAGES)
		b->maxVMPages = CGD_MAX_VM_PAGES;

	status = newBlockTable(b);
	if (status)
		return status;
	status = startWorkQueue(b);
	if (status)
		return status;
	allocateBRCache(b);
	status = newStoreCaches(b);
	if (status)
		return status;
	status = newCacheMap(b);
	if (status)
		return status;

	b->diskInfo.realMRF = getRealMRF(getRequestQueue(&b->diskInfo));
	if (!b->diskInfo.realMRF) {
		printk(KERN_ERR "%s: error getting real MRF for major=%d minor=%d\n", "ioctlStartBackup",
		       MAJOR(kdev), MINOR(kdev));
		return CGD_ERR_NOT_READY;
	}
	return allocateBlockRequests(b);
}

/*
 * Command 1: starts a backup of kdev on b.  totalBlocks_ is the file
 * system's size in blocks as the agent sees it, maxCacheBlocks_ the most
 * blocks the store may hold.  Returns a status (or the negative result of
 * a failed thread creation).  May sleep.
 */
int ioctlStartBackup(struct Backup *b, dev_t kdev, u32 totalBlocks_, u32 maxCacheBlocks_)
{
	int status;

	status = claimModule(b, kdev);
	if (status)
		return status;

	down(&b->bSem);
	if (getState(b) != CGD_STATE_IDLE) {
		/*
		 * Only a record refused earlier gets here; it has nothing
		 * started, so the module it just claimed is given back.
		 */
		printk(KERN_ERR "%s: tried to start backup on device major=%d minor=%d that is already busy\n",
		       __func__, MAJOR(kdev), MINOR(kdev));
		up(&b->bSem);
		releaseBusy(b);
		return CGD_ERR_ALREADY_STARTED;
	}

	b->maxCacheBlocks = maxCacheBlocks_;
	b->diskInfo.numBlocks = totalBlocks_;
	status = getDiskInfo(&b->diskInfo, kdev);
	if (status)
		goto out;

	setState(b, (u32)CGD_STATE_STARTING);
	status = __buildSession(b);
	if (status)
		goto out;

	down_write(&activeSessionUsers);
	activeSession = b;
	up_write(&activeSessionUsers);
	setState(b, (u32)CGD_STATE_STARTED);
	printk(KERN_INFO "%s: backup started for device major=%d minor=%d\n", __func__, MAJOR(kdev),
	       MINOR(kdev));
out:
	up(&b->bSem);
	return status;
}

/*
 * Tears a session record down and frees it; called by release once the
 * record is off its open file.  Never fails.  May sleep.
 */
void closeBackup(struct Backup *b)
{
	u32 saved;

	down(&b->bSem);
	down(&autoMapSem);
	down_write(&b->writers);

	__handBackQueue(b);
	saved = __stopSession(b);
	/* The queue is handed back and activeSession is clear. */
	up(&autoMapSem);
	/* The queue is empty and no session is active: the thread can go. */
	killWorkQueue(b);
	__freeSession(b);
	reportSession(b, saved);

	up_write(&b->writers);
	up(&b->bSem);

	releaseBusy(b);
	waitForHookUsers(b);
	kfree(b);
}
