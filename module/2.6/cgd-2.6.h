/*
 * The module's records on the 2.6 block layer: device geometry, registry
 * device entries, block reads, held requests, tracking sessions and the
 * per-open backup session record.
 */
#ifndef _COWGUARD_CGD_26_H
#define _COWGUARD_CGD_26_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/rwsem.h>
#include <linux/completion.h>
#include <linux/time.h>
#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/slab.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>
#include <asm/system.h>

#include "cowguard.h"
#include "globals.h"

/* Geometry and real make-request function of one device. */
struct DiskInfo {
	dev_t kdev;			/* major << 20 | minor */
	u64 partitionStart;		/* first sector on the whole disk; 0 for a whole disk */
	int blockSize;			/* block size of the mounted file system */
	u32 blocksPerPage;		/* 4096 / blockSize */
	struct super_block *superBlock;	/* held super block, if any */
	u64 partitionSizeKB;		/* partitionLen / 2 */
	u64 numBlocks;			/* file system blocks, as the agent gave them at start */
	make_request_fn *realMRF;	/* the queue's own make-request function */
	struct block_device *bdev;	/* referenced (bdget) while the record is open */
	u64 partitionLen;		/* sectors */
	int sectorsPerBlock;
	int sectorsPerBlockShift;
};

/* One device registered on a hooked queue (QueueList.devList). */
struct DevList {
	dev_t kdev;
	struct list_head list;
};

/*
 * One disk read of a read-blocks command.  The bio lives only while the
 * read is in flight (the command lets go of it once it is submitted, so
 * that a long run never holds more of the kernel's bio pool than it has in
 * flight); the buffer head stays until the command ends and tells how the
 * read went.
 */
struct BIORequest {
	struct bio *bio;		/* NULL once submitted; its private pointer is bh */
	struct completion event;
	struct buffer_head *bh;		/* the block's buffer, in the window page */
};

/* One held request, queued for kbackupd.  Protected by Backup.mrLock while queued. */
struct MakeRequest {
	request_queue_t *q;
	struct bio *bio;
	u32 startBN;
	u32 endBN;			/* inclusive */
	struct MakeRequest *next;
};

/*
 * A changed-block tracking session of one device.  Reached only through
 * amList.  users/usersLock: counted-users protocol (a reference is taken
 * under usersLock while the table is entered; closing and the snapshot's
 * map exchange drain the references).  state is read and written without a
 * lock: an atomic counter (amsState/setAMSState).
 */
struct AutoMapSession {
	struct DiskInfo diskInfo;	/* copy of the backup's record; holds its own bdev reference */
	atomic_t state;			/* CGD_AUTOMAP_* */
	struct BlockMap map;
	atomic_t users;			/* rests at 1 */
	spinlock_t usersLock;
	struct AMSessionKey sessionKey;
	struct AutoMapSession *next;
};

#define CGD_BLOCK_TABLE_SIZE 4096
#define CGD_BLOCK_TABLE_MASK 0xfff

/*
 * The session record of one open file of the control device.
 *
 * Locking, outermost first: bSem (commands and the close of this record;
 * may sleep) -> writers (read: the backup hook while it decides about a bio;
 * write: snapshot, the switch to CGD_STATE_READING, close) -> cacheUsers (read: users
 * of the store; write: the store's teardown) -> one bucket sem -> a
 * BlockMap's locks.  mrLock (irqsave) guards mrHead/mrTail and the links.
 * state is read without locks by the hooks and kbackupd: an atomic counter,
 * changed only through the helpers below.
 */
