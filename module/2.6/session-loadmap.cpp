/*
 * The load of the wanted-block map: after the snapshot the agent names the
 * blocks it will read.  From the switch to CGD_STATE_READING on, the backup hook
 * preserves only wanted blocks, and every block preserved before that the
 * agent does not want is dropped from the store.
 *
 * Locking: bSem for the moves between states and the cleaning, but not
 * while the agent's map is copied in: a user copy may fault and take the
 * mmap semaphore, under which mmap and munmap take bSem.  In CGD_STATE_LOADING_MAP the
 * backup's blockMap is the load's alone: every other command of the
 * session refuses CGD_STATE_LOADING_MAP, the session cannot be closed during a command,
 * and the hook and kbackupd consult blockMap only in CGD_STATE_READING.  writers
 * (write) is taken only around the switch to CGD_STATE_READING, so that no hook
 * decision straddles the change of rule; the cleaning takes cacheUsers and
 * one bucket at a time (cow-store.cpp).
 */
#include <linux/kernel.h>
#include <linux/rwsem.h>

#include "cgdlib.h"

/*
 * The load failed: CGD_STATE_MAP_ERROR, unless kbackupd or the hook has set an error
 * state of its own meanwhile (that one is kept).
 */
static void setMapError(struct Backup *b)
{
	failState(b, CGD_STATE_MAP_ERROR, CGD_STATE_IDLE);
}

/* Releases the backup's blockMap, if it holds one, and its page count. */
void closeBUBlockMap(struct Backup *b)
{
	u32 freed = 0;

	if (!b->blockMap.map)
		return;
	closeBlockMap(&b->blockMap, &freed);
	atomic_sub((int)freed, &b->curAllocPages);
}

/*
 * Builds blockMap from size blocks of the user bitmap at data.  Caller owns
 * the empty blockMap (holds bSem, or is the load in CGD_STATE_LOADING_MAP).
 */
int newBUBlockMap(struct Backup *b, u32 size, void __user *data)
{
	u32 pages = 0;
	int status;

	status = newBlockMap(&b->blockMap, size, data, 0, &pages);
	if (status) {
		printk(KERN_ERR "%s: error creating map of size=%u\n", __func__, size);
		return status;
	}
	atomic_add((int)pages, &b->totalAllocPages);
	atomic_add((int)pages, &b->curAllocPages);
	return CGD_OK;
}

/*
 * Command 7: loads the agent's wanted-block map (userBM is the kernel copy
 * of its UserBlockMap; map is still a user address).  Returns a status.
 * May sleep.
 */
int ioctlLoadBlockMap(struct Backup *b, struct UserBlockMap *userBM)
{
	int status;

	down(&b->bSem);
	/*
	 * CGD_STATE_SNAPPED -> CGD_STATE_LOADING_MAP in one step: kbackupd
	 * and the hook may set an error state at any moment, and a plain
	 * store would wipe it out.
	 */
	if (!advanceState(b, CGD_STATE_SNAPPED, CGD_STATE_LOADING_MAP)) {
		printk(KERN_ERR "%s: backup error snapshot not %s\n", __func__, "complete");
		status = CGD_ERR_INVALID;
		goto out;
	}

	/*
	 * A changed-block map handed over by the snapshot and not fetched is
	 * of no further use: the wanted map takes its place.
	 */
	closeBUBlockMap(b);
	up(&b->bSem);

	status = newBUBlockMap(b, userBM->mapLen, userBM->map);

	down(&b->bSem);
	if (status) {
		printk(KERN_ERR "%s: backup error failed to load device map%s", __func__, "\n");
		goto fail;
	}

	/* An error state set meanwhile by kbackupd or the hook stays. */
	down_write(&b->writers);
	advanceState(b, CGD_STATE_LOADING_MAP, CGD_STATE_READING);
	up_write(&b->writers);

	status = cleanUpCache(b);
	if (status) {
		printk(KERN_ERR "%s: error cleaning cache%s", __func__, "\n");
		goto fail;
	}
	goto out;

fail:
	setMapError(b);
out:
	up(&b->bSem);
	return status;
}
