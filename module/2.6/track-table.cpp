/*
 * The automap session table: at most one changed-block tracking session
 * per device, in amList[major][minor].
 *
 * Locking: the table follows the counted-users protocol of
 * amListUsers/amListUsersLock.  A reader enters (enterAMListReader),
 * reads a slot and, to use the session beyond that, takes a reference on
 * the session under its usersLock before it leaves the table (getAMS).
 * Writers (newAMS, closeAMS, closeAllAMS) drain the table with
 * waitForAMListUsers and hold amListUsersLock, interrupts off, only for
 * the pointer store.  A session is freed only after its slot was emptied
 * and its references drained (waitForAMSUsers).  Order: the registry
 * before the table before a session before the maps' usersLock.
 *
 * Devices whose major or minor is 256 or more have no slot: amSlot()
 * answers NULL for them and every lookup goes through it, so no slot
 * outside the table is ever read or written.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/kdev_t.h>
#include <linux/compiler.h>
#include <linux/fs.h>
#include <asm/bug.h>

#include "cgdlib.h"

/* Caller is inside the table (reader or writer). */
struct AutoMapSession **amSlot(dev_t kdev)
{
	unsigned int major = MAJOR(kdev), minor = MINOR(kdev);

	if (major >= CGD_AMLIST_DIM || minor >= CGD_AMLIST_DIM)
		return NULL;
	return &amList[major][minor];
}

void enterAMListReader(void)
{
	enterUsers(&amListUsers, &amListUsersLock);
}

void leaveAMListReader(void)
{
	leaveUsers(&amListUsers);
}

/* The session of kdev with a reference taken, or NULL. */
struct AutoMapSession *getAMS(dev_t kdev)
{
	struct AutoMapSession **slot, *ams = NULL;

	enterAMListReader();
	slot = amSlot(kdev);
	if (slot && *slot) {
		ams = *slot;
		enterUsers(&ams->users, &ams->usersLock);
	}
	leaveAMListReader();
	return ams;
}

void putAMS(struct AutoMapSession *ams)
{
	leaveUsers(&ams->users);
}

/*
 * The drains below return holding the lock (interrupts saved into
 * *flags) with nobody else inside; the caller must not sleep until it
 * releases the lock.
 */
static void waitForAMListUsers(unsigned long *flags)
{
	drainUsers(&amListUsers, &amListUsersLock, flags);
}

void waitForAMSUsers(struct AutoMapSession *ams, unsigned long *flags)
{
	drainUsers(&ams->users, &ams->usersLock, flags);
}

/*
 * Takes the session out of kdev's slot (NULL for an empty slot or a
 * device without one).  Drains the table; does not sleep under its lock.
 */
static struct AutoMapSession *takeAMS(dev_t kdev)
{
	struct AutoMapSession **slot, *ams = NULL;
	unsigned long flags;

	waitForAMListUsers(&flags);
	slot = amSlot(kdev);
	if (slot) {
		ams = *slot;
		*slot = NULL;
	}
	spin_unlock_irqrestore(&amListUsersLock, flags);
	return ams;
}

/* Stores ams in its empty slot; 0, or 1 when the slot is taken. */
static int publishAMS(struct AutoMapSession *ams)
{
	struct AutoMapSession **slot;
	unsigned long flags;
	int taken;

	waitForAMListUsers(&flags);
	slot = amSlot(ams->diskInfo.kdev);
	taken = *slot != NULL;
	if (!taken)
		*slot = ams;
	spin_unlock_irqrestore(&amListUsersLock, flags);
	return taken;
}

/*
 * Frees what a session owns.  The caller guarantees that nobody can reach
 * it: its slot is empty and its references are drained (or it was never
 * published).  The copied super block is the backup's and is not released
 * here; the block-device reference is the session's own.
 */
static void freeAMS(struct AutoMapSession *ams)
{
	u32 pages = 0;

	closeBlockMap(&ams->map, &pages);
	atomic_sub((int)pages, &curAllocAMPages);
	if (ams->diskInfo.bdev)
		bdput(ams->diskInfo.bdev);
	kfree(ams);
}

/*
 * Creates a session on the backup's device with an empty map of
 * numBlocks blocks and publishes it in the device's (empty) slot.
 * Returns CGD_OK, CGD_ERR_NO_MEMORY, CGD_ERR_INVALID (device without a
 * slot, slot taken) or the status of newBlockMap.  May sleep.
 */