struct Backup {
	struct semaphore bSem;			/* serialises the commands and the close */
	atomic_t state;				/* atomic: CGD_STATE_*; see getState */
	struct rw_semaphore writers;		/* orders hook decisions against state changes */
	int maxVMPages;				/* set once at start */
	struct BackupVMA vmAreas[2];		/* protected by bSem (mmap and munmap take it) */
	int noLoadFromAutoMap;			/* protected by bSem */
	int noStartAutoMap;			/* protected by bSem */
	struct timespec eTimeToFreeze;		/* protected by bSem (set by the snapshot) */
	struct timespec eTimeFrozen;		/* protected by bSem (set by the snapshot) */
	struct DiskInfo diskInfo;		/* set once at start; read by the hooks after it */
	struct BlockMap blockMap;		/* wanted blocks: bits under its own users;
						 * the map itself moves under bSem */
	struct HashTable **blockTable;		/* CGD_BLOCK_TABLE_SIZE buckets, each under its
						 * sem; built at start, freed under cacheUsers */
	kmem_cache_t *htCache;			/* set once at start */
	char htCacheName[32];			/* set once at start */
	struct BlockMap cacheMap;		/* blocks whose old contents are in the store:
						 * bits under its own users; built at start */
	struct rw_semaphore cacheUsers;		/* users of the store against its teardown */
	kmem_cache_t *cpCache;			/* set once at start */
	kmem_cache_t *dataCache;		/* set once at start */
	char cpCacheName[32];			/* set once at start */
	char dataCacheName[32];			/* set once at start */
	u32 maxCacheBlocks;			/* set once at start */
	atomic_t mrInQueue;			/* atomic: held bios queued for kbackupd */
	spinlock_t mrLock;			/* irqsave: guards mrHead, mrTail and the links */
	struct MakeRequest *mrHead;		/* protected by mrLock */
	struct MakeRequest *mrTail;		/* protected by mrLock */
	atomic_t ioctlCount;			/* atomic counters from here on */
	atomic_t totalAllocPages;
	atomic_t curAllocPages;
	atomic_t totalAllocCPs;
	atomic_t curAllocCPs;
	atomic_t peakAllocCPs;
	atomic_t totalCBs;
	atomic_t curCBs;
	atomic_t totalReadBlocks;
	atomic_t totalReadCBs;
	atomic_t totalCleanedCBs;
	atomic_t totalAllocBRs;
	atomic_t curAllocBRs;
	struct BIORequest **mmBIORequests;	/* array set once at start; slots under bSem */
	int startedCacheThread;			/* protected by bSem (start and close) */
	/*
	 * Not part of the session's interface: hooks that picked this record
	 * as the active session and may still touch it; closing waits for 0
	 * before it frees the record.  Atomic.
	 */
	atomic_t hookUsers;
	int holdsModule;			/* this record set busy (guarded by busyLock) */
};

/*
 * The session's state: every change of b->state goes through the four
 * functions below, and only these transitions happen.
 *
 *   from                      to                          by                      how
 *   CGD_STATE_IDLE            CGD_STATE_STARTING          the start               setState
 *   CGD_STATE_STARTING        CGD_STATE_STARTED           the start               setState
 *   CGD_STATE_STARTING        CGD_STATE_REFUSED           the start (refused)     setState
 *   CGD_STATE_STARTED         CGD_STATE_SNAPPED           the snapshot            setState
 *   CGD_STATE_SNAPPED         CGD_STATE_LOADING_MAP       the map load            advanceState
 *   CGD_STATE_LOADING_MAP     CGD_STATE_READING           the map load            advanceState
 *   IDLE .. READING           CGD_STATE_READ_ERROR,       kbackupd, the store     failState
 *                             CGD_STATE_CACHE_ERROR
 *   IDLE .. READING           CGD_STATE_MAP_ERROR         the map load            failState
 *   SNAPPED .. READING        CGD_STATE_HOOK_ERROR        the backup hook         failState
 *   any                       CGD_STATE_CLOSING           the close               setState
 *   CGD_STATE_CLOSING         CGD_STATE_IDLE              the close (record reset) setState
 *
 * setState is for a task that owns the transition (the start, the
 * snapshot, the close): no other task can move the state at that moment.
 * Where the hook or kbackupd may fail the session at the same moment, the
 * state moves only by compare-and-swap: advanceState for one step of the
 * session's life, failState for a failure, which a closing or failed
 * session never takes (a state above CGD_STATE_READING is never changed).
 */
static inline u32 getState(struct Backup *b)
{
	return (u32)atomic_read(&b->state);
}

static inline void setState(struct Backup *b, u32 state)
{
	atomic_set(&b->state, (int)state);
}

/* Moves the state from `from` to `to` if it is still `from`: 1 when it moved. */
static inline int advanceState(struct Backup *b, u32 from, u32 to)
{
	return cmpxchg(&b->state.counter, (int)from, (int)to) == (int)from;
}

/* Moves a session whose state lies in [lowest, CGD_STATE_READING] into err. */
static inline void failState(struct Backup *b, u32 err, u32 lowest)
{
	int old = atomic_read(&b->state), seen;

	while ((u32)old >= lowest && (u32)old <= CGD_STATE_READING) {
		seen = cmpxchg(&b->state.counter, old, (int)err);
		if (seen == old)
			break;
		old = seen;
	}
}

/* A tracking session's state (CGD_AUTOMAP_*), read and set without a lock. */
static inline u32 amsState(struct AutoMapSession *ams)
{
	return (u32)atomic_read(&ams->state);
}

static inline void setAMSState(struct AutoMapSession *ams, u32 state)
{
	atomic_set(&ams->state, (int)state);
}

#endif
