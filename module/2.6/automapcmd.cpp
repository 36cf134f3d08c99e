/*
 * The automap commands: the state and key of the device's tracking
 * session, the fetch of the changed-block map that the snapshot handed to
 * the backup, and the two flags that steer the next snapshot.
 *
 * Every command holds the caller's bSem, so it never sees a half-taken
 * snapshot.  The state command reads the session under a reference and
 * copies to user space after dropping it and bSem; the fetch copies while
 * it is a user of blockMap, one bitmap page per copy.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <linux/spinlock.h>
#include <linux/highmem.h>
#include <asm/uaccess.h>

#include "cgdlib.h"

/* Command 4: the device's tracking session (all zero when it has none). */
int ioctlGetAutoMapState(struct Backup *b, struct AutoMapState __user *userAMS, u32 amsLen)
{
	struct AutoMapState st;
	struct AutoMapSession *ams;

	memset(&st, 0, sizeof(st));
	cgdCondResched();
	down(&b->bSem);
	ams = getAMS(b->diskInfo.kdev);
	if (ams) {
		st.major = MAJOR(ams->diskInfo.kdev);
		st.minor = MINOR(ams->diskInfo.kdev);
		st.state = READ_ONCE(ams->state);
		st.mapLen = ams->map.size;
		st.mapSize = ams->map.numBytes;
		memcpy(&st.amsKey, &ams->sessionKey, sizeof(st.amsKey));
		putAMS(ams);
	}
	up(&b->bSem);

	if (amsLen > sizeof(st))
		amsLen = sizeof(st);
	if (copy_to_user(userAMS, &st, amsLen)) {
		printk("<3>%s: copy to user space %s\n", __func__, "failed");
		return CGD_ERR_COPY_OUT;
	}
	return CGD_OK;
}

/* Enters bm as a user (counted-users protocol). */
static void enterBlockMap(struct BlockMap *bm)
{
	unsigned long flags;

	spin_lock_irqsave(&bm->usersLock, flags);
	atomic_inc(&bm->users);
	spin_unlock_irqrestore(&bm->usersLock, flags);
}

static void leaveBlockMap(struct BlockMap *bm)
{
	atomic_dec(&bm->users);
}

/*
 * Copies blockMap's bitmap to the user map, a page at a time.  Caller is a
 * user of blockMap and holds bSem.
 */
static int __copyMapOut(struct Backup *b, unsigned char __user *dest)
{
	struct BlockMap *bm = &b->blockMap;
	u32 numBytes = bm->numBytes;
	u32 numPages = (numBytes + PAGE_SIZE - 1) / PAGE_SIZE;
	u32 i, len;
	void *src;
	unsigned long left;

	for (i = 0; i < numPages; i++) {
		cgdCondResched();
		len = PAGE_SIZE;
		if (i == numPages - 1 && numBytes % PAGE_SIZE)
			len = numBytes % PAGE_SIZE;
		src = kmap(bm->map[i]);
		left = copy_to_user(dest + (unsigned long)i * PAGE_SIZE, src, len);
		kunmap(bm->map[i]);
		if (left) {
			printk("<3>%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
			       "ioctlGetAutoMap", dest + (unsigned long)i * PAGE_SIZE, (int)len,
			       (int)numBytes);
			return CGD_ERR_COPY_OUT;
		}
	}
	return CGD_OK;
}

/*
 * Command 8: hands the agent the changed-block map the snapshot moved into
 * the backup, and releases it.  userBM is the kernel copy of the agent's
 * UserBlockMap; its mapLen must equal the map's size.
 */
int ioctlGetAutoMap(struct Backup *b, struct UserBlockMap *userBM)
{
	int status;

	cgdCondResched();
	down(&b->bSem);
	if (READ_ONCE(b->state) != CGD_STATE_SNAPPED) {
		printk("<3>%s: backup error map not loaded %s", __func__, "\n");
		up(&b->bSem);
		return CGD_ERR_INVALID;
	}
	/* Tested before the map is entered: a map never built has no users lock. */
	if (!b->blockMap.map) {
		printk("<3>%s: backup error automap is NULL %s", __func__, "\n");
		up(&b->bSem);
		return CGD_ERR_INVALID;
	}

	enterBlockMap(&b->blockMap);
	if (b->blockMap.size != userBM->mapLen) {
		printk("<3>%s: backup error map size mismatch kernel map size=%u user map size=%u\n",
		       __func__, b->blockMap.size, userBM->mapLen);
		status = CGD_ERR_INVALID;
	} else {
		status = __copyMapOut(b, userBM->map);
	}
	leaveBlockMap(&b->blockMap);

	if (status == CGD_OK)
		closeBUBlockMap(b);
	up(&b->bSem);
	return status;
}

/* Command 5: the next snapshot replaces the device's session and hands no map over. */
int ioctlNoLoadFromAutoMap(struct Backup *b)
{
	cgdCondResched();
	down(&b->bSem);
	b->noLoadFromAutoMap = 1;
	up(&b->bSem);
	return CGD_OK;
}

/* Command 6: the next snapshot closes the device's session and starts none. */
int ioctlNoStartAutoMap(struct Backup *b)
{
	cgdCondResched();
	down(&b->bSem);
	b->noStartAutoMap = 1;
	up(&b->bSem);
	return CGD_OK;
}
