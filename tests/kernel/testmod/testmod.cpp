/*
 * A small module for the loader and character-device tests.  It registers
 * a character device whose operations report what they saw, and counts its
 * loads in a static so that a reload shows whether its statics are fresh.
 *
 * Built in variants (TESTMOD_NAME, TESTMOD_MAJOR, TESTMOD_INIT_RESULT): a
 * variant whose init fails leaves its device registered, as a careless
 * driver would, so the tests can see the loader clean up after it.
 */
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/poll.h>

#include "testmod.h"

#ifndef TESTMOD_NAME
#define TESTMOD_NAME "testmod"
#endif
#ifndef TESTMOD_MAJOR
#define TESTMOD_MAJOR 240
#endif
#ifndef TESTMOD_INIT_RESULT
#define TESTMOD_INIT_RESULT 0
#endif


static int loads;
static atomic_t opens = ATOMIC_INIT(0);
static atomic_t releases = ATOMIC_INIT(0);

static int tmOpen(struct inode *inode, struct file *file)
{
	atomic_inc(&opens);
	file->private_data = &loads;
	return 0;
}

static int tmRelease(struct inode *inode, struct file *file)
{
	atomic_inc(&releases);
	printk(KERN_INFO "%s: release %d\n", TESTMOD_NAME, atomic_read(&releases));
	return 0;
}

static ssize_t tmRead(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	return 0;
}

static int tmIoctl(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg)
{
	switch (cmd) {
	case TESTMOD_LOADS:
		return loads;
	case TESTMOD_OPENS:
		return atomic_read(&opens);
	case TESTMOD_RELEASES:
		return atomic_read(&releases);
	case TESTMOD_REFS:
		return (int)module_refcount(THIS_MODULE);
	}
	return -EINVAL;
}

static struct file_operations tmFileOps = {
	.owner = THIS_MODULE,
	.read = tmRead,
	.ioctl = tmIoctl,
	.open = tmOpen,
	.release = tmRelease,
};

extern "C" int tmInit(void)
{
	loads++;
	printk(KERN_INFO "%s: init %d\n", TESTMOD_NAME, loads);
	int ret = register_chrdev(TESTMOD_MAJOR, TESTMOD_NAME, &tmFileOps);
	if (ret)
		return ret;
	return TESTMOD_INIT_RESULT;
}

extern "C" void tmExit(void)
{
	unregister_chrdev(TESTMOD_MAJOR, TESTMOD_NAME);
	printk(KERN_INFO "%s: exit %d\n", TESTMOD_NAME, loads);
}

module_init(tmInit);
module_exit(tmExit);
MODULE_LICENSE("GPL");
