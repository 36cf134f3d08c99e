// The system calls over a driver: Linux's return conventions, the life of an
// open file (release exactly once, at the last reference) and the module
// references that open files hold.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "support/kernel_test.h"

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/poll.h>

namespace {

constexpr unsigned kMajor = 230;

// What the test driver answers, and what it saw.
struct Script {
	int open_result = 0;
	ssize_t rw_result = 0;		/* < 0: returned; otherwise count is returned */
	long ioctl_result = 0;
	unsigned poll_mask = 0;
	int flush_result = 0;
	bool block_read = false;	/* read waits until release_read() */
	std::atomic<int> opens{0}, releases{0}, flushes{0};
	unsigned last_cmd = 0;
	unsigned long last_arg = 0;
	std::mutex gate_lock;
	std::condition_variable gate;
	bool read_entered = false, read_released = false;
} script;

struct module fakeModule = {MODULE_STATE_LIVE, "fakemod", ATOMIC_INIT(0), nullptr, nullptr};

int tOpen(struct inode *, struct file *file)
{
	script.opens++;
	file->private_data = &script;
	return script.open_result;
}

int tRelease(struct inode *, struct file *file)
{
	EXPECT_EQ(&script, file->private_data);
	script.releases++;
	return 0;
}

ssize_t tRead(struct file *, char *buf, size_t count, loff_t *pos)
{
	if (script.block_read) {
		std::unique_lock<std::mutex> guard(script.gate_lock);
		script.read_entered = true;
		script.gate.notify_all();
		script.gate.wait(guard, [] { return script.read_released; });
	}
	if (script.rw_result < 0)
		return script.rw_result;
	std::memset(buf, 'r', count);
	*pos += count;
	return count;
}

ssize_t tWrite(struct file *, const char *buf, size_t count, loff_t *pos)
{
	if (script.rw_result < 0)
		return script.rw_result;
	*pos += count;
	return count;
}

unsigned tPoll(struct file *, struct poll_table_struct *)
{
	return script.poll_mask;
}

int tIoctl(struct inode *inode, struct file *, unsigned cmd, unsigned long arg)
{
	EXPECT_EQ(MKDEV(kMajor, 0u), inode->i_rdev);
	script.last_cmd = cmd;
	script.last_arg = arg;
	return static_cast<int>(script.ioctl_result);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,18)
int tFlush(struct file *, fl_owner_t)
#else
int tFlush(struct file *)
#endif
{
	script.flushes++;
	return script.flush_result;
}

struct file_operations fullOps = [] {
	struct file_operations ops = {};
	ops.owner = &fakeModule;
	ops.read = tRead;
	ops.write = tWrite;
	ops.poll = tPoll;
	ops.ioctl = tIoctl;
	ops.open = tOpen;
	ops.flush = tFlush;
	ops.release = tRelease;
	return ops;
}();
struct file_operations bareOps = {};	/* no operation at all */

void resetScript()
{
	script.open_result = 0;
	script.rw_result = 0;
	script.ioctl_result = 0;
	script.poll_mask = 0;
	script.flush_result = 0;
	script.block_read = false;
	script.opens = script.releases = script.flushes = 0;
	script.read_entered = script.read_released = false;
}

class SyscallTest : public KernelTest {
protected:
	void SetUp() override
	{
		KernelTest::SetUp();
		resetScript();
		fakeModule.state = MODULE_STATE_LIVE;
		ASSERT_EQ(0, register_chrdev(kMajor, "tdrv", &fullOps));
		ASSERT_EQ(0, register_chrdev(kMajor + 1, "bare", &bareOps));
		standin::user::mknod("/dev/tdrv", 'c', kMajor, 0);	/* kept between cases */
		standin::user::mknod("/dev/bare", 'c', kMajor + 1, 0);
	}
	void TearDown() override
	{
		// Every case closes what it opened: the descriptor numbers and the
		// module's references must be back where they started.
		EXPECT_EQ(3, standin::user::open("/dev/bare", O_RDONLY));
		EXPECT_EQ(0, standin::user::close(3));
		EXPECT_EQ(0u, module_refcount(&fakeModule));
		EXPECT_EQ(0, unregister_chrdev(kMajor, "tdrv"));
		EXPECT_EQ(0, unregister_chrdev(kMajor + 1, "bare"));
		KernelTest::TearDown();
	}

