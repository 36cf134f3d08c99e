/*
 * The preserved-block store of a backup session: the pre-snapshot contents
 * of blocks that were overwritten before the agent read them.
 *
 * A block number finds its copy through blockTable, 4096 buckets chosen by
 * the low 12 bits of the number, each a list (newest first) under its own
 * semaphore.  cacheMap has one bit per block of the session: a set bit means
 * that the block's copy is here and must be taken from here.
 *
 * Locking, outermost first: bSem (commands) -> cacheUsers (read: the cache
 * thread's capture, the block reader, the map load's clean-up; write: the
 * teardown in closeCache) -> one bucket's sem (never two at once) -> the
 * BlockMap's own locks.  Everything here may sleep.  Readers check, after
 * taking cacheUsers, that the state is CGD_STATE_READING or below; the close sets CGD_STATE_CLOSING
 * before it tears the store down, so no reader touches a store being freed.
 *
 * Records are created only by the cache thread (saveBlock) and freed only
 * under their bucket's semaphore.  Allocations on the write path use
 * GFP_NOIO: the thread holds writes back and must not start I/O to reclaim.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/rwsem.h>
#include <linux/kdev_t.h>
#include <asm/bug.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#include "cgdlib.h"

static void freeCachePage(struct Backup *b, struct CachePage *cp);

/*
 * Moves a live session (CGD_STATE_READING or below) into the failure state err.  A
 * session that is closing or has already failed keeps its state: a state
 * above CGD_STATE_READING is never changed.
 */
static void setStoreError(struct Backup *b, u32 err)
{
	failState(b, err, CGD_STATE_IDLE);
}

/* The bucket of blockNum, or NULL while the table (or that bucket) is not built. */
static struct HashTable *bucketOf(struct Backup *b, u32 blockNum)
{
	if (!b->blockTable)
		return NULL;
	return b->blockTable[blockNum & CGD_BLOCK_TABLE_MASK];
}

/* Caller holds ht->sem.  prev is cp's predecessor, NULL when cp is the head. */
static void unlinkCachePage(struct HashTable *ht, struct CachePage *cp,
			    struct CachePage *prev)
{
	if (prev)
		prev->next = cp->next;
	else
		ht->busy = cp->next;
	cp->next = NULL;
}

/*
 * Creates the bucket cache and the 4096 buckets.  Session start only (may
 * sleep).  0 or CGD_ERR_NO_MEMORY; what was made stays for closeBlockTable.
 */
int newBlockTable(struct Backup *b)
{
	dev_t kdev = b->diskInfo.kdev;
	struct HashTable *ht;
	int i;

	sprintf(b->htCacheName, "cgdHT%02x%02x", MAJOR(kdev), MINOR(kdev));
	b->htCache = kmem_cache_create(b->htCacheName, sizeof(struct HashTable), 0,
				       SLAB_HWCACHE_ALIGN, NULL, NULL);
	if (!b->htCache) {
		printk(KERN_ERR "%s: kmem_cache_create failed for HashTable structs during backup start major=%d minor=%d\n",
		       __func__, (int)MAJOR(kdev), (int)MINOR(kdev));
		return CGD_ERR_NO_MEMORY;
	}

	b->blockTable = (struct HashTable **)vmalloc(CGD_BLOCK_TABLE_SIZE * sizeof(struct HashTable *));
	if (!b->blockTable)
		return CGD_ERR_NO_MEMORY;
	memset(b->blockTable, 0, CGD_BLOCK_TABLE_SIZE * sizeof(struct HashTable *));

	for (i = 0; i < CGD_BLOCK_TABLE_SIZE; i++) {
		ht = (struct HashTable *)kmem_cache_alloc(b->htCache, GFP_KERNEL);
		if (!ht)
			return CGD_ERR_NO_MEMORY;
		memset(ht, 0, sizeof(*ht));
		/* Ready before it is published, so no bucket is ever seen uninitialised. */
		sema_init(&ht->sem, 1);
		b->blockTable[i] = ht;
	}
	return CGD_OK;
}

