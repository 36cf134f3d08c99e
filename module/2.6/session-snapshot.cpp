/*
 * The snapshot and sync commands.
 *
 * The snapshot fixes the instant whose image the agent backs up: it settles
 * the device's tracking session (keep it and hand its changed-block map to
 * the backup, replace it, close it, or leave the device untracked), gives a
 * kept or new session a fresh key, installs the backup hook, freezes the
 * file system, switches the session into copy-before-write under writers
 * while the file system is frozen, and thaws.
 *
 * Locking: bSem for the whole command; autoMapSem from the session lookup
 * to the frozen instant (the session is used without a reference between
 * its new key and the frozen instant, and the shutdown command must not
 * close it meanwhile); at the frozen instant writers (write) -> the
 * session's usersLock -> blockMap's usersLock -> the session map's
 * usersLock, interrupts off from the first usersLock on: nothing there may
 * sleep.  All allocation happens before the hook goes in and before the
 * freeze.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <linux/fs.h>
#include <linux/time.h>
#include <linux/random.h>
#include <linux/rwsem.h>
#include <linux/spinlock.h>
#include <asm/uaccess.h>

#include "cgdlib.h"

/* end - start, for normalised readings of the kernel clock (one borrow). */
static struct timespec calcTimeDiff(struct timespec *start, struct timespec *end)
{
	struct timespec d;

	d.tv_sec = end->tv_sec - start->tv_sec;
	d.tv_nsec = end->tv_nsec - start->tv_nsec;
	if (d.tv_nsec < 0) {
		d.tv_nsec += 1000000000L;
		d.tv_sec -= 1;
	}
	return d;
}

/* Drops the snapshot's reference on ams and closes the device's session. */
static void dropAndClose(struct Backup *b, struct AutoMapSession *ams)
{
	putAMS(ams);
	closeAMS(b);
}

/*
 * A new session for the device, with the snapshot's reference on it, in
 * *amsOut.  Returns the status of newAMS.
 */
static int startNewAMS(struct Backup *b, struct AutoMapSession **amsOut)
{
	struct AutoMapSession *ams = NULL;
	int status;

	status = newAMS(b, &ams);
	if (status) {
		printk(KERN_ERR "%s: new automap failed%s", "ioctlSnapShot", "\n");
		return status;
	}
	enterUsers(&ams->users, &ams->usersLock);
	*amsOut = ams;
	return CGD_OK;
}

/*
 * Decides what happens to the device's tracking session.  On success
 * *amsOut is the session the snapshot goes on with (NULL for none), still
 * referenced, and *loading is 1 when the backup is to receive its map (an
 * all-zero map of the session's size is then in blockMap).  Caller holds
 * bSem and autoMapSem.
 */
static int settleAutoMap(struct Backup *b, struct AMSessionKey *key,
			 struct AutoMapSession **amsOut, int *loading)
{
	dev_t kdev = b->diskInfo.kdev;
	struct AutoMapSession *ams;
	u32 pages = 0, mapSize;
	int status;

	*amsOut = NULL;
	*loading = 0;
	if (!amSlot(kdev)) {
		printk(KERN_WARNING "%s: device major=%d minor=%d has no automap slot, its changes are not tracked\n",
		       "ioctlSnapShot", MAJOR(kdev), MINOR(kdev));
		return CGD_OK;
	}

	ams = getAMS(kdev);
	if (!ams)
		return b->noStartAutoMap ? CGD_OK : startNewAMS(b, amsOut);

	if (b->noStartAutoMap) {
		dropAndClose(b, ams);
		return CGD_OK;
	}
	if (b->noLoadFromAutoMap || amsState(ams) != CGD_AUTOMAP_IN_SYNC) {
		dropAndClose(b, ams);
		return startNewAMS(b, amsOut);
	}
	if (memcmp(key, &ams->sessionKey, sizeof(*key)) != 0) {
		putAMS(ams);
		printk(KERN_ERR "%s: session key mismatch%s", "ioctlSnapShot", "\n");
		return CGD_ERR_INVALID;
	}

