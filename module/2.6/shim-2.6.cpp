/*
 * The kernel-version seam of cowguard: registration of the control device,
 * the module's use count, request-queue lookup and locking, and the guard
 * of a disk's partition table.  Everything that differs between the 2.6.12
 * and 2.6.18 lines lives in this file; the rest of the module is common.
 */
#include <linux/version.h>
#include <linux/module.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/spinlock.h>
#include <linux/sched.h>

#include "cgdlib.h"

/*
 * Registers the control device.  The table's owner is this module, so the
 * kernel holds a module reference for every open file.  Returns the result
 * of register_chrdev (0 on success).  May sleep.
 */
int cgdModRegister(unsigned int major, const char *name, struct file_operations *fops)
{
	fops->owner = THIS_MODULE;
	return register_chrdev(major, name, fops);
}

/* Whether the module is in use; the supported kernels keep that count themselves. */
int cgdCheckModUse(void)
{
	return 0;
}

/* Takes a module reference: 0 when taken, 1 when the module is being unloaded. */
int cgdModGet(void)
{
	return try_module_get(THIS_MODULE) ? 0 : 1;
}

/* Drops a reference of cgdModGet; the last one wakes a waiting unload. */
void cgdModPut(void)
{
	module_put(THIS_MODULE);
}

/* The request queue of a block device's disk; NULL without a device or disk. */
request_queue_t *cgdGetRequestQueue(struct block_device *bdev)
{
	if (!bdev || !bdev->bd_disk)
		return NULL;
	return bdev->bd_disk->queue;
}

/*
 * Takes a queue's own lock with interrupts saved; a queue without a lock
 * (or no queue) takes nothing.  The queue's make_request_fn is changed
 * only under this lock.  The holder must not sleep.
 */
void cgdLockRequestQueue(request_queue_t *q, unsigned long *flags)
{
	if (q && q->queue_lock)
		spin_lock_irqsave(q->queue_lock, *flags);
}

/* Releases what cgdLockRequestQueue took. */
void cgdUnlockRequestQueue(request_queue_t *q, unsigned long *flags)
{
	if (q && q->queue_lock)
		spin_unlock_irqrestore(q->queue_lock, *flags);
}

/* The request queue of a session's device. */
request_queue_t *getRequestQueue(struct DiskInfo *diskInfo)
{
	return cgdGetRequestQueue(diskInfo->bdev);
}

/*
 * ---- Partition-table guard (cgdLockPartitions / cgdUnlockPartitions) ----
 * Written with the bio mapping that uses it; its 2.6.12/2.6.18 difference
 * (bd_sem or bd_mutex) belongs here.
 */

/*
 * Guard of a walk over the partition table of disk's gendisk (disk may be
 * the whole disk or one of its partitions).  The walk runs in make-request
 * hooks, in whatever task submits a bio, and that task may hold the whole
 * disk's open lock (bd_sem on 2.6.12, bd_mutex on 2.6.18), as a partition
 * rescan does while it reads the table: taking the open lock here would
 * deadlock against it.  So on both lines the guard is the disk's partition
 * table lock, which the kernel holds only while it swaps table entries and
 * never while it does I/O or sleeps.  It is a spin lock: the holder must not
 * sleep.
 */
void cgdLockPartitions(struct block_device *disk)
{
	bdev_lock_partitions(disk);
}

/* Releases what cgdLockPartitions took. */
void cgdUnlockPartitions(struct block_device *disk)
{
	bdev_unlock_partitions(disk);
}

/*
 * Offers the processor before a command takes its session's semaphore.
 * 2.6.18 kernels offer it with cond_resched; 2.6.12 commands do not.
 */
void cgdCondResched(void)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
	cond_resched();
#endif
}