/*
 * Creates the record cache (cpCache) and the block-copy cache (dataCache).
 * The session start runs it after the cache thread has started and before
 * newCacheMap; a failure is that step of the start and is logged with its
 * name.  May sleep.  0 or CGD_ERR_NO_MEMORY; a cache that was made stays
 * for closeCache.
 */
int newStoreCaches(struct Backup *b)
{
	dev_t kdev = b->diskInfo.kdev;
	u32 extra = 0;

	if (b->diskInfo.blocksPerPage > 1)
		extra = (b->diskInfo.blocksPerPage - 1) * 4;

	sprintf(b->cpCacheName, "cgdCP%02x%02x", MAJOR(kdev), MINOR(kdev));
	b->cpCache = kmem_cache_create(b->cpCacheName, sizeof(struct CachePage) + extra, 0,
				       SLAB_HWCACHE_ALIGN, NULL, NULL);
	if (!b->cpCache)
		goto fail;

	sprintf(b->dataCacheName, "cgdDC%02x%02x", MAJOR(kdev), MINOR(kdev));
	b->dataCache = kmem_cache_create(b->dataCacheName, b->diskInfo.blockSize, 0,
					 SLAB_HWCACHE_ALIGN, NULL, NULL);
	if (!b->dataCache)
		goto fail;
	return CGD_OK;

fail:
	printk(KERN_ERR "%s: kmem_cache_create failed during backup start major=%d minor=%d\n",
	       "ioctlStartBackup", (int)MAJOR(kdev), (int)MINOR(kdev));
	return CGD_ERR_NO_MEMORY;
}

/* Builds the zeroed cacheMap of diskInfo.numBlocks bits.  Session start only. */
int newCacheMap(struct Backup *b)
{
	u32 size = (u32)b->diskInfo.numBlocks;
	u32 pages = 0;
	int err;

	err = newBlockMap(&b->cacheMap, size, NULL, 1, &pages);
	if (err) {
		printk(KERN_ERR "%s: error creating cache map of size=%u\n", __func__, size);
		return err;
	}
	atomic_add(pages, &b->totalAllocPages);
	atomic_add(pages, &b->curAllocPages);
	return CGD_OK;
}

/*
 * A new record with its data buffer, or NULL after setting CGD_STATE_CACHE_ERROR and
 * logging why.  Called by saveBlock on the cache thread, with the block's
 * bucket held; the thread is the only creator, so the limit test and the
 * peak update cannot race with another creator.
 */
struct CachePage *getCacheBlock(struct Backup *b)
{
	struct CachePage *cp;
	int cur;

	if ((u32)atomic_read(&b->curAllocCPs) >= b->maxCacheBlocks) {
		setStoreError(b, CGD_STATE_CACHE_ERROR);
		printk(KERN_ERR "%s: configured max cache memory reached (%u blocks) failed to allocate cache object\n",
		       __func__, b->maxCacheBlocks);
		return NULL;
	}

	if (!b->cpCache) {
		printk(KERN_CRIT "%s: b->cpCache was destroyed before kmem_cache_alloc!%s", __func__, "\n");
		BUG();
	}
	cp = (struct CachePage *)kmem_cache_alloc(b->cpCache, GFP_NOIO);
	if (!cp) {
		setStoreError(b, CGD_STATE_CACHE_ERROR);
		printk(KERN_ERR "%s: system out of memory, failed to allocate cache object.%s", __func__, "\n");
		return NULL;
	}
	memset(cp, 0, sizeof(*cp));

	if (!b->dataCache) {
		printk(KERN_CRIT "%s: b->dataCache was destroyed before kmem_cache_alloc!%s", __func__, "\n");
		BUG();
	}
	cp->data = (unsigned char *)kmem_cache_alloc(b->dataCache, GFP_NOIO);
	if (!cp->data) {
		kmem_cache_free(b->cpCache, cp);
		setStoreError(b, CGD_STATE_CACHE_ERROR);
		printk(KERN_ERR "%s: system out of memory failed to allocate block for write cache%s", __func__, "\n");
		return NULL;
	}

