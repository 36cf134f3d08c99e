// System calls of user programs on the stand-in, with Linux's conventions:
// -1 and errno on failure.  They run on the calling host thread, whose task
// is `current` for the driver code they call.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <thread>

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kdev_t.h>
#include <linux/poll.h>

#include "fs/vfs.h"
#include "locking/lockcheck_hooks.h"
#include "standin/user.h"

using namespace standin::vfs;

namespace {

// What a file without a poll operation reports: always ready.
constexpr unsigned kDefaultPollMask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
constexpr nfds_t kMaxPollFds = 1024;
constexpr unsigned kMaxMinor = MINORMASK;

long fail(long err)
{
	errno = static_cast<int>(-err);
	return -1;
}

// Holds a reference on the file of fd for the length of one system call.
class FileRef {
public:
	explicit FileRef(int fd) : file_(fget(fd)) {}
	~FileRef() { if (file_) fput(file_); }
	FileRef(const FileRef &) = delete;
	FileRef &operator=(const FileRef &) = delete;
	struct file *get() const { return file_; }
private:
	struct file *file_;
};

// read and write share their checks: the file must be open for the
// direction, the driver must have the operation, the count must fit a
// ssize_t.  The position is passed through a copy, as the kernel does.
ssize_t do_rw(int fd, char *buf, size_t count, bool writing)
{
	FileRef ref(fd);
	struct file *file = ref.get();
	if (!file)
		return fail(-EBADF);
	if (!(file->f_mode & (writing ? FMODE_WRITE : FMODE_READ)))
		return fail(-EBADF);
	const struct file_operations *fops = file->f_op;
	if (!(writing ? !!fops->write : !!fops->read) || static_cast<ssize_t>(count) < 0)
		return fail(-EINVAL);
	loff_t pos = __atomic_load_n(&file->f_pos, __ATOMIC_RELAXED);
	ssize_t ret = writing ? fops->write(file, buf, count, &pos) : fops->read(file, buf, count, &pos);
	__atomic_store_n(&file->f_pos, pos, __ATOMIC_RELAXED);
	return ret < 0 ? fail(ret) : ret;
}

// One pass over the poll set; the number of entries with events.
int poll_once(struct pollfd *fds, nfds_t nfds)
{
	int ready = 0;
	for (nfds_t i = 0; i < nfds; i++) {
		fds[i].revents = 0;
		if (fds[i].fd < 0)
			continue;
		FileRef ref(fds[i].fd);
		struct file *file = ref.get();
		unsigned mask = POLLNVAL;
		if (file) {
			poll_table table = {nullptr};
			mask = file->f_op->poll ? file->f_op->poll(file, &table) : kDefaultPollMask;
			mask &= static_cast<unsigned>(fds[i].events) | POLLERR | POLLHUP;
		}
		fds[i].revents = static_cast<short>(mask);
		if (mask)
			ready++;
	}
	return ready;
}

}  // namespace

namespace standin::user {

int open(const char *path, int flags)
{
	int ret = do_open(path, flags);
	return ret < 0 ? static_cast<int>(fail(ret)) : ret;
}

int close(int fd)
{
	int ret = do_close(fd);
	return ret < 0 ? static_cast<int>(fail(ret)) : 0;
}

ssize_t read(int fd, void *buf, std::size_t count)
{
	return do_rw(fd, static_cast<char *>(buf), count, false);
}

ssize_t write(int fd, const void *buf, std::size_t count)
{
	return do_rw(fd, static_cast<char *>(const_cast<void *>(buf)), count, true);
}

// Drivers on the stand-in have no wait queues to wake a poller, so a poll
// that finds nothing ready looks again every millisecond until its timeout
// (for ever when the timeout is negative).
int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms)
{
	if (nfds > kMaxPollFds)
		return static_cast<int>(fail(-EINVAL));
	if (nfds && !fds)
		return static_cast<int>(fail(-EFAULT));
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		int ready = poll_once(fds, nfds);
		if (ready || timeout_ms == 0)
			return ready;
		if (timeout_ms > 0 && std::chrono::steady_clock::now() >= deadline)
			return 0;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
}

int ioctl(int fd, unsigned long cmd, unsigned long arg)
{
	FileRef ref(fd);
	struct file *file = ref.get();
	if (!file)
		return static_cast<int>(fail(-EBADF));
	const struct file_operations *fops = file->f_op;
	long ret = -ENOTTY;
	if (fops->unlocked_ioctl)
		ret = fops->unlocked_ioctl(file, static_cast<unsigned>(cmd), arg);
	else if (fops->ioctl)
		ret = fops->ioctl(file_inode(file), file, static_cast<unsigned>(cmd), arg);
	standin::lockcheck::return_to_user();
	return ret < 0 ? static_cast<int>(fail(ret)) : static_cast<int>(ret);
}

int mknod(const char *path, char type, unsigned int major, unsigned int minor)
{
	if (!path)
		return static_cast<int>(fail(-EFAULT));
	if (!*path)
		return static_cast<int>(fail(-ENOENT));
	if (major > kMaxMajor || minor > kMaxMinor)
		return static_cast<int>(fail(-EINVAL));
	int ret = node_create(path, type, MKDEV(major, minor));
	return ret < 0 ? static_cast<int>(fail(ret)) : 0;
}

}  // namespace standin::user
