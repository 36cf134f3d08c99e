/*
 * Backup sessions: the close of a session record.
 *
 * A record is closed when its open file is released, whatever state it is
 * in; every step skips what was never built.  The close takes bSem, then
 * writers for writing, and holds both until the teardown is done, so no
 * command of the session and no deciding backup hook runs meanwhile.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/rwsem.h>

#include "cgdlib.h"

/* State of the tracking session of a device, or -1 when it has none. */
static int trackingState(dev_t kdev)
{
	struct AutoMapSession *ams = getAMS(kdev);
	int state;

	if (!ams)
		return -1;
	state = (int)READ_ONCE(ams->state);
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
	if (READ_ONCE(b->state) == CGD_STATE_IDLE)
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
 * writes only in states 4 to 6) and takes it out of activeSession if it is
 * the active one.  Returns the state the session had.  Caller holds bSem
 * and writers.
 */
static u32 __stopSession(struct Backup *b)
{
	u32 saved = READ_ONCE(b->state);

	if (saved <= CGD_STATE_READING)
		WRITE_ONCE(b->state, CGD_STATE_CLOSING);

	/*
	 * No hook queues anything from here on (it holds bios only in states
	 * 4 to 6 and decides under writers); kbackupd releases what is queued,
	 * capturing nothing.
	 */
	flushWorkQueue(b);

	down_write(&activeSessionUsers);
	if (READ_ONCE(activeSession) == b)
		WRITE_ONCE(activeSession, NULL);
	up_write(&activeSessionUsers);

	/* The queue is empty and no session is active: the thread can go. */
	killWorkQueue(b);
	return saved;
}

/* Frees the pieces the session built, in reverse order of building.  Caller holds bSem and writers. */
static void __freeSession(struct Backup *b)
{
	freeAllMMPages(b);
	freeMMBRs(b);
	closeCache(b);
	closeBRCache(b);
	closeDiskInfo(&b->diskInfo);
	/* ---- wanted-block map (closeBUBlockMap) goes here ---- */
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
	stats = (struct Stats *)kzalloc(sizeof(*stats), GFP_KERNEL);
	if (stats) {
		/* ---- the statistics are filled and printed here (setStats, printStats) ---- */
		kfree(stats);
	}
	printk("<6>%s: backup finished device major=%d minor=%d\n", "closeBackup",
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
 * waiting for writers; once it has writers it finds the state above 6 and
 * touches nothing but writers and state, so the wait runs after writers is
 * released (waiting with writers held would never end) and before the
 * record is freed.
 */
static void waitForHookUsers(struct Backup *b)
{
	while (atomic_read(&b->hookUsers) > 0)
		schedule();
}

void allocateBRCache(struct Backup *b)
{
}

void closeBRCache(struct Backup *b)
{
}

/*
 * Tears a session record down and frees it; called by release once the
 * record is off its open file.  Never fails.  May sleep.
 */
void closeBackup(struct Backup *b)
{
	u32 saved;

	down(&b->bSem);
	down_write(&b->writers);

	__handBackQueue(b);
	saved = __stopSession(b);
	__freeSession(b);
	reportSession(b, saved);

	up_write(&b->writers);
	up(&b->bSem);

	releaseBusy(b);
	waitForHookUsers(b);
	kfree(b);
}
