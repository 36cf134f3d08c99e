// Lock checks across system calls: a semaphore a driver takes in one ioctl
// and gives back in a later one is a counter, while semaphores taken and
// released within a call are still ordered like locks.
#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/lockcheck.h"
#include "standin/user.h"

#include <fcntl.h>

#include <linux/fs.h>
#include <asm/semaphore.h>

namespace {

constexpr unsigned kMajor = 231;

struct semaphore outer, unit, inner;

enum Cmd : unsigned {
  kTakeUnit = 1,   // outer -> unit, unit stays taken
  kGiveUnit = 2,   // outer taken while unit is held, then unit given back
  kOuterInner = 3,
  kInnerOuter = 4,
};

int tIoctl(struct inode *, struct file *, unsigned cmd, unsigned long)
{
	switch (cmd) {
	case kTakeUnit:
		down(&outer);
		down(&unit);
		up(&outer);
		return 0;
	case kGiveUnit:
		down(&outer);
		up(&unit);
		up(&outer);
		return 0;
	case kOuterInner:
		down(&outer);
		down(&inner);
		up(&inner);
		up(&outer);
		return 0;
	case kInnerOuter:
		down(&inner);
		down(&outer);
		up(&outer);
		up(&inner);
		return 0;
	}
	return -1;
}

struct file_operations ops = [] {
	struct file_operations o = {};
	o.ioctl = tIoctl;
	return o;
}();

class LockcheckSyscallTest : public KernelTest {
protected:
	void SetUp() override
	{
		KernelTest::SetUp();
		sema_init(&outer, 1);
		sema_init(&unit, 1);
		sema_init(&inner, 1);
		ASSERT_EQ(0, register_chrdev(kMajor, "lockdrv", &ops));
		standin::user::mknod("/dev/lockdrv", 'c', kMajor, 0);	/* kept between cases */
		fd_ = standin::user::open("/dev/lockdrv", O_RDWR);
		ASSERT_GE(fd_, 0);
	}
	void TearDown() override
	{
		EXPECT_EQ(0, standin::user::close(fd_));
		EXPECT_EQ(0, unregister_chrdev(kMajor, "lockdrv"));
		KernelTest::TearDown();
	}
	int fd_ = -1;
};

TEST_F(LockcheckSyscallTest, UnitHeldAcrossCallsIsACounter)
{
	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(0, standin::user::ioctl(fd_, kTakeUnit, 0));
		EXPECT_EQ(0, standin::user::ioctl(fd_, kGiveUnit, 0));
	}
	EXPECT_TRUE(standin::lockcheck::take().empty());
}

TEST_F(LockcheckSyscallTest, SemaphoresWithinOneCallAreStillOrdered)
{
	EXPECT_EQ(0, standin::user::ioctl(fd_, kOuterInner, 0));
	EXPECT_EQ(0, standin::user::ioctl(fd_, kInnerOuter, 0));
	auto v = standin::lockcheck::take();
	ASSERT_EQ(1u, v.size());
	EXPECT_EQ("lock-inversion", v[0].kind);
}

}  // namespace
