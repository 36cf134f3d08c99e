// The module loader with the test modules: init and exit, fresh statics for
// every load, refused loads, and unloading against the references that open
// files hold.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/kernel_test.h"
#include "testmod/testmod.h"

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/module.h>

namespace {

std::string modulePath(const std::string &file)
{
	return std::string(CG_TESTMOD_DIR) + "/" + file + ".ko";
}

class LoaderTest : public KernelTest {
protected:
	void SetUp() override
	{
		KernelTest::SetUp();
		standin::user::mknod("/dev/testmod", 'c', 240, 0);	/* kept between cases */
	}
	void TearDown() override
	{
		if (standin::modules::loaded("testmod")) {
			EXPECT_EQ(0, standin::modules::rmmod("testmod"));
		}
		ExpectNoLeaks();
		KernelTest::TearDown();
	}
	static int openTestmod()
	{
		return standin::user::open("/dev/testmod", O_RDWR);
	}
	std::size_t logCount(const std::string &line) const
	{
		return standin::log::count(mark_, line);
	}
};

TEST_F(LoaderTest, LoadRunsInitAndUnloadRunsExit)
{
	ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
	EXPECT_TRUE(standin::modules::loaded("testmod"));
	EXPECT_EQ(0, standin::modules::refcount("testmod"));
	EXPECT_EQ(1u, logCount("<6>testmod: init 1"));
	static struct file_operations otherOps = {};
	EXPECT_EQ(-EBUSY, register_chrdev(240, "other", &otherOps)) << "init did not register";

	EXPECT_EQ(0, standin::modules::rmmod("testmod"));
	EXPECT_FALSE(standin::modules::loaded("testmod"));
	EXPECT_EQ(-1, standin::modules::refcount("testmod"));
	EXPECT_EQ(1u, logCount("<6>testmod: exit 1"));
	EXPECT_EQ(-ENOENT, standin::modules::rmmod("testmod"));

	// Its exit unregistered the device: the number is free, nothing is left over.
	EXPECT_EQ(0u, logCount("<3>unregister_chrdev: module testmod left char device 240 (testmod) "
			       "registered; dropped"));
	errno = 0;
	EXPECT_EQ(-1, openTestmod());
	EXPECT_EQ(ENXIO, errno);
}

TEST_F(LoaderTest, EveryLoadStartsFromFreshStatics)
{
	for (int round = 0; round < 3; round++) {
		ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
		int fd = openTestmod();
		ASSERT_GE(fd, 3);
		EXPECT_EQ(1, standin::user::ioctl(fd, TESTMOD_LOADS, 0)) << "round " << round;
		EXPECT_EQ(1, standin::user::ioctl(fd, TESTMOD_OPENS, 0));
		EXPECT_EQ(0, standin::user::close(fd));
		ASSERT_EQ(0, standin::modules::rmmod("testmod"));
	}
	EXPECT_EQ(3u, logCount("<6>testmod: init 1"));
	EXPECT_EQ(0u, logCount("<6>testmod: init 2"));
}

TEST_F(LoaderTest, RefusesFilesThatAreNotNewModules)
{
	EXPECT_EQ(-ENOENT, standin::modules::insmod(modulePath("no-such-module")));

	std::string text = ::testing::TempDir() + "not-a-module.ko";
	std::ofstream(text) << "plain text\n";
	EXPECT_EQ(-ENOEXEC, standin::modules::insmod(text));

	ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
	EXPECT_EQ(-EEXIST, standin::modules::insmod(modulePath("testmod")));

	// A copy is another object with the same module name.
	std::string copy = ::testing::TempDir() + "testmod-copy.ko";
	{
		std::ifstream in(modulePath("testmod"), std::ios::binary);
		std::ofstream out(copy, std::ios::binary);
		out << in.rdbuf();
	}
	EXPECT_EQ(-EEXIST, standin::modules::insmod(copy));
	EXPECT_EQ(1u, logCount("<6>testmod: init 1"));

	int fd = openTestmod();
	EXPECT_EQ(1, standin::user::ioctl(fd, TESTMOD_LOADS, 0)) << "the refused loads touched it";
	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(0, standin::modules::rmmod("testmod"));
	std::remove(text.c_str());
	std::remove(copy.c_str());
}

TEST_F(LoaderTest, FailedInitUnloadsAndCleansUpItsDevice)
{
	for (int round = 0; round < 2; round++) {
		EXPECT_EQ(-ENODEV, standin::modules::insmod(modulePath("testmod_badinit")));
		EXPECT_FALSE(standin::modules::loaded("testmod_badinit"));
	}
	EXPECT_EQ(2u, logCount("<6>testmod_badinit: init 1")) << "a failed load kept its statics";
	EXPECT_EQ(2u, logCount("<3>unregister_chrdev: module testmod_badinit left char device 241 "
			       "(testmod_badinit) registered; dropped"));
	EXPECT_EQ(0u, logCount("<6>testmod_badinit: exit 1")) << "exit ran after a failed init";

	// The device it left behind is gone, not pointing into unmapped code.
	ASSERT_EQ(0, standin::user::mknod("/dev/badinit", 'c', 241, 0));
	errno = 0;
	EXPECT_EQ(-1, standin::user::open("/dev/badinit", O_RDWR));
	EXPECT_EQ(ENXIO, errno);

	EXPECT_EQ(-7, standin::modules::insmod(modulePath("testmod_posinit")));
	EXPECT_FALSE(standin::modules::loaded("testmod_posinit"));
}

TEST_F(LoaderTest, OpenFilesHoldTheModuleAndUnloadIsRefusedWhileOpen)
{
	ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
	int a = openTestmod();
	int b = openTestmod();
	EXPECT_EQ(2, standin::modules::refcount("testmod"));
	EXPECT_EQ(2, standin::user::ioctl(a, TESTMOD_REFS, 0));

	EXPECT_EQ(-EBUSY, standin::modules::rmmod("testmod", false));
	EXPECT_TRUE(standin::modules::loaded("testmod"));
	int c = openTestmod();
	EXPECT_GE(c, 3) << "a refused unload left the module going";

	EXPECT_EQ(0, standin::user::close(a));
	EXPECT_EQ(0, standin::user::close(c));
	EXPECT_EQ(1, standin::modules::refcount("testmod"));
	EXPECT_EQ(-EBUSY, standin::modules::rmmod("testmod", false));
	EXPECT_EQ(0, standin::user::close(b));
	EXPECT_EQ(0, standin::modules::refcount("testmod"));
	EXPECT_EQ(1u, logCount("<6>testmod: release 3")) << "three releases, one each";
	EXPECT_EQ(0, standin::modules::rmmod("testmod", false));
}

TEST_F(LoaderTest, WaitingUnloadBlocksNewOpensAndEndsAtTheLastClose)
{
	ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
	int fd = openTestmod();
	ASSERT_GE(fd, 3);

	std::atomic<bool> done{false};
	int result = 1;
	std::thread unloader([&] {
		result = standin::modules::rmmod("testmod", true);
		done = true;
	});
	// Once the module is going, opens fail; an open that came first is closed
	// again (the descriptor fd still holds the module).  The attempts are
	// bounded so that a module that never goes fails the case, not hangs it.
	bool refused = false;
	for (int attempt = 0; attempt < 1000000 && !refused; attempt++) {
		int other = openTestmod();
		if (other < 0) {
			EXPECT_EQ(ENXIO, errno);
			refused = true;
		} else {
			EXPECT_EQ(0, standin::user::close(other));
			std::this_thread::yield();
		}
	}
	if (!refused) {
		EXPECT_EQ(0, standin::user::close(fd));
		unloader.join();
		FAIL() << "opens still succeeded while the module was unloading";
	}
	EXPECT_FALSE(done) << "unload finished while a file was open";
	EXPECT_EQ(0u, logCount("<6>testmod: exit 1"));
	EXPECT_EQ(-EBUSY, standin::modules::rmmod("testmod", false)) << "a second unload of a going module";

	EXPECT_EQ(0, standin::user::close(fd));
	unloader.join();
	EXPECT_EQ(0, result);
	EXPECT_FALSE(standin::modules::loaded("testmod"));
	// The last file's release ran before the module's exit.
	auto log = NewLog();
	auto exit = std::find(log.begin(), log.end(), "<6>testmod: exit 1");
	auto lastRelease = std::find_if(log.rbegin(), log.rend(), [](const std::string &line) {
		return line.rfind("<6>testmod: release ", 0) == 0;
	});
	ASSERT_NE(log.end(), exit);
	ASSERT_NE(log.rend(), lastRelease);
	EXPECT_LT(lastRelease.base() - 1 - log.begin(), exit - log.begin());
}

TEST_F(LoaderTest, AnObjectThatStaysMappedIsAnUnloadErrorAndBlocksReload)
{
	ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
	// Someone else keeps the object mapped, as a unique symbol would.
	void *pin = dlopen(modulePath("testmod").c_str(), RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(nullptr, pin);

	::testing::internal::CaptureStderr();
	EXPECT_EQ(-EBUSY, standin::modules::rmmod("testmod"));
	EXPECT_FALSE(standin::modules::loaded("testmod"));
	EXPECT_EQ(-EBUSY, standin::modules::insmod(modulePath("testmod")));
	std::string err = ::testing::internal::GetCapturedStderr();
	EXPECT_NE(std::string::npos, err.find("still mapped after unload")) << err;
	EXPECT_NE(std::string::npos, err.find("a former load is still mapped")) << err;

	dlclose(pin);
	EXPECT_EQ(0, standin::modules::insmod(modulePath("testmod")));
	EXPECT_EQ(2u, logCount("<6>testmod: init 1"));
}

TEST_F(LoaderTest, ConcurrentLoadsAndOpensSeeOneWholeModule)
{
	// Loads racing for one name: exactly one wins.
	std::atomic<int> won{0}, exists{0};
	std::vector<std::thread> loaders;
	for (int i = 0; i < 4; i++) {
		loaders.emplace_back([&] {
			int ret = standin::modules::insmod(modulePath("testmod"));
			(ret == 0 ? won : exists)++;
			EXPECT_TRUE(ret == 0 || ret == -EEXIST) << ret;
		});
	}
	for (auto &t : loaders)
		t.join();
	EXPECT_EQ(1, won);
	EXPECT_EQ(3, exists);
	ASSERT_EQ(0, standin::modules::rmmod("testmod"));

	// Opens racing with loads and unloads either reach a live module or are
	// refused; every load still starts from fresh statics.
	std::atomic<bool> stop{false};
	std::atomic<int> opened{0};
	std::thread opener([&] {
		while (!stop) {
			int fd = openTestmod();
			if (fd < 0) {
				EXPECT_EQ(ENXIO, errno);
				continue;
			}
			opened++;
			EXPECT_EQ(1, standin::user::ioctl(fd, TESTMOD_LOADS, 0));
			EXPECT_EQ(0, standin::user::close(fd));
		}
	});
	constexpr int kRounds = 50;
	for (int round = 0; round < kRounds; round++) {
		ASSERT_EQ(0, standin::modules::insmod(modulePath("testmod")));
		ASSERT_EQ(0, standin::modules::rmmod("testmod", true));
	}
	stop = true;
	opener.join();
	EXPECT_EQ(static_cast<size_t>(kRounds) + 1, logCount("<6>testmod: init 1"));
	EXPECT_EQ(0u, logCount("<6>testmod: init 2"));
	auto log = NewLog();
	auto releases = std::count_if(log.begin(), log.end(), [](const std::string &line) {
		return line.rfind("<6>testmod: release ", 0) == 0;
	});
	EXPECT_EQ(opened.load(), releases) << "every opened file was released once";
}

TEST(ModuleRefTest, GetAndPutFollowTheModuleState)
{
	struct module mod = {MODULE_STATE_COMING, "refmod", ATOMIC_INIT(0), nullptr, nullptr};
	EXPECT_EQ(1, try_module_get(nullptr));
	module_put(nullptr);
	EXPECT_EQ(1, try_module_get(&mod)) << "a module in its init gives references";
	mod.state = MODULE_STATE_LIVE;
	EXPECT_EQ(1, try_module_get(&mod));
	__module_get(&mod);
	EXPECT_EQ(3u, module_refcount(&mod));
	mod.state = MODULE_STATE_GOING;
	EXPECT_EQ(0, try_module_get(&mod));
	EXPECT_EQ(3u, module_refcount(&mod));
	module_put(&mod);
	module_put(&mod);
	module_put(&mod);
	EXPECT_EQ(0u, module_refcount(&mod));
}

}  // namespace
