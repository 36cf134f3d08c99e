/*
 * The command dispatcher of the control device: decodes the ioctl number,
 * copies the command's record from user space into a local copy, forms
 * device numbers and calls the handler with the open file's session record.
 * The handler's status goes back to the agent unchanged.
 *
 * The dispatcher takes no lock of its own; handlers serialise on the
 * session's bSem.  Its only shared write is the session's ioctlCount.
 * Everything here may sleep (user copies, handlers).

 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <asm/uaccess.h>

#include "cgdlib.h"

/* A device inside the module: major << 20 | minor (the minor is not masked). */
static inline dev_t cgdDevNum(unsigned int major, unsigned int minor)
{
	return (dev_t)((major << 20) | minor);
}

static int badCommand(void)
{
	printk(KERN_ERR "%s: ioctl command not found%s", "cgdIOCTL", "\n");
	return CGD_ERR_BAD_COMMAND;
}

/* Copies a command's record in; 0, or CGD_ERR_COPY_IN without a log line. */
static int copyRecord(void *rec, const void __user *arg, unsigned long size)
{
	return copy_from_user(rec, arg, size) ? CGD_ERR_COPY_IN : CGD_OK;
}

/* Commands 12 and 13: the version number as a 4-byte integer at arg. */
static int putVersion(void __user *arg, int value)
{
	if (copy_to_user(arg, &value, sizeof(value))) {
		printk(KERN_ERR "%s: copy to user space %s\n", "cgdIOCTL", "failed");
		return CGD_ERR_COPY_OUT;
	}
	return CGD_OK;
}

static int doGetBlockSize(struct Backup *b, const void __user *arg)
{
	struct GetBlockSize gbs;
	int ret = copyRecord(&gbs, arg, sizeof(gbs));

	if (ret)
		return ret;
	return ioctlGetBlockSize(b, cgdDevNum(gbs.major, gbs.minor), gbs.bs, gbs.len);
}

static int doStartBackup(struct Backup *b, const void __user *arg)
{
	struct StartBackup sb;
	int ret = copyRecord(&sb, arg, sizeof(sb));

	if (ret)
		return ret;
	return ioctlStartBackup(b, cgdDevNum(sb.major, sb.minor), sb.totalBlocks, sb.maxCacheBlocks);
}

static int doSnapShot(struct Backup *b, const void __user *arg)
{
	struct SnapShot ss;
	int ret = copyRecord(&ss, arg, sizeof(ss));

	if (ret)
		return ret;
	return ioctlSnapShot(b, ss.amsKey, ss.len);
}

static int doGetState(struct Backup *b, const void __user *arg)
{
	struct GetState gs;
	int ret = copyRecord(&gs, arg, sizeof(gs));

	if (ret)
		return ret;
	return ioctlGetState(b, gs.s, gs.len);
}

static int doGetAutoMapState(struct Backup *b, const void __user *arg)
{
	struct GetAutoMapState gams;
	int ret = copyRecord(&gams, arg, sizeof(gams));

	if (ret)
		return ret;
	return ioctlGetAutoMapState(b, gams.ams, gams.len);
}

/*
 * Commands 7 and 8 carry a pointer to a UserBlockMap: both records are
 * copied (16 bytes each); the record's len is not looked at.
 */
static int copyUserBlockMap(struct UserBlockMap *ubm, const void __user *arg)
{
	struct LoadBlockMap lbm;	/* same layout as GetAutoMap */
	int ret = copyRecord(&lbm, arg, sizeof(lbm));

	if (ret)
		return ret;
	return copyRecord(ubm, lbm.bm, sizeof(*ubm));
}

static int doLoadBlockMap(struct Backup *b, const void __user *arg)
{
	struct UserBlockMap ubm;
	int ret = copyUserBlockMap(&ubm, arg);

	if (ret)
		return ret;
	return ioctlLoadBlockMap(b, &ubm);
}

static int doGetAutoMap(struct Backup *b, const void __user *arg)
{
	struct UserBlockMap ubm;
	int ret = copyUserBlockMap(&ubm, arg);

	if (ret)
		return ret;
	return ioctlGetAutoMap(b, &ubm);
}

static int doGetDirtyBlock(struct Backup *b, const void __user *arg)
{
	struct DirtyBlock db;
	int ret = copyRecord(&db, arg, sizeof(db));

	if (ret)
		return ret;
	return ioctlGetDirtyBlock(b, db.blockNum);
}

static int doReadBlocks(struct Backup *b, const void __user *arg)
{
	struct ReadBlocks rb;
	int ret = copyRecord(&rb, arg, sizeof(rb));

	if (ret)
		return ret;
	return ioctlReadBlocks(b, rb.startBlockNum, rb.numBlocks, rb.data);
}

static int doGetStats(struct Backup *b, const void __user *arg)
{
	struct GetStats gst;
	int ret = copyRecord(&gst, arg, sizeof(gst));

	if (ret)
		return ret;
	return ioctlGetStats(b, gst.stats, gst.len);
}

/* Commands without a record: the argument is not read. */
static int doNoRecord(struct Backup *b, unsigned int cmd)
{
	switch (cmd) {
	case CGD_NO_LOAD_FROM_AUTOMAP:
		return ioctlNoLoadFromAutoMap(b);
	case CGD_NO_START_AUTOMAP:
		return ioctlNoStartAutoMap(b);
	case CGD_SYNC:
		return ioctlSync(b);
	}
	return badCommand();
}

/* The ioctl entry of the control device: returns the command's status. */
int cgdIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg)
{
	struct Backup *b;
	void __user *uarg = (void __user *)arg;

	if (atomic_read(&initDone) != 1)
		return CGD_ERR_NOT_READY;
	b = (struct Backup *)file->private_data;
	if (!b)
		return CGD_ERR_INVALID;
	atomic_inc(&b->ioctlCount);

	switch (cmd) {
	case CGD_GET_BLOCK_SIZE:
		return doGetBlockSize(b, uarg);
	case CGD_START_BACKUP:
		return doStartBackup(b, uarg);
	case CGD_SNAPSHOT:
		return doSnapShot(b, uarg);
	case CGD_GET_STATE:
		return doGetState(b, uarg);
	case CGD_GET_AUTOMAP_STATE:
		return doGetAutoMapState(b, uarg);
	case CGD_NO_LOAD_FROM_AUTOMAP:
	case CGD_NO_START_AUTOMAP:
	case CGD_SYNC:
		return doNoRecord(b, cmd);
	case CGD_LOAD_BLOCK_MAP:
		return doLoadBlockMap(b, uarg);
	case CGD_GET_AUTOMAP:
		return doGetAutoMap(b, uarg);
	case CGD_GET_DIRTY_BLOCK:
		return doGetDirtyBlock(b, uarg);
	case CGD_READ_BLOCKS:
		return doReadBlocks(b, uarg);
	case CGD_GET_VERSION_MAJOR:
		return putVersion(uarg, CGD_VERSION_MAJOR);
	case CGD_GET_VERSION_MINOR:
		return putVersion(uarg, CGD_VERSION_MINOR);
	case CGD_SHUTDOWN:
		return cgdShutdown();
	case CGD_CMD_16:
		return CGD_ERR_UNAVAILABLE;
	case CGD_GET_STATS:
		return doGetStats(b, uarg);
	default:
		return badCommand();
	}
}
