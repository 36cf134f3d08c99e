/*
 * Records shared by the module's subsystems: the paged block bitmap, the
 * preserved-block store's buckets and entries, and the transfer windows.
 */
#ifndef _COWGUARD_GLOBALS_H
#define _COWGUARD_GLOBALS_H

#include <linux/types.h>
#include <linux/spinlock.h>
#include <linux/mm.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#define BLOCKMAP_BITS_PER_PAGE (PAGE_SIZE * 8)	/* 32768 blocks a page */

/*
 * A bitmap of block numbers held in whole pages: block n is bit n % 8 of byte
 * n / 8 of the pages laid end to end.
 *
 * Locking: users/usersLock follow the counted-users protocol: an operation
 * enters by adding 1 to users under usersLock (irqsave) and leaves by
 * subtracting 1 without it; a writer drains with waitForBlockMapUsers and
 * then holds usersLock (irqs off, must not sleep) while it replaces map.
 * sem (may sleep) is held for the duration of one bit test, set or clear.
 * Order: usersLock is innermost of the module's spin locks.
 */
struct BlockMap {
	u32 size;		/* blocks covered; 0 when closed */
	u32 numBytes;		/* (size + 7) / 8 */
	struct page **map;	/* vmalloc'ed array of numPagesInBlockMap pages; NULL when closed */
	atomic_t users;		/* rests at 1 */
	spinlock_t usersLock;
	struct semaphore sem;
};

/* One preserved block of the store.  Protected by its bucket's sem. */
struct CachePage {
	struct CachePage *next;	/* next entry of the same bucket */
	unsigned char *data;	/* the block's pre-snapshot contents */
	u32 blockNum;
};

/*
 * One bucket of the preserved-block store (4096 of them, by the low 12 bits
 * of the block number).  sem (may sleep) guards the list; it is taken after
 * the session's cacheUsers and before any BlockMap lock; never two at once.
 */
struct HashTable {
	struct CachePage *busy;	/* newest first */
	struct semaphore sem;
};

#define CGD_MAX_VM_PAGES 256

/* One mapped transfer window of a session. */
struct BackupVMA {
	int vmPages;				/* pages in the window; 0 for a free slot */
	struct vm_area_struct *vma;		/* the agent's mapping; NULL for a free slot */
	struct page *mmPages[CGD_MAX_VM_PAGES];
};

#endif