	cur = atomic_inc_return(&b->curAllocCPs);
	atomic_inc(&b->totalAllocCPs);
	atomic_inc(&b->curCBs);
	atomic_inc(&b->totalCBs);
	if (cur > atomic_read(&b->peakAllocCPs))
		atomic_set(&b->peakAllocCPs, cur);
	return cp;
}

/* Caller holds ht->sem.  Pushes cp at the head of the bucket's list. */
static void addCPtoBusyList(struct HashTable *ht, struct CachePage *cp)
{
	cp->next = ht->busy;
	ht->busy = cp;
}

/*
 * Stores a copy of the block's blockSize bytes at data.  Cache thread only,
 * inside a capture that holds cacheUsers for reading.  0 when stored or not
 * needed (not wanted in CGD_STATE_READING, or captured already), 1 when no record
 * could be had (CGD_STATE_CACHE_ERROR then, and the reason is logged).
 */
int saveBlock(struct Backup *b, unsigned char *data, u32 blockNum)
{
	struct HashTable *ht;
	struct CachePage *cp;

	if (getState(b) == CGD_STATE_READING && !blockInMap(&b->blockMap, blockNum))
		return 0;
	if (blockInMap(&b->cacheMap, blockNum))
		return 0;

	ht = b->blockTable[blockNum & CGD_BLOCK_TABLE_MASK];
	down(&ht->sem);
	cp = getCacheBlock(b);
	if (cp) {
		cp->blockNum = blockNum;
		memcpy(cp->data, data, b->diskInfo.blockSize);
		addCPtoBusyList(ht, cp);
	}
	up(&ht->sem);
	return cp ? 0 : 1;
}

/*
 * Caller holds the list's bucket sem.  The first record of blockNum, or
 * NULL.  When the match is not the head its predecessor is stored through
 * lastCP; otherwise lastCP is left alone (callers preset it to NULL).
 */
static struct CachePage *locateBlockInList(struct CachePage *first, u32 blockNum,
				    struct CachePage **lastCP)
{
	struct CachePage *prev = NULL;
	struct CachePage *cp;

	for (cp = first; cp; prev = cp, cp = cp->next) {
		if (cp->blockNum != blockNum)
			continue;
		if (prev)
			*lastCP = prev;
		return cp;
	}
	return NULL;
}

/*
 * Copies the preserved block blockNum to dest.  Block reader, under bSem.
 * Returns diskInfo.blockSize, or 0 when the store does not hold the block
 * (or the session is past CGD_STATE_READING).  In CGD_STATE_READING the copy is consumed: the
 * block leaves blockMap, cacheMap and the store.
 */
int cacheRead(struct Backup *b, unsigned char *dest, u32 blockNum)
{
	struct HashTable *ht = NULL;
	struct CachePage *cp;
	struct CachePage *prev = NULL;
	u32 state;
	int copied = 0;

	down_read(&b->cacheUsers);
	state = getState(b);
	if (state <= CGD_STATE_READING)
		ht = bucketOf(b, blockNum);
	if (!ht)
		goto out;

	down(&ht->sem);
	cp = locateBlockInList(ht->busy, blockNum, &prev);
	if (cp) {
		memcpy(dest, cp->data, b->diskInfo.blockSize);
		atomic_inc(&b->totalReadCBs);
		copied = b->diskInfo.blockSize;
		if (state == CGD_STATE_READING) {
			unSetBlock(&b->blockMap, blockNum);
			unSetBlock(&b->cacheMap, blockNum);
			unlinkCachePage(ht, cp, prev);
			freeCachePage(b, cp);
		}
	}
	up(&ht->sem);
out:
	up_read(&b->cacheUsers);
	return copied;
}

/*
 * Caller holds cp's bucket sem and has unlinked cp.  Frees the record and
 * its copy and clears the block in cacheMap.
 */
static void freeCachePage(struct Backup *b, struct CachePage *cp)
{
	unSetBlock(&b->cacheMap, cp->blockNum);
	if (cp->data) {
		kmem_cache_free(b->dataCache, cp->data);
		cp->data = NULL;
	}
	kmem_cache_free(b->cpCache, cp);
	atomic_dec(&b->curAllocCPs);
	atomic_dec(&b->curCBs);
}

