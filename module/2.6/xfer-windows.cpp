/*
 * Transfer windows: the agent maps the control device (read-only, private,
 * offset 0) to get a window of up to maxVMPages pages into which the block
 * reader lays blocks.  A session has two window slots.  The pages are
 * allocated when the window is mapped and handed to the agent's address
 * space one by one through nopage; they are freed when the mapping goes.
 *
 * Locking: the slots (vmAreas) are changed only under the session's bSem:
 * by cgdMMAP, by cgdVMclose and by the session close.  The read-blocks
 * command fills a window under bSem, so a window that is unmapped while a
 * command fills it is freed only once the command is done.  cgdVMnopage
 * takes no module lock: the kernel runs faults, mmap and munmap of one
 * address space under its mmap semaphore, so a slot does not change under a
 * fault, and the mapping holds the file (and so the session record) open.
 * Lock order: the kernel's mmap semaphore -> bSem.  So no holder of bSem
 * may touch user memory (a copy may fault and take the mmap semaphore):
 * the commands copy their records in before they take bSem and out after
 * they release it.
 */
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/compiler.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#include "cgdlib.h"

static void cgdVMopen(struct vm_area_struct *vma);
static int findVMA(struct Backup *b, struct vm_area_struct *vmaToFind, struct BackupVMA **bVMAPtr);
static void freeMMPages(struct Backup *b, struct BackupVMA *bVMA);
static int maxBVMAs(struct Backup *b, struct BackupVMA **bVMAPtr);

struct vm_operations_struct cgdVMOps = {
	.open = cgdVMopen,
	.close = cgdVMclose,
	.nopage = cgdVMnopage,
	.populate = NULL,
};

/* The session record of a mapping's file, or NULL. */
static struct Backup *vmaBackup(struct vm_area_struct *vma)
{
	if (!vma->vm_file)
		return NULL;
	return (struct Backup *)vma->vm_file->private_data;
}

/* Only read-only private mappings may become windows. */
static int windowFlagsValid(struct vm_area_struct *vma)
{
	unsigned long flags = vma->vm_flags;

	return (flags & VM_READ) && !(flags & VM_WRITE) && !(flags & VM_SHARED);
}

/*
 * Caller holds bSem.  Checks that vma may become a window of b: a backup
 * has started, the offset is 0, a slot is free and the length fits.
 * Returns 0 with the free slot and the page count, or CGD_ERR_INVALID.
 */
static int __checkNewWindow(struct Backup *b, struct vm_area_struct *vma,
			    struct BackupVMA **slot, int *pages)
{
	u32 state = getState(b);
	int count;

	if (state == CGD_STATE_IDLE || state == CGD_STATE_STARTING)
		return CGD_ERR_INVALID;
	if (vma->vm_pgoff != 0)
		return CGD_ERR_INVALID;
	if (maxBVMAs(b, slot))
		return CGD_ERR_INVALID;
	count = (int)((vma->vm_end - vma->vm_start) / PAGE_SIZE);
	if (count <= 0 || count > b->maxVMPages || count > CGD_MAX_VM_PAGES)
		return CGD_ERR_INVALID;
	*pages = count;
	return CGD_OK;
}

/*
 * Caller holds bSem.  Allocates the pages of a free slot.  On failure every
 * page of the attempt is freed and the slot stays free.  May sleep.
 */
static int __fillWindow(struct Backup *b, struct BackupVMA *bVMA, int pages)
{
	struct page *page;
	int i;

	bVMA->vmPages = pages;
	for (i = 0; i < pages; i++) {
		page = alloc_page(GFP_KERNEL);
		if (!page) {
			bVMA->vma = NULL;
			freeMMPages(b, bVMA);
			return CGD_ERR_NO_MEMORY;
		}
		atomic_inc(&b->totalAllocPages);
		atomic_inc(&b->curAllocPages);
		bVMA->mmPages[i] = page;
	}
	return CGD_OK;
}

/*
 * The errno with which mmap refuses a window.  The kernel hands a positive
 * result of a driver's mmap back to the program as the mapping's address,
 * so a refusal must be a negative errno, never a status code.
 */
static int mmapErrno(int status)
{
	switch (status) {
	case CGD_OK:
		return 0;
	case CGD_ERR_NO_MEMORY:
		return -ENOMEM;
	default:
		return -EINVAL;
	}
}

/*
 * The mmap operation of the control device: makes the mapping a window of
 * the open file's session.  0, or a negative errno when no window was made:
 * -EINVAL for a mapping that may not become a window, -ENOMEM when its
 * pages cannot be had.  Runs in the agent's process under the kernel's mmap
 * semaphore; may sleep.
 */
int cgdMMAP(struct file *file, struct vm_area_struct *vma)
{
	struct Backup *b = (struct Backup *)file->private_data;
	struct BackupVMA *bVMA = NULL;
	int pages = 0;
	int ret;

	if (!b || !windowFlagsValid(vma))
		return mmapErrno(CGD_ERR_INVALID);

	down(&b->bSem);
	ret = __checkNewWindow(b, vma, &bVMA, &pages);
	if (ret == CGD_OK)
		ret = __fillWindow(b, bVMA, pages);
	if (ret == CGD_OK) {
		bVMA->vma = vma;
		vma->vm_ops = &cgdVMOps;
	}
	up(&b->bSem);
	return mmapErrno(ret);
}

