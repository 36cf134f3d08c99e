/*
 * The dirty-block query: names one wanted block whose pre-snapshot
 * contents are still held in the store (overwritten after the snapshot,
 * not read by the agent yet), or says there is none.  It changes nothing.
 *
 * Runs under the session's bSem; against kbackupd it relies on the store's
 * locks: cacheUsers for reading, then one bucket semaphore at a time.  A
 * block stored into a bucket after the scan passed it is named by the next
 * query.
 */
#include <linux/kernel.h>
#include <linux/rwsem.h>
#include <asm/uaccess.h>

#include "cgdlib.h"

#define CGD_NO_DIRTY_BLOCK 0xFFFFFFFFU

/*
 * The newest block of the lowest-numbered non-empty bucket, or
 * CGD_NO_DIRTY_BLOCK.  Caller holds bSem.
 */
static u32 anyDirtyBlock(struct Backup *b)
{
	struct HashTable *ht;
	u32 found = CGD_NO_DIRTY_BLOCK;
	int i;

	if (atomic_read(&b->curCBs) == 0)
		return found;

	down_read(&b->cacheUsers);
	if (getState(b) <= CGD_STATE_READING && b->blockTable) {
		for (i = 0; i < CGD_BLOCK_TABLE_SIZE; i++) {
			ht = b->blockTable[i];
			if (!ht)
				continue;
			down(&ht->sem);
			if (ht->busy) {
				found = ht->busy->blockNum;
				up(&ht->sem);
				break;
			}
			up(&ht->sem);
		}
	}
	up_read(&b->cacheUsers);
	return found;
}

/* Command 9: writes one held block's number (or 0xFFFFFFFF) to the user's u32. */
int ioctlGetDirtyBlock(struct Backup *b, u32 __user *userBlockNumPtr)
{
	u32 blockNum = 0;
	int ready;

	down(&b->bSem);
	ready = b->blockMap.map && getState(b) == CGD_STATE_READING;
	if (ready)
		blockNum = anyDirtyBlock(b);
	up(&b->bSem);
	if (!ready)
		return CGD_ERR_INVALID;
	return put_user(blockNum, userBlockNumPtr);
}
