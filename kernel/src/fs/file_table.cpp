// Open files and the process-wide descriptor table of the stand-in.
//
// Every open of a device node gets its own struct file, dentry and inode.
// The file's references: one for its descriptor, one for each system call
// in progress on it.  The last reference calls the driver's release and then
// drops the module reference that the open took through fops->owner, so a
// module stays loaded while any of its files exists.
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "fs/vfs.h"

namespace standin::vfs {
namespace {

struct OpenFile : file {
	struct dentry dentry_;
	struct inode inode_;
	std::string path;
};

constexpr int kFirstFd = 3;
constexpr int kMaxFds = 1024;
constexpr unsigned kCharMode = 0020000 | 0600;	/* S_IFCHR, rw owner */

// Descriptor table: slot fd - kFirstFd.  A reserved slot (an open in
// progress) holds kReserved.  Protected by fds_lock, a leaf lock: no driver
// code runs under it.
struct file reserved_slot;
struct file *const kReserved = &reserved_slot;
std::mutex fds_lock;
std::vector<struct file *> fds;

// Lowest free descriptor, reserved for an open in progress; -EMFILE.
int fd_reserve()
{
	std::lock_guard<std::mutex> guard(fds_lock);
	for (size_t i = 0; i < fds.size(); i++) {
		if (!fds[i]) {
			fds[i] = kReserved;
			return kFirstFd + static_cast<int>(i);
		}
	}
	if (fds.size() >= static_cast<size_t>(kMaxFds - kFirstFd))
		return -EMFILE;
	fds.push_back(kReserved);
	return kFirstFd + static_cast<int>(fds.size() - 1);
}

// Fills (file != NULL) or frees (file == NULL) a reserved slot.
void fd_settle(int fd, struct file *file)
{
	std::lock_guard<std::mutex> guard(fds_lock);
	fds[fd - kFirstFd] = file;
}

// The open file of a descriptor, or NULL; the caller holds fds_lock.
static struct file *__fd_file(int fd)
{
	if (fd < kFirstFd || fd - kFirstFd >= static_cast<int>(fds.size()))
		return nullptr;
	struct file *file = fds[fd - kFirstFd];
	return file == kReserved ? nullptr : file;
}

// Takes a descriptor's file out of the table; NULL when fd is not open.
struct file *fd_remove(int fd)
{
	std::lock_guard<std::mutex> guard(fds_lock);
	struct file *file = __fd_file(fd);
	if (!file)
		return nullptr;
	fds[fd - kFirstFd] = nullptr;
	return file;
}

OpenFile *new_file(const char *path, int flags, dev_t dev, const struct file_operations *fops)
{
	auto *f = new OpenFile{};
	f->path = path;
	f->inode_.i_ino = dev;
	f->inode_.i_mode = kCharMode;
	f->inode_.i_rdev = dev;
	atomic_set(&f->inode_.i_count, 1);
	f->dentry_.d_inode = &f->inode_;
	f->dentry_.d_name = f->path.c_str();
	f->f_list.next = f->f_list.prev = &f->f_list;
	f->f_dentry = &f->dentry_;
	f->f_op = fops;
	atomic_set(&f->f_count, 1);
	f->f_flags = flags;
	switch (flags & O_ACCMODE) {
	case O_RDONLY: f->f_mode = FMODE_READ; break;
	case O_WRONLY: f->f_mode = FMODE_WRITE; break;
	case O_RDWR: f->f_mode = FMODE_READ | FMODE_WRITE; break;
	default: f->f_mode = 0; break;
	}
	return f;
}

// Runs the driver's open.  0, or -errno; a driver that answers with a
// positive number has not opened the file (the kernel only knows 0 and
// negative errors) and the open fails with -EIO.
int driver_open(OpenFile *f, const ChrdevRef &drv)
{
	if (!drv.fops->open)
		return 0;
	int ret = drv.fops->open(&f->inode_, f);
	if (ret > 0) {
		printk(KERN_WARNING "%s: driver %s (major %u) returned %d from open; "
		       "failing the open with -EIO\n", "chrdev_open", drv.name.c_str(),
		       MAJOR(f->inode_.i_rdev), ret);
		ret = -EIO;
	}
	return ret;
}

// Opens a character device node into a new struct file: the driver lookup
// takes the module reference, the driver's open runs, and a failed open
// drops the reference again without calling release.
int open_chrdev(const char *path, int flags, dev_t dev, struct file **out)
{
	ChrdevRef drv;
	int ret = chrdev_get(dev, &drv);
	if (ret)
		return ret;
	OpenFile *f = new_file(path, flags, dev, drv.fops);
	ret = driver_open(f, drv);
	if (ret) {
		module_put(drv.fops->owner);
		delete f;
		return ret;
	}
	*out = f;
	return 0;
}

}  // namespace

struct file *fget(int fd)
{
	std::lock_guard<std::mutex> guard(fds_lock);
	struct file *file = __fd_file(fd);
	if (!file)
		return nullptr;
	atomic_inc(&file->f_count);
	return file;
}

void fput(struct file *file)
{
	if (!atomic_dec_and_test(&file->f_count))
		return;
	auto *f = static_cast<OpenFile *>(file);
	const struct file_operations *fops = f->f_op;
	if (fops->release)
		fops->release(&f->inode_, f);
	struct module *owner = fops->owner;
	delete f;
	module_put(owner);
}

struct inode *file_inode(struct file *file)
{
	return &static_cast<OpenFile *>(file)->inode_;
}

int do_open(const char *path, int flags)
{
	if (!path)
		return -EFAULT;
	Node node;
	int ret = node_lookup(path, &node);
	if (ret)
		return ret;
	if (node.type != 'c')
		return -ENXIO;	/* no block device files on the stand-in */
	int fd = fd_reserve();
	if (fd < 0)
		return fd;
	struct file *file = nullptr;
	ret = open_chrdev(path, flags, node.dev, &file);
	fd_settle(fd, ret ? nullptr : file);
	return ret ? ret : fd;
}

int do_close(int fd)
{
	struct file *file = fd_remove(fd);
	if (!file)
		return -EBADF;
	int ret = 0;
	if (file->f_op->flush) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,18)
		ret = file->f_op->flush(file, nullptr);
#else
		ret = file->f_op->flush(file);
#endif
	}
	fput(file);
	return ret;
}

}  // namespace standin::vfs