/* A new copy of a window mapping needs nothing: faults on it are served from window 0. */
static void cgdVMopen(struct vm_area_struct *vma)
{
}

/*
 * The mapping goes away (unmap or exit): frees its window.  Waits for a
 * read-blocks command of the session that may be filling the window, so no
 * page is freed under it.  A mapping that is not a registered window frees
 * nothing.  May sleep.
 */
void cgdVMclose(struct vm_area_struct *vma)
{
	struct Backup *b = vmaBackup(vma);
	struct BackupVMA *bVMA = NULL;

	if (!b)
		return;
	down(&b->bSem);
	if (findVMA(b, vma, &bVMA)) {
		bVMA->vma = NULL;
		freeMMPages(b, bVMA);
	}
	up(&b->bSem);
}

/*
 * The window that serves a fault on vma: its own, or window 0 for a mapping
 * of the device that is not a registered window.  NULL when there is none.
 */
static struct BackupVMA *faultWindow(struct Backup *b, struct vm_area_struct *vma)
{
	struct BackupVMA *bVMA = NULL;

	if (findVMA(b, vma, &bVMA))
		return bVMA;
	if (b->vmAreas[0].vma)
		return &b->vmAreas[0];
	return NULL;
}

/*
 * Supplies the page of a window for a fault at address, with a reference
 * for the agent's mapping.  NULL makes the kernel send the agent SIGBUS.
 * Allocates nothing; takes no module lock (see the top of the file).
 */
struct page *cgdVMnopage(struct vm_area_struct *vma, unsigned long address, int *unused)
{
	struct Backup *b = vmaBackup(vma);
	struct BackupVMA *bVMA;
	unsigned long index;
	struct page *page;

	if (!b) {
		printk(KERN_WARNING "%s: vma does not have associated backup%s", "cgdVMnopage", "\n");
		return NOPAGE_SIGBUS;
	}
	index = (address - vma->vm_start) / PAGE_SIZE;
	bVMA = faultWindow(b, vma);
	if (!bVMA) {
		printk(KERN_ERR "%s: vma is not found in associated backup%s", "cgdVMnopage", "\n");
		return NOPAGE_SIGBUS;
	}
	if (bVMA->vmPages <= 0 || index >= (unsigned long)bVMA->vmPages) {
		printk(KERN_WARNING "%s: Bad vm address%s", "cgdVMnopage", "\n");
		return NOPAGE_SIGBUS;
	}
	page = bVMA->mmPages[index];
	get_page(page);
	return page;
}

/*
 * Caller holds bSem.  1 and the window whose mapping starts exactly at the
 * user address data; 0 when no window does.
 */
int checkVMA(struct Backup *b, void __user *data, struct BackupVMA **bVMAPtr)
{
	unsigned long addr = (unsigned long)data;
	int i;

	for (i = 0; i < 2; i++) {
		struct vm_area_struct *vma = b->vmAreas[i].vma;

		if (vma && vma->vm_start == addr) {
			*bVMAPtr = &b->vmAreas[i];
			return 1;
		}
	}
	return 0;
}

/* 1 and the window whose mapping is vmaToFind; 0 (out-parameter untouched) otherwise. */
static int findVMA(struct Backup *b, struct vm_area_struct *vmaToFind, struct BackupVMA **bVMAPtr)
{
	int i;

	if (!vmaToFind)
		return 0;
	for (i = 0; i < 2; i++) {
		if (b->vmAreas[i].vma == vmaToFind) {
			*bVMAPtr = &b->vmAreas[i];
			return 1;
		}
	}
	return 0;
}

/* Caller holds bSem.  0 and the first free slot, or 1 (both in use) and NULL. */
static int maxBVMAs(struct Backup *b, struct BackupVMA **bVMAPtr)
{
	int i;

	for (i = 0; i < 2; i++) {
		if (!b->vmAreas[i].vma) {
			*bVMAPtr = &b->vmAreas[i];
			return 0;
		}
	}
	*bVMAPtr = NULL;
	return 1;
}

/*
 * Caller holds bSem (or owns the record alone).  Drops the module's
 * reference on every page of the window; a page still mapped by the agent
 * lives on until the kernel drops the mapping's reference.  Leaves vma.
 */
static void freeMMPages(struct Backup *b, struct BackupVMA *bVMA)
{
	int i;

	for (i = 0; i < bVMA->vmPages && i < CGD_MAX_VM_PAGES; i++) {
		if (bVMA->mmPages[i]) {
			__free_page(bVMA->mmPages[i]);
			bVMA->mmPages[i] = NULL;
			atomic_dec(&b->curAllocPages);
		}
	}
	bVMA->vmPages = 0;
}

/* Caller holds bSem.  Frees both windows' pages (session close). */
void freeAllMMPages(struct Backup *b)
{
	freeMMPages(b, &b->vmAreas[0]);
	freeMMPages(b, &b->vmAreas[1]);
}