/* Drops every record of ht whose block is not in blockMap.  Takes ht->sem. */
static void cleanBucket(struct Backup *b, struct HashTable *ht)
{
	struct CachePage *cp;
	struct CachePage *next;
	struct CachePage *prev = NULL;

	down(&ht->sem);
	for (cp = ht->busy; cp; cp = next) {
		next = cp->next;
		if (blockInMap(&b->blockMap, cp->blockNum)) {
			prev = cp;
			continue;
		}
		unlinkCachePage(ht, cp, prev);
		freeCachePage(b, cp);
		atomic_inc(&b->totalCleanedCBs);
	}
	up(&ht->sem);
}

/*
 * After the wanted-block map is loaded (CGD_STATE_READING): drops every copy that
 * the agent does not want.  Map load, under bSem.  0 (also when the
 * session has failed or is closing meanwhile: nothing is done), or
 * CGD_ERR_UNAVAILABLE when the state is below 6.
 */
int cleanUpCache(struct Backup *b)
{
	struct HashTable *ht;
	u32 state;
	int result = CGD_OK;
	int i;

	down_read(&b->cacheUsers);
	state = getState(b);
	if (state < CGD_STATE_READING) {
		result = CGD_ERR_UNAVAILABLE;
	} else if (state == CGD_STATE_READING) {
		for (i = 0; i < CGD_BLOCK_TABLE_SIZE; i++) {
			ht = bucketOf(b, i);
			if (ht)
				cleanBucket(b, ht);
		}
	}
	up_read(&b->cacheUsers);
	return result;
}

/* Caller holds the list's bucket sem.  Frees every record from first on. */
static void closeList(struct Backup *b, struct CachePage *first)
{
	struct CachePage *next;

	for (; first; first = next) {
		next = first->next;
		first->next = NULL;
		freeCachePage(b, first);
	}
}

/* Empties one bucket at teardown; a busy bucket is reported, then waited for. */
static void closeBucket(struct Backup *b, struct HashTable *ht)
{
	if (down_trylock(&ht->sem)) {
		printk(KERN_ERR "%s: ht->sem contended%s", "closeCache", "\n");
		down(&ht->sem);
	}
	closeList(b, ht->busy);
	ht->busy = NULL;
	up(&ht->sem);
}

/*
 * Frees every preserved block and destroys cpCache and dataCache.  Session
 * close, after CGD_STATE_CLOSING and after the cache thread has stopped; holds
 * cacheUsers for writing.  Copes with a store that was never (fully) built.
 */
void closeCache(struct Backup *b)
{
	struct HashTable *ht;
	int i;

	down_write(&b->cacheUsers);
	if (!b->cpCache)
		goto out;

	for (i = 0; i < CGD_BLOCK_TABLE_SIZE; i++) {
		ht = bucketOf(b, i);
		if (ht)
			closeBucket(b, ht);
	}

	kmem_cache_destroy(b->cpCache);
	b->cpCache = NULL;
	if (b->dataCache) {
		kmem_cache_destroy(b->dataCache);
		b->dataCache = NULL;
	}
out:
	up_write(&b->cacheUsers);
}

/* Frees cacheMap, if it holds pages, and takes its pages off curAllocPages. */
void closeCacheMap(struct Backup *b)
{
	u32 freed = 0;

	if (!b->cacheMap.map)
		return;
	closeBlockMap(&b->cacheMap, &freed);
	atomic_sub(freed, &b->curAllocPages);
}

/*
 * Returns the buckets to htCache, frees the table and destroys htCache.
 * Session close, after closeCache (the lists are empty then).  Copes with
 * a table that was built only in part, or not at all.
 */
void closeBlockTable(struct Backup *b)
{
	int i;

	if (b->blockTable) {
		for (i = 0; i < CGD_BLOCK_TABLE_SIZE; i++) {
			if (b->blockTable[i])
				kmem_cache_free(b->htCache, b->blockTable[i]);
			b->blockTable[i] = NULL;
		}
		vfree(b->blockTable);
		b->blockTable = NULL;
	}
	if (b->htCache) {
		kmem_cache_destroy(b->htCache);
		b->htCache = NULL;
	}
}
