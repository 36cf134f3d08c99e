// Character device registry: fixed and dynamic majors, the rules of
// unregistering, and which driver an open reaches.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "support/kernel_test.h"

#include <linux/errno.h>
#include <linux/fs.h>

namespace {

unsigned seen_major, seen_minor;
dev_t seen_rdev;

int recordOpen(struct inode *inode, struct file *file)
{
	seen_major = imajor(inode);
	seen_minor = iminor(inode);
	seen_rdev = inode->i_rdev;
	return 0;
}

struct file_operations recordingOps = [] {
	struct file_operations ops = {};
	ops.open = recordOpen;
	return ops;
}();
struct file_operations otherOps = {};

class ChrdevTest : public KernelTest {
protected:
	void TearDown() override
	{
		// Leave no registration behind for the next case.
		for (unsigned major = 1; major <= 4095; major++)
			for (const char *name : {"alpha", "beta", "x", "dyn", "fixed", "again", "rec"})
				unregister_chrdev(major, name);
		KernelTest::TearDown();
	}
};

TEST_F(ChrdevTest, FixedMajorIsTakenOnceAndFreedOnlyByItsOwnName)
{
	EXPECT_EQ(0, register_chrdev(200, "alpha", &recordingOps));
	EXPECT_EQ(-EBUSY, register_chrdev(200, "beta", &otherOps));

	EXPECT_EQ(-EINVAL, unregister_chrdev(200, "beta"));
	EXPECT_EQ(-EINVAL, unregister_chrdev(201, "alpha"));
	EXPECT_EQ(-EBUSY, register_chrdev(200, "beta", &otherOps)) << "a refused unregister freed it";

	EXPECT_EQ(0, unregister_chrdev(200, "alpha"));
	EXPECT_EQ(-EINVAL, unregister_chrdev(200, "alpha"));
	EXPECT_EQ(0, register_chrdev(200, "beta", &otherOps));
	EXPECT_EQ(0, unregister_chrdev(200, "beta"));
}

TEST_F(ChrdevTest, BadArgumentsAreRefused)
{
	EXPECT_EQ(-EINVAL, register_chrdev(200, nullptr, &otherOps));
	EXPECT_EQ(-EINVAL, register_chrdev(200, "x", nullptr));
	EXPECT_EQ(-EINVAL, register_chrdev(4096, "x", &otherOps));
	EXPECT_EQ(0, register_chrdev(4095, "x", &otherOps));
	EXPECT_EQ(-EINVAL, unregister_chrdev(4095, nullptr));
	EXPECT_EQ(0, unregister_chrdev(4095, "x"));
}

TEST_F(ChrdevTest, DynamicMajorsComeFromTheTopUntilNoneIsLeft)
{
	EXPECT_EQ(254, register_chrdev(0, "dyn", &otherOps));
	EXPECT_EQ(0, register_chrdev(253, "fixed", &otherOps));
	EXPECT_EQ(252, register_chrdev(0, "dyn", &otherOps));

	std::vector<int> got;
	for (int major; (major = register_chrdev(0, "dyn", &otherOps)) > 0;)
		got.push_back(major);
	EXPECT_EQ(251u, got.size());
	EXPECT_EQ(1, got.back());
	EXPECT_EQ(-EBUSY, register_chrdev(0, "dyn", &otherOps));

	EXPECT_EQ(0, unregister_chrdev(100, "dyn"));
	EXPECT_EQ(100, register_chrdev(0, "again", &otherOps));
}

TEST_F(ChrdevTest, OpenReachesTheDriverOfTheNodesNumber)
{
	ASSERT_EQ(0, register_chrdev(210, "rec", &recordingOps));
	standin::user::mknod("/dev/rec7", 'c', 210, 7);
	standin::user::mknod("/dev/rec256", 'c', 210, 256);

	int fd = standin::user::open("/dev/rec7", O_RDWR);
	ASSERT_GE(fd, 3);
	EXPECT_EQ(210u, seen_major);
	EXPECT_EQ(7u, seen_minor);
	EXPECT_EQ(MKDEV(210u, 7u), seen_rdev);
	EXPECT_EQ(0, standin::user::close(fd));

	errno = 0;
	EXPECT_EQ(-1, standin::user::open("/dev/rec256", O_RDWR)) << "minors end at 255";
	EXPECT_EQ(ENXIO, errno);

	ASSERT_EQ(0, unregister_chrdev(210, "rec"));
	errno = 0;
	EXPECT_EQ(-1, standin::user::open("/dev/rec7", O_RDWR));
	EXPECT_EQ(ENXIO, errno);
}

}  // namespace