	static int expectFailure(long ret, int err)
	{
		EXPECT_EQ(-1, ret);
		EXPECT_EQ(err, errno);
		return static_cast<int>(ret);
	}
};

TEST_F(SyscallTest, NodesAndOpenFailuresBeforeTheDriver)
{
	// The control device's node is there from the start; nothing serves it yet.
	expectFailure(standin::user::mknod("/dev/cowguard", 'c', 120, 0), EEXIST);
	expectFailure(standin::user::open("/dev/cowguard", O_RDWR), ENXIO);

	expectFailure(standin::user::open("/dev/none", O_RDWR), ENOENT);
	expectFailure(standin::user::open(nullptr, O_RDWR), EFAULT);
	ASSERT_EQ(0, standin::user::mknod("/dev/nodrv", 'c', 99, 0));
	expectFailure(standin::user::open("/dev/nodrv", O_RDWR), ENXIO);
	ASSERT_EQ(0, standin::user::mknod("/dev/blk", 'b', kMajor, 0));
	expectFailure(standin::user::open("/dev/blk", O_RDWR), ENXIO);

	expectFailure(standin::user::mknod("/dev/tdrv", 'c', 1, 1), EEXIST);
	expectFailure(standin::user::mknod("/dev/x", 'p', 1, 1), EINVAL);
	expectFailure(standin::user::mknod("/dev/x", 'c', 4096, 0), EINVAL);
	expectFailure(standin::user::mknod("", 'c', 1, 1), ENOENT);
	EXPECT_EQ(0, script.opens);
}

TEST_F(SyscallTest, DescriptorsStartAtThreeAndTheLowestFreeIsReused)
{
	int a = standin::user::open("/dev/tdrv", O_RDWR);
	int b = standin::user::open("/dev/tdrv", O_RDWR);
	int c = standin::user::open("/dev/bare", O_RDWR);
	EXPECT_EQ(3, a);
	EXPECT_EQ(4, b);
	EXPECT_EQ(5, c);
	EXPECT_EQ(0, standin::user::close(a));
	EXPECT_EQ(3, standin::user::open("/dev/bare", O_RDONLY));
	EXPECT_EQ(0, standin::user::close(c));

	for (int fd : {-1, 0, 2, 6, 1000}) {
		char buf[4];
		struct pollfd pfd = {fd, POLLIN, 0};
		expectFailure(standin::user::close(fd), EBADF);
		expectFailure(standin::user::read(fd, buf, 4), EBADF);
		expectFailure(standin::user::write(fd, buf, 4), EBADF);
		expectFailure(standin::user::ioctl(fd, 1, 0), EBADF);
		if (fd >= 0) {
			EXPECT_EQ(1, standin::user::poll(&pfd, 1, 0));
			EXPECT_EQ(POLLNVAL, pfd.revents);
		}
	}
	EXPECT_EQ(0, standin::user::close(3));
	EXPECT_EQ(0, standin::user::close(b));
}

TEST_F(SyscallTest, FailedOpenDropsTheModuleReferenceAndNeverReleases)
{
	script.open_result = -EACCES;
	expectFailure(standin::user::open("/dev/tdrv", O_RDWR), EACCES);
	EXPECT_EQ(0u, module_refcount(&fakeModule));

	script.open_result = 3;	/* not a kernel result: the open fails as an I/O error */
	expectFailure(standin::user::open("/dev/tdrv", O_RDWR), EIO);
	EXPECT_EQ(0u, module_refcount(&fakeModule));
	EXPECT_EQ(1u, standin::log::count(mark_, "<4>chrdev_open: driver tdrv (major 230) "
					     "returned 3 from open; failing the open with -EIO"));
	EXPECT_EQ(2, script.opens);
	EXPECT_EQ(0, script.releases);

	script.open_result = 0;
	int fd = standin::user::open("/dev/tdrv", O_RDWR);
	EXPECT_EQ(3, fd) << "a failed open kept its descriptor";
	EXPECT_EQ(0, standin::user::close(fd));
}

TEST_F(SyscallTest, OpenFilesHoldModuleReferencesAndAGoingModuleIsNotOpened)
{
	int a = standin::user::open("/dev/tdrv", O_RDWR);
	int b = standin::user::open("/dev/tdrv", O_RDWR);
	EXPECT_EQ(2u, module_refcount(&fakeModule));
	EXPECT_EQ(0, standin::user::close(a));
	EXPECT_EQ(1u, module_refcount(&fakeModule));

	fakeModule.state = MODULE_STATE_GOING;
	expectFailure(standin::user::open("/dev/tdrv", O_RDWR), ENXIO);
	EXPECT_EQ(2, script.opens) << "the driver's open ran for a going module";
	EXPECT_EQ(0, standin::user::close(b));
	EXPECT_EQ(0u, module_refcount(&fakeModule));
	EXPECT_EQ(2, script.releases);
}

TEST_F(SyscallTest, ReadAndWriteFollowTheDriverAndTheOpenMode)
{
	int fd = standin::user::open("/dev/tdrv", O_RDWR);
	char buf[8] = {};
	EXPECT_EQ(5, standin::user::read(fd, buf, 5));
	EXPECT_STREQ("rrrrr", buf);
	EXPECT_EQ(3, standin::user::write(fd, buf, 3));
	EXPECT_EQ(0, standin::user::read(fd, buf, 0));

	script.rw_result = -EAGAIN;
	expectFailure(standin::user::read(fd, buf, 5), EAGAIN);
	expectFailure(standin::user::write(fd, buf, 5), EAGAIN);
	expectFailure(standin::user::read(fd, buf, static_cast<size_t>(-1)), EINVAL);

	int ro = standin::user::open("/dev/tdrv", O_RDONLY);
	int wo = standin::user::open("/dev/tdrv", O_WRONLY);
	expectFailure(standin::user::write(ro, buf, 1), EBADF);
	expectFailure(standin::user::read(wo, buf, 1), EBADF);

	int bare = standin::user::open("/dev/bare", O_RDWR);
	expectFailure(standin::user::read(bare, buf, 1), EINVAL);
	expectFailure(standin::user::write(bare, buf, 1), EINVAL);
	for (int f : {fd, ro, wo, bare})
		EXPECT_EQ(0, standin::user::close(f));
}

TEST_F(SyscallTest, IoctlPassesNonNegativeResultsAsTheyAre)
{
	int fd = standin::user::open("/dev/tdrv", O_RDWR);
	script.ioctl_result = 5;	/* a driver status, not an error */
	EXPECT_EQ(5, standin::user::ioctl(fd, 0xc0182a01ul, 0x1234));
	EXPECT_EQ(0xc0182a01u, script.last_cmd);
	EXPECT_EQ(0x1234ul, script.last_arg);
	script.ioctl_result = 0;
	EXPECT_EQ(0, standin::user::ioctl(fd, 7, 0));
	script.ioctl_result = -EFAULT;
	expectFailure(standin::user::ioctl(fd, 7, 0), EFAULT);

	int bare = standin::user::open("/dev/bare", O_RDWR);
	expectFailure(standin::user::ioctl(bare, 7, 0), ENOTTY);
	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(0, standin::user::close(bare));
}

TEST_F(SyscallTest, PollReportsTheRequestedEventsOfTheDriversMask)
{
	int fd = standin::user::open("/dev/tdrv", O_RDWR);
	int bare = standin::user::open("/dev/bare", O_RDWR);
	struct pollfd fds[3] = {{fd, POLLIN | POLLOUT, 7}, {bare, POLLIN, 7}, {-1, POLLIN, 7}};

	script.poll_mask = 0;
	EXPECT_EQ(1, standin::user::poll(fds, 3, 0));
	EXPECT_EQ(0, fds[0].revents);
	EXPECT_EQ(POLLIN, fds[1].revents) << "a file without poll is always ready";
	EXPECT_EQ(0, fds[2].revents);

	script.poll_mask = POLLIN | POLLPRI | POLLHUP;
	EXPECT_EQ(2, standin::user::poll(fds, 3, 0));
	EXPECT_EQ(POLLIN | POLLHUP, fds[0].revents);

	struct pollfd one = {fd, POLLOUT, 0};
	script.poll_mask = 0;
	EXPECT_EQ(0, standin::user::poll(&one, 1, 5));
	EXPECT_EQ(0, one.revents);
	expectFailure(standin::user::poll(nullptr, 1, 0), EFAULT);
	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(0, standin::user::close(bare));
}

TEST_F(SyscallTest, CloseFlushesEveryTimeAndReleasesAtTheLastReference)
{
	int fd = standin::user::open("/dev/tdrv", O_RDWR);
	script.flush_result = -EIO;
	expectFailure(standin::user::close(fd), EIO);
	EXPECT_EQ(1, script.flushes);
	EXPECT_EQ(1, script.releases) << "a failed flush still closes the file";
	expectFailure(standin::user::close(fd), EBADF);
	EXPECT_EQ(1, script.releases);
	EXPECT_EQ(0u, module_refcount(&fakeModule));
}

TEST_F(SyscallTest, CloseDuringAReadReleasesOnlyWhenTheReadIsDone)
{
	int fd = standin::user::open("/dev/tdrv", O_RDWR);
	script.block_read = true;
	ssize_t got = 0;
	char buf[4];
	std::thread reader([&] { got = standin::user::read(fd, buf, 4); });
	{
		std::unique_lock<std::mutex> guard(script.gate_lock);
		script.gate.wait(guard, [] { return script.read_entered; });
	}
	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(0, script.releases) << "release ran under a read in progress";
	EXPECT_EQ(1u, module_refcount(&fakeModule));
	expectFailure(standin::user::read(fd, buf, 4), EBADF);
	{
		std::lock_guard<std::mutex> guard(script.gate_lock);
		script.read_released = true;
	}
	script.gate.notify_all();
	reader.join();
	EXPECT_EQ(4, got);
	EXPECT_EQ(1, script.releases);
	EXPECT_EQ(0u, module_refcount(&fakeModule));
}

}  // namespace