	mapSize = ams->map.size;
	if ((u64)mapSize != b->diskInfo.numBlocks) {
		printk(KERN_WARNING "%s: device resize detected, device has (%u) blocks and automap has (%u), resetting automap\n",
		       "ioctlSnapShot", (u32)b->diskInfo.numBlocks, mapSize);
		setAMSState(ams, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
		dropAndClose(b, ams);
		return startNewAMS(b, amsOut);
	}
	/*
	 * The session placed writes by the extent the device had when it was
	 * made; a partition moved since (same size, another start) had its
	 * writes placed wrongly, and the map cannot be trusted.
	 */
	if (ams->diskInfo.partitionStart != b->diskInfo.partitionStart ||
	    ams->diskInfo.partitionLen != b->diskInfo.partitionLen) {
		printk(KERN_WARNING "%s: device moved (sectors %llu+%llu, automap has %llu+%llu), resetting automap\n",
		       "ioctlSnapShot", (unsigned long long)b->diskInfo.partitionStart,
		       (unsigned long long)b->diskInfo.partitionLen,
		       (unsigned long long)ams->diskInfo.partitionStart,
		       (unsigned long long)ams->diskInfo.partitionLen);
		setAMSState(ams, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
		dropAndClose(b, ams);
		return startNewAMS(b, amsOut);
	}

	status = newBlockMap(&b->blockMap, mapSize, NULL, 1, &pages);
	if (status) {
		putAMS(ams);
		printk(KERN_ERR "%s: failed to create new device map%s", "ioctlSnapShot", "\n");
		return status;
	}
	atomic_add((int)pages, &b->totalAllocPages);
	atomic_add((int)pages, &b->curAllocPages);
	*amsOut = ams;
	*loading = 1;
	return CGD_OK;
}

/*
 * The frozen instant: switches b into copy-before-write and, in the load
 * case, exchanges the page arrays of blockMap and the session's map.
 * Returns 1 when the map that blockMap now holds must not be handed over
 * (the session fell out of sync after it was chosen for loading: its map
 * no longer holds every change).  The session then starts afresh, in sync
 * and empty, from this instant.  Caller holds writers for writing.
 */
static int __switchToSnapped(struct Backup *b, struct AutoMapSession *ams, int loading)
{
	unsigned long amsFlags, bmFlags, mapFlags;
	struct page **pages;
	int stale = 0;

	if (!ams) {
		setState(b, (u32)CGD_STATE_SNAPPED);
		return 0;
	}
	waitForAMSUsers(ams, &amsFlags);
	if (loading) {
		waitForBlockMapUsers(&b->blockMap, &bmFlags);
		waitForBlockMapUsers(&ams->map, &mapFlags);
		pages = ams->map.map;
		ams->map.map = b->blockMap.map;
		b->blockMap.map = pages;
		spin_unlock_irqrestore(&ams->map.usersLock, mapFlags);
		spin_unlock_irqrestore(&b->blockMap.usersLock, bmFlags);
		stale = amsState(ams) != CGD_AUTOMAP_IN_SYNC;
	}
	setAMSState(ams, (u32)CGD_AUTOMAP_IN_SYNC);
	setState(b, (u32)CGD_STATE_SNAPPED);
	spin_unlock_irqrestore(&ams->usersLock, amsFlags);
	return stale;
}

/*
 * Command 2: takes the snapshot.  userKey/keyLen: the key of the device's
 * tracking session as the agent last received it (at most 56 bytes read,
 * a shorter key is padded with zeros).  Returns a status; every failure
 * leaves CGD_STATE_STARTED so the agent may try again.  May sleep.
 */
int ioctlSnapShot(struct Backup *b, struct AMSessionKey __user *userKey, u32 keyLen)
{
	struct AMSessionKey key;
	struct AutoMapSession *ams = NULL;
	struct timespec freezeTime, afterFreezeTime, thawTime;
	struct block_device *bdev;
	struct super_block *freezeSB;
	int status, loading = 0, stale;
	unsigned long keyLeft;

	/*
	 * The key is copied in before bSem is taken: a user copy may fault and
	 * take the mmap semaphore, under which mmap and munmap take bSem.  A
	 * failed copy is reported after the state check, as if made there.
	 */
	memset(&key, 0, sizeof(key));
	if (keyLen > sizeof(key))
		keyLen = sizeof(key);
	keyLeft = copy_from_user(&key, userKey, keyLen);

	cgdCondResched();
	down(&b->bSem);
	if (getState(b) != CGD_STATE_STARTED) {
		status = CGD_ERR_INVALID;
		goto out_bsem;
	}
	if (keyLeft) {
		printk(KERN_ERR "%s: copy from user space %s\n", __func__, "failed");
		status = CGD_ERR_COPY_IN;
		goto out_bsem;
	}

	/* A map an earlier, failed try left behind is never handed over. */
	closeBUBlockMap(b);

	down(&autoMapSem);
	status = settleAutoMap(b, &key, &ams, &loading);
	if (status)
		goto out_automap;
	if (ams) {
		get_random_bytes(&ams->sessionKey, sizeof(ams->sessionKey));
		putAMS(ams);
	}

	bdev = b->diskInfo.bdev;
	if (setMRF(b, cgdMRF)) {
		printk(KERN_ERR "%s: device major=%d minor=%d not valid\n", __func__,
		       MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
		status = CGD_ERR_INVALID;
		goto out_automap;
	}

	printk(KERN_ERR "%s: Going to freez: %d.%d\n", __func__, MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
	freezeTime = current_kernel_time();
	freezeSB = freeze_bdev(bdev);
	afterFreezeTime = current_kernel_time();
	if (!freezeSB) {
		thaw_bdev(bdev, NULL);
		printk(KERN_ERR "%s: freeze_bdev could not freeze the device.%s", __func__, "\n");
		status = CGD_ERR_INVALID;
		goto out_automap;
	}

	down_write(&b->writers);
	stale = __switchToSnapped(b, ams, loading);
	up_write(&b->writers);
	thaw_bdev(bdev, freezeSB);
	thawTime = current_kernel_time();
	up(&autoMapSem);

	if (stale)
		closeBUBlockMap(b);
	b->eTimeToFreeze = calcTimeDiff(&freezeTime, &afterFreezeTime);
	b->eTimeFrozen = calcTimeDiff(&freezeTime, &thawTime);
	status = CGD_OK;
	goto out_bsem;

out_automap:
	up(&autoMapSem);
out_bsem:
	up(&b->bSem);
	return status;
}

/*
 * Command 14: writes out the file system's and the device's dirty data.
 * A record that was never started has no device and nothing to flush.
 * The device is looked up under bSem (a start on another thread may be
 * setting it); once set it stays until the record is closed, which cannot
 * happen during a command, so the flush itself runs without a lock.
 */
int ioctlSync(struct Backup *b)
{
	struct block_device *bdev;

	down(&b->bSem);
	bdev = b->diskInfo.bdev;
	up(&b->bSem);
	if (bdev)
		fsync_bdev(bdev);
	return CGD_OK;
}
