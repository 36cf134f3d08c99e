/*
 * The control device of cowguard: the module-wide objects, module load and
 * unload, and the file operations of "/dev/cowguard" except the command
 * dispatcher (ctl-dispatch.cpp) and the transfer windows.
 *
 * Every module-wide object has its load value statically: nothing here runs
 * a constructor, and a fresh load of the module starts from these values.
 */
#include <linux/module.h>
#include <linux/init.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/fs.h>
#include <linux/poll.h>

#include "cgdlib.h"

static unsigned int cgdPoll(struct file *file, struct poll_table_struct *wait);
static ssize_t cgdRead(struct file *file, char __user *buf, size_t count, loff_t *pos);
static ssize_t cgdWrite(struct file *file, const char __user *buf, size_t count, loff_t *pos);

/* Set once the control device is registered; read without a lock. */
atomic_t initDone = ATOMIC_INIT(0);

/* Pages held by all tracking bitmaps together. */
atomic_t curAllocAMPages = ATOMIC_INIT(0);

/*
 * Tracking sessions by [major][minor].  Protected by the counted-users
 * protocol of amListUsers (rests at 1) and amListUsersLock (irqsave): a
 * reader adds 1 under the lock and subtracts 1 without it; a writer drains
 * the readers and changes slots with the lock held, interrupts off.
 */
struct AutoMapSession *amList[CGD_AMLIST_DIM][CGD_AMLIST_DIM];
atomic_t amListUsers = ATOMIC_INIT(1);
DEFINE_SPINLOCK(amListUsersLock);

/*
 * The registry of hooked request queues.  Protected by the counted-users
 * protocol of queueListUsers (rests at 1) and queueListUsersLock (irqsave).
 * Order: queueListUsersLock -> amListUsersLock -> a queue's queue_lock.
 */
LIST_HEAD(queueListHead);
atomic_t queueListUsers = ATOMIC_INIT(1);
DEFINE_SPINLOCK(queueListUsersLock);

/* Wake-ups of kbackupd, one per queued request; count 1 from cgdInit. */
struct semaphore signalThread;

/* 1 while a session holds the module for a backup.  Test and set under busyLock (irqsave). */
atomic_t busy = ATOMIC_INIT(0);
DEFINE_SPINLOCK(busyLock);

/*
 * The session whose device the backup hook protects.  Protected by
 * activeSessionUsers: set by the start (before any hook is installed) and
 * cleared by the close, both holding it for writing; the hook and kbackupd
 * read it holding it for reading.
 */
struct Backup *activeSession = NULL;
DECLARE_RWSEM(activeSessionUsers);

/*
 * Keeps the shutdown command from closing tracking sessions while a
 * snapshot works with its device's session or a backup's close hands its
 * queue back.  Taken after a record's bSem and before its writers.
 */
DECLARE_MUTEX(autoMapSem);

/* The kbackupd thread: its pid (above 0 while it runs), run flag and completions. */
pid_t backup_cachePID = 0;
atomic_t backup_cacheThreadContinue = ATOMIC_INIT(1);
DECLARE_COMPLETION(backup_cacheThreadExited);
DECLARE_COMPLETION(backup_cacheThreadStartCompleted);

/*
 * The control device's operations.  The owner is set at registration.  A
 * mapping of the device is a transfer window (xfer-windows.cpp).
 */
struct file_operations cgdFileOps = {
	.owner = NULL,
	.llseek = NULL,
	.read = cgdRead,
	.write = cgdWrite,
	.readdir = NULL,
	.poll = cgdPoll,
	.ioctl = cgdIOCTL,
	.unlocked_ioctl = NULL,
	.compat_ioctl = NULL,
	.mmap = cgdMMAP,
	.open = cgdOpen,
	.flush = NULL,
	.release = cgdRelease,
	.fsync = NULL,
};

static_assert(CGD_OPEN_ERRNO_NOT_READY == EAGAIN, "open errno of CGD_ERR_NOT_READY");
static_assert(CGD_OPEN_ERRNO_UNAVAILABLE == ENXIO, "open errno of CGD_ERR_UNAVAILABLE");
static_assert(CGD_OPEN_ERRNO_NO_MEMORY == ENOMEM, "open errno of CGD_ERR_NO_MEMORY");

#define CGD_VERSION_ARGS CGD_VERSION_MAJOR, CGD_VERSION_MINOR, CGD_VERSION_MINOR2, CGD_VERSION_BUILD

/* Load: registers the control device.  A non-zero result refuses the load. */
int cgdInit(void)
{
	int ret;

	sema_init(&signalThread, 1);
	ret = cgdModRegister(CGD_MAJOR, CGD_DEVICE_NAME, &cgdFileOps);
	if (ret == 0)
		atomic_set(&initDone, 1);
	printk(KERN_INFO "%s: cowguard version %d.%d.%d build %d %s\n", __func__, CGD_VERSION_ARGS,
	       atomic_read(&initDone) == 1 ? "loaded" : "load FAILED");
	return ret;
}

