#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/kdev_t.h>
#include <linux/spinlock.h>
#include <linux/rwsem.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
#include <linux/mutex.h>
#endif

struct page;
struct vm_area_struct;
struct poll_table_struct;
struct module;
struct gendisk;
struct hd_struct;
struct super_block;
struct file_system_type;

/* open flags, as user space has them */
#ifndef O_RDONLY
#define O_ACCMODE 00000003
#define O_RDONLY 00000000
#define O_WRONLY 00000001
#define O_RDWR 00000002
#define O_CREAT 00000100
#define O_EXCL 00000200
#define O_TRUNC 00001000
#define O_APPEND 00002000
#define O_NONBLOCK 00004000
#define O_DIRECT 00040000
#endif

#define FMODE_READ 1
#define FMODE_WRITE 2

#define READ 0
#define WRITE 1
#define READA 2		/* read-ahead: may be dropped */

struct inode {
	unsigned long i_ino;
	umode_t i_mode;
	dev_t i_rdev;
	loff_t i_size;
	atomic_t i_count;
	struct block_device *i_bdev;
	void *i_private;
};

struct dentry {
	struct inode *d_inode;
	const char *d_name;
};

typedef void *fl_owner_t;
typedef int (*filldir_t)(void *, const char *, int, loff_t, unsigned long, unsigned);

/* An open file. private_data belongs to the driver. */
struct file {
	struct list_head f_list;
	struct dentry *f_dentry;
	const struct file_operations *f_op;
	atomic_t f_count;
	unsigned int f_flags;
	mode_t f_mode;
	loff_t f_pos;
	void *private_data;
};

/* The 2.6 file operations of a driver. */
struct file_operations {
	struct module *owner;
	loff_t (*llseek)(struct file *, loff_t, int);
	ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
	int (*readdir)(struct file *, void *, filldir_t);
	unsigned int (*poll)(struct file *, struct poll_table_struct *);
	int (*ioctl)(struct inode *, struct file *, unsigned int, unsigned long);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	long (*compat_ioctl)(struct file *, unsigned int, unsigned long);
	int (*mmap)(struct file *, struct vm_area_struct *);
	int (*open)(struct inode *, struct file *);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,18)
	int (*flush)(struct file *, fl_owner_t id);
#else
	int (*flush)(struct file *);
#endif
	int (*release)(struct inode *, struct file *);
	int (*fsync)(struct file *, struct dentry *, int datasync);
};

__KERNEL_BEGIN_DECLS
/*
 * Character devices.  register_chrdev with major 0 picks a free major and
 * returns it; otherwise it returns 0, or -EBUSY when the major is taken.
 */
int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops);
int unregister_chrdev(unsigned int major, const char *name);
__KERNEL_END_DECLS

static inline unsigned iminor(const struct inode *inode)
{
	return MINOR(inode->i_rdev);
}
static inline unsigned imajor(const struct inode *inode)
{
	return MAJOR(inode->i_rdev);
}

/*
 * A block device: a whole disk or one partition of it, found by number with
 * bdget (for any number: whether a disk serves it shows at the open).
 * bd_disk, bd_contains (the whole disk's block device; itself for a whole
 * disk) and bd_part (the partition; NULL for a whole disk) are set by the
 * first open (blkdev_get: a mount, a process) and cleared by the last close
 * (blkdev_put); they are valid only while the device is open.  bd_openers
 * and those fields are protected by the device's open lock (bd_sem on
 * 2.6.12, bd_mutex on 2.6.18).  The whole disk's open lock also guards its
 * partition table, and a partition rescan holds it while it reads the table
 * through the disk's queue.
 */
struct block_device {
	dev_t bd_dev;
	struct inode *bd_inode;		/* i_size: the device's size while open */
	int bd_openers;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
	struct mutex bd_mutex;
	struct mutex bd_mount_mutex;	/* held from freeze_bdev to thaw_bdev */
#else
	struct semaphore bd_sem;
	struct semaphore bd_mount_sem;	/* held from freeze_bdev to thaw_bdev */
#endif
	struct list_head bd_inodes;
	void *bd_holder;
	int bd_holders;
	struct block_device *bd_contains;
	unsigned bd_block_size;
	struct hd_struct *bd_part;
	unsigned bd_part_count;		/* opens of the disk's partitions (whole disk only) */
	int bd_invalidated;
	struct gendisk *bd_disk;
	struct list_head bd_list;
	unsigned long bd_private;
	void *standin;		/* the stand-in's private data */
};

/* s_frozen */
#define SB_UNFROZEN 0
#define SB_FREEZE_WRITE 1
#define SB_FREEZE_TRANS 2

struct super_operations {
	void (*write_super)(struct super_block *);
	int (*sync_fs)(struct super_block *sb, int wait);
	void (*write_super_lockfs)(struct super_block *);
	void (*unlockfs)(struct super_block *);
	void (*put_super)(struct super_block *);
};

struct file_system_type {
	const char *name;
	int fs_flags;
};

/* A mounted file system. */
struct super_block {
	struct list_head s_list;
	dev_t s_dev;
	unsigned long s_blocksize;
	unsigned char s_blocksize_bits;
	unsigned char s_dirt;
	unsigned long long s_maxbytes;
	struct file_system_type *s_type;
	struct super_operations *s_op;
	unsigned long s_flags;
	unsigned long s_magic;
	struct rw_semaphore s_umount;
	int s_count;
	atomic_t s_active;
	int s_frozen;
	struct block_device *s_bdev;
	void *s_fs_info;
	char s_id[32];
	void *standin;		/* the stand-in's private data */
};

/* s_flags */
#define MS_RDONLY 1

__KERNEL_BEGIN_DECLS
/*
 * The block device of any number, with a reference taken (NULL only when
 * memory runs out).  bdput drops the reference.
 */
struct block_device *bdget(dev_t dev);
void bdput(struct block_device *bdev);

/*
 * Opens a block device: 0, or -ENXIO when no disk (or no such partition)
 * serves its number.  The open takes over the caller's bdget reference,
 * also when it fails (the reference is dropped then); blkdev_put closes
 * the device and drops it.  May sleep.
 */
int blkdev_get(struct block_device *bdev, mode_t mode, unsigned flags);
int blkdev_put(struct block_device *bdev);
/* Exclusive use of an open device by a holder (a mount): 0 or -EBUSY. */
int bd_claim(struct block_device *bdev, void *holder);
void bd_release(struct block_device *bdev);

/* Super block of the file system mounted on bdev, held; NULL if none. */
struct super_block *get_super(struct block_device *bdev);
void drop_super(struct super_block *sb);

/*
 * Syncs and freezes the file system on bdev: new writes through it wait until
 * the thaw, and its lockfs hook quiesces what it keeps of its own.  A file
 * system mounted read-only is left alone.  Returns its super block, or NULL
 * when nothing is mounted; either way the mount lock (bd_mount_sem on
 * 2.6.12; bd_mount_mutex on 2.6.18, which the freezing task must also thaw)
 * is held until thaw_bdev.
 */
struct super_block *freeze_bdev(struct block_device *bdev);
void thaw_bdev(struct block_device *bdev, struct super_block *sb);
int fsync_bdev(struct block_device *bdev);
int sync_blockdev(struct block_device *bdev);
__KERNEL_END_DECLS

#endif
