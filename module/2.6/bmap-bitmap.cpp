/*
 * The paged block bitmap: one bit per file-system block, held in whole
 * order-0 pages so that the map of a large device never needs one large
 * contiguous allocation.  Block n is bit n % 32768 of page n / 32768, that is
 * bit n % 8 (least significant first) of byte n / 8 of the pages laid end to
 * end, which is also the byte layout of the maps exchanged with the agent.
 *
 * Only the page-pointer array is virtually contiguous (vmalloc); the bitmap
 * pages may come from high memory and are mapped with kmap for each access.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/highmem.h>
#include <linux/vmalloc.h>
#include <linux/bitops.h>
#include <linux/spinlock.h>
#include <asm/uaccess.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#include "cgdlib.h"

u32 numPagesInBlockMap(struct BlockMap *bmap)
{
	return (bmap->numBytes + (u32)PAGE_SIZE - 1) / (u32)PAGE_SIZE;
}

/* Bytes of page i that hold bits of a map of bytesInMap bytes. */
static u32 bytesInPage(u32 bytesInMap, u32 i, u32 numPages)
{
	if (i == numPages - 1 && bytesInMap % PAGE_SIZE)
		return bytesInMap % PAGE_SIZE;
	return PAGE_SIZE;
}

/*
 * Fills page i of a map being built, from user space or with the fill byte.
 * Returns 0, or CGD_ERR_COPY_IN when the user buffer could not be read.
 * May sleep (kmap, copy_from_user).
 */
static int fillBlockMapPage(struct BlockMap *bmap, u32 i, u32 count, u32 bytesInMap,
			    void __user *data, int zeroFill)
{
	void *kaddr = kmap(bmap->map[i]);
	char __user *from;
	unsigned long left;

	if (!data) {
		memset(kaddr, zeroFill == 1 ? 0x00 : 0xff, count);
		kunmap(bmap->map[i]);
		return CGD_OK;
	}
	from = (char __user *)data + (unsigned long)i * PAGE_SIZE;
	left = copy_from_user(kaddr, from, count);
	kunmap(bmap->map[i]);
	if (left) {
		printk(KERN_ERR "%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
		       "newBlockMap", from, (int)count, (int)bytesInMap);
		return CGD_ERR_COPY_IN;
	}
	return CGD_OK;
}

/*
 * Allocates and fills every page of a map whose array is in place.  On
 * failure everything the map holds is released again.  May sleep.
 */
static int fillBlockMapPages(struct BlockMap *bmap, u32 bytesInMap, u32 numPages,
			     void __user *data, int zeroFill)
{
	u32 i, freed;
	int status;

	for (i = 0; i < numPages; i++) {
		bmap->map[i] = alloc_page(GFP_HIGHUSER);
		if (!bmap->map[i]) {
			printk(KERN_ERR "%s: failed allocating page number (%d) for block map\n",
			       "newBlockMap", (int)i);
			status = CGD_ERR_NO_MEMORY;
			goto fail;
		}
		status = fillBlockMapPage(bmap, i, bytesInPage(bytesInMap, i, numPages),
					  bytesInMap, data, zeroFill);
		if (status != CGD_OK)
			goto fail;
	}
	return CGD_OK;

fail:
	printk(KERN_ERR "%s: Out of Memory Error.%s", "newBlockMap", "\n");
	closeBlockMap(bmap, &freed);
	return status;
}

/*
 * Builds a map of size blocks into a closed record, from the user bitmap at
 * data or, with data NULL, all clear (zeroFill 1) or all set (otherwise).
 * numPagesAlloc is written on success only.  May sleep.
 *
 * The counted-users fields are set up as soon as the record is cleared, so
 * that a record left closed by a failed build can still be entered and
 * drained like any closed map.
 */
int newBlockMap(struct BlockMap *bmap, u32 size, void __user *data, int zeroFill,
		u32 *numPagesAlloc)
{
	u32 bytesInMap = (u32)(size + 7) / 8;
	u32 numPages;
	int status;

	if (bytesInMap == 0) {
		printk(KERN_ERR "%s: block size size=%u invalid\n", __func__, size);
		return CGD_ERR_INVALID;
	}
	memset(bmap, 0, sizeof(*bmap));
	atomic_set(&bmap->users, 1);
	spin_lock_init(&bmap->usersLock);
	sema_init(&bmap->sem, 1);

	numPages = (bytesInMap + (u32)PAGE_SIZE - 1) / (u32)PAGE_SIZE;
	bmap->map = (struct page **)vmalloc((unsigned long)numPages * sizeof(struct page *));
	if (!bmap->map) {
		printk(KERN_ERR "%s: failed allocating (%d) bytes of memory for block map page array\n",
		       __func__, (int)(numPages * sizeof(struct page *)));
		return CGD_ERR_NO_MEMORY;
	}
	memset(bmap->map, 0, (unsigned long)numPages * sizeof(struct page *));
	bmap->size = size;
	bmap->numBytes = bytesInMap;

	status = fillBlockMapPages(bmap, bytesInMap, numPages, data, zeroFill);
	if (status != CGD_OK)
		return status;
	*numPagesAlloc = numPages;
	return CGD_OK;
}

