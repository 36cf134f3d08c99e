/*
 * The automap commands: the state and key of the device's tracking
 * session, the fetch of the changed-block map that the snapshot handed to
 * the backup, and the two flags that steer the next snapshot.
 *
 * Every command holds the caller's bSem, so it never sees a half-taken
 * snapshot; none touches user memory while it holds bSem (a user copy may
 * fault and take the mmap semaphore, under which mmap and munmap take
 * bSem).  The state command reads the session under a reference and copies
 * to user space after dropping it and bSem; the fetch takes the map's pages
 * out of blockMap under bSem, copies them one bitmap page per copy without
 * it, and then, under bSem again, frees them or, after a failed copy, puts
 * them back.
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
		st.state = amsState(ams);
		st.mapLen = ams->map.size;
		st.mapSize = ams->map.numBytes;
		memcpy(&st.amsKey, &ams->sessionKey, sizeof(st.amsKey));
		putAMS(ams);
	}
	up(&b->bSem);

	if (amsLen > sizeof(st))
		amsLen = sizeof(st);
	if (copy_to_user(userAMS, &st, amsLen)) {
		printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
		return CGD_ERR_COPY_OUT;
	}
	return CGD_OK;
}

/*
 * Copies the bitmap of the pages taken out of blockMap (in bm, which only
 * the caller sees) to the user map, a page at a time.  Caller holds no lock.
 */
static int copyMapOut(struct BlockMap *bm, unsigned char __user *dest)
{
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
			printk(KERN_ERR "%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
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
	struct BlockMap taken;
	u32 freed = 0;
	int status;

	cgdCondResched();
	down(&b->bSem);
	status = CGD_ERR_INVALID;
	if (getState(b) != CGD_STATE_SNAPPED) {
		printk(KERN_ERR "%s: backup error map not loaded %s", __func__, "\n");
		goto out;
	}
	/* Tested before the map is used: a map never built has no users lock. */
	if (!b->blockMap.map) {
		printk(KERN_ERR "%s: backup error automap is NULL %s", __func__, "\n");
		goto out;
	}
	if (b->blockMap.size != userBM->mapLen) {
		printk(KERN_ERR "%s: backup error map size mismatch kernel map size=%u user map size=%u\n",
		       __func__, b->blockMap.size, userBM->mapLen);
		goto out;
	}
	detachBlockMap(&b->blockMap, &taken);
	up(&b->bSem);

	status = copyMapOut(&taken, userBM->map);

	down(&b->bSem);
	if (status != CGD_OK && getState(b) == CGD_STATE_SNAPPED && !b->blockMap.map) {
		/* The agent may try again with a writable map. */
		attachBlockMap(&b->blockMap, &taken);
	} else {
		closeBlockMap(&taken, &freed);
		atomic_sub((int)freed, &b->curAllocPages);
	}
out:
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