/*
 * Unload, run with no file of the device open (every open holds a module
 * reference), so no backup session exists.  Closes every tracking session,
 * which hands the hooked queues back, then unregisters the device.
 */
int cgdUnload(void)
{
	if (cgdCheckModUse())
		return -1;
	closeAllAMS();
	unregister_chrdev(CGD_MAJOR, CGD_DEVICE_NAME);
	printk(KERN_INFO "%s: cowguard version %d.%d.%d build %d ready to be unloaded\n", __func__,
	       CGD_VERSION_ARGS);
	return 0;
}

static int doModuleUnload(void)
{
	return cgdUnload();
}

void cgdExit(void)
{
	doModuleUnload();
	printk(KERN_INFO "%s: cowguard version %d.%d.%d build %d exiting\n", __func__, CGD_VERSION_ARGS);
}

/*
 * Command 15: closes every tracking session.  Unlike unload it keeps the
 * device registered and leaves the open sessions alone: a running backup
 * keeps its hook (closeAM leaves its device registered).  May sleep.
 */
int cgdShutdown(void)
{
	if (cgdCheckModUse())
		return -1;
	down(&autoMapSem);
	closeAllAMS();
	up(&autoMapSem);
	return 0;
}

/* A zeroed session record in CGD_STATE_IDLE with its locks and counters set up. */
static void initBackup(struct Backup *b)
{
	memset(b, 0, sizeof(*b));
	sema_init(&b->bSem, 1);
	init_rwsem(&b->writers);
	init_rwsem(&b->cacheUsers);
	atomic_set(&b->mrInQueue, 0);
	spin_lock_init(&b->mrLock);
	atomic_set(&b->ioctlCount, 0);
	atomic_set(&b->totalAllocPages, 0);
	atomic_set(&b->curAllocPages, 0);
	atomic_set(&b->totalAllocCPs, 0);
	atomic_set(&b->curAllocCPs, 0);
	atomic_set(&b->peakAllocCPs, 0);
	atomic_set(&b->totalCBs, 0);
	atomic_set(&b->curCBs, 0);
	atomic_set(&b->totalReadBlocks, 0);
	atomic_set(&b->totalReadCBs, 0);
	atomic_set(&b->totalCleanedCBs, 0);
	atomic_set(&b->totalAllocBRs, 0);
	atomic_set(&b->curAllocBRs, 0);
	atomic_set(&b->hookUsers, 0);
	setState(b, CGD_STATE_IDLE);
}

/*
 * Gives the open file its session record and takes the module reference
 * that keeps the module loaded while the record exists.  Returns a status;
 * on failure the file is left without a record.
 */
static int openSession(struct file *file)
{
	struct Backup *b;

	if (atomic_read(&initDone) != 1)
		return CGD_ERR_NOT_READY;
	b = (struct Backup *)kmalloc(sizeof(*b), GFP_KERNEL);
	if (!b)
		return CGD_ERR_NO_MEMORY;
	initBackup(b);
	file->private_data = b;
	if (cgdModGet()) {
		/* The kernel calls no release for a failed open. */
		file->private_data = NULL;
		kfree(b);
		return CGD_ERR_UNAVAILABLE;
	}
	return CGD_OK;
}

/* The errno with which open reports a status (documented in cowguard.h). */
static int openErrno(int status)
{
	switch (status) {
	case CGD_OK:
		return 0;
	case CGD_ERR_NOT_READY:
		return -EAGAIN;
	case CGD_ERR_UNAVAILABLE:
		return -ENXIO;
	case CGD_ERR_NO_MEMORY:
		return -ENOMEM;
	default:
		return -EIO;
	}
}

/* open: the kernel takes a non-zero result as a negative errno.  May sleep. */
int cgdOpen(struct inode *inode, struct file *file)
{
	return openErrno(openSession(file));
}

/* release: tears the open file's session down and frees its record.  May sleep. */
int cgdRelease(struct inode *inode, struct file *file)
{
	struct Backup *b = (struct Backup *)file->private_data;

	if (!b)
		return CGD_ERR_INVALID;
	file->private_data = NULL;
	closeBackup(b);
	cgdModPut();
	return 0;
}

/* The device carries no data stream: reads give nothing, writes take nothing. */
static ssize_t cgdRead(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	return 0;
}

static ssize_t cgdWrite(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	return 0;
}

static unsigned int cgdPoll(struct file *file, struct poll_table_struct *wait)
{
	return 0;
}

module_init(cgdInit);
module_exit(cgdExit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("cowguard: live snapshots with copy-before-write and changed-block tracking");
MODULE_VERSION("3.1.0");