/*
 * Releases the pages and the array of an open map; does nothing on a closed
 * one (numPagesFreed is then not written).  The caller guarantees that
 * nobody is inside the map: this neither waits nor locks.
 */
void closeBlockMap(struct BlockMap *bmap, u32 *numPagesFreed)
{
	u32 numPages, i;

	if (!bmap->map)
		return;
	numPages = numPagesInBlockMap(bmap);
	for (i = 0; i < numPages; i++) {
		if (bmap->map[i])
			__free_page(bmap->map[i]);
		bmap->map[i] = NULL;
	}
	vfree(bmap->map);
	bmap->map = NULL;
	bmap->size = 0;
	*numPagesFreed = numPages;
}

/*
 * Moves the pages of an open map into out (whose other fields the caller
 * never uses: out is a holder only closeBlockMap and attachBlockMap take)
 * and leaves the map closed, its locks in place.  Drains the map's users
 * first.  The caller keeps the map from being built or closed meanwhile.
 */
void detachBlockMap(struct BlockMap *bm, struct BlockMap *out)
{
	unsigned long flags;

	memset(out, 0, sizeof(*out));
	waitForBlockMapUsers(bm, &flags);
	out->map = bm->map;
	out->size = bm->size;
	out->numBytes = bm->numBytes;
	bm->map = NULL;
	bm->size = 0;
	bm->numBytes = 0;
	spin_unlock_irqrestore(&bm->usersLock, flags);
}

/* Puts the pages that detachBlockMap moved into from back into a closed map. */
void attachBlockMap(struct BlockMap *bm, struct BlockMap *from)
{
	unsigned long flags;

	waitForBlockMapUsers(bm, &flags);
	bm->map = from->map;
	bm->size = from->size;
	bm->numBytes = from->numBytes;
	spin_unlock_irqrestore(&bm->usersLock, flags);
	from->map = NULL;
	from->size = 0;
	from->numBytes = 0;
}

/* Entry and exit of an operation inside the map (counted users). */
static void enterBlockMap(struct BlockMap *bm)
{
	enterUsers(&bm->users, &bm->usersLock);
}

static void leaveBlockMap(struct BlockMap *bm)
{
	leaveUsers(&bm->users);
}

enum bitOp { BIT_TEST, BIT_SET, BIT_CLEAR };

/*
 * Tests, sets or clears the bit of an in-range block.  The caller has
 * entered the map and checked blockNum < size.  Takes sem; may sleep.
 * The bit is addressed in the unsigned long word of the page that holds it,
 * which on this little-endian machine is bit n % 8 of byte n / 8.
 */
static int __bitOpBlockMap(struct BlockMap *bm, u32 blockNum, enum bitOp op)
{
	struct page *page;
	unsigned long *words;
	int nr = (int)(blockNum % BLOCKMAP_BITS_PER_PAGE);
	int result = 0;

	down(&bm->sem);
	page = bm->map[blockNum / BLOCKMAP_BITS_PER_PAGE];
	words = (unsigned long *)kmap(page);
	if (op == BIT_TEST)
		result = test_bit(nr, words) ? -1 : 0;
	else if (op == BIT_SET)
		set_bit(nr, words);
	else
		clear_bit(nr, words);
	kunmap(page);
	up(&bm->sem);
	return result;
}

/* op on blockNum inside the map; outOfRange when blockNum lies beyond it.  May sleep. */
static int bitOpInside(struct BlockMap *bm, u32 blockNum, enum bitOp op, int outOfRange)
{
	int result = outOfRange;

	enterBlockMap(bm);
	if (blockNum < bm->size)
		result = __bitOpBlockMap(bm, blockNum, op);
	leaveBlockMap(bm);
	return result;
}

/* -1 if blockNum is in the map, 0 if not or out of range.  May sleep. */
int blockInMap(struct BlockMap *bm, u32 blockNum)
{
	return bitOpInside(bm, blockNum, BIT_TEST, 0);
}

/* Sets the bit: 0, or blockNum itself when it is out of range.  May sleep. */
int setBlock(struct BlockMap *bm, u32 blockNum)
{
	return bitOpInside(bm, blockNum, BIT_SET, (int)blockNum);
}

/* Clears the bit: 0, or 1 when blockNum is out of range.  May sleep. */
int unSetBlock(struct BlockMap *bm, u32 blockNum)
{
	return bitOpInside(bm, blockNum, BIT_CLEAR, 1);
}

/*
 * Waits until no operation is inside the map and returns holding usersLock
 * (interrupts saved into *flags): nobody can enter until the caller releases
 * it with spin_unlock_irqrestore(&bm->usersLock, *flags).  The caller must
 * not sleep while it holds the lock.  Sleeps (schedule) between attempts.
 */
void waitForBlockMapUsers(struct BlockMap *bm, unsigned long *flags)
{
	drainUsers(&bm->users, &bm->usersLock, flags);
}