int newAMS(struct Backup *b, struct AutoMapSession **amSession)
{
	dev_t kdev = b->diskInfo.kdev;
	struct AutoMapSession *ams;
	u32 pages = 0;
	int status;

	if (!amSlot(kdev)) {
		printk(KERN_ERR "%s: device major=%d minor=%d has no automap slot\n", __func__,
		       MAJOR(kdev), MINOR(kdev));
		return CGD_ERR_INVALID;
	}
	ams = (struct AutoMapSession *)kmalloc(sizeof(*ams), GFP_KERNEL);
	if (!ams)
		return CGD_ERR_NO_MEMORY;
	memset(ams, 0, sizeof(*ams));
	ams->diskInfo = b->diskInfo;
	ams->diskInfo.superBlock = NULL;	/* the backup's, not ours */
	ams->diskInfo.bdev = NULL;
	setAMSState(ams, (u32)CGD_AUTOMAP_NOT_IN_SYNC);

	if (ams->diskInfo.blockSize == 0) {
		printk(KERN_CRIT "%s: Blocksize set to 0 when making automap%s", __func__, "\n");
		BUG();
	}
	status = newBlockMap(&ams->map, (u32)b->diskInfo.numBlocks, NULL, 1, &pages);
	if (status != CGD_OK) {
		printk(KERN_ERR "%s: failed to create new device map%s", __func__, "\n");
		kfree(ams);
		return status;
	}
	atomic_add((int)pages, &curAllocAMPages);
	ams->diskInfo.bdev = bdget(kdev);
	if (!ams->diskInfo.bdev) {
		printk(KERN_ERR "%s: device major=%d minor=%d not found\n", __func__,
		       MAJOR(kdev), MINOR(kdev));
		freeAMS(ams);
		return CGD_ERR_NO_MEMORY;
	}
	atomic_set(&ams->users, 1);
	spin_lock_init(&ams->usersLock);

	if (publishAMS(ams)) {
		printk(KERN_ERR "%s: device major=%d minor=%d already has an automap session\n",
		       __func__, MAJOR(kdev), MINOR(kdev));
		freeAMS(ams);
		return CGD_ERR_INVALID;
	}
	*amSession = ams;
	return CGD_OK;
}

/*
 * Whether kdev is the device of the started backup.  Its registry entry is
 * then the backup's as well: the backup's hook is (or is about to be) on
 * the queue, and the backup's close hands the queue back.
 */
static int isBackupDevice(dev_t kdev)
{
	struct Backup *b;
	int mine;

	down_read(&activeSessionUsers);
	b = activeSession;
	mine = b && b->diskInfo.kdev == kdev;
	up_read(&activeSessionUsers);
	return mine;
}

/*
 * Closes a session that is out of the table: unhooks its device (unless a
 * started backup protects that device: taking the entry away would take
 * copy-before-write from it), waits until no hook or command is inside it,
 * frees it.  May sleep.
 */
void closeAM(struct AutoMapSession *ams)
{
	unsigned long flags;

	if (!isBackupDevice(ams->diskInfo.kdev))
		unSetMRFAMS(ams);
	waitForAMSUsers(ams, &flags);
	spin_unlock_irqrestore(&ams->usersLock, flags);
	freeAMS(ams);
}

int closeAMS(struct Backup *b)
{
	struct AutoMapSession *ams = takeAMS(b->diskInfo.kdev);

	if (!ams)
		return CGD_ERR_INVALID;
	closeAM(ams);
	return CGD_OK;
}

/* Closes every session; the table lock is never held across closeAM. */
void closeAllAMS(void)
{
	struct AutoMapSession *ams;
	unsigned int major, minor;

	for (major = 0; major < CGD_AMLIST_DIM; major++) {
		for (minor = 0; minor < CGD_AMLIST_DIM; minor++) {
			ams = takeAMS(MKDEV(major, minor));
			if (ams)
				closeAM(ams);
		}
	}
}

/* Caller is inside the table.  Sets kdev's session, if it has one, not in sync. */
static void __unsyncDev(dev_t kdev, void *unused)
{
	struct AutoMapSession **slot = amSlot(kdev);

	if (slot && *slot)
		setAMSState(*slot, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
}

/* Caller is inside the table.  Counts kdev in *(int *)count if it has a session. */
static void __countDev(dev_t kdev, void *count)
{
	struct AutoMapSession **slot = amSlot(kdev);

	if (slot && *slot)
		(*(int *)count)++;
}

/*
 * Sets every session of ql's devices not in sync.  Caller is inside the
 * registry (reader or writer).
 */
void __unsyncQueueAMS(struct QueueList *ql)
{
	enterAMListReader();
	__forEachQueueDev(ql, __unsyncDev, NULL);
	leaveAMListReader();
}

/* Marks not in sync every session on the queue whose devices include kdev. */
void errorAMSDEV(dev_t kdev)
{
	struct QueueList *ql;

	enterQueueListReader();
	ql = __findQueueOfDev(kdev);
	if (ql)
		__unsyncQueueAMS(ql);
	leaveQueueListReader();
}

/* Number of q's registered devices that have a session. */
int countQueueAMS(request_queue_t *q)
{
	struct QueueList *ql;
	int count = 0;

	if (!q) {
		printk(KERN_ERR "%s: Could not count ams sessions for request queue because queue was null.%s",
		       __func__, "\n");
		return 0;
	}
	enterQueueListReader();
	ql = __findQueueNode(q);
	if (ql) {
		enterAMListReader();
		__forEachQueueDev(ql, __countDev, &count);
		leaveAMListReader();
	}
	leaveQueueListReader();
	return count;
}

/*
 * The backup on b's device failed to preserve a block: its session can no
 * longer be trusted.  Other sessions on the queue go on being tracked by
 * the tracking hook; failing that, the queue loses all hooks.  Runs in the
 * hooks' contexts and in kbackupd; may sleep.
 */
void errorAMS(struct Backup *b)
{
	struct AutoMapSession **slot;
	int found = 0, count;

	enterAMListReader();
	slot = amSlot(b->diskInfo.kdev);
	if (slot && *slot) {
		setAMSState(*slot, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
		found = 1;
	}
	leaveAMListReader();

	count = countQueueAMS(getRequestQueue(&b->diskInfo));
	if (count > found) {
		if (setMRF(b, cgdAMRF) == 0)
			return;
		errorAMSDEV(b->diskInfo.kdev);
	}
	unsetQueueMRFAMS(getRequestQueue(&b->diskInfo));
}
