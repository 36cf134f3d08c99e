/*
 * The kernel-version seam of cowguard: registration of the control device,
 * the module's use count, request-queue lookup and locking.  Everything that
 * differs between the 2.6.12 and 2.6.18 lines lives in this file; the rest
 * of the module is common.
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

/*
 * The request queue of a block device's disk; NULL without a device or
 * disk.  A block device knows its disk only while it is open (a mount, a
 * process, the block layer's own opens): the kernel sets bd_disk at the
 * first open and clears it at the last close.
 */
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

/*
 * The request queue of a session's device.  A device that carries one of
 * the module's hooks is found through the registry, which keeps its queue
 * also after the device's last close (an unmount), so that the hook can
 * still be handed back or removed; any other device through its disk, which
 * needs it open.
 */
request_queue_t *getRequestQueue(struct DiskInfo *diskInfo)
{
	request_queue_t *q = queueOfDevice(diskInfo->kdev);

	if (q)
		return q;
	return cgdGetRequestQueue(diskInfo->bdev);
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
